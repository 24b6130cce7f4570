// Runs every registered case and reports "N passed, M failed"; the exit status is the number of failed
// cases (capped), so the emulator's exit code tells the test harness the outcome.
#include <stdarg.h>
#include <stdio.h>

#include "logic_case.h"
#include "semihosting.h"

extern "C" {
extern const logic_case _logic_cases_start[];
extern const logic_case _logic_cases_end[];
}

namespace {

constexpr int kPrintedFailuresPerCase = 8;
const logic_case* current = nullptr;
int failures_in_case = 0;

}  // namespace

bool expect(bool ok, const char* format, ...)
{
    if (ok) return true;
    ++failures_in_case;
    if (failures_in_case <= kPrintedFailuresPerCase) {
        char line[200];
        int used = snprintf(line, sizeof line, "  %s: ", current->name);
        va_list args;
        va_start(args, format);
        vsnprintf(line + used, sizeof line - static_cast<unsigned>(used) - 1U, format, args);
        va_end(args);
        semihosting_write(line);
        semihosting_write("\n");
    } else if (failures_in_case == kPrintedFailuresPerCase + 1) {
        semihosting_write("  ... more failures not shown\n");
    }
    return false;
}

const char* logic_current_case(void)
{
    return current != nullptr ? current->name : nullptr;
}

extern "C" int run_logic_cases(void)
{
    int passed = 0;
    int failed = 0;
    for (const logic_case* c = _logic_cases_start; c != _logic_cases_end; ++c) {
        current = c;
        failures_in_case = 0;
        c->run();
        semihosting_write(failures_in_case == 0 ? "ok   " : "FAIL ");
        semihosting_write(c->name);
        semihosting_write("\n");
        if (failures_in_case == 0) {
            ++passed;
        } else {
            ++failed;
        }
    }
    current = nullptr;
    char summary[64];
    snprintf(summary, sizeof summary, "arm_logic: %d passed, %d failed\n", passed, failed);
    semihosting_write(summary);
    if (passed + failed == 0) return 1;  // an image that ran nothing has tested nothing
    return failed > 100 ? 100 : failed;
}
