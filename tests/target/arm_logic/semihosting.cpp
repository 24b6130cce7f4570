// Semihosting: the operation number in r0, its argument in r1, then BKPT 0xAB. The debugger (here QEMU,
// run with -semihosting-config enable=on,target=native) carries it out and resumes after the BKPT.
#include "semihosting.h"

namespace {

constexpr uint32_t kSysWrite0 = 0x04;
constexpr uint32_t kSysExit = 0x18;
constexpr uint32_t kSysExitExtended = 0x20;
// angel_SWIreason_ReportException reasons.
constexpr uint32_t kApplicationExit = 0x20026;
constexpr uint32_t kRunTimeErrorUnknown = 0x20023;

uint32_t semihosting_call(uint32_t operation, const void* argument)
{
    register uint32_t r0 __asm("r0") = operation;
    register const void* r1 __asm("r1") = argument;
    __asm volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

}  // namespace

extern "C" void semihosting_write(const char* text)
{
    semihosting_call(kSysWrite0, text);
}

// SYS_EXIT_EXTENDED takes a block {reason, subcode}: for an application exit the subcode becomes the
// emulator's exit status. Plain SYS_EXIT can only tell success (application exit) from failure (any other
// reason); it is the fallback should a debugger not know the extended call.
extern "C" void semihosting_exit(int status)
{
    const uint32_t block[2] = {kApplicationExit, static_cast<uint32_t>(status)};
    semihosting_call(kSysExitExtended, block);
    semihosting_call(kSysExit, reinterpret_cast<const void*>(status == 0 ? kApplicationExit : kRunTimeErrorUnknown));
    for (;;) {}
}
