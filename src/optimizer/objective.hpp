#pragma once
// The functions the optimisers minimise: negative log-likelihoods of an
// unconstrained parameter vector, with analytic gradients and caches.

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kalman.hpp"
#include "params.hpp"
#include "state_space.hpp"
#include "types.hpp"

namespace tembrel {

/// What `cost` returns for a failed or non-finite evaluation: half the
/// largest finite double, so that optimisers always receive a number.
inline constexpr double PENALTY_COST = 8.988465674311579e307;

/// An evaluation result or the message of what failed.
template <class T>
using EvalResult = std::expected<T, std::string>;

/// The gradient with respect to the unconstrained x of a gradient g taken
/// with respect to the constrained parameters at x.
EvalResult<std::vector<double>> apply_transform_jacobian(std::span<const double> g,
                                                         std::span<const double> x,
                                                         const SarimaxConfig& config);

/// The last point at which the value and the full analytic gradient succeeded.
struct CachedEval {
    std::vector<double> point;
    std::vector<double> grad;
    double value = 0.0;
};

/// The exact negative log-likelihood of an unconstrained vector x. Keeps the
/// state-space system of the last evaluation and updates it in place, and the
/// value and gradient of the last gradient request.
/// One instance serves one thread; copies start with empty caches.
class SarimaxObjective {
public:
    /// `endog` is the series the likelihood sees (already differenced under
    /// simple differencing), `exog` one column per regressor of its length.
    SarimaxObjective(std::vector<double> endog, std::optional<ExogColumns> exog,
                     SarimaxConfig config);
    SarimaxObjective(const SarimaxObjective& other);
    SarimaxObjective& operator=(const SarimaxObjective& other);
    SarimaxObjective(SarimaxObjective&&) noexcept = default;
    SarimaxObjective& operator=(SarimaxObjective&&) noexcept = default;

    /// The parameters, the system (taken out of the cache: hand it back with
    /// `restore_system`) and the initial state at x.
    struct Pipeline {
        SarimaxParams params;
        StateSpace system;
        KalmanInit init;
    };
    EvalResult<Pipeline> eval_pipeline(std::span<const double> x);
    /// Puts a system back into the cache after use.
    void restore_system(StateSpace&& system);

    /// The log-likelihood at x.
    EvalResult<double> eval_loglike(std::span<const double> x);
    /// (−log-likelihood, −gradient in unconstrained coordinates) from one pipeline run.
    EvalResult<std::pair<double, std::vector<double>>> eval_negloglike_with_gradient(
        std::span<const double> x);
    /// The −gradient without the likelihood pass.
    EvalResult<std::vector<double>> analytical_gradient_negloglike(std::span<const double> x);

    /// −log-likelihood, from the cache when x is its point; `PENALTY_COST` on failure.
    double cost(std::span<const double> x);
    /// The gradient of `cost`: from the cache, the analytic value (cached),
    /// the analytic gradient alone, or finite differences of `cost`, in that
    /// order; entries that stay non-finite are 0.
    std::vector<double> gradient(std::span<const double> x);

    const SarimaxConfig& config() const noexcept { return config_; }
    const std::vector<double>& endog() const noexcept { return endog_; }
    /// Likelihood filter passes run so far (for tests and benchmarks).
    std::size_t filter_passes() const noexcept { return filter_passes_; }

private:
    bool cache_matches(std::span<const double> x) const;
    // −gradient in unconstrained coordinates at the pipeline's point; hands
    // the system back to the cache.
    EvalResult<std::vector<double>> negated_score(Pipeline& pipeline, std::span<const double> x);
    EvalResult<double> run_filter(Pipeline& pipeline);

    std::vector<double> endog_;
    std::optional<ExogColumns> exog_;
    SarimaxConfig config_;
    std::optional<CachedEval> eval_cache_;
    std::optional<StateSpace> system_cache_;
    std::size_t filter_passes_ = 0;
};

/// The negative conditional-sum-of-squares log-likelihood of an unconstrained x.
class CssObjective {
public:
    CssObjective(std::vector<double> endog, std::optional<ExogColumns> exog, SarimaxConfig config);
    /// −CSS log-likelihood; `PENALTY_COST` when it fails or is not finite.
    double cost(std::span<const double> x) const;

private:
    std::vector<double> endog_;
    std::optional<ExogColumns> exog_;
    SarimaxConfig config_;
};

}  // namespace tembrel
