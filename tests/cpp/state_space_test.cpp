// Parameters, lag polynomials and the state-space matrices.

#include "state_space.hpp"

#include <gtest/gtest.h>

#include "polynomial.hpp"
#include "test_util.hpp"

using namespace tembrel;
using namespace tembrel::testing;

TEST(state_space_test, flat_vector_splits_into_blocks_in_layout_order) {
    SarimaxConfig c = make_config(1, 0, 1, 1, 0, 1, 4);
    c.trend_kind = Trend::ct;
    c.n_exog = 2;
    const std::vector<double> flat = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    auto p = SarimaxParams::from_flat(flat, c);
    ASSERT_OK(p);
    EXPECT_EQ(p->trend_coeffs, (std::vector<double>{1, 2}));
    EXPECT_EQ(p->exog_coeffs, (std::vector<double>{3, 4}));
    EXPECT_EQ(p->ar, (std::vector<double>{5}));
    EXPECT_EQ(p->ma, (std::vector<double>{6}));
    EXPECT_EQ(p->seasonal_ar, (std::vector<double>{7}));
    EXPECT_EQ(p->seasonal_ma, (std::vector<double>{8}));
    EXPECT_EQ(p->sigma2, 9.0);

    c.concentrate_scale = true;
    auto conc = SarimaxParams::from_flat(std::span(flat).first(8), c);
    ASSERT_OK(conc);
    EXPECT_FALSE(conc->sigma2.has_value());
    EXPECT_SARIMAX_ERROR(SarimaxParams::from_flat(flat, c), ParamLength,
                         "parameter length mismatch: expected 8, got 9");
}

TEST(state_space_test, lag_polynomials_multiply_seasonal_and_regular_parts) {
    SarimaxParams p;
    p.ar = {0.5};
    p.seasonal_ar = {0.3};
    SarimaxOrder order{1, 0, 0, 1, 0, 0, 4};
    EXPECT_EQ(reduced_ar(p, order), (std::vector<double>{1, -0.5, 0, 0, -0.3, 0.5 * 0.3}));
    p.ma = {0.4, -0.2};
    EXPECT_EQ(reduced_ma(p, order), (std::vector<double>{1, 0.4, -0.2}));
    EXPECT_EQ(make_seasonal_ma_poly(std::vector<double>{0.1, 0.2}, 2),
              (std::vector<double>{1, 0, 0.1, 0, 0.2}));
    EXPECT_TRUE(polymul(std::vector<double>{}, std::vector<double>{1.0}).empty());
}

TEST(state_space_test, small_models_have_their_textbook_matrices) {
    struct Case {
        const char* name;
        SarimaxConfig config;
        std::vector<double> flat;
        MatrixXd T;
        std::vector<double> Z;
        std::vector<double> R;
    };
    SarimaxConfig simple_diff = make_config(0, 1, 0);
    simple_diff.simple_differencing = true;
    const Case cases[] = {
        {"white noise", make_config(0, 0, 0), {2.0}, rows({{0}}), {1}, {1}},
        {"AR(2)", make_config(2, 0, 0), {0.5, -0.3, 1}, rows({{0.5, 1}, {-0.3, 0}}), {1, 0}, {1, 0}},
        {"MA(1)", make_config(0, 0, 1), {0.4, 1}, rows({{0, 1}, {0, 0}}), {1, 0}, {1, 0.4}},
        {"ARIMA(0,1,0)", make_config(0, 1, 0), {1}, rows({{1, 1}, {0, 0}}), {1, 1}, {0, 1}},
        {"ARIMA(0,1,0) simply differenced", simple_diff, {1}, rows({{0}}), {1}, {1}},
        {"(1,1,1)(0,1,0,2)", make_config(1, 1, 1, 0, 1, 0, 2), {0.6, 0.3, 1},
         rows({{1, 0, 1, 1, 0}, {0, 0, 1, 1, 0}, {0, 1, 0, 0, 0}, {0, 0, 0, 0.6, 1}, {0, 0, 0, 0, 0}}),
         {1, 0, 1, 1, 0}, {0, 0, 0, 1, 0.3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const StateSpace ss = build(c.config, c.flat, 5);
        EXPECT_EQ(ss.transition, c.T);
        EXPECT_EQ(ss.design, Eigen::Map<const VectorXd>(c.Z.data(), std::ssize(c.Z)));
        EXPECT_EQ(ss.selection.col(0), Eigen::Map<const VectorXd>(c.R.data(), std::ssize(c.R)));
        EXPECT_EQ(ss.k_states, c.Z.size());
        EXPECT_EQ(ss.arma_start, c.config.k_diff());
    }
}

TEST(state_space_test, seasonal_ar_fills_the_first_arma_column) {
    const StateSpace ss = build(make_config(1, 0, 0, 1, 0, 0, 4), {0.5, 0.3, 1}, 3);
    ASSERT_EQ(ss.k_states, 5u);
    const VectorXd expected = (VectorXd(5) << 0.5, 0, 0, 0.3, -0.15).finished();
    EXPECT_TRUE(ss.transition.col(0).isApprox(expected, 1e-15));
}

TEST(state_space_test, scale_is_sigma2_unless_concentrated) {
    SarimaxConfig c = make_config(1, 0, 0);
    EXPECT_EQ(build(c, {0.5, 2.5}, 3).state_cov(0, 0), 2.5);
    c.concentrate_scale = true;
    EXPECT_EQ(build(c, {0.5}, 3).state_cov(0, 0), 1.0);
}

TEST(state_space_test, trend_enters_the_first_arma_state) {
    SarimaxConfig c = make_config(1, 1, 0);
    c.trend_kind = Trend::ct;
    const StateSpace ss = build(c, {2.0, 0.5, 0.1, 1.0}, 3);
    ASSERT_EQ(ss.k_states, 2u);
    ASSERT_EQ(ss.state_intercept.size(), 6);
    const VectorXd expected = (VectorXd(6) << 0, 2.0, 0, 2.5, 0, 3.0).finished();
    EXPECT_EQ(ss.state_intercept, expected);

    // Without a trend the system carries no intercept at all.
    EXPECT_EQ(build(make_config(1, 1, 0), {0.1, 1.0}, 3).state_intercept.size(), 0);

    const VectorXd slope =
        StateSpace::build_state_intercept(3, 1, 0, Trend::t, std::vector<double>{0.5});
    EXPECT_EQ(slope, (VectorXd(3) << 0, 0.5, 1.0).finished());
}

TEST(state_space_test, regression_enters_the_observation_intercept) {
    SarimaxConfig c = make_config(0, 0, 0);
    c.n_exog = 2;
    const ExogColumns exog = {{1, 2, 3}, {10, 20, 30}};
    const StateSpace ss = build(c, {2.0, -0.5, 1.0}, 3, &exog);
    EXPECT_EQ(ss.obs_intercept, (VectorXd(3) << -3, -6, -9).finished());
}

TEST(state_space_test, construction_errors) {
    SarimaxParams none;
    EXPECT_SARIMAX_ERROR(StateSpace::new_(make_config(0, 0, 0, 0, 2, 0, 12), none, 10, nullptr),
                         StateSpaceConstruction,
                         "state space construction failed: Seasonal differencing D > 1 is not yet "
                         "supported");
    SarimaxConfig simple = make_config(0, 0, 0, 0, 2, 0, 12);
    simple.simple_differencing = true;
    EXPECT_SARIMAX_ERROR(StateSpace::new_(simple, none, 10, nullptr), StateSpaceConstruction,
                         "state space construction failed: Seasonal differencing D > 1 is not yet "
                         "supported");
    EXPECT_SARIMAX_ERROR(StateSpace::new_(make_config(0, 0, 0, 0, 1, 0, 1), none, 10, nullptr),
                         StateSpaceConstruction,
                         "state space construction failed: Seasonal differencing D=1 requires "
                         "seasonal period s >= 2, got s=1");
    SarimaxConfig with_exog = make_config(0, 0, 0);
    with_exog.n_exog = 2;
    SarimaxParams beta;
    beta.exog_coeffs = {1, 1};
    const ExogColumns exog = {{1, 2, 3}, {1, 2}};
    EXPECT_SARIMAX_ERROR(StateSpace::new_(with_exog, beta, 3, &exog), Data,
                         "data error: exog column 1 has 2 rows but y has 3 observations");
}
