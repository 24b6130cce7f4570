// The dashboard protocol: interpretation of a received command frame, and the report texts.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "PWMB.h"
#include "main.h"
#include "uart_int_idle_dma.h"

char texto[100];

// atoi with the overflow defined: leading white space and one sign, digits up to the first non-digit,
// 0 when there are none, and a number outside the signed 32-bit range clamped to its nearer end.
static int32_t a_entero(const char* texto_numero)
{
    long long valor = strtoll(texto_numero, NULL, 10);
    if (valor > INT32_MAX) return INT32_MAX;
    if (valor < INT32_MIN) return INT32_MIN;
    return (int32_t)valor;
}

static void copia_a_procesa(const char* parte)
{
    strncpy(procesa, parte, sizeof procesa - 1U);
    procesa[sizeof procesa - 1U] = '\0';
}

// Commands are found anywhere in the frame, in this order, and at most one is acted on:
// "V00=1" LED low, "V00=0" LED high, "V01=" a PWM duty in percent. The duty's text is whatever follows
// the first "=" of the frame up to the next "$", so "X=7 V01=40$" sets 7 %.
void procesa_rx(void)
{
    // The frame is text up to its first zero byte or the end of the 100-byte buffer. Reception always
    // leaves a zero after a frame (at most 50 bytes arrive), but working on a terminated copy means a
    // full buffer can never be read past its end.
    char trama[trama_size + 1];
    memcpy(trama, trama_rx, trama_size);
    trama[trama_size] = '\0';

    if (strstr(trama, "V00=1") != NULL) {
        HAL_GPIO_WritePin(LED_GPIO_Port, LED_Pin, GPIO_PIN_RESET);
        return;
    }
    if (strstr(trama, "V00=0") != NULL) {
        HAL_GPIO_WritePin(LED_GPIO_Port, LED_Pin, GPIO_PIN_SET);
        return;
    }
    if (strstr(trama, "V01=") == NULL) return;

    // The text holds "V01", so the first token (before the first "=") exists.
    copia_a_procesa(strtok(trama, "="));
    char* valor = strtok(NULL, "$");
    if (valor != NULL) {
        copia_a_procesa(valor);
    } else {
        procesa[0] = '\0';  // nothing but "$" after the "=": no digits, 0 %
    }

    // The duty is the low 16 bits of the number: -1 gives 65535 (constantly high), 65536 gives 0.
    uint16_t reducido = (uint16_t)(uint32_t)a_entero(procesa);
    PWM_valor(&PWM1, (float)reducido);
}

void formatea_temperatura(float t)
{
    // One decimal, rounded to nearest with an exact half to the even digit (23.25 gives 23.2). The
    // longest float prints in under 50 characters, so the report always fits.
    snprintf(texto, sizeof texto, "!A00=%.1f$", (double)t);
}

const char* texto_interruptor(GPIO_PinState estado)
{
    return estado == GPIO_PIN_SET ? "!A01=1$" : "!A01=0$";
}
