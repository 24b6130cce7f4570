// General-purpose timers: time base, clock source, master mode, and PWM output on a channel.
//
// Every operation here runs at thread level (board set-up, the main loop); none is safe against a
// concurrent use of the same handle from an interrupt.
#pragma once

#include "stm32f4xx_hal_def.h"

typedef struct {
    uint32_t Prescaler;          // counter clock = timer clock / (Prescaler + 1)
    uint32_t CounterMode;        // TIM_COUNTERMODE_x
    uint32_t Period;             // auto-reload value: a period is Period + 1 counter ticks
    uint32_t ClockDivision;      // TIM_CLOCKDIVISION_x (dead-time and filter clock)
    uint32_t RepetitionCounter;  // advanced timers only
    uint32_t AutoReloadPreload;  // TIM_AUTORELOAD_PRELOAD_x
} TIM_Base_InitTypeDef;

typedef struct {
    uint32_t ClockSource;  // TIM_CLOCKSOURCE_x
    uint32_t ClockPolarity;
    uint32_t ClockPrescaler;
    uint32_t ClockFilter;
} TIM_ClockConfigTypeDef;

typedef struct {
    uint32_t MasterOutputTrigger;  // TIM_TRGO_x: what the timer sends to other timers
    uint32_t MasterSlaveMode;      // TIM_MASTERSLAVEMODE_x
} TIM_MasterConfigTypeDef;

typedef struct {
    uint32_t OCMode;        // TIM_OCMODE_x
    uint32_t Pulse;         // compare value written to CCRx
    uint32_t OCPolarity;    // TIM_OCPOLARITY_x
    uint32_t OCNPolarity;   // complementary outputs (advanced timers only)
    uint32_t OCFastMode;    // TIM_OCFAST_x
    uint32_t OCIdleState;   // advanced timers only
    uint32_t OCNIdleState;  // advanced timers only
} TIM_OC_InitTypeDef;

typedef enum {
    HAL_TIM_STATE_RESET = 0x00U,
    HAL_TIM_STATE_READY = 0x01U,
    HAL_TIM_STATE_BUSY = 0x02U,
    HAL_TIM_STATE_TIMEOUT = 0x03U,
    HAL_TIM_STATE_ERROR = 0x04U,
} HAL_TIM_StateTypeDef;

// One byte per channel: the four channel states fill one word of the handle.
typedef enum : uint8_t {
    HAL_TIM_CHANNEL_STATE_RESET = 0x00U,
    HAL_TIM_CHANNEL_STATE_READY = 0x01U,
    HAL_TIM_CHANNEL_STATE_BUSY = 0x02U,
} HAL_TIM_ChannelStateTypeDef;

typedef enum {
    HAL_TIM_ACTIVE_CHANNEL_1 = 0x01U,
    HAL_TIM_ACTIVE_CHANNEL_2 = 0x02U,
    HAL_TIM_ACTIVE_CHANNEL_3 = 0x04U,
    HAL_TIM_ACTIVE_CHANNEL_4 = 0x08U,
    HAL_TIM_ACTIVE_CHANNEL_CLEARED = 0x00U,
} HAL_TIM_ActiveChannel;

typedef struct {
    TIM_TypeDef* Instance;          // the timer's registers
    TIM_Base_InitTypeDef Init;      // time-base settings
    HAL_TIM_ActiveChannel Channel;  // channel of the last capture/compare event
    HAL_LockTypeDef Lock;
    volatile HAL_TIM_StateTypeDef State;
    volatile HAL_TIM_ChannelStateTypeDef ChannelState[4];   // one per channel, in channel order
    volatile HAL_TIM_ChannelStateTypeDef ChannelNState[4];  // complementary outputs (advanced timers)
} TIM_HandleTypeDef;
static_assert(sizeof(TIM_HandleTypeDef::ChannelState) == 4, "one byte per channel state");

// Channel identifiers: the bit offset of the channel's group in CCER (four bits per channel).
#define TIM_CHANNEL_1 0x00000000U
#define TIM_CHANNEL_2 0x00000004U
#define TIM_CHANNEL_3 0x00000008U
#define TIM_CHANNEL_4 0x0000000CU

#define TIM_COUNTERMODE_UP 0x00000000U
#define TIM_COUNTERMODE_DOWN TIM_CR1_DIR

#define TIM_CLOCKDIVISION_DIV1 0x00000000U
#define TIM_CLOCKDIVISION_DIV2 0x00000100U
#define TIM_CLOCKDIVISION_DIV4 0x00000200U

#define TIM_AUTORELOAD_PRELOAD_DISABLE 0x00000000U
#define TIM_AUTORELOAD_PRELOAD_ENABLE TIM_CR1_ARPE

#define TIM_CLOCKSOURCE_INTERNAL 0x00001000U

#define TIM_TRGO_RESET 0x00000000U
#define TIM_TRGO_ENABLE 0x00000010U
#define TIM_TRGO_UPDATE 0x00000020U

#define TIM_MASTERSLAVEMODE_DISABLE 0x00000000U
#define TIM_MASTERSLAVEMODE_ENABLE TIM_SMCR_MSM

#define TIM_OCMODE_TIMING 0x00000000U
#define TIM_OCMODE_ACTIVE 0x00000010U
#define TIM_OCMODE_INACTIVE 0x00000020U
#define TIM_OCMODE_TOGGLE 0x00000030U
#define TIM_OCMODE_FORCED_INACTIVE 0x00000040U
#define TIM_OCMODE_FORCED_ACTIVE 0x00000050U
#define TIM_OCMODE_PWM1 0x00000060U
#define TIM_OCMODE_PWM2 0x00000070U

#define TIM_OCPOLARITY_HIGH 0x00000000U
#define TIM_OCPOLARITY_LOW TIM_CCER_CC1P

#define TIM_OCFAST_DISABLE 0x00000000U
#define TIM_OCFAST_ENABLE TIM_CCMR1_OC1FE

#define TIM_SLAVEMODE_DISABLE 0x00000000U
#define TIM_SLAVEMODE_RESET 0x00000004U
#define TIM_SLAVEMODE_GATED 0x00000005U
#define TIM_SLAVEMODE_TRIGGER 0x00000006U
#define TIM_SLAVEMODE_EXTERNAL1 0x00000007U

// Time base: counter mode, clock division and auto-reload preload into CR1, Period into ARR, Prescaler
// into PSC, then an update event so that both take effect now (its flag cleared). On a handle in state
// reset the board hook HAL_TIM_Base_MspInit runs first. HAL_ERROR for a null handle.
HAL_StatusTypeDef HAL_TIM_Base_Init(TIM_HandleTypeDef* htim);
// The same time-base set-up for PWM use; its own hook HAL_TIM_PWM_MspInit runs only in state reset.
HAL_StatusTypeDef HAL_TIM_PWM_Init(TIM_HandleTypeDef* htim);
// The internal clock clears the slave-mode selection, so the counter runs on the timer clock alone.
// Other clock sources are not provided by this platform: HAL_ERROR.
HAL_StatusTypeDef HAL_TIM_ConfigClockSource(TIM_HandleTypeDef* htim, TIM_ClockConfigTypeDef* sClockSourceConfig);
// Trigger output (CR2 MMS) and master/slave mode (SMCR MSM).
HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef* htim,
                                                        TIM_MasterConfigTypeDef* sMasterConfig);
// The channel's output is disabled while it is set up: compare mode, polarity and CCRx = Pulse, then
// compare preload on (a later CCRx write takes effect at the next update event) and the fast mode.
// HAL_ERROR for an unknown channel.
HAL_StatusTypeDef HAL_TIM_PWM_ConfigChannel(TIM_HandleTypeDef* htim, TIM_OC_InitTypeDef* sConfig, uint32_t Channel);
// HAL_ERROR (nothing changed) unless the channel is ready; else the channel becomes busy, its output
// is enabled and the counter started (unless the timer waits for a trigger in slave mode).
HAL_StatusTypeDef HAL_TIM_PWM_Start(TIM_HandleTypeDef* htim, uint32_t Channel);

// Board hooks, empty by default; a definition of the same name elsewhere replaces them.
void HAL_TIM_Base_MspInit(TIM_HandleTypeDef* htim);
void HAL_TIM_PWM_MspInit(TIM_HandleTypeDef* htim);
