#include "pipeline.hpp"

#include <string>

#include "state_space.hpp"

namespace tembrel {

std::vector<double> apply_differencing(std::span<const double> x, const SarimaxConfig& config) {
    std::vector<double> out(x.begin(), x.end());
    const std::size_t s = config.s;
    for (std::size_t rep = 0; rep < config.D; ++rep) {
        if (s == 0 || s >= out.size()) break;
        for (std::size_t t = 0; t + s < out.size(); ++t) out[t] = out[t + s] - out[t];
        out.resize(out.size() - s);
    }
    for (std::size_t rep = 0; rep < config.d; ++rep) {
        if (out.size() <= 1) break;
        for (std::size_t t = 0; t + 1 < out.size(); ++t) out[t] = out[t + 1] - out[t];
        out.pop_back();
    }
    return out;
}

Result<PreparedEndog> prepare_endog(std::span<const double> y, const SarimaxConfig& config,
                                    const ExogColumns* exog) {
    PreparedEndog prepared;
    if (!config.simple_differencing) {
        prepared.y.assign(y.begin(), y.end());
        return prepared;
    }
    prepared.y = apply_differencing(y, config);
    if (exog != nullptr) {
        ExogColumns columns;
        columns.reserve(exog->size());
        for (std::size_t i = 0; i < exog->size(); ++i) {
            columns.push_back(apply_differencing((*exog)[i], config));
            if (columns.back().size() != prepared.y.size())
                return fail(SarimaxError::invalid_input(
                    "exog column " + std::to_string(i) + " has " +
                    std::to_string(columns.back().size()) +
                    " rows after simple_differencing, but y has " +
                    std::to_string(prepared.y.size()) + " observations"));
        }
        prepared.exog = std::move(columns);
    }
    return prepared;
}

Result<KalmanOutput> kalman_eval(std::span<const double> y, const SarimaxConfig& config,
                                 const SarimaxParams& params, const ExogColumns* exog) {
    std::span<const double> series = y;
    const ExogColumns* columns = exog;
    PreparedEndog prepared;
    if (config.simple_differencing) {
        auto p = prepare_endog(y, config, exog);
        if (!p) return fail(std::move(p.error()));
        prepared = std::move(*p);
        series = prepared.y;
        columns = prepared.exog ? &*prepared.exog : nullptr;
    }
    auto system = StateSpace::new_(config, params, series.size(), columns);
    if (!system) return fail(std::move(system.error()));
    const KalmanInit init = KalmanInit::from_config_default(*system, config);
    return kalman_loglike(series, *system, init, config.concentrate_scale);
}

}  // namespace tembrel
