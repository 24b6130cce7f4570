// Serial ports: initialisation, blocking transmission, reception by DMA that ends on an idle line, its
// stop, and the port's interrupt handler.
//
// The transmit side (gState) and the receive side (RxState) of a handle have separate states, and none
// of these operations takes the handle's lock, so the main loop may transmit while a reception runs in
// interrupt context on the same handle. The receive steps change CR1/CR3 bits with exclusive
// read-modify-writes only.
#pragma once

#include "stm32f4xx_hal_def.h"
#include "stm32f4xx_hal_dma.h"

typedef struct {
    uint32_t BaudRate;      // bits per second
    uint32_t WordLength;    // UART_WORDLENGTH_8B / UART_WORDLENGTH_9B (parity included)
    uint32_t StopBits;      // UART_STOPBITS_1 / UART_STOPBITS_2
    uint32_t Parity;        // UART_PARITY_NONE / _EVEN / _ODD
    uint32_t Mode;          // UART_MODE_RX, UART_MODE_TX, UART_MODE_TX_RX
    uint32_t HwFlowCtl;     // UART_HWCONTROL_*
    uint32_t OverSampling;  // UART_OVERSAMPLING_16 / UART_OVERSAMPLING_8
} UART_InitTypeDef;

typedef enum : uint8_t {
    HAL_UART_STATE_RESET = 0x00U,  // never initialised
    HAL_UART_STATE_READY = 0x20U,
    HAL_UART_STATE_BUSY = 0x24U,  // during initialisation
    HAL_UART_STATE_BUSY_TX = 0x21U,
    HAL_UART_STATE_BUSY_RX = 0x22U,
    HAL_UART_STATE_BUSY_TX_RX = 0x23U,
    HAL_UART_STATE_TIMEOUT = 0xA0U,
    HAL_UART_STATE_ERROR = 0xE0U,
} HAL_UART_StateTypeDef;

// Kind of reception in progress.
typedef uint32_t HAL_UART_RxTypeTypeDef;
#define HAL_UART_RECEPTION_STANDARD 0x00000000U  // ends when the buffer is full
#define HAL_UART_RECEPTION_TOIDLE 0x00000001U    // may end early on an idle line

// What raised the latest receive-event callback.
typedef uint32_t HAL_UART_RxEventTypeTypeDef;
#define HAL_UART_RXEVENT_TC 0x00000000U    // buffer full
#define HAL_UART_RXEVENT_HT 0x00000001U    // buffer half full
#define HAL_UART_RXEVENT_IDLE 0x00000002U  // idle line

typedef struct __UART_HandleTypeDef {
    USART_TypeDef* Instance;  // the port's registers; identifies the port
    UART_InitTypeDef Init;
    const uint8_t* pTxBuffPtr;
    uint16_t TxXferSize;
    volatile uint16_t TxXferCount;  // units still to send
    uint8_t* pRxBuffPtr;
    uint16_t RxXferSize;            // the buffer's size at arming
    volatile uint16_t RxXferCount;  // bytes still expected
    volatile HAL_UART_RxTypeTypeDef ReceptionType;
    volatile HAL_UART_RxEventTypeTypeDef RxEventType;
    DMA_HandleTypeDef* hdmatx;
    DMA_HandleTypeDef* hdmarx;
    HAL_LockTypeDef Lock;                    // none of the operations here takes it
    volatile HAL_UART_StateTypeDef gState;   // the handle as a whole and its transmit side
    volatile HAL_UART_StateTypeDef RxState;  // the receive side
    volatile uint32_t ErrorCode;             // HAL_UART_ERROR_* bits
    // Receive error flags a wait on SR at thread level read during a reception, for the port's
    // interrupt handler, which takes them (uart_hand_errors_to_handler says why).
    volatile uint32_t RxErrorsPolled;
} UART_HandleTypeDef;
static_assert(sizeof(UART_HandleTypeDef::Lock) == 1, "the lock is one unsigned byte");

#define UART_WORDLENGTH_8B 0x00000000U
#define UART_WORDLENGTH_9B USART_CR1_M
#define UART_STOPBITS_1 0x00000000U
#define UART_STOPBITS_2 USART_CR2_STOP_1
#define UART_PARITY_NONE 0x00000000U
#define UART_PARITY_EVEN USART_CR1_PCE
#define UART_PARITY_ODD (USART_CR1_PCE | USART_CR1_PS)
#define UART_MODE_RX USART_CR1_RE
#define UART_MODE_TX USART_CR1_TE
#define UART_MODE_TX_RX (USART_CR1_TE | USART_CR1_RE)
#define UART_HWCONTROL_NONE 0x00000000U
#define UART_HWCONTROL_RTS USART_CR3_RTSE
#define UART_HWCONTROL_CTS USART_CR3_CTSE
#define UART_HWCONTROL_RTS_CTS (USART_CR3_RTSE | USART_CR3_CTSE)
#define UART_OVERSAMPLING_16 0x00000000U
#define UART_OVERSAMPLING_8 USART_CR1_OVER8

// CR2 STOP = 10: two stop bits.
#define USART_CR2_STOP_1 (0x2UL << USART_CR2_STOP_Pos)

#define HAL_UART_ERROR_NONE 0x00000000U
#define HAL_UART_ERROR_PE 0x00000001U   // parity
#define HAL_UART_ERROR_NE 0x00000002U   // noise
#define HAL_UART_ERROR_FE 0x00000004U   // framing
#define HAL_UART_ERROR_ORE 0x00000008U  // overrun
#define HAL_UART_ERROR_DMA 0x00000010U  // the receive or transmit stream failed

#define __HAL_UART_ENABLE(h) ((h)->Instance->CR1 |= USART_CR1_UE)
#define __HAL_UART_DISABLE(h) ((h)->Instance->CR1 &= ~USART_CR1_UE)
#define __HAL_UART_GET_FLAG(h, flag) (((h)->Instance->SR & (flag)) == (flag))
// PE, FE, NE, ORE and IDLE clear by a read of SR followed by a read of DR.
#define __HAL_UART_CLEAR_PEFLAG(h)                           \
    do {                                                     \
        volatile uint32_t uart_sr_read_ = (h)->Instance->SR; \
        volatile uint32_t uart_dr_read_ = (h)->Instance->DR; \
        (void)uart_sr_read_;                                 \
        (void)uart_dr_read_;                                 \
    } while (0U)
#define __HAL_UART_CLEAR_OREFLAG(h) __HAL_UART_CLEAR_PEFLAG(h)
#define __HAL_UART_CLEAR_IDLEFLAG(h) __HAL_UART_CLEAR_PEFLAG(h)

// Thread level (board set-up). Calls HAL_UART_MspInit on the first initialisation of the handle, then
// programs the port (line parameters, baud-rate divider) and enables it.
HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef* huart);
// Thread level only (its time-out runs on the tick). Sends Size units and returns once the last stop
// bit has left the line; Timeout in ms bounds the whole call.
HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef* huart, const uint8_t* pData, uint16_t Size, uint32_t Timeout);
// Thread level. Arms one reception of at most Size bytes into pData by DMA, ended by an idle line, a
// full buffer or a line error; events come through HAL_UARTEx_RxEventCallback.
HAL_StatusTypeDef HAL_UARTEx_ReceiveToIdle_DMA(UART_HandleTypeDef* huart, uint8_t* pData, uint16_t Size);
// Thread or interrupt context (the receive callback calls it). Stops a running DMA reception.
HAL_StatusTypeDef HAL_UART_DMAStop(UART_HandleTypeDef* huart);
// Interrupt context: the port's interrupt handler (idle line and receive errors).
void HAL_UART_IRQHandler(UART_HandleTypeDef* huart);
// Any context.
HAL_UART_StateTypeDef HAL_UART_GetState(UART_HandleTypeDef* huart);
uint32_t HAL_UART_GetError(UART_HandleTypeDef* huart);

// Callbacks bound by name: the platform's defaults are empty and weak; a definition elsewhere in the
// firmware replaces them at link time.
void HAL_UART_MspInit(UART_HandleTypeDef* huart);                           // thread level, from HAL_UART_Init
void HAL_UARTEx_RxEventCallback(UART_HandleTypeDef* huart, uint16_t Size);  // interrupt context
void HAL_UART_ErrorCallback(UART_HandleTypeDef* huart);                     // interrupt context
void HAL_UART_RxCpltCallback(UART_HandleTypeDef* huart);                    // interrupt context
void HAL_UART_RxHalfCpltCallback(UART_HandleTypeDef* huart);                // interrupt context
void HAL_UART_TxCpltCallback(UART_HandleTypeDef* huart);                    // interrupt context
