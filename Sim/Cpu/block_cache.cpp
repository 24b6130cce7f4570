#include "block_cache.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "instruction_timing.h"

namespace sim::cpu {

BlockCache::BlockCache()
{
    csh handle = 0;
    if (cs_open(CS_ARCH_ARM, static_cast<cs_mode>(CS_MODE_THUMB | CS_MODE_MCLASS), &handle) != CS_ERR_OK)
        throw std::runtime_error("capstone: cannot open a Thumb disassembler");
    cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    disassembler_ = handle;
}

BlockCache::~BlockCache()
{
    csh handle = disassembler_;
    cs_close(&handle);
}

uint32_t BlockCache::count_instructions(const uint8_t* code, uint32_t size)
{
    uint32_t count = 0;
    for (uint32_t at = 0; at + 1 < size; ++count) {
        unsigned top = code[at + 1] >> 3;  // little-endian halfword, bits 15..11
        at += (top == 0x1D || top == 0x1E || top == 0x1F) ? 4 : 2;
    }
    return count;
}

namespace {

bool is_fp(const cs_detail& detail)
{
    for (uint8_t g = 0; g < detail.groups_count; ++g) {
        uint8_t group = detail.groups[g];
        if (group == ARM_GRP_VFP2 || group == ARM_GRP_VFP3 || group == ARM_GRP_VFP4 || group == ARM_GRP_FPARMV8 ||
            group == ARM_GRP_NEON)
            return true;
    }
    return false;
}

// Stores (str*, stm*, push, strex), changes of PRIMASK/FAULTMASK/BASEPRI/CONTROL (cps, msr), svc, bkpt,
// and the hints that wait or signal (wfi, wfe, sev).
bool changes_more_than_registers(const char* mnemonic)
{
    static const char* const prefixes[] = {"st", "push", "cps", "msr", "svc", "bkpt", "wf", "sev", "v"};
    for (const char* prefix : prefixes)
        if (std::strncmp(mnemonic, prefix, std::strlen(prefix)) == 0) return true;
    return false;
}

// Bit n for rn (r0-r12, sp as 13, lr as 14); pc and the rest count for nothing.
uint16_t register_bit(uint16_t reg)
{
    if (reg >= ARM_REG_R0 && reg <= ARM_REG_R12) return static_cast<uint16_t>(1U << (reg - ARM_REG_R0));
    if (reg == ARM_REG_SP) return 1U << 13;
    if (reg == ARM_REG_LR) return 1U << 14;
    return 0;
}

// r0-r12 as 0-12, sp 13, lr 14; anything else 0xFF.
uint8_t register_number(unsigned reg)
{
    const uint16_t bit = register_bit(static_cast<uint16_t>(reg));
    return bit == 0 ? 0xFF : static_cast<uint8_t>(__builtin_ctz(bit));
}

// The access site of `insn` when it may reach the chip's registers.
std::optional<AccessSite> access_site(const cs_insn& insn, uint32_t at, uint32_t own)
{
    const cs_arm& arm = insn.detail->arm;
    AccessSite site;
    site.pc = static_cast<uint32_t>(insn.address);
    site.at = static_cast<uint16_t>(at);
    site.own = static_cast<uint8_t>(own);
    if (timing::is_load_store_multiple(insn.id)) {
        if (arm.op_count < 2 || arm.operands[0].type != ARM_OP_REG) return std::nullopt;
        site.base = register_number(arm.operands[0].reg);
        if (site.base == 0xFF || site.base == 13) return std::nullopt;
        const uint32_t words = static_cast<uint32_t>(arm.op_count - 1);
        site.span = static_cast<uint8_t>(4 * words);
        if (insn.id == ARM_INS_LDMDB || insn.id == ARM_INS_STMDB) site.offset = -static_cast<int32_t>(4 * words);
        return site;
    }
    for (uint8_t o = 0; o < arm.op_count; ++o) {
        if (arm.operands[o].type != ARM_OP_MEM) continue;
        const arm_op_mem& mem = arm.operands[o].mem;
        site.base = register_number(mem.base);
        if (site.base == 0xFF || site.base == 13) return std::nullopt;  // pc-relative (flash) or the stack
        if (mem.index != ARM_REG_INVALID) {
            site.index = register_number(mem.index);
            if (site.index == 0xFF) return std::nullopt;
            site.shift = static_cast<uint8_t>(mem.lshift);
            site.subtract = mem.scale < 0;
        }
        site.offset = mem.disp;
        const bool doubleword = insn.id == ARM_INS_LDRD || insn.id == ARM_INS_STRD || insn.id == ARM_INS_LDREXD ||
                                insn.id == ARM_INS_STREXD || insn.id == ARM_INS_VLDR || insn.id == ARM_INS_VSTR;
        site.span = doubleword ? 8 : 4;
        return site;
    }
    return std::nullopt;
}

}  // namespace

void BlockCache::classify(uint32_t address, uint32_t size, const uint8_t* code, BlockInfo& info) const
{
    cs_insn* insns = nullptr;
    size_t count = cs_disasm(disassembler_, code, size, address, 0, &insns);
    info.only_registers = count > 0;
    info.registers_known = count > 0;
    timing::RunSum sum;
    FlashReadFinder flash(address);
    for (size_t i = 0; i < count; ++i) {
        const cs_insn& insn = insns[i];
        const uint32_t at = sum.cycles();
        const uint32_t own = sum.add(insn);
        info.boundaries.push_back({static_cast<uint32_t>(insn.address), at});
        if (insn.id == ARM_INS_STREX || insn.id == ARM_INS_STREXB || insn.id == ARM_INS_STREXH ||
            insn.id == ARM_INS_STREXD)
            info.exclusive_store = true;
        if (auto site = access_site(insn, at, own)) info.accesses.push_back(*site);
        flash.add(insn, at, info.flash_reads);
        if (insn.detail != nullptr && is_fp(*insn.detail) && !info.first_fp)
            info.first_fp = static_cast<uint32_t>(insn.address);
        if (changes_more_than_registers(insn.mnemonic)) info.only_registers = false;
        cs_regs read, write;
        uint8_t read_count = 0, write_count = 0;
        if (cs_regs_access(disassembler_, &insn, read, &read_count, write, &write_count) != CS_ERR_OK) {
            info.registers_known = false;
            continue;
        }
        for (uint8_t r = 0; r < read_count; ++r) info.live_in |= register_bit(read[r]) & ~info.written;
        for (uint8_t w = 0; w < write_count; ++w) info.written |= register_bit(write[w]);
    }
    info.cycles = sum.cycles();
    // Bytes the disassembler could not decode (an undefined instruction) make the block unknown; they
    // count a cycle for each instruction, as before the table.
    if (count == 0 || insns[count - 1].address + insns[count - 1].size != address + size) {
        info.only_registers = false;
        info.registers_known = false;
        info.cycles = std::max(info.cycles, count_instructions(code, size));
    }
    if (count > 0) cs_free(insns, count);
}

std::optional<uint32_t> BlockCache::find_access(uint32_t address, uint32_t size, const uint8_t* code, uint32_t target,
                                                const std::function<uint32_t(unsigned)>& register_value) const
{
    cs_insn* insns = nullptr;
    size_t count = cs_disasm(disassembler_, code, size, address, 0, &insns);
    std::optional<uint32_t> found;
    for (size_t i = 0; i < count && !found; ++i) {
        const cs_arm& arm = insns[i].detail->arm;
        for (uint8_t o = 0; o < arm.op_count; ++o) {
            if (arm.operands[o].type != ARM_OP_MEM) continue;
            const arm_op_mem& mem = arm.operands[o].mem;
            // PC as a base reads as the instruction's address + 4, word-aligned.
            uint32_t base = mem.base == ARM_REG_PC ? ((static_cast<uint32_t>(insns[i].address) + 4U) & ~3U)
                                                   : register_value(mem.base);
            uint32_t index = mem.index == ARM_REG_INVALID ? 0 : register_value(mem.index) << mem.lshift;
            uint32_t effective = base + static_cast<uint32_t>(mem.disp) + (mem.scale < 0 ? 0U - index : index);
            // The access may be any of the instruction's bytes (a doubleword, a post-indexed base).
            if (target - effective < 8U || target == base) found = static_cast<uint32_t>(insns[i].address);
        }
    }
    if (count > 0) cs_free(insns, count);
    return found;
}

const BlockInfo& BlockCache::lookup(uint32_t address, uint32_t size, const uint8_t* code)
{
    Recent& recent = recent_[(address >> 1) & (kRecent - 1)];
    if (recent.address == address && recent.size == size) return *recent.info;
    uint64_t key = (uint64_t{size} << 32) | address;
    auto found = blocks_.find(key);
    if (found == blocks_.end()) {
        BlockInfo info;
        info.instructions = count_instructions(code, size);
        classify(address, size, code, info);
        found = blocks_.emplace(key, info).first;
    }
    recent = Recent{address, size, &found->second};
    return found->second;
}

}  // namespace sim::cpu
