// A case of the firmware's logic run on the emulated core: a named function whose checks report through
// expect(). Cases register themselves in the .logic_cases section, so a case file that is compiled in
// runs, and one that is left out (its firmware module not yet there) costs nothing.
#pragma once

#include <stdint.h>

struct logic_case {
    const char* name;
    void (*run)(void);
};

// Each case has its own section, .logic_cases.<name>; the image's linker script gathers them sorted by
// name, so the cases run in the same order on every build.
#define LOGIC_CASE(fn)                                                                                  \
    static void fn(void);                                                                               \
    __attribute__((used, section(".logic_cases." #fn))) static const logic_case fn##_entry = {#fn, fn}; \
    static void fn(void)

// Records a failed check of the running case (with a printf-style description) when ok is false, and
// returns ok. Only the first few failures of a case are printed.
bool expect(bool ok, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Generated on the host at build time.
extern const char logic_report_expected[][8];  // "%.1f" of raw / 16 for raw = logic_report_first ...
extern const int32_t logic_report_first;
extern const int32_t logic_report_count;
extern const int8_t logic_pwm_delta[65536];  // host's single-precision ARR 20000 compare - 200 * v

inline uint32_t logic_pwm_expected(uint32_t value)
{
    return 200U * value + static_cast<int32_t>(logic_pwm_delta[value]);
}

extern "C" void register_mirror_clear(void);
// The name of the case running now (for the fault handler), or nullptr between cases.
const char* logic_current_case(void);
