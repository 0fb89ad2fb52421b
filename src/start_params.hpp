#pragma once
// Data-driven starting values for the optimiser, in constrained coordinates.

#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "types.hpp"

namespace tembrel {

/// x differenced d times; each pass maps L values to the L − 1 differences,
/// and fewer than 2 values to none.
std::vector<double> difference(std::span<const double> x, std::size_t d);

/// D seasonal differences x_t − x_{t−s}; unchanged when s = 0, empty as soon
/// as a pass starts with s ≥ the current length.
std::vector<double> seasonal_difference(std::span<const double> x, std::size_t D, std::size_t s);

/// Minimum-norm least-squares coefficients of `target` on the columns (first
/// min(lengths) rows), by singular value decomposition with singular values
/// ≤ 10⁻¹² treated as zero. k zeros without columns or target; none when
/// there are fewer rows than columns or the solve fails.
std::optional<std::vector<double>> ols_pinv(const std::vector<std::vector<double>>& columns,
                                            std::span<const double> target);

/// Residuals of an autoregression: e_t = x_t − Σ φ_i x_{t−i} for t = p … len − 1.
std::vector<double> ar_residuals(std::span<const double> x, std::span<const double> phi,
                                 std::size_t p);

/// Residuals of a seasonal autoregression at lags s, 2s, …, P·s.
std::vector<double> seasonal_ar_residuals(std::span<const double> x, std::span<const double> phi,
                                          std::size_t P, std::size_t s);

/// Result of the two-stage regression.
struct TwoStageEstimate {
    std::vector<double> ar, ma;
    double sigma2 = 0.0;
};

/// Hannan-Rissanen two-stage regression: a long autoregression gives
/// innovation proxies, then y is regressed on its AR lags and the proxies' MA
/// lags. None when the series is too short or a regression fails.
std::optional<TwoStageEstimate> css_two_stage(std::span<const double> y,
                                              std::span<const std::size_t> ar_lags,
                                              std::span<const std::size_t> ma_lags);

/// Start vector in the flat layout: trend and regression by least squares on
/// the differenced data, ARMA blocks by `css_two_stage`, blocks beyond ±0.99
/// zeroed, then σ² unless concentrated.
/// Errors: `Data` when the regressor count differs from `n_exog`.
[[nodiscard]] Result<std::vector<double>> compute_start_params(std::span<const double> y,
                                                               const SarimaxConfig& config,
                                                               const ExogColumns* exog);

/// Checks the series is longer than max(n_params, k_states + 1), then returns
/// a copy of the given start values or `compute_start_params`.
/// Errors: `Data` for a too-short series, `ParamLength` for start values of
/// the wrong length, and those of `compute_start_params`.
[[nodiscard]] Result<std::vector<double>> validate_and_get_start_params(
    std::span<const double> y, const SarimaxConfig& config,
    const std::vector<double>* start_params, const ExogColumns* exog);

}  // namespace tembrel
