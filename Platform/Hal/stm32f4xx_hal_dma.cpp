// DMA streams: initialisation, start with interrupts, abort, and the stream interrupt.
#include "stm32f4xx_hal.h"

// The flag register of a stream and, two words further on, its clear register.
typedef struct {
    reg32_t ISR;
    reg32_t Reserved;
    reg32_t IFCR;
} DMA_Flag_Registers;

// After a transfer error the controller disables the stream once the item on the bus has finished, a
// few AHB cycles later. 10 000 polls of CR (at least 40 000 core cycles) is thousands of times that, and
// keeps a stream that never reports itself disabled from holding the stream's interrupt for long.
#define NODE_DMA_DISABLE_POLLS 10000U

static DMA_Flag_Registers* dma_flags_of(DMA_HandleTypeDef* hdma)
{
    return reinterpret_cast<DMA_Flag_Registers*>(static_cast<uintptr_t>(hdma->StreamBaseAddress));
}

// Finds the stream's controller, number and flag field: stream x's registers start at 0x10 + 0x18 * x
// from the controller's base; streams 0-3 keep their flags in LISR, 4-7 in HISR, at bits 0, 6, 16, 22.
static void dma_locate_flags(DMA_HandleTypeDef* hdma)
{
    static const uint8_t flag_shift[4] = {0U, 6U, 16U, 22U};
    const uintptr_t stream = reinterpret_cast<uintptr_t>(hdma->Instance);
    uintptr_t controller = reinterpret_cast<uintptr_t>(DMA2);
    if (stream - controller >= 0x400U) controller = reinterpret_cast<uintptr_t>(DMA1);
    const uint32_t number = static_cast<uint32_t>((stream - controller - 0x10U) / 0x18U);
    hdma->StreamIndex = flag_shift[number & 3U];
    hdma->StreamBaseAddress = static_cast<uint32_t>(controller + (number >= 4U ? 4U : 0U));
}

static void dma_set_config(DMA_HandleTypeDef* hdma, uint32_t SrcAddress, uint32_t DstAddress, uint32_t DataLength)
{
    hdma->Instance->CR &= ~DMA_SxCR_DBM;
    hdma->Instance->NDTR = DataLength;
    if (hdma->Init.Direction == DMA_MEMORY_TO_PERIPH) {
        hdma->Instance->PAR = DstAddress;
        hdma->Instance->M0AR = SrcAddress;
    } else {
        hdma->Instance->PAR = SrcAddress;
        hdma->Instance->M0AR = DstAddress;
    }
}

// Thread level (board set-up).
HAL_StatusTypeDef HAL_DMA_Init(DMA_HandleTypeDef* hdma)
{
    if (hdma == NULL) return HAL_ERROR;
    const uint32_t tickstart = HAL_GetTick();

    hdma->State = HAL_DMA_STATE_BUSY;
    __HAL_UNLOCK(hdma);

    // A stream's configuration can be written only once it has finished the item in progress and
    // reads back disabled.
    __HAL_DMA_DISABLE(hdma);
    while ((hdma->Instance->CR & DMA_SxCR_EN) != 0U) {
        if ((HAL_GetTick() - tickstart) > HAL_TIMEOUT_DMA_ABORT) {
            hdma->ErrorCode = HAL_DMA_ERROR_TIMEOUT;
            hdma->State = HAL_DMA_STATE_TIMEOUT;
            return HAL_TIMEOUT;
        }
    }

    uint32_t cr = hdma->Instance->CR;
    cr &= ~(DMA_SxCR_MBURST | DMA_SxCR_PBURST | DMA_SxCR_PL | DMA_SxCR_MSIZE | DMA_SxCR_PSIZE | DMA_SxCR_MINC |
            DMA_SxCR_PINC | DMA_SxCR_CIRC | DMA_SxCR_DIR | DMA_SxCR_CT | DMA_SxCR_DBM | DMA_SxCR_CHSEL);
    cr |= hdma->Init.Channel | hdma->Init.Direction | hdma->Init.PeriphInc | hdma->Init.MemInc |
          hdma->Init.PeriphDataAlignment | hdma->Init.MemDataAlignment | hdma->Init.Mode | hdma->Init.Priority;
    if (hdma->Init.FIFOMode == DMA_FIFOMODE_ENABLE) cr |= hdma->Init.MemBurst | hdma->Init.PeriphBurst;
    hdma->Instance->CR = cr;

    uint32_t fcr = hdma->Instance->FCR;
    fcr &= ~(DMA_SxFCR_DMDIS | DMA_SxFCR_FTH);
    fcr |= hdma->Init.FIFOMode;
    if (hdma->Init.FIFOMode == DMA_FIFOMODE_ENABLE) fcr |= hdma->Init.FIFOThreshold;
    hdma->Instance->FCR = fcr;

    dma_locate_flags(hdma);
    dma_flags_of(hdma)->IFCR = DMA_FLAG_ALL << hdma->StreamIndex;

    hdma->ErrorCode = HAL_DMA_ERROR_NONE;
    hdma->State = HAL_DMA_STATE_READY;
    return HAL_OK;
}

// Thread or interrupt context.
HAL_StatusTypeDef HAL_DMA_Start_IT(DMA_HandleTypeDef* hdma, uint32_t SrcAddress, uint32_t DstAddress,
                                   uint32_t DataLength)
{
    __HAL_LOCK(hdma);
    if (hdma->State != HAL_DMA_STATE_READY) {
        __HAL_UNLOCK(hdma);
        return HAL_BUSY;
    }
    hdma->State = HAL_DMA_STATE_BUSY;
    hdma->ErrorCode = HAL_DMA_ERROR_NONE;
    dma_set_config(hdma, SrcAddress, DstAddress, DataLength);
    // Stale flags of an earlier transfer would raise the interrupt at once.
    dma_flags_of(hdma)->IFCR = DMA_FLAG_ALL << hdma->StreamIndex;
    hdma->Instance->CR |= DMA_IT_TC | DMA_IT_TE | DMA_IT_DME;
    if (hdma->XferHalfCpltCallback != NULL) hdma->Instance->CR |= DMA_IT_HT;
    __HAL_DMA_ENABLE(hdma);
    return HAL_OK;  // the lock is kept until the transfer completes or is aborted
}

// Thread or interrupt context. Blocking: the wait polls EN. In a priority-0 interrupt the tick stands
// still, so there the wait ends only when the stream reads back disabled, which the controller does once
// the data item in progress is done (a few bus cycles).
HAL_StatusTypeDef HAL_DMA_Abort(DMA_HandleTypeDef* hdma)
{
    const uint32_t tickstart = HAL_GetTick();
    if (hdma->State != HAL_DMA_STATE_BUSY) {
        hdma->ErrorCode = HAL_DMA_ERROR_NO_XFER;
        __HAL_UNLOCK(hdma);
        return HAL_ERROR;
    }

    hdma->Instance->CR &= ~(DMA_IT_TC | DMA_IT_TE | DMA_IT_DME);
    hdma->Instance->FCR &= ~DMA_IT_FE;
    if (hdma->XferHalfCpltCallback != NULL || hdma->XferM1HalfCpltCallback != NULL) hdma->Instance->CR &= ~DMA_IT_HT;
    __HAL_DMA_DISABLE(hdma);

    while ((hdma->Instance->CR & DMA_SxCR_EN) != 0U) {
        if ((HAL_GetTick() - tickstart) > HAL_TIMEOUT_DMA_ABORT) {
            hdma->ErrorCode = HAL_DMA_ERROR_TIMEOUT;
            hdma->State = HAL_DMA_STATE_TIMEOUT;
            __HAL_UNLOCK(hdma);
            return HAL_TIMEOUT;
        }
    }

    dma_flags_of(hdma)->IFCR = DMA_FLAG_ALL << hdma->StreamIndex;
    hdma->State = HAL_DMA_STATE_READY;
    __HAL_UNLOCK(hdma);
    return HAL_OK;
}

// Thread or interrupt context. The stream interrupt sees the stream stop (TCIF) and finishes the abort.
HAL_StatusTypeDef HAL_DMA_Abort_IT(DMA_HandleTypeDef* hdma)
{
    if (hdma->State != HAL_DMA_STATE_BUSY) {
        hdma->ErrorCode = HAL_DMA_ERROR_NO_XFER;
        return HAL_ERROR;
    }
    hdma->State = HAL_DMA_STATE_ABORT;
    __HAL_DMA_DISABLE(hdma);
    return HAL_OK;
}

// Interrupt context. The flags are read once; each step runs only if its interrupt is enabled at the
// moment it is looked at, so a callback that stops the stream cancels the steps after it.
void HAL_DMA_IRQHandler(DMA_HandleTypeDef* hdma)
{
    DMA_Flag_Registers* flags = dma_flags_of(hdma);
    const uint32_t shift = hdma->StreamIndex;
    const uint32_t isr = flags->ISR;
    uint32_t errors = HAL_DMA_ERROR_NONE;  // raised by this interrupt, so each is reported once

    if ((isr & (DMA_FLAG_TEIF << shift)) != 0U && (hdma->Instance->CR & DMA_IT_TE) != 0U) {
        hdma->Instance->CR &= ~DMA_IT_TE;
        flags->IFCR = DMA_FLAG_TEIF << shift;
        errors |= HAL_DMA_ERROR_TE;
    }
    if ((isr & (DMA_FLAG_FEIF << shift)) != 0U && (hdma->Instance->FCR & DMA_IT_FE) != 0U) {
        flags->IFCR = DMA_FLAG_FEIF << shift;
        errors |= HAL_DMA_ERROR_FE;
    }
    if ((isr & (DMA_FLAG_DMEIF << shift)) != 0U && (hdma->Instance->CR & DMA_IT_DME) != 0U) {
        flags->IFCR = DMA_FLAG_DMEIF << shift;
        errors |= HAL_DMA_ERROR_DME;
    }
    hdma->ErrorCode = hdma->ErrorCode | errors;

    if ((isr & (DMA_FLAG_HTIF << shift)) != 0U && (hdma->Instance->CR & DMA_IT_HT) != 0U) {
        flags->IFCR = DMA_FLAG_HTIF << shift;
        // In normal mode the half-transfer point comes once per transfer.
        if ((hdma->Instance->CR & DMA_SxCR_CIRC) == 0U) hdma->Instance->CR &= ~DMA_IT_HT;
        if (hdma->XferHalfCpltCallback != NULL) hdma->XferHalfCpltCallback(hdma);
    }

    if ((isr & (DMA_FLAG_TCIF << shift)) != 0U && (hdma->Instance->CR & DMA_IT_TC) != 0U) {
        flags->IFCR = DMA_FLAG_TCIF << shift;
        if (hdma->State == HAL_DMA_STATE_ABORT) {
            // The stream has stopped after HAL_DMA_Abort_IT: finish the abort.
            hdma->Instance->CR &= ~(DMA_IT_TC | DMA_IT_TE | DMA_IT_DME);
            hdma->Instance->FCR &= ~DMA_IT_FE;
            if (hdma->XferHalfCpltCallback != NULL || hdma->XferM1HalfCpltCallback != NULL)
                hdma->Instance->CR &= ~DMA_IT_HT;
            flags->IFCR = DMA_FLAG_ALL << shift;
            hdma->State = HAL_DMA_STATE_READY;
            __HAL_UNLOCK(hdma);
            if (hdma->XferAbortCallback != NULL) hdma->XferAbortCallback(hdma);
            return;
        }
        if ((hdma->Instance->CR & DMA_SxCR_CIRC) == 0U) {
            hdma->Instance->CR &= ~DMA_IT_TC;
            hdma->State = HAL_DMA_STATE_READY;
            __HAL_UNLOCK(hdma);
        }
        if (hdma->XferCpltCallback != NULL) hdma->XferCpltCallback(hdma);
    }

    if (errors != HAL_DMA_ERROR_NONE) {
        if ((errors & HAL_DMA_ERROR_TE) != 0U) {
            // The controller has disabled the stream on the bus error; make sure it reads back disabled
            // (bounded) before it is declared ready again.
            hdma->State = HAL_DMA_STATE_ABORT;
            __HAL_DMA_DISABLE(hdma);
            uint32_t count = 0U;
            while ((hdma->Instance->CR & DMA_SxCR_EN) != 0U && ++count <= NODE_DMA_DISABLE_POLLS) {}
            hdma->State = HAL_DMA_STATE_READY;
            __HAL_UNLOCK(hdma);
        }
        if (hdma->XferErrorCallback != NULL) hdma->XferErrorCallback(hdma);
    }
}

HAL_DMA_StateTypeDef HAL_DMA_GetState(DMA_HandleTypeDef* hdma)
{
    return hdma->State;
}

uint32_t HAL_DMA_GetError(DMA_HandleTypeDef* hdma)
{
    return hdma->ErrorCode;
}
