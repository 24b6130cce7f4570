#include "sim_fixture.h"

#include "system_stm32f4xx.h"

namespace test {

void reset_firmware_globals()
{
    SystemCoreClock = 16000000U;
}

}  // namespace test
