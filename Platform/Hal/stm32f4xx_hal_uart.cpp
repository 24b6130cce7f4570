// Serial ports: initialisation, blocking transmission, reception to idle line by DMA, its stop, and the
// port's interrupt handler.
#include "stm32f4xx_hal.h"

// ---------------------------------------------------------------------------------------------------
// Set-up.

// The baud-rate divider in the fixed point the port expects: mantissa in bits 15:4, fraction in 3:0
// (three fraction bits, shifted, with 8-fold oversampling). Computed in hundredths, 64-bit, rounding the
// fraction: at PCLK2 100 MHz and 9600 baud DIV is 65104, mantissa 651, fraction 1: BRR 0x28B1.
static uint32_t uart_brr(uint32_t pclk, uint32_t baud, bool oversampling_8)
{
    if (oversampling_8) {
        const uint64_t div = (static_cast<uint64_t>(pclk) * 25U) / (2U * static_cast<uint64_t>(baud));
        const uint64_t mantissa = div / 100U;
        const uint64_t fraction = ((div - mantissa * 100U) * 8U + 50U) / 100U;
        return static_cast<uint32_t>(mantissa * 16U + ((fraction & 0xF8U) << 1U) + (fraction & 0x07U));
    }
    const uint64_t div = (static_cast<uint64_t>(pclk) * 25U) / (4U * static_cast<uint64_t>(baud));
    const uint64_t mantissa = div / 100U;
    const uint64_t fraction = ((div - mantissa * 100U) * 16U + 50U) / 100U;
    return static_cast<uint32_t>(mantissa * 16U + (fraction & 0xF0U) + (fraction & 0x0FU));
}

static void uart_set_config(UART_HandleTypeDef* huart)
{
    USART_TypeDef* port = huart->Instance;
    MODIFY_REG(port->CR2, USART_CR2_STOP, huart->Init.StopBits);
    MODIFY_REG(port->CR1, USART_CR1_M | USART_CR1_PCE | USART_CR1_PS | USART_CR1_TE | USART_CR1_RE | USART_CR1_OVER8,
               huart->Init.WordLength | huart->Init.Parity | huart->Init.Mode | huart->Init.OverSampling);
    MODIFY_REG(port->CR3, USART_CR3_RTSE | USART_CR3_CTSE, huart->Init.HwFlowCtl);
    // USART1 and USART6 hang on APB2, the others on APB1.
    const uint32_t pclk = (port == USART1 || port == USART6) ? HAL_RCC_GetPCLK2Freq() : HAL_RCC_GetPCLK1Freq();
    port->BRR = uart_brr(pclk, huart->Init.BaudRate, huart->Init.OverSampling == UART_OVERSAMPLING_8);
}

// Thread level.
HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef* huart)
{
    // A zero baud rate has no divider (it would divide by zero).
    if (huart == NULL || huart->Init.BaudRate == 0U) return HAL_ERROR;

    if (huart->gState == HAL_UART_STATE_RESET) {
        huart->Lock = HAL_UNLOCKED;
        HAL_UART_MspInit(huart);
    }
    huart->gState = HAL_UART_STATE_BUSY;

    __HAL_UART_DISABLE(huart);
    uart_set_config(huart);
    // Plain asynchronous mode: no LIN, no clock output, no smartcard, no half-duplex, no IrDA.
    CLEAR_BIT(huart->Instance->CR2, USART_CR2_LINEN | USART_CR2_CLKEN);
    CLEAR_BIT(huart->Instance->CR3, USART_CR3_SCEN | USART_CR3_HDSEL | USART_CR3_IREN);
    __HAL_UART_ENABLE(huart);

    huart->ErrorCode = HAL_UART_ERROR_NONE;
    huart->gState = HAL_UART_STATE_READY;
    huart->RxState = HAL_UART_STATE_READY;
    huart->RxEventType = HAL_UART_RXEVENT_TC;
    return HAL_OK;
}

// ---------------------------------------------------------------------------------------------------
// Blocking transmission.

// The receive error flags of SR: a read of SR followed by a read of DR clears them.
static constexpr uint32_t kUartErrorFlags = USART_SR_PE | USART_SR_FE | USART_SR_NE | USART_SR_ORE;

static IRQn_Type uart_irq(const USART_TypeDef* port)
{
    if (port == USART1) return USART1_IRQn;
    if (port == USART2) return USART2_IRQn;
    return USART6_IRQn;
}

// Thread level: a wait on SR has read receive error flags. While a DMA reception runs, that read can be
// the first half of the sequence that clears them: the stream's read of DR, which the errored byte's
// RXNE requests a few cycles later, completes it, and the interrupt the error raised, taken after that,
// would read SR without them, store the byte and go on. So the flags read are left for the handler,
// and its interrupt pended once more: it runs after this store even if it ran between the read and
// here. Outside a reception (ended, or never armed) the flags are stale and nothing is done, so that a
// wait after a line error does not pend the handler on every read.
static void uart_hand_errors_to_handler(UART_HandleTypeDef* huart, uint32_t sr)
{
    if (huart->RxState != HAL_UART_STATE_BUSY_RX) return;
    huart->RxErrorsPolled = sr & kUartErrorFlags;
    NVIC_SetPendingIRQ(uart_irq(huart->Instance));
}

// Polls SR until `flag` is set. A flag already set ends the wait without looking at the time; otherwise
// the wait gives up once more than Timeout ms have passed since `tickstart` (at once for 0; never for
// HAL_MAX_DELAY). Receive errors it reads go to the handler.
static HAL_StatusTypeDef uart_wait_for_flag(UART_HandleTypeDef* huart, uint32_t flag, uint32_t tickstart,
                                            uint32_t Timeout)
{
    for (;;) {
        const uint32_t sr = huart->Instance->SR;
        if ((sr & kUartErrorFlags) != 0U) uart_hand_errors_to_handler(huart, sr);
        if ((sr & flag) != 0U) return HAL_OK;
        if (Timeout != HAL_MAX_DELAY) {
            if (Timeout == 0U || (HAL_GetTick() - tickstart) > Timeout) return HAL_TIMEOUT;
        }
    }
}

// Thread level only. The call takes no lock and writes no control register: a reception running on the
// same handle in interrupt context is not disturbed. A timed-out call leaves the rest unsent.
HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef* huart, const uint8_t* pData, uint16_t Size, uint32_t Timeout)
{
    if (huart->gState != HAL_UART_STATE_READY) return HAL_BUSY;
    if (pData == NULL || Size == 0U) return HAL_ERROR;

    huart->ErrorCode = HAL_UART_ERROR_NONE;
    huart->gState = HAL_UART_STATE_BUSY_TX;
    const uint32_t tickstart = HAL_GetTick();  // once: Timeout bounds the whole call
    huart->TxXferSize = Size;
    huart->TxXferCount = Size;

    // Nine data bits without parity take two bytes of the buffer per unit; otherwise a unit is a byte.
    const bool nine_bits = huart->Init.WordLength == UART_WORDLENGTH_9B && huart->Init.Parity == UART_PARITY_NONE;
    while (huart->TxXferCount > 0U) {
        if (uart_wait_for_flag(huart, USART_SR_TXE, tickstart, Timeout) != HAL_OK) {
            huart->gState = HAL_UART_STATE_READY;
            return HAL_TIMEOUT;
        }
        if (nine_bits) {
            huart->Instance->DR = (static_cast<uint32_t>(pData[0]) | (static_cast<uint32_t>(pData[1]) << 8U)) & 0x1FFU;
            pData += 2;
        } else {
            huart->Instance->DR = *pData;
            pData += 1;
        }
        huart->TxXferCount = static_cast<uint16_t>(huart->TxXferCount - 1U);
    }
    // TC: the last stop bit has left the line.
    if (uart_wait_for_flag(huart, USART_SR_TC, tickstart, Timeout) != HAL_OK) {
        huart->gState = HAL_UART_STATE_READY;
        return HAL_TIMEOUT;
    }
    huart->gState = HAL_UART_STATE_READY;
    return HAL_OK;
}

// ---------------------------------------------------------------------------------------------------
// Reception to idle line by DMA: the steps the receive stream calls, and the end of a reception.

// Any context. Interrupts of the receiver off, receive side ready.
static void UART_EndRxTransfer(UART_HandleTypeDef* huart)
{
    ATOMIC_CLEAR_BIT(huart->Instance->CR1, USART_CR1_RXNEIE | USART_CR1_PEIE);
    ATOMIC_CLEAR_BIT(huart->Instance->CR3, USART_CR3_EIE);
    if (huart->ReceptionType == HAL_UART_RECEPTION_TOIDLE) ATOMIC_CLEAR_BIT(huart->Instance->CR1, USART_CR1_IDLEIE);
    huart->RxState = HAL_UART_STATE_READY;
    huart->ReceptionType = HAL_UART_RECEPTION_STANDARD;
}

// Any context. Interrupts of the transmitter off, transmit side ready.
static void UART_EndTxTransfer(UART_HandleTypeDef* huart)
{
    ATOMIC_CLEAR_BIT(huart->Instance->CR1, USART_CR1_TXEIE | USART_CR1_TCIE);
    huart->gState = HAL_UART_STATE_READY;
}

// Interrupt context (the stream's transfer complete): the buffer is full.
static void UART_DMAReceiveCplt(DMA_HandleTypeDef* hdma)
{
    UART_HandleTypeDef* huart = static_cast<UART_HandleTypeDef*>(hdma->Parent);
    if ((hdma->Instance->CR & DMA_SxCR_CIRC) == 0U) {
        huart->RxXferCount = 0U;
        ATOMIC_CLEAR_BIT(huart->Instance->CR1, USART_CR1_PEIE);
        ATOMIC_CLEAR_BIT(huart->Instance->CR3, USART_CR3_EIE);
        ATOMIC_CLEAR_BIT(huart->Instance->CR3, USART_CR3_DMAR);
        huart->RxState = HAL_UART_STATE_READY;
        if (huart->ReceptionType == HAL_UART_RECEPTION_TOIDLE) ATOMIC_CLEAR_BIT(huart->Instance->CR1, USART_CR1_IDLEIE);
    }
    huart->RxEventType = HAL_UART_RXEVENT_TC;
    if (huart->ReceptionType == HAL_UART_RECEPTION_TOIDLE)
        HAL_UARTEx_RxEventCallback(huart, huart->RxXferSize);
    else
        HAL_UART_RxCpltCallback(huart);
}

// Interrupt context (the stream's half transfer): half the buffer is filled, reception goes on.
static void UART_DMARxHalfCplt(DMA_HandleTypeDef* hdma)
{
    UART_HandleTypeDef* huart = static_cast<UART_HandleTypeDef*>(hdma->Parent);
    huart->RxEventType = HAL_UART_RXEVENT_HT;
    if (huart->ReceptionType == HAL_UART_RECEPTION_TOIDLE)
        HAL_UARTEx_RxEventCallback(huart, static_cast<uint16_t>(huart->RxXferSize / 2U));
    else
        HAL_UART_RxHalfCpltCallback(huart);
}

// Interrupt context (a stream error): the reception ends without a receive event.
static void UART_DMAError(DMA_HandleTypeDef* hdma)
{
    UART_HandleTypeDef* huart = static_cast<UART_HandleTypeDef*>(hdma->Parent);
    if (huart->gState == HAL_UART_STATE_BUSY_TX && (huart->Instance->CR3 & USART_CR3_DMAT) != 0U) {
        huart->TxXferCount = 0U;
        UART_EndTxTransfer(huart);
    }
    if (huart->RxState == HAL_UART_STATE_BUSY_RX && (huart->Instance->CR3 & USART_CR3_DMAR) != 0U) {
        huart->RxXferCount = 0U;
        UART_EndRxTransfer(huart);
    }
    huart->ErrorCode = huart->ErrorCode | HAL_UART_ERROR_DMA;
    HAL_UART_ErrorCallback(huart);
}

// Interrupt context (the stream has stopped after a receive error): report the error. The transmit
// count is not the receive stream's: a polled transmission in progress at thread level owns it, and
// zeroing it between the loop's test and its decrement would wrap it to 65535.
static void UART_DMAAbortOnError(DMA_HandleTypeDef* hdma)
{
    UART_HandleTypeDef* huart = static_cast<UART_HandleTypeDef*>(hdma->Parent);
    huart->RxXferCount = 0U;
    HAL_UART_ErrorCallback(huart);
}

// Thread level.
HAL_StatusTypeDef HAL_UARTEx_ReceiveToIdle_DMA(UART_HandleTypeDef* huart, uint8_t* pData, uint16_t Size)
{
    if (huart->RxState != HAL_UART_STATE_READY) return HAL_BUSY;  // a reception already armed goes on
    // Without a receive stream there is nothing to receive with.
    if (pData == NULL || Size == 0U || huart->hdmarx == NULL) return HAL_ERROR;

    huart->ReceptionType = HAL_UART_RECEPTION_TOIDLE;
    huart->RxEventType = HAL_UART_RXEVENT_TC;
    huart->pRxBuffPtr = pData;
    huart->RxXferSize = Size;
    huart->ErrorCode = HAL_UART_ERROR_NONE;
    huart->RxState = HAL_UART_STATE_BUSY_RX;

    huart->hdmarx->XferCpltCallback = UART_DMAReceiveCplt;
    huart->hdmarx->XferHalfCpltCallback = UART_DMARxHalfCplt;
    huart->hdmarx->XferErrorCallback = UART_DMAError;
    huart->hdmarx->XferAbortCallback = NULL;
    if (HAL_DMA_Start_IT(huart->hdmarx, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&huart->Instance->DR)),
                         static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pData)), Size) != HAL_OK) {
        // The stream is not ready (still busy after a direct-mode error, or timed out in an abort): no
        // reception can run, so none is claimed. The receive side stays ready for a later arming.
        huart->ErrorCode = HAL_UART_ERROR_DMA;
        huart->ReceptionType = HAL_UART_RECEPTION_STANDARD;
        huart->RxState = HAL_UART_STATE_READY;
        return HAL_ERROR;
    }

    // The overrun, error and idle flags are cleared (SR, then DR) while the DMA request is still off, so
    // that the read of DR cannot take a byte the stream should store. Then every interrupt enable, and
    // the DMA request last: the port raises framing, noise and overrun errors only while DMAR is set, so
    // no error can end the reception before that write, and after it the arming writes nothing that an
    // error's ending of the reception (which clears IDLEIE, EIE and DMAR) could find undone.
    __HAL_UART_CLEAR_OREFLAG(huart);
    __HAL_UART_CLEAR_IDLEFLAG(huart);
    if (huart->Init.Parity != UART_PARITY_NONE) ATOMIC_SET_BIT(huart->Instance->CR1, USART_CR1_PEIE);
    ATOMIC_SET_BIT(huart->Instance->CR1, USART_CR1_IDLEIE);
    ATOMIC_SET_BIT(huart->Instance->CR3, USART_CR3_EIE);
    ATOMIC_SET_BIT(huart->Instance->CR3, USART_CR3_DMAR);

    // A receive error since has already ended the reception.
    return huart->ReceptionType == HAL_UART_RECEPTION_TOIDLE ? HAL_OK : HAL_ERROR;
}

// Thread or interrupt context. No lock, no callback; always HAL_OK.
HAL_StatusTypeDef HAL_UART_DMAStop(UART_HandleTypeDef* huart)
{
    // The transmit half acts only on a DMA transmission, so a blocking one in progress is not touched.
    if (huart->gState == HAL_UART_STATE_BUSY_TX && (huart->Instance->CR3 & USART_CR3_DMAT) != 0U) {
        ATOMIC_CLEAR_BIT(huart->Instance->CR3, USART_CR3_DMAT);
        if (huart->hdmatx != NULL) (void)HAL_DMA_Abort(huart->hdmatx);
        UART_EndTxTransfer(huart);
    }
    if (huart->RxState == HAL_UART_STATE_BUSY_RX && (huart->Instance->CR3 & USART_CR3_DMAR) != 0U) {
        ATOMIC_CLEAR_BIT(huart->Instance->CR3, USART_CR3_DMAR);
        if (huart->hdmarx != NULL) (void)HAL_DMA_Abort(huart->hdmarx);
        UART_EndRxTransfer(huart);
    }
    return HAL_OK;
}

// ---------------------------------------------------------------------------------------------------
// The port's interrupt.

// Interrupt context: a receive error (parity, framing, noise, overrun). It ends a DMA reception; the
// error callback comes once the stream has stopped. The flags stay set until the next arming reads SR
// and DR.
static void uart_receive_error(UART_HandleTypeDef* huart, uint32_t sr, uint32_t cr1, uint32_t cr3)
{
    if ((sr & USART_SR_PE) != 0U && (cr1 & USART_CR1_PEIE) != 0U)
        huart->ErrorCode = huart->ErrorCode | HAL_UART_ERROR_PE;
    if ((sr & USART_SR_NE) != 0U && (cr3 & USART_CR3_EIE) != 0U)
        huart->ErrorCode = huart->ErrorCode | HAL_UART_ERROR_NE;
    if ((sr & USART_SR_FE) != 0U && (cr3 & USART_CR3_EIE) != 0U)
        huart->ErrorCode = huart->ErrorCode | HAL_UART_ERROR_FE;
    if ((sr & USART_SR_ORE) != 0U && ((cr1 & USART_CR1_RXNEIE) != 0U || (cr3 & USART_CR3_EIE) != 0U))
        huart->ErrorCode = huart->ErrorCode | HAL_UART_ERROR_ORE;
    if (huart->ErrorCode == HAL_UART_ERROR_NONE) return;

    const bool dma_reception = (huart->Instance->CR3 & USART_CR3_DMAR) != 0U;
    if ((huart->ErrorCode & HAL_UART_ERROR_ORE) == 0U && !dma_reception) {
        // A lone parity, noise or framing error outside a DMA reception: reported, reception goes on.
        HAL_UART_ErrorCallback(huart);
        huart->ErrorCode = HAL_UART_ERROR_NONE;
        return;
    }
    UART_EndRxTransfer(huart);
    if (!dma_reception) {
        HAL_UART_ErrorCallback(huart);
        return;
    }
    ATOMIC_CLEAR_BIT(huart->Instance->CR3, USART_CR3_DMAR);
    if (huart->hdmarx == NULL) {
        HAL_UART_ErrorCallback(huart);
        return;
    }
    huart->hdmarx->XferAbortCallback = UART_DMAAbortOnError;
    // A stream that is no longer busy cannot finish an abort in its interrupt: report at once.
    if (HAL_DMA_Abort_IT(huart->hdmarx) != HAL_OK) huart->hdmarx->XferAbortCallback(huart->hdmarx);
}

// Interrupt context: the line has been idle for a character time after the last byte received.
static void uart_idle_line(UART_HandleTypeDef* huart)
{
    __HAL_UART_CLEAR_IDLEFLAG(huart);
    if ((huart->Instance->CR3 & USART_CR3_DMAR) == 0U) return;  // only DMA reception ends on an idle line

    const uint16_t remaining = static_cast<uint16_t>(__HAL_DMA_GET_COUNTER(huart->hdmarx));
    // Nothing stored since arming (remaining = size), or the buffer-full event is on its way (0).
    if (remaining == 0U || remaining >= huart->RxXferSize) return;

    huart->RxXferCount = remaining;
    if (huart->hdmarx->Init.Mode != DMA_CIRCULAR) {
        ATOMIC_CLEAR_BIT(huart->Instance->CR1, USART_CR1_PEIE);
        ATOMIC_CLEAR_BIT(huart->Instance->CR3, USART_CR3_EIE);
        ATOMIC_CLEAR_BIT(huart->Instance->CR3, USART_CR3_DMAR);
        huart->RxState = HAL_UART_STATE_READY;
        huart->ReceptionType = HAL_UART_RECEPTION_STANDARD;
        ATOMIC_CLEAR_BIT(huart->Instance->CR1, USART_CR1_IDLEIE);
        (void)HAL_DMA_Abort(huart->hdmarx);
    }
    huart->RxEventType = HAL_UART_RXEVENT_IDLE;
    HAL_UARTEx_RxEventCallback(huart, static_cast<uint16_t>(huart->RxXferSize - huart->RxXferCount));
}

// Interrupt context. SR, CR1 and CR3 are read once. Byte-by-byte reception and interrupt-driven
// transmission are never enabled by these operations (RXNEIE, TXEIE and TCIE stay clear), so only the
// receive errors and the idle line are handled.
void HAL_UART_IRQHandler(UART_HandleTypeDef* huart)
{
    // With the error flags a thread-level wait read during the reception (and pended us for), which the
    // receive stream's read of DR may have cleared since.
    uint32_t sr = huart->Instance->SR;
    if (huart->RxErrorsPolled != 0U) {
        sr |= huart->RxErrorsPolled;
        huart->RxErrorsPolled = 0U;
    }
    const uint32_t cr1 = huart->Instance->CR1;
    const uint32_t cr3 = huart->Instance->CR3;
    const uint32_t errors = sr & (USART_SR_PE | USART_SR_FE | USART_SR_ORE | USART_SR_NE);

    if (errors != 0U && ((cr3 & USART_CR3_EIE) != 0U || (cr1 & (USART_CR1_RXNEIE | USART_CR1_PEIE)) != 0U)) {
        // An idle condition in the same interrupt is not handled: the reception has ended.
        uart_receive_error(huart, sr, cr1, cr3);
        return;
    }
    if (huart->ReceptionType == HAL_UART_RECEPTION_TOIDLE && (sr & USART_SR_IDLE) != 0U &&
        (cr1 & USART_CR1_IDLEIE) != 0U) {
        uart_idle_line(huart);
    }
}

HAL_UART_StateTypeDef HAL_UART_GetState(UART_HandleTypeDef* huart)
{
    return static_cast<HAL_UART_StateTypeDef>(huart->gState | huart->RxState);
}

uint32_t HAL_UART_GetError(UART_HandleTypeDef* huart)
{
    return huart->ErrorCode;
}

// ---------------------------------------------------------------------------------------------------
// Defaults of the callbacks bound by name.

__attribute__((weak)) void HAL_UART_MspInit(UART_HandleTypeDef* huart)
{
    UNUSED(huart);
}
__attribute__((weak)) void HAL_UARTEx_RxEventCallback(UART_HandleTypeDef* huart, uint16_t Size)
{
    UNUSED(huart);
    UNUSED(Size);
}
__attribute__((weak)) void HAL_UART_ErrorCallback(UART_HandleTypeDef* huart)
{
    UNUSED(huart);
}
__attribute__((weak)) void HAL_UART_RxCpltCallback(UART_HandleTypeDef* huart)
{
    UNUSED(huart);
}
__attribute__((weak)) void HAL_UART_RxHalfCpltCallback(UART_HandleTypeDef* huart)
{
    UNUSED(huart);
}
__attribute__((weak)) void HAL_UART_TxCpltCallback(UART_HandleTypeDef* huart)
{
    UNUSED(huart);
}
