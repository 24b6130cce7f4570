// A fresh simulated chip for each test, with the firmware's vector table installed and the globals of
// the platform reset to their values at reset.
#pragma once

#include <gtest/gtest.h>

#include "chip.h"
#include "firmware_globals.h"
#include "host_firmware.h"

namespace test {

class SimTest : public ::testing::Test {
protected:
    SimTest()
    {
        sim::HostFirmware::install_vectors(chip);
        reset_firmware_globals();
    }

    sim::Chip chip;
};

}  // namespace test
