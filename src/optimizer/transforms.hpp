#pragma once
// Smooth bijections between unconstrained real vectors and the stationary
// (invertible) coefficient regions, and the block-wise map of the flat
// parameter vector that the optimisers search over.

#include <span>
#include <vector>

#include "error.hpp"
#include "types.hpp"

namespace tembrel {

/// Unconstrained x (m values) → coefficients φ of a stationary AR polynomial
/// 1 − φ_1 L − … − φ_m L^m: the x are mapped to partial autocorrelations
/// r = x/√(x² + 1) ∈ (−1, 1) and those to coefficients by the Durbin-Levinson
/// recursion (Monahan, 1984), with the sign convention of the lag polynomials.
std::vector<double> constrain_stationary(std::span<const double> x);

/// The inverse of `constrain_stationary`. Coefficients on or outside the
/// stationary boundary give finite values (a floor of 10⁻¹⁵ on 1 − r²) that
/// do not map back to the input.
std::vector<double> unconstrain_stationary(std::span<const double> coeffs);

/// Unconstrained → coefficients of an invertible MA polynomial: the negation
/// of `constrain_stationary`.
std::vector<double> constrain_invertible(std::span<const double> x);

/// The inverse of `constrain_invertible`.
std::vector<double> unconstrain_invertible(std::span<const double> coeffs);

/// Maps a flat vector (length `config.n_params()`) block by block: trend and
/// regression coefficients unchanged, the AR and seasonal AR blocks through
/// the stationary transform under `enforce_stationarity`, the MA blocks
/// through the invertible one under `enforce_invertibility`, σ² through exp
/// (towards constrained) or ln (towards unconstrained).
/// Errors: `ParamLength` for a wrong length; `Data` "variance sigma2 must be
/// positive, got {}" for σ² ≤ 0 towards unconstrained.
[[nodiscard]] Result<std::vector<double>> transform_params_inner(std::span<const double> x,
                                                                 const SarimaxConfig& config,
                                                                 bool to_constrained);

/// Jᵀ·g for the Jacobian J of x ↦ constrained flat vector at the
/// unconstrained x, by forward differences of step 10⁻⁷; g has at least
/// n_params entries, indexed like the constrained vector.
/// Errors: those of `transform_params_inner`.
[[nodiscard]] Result<std::vector<double>> transform_jacobian_t_vec(std::span<const double> x,
                                                                   const SarimaxConfig& config,
                                                                   std::span<const double> g);

}  // namespace tembrel
