// The conditional-sum-of-squares log-likelihood.

#include "css.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "test_util.hpp"

using namespace tembrel;
using namespace tembrel::testing;

namespace {
SarimaxParams params_of(const SarimaxConfig& config, const std::vector<double>& flat) {
    return *SarimaxParams::from_flat(flat, config);
}
}  // namespace

TEST(css_test, worked_examples) {
    const SarimaxConfig white = make_config(0, 0, 0);
    EXPECT_DOUBLE_EQ(css_loglike_with_exog(std::vector<double>{1, -1, 1, -1}, white,
                                           params_of(white, {1.0}), nullptr),
                     -2.0);
    const SarimaxConfig ar1 = make_config(1, 0, 0);
    EXPECT_DOUBLE_EQ(css_loglike_with_exog(std::vector<double>{1, 2}, ar1,
                                           params_of(ar1, {0.5, 1.0}), nullptr),
                     -0.5 * std::log(2.25) - 0.5);
}

TEST(css_test, arma_residual_recursion_with_differencing_and_regression) {
    // ARIMA(1,1,1) with one regressor, residuals written out by hand:
    // w = Δ(y − βx), e_t = w_t − φ w_{t−1} − θ e_{t−1} from t = 1.
    SarimaxConfig config = make_config(1, 1, 1);
    config.n_exog = 1;
    const double beta = 0.5, phi = 0.4, theta = 0.3;
    const std::vector<double> y = {1.0, 2.5, 2.0, 4.0, 3.5, 5.0};
    const ExogColumns x = {{0.0, 1.0, 0.5, 2.0, 1.0, 1.5}};
    std::vector<double> w;
    for (std::size_t t = 1; t < y.size(); ++t)
        w.push_back((y[t] - y[t - 1]) - beta * (x[0][t] - x[0][t - 1]));
    double e_prev = 0.0, ssr = 0.0;
    for (std::size_t t = 1; t < w.size(); ++t) {
        const double e = w[t] - phi * w[t - 1] - theta * e_prev;
        ssr += e * e;
        e_prev = e;
    }
    const double m = static_cast<double>(w.size() - 1);
    EXPECT_NEAR(css_loglike_with_exog(y, config, params_of(config, {beta, phi, theta, 1.0}), &x),
                -0.5 * m * std::log(ssr / m) - 0.5 * m, 1e-12);
}

TEST(css_test, degenerate_inputs_give_minus_infinity_or_ignore_regressors) {
    const SarimaxConfig diff = make_config(0, 1, 0);
    EXPECT_EQ(css_loglike_with_exog(std::vector<double>(6, 3.0), diff, params_of(diff, {1.0}),
                                    nullptr),
              -INFINITY);
    const SarimaxConfig ar2 = make_config(2, 0, 0);
    EXPECT_EQ(css_loglike_with_exog(std::vector<double>{1.0, 2.0}, ar2,
                                    params_of(ar2, {0.1, 0.1, 1.0}), nullptr),
              -INFINITY);
    // Two columns but one coefficient: the regressors are ignored.
    SarimaxConfig one = make_config(1, 0, 0);
    one.n_exog = 1;
    const ExogColumns two = {{1, 2, 3, 4}, {5, 6, 7, 8}};
    const std::vector<double> y = {0.5, -0.2, 0.9, 0.1};
    const SarimaxConfig plain = make_config(1, 0, 0);
    EXPECT_EQ(css_loglike_with_exog(y, one, params_of(one, {3.0, 0.5, 1.0}), &two),
              css_loglike_with_exog(y, plain, params_of(plain, {0.5, 1.0}), nullptr));
}
