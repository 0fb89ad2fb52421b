#pragma once
// Model order and configuration shared by every subsystem.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tembrel {

/// Exogenous regressors as owned columns: column j holds x_j[0 … n−1].
using ExogColumns = std::vector<std::vector<double>>;

/// Deterministic trend of the state equation.
enum class Trend : std::uint8_t {
    n = 0,   ///< no trend
    c = 1,   ///< constant
    t = 2,   ///< linear time trend
    ct = 3,  ///< constant plus linear time trend
};

/// Number of trend coefficients of a trend kind: 0 for n, 1 for c and t, 2 for ct.
constexpr std::size_t trend_coeff_count(Trend trend) noexcept {
    switch (trend) {
        case Trend::n: return 0;
        case Trend::c: return 1;
        case Trend::t: return 1;
        case Trend::ct: return 2;
    }
    return 0;
}

/// The seasonal ARIMA order (p, d, q)(P, D, Q, s).
struct SarimaxOrder {
    std::size_t p = 0;  ///< non-seasonal AR order
    std::size_t d = 0;  ///< non-seasonal differencing order
    std::size_t q = 0;  ///< non-seasonal MA order
    std::size_t P = 0;  ///< seasonal AR order
    std::size_t D = 0;  ///< seasonal differencing order
    std::size_t Q = 0;  ///< seasonal MA order
    std::size_t s = 0;  ///< seasonal period

    /// Lag length of the combined AR polynomial, p + s·P.
    std::size_t k_ar() const noexcept { return p + s * P; }
    /// Lag length of the combined MA polynomial, q + s·Q.
    std::size_t k_ma() const noexcept { return q + s * Q; }
    /// Size of the ARMA block of the state, max(k_ar, k_ma + 1); never 0.
    std::size_t k_order() const noexcept { return std::max(k_ar(), k_ma() + 1); }
    /// Full state dimension with differencing states, d + s·D + k_order. This is
    /// the quantity the model-size limit applies to, whatever the differencing mode.
    std::size_t k_states() const noexcept { return d + s * D + k_order(); }
};

/// A model: the order fields, the regressor count, the trend and the four flags.
/// A plain value, copied freely.
struct SarimaxConfig : SarimaxOrder {
    std::size_t n_exog = 0;          ///< number of exogenous regressors
    Trend trend_kind = Trend::n;     ///< deterministic trend
    bool enforce_stationarity = true;
    bool enforce_invertibility = true;
    bool concentrate_scale = false;  ///< σ² is concentrated out of the likelihood
    bool simple_differencing = false;///< difference the series before filtering

    /// Differencing states carried in the state vector: d + s·D, or 0 when the
    /// series is differenced beforehand.
    std::size_t k_diff() const noexcept { return simple_differencing ? 0 : d + s * D; }
    /// State dimension the state-space form uses, k_order + k_diff.
    std::size_t k_states_used() const noexcept { return k_order() + k_diff(); }
    /// Number of trend coefficients.
    std::size_t k_trend() const noexcept { return trend_coeff_count(trend_kind); }
    /// Length of the flat parameter vector:
    /// trend | exog | AR (p) | MA (q) | seasonal AR (P) | seasonal MA (Q) | σ² (unless concentrated).
    std::size_t n_params() const noexcept {
        return k_trend() + n_exog + p + q + P + Q + (concentrate_scale ? 0 : 1);
    }
};

}  // namespace tembrel
