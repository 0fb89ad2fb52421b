#pragma once
// The linear Gaussian state-space form of a SARIMAX model at one parameter vector.

#include <cstddef>
#include <span>

#include "error.hpp"
#include "linalg.hpp"
#include "params.hpp"
#include "types.hpp"

namespace tembrel {

/// The system
///     α_{t+1} = T α_t + c_t + R η_t,   η_t ~ N(0, Q),
///     y_t     = Z α_t + d_t            (no observation noise),
/// with the state made of three consecutive blocks: d cumulative-level states,
/// s·D seasonal states, then the k_order ARMA states (only the ARMA block
/// under simple differencing).
///
///   transition      T  k × k        design        Z  k
///   selection       R  k × 1        state_cov     Q  1 × 1
///   obs_intercept   d  n            state_intercept c  n·k, time-major (row t = c_t);
///                                                      empty without a trend (c_t = 0)
struct StateSpace {
    MatrixXd transition;
    VectorXd design;
    MatrixXd selection;
    MatrixXd state_cov;
    VectorXd obs_intercept;
    VectorXd state_intercept;
    std::size_t k_states = 0;    ///< k = k_order + k_diff
    std::size_t arma_start = 0;  ///< index of the first ARMA state (= k_diff)
    std::size_t k_posdef = 1;    ///< number of disturbances; always 1
    std::size_t n_obs = 0;       ///< n, the observations the intercepts cover

    /// Builds the system for `n` observations (after simple differencing, if
    /// any) with the optional regressor columns, each of length n.
    /// Errors: `StateSpaceConstruction` for D > 1 or for D = 1 with s < 2;
    /// `Data` for a regressor column whose length is not n.
    /// (Named `new_` because `new` is reserved in C++.)
    [[nodiscard]] static Result<StateSpace> new_(const SarimaxConfig& config,
                                                 const SarimaxParams& params, std::size_t n,
                                                 const ExogColumns* exog);

    /// Rewrites the parameter-dependent entries of a system built by `new_`
    /// for the same configuration and n: the AR column of T, the MA entries of
    /// R, Q, and both intercepts. The result equals a fresh construction.
    void refresh(const SarimaxConfig& config, const SarimaxParams& params,
                 const ExogColumns* exog);

    /// The n·k state intercept: zero except entry t·k + `trend_state`, which
    /// is b_0 (c), t·b_0 (t) or b_0 + t·b_1 (ct, b_0 alone with one
    /// coefficient); t counts from 0 at the first filtered observation.
    static VectorXd build_state_intercept(std::size_t n, std::size_t k, std::size_t trend_state,
                                          Trend trend, std::span<const double> trend_coeffs);

    /// The n observation intercepts d_t = Σ_j β_j x_j[t] over the columns
    /// that have a coefficient, summed in column order.
    static VectorXd build_obs_intercept(const ExogColumns& exog,
                                        std::span<const double> exog_coeffs, std::size_t n);
};

}  // namespace tembrel
