// The stationary and invertible transforms and the block-wise flat map.

#include "optimizer/transforms.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_util.hpp"

using namespace tembrel;
using namespace tembrel::testing;

namespace {

// All roots of 1 − φ_1 z − … − φ_m z^m outside the unit circle, i.e. every
// eigenvalue of the companion matrix inside it.
bool is_stationary(const std::vector<double>& phi) {
    const auto m = static_cast<Eigen::Index>(phi.size());
    if (m == 0) return true;
    MatrixXd companion = MatrixXd::Zero(m, m);
    for (Eigen::Index i = 0; i < m; ++i) companion(0, i) = phi[static_cast<std::size_t>(i)];
    for (Eigen::Index i = 1; i < m; ++i) companion(i, i - 1) = 1.0;
    return companion.eigenvalues().cwiseAbs().maxCoeff() < 1.0;
}

}  // namespace

TEST(transforms_test, worked_examples) {
    EXPECT_EQ(constrain_stationary(std::vector<double>{0.0}), (std::vector<double>{0.0}));
    EXPECT_DOUBLE_EQ(constrain_stationary(std::vector<double>{1.0})[0], -0.7071067811865475);
    const auto c = constrain_stationary(std::vector<double>{0.5, -0.3});
    EXPECT_DOUBLE_EQ(c[0], -0.3187077144365221);
    EXPECT_DOUBLE_EQ(c[1], 0.2873478855663454);
    const auto back = unconstrain_stationary(c);
    EXPECT_DOUBLE_EQ(back[0], 0.5);
    EXPECT_DOUBLE_EQ(back[1], -0.3);
    EXPECT_DOUBLE_EQ(unconstrain_stationary(std::vector<double>{1.0})[0], -31622776.601683795);
    EXPECT_TRUE(constrain_stationary(std::vector<double>{}).empty());
}

TEST(transforms_test, round_trips_land_in_the_stationary_region) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal(0.0, 1.5);
    for (std::size_t m = 1; m <= 5; ++m) {
        for (int rep = 0; rep < 20; ++rep) {
            SCOPED_TRACE("m=" + std::to_string(m));
            std::vector<double> x(m);
            for (double& v : x) v = normal(rng);
            const auto phi = constrain_stationary(x);
            EXPECT_TRUE(is_stationary(phi));
            const auto back = unconstrain_stationary(phi);
            for (std::size_t i = 0; i < m; ++i) EXPECT_NEAR(back[i], x[i], 1e-9 * (1 + std::abs(x[i])));
            const auto theta = constrain_invertible(x);
            for (std::size_t i = 0; i < m; ++i) EXPECT_EQ(theta[i], -phi[i]);
            const auto back_ma = unconstrain_invertible(theta);
            for (std::size_t i = 0; i < m; ++i) EXPECT_NEAR(back_ma[i], x[i], 1e-9 * (1 + std::abs(x[i])));
        }
    }
}

TEST(transforms_test, flat_map_transforms_only_the_constrained_blocks) {
    SarimaxConfig c = make_config(1, 0, 1, 1, 0, 1, 4);
    c.trend_kind = Trend::c;
    c.n_exog = 1;
    const std::vector<double> x = {0.3, -2.0, 0.5, 0.7, -0.4, 1.2, std::log(2.5)};
    auto constrained = transform_params_inner(x, c, true);
    ASSERT_OK(constrained);
    const auto& v = *constrained;
    EXPECT_EQ(v[0], 0.3);
    EXPECT_EQ(v[1], -2.0);
    EXPECT_EQ(v[2], constrain_stationary(std::vector<double>{0.5})[0]);
    EXPECT_EQ(v[3], constrain_invertible(std::vector<double>{0.7})[0]);
    EXPECT_EQ(v[4], constrain_stationary(std::vector<double>{-0.4})[0]);
    EXPECT_EQ(v[5], constrain_invertible(std::vector<double>{1.2})[0]);
    EXPECT_DOUBLE_EQ(v[6], 2.5);
    auto back = transform_params_inner(v, c, false);
    ASSERT_OK(back);
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR((*back)[i], x[i], 1e-12);

    SarimaxConfig plain = c;
    plain.enforce_stationarity = plain.enforce_invertibility = false;
    auto identity = transform_params_inner(x, plain, true);
    ASSERT_OK(identity);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) EXPECT_EQ((*identity)[i], x[i]);

    std::vector<double> bad_variance = v;
    bad_variance.back() = -1.0;
    EXPECT_SARIMAX_ERROR(transform_params_inner(bad_variance, c, false), Data,
                         "data error: variance sigma2 must be positive, got -1");
    EXPECT_SARIMAX_ERROR(transform_params_inner(std::vector<double>{1.0}, c, true), ParamLength,
                         "parameter length mismatch: expected 7, got 1");
}

TEST(transforms_test, jacobian_transpose_matches_central_differences) {
    SarimaxConfig c = make_config(2, 0, 1, 1, 0, 0, 4);
    c.n_exog = 1;
    const std::vector<double> x = {0.4, 0.3, -0.6, 0.8, 0.2, std::log(1.5)};
    const std::vector<double> g = {1.0, -2.0, 0.5, 3.0, -1.0, 0.25};
    auto jtg = transform_jacobian_t_vec(x, c, g);
    ASSERT_OK(jtg);
    // Independent: central differences of g·c(x), direction by direction.
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double h = 1e-6;
        std::vector<double> up = x, down = x;
        up[i] += h;
        down[i] -= h;
        const auto cu = *transform_params_inner(up, c, true);
        const auto cd = *transform_params_inner(down, c, true);
        double expected = 0.0;
        for (std::size_t j = 0; j < x.size(); ++j) expected += (cu[j] - cd[j]) * g[j] / (2 * h);
        EXPECT_NEAR((*jtg)[i], expected, 1e-6 * (1 + std::abs(expected))) << "i=" << i;
    }
    // Without constraints the ARMA blocks map identically, so Jᵀg = g there.
    SarimaxConfig plain = c;
    plain.enforce_stationarity = plain.enforce_invertibility = false;
    auto identity = transform_jacobian_t_vec(x, plain, g);
    ASSERT_OK(identity);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) EXPECT_NEAR((*identity)[i], g[i], 1e-6);
}
