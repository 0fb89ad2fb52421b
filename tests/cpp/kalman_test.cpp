// The Kalman filter pass: worked examples, degenerate steps, snapshots, the
// steady-state switch and the two product strategies.

#include "kalman.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include "test_util.hpp"

using namespace tembrel;
using namespace tembrel::testing;

namespace {

KalmanInit manual_init(const VectorXd& a0, const MatrixXd& p0, std::size_t burn) {
    KalmanInit init;
    init.kind = KalmanInit::Kind::Stationary;
    init.a0 = a0;
    init.P0 = p0;
    init.burn = burn;
    return init;
}

// A textbook dense filter without the steady-state switch: the yardstick for
// the library's pass.
struct Reference {
    double loglike;
    double scale;
    std::vector<double> f;
};
Reference reference_filter(const std::vector<double>& y, const StateSpace& ss,
                           const KalmanInit& init, bool concentrate) {
    const MatrixXd& T = ss.transition;
    const VectorXd& Z = ss.design;
    const MatrixXd rqr = ss.selection * ss.state_cov * ss.selection.transpose();
    const auto k = static_cast<Eigen::Index>(ss.k_states);
    VectorXd a = init.a0;
    MatrixXd P = init.P0;
    double sum_log_f = 0, sum_v2_f = 0;
    Reference ref{};
    for (std::size_t t = 0; t < y.size(); ++t) {
        const double v = y[t] - Z.dot(a) - ss.obs_intercept[static_cast<Eigen::Index>(t)];
        const VectorXd pz = P * Z;
        double f = Z.dot(pz);
        ref.f.push_back(f);
        if (f > 0) {
            a += pz * (v / f);
            P -= pz * pz.transpose() / f;
        }
        a = T * a;
        if (ss.state_intercept.size() > 0)
            a += ss.state_intercept.segment(static_cast<Eigen::Index>(t) * k, k);
        P = T * P * T.transpose() + rqr;
        if (t >= init.burn) {
            if (!(f > 0)) f = 1e10;
            sum_log_f += std::log(f);
            sum_v2_f += v * v / f;
        }
    }
    const double n = static_cast<double>(y.size() - init.burn);
    const double ln2pi = std::log(2 * std::numbers::pi);
    if (concentrate) {
        ref.scale = sum_v2_f / n;
        ref.loglike = -0.5 * n * ln2pi - 0.5 * n * std::log(ref.scale) - 0.5 * n - 0.5 * sum_log_f;
    } else {
        ref.scale = ss.state_cov(0, 0);
        ref.loglike = -0.5 * n * ln2pi - 0.5 * sum_log_f - 0.5 * sum_v2_f;
    }
    return ref;
}

// A series from the model itself, so that the filter sees realistic data.
std::vector<double> simulate(const StateSpace& ss, std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    const auto k = static_cast<Eigen::Index>(ss.k_states);
    VectorXd alpha = VectorXd::Zero(k);
    std::vector<double> y(n);
    const double sd = std::sqrt(std::abs(ss.state_cov(0, 0)));
    for (std::size_t t = 0; t < n; ++t) {
        y[t] = ss.design.dot(alpha) + ss.obs_intercept[static_cast<Eigen::Index>(t)];
        alpha = ss.transition * alpha + ss.selection.col(0) * (sd * normal(rng));
    }
    return y;
}

}  // namespace

TEST(kalman_test, ar1_worked_example) {
    const StateSpace ss = build(make_config(1, 0, 0), {0.5, 1.0}, 2);
    const KalmanInit init = manual_init(VectorXd::Zero(1), MatrixXd::Constant(1, 1, 4.0 / 3.0), 0);
    const std::vector<double> y = {1.0, 0.5};
    auto full = kalman_core(y, ss, init, false, true);
    ASSERT_OK(full);
    EXPECT_EQ(full->innovations, (std::vector<double>{1.0, 0.0}));
    EXPECT_DOUBLE_EQ(full->innovation_vars[0], 4.0 / 3.0);
    EXPECT_DOUBLE_EQ(full->innovation_vars[1], 1.0);
    EXPECT_NEAR(full->loglike, -2.3567181026352357, 1e-15);
    EXPECT_EQ(full->scale, 1.0);
    EXPECT_EQ(full->n_eff, 2u);

    SarimaxConfig conc = make_config(1, 0, 0);
    conc.concentrate_scale = true;
    auto out = kalman_loglike(y, build(conc, {0.5}, 2), init, true);
    ASSERT_OK(out);
    EXPECT_DOUBLE_EQ(out->scale, 0.375);
    EXPECT_NEAR(out->loglike, -2.0008888496235095, 1e-15);
}

TEST(kalman_test, too_few_observations_for_the_burn_in) {
    const StateSpace ss = build(make_config(0, 0, 2), {0.1, 0.2, 1.0}, 3);
    EXPECT_SARIMAX_ERROR(kalman_loglike(std::vector<double>{1, 2, 3}, ss,
                                        KalmanInit::approximate_diffuse(3), false),
                         Data, "data error: Not enough observations: n=3 <= burn=3");
}

TEST(kalman_test, non_positive_variance_step_adds_the_fixed_penalty) {
    // White noise with σ² = −1 from P0 = 1: the first step has F = 1 and leaves
    // P = 0, so the second prediction is P = −1 and F_1 = −1 ≤ 0.
    const StateSpace ss = build(make_config(0, 0, 0), {-1.0}, 2);
    const KalmanInit init = manual_init(VectorXd::Zero(1), MatrixXd::Ones(1, 1), 0);
    auto out = kalman_core(std::vector<double>{1.0, 2.0}, ss, init, false, true);
    ASSERT_OK(out);
    EXPECT_EQ(out->innovation_vars, (std::vector<double>{1.0, -1.0}));
    // The skipped update leaves the filtered moments at the predicted ones.
    EXPECT_EQ(out->filtered_state[0], 0.0);
    EXPECT_EQ(out->filtered_cov(0, 0), -1.0);
    const double sum_log_f = std::log(1.0) + 23.025850929940457;
    const double sum_v2_f = 1.0 + 4.0 / 1e10;
    EXPECT_DOUBLE_EQ(out->loglike, -1.8378770664093453 - 0.5 * sum_log_f - 0.5 * sum_v2_f);
}

TEST(kalman_test, non_finite_data_fails_with_the_statistics_message) {
    const StateSpace ss = build(make_config(1, 0, 0), {0.5, 1.0}, 3);
    const KalmanInit init = manual_init(VectorXd::Zero(1), MatrixXd::Ones(1, 1), 0);
    EXPECT_SARIMAX_ERROR(kalman_loglike(std::vector<double>{1.0, NAN, 2.0}, ss, init, false), Data,
                         "data error: non-finite Kalman statistics encountered (possible NaN/Inf "
                         "in inputs)");
}

TEST(kalman_test, snapshots_hold_the_predicted_moments_at_each_origin) {
    const std::size_t n = 10;
    const StateSpace ss = build(make_config(1, 0, 1), {0.5, 0.3, 1.0}, n);
    const KalmanInit init = KalmanInit::from_config_default(ss, make_config(1, 0, 1));
    const std::vector<double> y = simulate(ss, n, 7);
    const std::vector<std::size_t> origins = {0, 2, 2, n};
    auto out = kalman_filter_with_snapshots(y, ss, init, false, origins);
    ASSERT_OK(out);
    const auto& [filter, snaps] = *out;
    ASSERT_EQ(snaps.size(), 4u);
    EXPECT_EQ(snaps[0].state, init.a0);
    EXPECT_EQ(snaps[0].cov, init.P0);
    EXPECT_EQ(snaps[1].origin, 2u);
    EXPECT_EQ(snaps[1].state, snaps[2].state);
    EXPECT_EQ(snaps[3].state, filter.predicted_state);
    EXPECT_EQ(snaps[3].cov, filter.predicted_cov);

    // The snapshot at 2 is the prediction from the first two observations.
    auto two = kalman_core(std::span(y).first(2), ss, init, false, true);
    ASSERT_OK(two);
    EXPECT_TRUE(snaps[1].state.isApprox(two->predicted_state, 1e-14));

    const std::vector<std::size_t> unsorted = {2, 1};
    EXPECT_SARIMAX_ERROR(kalman_filter_with_snapshots(y, ss, init, false, unsorted), InvalidInput,
                         "invalid input: snapshot origins must be sorted ascending and <= n=10, "
                         "got [2, 1]");
    const std::vector<std::size_t> beyond = {3, 11};
    EXPECT_SARIMAX_ERROR(kalman_filter_with_snapshots(y, ss, init, false, beyond), InvalidInput,
                         "invalid input: snapshot origins must be sorted ascending and <= n=10, "
                         "got [3, 11]");
}

TEST(kalman_test, agrees_with_a_textbook_filter_across_models) {
    struct Case {
        const char* name;
        SarimaxConfig config;
        std::vector<double> flat;
        bool diffuse;
    };
    SarimaxConfig trend = make_config(1, 1, 0);
    trend.trend_kind = Trend::ct;
    SarimaxConfig conc = make_config(2, 0, 1, 1, 0, 1, 4);
    conc.concentrate_scale = true;
    const Case cases[] = {
        {"AR(1)", make_config(1, 0, 0), {0.7, 1.3}, false},
        {"ARMA(2,1)", make_config(2, 0, 1), {0.5, -0.2, 0.4, 0.8}, false},
        {"MA(2) diffuse", make_config(0, 0, 2), {0.3, -0.2, 1.0}, true},
        {"ARIMA(1,1,0) with ct trend", trend, {0.2, 0.01, 0.4, 1.0}, false},
        {"airline", make_config(0, 1, 1, 0, 1, 1, 12), {-0.4, -0.6, 0.01}, false},
        {"(2,0,1)(1,0,1,4) concentrated", conc, {0.3, 0.1, 0.2, 0.5, -0.3}, false},
        // P·Z stands still for most of a season and moves again at lag 52:
        // the gain must not be frozen before the covariance has settled.
        {"(1,0,1)(1,1,1,52) long series", make_config(1, 0, 1, 1, 1, 1, 52),
         {0.5, 0.2, 0.3, -0.4, 1.0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t n = 400;
        const StateSpace ss = build(c.config, c.flat, n);
        const std::vector<double> y = simulate(ss, n, 11);
        const KalmanInit init = c.diffuse ? KalmanInit::approximate_diffuse(ss.k_states)
                                          : KalmanInit::from_config_default(ss, c.config);
        auto out = kalman_core(y, ss, init, c.config.concentrate_scale, true);
        ASSERT_OK(out);
        const Reference ref = reference_filter(y, ss, init, c.config.concentrate_scale);
        EXPECT_NEAR(out->loglike, ref.loglike, 1e-9 * std::abs(ref.loglike));
        EXPECT_NEAR(out->scale, ref.scale, 1e-9 * ref.scale);
        EXPECT_EQ(out->n_eff, n - init.burn);
    }
}

TEST(kalman_test, long_stationary_series_switches_to_the_steady_state) {
    const std::size_t n = 600;
    const SarimaxConfig config = make_config(1, 0, 1);
    const StateSpace ss = build(config, {0.6, 0.3, 1.0}, n);
    const std::vector<double> y = simulate(ss, n, 3);
    const KalmanInit init = KalmanInit::from_config_default(ss, config);
    auto out = kalman_core(y, ss, init, false, true);
    ASSERT_OK(out);
    // Once frozen, F no longer changes at all.
    const auto& f = out->innovation_vars;
    for (std::size_t t = n - 100; t < n; ++t) ASSERT_EQ(f[t], f[n - 1]) << "t=" << t;
    const Reference ref = reference_filter(y, ss, init, false);
    EXPECT_NEAR(out->loglike, ref.loglike, 1e-8 * std::abs(ref.loglike));
    for (std::size_t t = 0; t < n; ++t) ASSERT_NEAR(f[t], ref.f[t], 1e-8) << "t=" << t;
}

TEST(kalman_test, diffuse_start_burns_k_observations) {
    const std::size_t n = 40;
    const SarimaxConfig config = make_config(2, 0, 1);
    const StateSpace ss = build(config, {0.5, -0.2, 0.4, 1.0}, n);
    const std::vector<double> y = simulate(ss, n, 5);
    const KalmanInit init = KalmanInit::approximate_diffuse(ss.k_states);
    auto base = kalman_loglike(y, ss, init, false);
    ASSERT_OK(base);
    EXPECT_EQ(base->n_eff, n - 2);
    // The reference sums only the terms from t = burn on.
    const Reference ref = reference_filter(y, ss, init, false);
    EXPECT_NEAR(base->loglike, ref.loglike, 1e-9 * std::abs(ref.loglike));
}

TEST(kalman_test, dense_and_sparse_products_agree) {
    const SarimaxConfig config = make_config(2, 1, 1, 1, 1, 1, 4);
    const StateSpace ss = build(config, {0.4, -0.2, 0.3, 0.5, -0.4, 1.5}, 5);
    const auto k = static_cast<Eigen::Index>(ss.k_states);
    const SparseT st = SparseT::from_dense(ss.transition);
    ASSERT_EQ(KalmanStrategy::choose(st).kind, KalmanStrategy::Kind::Sparse);
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(-1, 1);
    MatrixXd a = MatrixXd::NullaryExpr(k, k, [&] { return u(rng); });
    const MatrixXd p = a * a.transpose();
    const VectorXd x = VectorXd::NullaryExpr(k, [&] { return u(rng); });
    const MatrixXd rqr = ss.selection * ss.state_cov * ss.selection.transpose();
    const MatrixXd tt = ss.transition.transpose();
    const SparseZ sz = SparseZ::from_dense(ss.design);
    const KalmanStrategy dense{KalmanStrategy::Kind::Dense}, sparse{KalmanStrategy::Kind::Sparse};

    MatrixXd work(k, k), out_dense(k, k), out_sparse(k, k);
    dense.predict_cov(ss.transition, tt, st, p, rqr, work, out_dense);
    sparse.predict_cov(ss.transition, tt, st, p, rqr, work, out_sparse);
    EXPECT_TRUE(out_dense.isApprox(out_sparse, 1e-13));
    EXPECT_TRUE(out_dense.isApprox(ss.transition * p * tt + rqr, 1e-13));

    VectorXd s_dense(k), s_sparse(k);
    dense.predict_state(ss.transition, st, x.data(), x.data(), s_dense.data());
    sparse.predict_state(ss.transition, st, x.data(), x.data(), s_sparse.data());
    EXPECT_TRUE(s_dense.isApprox(s_sparse, 1e-14));
    EXPECT_TRUE(s_dense.isApprox(ss.transition * x + x, 1e-14));

    VectorXd pz_dense(k), pz_sparse(k);
    const double f_dense = dense.compute_pz_and_f(p, ss.design, sz, pz_dense);
    const double f_sparse = sparse.compute_pz_and_f(p, ss.design, sz, pz_sparse);
    EXPECT_NEAR(f_dense, f_sparse, 1e-13 * std::abs(f_dense));
    EXPECT_TRUE(pz_dense.isApprox(pz_sparse, 1e-14));
}

TEST(kalman_test, strategy_rule_and_sparse_lists) {
    MatrixXd t = MatrixXd::Zero(4, 4);
    t(0, 0) = 0.5; t(0, 1) = 1; t(1, 2) = 1; t(2, 3) = NAN;
    const SparseT st = SparseT::from_dense(t);
    ASSERT_EQ(st.entries.size(), 4u);  // NaN is kept
    EXPECT_EQ(st.entries[3].row, 2);
    EXPECT_EQ(st.entries[3].col, 3);
    EXPECT_EQ(KalmanStrategy::choose(st).kind, KalmanStrategy::Kind::Sparse);  // 4 < 16/2
    t(3, 0) = 1; t(3, 1) = 1; t(3, 2) = 1; t(3, 3) = 1;
    EXPECT_EQ(KalmanStrategy::choose(SparseT::from_dense(t)).kind, KalmanStrategy::Kind::Dense);
    EXPECT_EQ(KalmanStrategy::choose(SparseT::from_dense(MatrixXd::Zero(1, 1))).kind,
              KalmanStrategy::Kind::Dense);
}

TEST(kalman_test, likelihood_pass_agrees_with_the_full_recursion) {
    // kalman_loglike may carry the covariance in factored form after the
    // burn-in; it must agree with the plain recursion of kalman_core.
    struct Case {
        const char* name;
        SarimaxConfig config;
        std::vector<double> flat;
        std::size_t n;
    };
    SarimaxConfig trend = make_config(2, 1, 1, 1, 1, 0, 4);
    trend.trend_kind = Trend::ct;
    SarimaxConfig conc = make_config(1, 0, 1, 1, 1, 1, 52);
    conc.concentrate_scale = true;
    SarimaxConfig diffuse = make_config(3, 0, 2);
    diffuse.enforce_stationarity = false;
    const Case cases[] = {
        {"airline", make_config(0, 1, 1, 0, 1, 1, 12), {-0.4, -0.6, 0.0014}, 144},
        {"(2,1,2)(1,1,1,12)", make_config(2, 1, 2, 1, 1, 1, 12),
         {0.5, -0.2, 0.3, 0.1, 0.3, -0.5, 1.0}, 400},
        {"(2,1,1)(1,1,0,4) with ct", trend, {0.3, 0.01, 0.4, 0.1, -0.3, 0.2, 2.0}, 120},
        {"(1,0,1)(1,1,1,52) concentrated", conc, {0.5, 0.2, 0.3, -0.4}, 300},
        {"ARMA(3,2) diffuse", diffuse, {0.5, -0.2, 0.1, 0.4, 0.2, 1.0}, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const StateSpace ss = build(c.config, c.flat, c.n);
        const std::vector<double> y = simulate(ss, c.n, 21);
        const KalmanInit init = KalmanInit::from_config_default(ss, c.config);
        auto fast = kalman_loglike(y, ss, init, c.config.concentrate_scale);
        auto full = kalman_core(y, ss, init, c.config.concentrate_scale, false);
        ASSERT_OK(fast);
        ASSERT_OK(full);
        EXPECT_NEAR(fast->loglike, full->loglike, 1e-10 * std::abs(full->loglike));
        EXPECT_NEAR(fast->scale, full->scale, 1e-10 * full->scale);
        ASSERT_EQ(fast->innovations.size(), full->innovations.size());
        for (std::size_t t = 0; t < c.n; ++t)
            ASSERT_NEAR(fast->innovations[t], full->innovations[t],
                        1e-8 * (1 + std::abs(full->innovations[t])))
                << "t=" << t;
    }
}

TEST(kalman_test, likelihood_pass_keeps_the_penalty_for_late_non_positive_variances) {
    // σ² = −1 started from the stationary covariance of σ² = +1: F is positive
    // at first and turns negative as the negative disturbance variance eats the
    // prior, so the factored pass meets F ≤ 0 late; it must then give the plain
    // recursion's result, penalties included.
    const SarimaxConfig config = make_config(2, 0, 7, 0, 0, 0, 0);
    std::vector<double> flat = {0.5, -0.2, 0.3, 0.2, 0.1, 0.1, 0.1, 0.1, 0.1, 1.0};
    const StateSpace positive = build(config, flat, 80);
    const KalmanInit init = KalmanInit::from_config_default(positive, config);
    flat.back() = -1.0;
    const StateSpace ss = build(config, flat, 80);
    const std::vector<double> y = simulate(positive, 80, 4);
    auto fast = kalman_loglike(y, ss, init, false);
    auto full = kalman_core(y, ss, init, false, true);
    ASSERT_OK(fast);
    ASSERT_OK(full);
    EXPECT_DOUBLE_EQ(fast->loglike, full->loglike);
    const auto& f = full->innovation_vars;
    EXPECT_GT(f.front(), 0.0);
    EXPECT_LT(*std::min_element(f.begin(), f.end()), 0.0);
}
