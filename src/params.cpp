#include "params.hpp"

namespace tembrel {

Result<SarimaxParams> SarimaxParams::from_flat(std::span<const double> flat,
                                               const SarimaxConfig& config) {
    const std::size_t expected = config.n_params();
    if (flat.size() != expected) return fail(SarimaxError::param_length(expected, flat.size()));

    SarimaxParams params;
    std::size_t at = 0;
    auto take = [&](std::size_t count) {
        std::vector<double> block(flat.begin() + at, flat.begin() + at + count);
        at += count;
        return block;
    };
    params.trend_coeffs = take(config.k_trend());
    params.exog_coeffs = take(config.n_exog);
    params.ar = take(config.p);
    params.ma = take(config.q);
    params.seasonal_ar = take(config.P);
    params.seasonal_ma = take(config.Q);
    if (!config.concentrate_scale) params.sigma2 = flat[at];
    return params;
}

}  // namespace tembrel
