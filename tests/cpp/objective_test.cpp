// The objectives: in-place system updates, the value-and-gradient cache,
// gradients through the transforms, and the penalty value.

#include "optimizer/objective.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "css.hpp"
#include "optimizer/transforms.hpp"
#include "test_util.hpp"

using namespace tembrel;
using namespace tembrel::testing;

namespace {

std::vector<double> noisy_series(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<double> y(n);
    double level = 0.0, prev = 0.0;
    for (auto& v : y) {
        const double e = normal(rng);
        level += 0.5 * prev + e;
        prev = e;
        v = level;
    }
    return y;
}

bool same_system(const StateSpace& a, const StateSpace& b) {
    return a.transition == b.transition && a.design == b.design && a.selection == b.selection &&
           a.state_cov == b.state_cov && a.obs_intercept == b.obs_intercept &&
           a.state_intercept == b.state_intercept && a.k_states == b.k_states &&
           a.arma_start == b.arma_start;
}

}  // namespace

TEST(objective_test, refreshed_system_equals_a_fresh_construction) {
    SarimaxConfig with_all = make_config(2, 1, 1, 1, 1, 1, 4);
    with_all.trend_kind = Trend::ct;
    with_all.n_exog = 2;
    SarimaxConfig simple = make_config(1, 1, 2, 0, 1, 1, 12);
    simple.simple_differencing = true;
    simple.concentrate_scale = true;
    SarimaxConfig plain = make_config(3, 0, 0);
    const SarimaxConfig configs[] = {with_all, simple, plain};
    std::mt19937_64 rng(13);
    std::normal_distribution<double> normal;
    const std::size_t n = 40;
    ExogColumns exog(2, std::vector<double>(n));
    for (auto& col : exog)
        for (auto& v : col) v = normal(rng);
    for (const auto& config : configs) {
        const ExogColumns* x = config.n_exog ? &exog : nullptr;
        std::vector<double> first(config.n_params());
        for (auto& v : first) v = normal(rng);
        if (!config.concentrate_scale) first.back() = 1.5;
        auto system = *StateSpace::new_(config, *SarimaxParams::from_flat(first, config), n, x);
        for (int rep = 0; rep < 10; ++rep) {
            std::vector<double> flat(config.n_params());
            for (auto& v : flat) v = normal(rng);
            const auto params = *SarimaxParams::from_flat(flat, config);
            system.refresh(config, params, x);
            const auto fresh = *StateSpace::new_(config, params, n, x);
            ASSERT_TRUE(same_system(system, fresh)) << "repetition " << rep;
        }
    }
}

TEST(objective_test, gradient_then_cost_runs_one_filter_pass) {
    SarimaxConfig config = make_config(1, 0, 1);
    config.trend_kind = Trend::c;
    SarimaxObjective objective(noisy_series(120, 2), std::nullopt, config);
    const std::vector<double> x = {0.1, 0.4, -0.3, std::log(1.2)};
    const auto g = objective.gradient(x);
    EXPECT_EQ(objective.filter_passes(), 1u);
    const double value = objective.cost(x);
    EXPECT_EQ(objective.filter_passes(), 1u);
    EXPECT_EQ(value, -*objective.eval_loglike(x));
    EXPECT_EQ(objective.filter_passes(), 2u);
    EXPECT_EQ(objective.gradient(x), g);
    EXPECT_EQ(objective.filter_passes(), 2u);
    // A NaN never matches the cached point.
    std::vector<double> nan_point = x;
    nan_point[0] = NAN;
    EXPECT_EQ(objective.cost(nan_point), PENALTY_COST);
    EXPECT_EQ(objective.filter_passes(), 3u);

    // A copy starts with empty caches and gives the same values.
    SarimaxObjective copy = objective;
    EXPECT_EQ(copy.filter_passes(), 0u);
    EXPECT_EQ(copy.cost(x), value);
    EXPECT_EQ(copy.filter_passes(), 1u);
}

TEST(objective_test, gradient_is_the_derivative_of_the_cost) {
    SarimaxConfig config = make_config(2, 1, 1, 1, 0, 0, 4);
    config.n_exog = 1;
    std::mt19937_64 rng(6);
    std::normal_distribution<double> normal;
    ExogColumns exog = {std::vector<double>(100)};
    for (auto& v : exog[0]) v = normal(rng);
    SarimaxObjective objective(noisy_series(100, 5), exog, config);
    const std::vector<double> x = {0.5, 0.3, -0.2, 0.4, 0.2, std::log(0.9)};
    const auto g = objective.gradient(x);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double h = 1e-4;
        auto at = [&](double step) {
            std::vector<double> p = x;
            p[i] += step;
            return objective.cost(p);
        };
        const double central = [&](double s) { return (at(s) - at(-s)) / (2 * s); }(h);
        const double wide = [&](double s) { return (at(s) - at(-s)) / (2 * s); }(2 * h);
        const double fd = (4 * central - wide) / 3;
        // The transform Jacobian is itself a forward difference of step 1e-7.
        EXPECT_NEAR(g[i], fd, 1e-5 * std::max(1.0, std::abs(fd))) << "coordinate " << i;
    }
}

TEST(objective_test, failures_become_the_penalty) {
    SarimaxObjective objective(noisy_series(30, 1), std::nullopt, make_config(1, 0, 0));
    EXPECT_EQ(objective.cost(std::vector<double>{0.1}), 8.988465674311579e307);
    EXPECT_FALSE(objective.eval_loglike(std::vector<double>{0.1}).has_value());
    EXPECT_EQ(objective.eval_loglike(std::vector<double>{0.1}).error(),
              "parameter length mismatch: expected 2, got 1");
    // The gradient always has the length of x and finite entries.
    const auto g = objective.gradient(std::vector<double>{0.2, 800.0});
    ASSERT_EQ(g.size(), 2u);
    for (double v : g) EXPECT_TRUE(std::isfinite(v));

    const SarimaxConfig config = make_config(1, 1, 0);
    const std::vector<double> y = noisy_series(40, 3);
    CssObjective css(y, std::nullopt, config);
    const std::vector<double> x = {0.3, 0.0};
    const auto params = *SarimaxParams::from_flat(*transform_params_inner(x, config, true), config);
    EXPECT_DOUBLE_EQ(css.cost(x), -css_loglike_with_exog(y, config, params, nullptr));
    CssObjective flat(std::vector<double>(10, 2.0), std::nullopt, config);
    EXPECT_EQ(flat.cost(x), PENALTY_COST);
}
