// Types and helpers shared by every platform module.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "stm32f4xx.h"

typedef enum {
    HAL_OK = 0x00U,
    HAL_ERROR = 0x01U,
    HAL_BUSY = 0x02U,
    HAL_TIMEOUT = 0x03U,
} HAL_StatusTypeDef;

// A handle's lock is one byte.
typedef enum : uint8_t {
    HAL_UNLOCKED = 0x00U,
    HAL_LOCKED = 0x01U,
} HAL_LockTypeDef;

// A time-out of this value means no limit; HAL_Delay takes it as 2^32 - 1 ms.
#define HAL_MAX_DELAY 0xFFFFFFFFU

#define UNUSED(x) ((void)(x))

// Parameter checks are compiled out.
#define assert_param(expr) ((void)0U)

// Handle locks: a second operation on a locked handle returns HAL_BUSY.
#define __HAL_LOCK(handle)                  \
    do {                                    \
        if ((handle)->Lock == HAL_LOCKED) { \
            return HAL_BUSY;                \
        }                                   \
        (handle)->Lock = HAL_LOCKED;        \
    } while (0U)
#define __HAL_UNLOCK(handle)           \
    do {                               \
        (handle)->Lock = HAL_UNLOCKED; \
    } while (0U)

// Register bit helpers.
#define SET_BIT(reg, bit) ((reg) |= (bit))
#define CLEAR_BIT(reg, bit) ((reg) &= ~(bit))
#define READ_BIT(reg, bit) ((reg) & (bit))
#define WRITE_REG(reg, val) ((reg) = (val))
#define READ_REG(reg) ((reg))
#define MODIFY_REG(reg, clearmask, setmask) WRITE_REG((reg), (((READ_REG(reg)) & (~(clearmask))) | (setmask)))

// Atomic read-modify-write of a register with the exclusive monitor: an interrupt between the load and
// the store makes the store fail, and the loop retries with the fresh value.
#define ATOMIC_SET_BIT(reg, bit)                           \
    do {                                                   \
        uint32_t atomic_value_;                            \
        do {                                               \
            atomic_value_ = __LDREXW(&(reg)) | (bit);      \
        } while ((__STREXW(atomic_value_, &(reg))) != 0U); \
    } while (0)
#define ATOMIC_CLEAR_BIT(reg, bit)                         \
    do {                                                   \
        uint32_t atomic_value_;                            \
        do {                                               \
            atomic_value_ = __LDREXW(&(reg)) & ~(bit);     \
        } while ((__STREXW(atomic_value_, &(reg))) != 0U); \
    } while (0)
