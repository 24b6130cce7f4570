// The heap bound of _sbrk, on the PC: the function is linked against a RAM layout this file provides, a
// scaled-down copy of the chip's (heap from _end, stack reserve of _Min_Stack_Size below _estack).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

extern "C" void* _sbrk(ptrdiff_t incr);

namespace {

constexpr uintptr_t kHeap = 0x1000;         // bytes from _end to the stack reserve
constexpr uintptr_t kStackReserve = 0x400;  // _Min_Stack_Size, as on the chip

}  // namespace

// The "RAM": _end at its start, _estack at its end, _Min_Stack_Size an absolute symbol (its address is
// the size), as the linker script defines them. The host's own linker already defines _end (the end of
// its .bss), so the build renames the three for this test (sbrk_test_end, ...).
extern "C" {
alignas(8) unsigned char sbrk_test_ram[kHeap + kStackReserve];
}
__asm__(
    ".globl sbrk_test_end\n .set sbrk_test_end, sbrk_test_ram\n"
    ".globl sbrk_test_estack\n .set sbrk_test_estack, sbrk_test_ram + 0x1400\n"
    ".globl sbrk_test_min_stack_size\n .set sbrk_test_min_stack_size, 0x400\n");
static_assert(kHeap + kStackReserve == 0x1400, "the layout above and the symbols must agree");

namespace {

uintptr_t address(void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}
uintptr_t heap_start()
{
    return reinterpret_cast<uintptr_t>(sbrk_test_ram);
}
uintptr_t heap_limit()
{
    return heap_start() + kHeap;
}
bool failed(void* p)
{
    return p == reinterpret_cast<void*>(-1);
}

// Each test starts from an empty heap: whatever a previous one left is handed back.
class SbrkBound : public ::testing::Test {
protected:
    SbrkBound()
    {
        uintptr_t now = address(_sbrk(0));
        _sbrk(-static_cast<ptrdiff_t>(now - heap_start()));
        errno = 0;
    }
};

TEST_F(SbrkBound, HeapStartsAtEnd)
{
    EXPECT_EQ(address(_sbrk(0)), heap_start());
    EXPECT_EQ(address(_sbrk(16)), heap_start());
    EXPECT_EQ(address(_sbrk(0)), heap_start() + 16);
}

TEST_F(SbrkBound, RequestEndingExactlyAtTheStackReserveSucceeds)
{
    ASSERT_EQ(address(_sbrk(0x100)), heap_start());
    EXPECT_EQ(address(_sbrk(static_cast<ptrdiff_t>(kHeap - 0x100))), heap_start() + 0x100);
    EXPECT_EQ(address(_sbrk(0)), heap_limit());
    EXPECT_EQ(errno, 0);
}

TEST_F(SbrkBound, OneByteBeyondFailsWithEnomemAndKeepsTheBreak)
{
    ASSERT_EQ(address(_sbrk(static_cast<ptrdiff_t>(kHeap - 8))), heap_start());
    EXPECT_TRUE(failed(_sbrk(9)));
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(address(_sbrk(0)), heap_limit() - 8);
    // The eight bytes that do fit are still there to take.
    EXPECT_EQ(address(_sbrk(8)), heap_limit() - 8);
    errno = 0;
    EXPECT_TRUE(failed(_sbrk(1)));
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(address(_sbrk(0)), heap_limit());
}

TEST_F(SbrkBound, HugeRequestsCannotWrapAroundTheAddressSpace)
{
    ASSERT_EQ(address(_sbrk(0x10)), heap_start());
    for (ptrdiff_t huge : {PTRDIFF_MAX, PTRDIFF_MAX - 0xF, static_cast<ptrdiff_t>(kHeap)}) {
        errno = 0;
        EXPECT_TRUE(failed(_sbrk(huge))) << huge;
        EXPECT_EQ(errno, ENOMEM) << huge;
        EXPECT_EQ(address(_sbrk(0)), heap_start() + 0x10) << huge;
    }
}

TEST_F(SbrkBound, MemoryGivenBackNeverGoesBelowEnd)
{
    ASSERT_EQ(address(_sbrk(0x40)), heap_start());
    EXPECT_EQ(address(_sbrk(-0x30)), heap_start() + 0x40);
    EXPECT_EQ(address(_sbrk(0)), heap_start() + 0x10);
    EXPECT_TRUE(failed(_sbrk(-0x11)));
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_TRUE(failed(_sbrk(PTRDIFF_MIN)));
    EXPECT_EQ(address(_sbrk(0)), heap_start() + 0x10);
    EXPECT_EQ(address(_sbrk(-0x10)), heap_start() + 0x10);
    EXPECT_EQ(address(_sbrk(0)), heap_start());
}

}  // namespace
