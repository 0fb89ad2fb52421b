#pragma once
// The structured view of the flat parameter vector.

#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "types.hpp"

namespace tembrel {

/// The flat parameter vector split into its blocks. Values are not validated:
/// signs, magnitudes and a non-positive σ² pass through unchanged.
struct SarimaxParams {
    std::vector<double> trend_coeffs;  ///< [k_trend]: constant and/or slope
    std::vector<double> exog_coeffs;   ///< [n_exog]: β in column order of exog
    std::vector<double> ar;            ///< [p]: φ_1 … φ_p
    std::vector<double> ma;            ///< [q]: θ_1 … θ_q
    std::vector<double> seasonal_ar;   ///< [P]: Φ_1 … Φ_P
    std::vector<double> seasonal_ma;   ///< [Q]: Θ_1 … Θ_Q
    std::optional<double> sigma2;      ///< present exactly when the scale is not concentrated

    /// Splits `flat` (length `config.n_params()`) into its blocks.
    /// Errors: `ParamLength` when the length differs.
    [[nodiscard]] static Result<SarimaxParams> from_flat(std::span<const double> flat,
                                                         const SarimaxConfig& config);
};

}  // namespace tembrel
