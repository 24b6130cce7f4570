#include "host_firmware.h"

#include <cstdint>
#include <exception>
#include <vector>

// The firmware's memory in the host build, gathered by cmake/host_firmware_memory.ld.
extern "C" {
extern unsigned char node_data_start[], node_data_end[];
extern unsigned char node_bss_start[], node_bss_end[];
extern unsigned char node_noinit_start[], node_noinit_end[];
using node_initialiser = void (*)();
extern node_initialiser node_init_array_start[], node_init_array_end[];
}

namespace sim {

namespace {

// The firmware's initialised data as the program was loaded: the host's stand-in for the image of .data
// in flash. Copied before any firmware initialiser runs.
std::vector<unsigned char>& data_image()
{
    static std::vector<unsigned char> image;
    return image;
}

// Byte by byte through volatile pointers: the sections hold the sanitizers' red zones between the
// firmware's variables, which the instrumented (or intercepted) copies would refuse to touch.
[[gnu::no_sanitize_address]] void copy_bytes(unsigned char* to, const unsigned char* from, size_t size)
{
    volatile unsigned char* out = to;
    const volatile unsigned char* in = from;
    for (size_t i = 0; i < size; ++i) out[i] = in[i];
}

[[gnu::no_sanitize_address]] void zero_bytes(unsigned char* from, unsigned char* to)
{
    for (volatile unsigned char* p = from; p < to; ++p) *p = 0;
}

void run_initialisers()
{
    for (node_initialiser* f = node_init_array_start; f < node_init_array_end; ++f) (*f)();
}

// Before the program's other initialisers: the data image kept, then the firmware's own static
// initialisers run, which the linker script took out of the program's list.
[[gnu::constructor(101)]] void load_firmware()
{
    auto& image = data_image();
    image.resize(static_cast<size_t>(node_data_end - node_data_start));
    copy_bytes(image.data(), node_data_start, image.size());
    run_initialisers();
}

}  // namespace

void HostFirmware::install_vectors(Chip& chip)
{
    chip.set_vector_table(reinterpret_cast<const Chip::Handler*>(g_pfnVectors), kVectorWords, Default_Handler);
}

void HostFirmware::start_memory(ResetCause cause)
{
    // What the start-up code does on the chip before main: .data from its image, .bss zeroed, the static
    // initialisers. The .noinit words keep their value across a system reset; a power-on loses them.
    const auto& image = data_image();
    copy_bytes(node_data_start, image.data(), image.size());
    zero_bytes(node_bss_start, node_bss_end);
    if (loses_ram(cause)) zero_bytes(node_noinit_start, node_noinit_end);
    run_initialisers();
}

RunEnd HostFirmware::run(Board& board, Picos limit)
{
    Chip& chip = board.chip;
    install_vectors(chip);
    chip.set_time_limit(limit);
    ResetCause cause = ResetCause::PowerOn;
    for (;;) {
        try {
            chip.wait_in_reset();
            start_memory(cause);
            Reset_Handler();
            // The firmware's main never returns; should it, the core would run off into nothing.
            return {RunEnd::Kind::Halt, "main returned", chip.now()};
        } catch (const ResetSignal&) {
            // The firmware's stack is unwound: the chip resets and the firmware starts again.
            cause = chip.perform_reset();
        } catch (const Stop& stop) {
            return end_of(stop);
        } catch (const std::exception& error) {
            return {RunEnd::Kind::Failure, error.what(), chip.now()};
        }
    }
}

}  // namespace sim
