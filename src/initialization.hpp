#pragma once
// Stationary initial covariance of the ARMA block by the discrete Lyapunov
// equation. `KalmanInit::from_config_default` itself is declared in kalman.hpp.

#include <optional>

#include "linalg.hpp"

namespace tembrel {

/// Solves P = A·P·Aᵀ + Q (A and Q m × m, Q symmetric) by doubling:
/// Q_i = Q_{i−1} + A_{i−1} Q_{i−1} A_{i−1}ᵀ, A_i = A_{i−1}², so that
/// Q_i = Σ_{j < 2^i} A^j Q (Aᵀ)^j. Returns nothing when 100 doublings do not
/// converge (an eigenvalue of modulus ≥ 1) or the result is not finite.
std::optional<MatrixXd> lyapunov_doubling(const MatrixXd& a, const MatrixXd& q);

/// `lyapunov_doubling` symmetrised as (P + Pᵀ)/2.
std::optional<MatrixXd> solve_lyapunov_general(const MatrixXd& a, const MatrixXd& q);

}  // namespace tembrel
