#include "optimizer/transforms.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace tembrel {

namespace {
// Keeps the inverse finite for coefficients on or outside the boundary.
constexpr double BOUNDARY_FLOOR = 1e-15;
constexpr double JACOBIAN_STEP = 1e-7;

// Row-major m × m scratch table of the Durbin-Levinson recursion.
struct Table {
    std::size_t m;
    std::vector<double> data;
    explicit Table(std::size_t size) : m(size), data(size * size, 0.0) {}
    double& at(std::size_t row, std::size_t col) { return data[row * m + col]; }
};

std::vector<double> negated(std::span<const double> values) {
    std::vector<double> out(values.begin(), values.end());
    for (double& v : out) v = -v;
    return out;
}
}  // namespace

std::vector<double> constrain_stationary(std::span<const double> x) {
    const std::size_t m = x.size();
    if (m == 0) return {};
    Table y(m);
    for (std::size_t s = 0; s < m; ++s) {
        const double r = x[s] / std::sqrt(x[s] * x[s] + 1.0);
        for (std::size_t k = 0; k < s; ++k) y.at(s, k) = y.at(s - 1, k) + r * y.at(s - 1, s - 1 - k);
        y.at(s, s) = r;
    }
    std::vector<double> out(m);
    for (std::size_t k = 0; k < m; ++k) out[k] = -y.at(m - 1, k);
    return out;
}

std::vector<double> unconstrain_stationary(std::span<const double> coeffs) {
    const std::size_t m = coeffs.size();
    if (m == 0) return {};
    Table y(m);
    for (std::size_t k = 0; k < m; ++k) y.at(m - 1, k) = -coeffs[k];
    for (std::size_t s = m - 1; s >= 1; --s) {
        const double r = y.at(s, s);
        const double denom = std::max(1.0 - r * r, BOUNDARY_FLOOR);
        for (std::size_t k = 0; k < s; ++k)
            y.at(s - 1, k) = (y.at(s, k) - y.at(s, s - 1 - k) * r) / denom;
    }
    std::vector<double> out(m);
    for (std::size_t k = 0; k < m; ++k) {
        const double r = y.at(k, k);
        out[k] = r / std::sqrt(std::max(1.0 - r * r, BOUNDARY_FLOOR));
    }
    return out;
}

std::vector<double> constrain_invertible(std::span<const double> x) {
    return negated(constrain_stationary(x));
}

std::vector<double> unconstrain_invertible(std::span<const double> coeffs) {
    return unconstrain_stationary(negated(coeffs));
}

Result<std::vector<double>> transform_params_inner(std::span<const double> x,
                                                   const SarimaxConfig& config,
                                                   bool to_constrained) {
    const std::size_t n_params = config.n_params();
    if (x.size() != n_params) return fail(SarimaxError::param_length(n_params, x.size()));

    std::vector<double> out;
    out.reserve(n_params);
    std::size_t at = 0;
    auto copy = [&](std::size_t count) {
        out.insert(out.end(), x.begin() + at, x.begin() + at + count);
        at += count;
    };
    auto block = [&](std::size_t count, bool transform, auto forward, auto inverse) {
        if (!transform || count == 0) return copy(count);
        const auto values = x.subspan(at, count);
        const std::vector<double> mapped = to_constrained ? forward(values) : inverse(values);
        out.insert(out.end(), mapped.begin(), mapped.end());
        at += count;
    };
    copy(config.k_trend() + config.n_exog);
    block(config.p, config.enforce_stationarity, constrain_stationary, unconstrain_stationary);
    block(config.q, config.enforce_invertibility, constrain_invertible, unconstrain_invertible);
    block(config.P, config.enforce_stationarity, constrain_stationary, unconstrain_stationary);
    block(config.Q, config.enforce_invertibility, constrain_invertible, unconstrain_invertible);
    if (!config.concentrate_scale) {
        const double v = x[at];
        if (to_constrained) {
            out.push_back(std::exp(v));
        } else {
            if (v <= 0.0)
                return fail(SarimaxError::data("variance sigma2 must be positive, got " +
                                               format_double(v)));
            out.push_back(std::log(v));
        }
    }
    return out;
}

Result<std::vector<double>> transform_jacobian_t_vec(std::span<const double> x,
                                                     const SarimaxConfig& config,
                                                     std::span<const double> g) {
    auto base = transform_params_inner(x, config, true);
    if (!base) return fail(std::move(base.error()));
    const std::size_t n = x.size();
    TEMBREL_ENSURE(g.size() >= n);
    std::vector<double> point(x.begin(), x.end());
    std::vector<double> result(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double saved = point[i];
        point[i] = saved + JACOBIAN_STEP;
        auto moved = transform_params_inner(point, config, true);
        if (!moved) return fail(std::move(moved.error()));
        double acc = 0.0;
        for (std::size_t j = 0; j < n; ++j) acc += ((*moved)[j] - (*base)[j]) * g[j] / JACOBIAN_STEP;
        result[i] = acc;
        point[i] = saved;
    }
    return result;
}

}  // namespace tembrel
