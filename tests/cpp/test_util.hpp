#pragma once
// Helpers shared by the C++ unit tests.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"
#include "linalg.hpp"
#include "params.hpp"
#include "state_space.hpp"
#include "types.hpp"

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

namespace tembrel::testing {

/// The configuration of order (p, d, q)(P, D, Q, s) with every other field at
/// its default.
inline SarimaxConfig make_config(std::size_t p, std::size_t d, std::size_t q, std::size_t P = 0,
                                 std::size_t D = 0, std::size_t Q = 0, std::size_t s = 0) {
    SarimaxConfig c;
    c.p = p; c.d = d; c.q = q; c.P = P; c.D = D; c.Q = Q; c.s = s;
    return c;
}

/// The system of `config` at the flat vector `flat` for n observations.
inline StateSpace build(const SarimaxConfig& config, const std::vector<double>& flat,
                        std::size_t n, const ExogColumns* exog = nullptr) {
    auto params = SarimaxParams::from_flat(flat, config);
    EXPECT_TRUE(params.has_value());
    auto ss = StateSpace::new_(config, *params, n, exog);
    EXPECT_TRUE(ss.has_value()) << ss.error().display();
    return std::move(*ss);
}

/// A matrix written row by row.
inline MatrixXd rows(std::initializer_list<std::initializer_list<double>> r) {
    MatrixXd m(static_cast<Eigen::Index>(r.size()), static_cast<Eigen::Index>(r.begin()->size()));
    Eigen::Index i = 0;
    for (const auto& row : r) {
        Eigen::Index j = 0;
        for (double v : row) m(i, j++) = v;
        ++i;
    }
    return m;
}

}  // namespace tembrel::testing
