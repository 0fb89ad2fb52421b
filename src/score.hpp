#pragma once
// The exact gradient of the Kalman-filter log-likelihood: derivatives of the
// system matrices and a tangent-linear filter pass that carries the
// derivatives of the predicted state mean and covariance alongside the filter.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "kalman.hpp"
#include "linalg.hpp"
#include "params.hpp"
#include "state_space.hpp"
#include "types.hpp"

namespace tembrel {

/// Derivatives of the parameter-dependent system quantities, one slot per
/// parameter of the flat vector (constrained coordinates), in flat order.
/// An empty slot is a zero derivative.
struct SystemDerivatives {
    /// Nonzero entries of ∂T/∂θ_i (AR-type parameters only).
    std::vector<std::vector<SparseT::Entry>> d_transition;
    /// ∂(R·Q·Rᵀ)/∂θ_i, k × k (MA-type parameters and σ² only).
    std::vector<std::optional<MatrixXd>> d_rqr;
    /// ∂d_t/∂θ_i for t = 0 … n−1 (regression coefficients only); entries
    /// beyond the end read as 0.
    std::vector<std::vector<double>> d_obs_intercept;
    /// ∂c_t/∂θ_i, n·k time-major (trend coefficients only).
    std::vector<std::vector<double>> d_state_intercept;
    std::size_t n_params = 0;
};

/// The derivatives of `system` (built from `config` and `params` for n
/// observations, with the regressor columns `exog` when the model has any).
SystemDerivatives precompute_derivatives(const SarimaxConfig& config, const SarimaxParams& params,
                                         const StateSpace& system, std::size_t n,
                                         const ExogColumns* exog);

/// ∂(R·Q·Rᵀ) for a change dR of the selection vector: σ²_Q·(R·dRᵀ + dR·Rᵀ), k × k.
MatrixXd compute_drqr(const VectorXd& d_r, const MatrixXd& selection, std::size_t k,
                      double sigma2_q);

/// ∂P_{t+1} = D + T·dP·Tᵀ + ∂T·P·Tᵀ + T·P·∂Tᵀ for one parameter, with P and dP
/// the filtered covariance and its derivative (k × k, symmetric) and D its
/// `d_rqr` (or zero). `work` is k × k scratch, `column` a k-vector of
/// scratch; `out` is distinct from the inputs.
void compute_dp_predict(std::span<const SparseT::Entry> d_transition, const MatrixXd* d_rqr,
                        const StateSpace& system, const MatrixXd& p, const SparseT& sparse_t,
                        const MatrixXd& dp, MatrixXd& work, VectorXd& column, MatrixXd& out);

/// Accumulates Σ v·f⁻¹·dv_i, Σ v²·f⁻²·dF_i and Σ f⁻¹·dF_i over the steps that
/// count in the likelihood.
struct ScoreSums {
    std::vector<double> sum_v_dv, sum_v2_df, sum_df;
    explicit ScoreSums(std::size_t n_params)
        : sum_v_dv(n_params, 0.0), sum_v2_df(n_params, 0.0), sum_df(n_params, 0.0) {}
    void record(std::span<const double> dv, std::span<const double> df, double v, double f_inv);
    void clear();
};

/// Keeps every step that counts: the innovation, its inverse variance and
/// their parameter derivatives.
struct ObsRecords {
    std::vector<double> innovations, inv_variances;
    std::vector<std::vector<double>> d_innovations, d_variances;
    void record(std::span<const double> dv, std::span<const double> df, double v, double f_inv);
    void clear();
};

/// One tangent-linear pass over y: the filter of `kalman_core` (same
/// strategy, burn-in, degenerate steps and steady-state switch) with the
/// derivatives of the predicted mean and covariance for every parameter.
/// Hands every counted step to the sink; returns Σ v²/F over those steps.
double tlkf_pass(std::span<const double> y, const StateSpace& system, const KalmanInit& init,
                 const SystemDerivatives& derivs, ScoreSums& sink);
double tlkf_pass(std::span<const double> y, const StateSpace& system, const KalmanInit& init,
                 const SystemDerivatives& derivs, ObsRecords& sink);

/// The gradient of the log-likelihood of `kalman_core` with respect to the
/// flat parameter vector (constrained coordinates), in flat order.
/// Errors: `Data` when n ≤ burn or the concentrated σ̂² is not positive.
[[nodiscard]] Result<std::vector<double>> score(std::span<const double> y,
                                                const StateSpace& system, const KalmanInit& init,
                                                const SarimaxConfig& config,
                                                const SarimaxParams& params,
                                                bool concentrate_scale, const ExogColumns* exog);

/// One score row per counted observation t = burn … n−1; the rows sum to `score`.
/// Errors: as `score`.
[[nodiscard]] Result<std::vector<std::vector<double>>> score_obs(
    std::span<const double> y, const StateSpace& system, const KalmanInit& init,
    const SarimaxConfig& config, const SarimaxParams& params, bool concentrate_scale,
    const ExogColumns* exog);

}  // namespace tembrel
