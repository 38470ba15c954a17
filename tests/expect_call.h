// A call's result and the error code it leaves, checked in one line.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

// For the library's functions (KZGetLastError).
#define EXPECT_CALL_ERR(call, result, error)                            \
  do {                                                                  \
    EXPECT_EQ(call, result) << #call;                                   \
    EXPECT_EQ(KZGetLastError(), static_cast<uint32_t>(error)) << #call; \
  } while (0)

// For the platform layer's functions (GetLastError).
#define EXPECT_WIN_ERR(call, result, error)                        \
  do {                                                             \
    EXPECT_EQ(call, result) << #call;                              \
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(error)) << #call; \
  } while (0)
