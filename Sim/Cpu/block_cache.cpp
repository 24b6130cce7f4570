#include "block_cache.h"

#include <capstone/capstone.h>

#include <stdexcept>

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

std::optional<uint32_t> BlockCache::find_fp(uint32_t address, uint32_t size, const uint8_t* code) const
{
    cs_insn* insns = nullptr;
    size_t count = cs_disasm(disassembler_, code, size, address, 0, &insns);
    std::optional<uint32_t> found;
    for (size_t i = 0; i < count && !found; ++i) {
        const cs_detail* detail = insns[i].detail;
        for (uint8_t g = 0; detail != nullptr && g < detail->groups_count; ++g) {
            uint8_t group = detail->groups[g];
            if (group == ARM_GRP_VFP2 || group == ARM_GRP_VFP3 || group == ARM_GRP_VFP4 ||
                group == ARM_GRP_FPARMV8 || group == ARM_GRP_NEON) {
                found = static_cast<uint32_t>(insns[i].address);
                break;
            }
        }
    }
    if (count > 0) cs_free(insns, count);
    return found;
}

const BlockInfo& BlockCache::lookup(uint32_t address, uint32_t size, const uint8_t* code)
{
    uint64_t key = (uint64_t{size} << 32) | address;
    auto found = blocks_.find(key);
    if (found != blocks_.end()) return found->second;
    BlockInfo info;
    info.instructions = count_instructions(code, size);
    info.first_fp = find_fp(address, size, code);
    return blocks_.emplace(key, info).first->second;
}

}  // namespace sim::cpu
