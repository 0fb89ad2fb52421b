#pragma once
// The conditional-sum-of-squares (CSS) log-likelihood of the ARMA part.

#include <span>

#include "params.hpp"
#include "types.hpp"

namespace tembrel {

/// The CSS log-likelihood −(M/2)·ln(SSR/M) − M/2 of the differenced,
/// regression-corrected series, with the residuals of the first
/// r = max(p + s·P, q + s·Q) differenced observations set to zero and
/// M = N − r. Trend coefficients and σ² play no part; the regressors are used
/// only when there is one coefficient per column. Never fails: too few
/// observations or a zero or non-finite sum of squares give −∞.
double css_loglike_with_exog(std::span<const double> y, const SarimaxConfig& config,
                             const SarimaxParams& params, const ExogColumns* exog);

}  // namespace tembrel
