// The main module: board pin labels, the platform handles, the board's initialisers, the stop after a
// failed set-up, and the interpretation of dashboard commands.
#pragma once

#include "stm32f4xx_hal.h"

// Pin labels.
#define LED_Pin GPIO_PIN_13
#define LED_GPIO_Port GPIOC
#define SW_Pin GPIO_PIN_12
#define SW_GPIO_Port GPIOB
#define onewire_Pin GPIO_PIN_13
#define onewire_GPIO_Port GPIOB

// Platform handles, configured by the board initialisers.
extern TIM_HandleTypeDef htim2;
extern UART_HandleTypeDef huart1;
extern UART_HandleTypeDef huart2;
extern DMA_HandleTypeDef hdma_usart1_rx;

// Board bring-up, in the order main calls them.
void SystemClock_Config(void);
void MX_GPIO_Init(void);
void MX_DMA_Init(void);
void MX_USART1_UART_Init(void);
void MX_USART2_UART_Init(void);
void MX_TIM2_Init(void);
void HAL_TIM_MspPostInit(TIM_HandleTypeDef* htim);
void Error_Handler(void);

// Dashboard protocol.
extern char texto[100];                               // the formatted temperature report
extern float temperatura;                             // the last measured temperature, degrees Celsius
void procesa_rx(void);                                // interprets the frame in trama_rx
void formatea_temperatura(float t);                   // the temperature report "!A00=%.1f$" into texto
const char* texto_interruptor(GPIO_PinState estado);  // the switch report "!A01=1$" or "!A01=0$"
