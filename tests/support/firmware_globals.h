// The firmware's and the platform's globals live for the whole process; an in-process test that runs
// firmware code puts them back to their values at reset first.
#pragma once

namespace test {

// Resets every platform and firmware global a test may have changed.
void reset_firmware_globals();

}  // namespace test
