// The stationary initial state: Lyapunov doubling, the jitter ladder, the
// diffuse fallbacks and the stationary mean under a trend.

#include "initialization.hpp"

#include <gtest/gtest.h>

#include <random>

#include "kalman.hpp"
#include "test_util.hpp"

using namespace tembrel;
using namespace tembrel::testing;

namespace {

KalmanInit init_for(const SarimaxConfig& config, const std::vector<double>& flat,
                    std::size_t n = 5) {
    return KalmanInit::from_config_default(build(config, flat, n), config);
}

}  // namespace

TEST(initialization_test, doubling_solves_the_lyapunov_equation) {
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> u(-1, 1);
    MatrixXd a = MatrixXd::NullaryExpr(6, 6, [&] { return u(rng); });
    a *= 0.9 / a.eigenvalues().cwiseAbs().maxCoeff();
    const MatrixXd b = MatrixXd::NullaryExpr(6, 6, [&] { return u(rng); });
    const MatrixXd q = b * b.transpose();
    auto p = solve_lyapunov_general(a, q);
    ASSERT_TRUE(p.has_value());
    EXPECT_LT((*p - a * *p * a.transpose() - q).norm(), 1e-12 * q.norm());
    EXPECT_EQ(*p, p->transpose());

    // Companion blocks take the sparse products while their powers stay
    // sparse: a pure shift (moving average) and one with seasonal AR terms.
    for (const double phi : {0.0, 0.5}) {
        SCOPED_TRACE(phi);
        const StateSpace ss =
            build(make_config(1, 0, 1, 1, 0, 1, 12), {phi, 0.4, 0.5 * phi, -0.6, 1.0}, 3);
        const MatrixXd& t = ss.transition;
        const MatrixXd rqr = ss.selection * ss.selection.transpose();
        auto sol = solve_lyapunov_general(t, rqr);
        ASSERT_TRUE(sol.has_value());
        EXPECT_LT((*sol - t * *sol * t.transpose() - rqr).norm(), 1e-12 * sol->norm());
    }

    EXPECT_FALSE(lyapunov_doubling(MatrixXd::Identity(2, 2), MatrixXd::Identity(2, 2)));
    EXPECT_EQ(lyapunov_doubling(MatrixXd(0, 0), MatrixXd(0, 0))->size(), 0);
}

TEST(initialization_test, worked_examples) {
    struct Case {
        const char* name;
        SarimaxConfig config;
        std::vector<double> flat;
        MatrixXd p0;
        std::size_t burn;
        KalmanInit::Kind kind;
    };
    SarimaxConfig not_enforced = make_config(1, 0, 0);
    not_enforced.enforce_stationarity = false;
    SarimaxConfig simple = make_config(1, 1, 0);
    simple.simple_differencing = true;
    const auto St = KalmanInit::Kind::Stationary, Df = KalmanInit::Kind::ApproximateDiffuse;
    const Case cases[] = {
        {"AR(1)", make_config(1, 0, 0), {0.5, 1.0}, rows({{4.0 / 3.0}}), 0, St},
        {"AR(1) not enforced", not_enforced, {0.5, 1.0}, rows({{1e6}}), 1, Df},
        {"AR(1) unit root", make_config(1, 0, 0), {1.0, 1.0}, rows({{1e6}}), 1, Df},
        {"ARIMA(1,1,0)", make_config(1, 1, 0), {0.5, 1.5}, rows({{1e6, 0}, {0, 2.0}}), 1, St},
        {"ARIMA(1,1,0) simply differenced", simple, {0.5, 1.5}, rows({{2.0}}), 0, St},
        {"MA(1)", make_config(0, 0, 1), {0.4, 2.0}, rows({{2.32, 0.8}, {0.8, 0.32}}), 0, St},
        {"zero variance takes one jitter", make_config(1, 0, 0), {0.5, 0.0}, rows({{1e-12}}), 0,
         St},
        {"negative variance falls back", make_config(1, 0, 0), {0.5, -1.0}, rows({{1e6}}), 1, Df},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const KalmanInit init = init_for(c.config, c.flat);
        EXPECT_EQ(init.kind, c.kind);
        EXPECT_EQ(init.burn, c.burn);
        ASSERT_EQ(init.P0.rows(), c.p0.rows());
        EXPECT_TRUE(init.P0.isApprox(c.p0, 1e-14)) << init.P0;
        EXPECT_TRUE(init.a0.isZero(0.0));
    }
}

TEST(initialization_test, zero_variance_jitter_is_relative_to_unit_scale) {
    // m = max(1, largest |diagonal|) = 1, so ε = 10⁻¹² exactly.
    const KalmanInit init = init_for(make_config(0, 0, 1), {0.4, 0.0});
    EXPECT_EQ(init.P0, MatrixXd::Identity(2, 2) * 1e-12);
}

TEST(initialization_test, stationary_block_starts_at_its_mean_under_a_trend) {
    const double phi1 = 0.5, phi2 = 0.2, c = 3.0;
    // μ = T_a μ + c_a for T_a = [[φ1, 1], [φ2, 0]], c_a = (c, 0): μ1 = c/(1 − φ1 − φ2), μ2 = φ2 μ1.
    const double mu1 = c / (1 - phi1 - phi2);
    struct Case {
        const char* name;
        Trend trend;
        std::vector<double> coeffs;
        std::size_t d;
        double expected_mu1;
    };
    const Case cases[] = {
        {"constant", Trend::c, {c}, 0, mu1},
        {"constant plus slope uses the constant", Trend::ct, {c, 0.7}, 0, mu1},
        {"slope alone is zero at t = 0", Trend::t, {0.7}, 0, 0.0},
        {"differencing state keeps mean zero", Trend::c, {c}, 1, mu1},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        SarimaxConfig config = make_config(2, tc.d, 0);
        config.trend_kind = tc.trend;
        std::vector<double> flat = tc.coeffs;
        flat.insert(flat.end(), {phi1, phi2, 1.0});
        const KalmanInit init = init_for(config, flat);
        ASSERT_EQ(init.a0.size(), static_cast<Eigen::Index>(2 + tc.d));
        if (tc.d == 1) EXPECT_EQ(init.a0[0], 0.0);
        EXPECT_NEAR(init.a0[static_cast<Eigen::Index>(tc.d)], tc.expected_mu1, 1e-13);
        EXPECT_NEAR(init.a0[static_cast<Eigen::Index>(tc.d) + 1], phi2 * tc.expected_mu1, 1e-13);
    }
    // The fully diffuse start keeps a zero mean.
    SarimaxConfig diffuse = make_config(2, 0, 0);
    diffuse.trend_kind = Trend::c;
    diffuse.enforce_stationarity = false;
    EXPECT_TRUE(init_for(diffuse, {c, phi1, phi2, 1.0}).a0.isZero(0.0));
}
