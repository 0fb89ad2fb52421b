// Start values: the length check, the regressions and the guards.

#include "start_params.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_util.hpp"

using namespace tembrel;
using namespace tembrel::testing;

namespace {
std::vector<double> arma11(std::size_t n, double phi, double theta, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<double> y(n);
    double prev = 0.0, e_prev = 0.0;
    for (std::size_t t = 0; t < n + 100; ++t) {
        const double e = normal(rng);
        const double v = phi * prev + e + theta * e_prev;
        prev = v;
        e_prev = e;
        if (t >= 100) y[t - 100] = v;
    }
    return y;
}
}  // namespace

TEST(start_params_test, length_check_and_given_values) {
    const SarimaxConfig config = make_config(1, 0, 1);  // n_params 3, k_states 2
    EXPECT_SARIMAX_ERROR(validate_and_get_start_params(std::vector<double>(3, 1.0), config,
                                                       nullptr, nullptr),
                         Data,
                         "data error: Not enough observations: n=3 <= minimum required 3 for "
                         "model order");
    const std::vector<double> y = arma11(4, 0.5, 0.0, 1);
    EXPECT_TRUE(validate_and_get_start_params(y, config, nullptr, nullptr).has_value());
    const std::vector<double> given = {9.0, -9.0, 0.0};
    auto same = validate_and_get_start_params(y, config, &given, nullptr);
    ASSERT_OK(same);
    EXPECT_EQ(*same, given);
    const std::vector<double> wrong = {1.0};
    EXPECT_SARIMAX_ERROR(validate_and_get_start_params(y, config, &wrong, nullptr), ParamLength,
                         "parameter length mismatch: expected 3, got 1");
}

TEST(start_params_test, recovers_arma_coefficients_roughly) {
    const std::vector<double> y = arma11(2000, 0.6, 0.4, 7);
    auto start = compute_start_params(y, make_config(1, 0, 1), nullptr);
    ASSERT_OK(start);
    ASSERT_EQ(start->size(), 3u);
    EXPECT_NEAR((*start)[0], 0.6, 0.1);
    EXPECT_NEAR((*start)[1], 0.4, 0.1);
    EXPECT_NEAR((*start)[2], 1.0, 0.1);
}

TEST(start_params_test, degenerate_inputs) {
    // Fewer than three differenced values: all zeros, σ² included.
    auto tiny = compute_start_params(std::vector<double>{1, 2, 4}, make_config(1, 1, 0), nullptr);
    ASSERT_OK(tiny);
    EXPECT_EQ(*tiny, (std::vector<double>{0.0, 0.0}));
    // White noise: the population variance of the series.
    auto white = compute_start_params(std::vector<double>{1, 3, 1, 3}, make_config(0, 0, 0), nullptr);
    ASSERT_OK(white);
    EXPECT_DOUBLE_EQ((*white)[0], 1.0);
    SarimaxConfig conc = make_config(0, 0, 0);
    conc.concentrate_scale = true;
    EXPECT_TRUE(compute_start_params(std::vector<double>{1, 3, 1, 3}, conc, nullptr)->empty());
    // s = 0 with a seasonal order: seasonal coefficients are zeros.
    auto no_season = compute_start_params(arma11(200, 0.5, 0.0, 3), make_config(1, 0, 0, 1, 0, 0, 0),
                                          nullptr);
    ASSERT_OK(no_season);
    EXPECT_EQ((*no_season)[1], 0.0);
}

TEST(start_params_test, boundary_guard_zeroes_only_the_offending_block) {
    // An explosive AR(1) gives an AR estimate near 1.05: the AR block is
    // zeroed, the MA block keeps its estimate.
    std::mt19937_64 rng(2);
    std::normal_distribution<double> normal;
    std::vector<double> y(200);
    double level = 1.0;
    for (auto& v : y) v = (level = 1.05 * level + normal(rng));
    auto start = compute_start_params(y, make_config(1, 0, 1), nullptr);
    ASSERT_OK(start);
    EXPECT_EQ((*start)[0], 0.0);
    EXPECT_NE((*start)[1], 0.0);
}

TEST(start_params_test, trend_uses_the_position_in_the_undifferenced_series) {
    // y_t = 2 + 0.5·t² has first differences 0.5·(2t − 1) = −0.5 + 1.0·t at
    // positions t = 1 … 99: the regression on (1, t) recovers (−0.5, 1).
    std::vector<double> y(100);
    for (std::size_t t = 0; t < y.size(); ++t) y[t] = 2.0 + 0.5 * static_cast<double>(t * t);
    SarimaxConfig config = make_config(0, 1, 0);
    config.trend_kind = Trend::ct;
    auto start = compute_start_params(y, config, nullptr);
    ASSERT_OK(start);
    EXPECT_NEAR((*start)[0], -0.5, 1e-9);
    EXPECT_NEAR((*start)[1], 1.0, 1e-11);
    EXPECT_DOUBLE_EQ((*start)[2], 1e-6);  // residuals vanish: the variance floor
}

TEST(start_params_test, exog_column_count_must_match) {
    SarimaxConfig config = make_config(1, 0, 0);
    config.n_exog = 2;
    const std::vector<double> y = arma11(50, 0.5, 0.0, 9);
    const ExogColumns three(3, std::vector<double>(50, 1.0));
    EXPECT_SARIMAX_ERROR(compute_start_params(y, config, &three), Data,
                         "data error: failed to build start params: expected length 4, got 5");
    // Regressors recovered: y = 3·x + noise.
    std::mt19937_64 rng(10);
    std::normal_distribution<double> normal;
    SarimaxConfig one = make_config(0, 0, 0);
    one.n_exog = 1;
    ExogColumns x = {std::vector<double>(300)};
    std::vector<double> yy(300);
    for (std::size_t t = 0; t < 300; ++t) {
        x[0][t] = normal(rng);
        yy[t] = 3.0 * x[0][t] + 0.1 * normal(rng);
    }
    auto start = compute_start_params(yy, one, &x);
    ASSERT_OK(start);
    EXPECT_NEAR((*start)[0], 3.0, 0.02);
}
