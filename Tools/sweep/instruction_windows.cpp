#include "instruction_windows.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

#include "elf_image.h"

namespace sweep {

namespace {

// Offsets in the firmware's own structures (Platform/Hal), as the image's code addresses them.
constexpr int64_t kUsartDr = 4;        // the port's data register from its base
constexpr int64_t kTxXferCount = 38;   // UART_HandleTypeDef::TxXferCount
constexpr int64_t kRxState = 66;       // UART_HandleTypeDef::RxState
constexpr int64_t kInitParity = 16;    // UART_HandleTypeDef::Init.Parity
constexpr int64_t kDmaState = 53;      // DMA_HandleTypeDef::State
constexpr uint32_t kStreamEnable = 1;  // DMA_SxCR_EN

constexpr const char* kTransmit = "_Z17HAL_UART_TransmitP20__UART_HandleTypeDefPKhtm";
constexpr const char* kArming = "_Z28HAL_UARTEx_ReceiveToIdle_DMAP20__UART_HandleTypeDefPht";
constexpr const char* kStreamStart = "_Z16HAL_DMA_Start_ITP19__DMA_HandleTypeDefmmm";

struct Instruction {
    uint32_t address = 0;
    uint32_t size = 0;
    unsigned id = ARM_INS_INVALID;
    bool conditional = false;  // a branch taken or not by a condition (B<cc>, CBZ, CBNZ)
    unsigned first_register = ARM_REG_INVALID;
    unsigned base = ARM_REG_INVALID;      // of its memory operand
    std::optional<int64_t> displacement;  // of its memory operand
    std::optional<uint32_t> immediate;    // its last immediate operand (a branch's target)
};

using Code = std::map<uint32_t, Instruction>;

Code decode_function(const sim::cpu::ElfImage& image, const char* symbol)
{
    const auto value = image.symbol(symbol);
    if (!value) throw std::runtime_error(std::string("the image has no function ") + symbol);
    const uint32_t start = *value & ~1U;
    const uint32_t size = image.symbol_size(symbol).value_or(0);
    std::vector<uint8_t> bytes;
    for (const auto& segment : image.segments()) {
        if (start < segment.address || start >= segment.address + segment.bytes.size()) continue;
        const size_t from = start - segment.address;
        const size_t count = std::min<size_t>(size, segment.bytes.size() - from);
        bytes.assign(segment.bytes.begin() + static_cast<std::ptrdiff_t>(from),
                     segment.bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
    }
    if (bytes.empty()) throw std::runtime_error(std::string("the image holds no code for ") + symbol);

    csh handle = 0;
    if (cs_open(CS_ARCH_ARM, static_cast<cs_mode>(CS_MODE_THUMB | CS_MODE_MCLASS), &handle) != CS_ERR_OK)
        throw std::runtime_error("capstone: cannot open a Thumb disassembler");
    std::unique_ptr<csh, void (*)(csh*)> closer(&handle, [](csh* h) { cs_close(h); });
    cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    cs_insn* insns = nullptr;
    const size_t count = cs_disasm(handle, bytes.data(), bytes.size(), start, 0, &insns);
    Code code;
    for (size_t i = 0; i < count; ++i) {
        const cs_insn& in = insns[i];
        const cs_arm& arm = in.detail->arm;
        Instruction instruction{static_cast<uint32_t>(in.address), in.size, in.id};
        instruction.conditional = in.id == ARM_INS_CBZ || in.id == ARM_INS_CBNZ ||
                                  (in.id == ARM_INS_B && arm.cc != ARM_CC_AL && arm.cc != ARM_CC_INVALID);
        for (int k = 0; k < arm.op_count; ++k) {
            const cs_arm_op& op = arm.operands[k];
            if (op.type == ARM_OP_REG && instruction.first_register == ARM_REG_INVALID)
                instruction.first_register = op.reg;
            if (op.type == ARM_OP_MEM) {
                instruction.base = op.mem.base;
                instruction.displacement = op.mem.disp;
            }
            if (op.type == ARM_OP_IMM) instruction.immediate = static_cast<uint32_t>(op.imm);
        }
        code.emplace(instruction.address, instruction);
    }
    cs_free(insns, count);
    return code;
}

bool stores(const Instruction& in, unsigned id, int64_t displacement)
{
    // Not a local variable's slot on the stack.
    return in.id == id && in.base != ARM_REG_SP && in.displacement == displacement;
}

// The boundaries from the one after `start` on: a conditional branch goes on down its fall-through,
// except a test of a call's result in r0, which goes on where the call succeeded (HAL_OK is 0); an
// unconditional branch goes to its target. The walk ends before an instruction `stop_before` accepts,
// or after one `last` accepts (its boundary included), or at a return.
std::set<uint32_t> walk(const Code& code, uint32_t start, const std::function<bool(const Instruction&)>& stop_before,
                        const std::function<bool(const Instruction&, const Instruction&)>& last)
{
    std::set<uint32_t> boundaries;
    auto it = code.find(start);
    if (it == code.end()) return boundaries;
    Instruction previous = it->second;
    uint32_t at = start + previous.size;
    for (int steps = 0; steps < 256; ++steps) {
        it = code.find(at);
        if (it == code.end()) break;
        const Instruction& in = it->second;
        if (stop_before && stop_before(in)) break;
        if (!boundaries.insert(at).second) break;  // a loop walked round
        if (last(previous, in) || in.id == ARM_INS_POP || in.id == ARM_INS_BX) break;
        at = in.address + in.size;
        const bool result_test = previous.id == ARM_INS_BL && in.first_register == ARM_REG_R0;
        if (in.id == ARM_INS_B && !in.conditional && in.immediate) at = *in.immediate;
        if (result_test && in.id == ARM_INS_CBZ && in.immediate) at = *in.immediate;
        previous = in;
    }
    return boundaries;
}

// Walks from every instruction `starts` accepts.
std::set<uint32_t> walk_from_each(const Code& code, const std::function<bool(const Instruction&)>& starts,
                                  const std::function<bool(const Instruction&)>& stop_before,
                                  const std::function<bool(const Instruction&, const Instruction&)>& last,
                                  bool first_only = false)
{
    std::set<uint32_t> boundaries;
    for (const auto& [address, in] : code) {
        if (!starts(in)) continue;
        boundaries.merge(walk(code, address, stop_before, last));
        if (first_only) break;
    }
    return boundaries;
}

InstructionWindow checked(std::string name, std::set<uint32_t> boundaries)
{
    if (boundaries.empty()) throw std::runtime_error("the image's code has no window " + name);
    return {std::move(name), std::move(boundaries)};
}

}  // namespace

std::vector<InstructionWindow> find_instruction_windows(const std::string& elf)
{
    const sim::cpu::ElfImage image = sim::cpu::ElfImage::load(elf);
    const Code transmit = decode_function(image, kTransmit);
    const Code arming = decode_function(image, kArming);
    const Code stream = decode_function(image, kStreamStart);
    auto is = [](unsigned id) { return [id](const Instruction& in) { return in.id == id; }; };
    auto last_is = [](unsigned id) { return [id](const Instruction&, const Instruction& in) { return in.id == id; }; };
    std::vector<InstructionWindow> windows;
    windows.push_back(
        checked("transmit: DR write to TxXferCount store",
                walk_from_each(
                    transmit, [](const Instruction& in) { return stores(in, ARM_INS_STR, kUsartDr); }, nullptr,
                    [](const Instruction&, const Instruction& in) { return stores(in, ARM_INS_STRH, kTxXferCount); })));
    windows.push_back(checked("arming: RxState to the stream's start",
                              walk_from_each(
                                  arming, [](const Instruction& in) { return stores(in, ARM_INS_STRB, kRxState); },
                                  nullptr, last_is(ARM_INS_BL), true)));
    windows.push_back(
        checked("arming: flag clears (SR, DR)",
                walk_from_each(
                    arming, is(ARM_INS_BL),
                    [](const Instruction& in) { return in.id == ARM_INS_LDR && in.displacement == kInitParity; },
                    last_is(ARM_INS_LDREX), true)));
    windows.push_back(
        checked("arming: LDREX to STREX", walk_from_each(arming, is(ARM_INS_LDREX), nullptr, last_is(ARM_INS_STREX))));
    windows.push_back(checked(
        "stream start: state to enable",
        walk_from_each(
            stream, [](const Instruction& in) { return stores(in, ARM_INS_STRB, kDmaState); }, nullptr,
            [](const Instruction& previous, const Instruction& in) {
                return in.id == ARM_INS_STR && previous.id == ARM_INS_ORR && previous.immediate == kStreamEnable;
            },
            true)));
    return windows;
}

size_t boundaries_reached(const InstructionWindow& window, const std::set<uint32_t>& reached)
{
    return static_cast<size_t>(std::count_if(window.boundaries.begin(), window.boundaries.end(),
                                             [&reached](uint32_t at) { return reached.count(at) != 0; }));
}

}  // namespace sweep
