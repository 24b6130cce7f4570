// Interrupt controller and SysTick operations of the Cortex-M4 core.
#include "stm32f4xx_hal_cortex.h"

#include "stm32f4xx_hal_def.h"

// Number of the handler priority byte in the SCB for a system exception: exception 4 (MemManage) has
// byte 0, SysTick (exception 15, IRQn -1) byte 11.
static uint32_t system_handler_byte(IRQn_Type IRQn)
{
    return ((static_cast<uint32_t>(IRQn) & 0xFU) - 4U);
}

static uint8_t priority_field(uint32_t priority)
{
    return static_cast<uint8_t>((priority << (8U - __NVIC_PRIO_BITS)) & 0xFFU);
}

void NVIC_SetPriorityGrouping(uint32_t PriorityGroup)
{
    // AIRCR ignores a write whose top half is not the key 0x05FA; the other fields are kept.
    uint32_t value = SCB->AIRCR;
    value &= ~(SCB_AIRCR_VECTKEY_Msk | SCB_AIRCR_PRIGROUP_Msk);
    value |= (SCB_AIRCR_VECTKEY_VALUE << SCB_AIRCR_VECTKEY_Pos) | ((PriorityGroup & 7U) << SCB_AIRCR_PRIGROUP_Pos);
    SCB->AIRCR = value;
}

uint32_t NVIC_GetPriorityGrouping(void)
{
    return (SCB->AIRCR & SCB_AIRCR_PRIGROUP_Msk) >> SCB_AIRCR_PRIGROUP_Pos;
}

void NVIC_SetPriority(IRQn_Type IRQn, uint32_t priority)
{
    if (static_cast<int32_t>(IRQn) >= 0) {
        NVIC->IP[static_cast<uint32_t>(IRQn)] = priority_field(priority);
    } else {
        SCB->SHPR[system_handler_byte(IRQn)] = priority_field(priority);
    }
}

uint32_t NVIC_GetPriority(IRQn_Type IRQn)
{
    uint32_t field;
    if (static_cast<int32_t>(IRQn) >= 0) {
        field = NVIC->IP[static_cast<uint32_t>(IRQn)];
    } else {
        field = SCB->SHPR[system_handler_byte(IRQn)];
    }
    return field >> (8U - __NVIC_PRIO_BITS);
}

void NVIC_EnableIRQ(IRQn_Type IRQn)
{
    if (static_cast<int32_t>(IRQn) >= 0) {
        const uint32_t n = static_cast<uint32_t>(IRQn);
        NVIC->ISER[n >> 5U] = 1UL << (n & 0x1FU);  // write-one-to-set: the other lines are untouched
    }
}

void NVIC_SetPendingIRQ(IRQn_Type IRQn)
{
    if (static_cast<int32_t>(IRQn) >= 0) {
        const uint32_t n = static_cast<uint32_t>(IRQn);
        NVIC->ISPR[n >> 5U] = 1UL << (n & 0x1FU);  // write-one-to-set, as ISER
    }
}

void NVIC_DisableIRQ(IRQn_Type IRQn)
{
    if (static_cast<int32_t>(IRQn) >= 0) {
        const uint32_t n = static_cast<uint32_t>(IRQn);
        NVIC->ICER[n >> 5U] = 1UL << (n & 0x1FU);
        // Once this returns the interrupt can no longer be taken: let the write reach the NVIC first.
        __DSB();
        __ISB();
    }
}

uint32_t NVIC_EncodePriority(uint32_t PriorityGroup, uint32_t PreemptPriority, uint32_t SubPriority)
{
    // PRIGROUP g puts bits [7:g+1] of the byte in the pre-emption field; of the four implemented bits
    // [7:4] that leaves min(4, 7 - g) for pre-emption and the rest for sub-priority.
    const uint32_t group = PriorityGroup & 7U;
    const uint32_t preempt_bits = ((7U - group) > __NVIC_PRIO_BITS) ? __NVIC_PRIO_BITS : (7U - group);
    const uint32_t sub_bits = __NVIC_PRIO_BITS - preempt_bits;
    return ((PreemptPriority & ((1UL << preempt_bits) - 1U)) << sub_bits) | (SubPriority & ((1UL << sub_bits) - 1U));
}

uint32_t SysTick_Config(uint32_t ticks)
{
    // ticks = 0 wraps to 0xFFFFFFFF here and is refused too.
    if ((ticks - 1U) > SysTick_LOAD_RELOAD_Msk) {
        return 1U;
    }
    SysTick->LOAD = ticks - 1U;  // a period is LOAD + 1 clocks
    NVIC_SetPriority(SysTick_IRQn, (1UL << __NVIC_PRIO_BITS) - 1U);
    SysTick->VAL = 0U;  // clears the counter, so the first period is a whole one
    SysTick->CTRL = SysTick_CTRL_CLKSOURCE_Msk | SysTick_CTRL_TICKINT_Msk | SysTick_CTRL_ENABLE_Msk;
    return 0U;
}

void HAL_NVIC_SetPriorityGrouping(uint32_t PriorityGroup)
{
    NVIC_SetPriorityGrouping(PriorityGroup);
}

void HAL_NVIC_SetPriority(IRQn_Type IRQn, uint32_t PreemptPriority, uint32_t SubPriority)
{
    NVIC_SetPriority(IRQn, NVIC_EncodePriority(NVIC_GetPriorityGrouping(), PreemptPriority, SubPriority));
}

void HAL_NVIC_EnableIRQ(IRQn_Type IRQn)
{
    NVIC_EnableIRQ(IRQn);
}

void HAL_NVIC_DisableIRQ(IRQn_Type IRQn)
{
    NVIC_DisableIRQ(IRQn);
}

uint32_t HAL_SYSTICK_Config(uint32_t TicksNumb)
{
    return SysTick_Config(TicksNumb);
}
