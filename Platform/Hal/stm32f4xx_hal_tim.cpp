#include "stm32f4xx_hal.h"

namespace {

bool valid_channel(uint32_t Channel)
{
    return Channel == TIM_CHANNEL_1 || Channel == TIM_CHANNEL_2 || Channel == TIM_CHANNEL_3 || Channel == TIM_CHANNEL_4;
}

// Counter mode, clock division and auto-reload preload into CR1, then ARR and PSC. Both ARR (with
// preload) and PSC (always) are buffered, so an update event is generated to load them now; it also
// clears the counter. Its UIF flag is then cleared (SR bits are cleared by writing 0, so the write
// leaves every other flag as it is).
void set_time_base(TIM_TypeDef* tim, const TIM_Base_InitTypeDef* init)
{
    uint32_t cr1 = tim->CR1;
    cr1 &= ~(TIM_CR1_DIR | TIM_CR1_CMS);
    cr1 |= init->CounterMode;
    cr1 &= ~TIM_CR1_CKD;
    cr1 |= init->ClockDivision;
    cr1 &= ~TIM_CR1_ARPE;
    cr1 |= init->AutoReloadPreload;
    tim->CR1 = cr1;

    tim->ARR = init->Period;
    tim->PSC = init->Prescaler;
    tim->EGR = TIM_EGR_UG;
    tim->SR = ~TIM_SR_UIF;
}

void set_all_channels(TIM_HandleTypeDef* htim, HAL_TIM_ChannelStateTypeDef state)
{
    for (int i = 0; i < 4; ++i) {
        htim->ChannelState[i] = state;
        htim->ChannelNState[i] = state;
    }
}

enum class Hook { Base, Pwm };

HAL_StatusTypeDef init_time_base(TIM_HandleTypeDef* htim, Hook hook)
{
    if (htim == NULL) return HAL_ERROR;
    if (htim->State == HAL_TIM_STATE_RESET) {
        htim->Lock = HAL_UNLOCKED;
        if (hook == Hook::Base) {
            HAL_TIM_Base_MspInit(htim);
        } else {
            HAL_TIM_PWM_MspInit(htim);
        }
    }
    htim->State = HAL_TIM_STATE_BUSY;
    set_time_base(htim->Instance, &htim->Init);
    set_all_channels(htim, HAL_TIM_CHANNEL_STATE_READY);
    htim->State = HAL_TIM_STATE_READY;
    return HAL_OK;
}

// Channel n (0..3) in PWM/compare output: CCMR1 holds channels 1 and 2, CCMR2 channels 3 and 4, eight
// bits each; CCER four bits per channel; CCR1..CCR4 one register each.
void set_output_compare(TIM_TypeDef* tim, const TIM_OC_InitTypeDef* config, uint32_t Channel)
{
    uint32_t n = Channel / 4U;
    reg32_t& ccmr = (n < 2U) ? tim->CCMR1 : tim->CCMR2;
    uint32_t ccmr_shift = (n % 2U) * 8U;
    reg32_t* ccr[4] = {&tim->CCR1, &tim->CCR2, &tim->CCR3, &tim->CCR4};

    tim->CCER &= ~(TIM_CCER_CC1E << Channel);  // output off while it is set up

    uint32_t ccer = tim->CCER;
    uint32_t mode = ccmr;
    mode &= ~((TIM_CCMR1_OC1M | TIM_CCMR1_CC1S) << ccmr_shift);  // CC1S 00: the channel is an output
    mode |= config->OCMode << ccmr_shift;
    ccer &= ~(TIM_CCER_CC1P << Channel);
    ccer |= config->OCPolarity << Channel;

    ccmr = mode;
    *ccr[n] = config->Pulse;
    tim->CCER = ccer;

    ccmr |= TIM_CCMR1_OC1PE << ccmr_shift;
    ccmr &= ~(TIM_CCMR1_OC1FE << ccmr_shift);
    ccmr |= config->OCFastMode << ccmr_shift;
}

}  // namespace

HAL_StatusTypeDef HAL_TIM_Base_Init(TIM_HandleTypeDef* htim)
{
    return init_time_base(htim, Hook::Base);
}

HAL_StatusTypeDef HAL_TIM_PWM_Init(TIM_HandleTypeDef* htim)
{
    return init_time_base(htim, Hook::Pwm);
}

HAL_StatusTypeDef HAL_TIM_ConfigClockSource(TIM_HandleTypeDef* htim, TIM_ClockConfigTypeDef* sClockSourceConfig)
{
    __HAL_LOCK(htim);
    htim->State = HAL_TIM_STATE_BUSY;

    HAL_StatusTypeDef status = HAL_OK;
    uint32_t smcr = htim->Instance->SMCR;
    smcr &= ~(TIM_SMCR_SMS | TIM_SMCR_TS);
    smcr &= ~(TIM_SMCR_ETF | TIM_SMCR_ETPS | TIM_SMCR_ECE | TIM_SMCR_ETP);
    htim->Instance->SMCR = smcr;

    if (sClockSourceConfig->ClockSource != TIM_CLOCKSOURCE_INTERNAL) {
        status = HAL_ERROR;
    }

    htim->State = HAL_TIM_STATE_READY;
    __HAL_UNLOCK(htim);
    return status;
}

HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef* htim, TIM_MasterConfigTypeDef* sMasterConfig)
{
    __HAL_LOCK(htim);
    htim->State = HAL_TIM_STATE_BUSY;

    uint32_t cr2 = htim->Instance->CR2;
    uint32_t smcr = htim->Instance->SMCR;
    cr2 &= ~TIM_CR2_MMS;
    cr2 |= sMasterConfig->MasterOutputTrigger;
    htim->Instance->CR2 = cr2;
    smcr &= ~TIM_SMCR_MSM;
    smcr |= sMasterConfig->MasterSlaveMode;
    htim->Instance->SMCR = smcr;

    htim->State = HAL_TIM_STATE_READY;
    __HAL_UNLOCK(htim);
    return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_ConfigChannel(TIM_HandleTypeDef* htim, TIM_OC_InitTypeDef* sConfig, uint32_t Channel)
{
    __HAL_LOCK(htim);
    HAL_StatusTypeDef status = HAL_OK;
    if (valid_channel(Channel)) {
        set_output_compare(htim->Instance, sConfig, Channel);
    } else {
        status = HAL_ERROR;
    }
    __HAL_UNLOCK(htim);
    return status;
}

HAL_StatusTypeDef HAL_TIM_PWM_Start(TIM_HandleTypeDef* htim, uint32_t Channel)
{
    // An unknown channel would index past ChannelState and shift the enable bit out of its group.
    if (!valid_channel(Channel)) return HAL_ERROR;
    if (htim->ChannelState[Channel / 4U] != HAL_TIM_CHANNEL_STATE_READY) return HAL_ERROR;
    htim->ChannelState[Channel / 4U] = HAL_TIM_CHANNEL_STATE_BUSY;

    TIM_TypeDef* tim = htim->Instance;
    tim->CCER &= ~(TIM_CCER_CC1E << Channel);
    tim->CCER |= TIM_CCER_CC1E << Channel;

    // In trigger mode the counter is started by the trigger input, not here.
    if ((tim->SMCR & TIM_SMCR_SMS) != TIM_SLAVEMODE_TRIGGER) {
        tim->CR1 |= TIM_CR1_CEN;
    }
    return HAL_OK;
}

__attribute__((weak)) void HAL_TIM_Base_MspInit(TIM_HandleTypeDef* htim)
{
    UNUSED(htim);
}

__attribute__((weak)) void HAL_TIM_PWM_MspInit(TIM_HandleTypeDef* htim)
{
    UNUSED(htim);
}
