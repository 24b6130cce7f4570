// Talking to the host through the debugger's semihosting calls (BKPT 0xAB on M-profile cores): QEMU
// prints the text and ends with the reported status.
#pragma once

#include <stdint.h>

extern "C" {
void semihosting_write(const char* text);        // SYS_WRITE0: a NUL-terminated string
[[noreturn]] void semihosting_exit(int status);  // SYS_EXIT_EXTENDED: application exit with a status
}
