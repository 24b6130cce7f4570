#include "stm32f4xx_hal.h"

namespace {

constexpr uint32_t kModeField = 0x3U;       // the MODER value in the low two bits of Mode
constexpr uint32_t kOpenDrainFlag = 0x10U;  // output type in bit 4 of Mode
constexpr uint32_t kModeOutput = 1U;
constexpr uint32_t kModeAlternate = 2U;
constexpr uint32_t kModeAnalog = 3U;

// Replaces the `width`-bit field of pin-position `index` in a register shared by the port's pins.
void write_field(reg32_t& reg, uint32_t index, uint32_t width, uint32_t value)
{
    uint32_t shift = index * width;
    uint32_t mask = ((1U << width) - 1U) << shift;
    uint32_t word = reg;
    word &= ~mask;
    word |= (value << shift) & mask;
    reg = word;
}

}  // namespace

void HAL_GPIO_Init(GPIO_TypeDef* GPIOx, GPIO_InitTypeDef* GPIO_Init)
{
    uint32_t mode = GPIO_Init->Mode & kModeField;
    for (uint32_t pin = 0U; pin < 16U; ++pin) {
        if ((GPIO_Init->Pin & (1U << pin)) == 0U) continue;

        if (mode == kModeOutput || mode == kModeAlternate) {
            write_field(GPIOx->OSPEEDR, pin, 2U, GPIO_Init->Speed);
            write_field(GPIOx->OTYPER, pin, 1U, (GPIO_Init->Mode & kOpenDrainFlag) != 0U ? 1U : 0U);
        }
        if (mode != kModeAnalog) {
            write_field(GPIOx->PUPDR, pin, 2U, GPIO_Init->Pull);
        }
        if (mode == kModeAlternate) {
            // AFR[0] holds pins 0-7, AFR[1] pins 8-15, four bits each.
            write_field(GPIOx->AFR[pin >> 3U], pin & 0x7U, 4U, GPIO_Init->Alternate);
        }
        write_field(GPIOx->MODER, pin, 2U, mode);
    }
}

void HAL_GPIO_WritePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin, GPIO_PinState PinState)
{
    if (PinState != GPIO_PIN_RESET) {
        GPIOx->BSRR = GPIO_Pin;
    } else {
        GPIOx->BSRR = (uint32_t)GPIO_Pin << 16U;
    }
}

GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin)
{
    return ((GPIOx->IDR & GPIO_Pin) != 0U) ? GPIO_PIN_SET : GPIO_PIN_RESET;
}

void HAL_GPIO_TogglePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin)
{
    uint32_t odr = GPIOx->ODR;
    // Pins now high are reset (upper half), pins now low are set (lower half).
    GPIOx->BSRR = ((odr & GPIO_Pin) << 16U) | (~odr & GPIO_Pin);
}
