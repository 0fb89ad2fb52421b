#pragma once
// Helpers shared by the C++ unit tests.

#include <gtest/gtest.h>

#include <string>

#include "error.hpp"

/// Checks that a `Result` failed with the given variant and exact display text.
#define EXPECT_SARIMAX_ERROR(result, variant, text)                                     \
    do {                                                                                \
        const auto& r_ = (result);                                                      \
        ASSERT_FALSE(r_.has_value()) << "expected the error: " << (text);              \
        EXPECT_EQ(r_.error().kind(), ::tembrel::ErrorKind::variant);                    \
        EXPECT_EQ(r_.error().display(), std::string(text));                             \
    } while (false)

/// Unwraps a `Result`, failing the test with the error's text otherwise.
#define ASSERT_OK(result)                                                               \
    do {                                                                                \
        const auto& r_ = (result);                                                      \
        ASSERT_TRUE(r_.has_value()) << r_.error().display();                            \
    } while (false)
