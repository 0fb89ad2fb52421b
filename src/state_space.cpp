#include "state_space.hpp"

#include <algorithm>
#include <string>

#include "polynomial.hpp"

namespace tembrel {

Result<StateSpace> StateSpace::new_(const SarimaxConfig& config, const SarimaxParams& params,
                                    std::size_t n, const ExogColumns* exog) {
    const std::size_t d = config.d, D = config.D, s = config.s;
    if (D > 1)
        return fail(SarimaxError::state_space_construction(
            "Seasonal differencing D > 1 is not yet supported"));
    if (D == 1 && s < 2)
        return fail(SarimaxError::state_space_construction(
            "Seasonal differencing D=" + std::to_string(D) +
            " requires seasonal period s >= 2, got s=" + std::to_string(s)));

    const std::size_t k_order = config.k_order();
    const std::size_t k_diff = config.k_diff();
    const std::size_t k = k_order + k_diff;

    if (exog != nullptr) {
        for (std::size_t j = 0; j < exog->size(); ++j) {
            const std::size_t rows = (*exog)[j].size();
            if (rows != n)
                return fail(SarimaxError::data("exog column " + std::to_string(j) + " has " +
                                               std::to_string(rows) + " rows but y has " +
                                               std::to_string(n) + " observations"));
        }
    }

    StateSpace ss;
    ss.k_states = k;
    ss.arma_start = k_diff;
    ss.k_posdef = 1;

    MatrixXd& T = ss.transition;
    T.setZero(k, k);
    if (k_diff > 0) {
        // d cumulative levels: state i holds Δ^i y_{t-1}, so level i is carried
        // forward by every lower-order difference below it.
        for (std::size_t j = 0; j < d; ++j)
            for (std::size_t i = 0; i <= j; ++i) T(i, j) = 1.0;
        if (D == 1) {
            // The s seasonal states are a cyclic shift of the last s values of
            // the d-times differenced series.
            const std::size_t b = d;
            T(b, b + s - 1) = 1.0;
            for (std::size_t j = 0; j + 1 < s; ++j) T(b + 1 + j, b + j) = 1.0;
        }
        if (d > 0 && D == 1)
            for (std::size_t i = 0; i < d; ++i) T(i, d + s - 1) = 1.0;
        for (std::size_t i = 0; i < d; ++i) T(i, k_diff) = 1.0;
        if (D == 1) T(d, k_diff) = 1.0;
    }
    // Companion shift of the ARMA block; its first column, the AR
    // coefficients, depends on the parameters and is written by refresh().
    for (std::size_t i = 0; i + 1 < k_order; ++i) T(k_diff + i, k_diff + i + 1) = 1.0;

    VectorXd& Z = ss.design;
    Z.setZero(k);
    if (k_diff > 0) {
        for (std::size_t i = 0; i < d; ++i) Z[i] = 1.0;
        if (D == 1) Z[d + s - 1] = 1.0;
    }
    Z[k_diff] = 1.0;

    ss.selection.setZero(k, 1);
    ss.selection(k_diff, 0) = 1.0;
    ss.state_cov.resize(1, 1);
    ss.n_obs = n;
    ss.refresh(config, params, exog);
    return ss;
}

void StateSpace::refresh(const SarimaxConfig& config, const SarimaxParams& params,
                         const ExogColumns* exog) {
    const std::size_t k_order = config.k_order();
    const std::size_t k_diff = config.k_diff();
    TEMBREL_ENSURE(k_states == k_order + k_diff && arma_start == k_diff);
    // ARMA block in companion form: the first column holds the combined AR
    // coefficients −a_{i+1}, the superdiagonal shifts the state up.
    const std::vector<double> ar_poly = reduced_ar(params, config);
    for (std::size_t i = 0; i < k_order; ++i)
        transition(k_diff + i, k_diff) = i + 1 < ar_poly.size() ? -ar_poly[i + 1] : 0.0;
    const std::vector<double> ma_poly = reduced_ma(params, config);
    for (std::size_t i = 1; i < k_order; ++i)
        selection(k_diff + i, 0) = i < ma_poly.size() ? ma_poly[i] : 0.0;
    state_cov(0, 0) = config.concentrate_scale ? 1.0 : (params.sigma2 ? *params.sigma2 : 1.0);

    if (exog != nullptr && !params.exog_coeffs.empty())
        obs_intercept = build_obs_intercept(*exog, params.exog_coeffs, n_obs);
    else
        obs_intercept.setZero(static_cast<Eigen::Index>(n_obs));
    // Without a trend every intercept would be zero: the system then carries
    // none at all, which the filter reads as c_t = 0 and which saves n·k values.
    if (config.trend_kind != Trend::n && !params.trend_coeffs.empty())
        state_intercept =
            build_state_intercept(n_obs, k_states, k_diff, config.trend_kind, params.trend_coeffs);
    else
        state_intercept.resize(0);
}

VectorXd StateSpace::build_state_intercept(std::size_t n, std::size_t k, std::size_t trend_state,
                                           Trend trend, std::span<const double> trend_coeffs) {
    VectorXd c = VectorXd::Zero(static_cast<Eigen::Index>(n * k));
    if (trend == Trend::n || trend_coeffs.empty()) return c;
    TEMBREL_ENSURE(trend_state < k);
    for (std::size_t t = 0; t < n; ++t) {
        const double tt = static_cast<double>(t);
        double value = 0.0;
        switch (trend) {
            case Trend::c: value = trend_coeffs[0]; break;
            case Trend::t: value = tt * trend_coeffs[0]; break;
            case Trend::ct:
                value = trend_coeffs.size() > 1 ? trend_coeffs[0] + tt * trend_coeffs[1]
                                                : trend_coeffs[0];
                break;
            case Trend::n: break;
        }
        c[static_cast<Eigen::Index>(t * k + trend_state)] = value;
    }
    return c;
}

VectorXd StateSpace::build_obs_intercept(const ExogColumns& exog,
                                         std::span<const double> exog_coeffs, std::size_t n) {
    VectorXd d = VectorXd::Zero(static_cast<Eigen::Index>(n));
    const std::size_t used = std::min(exog.size(), exog_coeffs.size());
    for (std::size_t j = 0; j < used; ++j) {
        TEMBREL_ENSURE(exog[j].size() >= n);
        const double beta = exog_coeffs[j];
        const double* x = exog[j].data();
        for (std::size_t t = 0; t < n; ++t) d[static_cast<Eigen::Index>(t)] += beta * x[t];
    }
    return d;
}

}  // namespace tembrel
