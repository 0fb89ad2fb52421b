#include "optimizer/objective.hpp"

#include <cmath>

#include "css.hpp"
#include "optimizer/transforms.hpp"
#include "score.hpp"

namespace tembrel {

namespace {
constexpr double FD_STEP = 1e-7;

bool all_finite(const std::vector<double>& v) {
    for (double x : v)
        if (!std::isfinite(x)) return false;
    return true;
}
}  // namespace

EvalResult<std::vector<double>> apply_transform_jacobian(std::span<const double> g,
                                                         std::span<const double> x,
                                                         const SarimaxConfig& config) {
    auto out = transform_jacobian_t_vec(x, config, g);
    if (!out) return std::unexpected(out.error().display());
    return std::move(*out);
}

SarimaxObjective::SarimaxObjective(std::vector<double> endog, std::optional<ExogColumns> exog,
                                   SarimaxConfig config)
    : endog_(std::move(endog)), exog_(std::move(exog)), config_(config) {}

SarimaxObjective::SarimaxObjective(const SarimaxObjective& other)
    : endog_(other.endog_), exog_(other.exog_), config_(other.config_) {}

SarimaxObjective& SarimaxObjective::operator=(const SarimaxObjective& other) {
    if (this != &other) {
        endog_ = other.endog_;
        exog_ = other.exog_;
        config_ = other.config_;
        eval_cache_.reset();
        system_cache_.reset();
        filter_passes_ = 0;
    }
    return *this;
}

EvalResult<SarimaxObjective::Pipeline> SarimaxObjective::eval_pipeline(std::span<const double> x) {
    auto flat = transform_params_inner(x, config_, true);
    if (!flat) return std::unexpected(flat.error().display());
    auto params = SarimaxParams::from_flat(*flat, config_);
    if (!params) return std::unexpected(params.error().display());
    const ExogColumns* exog = exog_ ? &*exog_ : nullptr;

    std::optional<StateSpace> system = std::move(system_cache_);
    system_cache_.reset();
    if (system) {
        system->refresh(config_, *params, exog);
    } else {
        auto built = StateSpace::new_(config_, *params, endog_.size(), exog);
        if (!built) return std::unexpected(built.error().display());
        system = std::move(*built);
    }
    KalmanInit init = KalmanInit::from_config_default(*system, config_);
    return Pipeline{std::move(*params), std::move(*system), std::move(init)};
}

void SarimaxObjective::restore_system(StateSpace&& system) {
    TEMBREL_ENSURE(!system_cache_.has_value());
    system_cache_ = std::move(system);
}

EvalResult<double> SarimaxObjective::run_filter(Pipeline& pipeline) {
    ++filter_passes_;
    auto out = kalman_loglike(endog_, pipeline.system, pipeline.init, config_.concentrate_scale);
    if (!out) return std::unexpected(out.error().display());
    if (!std::isfinite(out->loglike)) return std::unexpected(std::string("non-finite log-likelihood"));
    return out->loglike;
}

EvalResult<double> SarimaxObjective::eval_loglike(std::span<const double> x) {
    auto pipeline = eval_pipeline(x);
    if (!pipeline) return std::unexpected(std::move(pipeline.error()));
    auto ll = run_filter(*pipeline);
    restore_system(std::move(pipeline->system));
    return ll;
}

EvalResult<std::pair<double, std::vector<double>>> SarimaxObjective::eval_negloglike_with_gradient(
    std::span<const double> x) {
    auto pipeline = eval_pipeline(x);
    if (!pipeline) return std::unexpected(std::move(pipeline.error()));
    auto ll = run_filter(*pipeline);
    if (!ll) {
        restore_system(std::move(pipeline->system));
        return std::unexpected(std::move(ll.error()));
    }
    auto gu = negated_score(*pipeline, x);
    if (!gu) return std::unexpected(std::move(gu.error()));
    return std::pair{-*ll, std::move(*gu)};
}

EvalResult<std::vector<double>> SarimaxObjective::analytical_gradient_negloglike(
    std::span<const double> x) {
    auto pipeline = eval_pipeline(x);
    if (!pipeline) return std::unexpected(std::move(pipeline.error()));
    return negated_score(*pipeline, x);
}

EvalResult<std::vector<double>> SarimaxObjective::negated_score(Pipeline& pipeline,
                                                                std::span<const double> x) {
    auto g = score(endog_, pipeline.system, pipeline.init, config_, pipeline.params,
                   config_.concentrate_scale, exog_ ? &*exog_ : nullptr);
    restore_system(std::move(pipeline.system));
    if (!g) return std::unexpected(g.error().display());
    auto gu = apply_transform_jacobian(*g, x, config_);
    if (!gu) return std::unexpected(std::move(gu.error()));
    for (double& v : *gu) v = -v;
    return std::move(*gu);
}

bool SarimaxObjective::cache_matches(std::span<const double> x) const {
    if (!eval_cache_ || eval_cache_->point.size() != x.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (!(eval_cache_->point[i] == x[i])) return false;  // NaN never matches
    return true;
}

double SarimaxObjective::cost(std::span<const double> x) {
    if (cache_matches(x)) return eval_cache_->value;
    auto ll = eval_loglike(x);
    return ll ? -*ll : PENALTY_COST;
}

std::vector<double> SarimaxObjective::gradient(std::span<const double> x) {
    if (cache_matches(x)) return eval_cache_->grad;
    if (auto both = eval_negloglike_with_gradient(x);
        both && std::isfinite(both->first) && all_finite(both->second)) {
        eval_cache_ = CachedEval{std::vector<double>(x.begin(), x.end()), both->second, both->first};
        return std::move(both->second);
    }
    if (auto g = analytical_gradient_negloglike(x); g && all_finite(*g)) return std::move(*g);

    // Last resort: finite differences of the cost.
    std::vector<double> point(x.begin(), x.end());
    std::vector<double> g(point.size(), 0.0);
    const double f0 = cost(point);
    for (std::size_t i = 0; i < point.size(); ++i) {
        const double saved = point[i];
        const double h = (std::abs(saved) + 1.0) * FD_STEP;
        point[i] = saved + h;
        const double f_up = cost(point);
        double gi = (f_up - f0) / h;
        if (!std::isfinite(gi)) {
            point[i] = saved - h;
            gi = (f_up - cost(point)) / (2.0 * h);
            if (!std::isfinite(gi)) gi = 0.0;
        }
        g[i] = gi;
        point[i] = saved;
    }
    return g;
}

CssObjective::CssObjective(std::vector<double> endog, std::optional<ExogColumns> exog,
                           SarimaxConfig config)
    : endog_(std::move(endog)), exog_(std::move(exog)), config_(config) {}

double CssObjective::cost(std::span<const double> x) const {
    auto flat = transform_params_inner(x, config_, true);
    if (!flat) return PENALTY_COST;
    auto params = SarimaxParams::from_flat(*flat, config_);
    if (!params) return PENALTY_COST;
    const double ll = css_loglike_with_exog(endog_, config_, *params, exog_ ? &*exog_ : nullptr);
    return std::isfinite(ll) ? -ll : PENALTY_COST;
}

}  // namespace tembrel
