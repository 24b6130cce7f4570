// Placeholder until the main loop is written.
#include "stm32f4xx.h"

int main(void)
{
    for (;;) {
        __NOP();
    }
}
