// The exact gradient: worked example, finite differences over a table of
// models, and per-observation rows.

#include "score.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_util.hpp"

using namespace tembrel;
using namespace tembrel::testing;

namespace {

struct Model {
    const char* name;
    SarimaxConfig config;
    std::vector<double> flat;
    std::size_t n;
    bool with_exog = false;
};

// The log-likelihood through the whole chain (system, start, filter), so that
// finite differences also see how the start moves with the parameters.
double loglike_at(const Model& m, const std::vector<double>& flat, const std::vector<double>& y,
                  const ExogColumns* exog) {
    auto params = SarimaxParams::from_flat(flat, m.config);
    auto ss = StateSpace::new_(m.config, *params, y.size(), exog);
    const KalmanInit init = KalmanInit::from_config_default(*ss, m.config);
    auto out = kalman_core(y, *ss, init, m.config.concentrate_scale, false);
    EXPECT_TRUE(out.has_value()) << out.error().display();
    return out->loglike;
}

Result<std::vector<double>> score_at(const Model& m, const std::vector<double>& y,
                                     const ExogColumns* exog) {
    auto params = SarimaxParams::from_flat(m.flat, m.config);
    auto ss = StateSpace::new_(m.config, *params, y.size(), exog);
    const KalmanInit init = KalmanInit::from_config_default(*ss, m.config);
    return score(y, *ss, init, m.config, *params, m.config.concentrate_scale, exog);
}

std::vector<double> series(std::size_t n, unsigned seed, double drift) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<double> y(n);
    double e_prev = 0.0, level = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        const double e = normal(rng);
        level = 0.6 * level + e + 0.3 * e_prev + drift;
        e_prev = e;
        y[t] = level + 0.05 * static_cast<double>(t) * drift;
    }
    return y;
}

}  // namespace

TEST(score_test, ar1_worked_example) {
    const SarimaxConfig config = make_config(1, 0, 0);
    const std::vector<double> y = {1.0, 0.5};
    auto params = *SarimaxParams::from_flat(std::vector<double>{0.5, 1.0}, config);
    const StateSpace ss = build(config, {0.5, 1.0}, 2);
    const KalmanInit init = KalmanInit::from_config_default(ss, config);
    const SystemDerivatives d = precompute_derivatives(config, params, ss, 2, nullptr);
    ASSERT_EQ(d.d_transition[0].size(), 1u);
    EXPECT_EQ(d.d_transition[0][0].value, 1.0);
    EXPECT_FALSE(d.d_rqr[0].has_value());
    EXPECT_EQ((*d.d_rqr[1])(0, 0), 1.0);

    ScoreSums sums(2);
    tlkf_pass(y, ss, init, d, sums);
    EXPECT_NEAR(sums.sum_v_dv[0], 0.0, 1e-15);
    EXPECT_NEAR(sums.sum_v_dv[1], 0.0, 1e-15);
    EXPECT_NEAR(sums.sum_v2_df[0], 1.0, 1e-14);
    EXPECT_NEAR(sums.sum_v2_df[1], 0.75, 1e-14);
    EXPECT_NEAR(sums.sum_df[0], 4.0 / 3.0, 1e-14);
    EXPECT_NEAR(sums.sum_df[1], 2.0, 1e-14);

    auto g = score(y, ss, init, config, params, false, nullptr);
    ASSERT_OK(g);
    EXPECT_NEAR((*g)[0], -1.0 / 6.0, 1e-14);
    EXPECT_NEAR((*g)[1], -0.625, 1e-14);
    auto rows = score_obs(y, ss, init, config, params, false, nullptr);
    ASSERT_OK(rows);
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_NEAR((*rows)[0][0], -1.0 / 6.0, 1e-14);
    EXPECT_NEAR((*rows)[0][1], -0.125, 1e-14);
    EXPECT_NEAR((*rows)[1][0], 0.0, 1e-14);
    EXPECT_NEAR((*rows)[1][1], -0.5, 1e-14);

    SarimaxConfig conc = config;
    conc.concentrate_scale = true;
    auto cparams = *SarimaxParams::from_flat(std::vector<double>{0.5}, conc);
    const StateSpace css = build(conc, {0.5}, 2);
    auto cg = score(y, css, KalmanInit::from_config_default(css, conc), conc, cparams, true, nullptr);
    ASSERT_OK(cg);
    EXPECT_NEAR((*cg)[0], 2.0 / 3.0, 1e-14);
}

TEST(score_test, derivative_tables_of_small_models) {
    // MA(1), θ = 0.4, σ² = 2: dR = [0, 1], ∂RQR = 2·[[0, 1], [1, 0.8]].
    const SarimaxConfig ma = make_config(0, 0, 1);
    const StateSpace ss = build(ma, {0.4, 2.0}, 3);
    const auto d = precompute_derivatives(ma, *SarimaxParams::from_flat(std::vector<double>{0.4, 2.0}, ma),
                                          ss, 3, nullptr);
    EXPECT_TRUE(d.d_rqr[0]->isApprox(2.0 * rows({{0, 1}, {1, 0.8}}), 1e-15));
    // Seasonal AR(1) with p = 1, s = 4: Φ moves rows 3 and 4 of column 0.
    const SarimaxConfig sar = make_config(1, 0, 0, 1, 0, 0, 4);
    const auto p = *SarimaxParams::from_flat(std::vector<double>{0.5, 0.3, 1.0}, sar);
    const auto ds = precompute_derivatives(sar, p, build(sar, {0.5, 0.3, 1.0}, 3), 3, nullptr);
    ASSERT_EQ(ds.d_transition[1].size(), 2u);
    EXPECT_EQ(ds.d_transition[1][0].row, 3);
    EXPECT_EQ(ds.d_transition[1][0].value, 1.0);
    EXPECT_EQ(ds.d_transition[1][1].row, 4);
    EXPECT_EQ(ds.d_transition[1][1].value, -0.5);
    // Trend t with n = 3, k = 2.
    SarimaxConfig trend = make_config(0, 0, 1);
    trend.trend_kind = Trend::t;
    const auto pt = *SarimaxParams::from_flat(std::vector<double>{0.1, 0.4, 1.0}, trend);
    const auto dt = precompute_derivatives(trend, pt, build(trend, {0.1, 0.4, 1.0}, 3), 3, nullptr);
    EXPECT_EQ(dt.d_state_intercept[0], (std::vector<double>{0, 0, 1, 0, 2, 0}));
}

TEST(score_test, gradient_matches_central_differences_of_the_likelihood) {
    SarimaxConfig c_const = make_config(1, 0, 1);
    c_const.trend_kind = Trend::c;
    SarimaxConfig c_slope = make_config(2, 0, 0);
    c_slope.trend_kind = Trend::t;
    SarimaxConfig c_ct = make_config(1, 0, 0);
    c_ct.trend_kind = Trend::ct;
    SarimaxConfig c_exog = make_config(1, 1, 1);
    c_exog.n_exog = 2;
    SarimaxConfig c_seasonal = make_config(1, 1, 1, 1, 1, 1, 4);
    SarimaxConfig c_conc = make_config(2, 0, 1, 1, 0, 0, 4);
    c_conc.concentrate_scale = true;
    SarimaxConfig c_diffuse = make_config(1, 0, 1);
    c_diffuse.enforce_stationarity = false;
    c_diffuse.trend_kind = Trend::c;
    SarimaxConfig c_simple = make_config(1, 1, 0, 0, 1, 1, 4);
    c_simple.simple_differencing = true;
    SarimaxConfig c_ct_conc = make_config(1, 1, 0);
    c_ct_conc.trend_kind = Trend::ct;
    c_ct_conc.concentrate_scale = true;
    const Model models[] = {
        {"ARMA(1,1) with constant", c_const, {0.8, 0.5, 0.3, 1.2}, 80},
        {"AR(2) with slope", c_slope, {0.02, 0.5, -0.2, 0.9}, 80},
        {"AR(1) with ct", c_ct, {0.5, 0.02, 0.6, 1.1}, 80},
        {"ARIMA(1,1,1) with two regressors", c_exog, {0.7, -0.4, 0.4, 0.2, 1.3}, 80, true},
        {"(1,1,1)(1,1,1,4)", c_seasonal, {0.4, 0.3, -0.3, -0.5, 0.8}, 80},
        {"(2,0,1)(1,0,0,4) concentrated", c_conc, {0.3, 0.1, 0.4, 0.5}, 80},
        {"ARMA(1,1) with constant, diffuse", c_diffuse, {0.3, 0.6, 0.2, 1.0}, 80},
        {"(1,0,0)(0,0,1,4) states of a simply differenced model", c_simple, {0.3, -0.4, 1.0}, 80},
        {"ARIMA(1,1,0) with ct, concentrated", c_ct_conc, {0.1, 0.01, 0.4}, 80},
        {"ARMA(1,1) long series, steady state", make_config(1, 0, 1), {0.6, 0.3, 1.0}, 600},
        // Low-rank covariance steps after the burn-in (rank 2 and 4 of k = 27
        // and 28): the derivatives then move in factored form.
        {"airline", make_config(0, 1, 1, 0, 1, 1, 12), {-0.4, -0.6, 0.5}, 144},
        {"(2,1,2)(1,1,1,12)", make_config(2, 1, 2, 1, 1, 1, 12),
         {0.5, -0.2, 0.3, 0.1, 0.3, -0.5, 1.0}, 200},
    };
    for (const auto& m : models) {
        SCOPED_TRACE(m.name);
        const std::vector<double> y = series(m.n, 3, m.config.trend_kind == Trend::n ? 0.0 : 0.3);
        ExogColumns exog;
        if (m.with_exog) {
            std::mt19937_64 rng(4);
            std::normal_distribution<double> normal;
            exog.assign(2, std::vector<double>(m.n));
            for (auto& col : exog)
                for (auto& v : col) v = normal(rng);
        }
        const ExogColumns* xp = m.with_exog ? &exog : nullptr;
        auto g = score_at(m, y, xp);
        ASSERT_OK(g);
        ASSERT_EQ(g->size(), m.flat.size());
        for (std::size_t i = 0; i < m.flat.size(); ++i) {
            // Models with diffuse states carry rounding noise of about 1e-9 in
            // the likelihood (the 10⁶ variances cancel), so the steps stay
            // large, and Richardson's combination of two central differences
            // removes their h² error.
            const double h = 1e-4 * std::max(1.0, std::abs(m.flat[i]));
            auto central = [&](double step) {
                std::vector<double> up = m.flat, down = m.flat;
                up[i] += step;
                down[i] -= step;
                return (loglike_at(m, up, y, xp) - loglike_at(m, down, y, xp)) / (2 * step);
            };
            const double fd = (4.0 * central(h) - central(2 * h)) / 3.0;
            EXPECT_NEAR((*g)[i], fd, 1e-6 * std::max(1.0, std::abs(fd))) << "parameter " << i;
        }
    }
}

TEST(score_test, rows_sum_to_the_gradient_and_errors) {
    SarimaxConfig config = make_config(1, 1, 1, 0, 1, 1, 4);
    config.trend_kind = Trend::c;
    const std::vector<double> flat = {0.1, 0.4, 0.3, -0.5, 1.0};
    const std::vector<double> y = series(60, 8, 0.2);
    const auto params = *SarimaxParams::from_flat(flat, config);
    const StateSpace ss = build(config, flat, y.size());
    const KalmanInit init = KalmanInit::from_config_default(ss, config);
    auto g = score(y, ss, init, config, params, false, nullptr);
    auto rows = score_obs(y, ss, init, config, params, false, nullptr);
    ASSERT_OK(g);
    ASSERT_OK(rows);
    ASSERT_EQ(rows->size(), y.size() - init.burn);
    for (std::size_t i = 0; i < flat.size(); ++i) {
        double total = 0.0;
        for (const auto& row : *rows) total += row[i];
        EXPECT_NEAR(total, (*g)[i], 1e-10 * std::max(1.0, std::abs((*g)[i])));
    }

    const SarimaxConfig ma2 = make_config(0, 0, 2);
    const auto p2 = *SarimaxParams::from_flat(std::vector<double>{0.1, 0.2, 1.0}, ma2);
    const StateSpace s2 = build(ma2, {0.1, 0.2, 1.0}, 3);
    const KalmanInit diffuse = KalmanInit::approximate_diffuse(3);
    EXPECT_SARIMAX_ERROR(score(std::vector<double>{1, 2, 3}, s2, diffuse, ma2, p2, false, nullptr),
                         Data, "data error: Not enough observations: n=3 <= burn=3");

    SarimaxConfig white = make_config(0, 0, 0);
    white.concentrate_scale = true;
    const auto pw = *SarimaxParams::from_flat(std::vector<double>{}, white);
    const StateSpace sw = build(white, {}, 4);
    auto empty = score(std::vector<double>{1, 2, 3, 4}, sw, KalmanInit::from_config_default(sw, white),
                       white, pw, true, nullptr);
    ASSERT_OK(empty);
    EXPECT_TRUE(empty->empty());
    SarimaxConfig ar1c = make_config(1, 0, 0);
    ar1c.concentrate_scale = true;
    const auto pz = *SarimaxParams::from_flat(std::vector<double>{0.0}, ar1c);
    const StateSpace sz = build(ar1c, {0.0}, 4);
    EXPECT_SARIMAX_ERROR(score(std::vector<double>(4, 0.0), sz, KalmanInit::from_config_default(sz, ar1c),
                               ar1c, pz, true, nullptr),
                         Data, "data error: concentrated sigma^2 <= 0 in score computation");
    EXPECT_SARIMAX_ERROR(score_obs(std::vector<double>(4, 0.0), sz,
                                   KalmanInit::from_config_default(sz, ar1c), ar1c, pz, true, nullptr),
                         Data, "data error: concentrated sigma^2 <= 0 in score_obs computation");
}

TEST(score_test, non_positive_variance_step_records_the_penalty) {
    // White noise with σ² = −1 from P0 = 1: step 0 is regular, step 1 has F = −1.
    const SarimaxConfig config = make_config(0, 0, 0);
    const auto params = *SarimaxParams::from_flat(std::vector<double>{-1.0}, config);
    const StateSpace ss = build(config, {-1.0}, 2);
    KalmanInit init;
    init.kind = KalmanInit::Kind::Stationary;
    init.a0 = VectorXd::Zero(1);
    init.P0 = MatrixXd::Ones(1, 1);
    init.burn = 0;
    const SystemDerivatives d = precompute_derivatives(config, params, ss, 2, nullptr);
    ObsRecords records;
    const double sum_v2_f = tlkf_pass(std::vector<double>{1.0, 2.0}, ss, init, d, records);
    ASSERT_EQ(records.innovations.size(), 2u);
    EXPECT_EQ(records.inv_variances[0], 1.0);
    EXPECT_EQ(records.inv_variances[1], 1e-10);
    EXPECT_EQ(records.d_variances[1][0], 0.0);
    EXPECT_DOUBLE_EQ(sum_v2_f, 1.0 + 4.0 * 1e-10);
}
