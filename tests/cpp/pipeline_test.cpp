// Differencing, simple-differencing preparation and the likelihood pipeline.

#include "pipeline.hpp"

#include <gtest/gtest.h>

#include "test_util.hpp"

using namespace tembrel;
using namespace tembrel::testing;

TEST(pipeline_test, seasonal_differences_come_before_regular_ones) {
    const std::vector<double> squares = {0, 1, 4, 9, 16, 25, 36};
    EXPECT_EQ(apply_differencing(squares, make_config(0, 0, 0, 0, 1, 0, 4)),
              (std::vector<double>{16, 24, 32}));
    EXPECT_EQ(apply_differencing(squares, make_config(0, 1, 0, 0, 1, 0, 4)),
              (std::vector<double>{8, 8}));
    // A season as long as the series leaves it to the regular step.
    EXPECT_EQ(apply_differencing(std::vector<double>{1, 3, 6}, make_config(0, 1, 0, 0, 1, 0, 3)),
              (std::vector<double>{2, 3}));
    // Differencing stops at one value.
    EXPECT_EQ(apply_differencing(std::vector<double>{1, 3}, make_config(0, 3, 0)),
              (std::vector<double>{2}));
}

TEST(pipeline_test, simple_differencing_differences_the_regressors_too) {
    SarimaxConfig config = make_config(0, 1, 0);
    config.simple_differencing = true;
    const std::vector<double> y = {1, 2, 4, 7, 11};
    const ExogColumns exog = {{0, 1, 1, 2, 3}};
    auto prepared = prepare_endog(y, config, &exog);
    ASSERT_OK(prepared);
    EXPECT_EQ(prepared->y, (std::vector<double>{1, 2, 3, 4}));
    ASSERT_TRUE(prepared->exog.has_value());
    EXPECT_EQ((*prepared->exog)[0], (std::vector<double>{1, 0, 1, 1}));

    const std::vector<double> ten(10, 1.0);
    const ExogColumns short_column = {std::vector<double>(9, 1.0)};
    EXPECT_SARIMAX_ERROR(prepare_endog(ten, config, &short_column), InvalidInput,
                         "invalid input: exog column 0 has 8 rows after simple_differencing, but "
                         "y has 9 observations");

    config.simple_differencing = false;
    auto plain = prepare_endog(y, config, &exog);
    ASSERT_OK(plain);
    EXPECT_EQ(plain->y, y);
    EXPECT_FALSE(plain->exog.has_value());
}

TEST(pipeline_test, simple_differencing_filters_a_shorter_series_without_burn_in) {
    SarimaxConfig config = make_config(1, 1, 0);
    const std::vector<double> y = {0.3, 1.1, 0.8, 1.9, 2.5, 2.2, 3.4, 4.1, 3.9, 5.0};
    auto params = SarimaxParams::from_flat(std::vector<double>{0.4, 0.5}, config);
    ASSERT_OK(params);
    auto states = kalman_eval(y, config, *params, nullptr);
    config.simple_differencing = true;
    auto simple = kalman_eval(y, config, *params, nullptr);
    ASSERT_OK(states);
    ASSERT_OK(simple);
    EXPECT_EQ(states->n_eff, 9u);  // 10 observations, one diffuse state burnt in
    EXPECT_EQ(simple->n_eff, 9u);  // 9 differences, no burn-in
    EXPECT_NE(states->loglike, simple->loglike);
    EXPECT_EQ(simple->innovations.size(), 9u);
    EXPECT_EQ(states->innovations.size(), 10u);
}

TEST(pipeline_test, construction_errors_pass_through) {
    const std::vector<double> y(30, 1.0);
    const SarimaxConfig config = make_config(0, 0, 0, 0, 2, 0, 12);
    auto params = SarimaxParams::from_flat(std::vector<double>{1.0}, config);
    ASSERT_OK(params);
    EXPECT_SARIMAX_ERROR(kalman_eval(y, config, *params, nullptr), StateSpaceConstruction,
                         "state space construction failed: Seasonal differencing D > 1 is not yet "
                         "supported");
}
