#include "css.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "pipeline.hpp"
#include "polynomial.hpp"

namespace tembrel {

double css_loglike_with_exog(std::span<const double> y, const SarimaxConfig& config,
                             const SarimaxParams& params, const ExogColumns* exog) {
    constexpr double NEG_INF = -std::numeric_limits<double>::infinity();
    const std::vector<double> a = reduced_ar(params, config);
    const std::vector<double> m = reduced_ma(params, config);

    // Every configuration is differenced here, simple differencing or not.
    std::vector<double> w = apply_differencing(y, config);
    const std::size_t n = w.size();
    if (exog != nullptr && !params.exog_coeffs.empty() &&
        exog->size() == params.exog_coeffs.size()) {
        for (std::size_t j = 0; j < exog->size(); ++j) {
            const std::vector<double> xd = apply_differencing((*exog)[j], config);
            const std::size_t len = std::min(xd.size(), n);
            const double beta = params.exog_coeffs[j];
            // Aligned at the end: both series end at the last observation.
            for (std::size_t e = 0; e < len; ++e) w[n - len + e] -= beta * xd[xd.size() - len + e];
        }
    }

    const std::size_t r = std::max(a.size() - 1, m.size() - 1);
    if (r >= n) return NEG_INF;
    std::vector<double> e(n, 0.0);
    double ssr = 0.0;
    for (std::size_t t = r; t < n; ++t) {
        double predicted = 0.0;
        for (std::size_t j = 1; j < a.size(); ++j) predicted -= a[j] * w[t - j];
        for (std::size_t k = 1; k < m.size(); ++k) predicted += m[k] * e[t - k];
        e[t] = w[t] - predicted;
        ssr += e[t] * e[t];
    }
    if (!(std::isfinite(ssr) && ssr > 0.0)) return NEG_INF;
    const double count = static_cast<double>(n - r);
    return -0.5 * count * std::log(ssr / count) - 0.5 * count;
}

}  // namespace tembrel
