#include "short_handler.h"

#include <capstone/capstone.h>

#include "instruction_timing.h"

#include <cstring>

namespace sim::cpu {

namespace {

// Longer handlers gain little: the engine's exit and re-entry are what this saves.
constexpr uint32_t kMostInstructions = 24;
constexpr uint8_t kSp = 13;
// A handler may write these freely: the exception return restores them from the frame.
constexpr uint16_t kScratch = 0x100F;  // r0-r3, r12

// r0-r12 as 0-12 and sp as 13; anything else (lr, pc, a coprocessor register) as -1.
int number_of(unsigned reg)
{
    if (reg >= ARM_REG_R0 && reg <= ARM_REG_R12) return static_cast<int>(reg - ARM_REG_R0);
    if (reg == ARM_REG_SP) return kSp;
    return -1;
}

uint8_t access_size(unsigned id)
{
    switch (id) {
        case ARM_INS_LDRB:
        case ARM_INS_STRB:
            return 1;
        case ARM_INS_LDRH:
        case ARM_INS_STRH:
            return 2;
        default:
            return 4;
    }
}

struct Disassembler {
    csh handle = 0;
    bool open = false;
    Disassembler()
    {
        open = cs_open(CS_ARCH_ARM, static_cast<cs_mode>(CS_MODE_THUMB | CS_MODE_MCLASS), &handle) == CS_ERR_OK;
        if (open) cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    }
    ~Disassembler()
    {
        if (open) cs_close(&handle);
    }
};

}  // namespace

std::optional<ShortHandler> ShortHandler::decode(uint32_t vector, const CoreMemory& memory)
{
    Disassembler cs;
    if (!cs.open) return std::nullopt;
    ShortHandler handler;
    timing::RunSum sum;
    uint32_t refills = 0;        // P of each branch taken
    uint16_t known = 1U << kSp;  // registers that hold the handler's own values (sp: the frame)
    uint32_t at = vector & ~1U;
    FlashReadFinder flash(at);
    while (handler.instructions_ < kMostInstructions) {
        const uint8_t* code = memory.at(at, 4);
        if (code == nullptr) code = memory.at(at, 2);
        if (code == nullptr) return std::nullopt;
        cs_insn* insn = nullptr;
        if (cs_disasm(cs.handle, code, memory.at(at, 4) ? 4 : 2, at, 1, &insn) != 1) return std::nullopt;
        struct Free {
            cs_insn* insn;
            ~Free() { cs_free(insn, 1); }
        } free_insn{insn};
        ++handler.instructions_;
        flash.add(*insn, sum.cycles() + refills, handler.flash_reads_);
        sum.add(*insn);
        handler.cycles_ = sum.cycles() + refills;
        const cs_arm& arm = insn->detail->arm;
        if (arm.cc != ARM_CC_AL && arm.cc != ARM_CC_INVALID) return std::nullopt;
        const cs_arm_op* op = arm.operands;
        auto plain_register = [&](int i) {
            return op[i].type == ARM_OP_REG && op[i].shift.type == ARM_SFT_INVALID ? number_of(op[i].reg) : -1;
        };
        auto readable = [&](int reg) { return reg >= 0 && ((known >> reg) & 1U); };
        auto writable = [&](int reg) { return reg >= 0 && ((kScratch >> reg) & 1U); };
        Step step;
        switch (insn->id) {
            case ARM_INS_NOP:
                at += insn->size;
                continue;
            case ARM_INS_B:
                if (arm.op_count != 1 || op[0].type != ARM_OP_IMM) return std::nullopt;
                at = static_cast<uint32_t>(op[0].imm);
                flash.branch();
                if (const uint8_t* target = memory.at(at, 2)) {
                    sum.break_flow();
                    refills += timing::refill_cycles(at, static_cast<uint16_t>(target[0] | target[1] << 8));
                }
                continue;
            case ARM_INS_BX:
                // The exception return: lr still holds the EXC_RETURN value written at the entry.
                if (arm.op_count != 1 || op[0].type != ARM_OP_REG || op[0].reg != ARM_REG_LR) return std::nullopt;
                return handler;
            case ARM_INS_LDR:
            case ARM_INS_LDRB:
            case ARM_INS_LDRH:
            case ARM_INS_STR:
            case ARM_INS_STRB:
            case ARM_INS_STRH: {
                const bool load = insn->id == ARM_INS_LDR || insn->id == ARM_INS_LDRB || insn->id == ARM_INS_LDRH;
                if (arm.op_count != 2 || arm.writeback || op[1].type != ARM_OP_MEM ||
                    op[1].mem.index != ARM_REG_INVALID)
                    return std::nullopt;
                step.op = load ? Op::Load : Op::Store;
                step.size = access_size(insn->id);
                const int rt = plain_register(0);
                if (load ? !writable(rt) : !readable(rt)) return std::nullopt;
                step.rd = static_cast<uint8_t>(rt);
                if (op[1].mem.base == ARM_REG_PC) {
                    // A constant from the literal pool: pc reads as the instruction's address + 4, aligned.
                    if (!load) return std::nullopt;
                    step.literal = true;
                    step.imm = static_cast<int32_t>(((at + 4U) & ~3U) + static_cast<uint32_t>(op[1].mem.disp));
                } else {
                    const int base = number_of(op[1].mem.base);
                    if (!readable(base)) return std::nullopt;
                    step.rn = static_cast<uint8_t>(base);
                    step.imm = op[1].mem.disp;
                }
                if (load) known |= static_cast<uint16_t>(1U << rt);
                break;
            }
            case ARM_INS_ADD:
            case ARM_INS_SUB:
            case ARM_INS_MOV: {
                // add rd, rn, rm|#imm; add rdn, rm|#imm; mov rd, rm|#imm
                step.op = insn->id == ARM_INS_ADD ? Op::Add : insn->id == ARM_INS_SUB ? Op::Sub : Op::Move;
                const int rd = plain_register(0);
                if (!writable(rd) || arm.op_count < 2 || arm.op_count > 3) return std::nullopt;
                if (step.op == Op::Move && arm.op_count != 2) return std::nullopt;
                int rn = rd;
                if (arm.op_count == 3) {
                    rn = plain_register(1);
                    if (!readable(rn)) return std::nullopt;
                } else if (step.op != Op::Move && !readable(rd)) {
                    return std::nullopt;
                }
                const cs_arm_op& last = op[arm.op_count - 1];
                if (last.type == ARM_OP_IMM) {
                    step.imm = last.imm;
                } else {
                    const int rm = plain_register(arm.op_count - 1);
                    if (!readable(rm)) return std::nullopt;
                    step.rm = static_cast<int8_t>(rm);
                }
                step.rd = static_cast<uint8_t>(rd);
                step.rn = static_cast<uint8_t>(rn);
                known |= static_cast<uint16_t>(1U << rd);
                break;
            }
            default:
                return std::nullopt;
        }
        handler.steps_.push_back(step);
        at += insn->size;
    }
    return std::nullopt;
}

bool ShortHandler::run(const CoreMemory& memory, uint32_t sp) const
{
    std::array<uint32_t, 14> r{};
    r[kSp] = sp;
    struct Store {
        uint32_t address;
        uint32_t size;
        uint32_t value;
    };
    std::array<Store, 8> stores;
    size_t stored = 0;
    for (const Step& step : steps_) {
        const uint32_t second = step.rm >= 0 ? r[static_cast<size_t>(step.rm)] : static_cast<uint32_t>(step.imm);
        switch (step.op) {
            case Op::Load: {
                const uint32_t address =
                    step.literal ? static_cast<uint32_t>(step.imm) : r[step.rn] + static_cast<uint32_t>(step.imm);
                if (address % step.size != 0) return false;
                uint32_t value = 0;
                bool found = false;
                // A load of what the handler itself stored reads the store; a partial overlap is left to the engine.
                for (size_t i = stored; i-- > 0 && !found;) {
                    const Store& s = stores[i];
                    if (address < s.address + s.size && s.address < address + step.size) {
                        if (s.address != address || s.size != step.size) return false;
                        value = s.value;
                        found = true;
                    }
                }
                if (!found) {
                    const uint8_t* from = memory.at(address, step.size);
                    if (from == nullptr) return false;
                    std::memcpy(&value, from, step.size);
                }
                r[step.rd] = value;
                break;
            }
            case Op::Store: {
                const uint32_t address = r[step.rn] + static_cast<uint32_t>(step.imm);
                if (address % step.size != 0 || stored == stores.size() || memory.ram_at(address, step.size) == nullptr)
                    return false;
                const uint32_t mask = step.size == 4 ? 0xFFFFFFFFU : (1U << (8 * step.size)) - 1U;
                stores[stored++] = Store{address, step.size, r[step.rd] & mask};
                break;
            }
            case Op::Add:
                r[step.rd] = r[step.rn] + second;
                break;
            case Op::Sub:
                r[step.rd] = r[step.rn] - second;
                break;
            case Op::Move:
                r[step.rd] = second;
                break;
        }
    }
    for (size_t i = 0; i < stored; ++i)
        std::memcpy(memory.ram_at(stores[i].address, stores[i].size), &stores[i].value, stores[i].size);
    return true;
}

}  // namespace sim::cpu
