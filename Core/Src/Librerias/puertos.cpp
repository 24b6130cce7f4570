#include "puertos.h"

// Position of the lowest pin in the mask, or 16 when the mask is empty.
static uint32_t primer_pin(uint16_t GPIO_Pin)
{
    uint32_t n = 0;
    while (n < 16U && (GPIO_Pin & (1U << n)) == 0U) {
        ++n;
    }
    return n;
}

void Output_Pin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin)
{
    uint32_t n = primer_pin(GPIO_Pin);
    if (n >= 16U) {
        return;
    }
    // Mode 01 (general-purpose output) first: the pin drives its latch from this write on.
    GPIOx->MODER = (GPIOx->MODER & ~(3U << (2U * n))) | (1U << (2U * n));
    GPIOx->OTYPER = GPIOx->OTYPER & ~(1U << n);                                // push-pull
    GPIOx->OSPEEDR = (GPIOx->OSPEEDR & ~(3U << (2U * n))) | (1U << (2U * n));  // medium speed
}

void Input_Pin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin)
{
    uint32_t n = primer_pin(GPIO_Pin);
    if (n >= 16U) {
        return;
    }
    GPIOx->MODER = GPIOx->MODER & ~(3U << (2U * n));  // input: the pin stops driving with this write
    GPIOx->PUPDR = GPIOx->PUPDR & ~(3U << (2U * n));  // no pull: the line's own pull-up raises it
}
