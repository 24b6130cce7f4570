// A fresh simulated chip for each test, with the firmware's vector table installed and the globals of
// the platform reset to their values at reset.
#pragma once

#include <gtest/gtest.h>

#include "chip.h"
#include "firmware_globals.h"

extern "C" {
typedef void (*vector_entry)(void);
extern const vector_entry g_pfnVectors[102];
void Default_Handler(void);
}

namespace test {

class SimTest : public ::testing::Test {
protected:
    SimTest()
    {
        chip.set_vector_table(reinterpret_cast<const sim::Chip::Handler*>(g_pfnVectors), 102, Default_Handler);
        reset_firmware_globals();
    }

    sim::Chip chip;
};

}  // namespace test
