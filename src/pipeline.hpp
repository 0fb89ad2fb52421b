#pragma once
// From a model, a series and parameters to the Kalman log-likelihood.

#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "kalman.hpp"
#include "params.hpp"
#include "types.hpp"

namespace tembrel {

/// Applies (1 − L^s)^D then (1 − L)^d to `x`. Each seasonal difference is
/// skipped when s = 0 or s ≥ the current length, each regular one when the
/// current length is 1 or less, so a short series is differenced only as far
/// as it allows, without error.
std::vector<double> apply_differencing(std::span<const double> x, const SarimaxConfig& config);

/// The series the filter sees and, under simple differencing only, the
/// differenced regressor columns (present exactly when `exog` is given).
struct PreparedEndog {
    std::vector<double> y;
    std::optional<ExogColumns> exog;
};

/// Without simple differencing: a copy of y and no columns. With it: y and each
/// column differenced by `apply_differencing`.
/// Errors: `InvalidInput` when a differenced column's length differs from the
/// differenced series'.
[[nodiscard]] Result<PreparedEndog> prepare_endog(std::span<const double> y,
                                                  const SarimaxConfig& config,
                                                  const ExogColumns* exog);

/// The standard likelihood pipeline: state space (for the differenced series
/// under simple differencing), the default initial state, and one
/// likelihood-only filter pass.
/// Errors: those of `StateSpace::new_`, `prepare_endog` and `kalman_core`.
[[nodiscard]] Result<KalmanOutput> kalman_eval(std::span<const double> y,
                                               const SarimaxConfig& config,
                                               const SarimaxParams& params,
                                               const ExogColumns* exog);

}  // namespace tembrel
