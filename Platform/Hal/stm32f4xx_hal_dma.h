// DMA streams: initialisation, start with interrupts, abort, and the stream interrupt.
//
// A stream's CR holds its configuration (CHSEL 27:25, direction 7:6, increments, sizes, mode, priority)
// and its interrupt enables; its flags sit in a six-bit field of LISR (streams 0-3) or HISR (4-7) and are
// cleared through LIFCR/HIFCR. The handle remembers where that field is.
#pragma once

#include "stm32f4xx_hal_def.h"

typedef struct {
    uint32_t Channel;              // DMA_CHANNEL_0 .. DMA_CHANNEL_7
    uint32_t Direction;            // DMA_PERIPH_TO_MEMORY, DMA_MEMORY_TO_PERIPH, DMA_MEMORY_TO_MEMORY
    uint32_t PeriphInc;            // DMA_PINC_ENABLE / DMA_PINC_DISABLE
    uint32_t MemInc;               // DMA_MINC_ENABLE / DMA_MINC_DISABLE
    uint32_t PeriphDataAlignment;  // DMA_PDATAALIGN_*
    uint32_t MemDataAlignment;     // DMA_MDATAALIGN_*
    uint32_t Mode;                 // DMA_NORMAL, DMA_CIRCULAR, DMA_PFCTRL
    uint32_t Priority;             // DMA_PRIORITY_*
    uint32_t FIFOMode;             // DMA_FIFOMODE_DISABLE (direct mode) / DMA_FIFOMODE_ENABLE
    uint32_t FIFOThreshold;        // DMA_FIFO_THRESHOLD_*, used in FIFO mode only
    uint32_t MemBurst;             // DMA_MBURST_*, used in FIFO mode only
    uint32_t PeriphBurst;          // DMA_PBURST_*, used in FIFO mode only
} DMA_InitTypeDef;

typedef enum {
    HAL_DMA_STATE_RESET = 0x00U,
    HAL_DMA_STATE_READY = 0x01U,
    HAL_DMA_STATE_BUSY = 0x02U,
    HAL_DMA_STATE_TIMEOUT = 0x03U,
    HAL_DMA_STATE_ERROR = 0x04U,
    HAL_DMA_STATE_ABORT = 0x05U,
} HAL_DMA_StateTypeDef;

typedef struct __DMA_HandleTypeDef {
    DMA_Stream_TypeDef* Instance;
    DMA_InitTypeDef Init;
    HAL_LockTypeDef Lock;  // taken when a transfer starts, released when it completes or is aborted
    volatile HAL_DMA_StateTypeDef State;
    void* Parent;  // the peripheral handle that owns the stream
    // Steps called from the stream interrupt, installed by the peripheral's operations; null is skipped.
    void (*XferCpltCallback)(struct __DMA_HandleTypeDef* hdma);
    void (*XferHalfCpltCallback)(struct __DMA_HandleTypeDef* hdma);
    void (*XferM1CpltCallback)(struct __DMA_HandleTypeDef* hdma);
    void (*XferM1HalfCpltCallback)(struct __DMA_HandleTypeDef* hdma);
    void (*XferErrorCallback)(struct __DMA_HandleTypeDef* hdma);
    void (*XferAbortCallback)(struct __DMA_HandleTypeDef* hdma);
    volatile uint32_t ErrorCode;  // HAL_DMA_ERROR_* bits
    // Where the stream's flags are: the address of LISR (streams 0-3) or HISR (4-7) of its controller,
    // whose clear register lies two words further on, and the position of its field in them.
    uint32_t StreamBaseAddress;
    uint32_t StreamIndex;
} DMA_HandleTypeDef;
static_assert(sizeof(DMA_HandleTypeDef::Lock) == 1, "the lock is one unsigned byte");

// Channel selection, CR bits 27:25.
#define DMA_CHANNEL_0 0x00000000U
#define DMA_CHANNEL_1 0x02000000U
#define DMA_CHANNEL_2 0x04000000U
#define DMA_CHANNEL_3 0x06000000U
#define DMA_CHANNEL_4 0x08000000U
#define DMA_CHANNEL_5 0x0A000000U
#define DMA_CHANNEL_6 0x0C000000U
#define DMA_CHANNEL_7 0x0E000000U

#define DMA_PERIPH_TO_MEMORY 0x00000000U
#define DMA_MEMORY_TO_PERIPH 0x00000040U
#define DMA_MEMORY_TO_MEMORY 0x00000080U

#define DMA_PINC_ENABLE 0x00000200U
#define DMA_PINC_DISABLE 0x00000000U
#define DMA_MINC_ENABLE 0x00000400U
#define DMA_MINC_DISABLE 0x00000000U

#define DMA_PDATAALIGN_BYTE 0x00000000U
#define DMA_PDATAALIGN_HALFWORD 0x00000800U
#define DMA_PDATAALIGN_WORD 0x00001000U
#define DMA_MDATAALIGN_BYTE 0x00000000U
#define DMA_MDATAALIGN_HALFWORD 0x00002000U
#define DMA_MDATAALIGN_WORD 0x00004000U

#define DMA_NORMAL 0x00000000U
#define DMA_CIRCULAR 0x00000100U
#define DMA_PFCTRL 0x00000020U

#define DMA_PRIORITY_LOW 0x00000000U
#define DMA_PRIORITY_MEDIUM 0x00010000U
#define DMA_PRIORITY_HIGH 0x00020000U
#define DMA_PRIORITY_VERY_HIGH 0x00030000U

#define DMA_FIFOMODE_DISABLE 0x00000000U
#define DMA_FIFOMODE_ENABLE 0x00000004U
#define DMA_FIFO_THRESHOLD_1QUARTERFULL 0x00000000U
#define DMA_FIFO_THRESHOLD_HALFFULL 0x00000001U
#define DMA_FIFO_THRESHOLD_3QUARTERSFULL 0x00000002U
#define DMA_FIFO_THRESHOLD_FULL 0x00000003U

#define DMA_MBURST_SINGLE 0x00000000U
#define DMA_MBURST_INC4 0x00800000U
#define DMA_MBURST_INC8 0x01000000U
#define DMA_MBURST_INC16 0x01800000U
#define DMA_PBURST_SINGLE 0x00000000U
#define DMA_PBURST_INC4 0x00200000U
#define DMA_PBURST_INC8 0x00400000U
#define DMA_PBURST_INC16 0x00600000U

// Stream interrupts: the enables in CR, and the FIFO error enable in FCR.
#define DMA_IT_TC DMA_SxCR_TCIE
#define DMA_IT_HT DMA_SxCR_HTIE
#define DMA_IT_TE DMA_SxCR_TEIE
#define DMA_IT_DME DMA_SxCR_DMEIE
#define DMA_IT_FE DMA_SxFCR_FEIE

#define HAL_DMA_ERROR_NONE 0x00000000U
#define HAL_DMA_ERROR_TE 0x00000001U       // transfer error
#define HAL_DMA_ERROR_FE 0x00000002U       // FIFO error
#define HAL_DMA_ERROR_DME 0x00000004U      // direct-mode error
#define HAL_DMA_ERROR_TIMEOUT 0x00000020U  // the stream did not report itself disabled in time
#define HAL_DMA_ERROR_PARAM 0x00000040U
#define HAL_DMA_ERROR_NO_XFER 0x00000080U  // abort with no transfer in progress
#define HAL_DMA_ERROR_NOT_SUPPORTED 0x00000100U

// How long a stream may take to report itself disabled, in ms of the tick.
#define HAL_TIMEOUT_DMA_ABORT 5U

#define __HAL_DMA_ENABLE(h) ((h)->Instance->CR |= DMA_SxCR_EN)
#define __HAL_DMA_DISABLE(h) ((h)->Instance->CR &= ~DMA_SxCR_EN)
// Items still to transfer.
#define __HAL_DMA_GET_COUNTER(h) ((h)->Instance->NDTR)

// Links a peripheral handle and its DMA handle both ways: `field` of the peripheral handle (hdmarx,
// hdmatx) gets the DMA handle, whose Parent gets the peripheral handle.
#define __HAL_LINKDMA(handle, field, dma_handle) \
    do {                                         \
        (handle)->field = &(dma_handle);         \
        (dma_handle).Parent = (handle);          \
    } while (0U)

// Thread level (board set-up). Programs the stream from Init and makes it ready.
HAL_StatusTypeDef HAL_DMA_Init(DMA_HandleTypeDef* hdma);
// Thread or interrupt context. Starts a transfer with its interrupts; the lock is kept until it ends.
HAL_StatusTypeDef HAL_DMA_Start_IT(DMA_HandleTypeDef* hdma, uint32_t SrcAddress, uint32_t DstAddress,
                                   uint32_t DataLength);
// Thread or interrupt context. Stops the transfer and waits (5 ms at most by the tick, which does not
// move in a priority-0 interrupt) until the stream reads back disabled.
HAL_StatusTypeDef HAL_DMA_Abort(DMA_HandleTypeDef* hdma);
// Thread or interrupt context. Disables the stream without waiting; the stream interrupt finishes.
HAL_StatusTypeDef HAL_DMA_Abort_IT(DMA_HandleTypeDef* hdma);
// Interrupt context: the stream's interrupt handler.
void HAL_DMA_IRQHandler(DMA_HandleTypeDef* hdma);
// Any context.
HAL_DMA_StateTypeDef HAL_DMA_GetState(DMA_HandleTypeDef* hdma);
uint32_t HAL_DMA_GetError(DMA_HandleTypeDef* hdma);
