#include "start_params.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "linalg.hpp"

namespace tembrel {

namespace {

constexpr double SINGULAR_TOL = 1e-12;
constexpr double MIN_VARIANCE = 1e-6;
constexpr double BOUNDARY = 0.99;

// Minimum-norm solution of A x = b by SVD, singular values ≤ 10⁻¹² dropped.
std::optional<VectorXd> svd_solve(const MatrixXd& a, const VectorXd& b) {
    // Thin factors: U is rows × min(rows, cols), not rows × rows.
    Eigen::JacobiSVD<MatrixXd> svd(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
    const VectorXd& sv = svd.singularValues();
    VectorXd utb = svd.matrixU().transpose() * b;
    VectorXd z = VectorXd::Zero(sv.size());
    for (Eigen::Index i = 0; i < sv.size(); ++i)
        if (sv[i] > SINGULAR_TOL) z[i] = utb[i] / sv[i];
    VectorXd x = svd.matrixV() * z;
    return x;
}

double floored_variance(double v) { return (v >= MIN_VARIANCE) ? v : MIN_VARIANCE; }

double population_variance(std::span<const double> x) {
    if (x.empty()) return MIN_VARIANCE;
    double mean = 0.0;
    for (double v : x) mean += v;
    mean /= static_cast<double>(x.size());
    double ss = 0.0;
    for (double v : x) ss += (v - mean) * (v - mean);
    return floored_variance(ss / static_cast<double>(x.size()));
}

std::vector<std::size_t> lags(std::size_t count, std::size_t step) {
    std::vector<std::size_t> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = (i + 1) * step;
    return out;
}

bool beyond_boundary(const std::vector<double>& coeffs) {
    return std::any_of(coeffs.begin(), coeffs.end(),
                       [](double c) { return std::abs(c) > BOUNDARY; });
}

}  // namespace

std::vector<double> difference(std::span<const double> x, std::size_t d) {
    std::vector<double> out(x.begin(), x.end());
    for (std::size_t pass = 0; pass < d; ++pass) {
        if (out.size() < 2) return {};
        for (std::size_t t = 0; t + 1 < out.size(); ++t) out[t] = out[t + 1] - out[t];
        out.pop_back();
    }
    return out;
}

std::vector<double> seasonal_difference(std::span<const double> x, std::size_t D, std::size_t s) {
    std::vector<double> out(x.begin(), x.end());
    if (s == 0) return out;
    for (std::size_t pass = 0; pass < D; ++pass) {
        if (s >= out.size()) return {};
        for (std::size_t t = 0; t + s < out.size(); ++t) out[t] = out[t + s] - out[t];
        out.resize(out.size() - s);
    }
    return out;
}

std::optional<std::vector<double>> ols_pinv(const std::vector<std::vector<double>>& columns,
                                            std::span<const double> target) {
    const std::size_t k = columns.size();
    if (k == 0 || target.empty()) return std::vector<double>(k, 0.0);
    std::size_t rows = target.size();
    for (const auto& c : columns) rows = std::min(rows, c.size());
    if (rows < k) return std::nullopt;
    const auto r = static_cast<Eigen::Index>(rows);
    MatrixXd a(r, static_cast<Eigen::Index>(k));
    for (std::size_t j = 0; j < k; ++j)
        for (Eigen::Index i = 0; i < r; ++i) a(i, static_cast<Eigen::Index>(j)) = columns[j][static_cast<std::size_t>(i)];
    const VectorXd b = Eigen::Map<const VectorXd>(target.data(), r);
    auto x = svd_solve(a, b);
    if (!x) return std::nullopt;
    return std::vector<double>(x->data(), x->data() + x->size());
}

std::vector<double> ar_residuals(std::span<const double> x, std::span<const double> phi,
                                 std::size_t p) {
    if (p == 0) return std::vector<double>(x.begin(), x.end());
    if (p >= x.size()) return {};
    std::vector<double> e;
    e.reserve(x.size() - p);
    for (std::size_t t = p; t < x.size(); ++t) {
        double v = x[t];
        for (std::size_t i = 1; i <= p; ++i) v -= phi[i - 1] * x[t - i];
        e.push_back(v);
    }
    return e;
}

std::vector<double> seasonal_ar_residuals(std::span<const double> x, std::span<const double> phi,
                                          std::size_t P, std::size_t s) {
    if (P * s >= x.size()) return {};
    std::vector<double> e;
    e.reserve(x.size() - P * s);
    for (std::size_t t = P * s; t < x.size(); ++t) {
        double v = x[t];
        for (std::size_t i = 1; i <= P; ++i) v -= phi[i - 1] * x[t - i * s];
        e.push_back(v);
    }
    return e;
}

std::optional<TwoStageEstimate> css_two_stage(std::span<const double> y,
                                              std::span<const std::size_t> ar_lags,
                                              std::span<const std::size_t> ma_lags) {
    const std::size_t n = y.size();
    const std::size_t a = ar_lags.size(), b = ma_lags.size();
    const std::size_t max_ma = b ? *std::max_element(ma_lags.begin(), ma_lags.end()) : 0;
    const std::size_t max_ar = a ? *std::max_element(ar_lags.begin(), ar_lags.end()) : 0;
    const std::size_t w = 2 * max_ma;               // order of the long autoregression
    const std::size_t z = std::max(3 * max_ma, max_ar);  // first row of the second stage

    std::vector<double> proxies(n, 0.0);
    if (b > 0) {
        if (!(n > w + 2)) return std::nullopt;
        std::vector<std::vector<double>> columns(w);
        for (std::size_t j = 1; j <= w; ++j) {
            columns[j - 1].reserve(n - w);
            for (std::size_t t = w; t < n; ++t) columns[j - 1].push_back(y[t - j]);
        }
        auto pi = ols_pinv(columns, y.subspan(w));
        if (!pi) return std::nullopt;
        for (std::size_t t = w; t < n; ++t) {
            double r = y[t];
            for (std::size_t j = 1; j <= w; ++j) r -= (*pi)[j - 1] * y[t - j];
            proxies[t] = r;
        }
    }
    if (!(n > z + 2)) return std::nullopt;
    std::vector<std::vector<double>> columns;
    columns.reserve(a + b);
    auto lagged = [&](const double* src, std::size_t lag) {
        std::vector<double> col;
        col.reserve(n - z);
        for (std::size_t t = z; t < n; ++t) col.push_back(t >= lag ? src[t - lag] : 0.0);
        return col;
    };
    for (std::size_t lag : ar_lags) columns.push_back(lagged(y.data(), lag));
    for (std::size_t lag : ma_lags) columns.push_back(lagged(proxies.data(), lag));
    auto beta = ols_pinv(columns, y.subspan(z));
    if (!beta) return std::nullopt;

    std::vector<double> e(n - z);
    for (std::size_t t = z; t < n; ++t) {
        double v = y[t];
        for (std::size_t j = 0; j < a + b; ++j) v -= (*beta)[j] * columns[j][t - z];
        e[t - z] = v;
    }
    double sigma2 = 0.0;
    if (e.size() > b) {
        double ss = 0.0;
        for (std::size_t i = b; i < e.size(); ++i) ss += e[i] * e[i];
        sigma2 = ss / static_cast<double>(e.size() - b);
    } else {
        double mean = 0.0;
        for (double v : e) mean += v;
        mean /= static_cast<double>(e.size());
        double ss = 0.0;
        for (double v : e) ss += (v - mean) * (v - mean);
        sigma2 = ss / static_cast<double>(e.size());
    }
    TwoStageEstimate est;
    est.ar.assign(beta->begin(), beta->begin() + static_cast<std::ptrdiff_t>(a));
    est.ma.assign(beta->begin() + static_cast<std::ptrdiff_t>(a), beta->end());
    est.sigma2 = floored_variance(sigma2);
    return est;
}

Result<std::vector<double>> compute_start_params(std::span<const double> y,
                                                 const SarimaxConfig& config,
                                                 const ExogColumns* exog) {
    const std::size_t n_params = config.n_params();
    const std::size_t n = y.size();
    std::vector<double> w =
        seasonal_difference(difference(y, config.d), config.D, config.s);
    const std::size_t len = w.size();
    if (len < 3) return std::vector<double>(n_params, 0.0);
    std::vector<double> out;
    out.reserve(n_params);

    if (config.trend_kind != Trend::n) {
        std::vector<std::vector<double>> regressors;
        std::vector<double> ones(len, 1.0), time(len);
        // The position of each differenced value in the undifferenced series.
        for (std::size_t i = 0; i < len; ++i) time[i] = static_cast<double>(n - len + i);
        if (config.trend_kind == Trend::c || config.trend_kind == Trend::ct) regressors.push_back(ones);
        if (config.trend_kind == Trend::t || config.trend_kind == Trend::ct) regressors.push_back(time);
        const auto beta = ols_pinv(regressors, w);
        TEMBREL_ENSURE(beta.has_value());
        out.insert(out.end(), beta->begin(), beta->end());
        for (std::size_t i = 0; i < len; ++i)
            for (std::size_t j = 0; j < regressors.size(); ++j) w[i] -= (*beta)[j] * regressors[j][i];
    }

    if (config.n_exog > 0) {
        if (exog == nullptr) {
            out.insert(out.end(), config.n_exog, 0.0);
        } else {
            std::vector<std::vector<double>> columns;
            std::size_t m = exog->empty() ? 0 : len;
            for (const auto& col : *exog) {
                columns.push_back(seasonal_difference(difference(col, config.d), config.D, config.s));
                m = std::min(m, columns.back().size());
            }
            std::vector<double> beta(columns.size(), 0.0);
            if (m > 0) {
                const auto rows = static_cast<Eigen::Index>(m);
                MatrixXd a(rows, static_cast<Eigen::Index>(columns.size()));
                for (std::size_t j = 0; j < columns.size(); ++j)
                    for (Eigen::Index i = 0; i < rows; ++i)
                        a(i, static_cast<Eigen::Index>(j)) = columns[j][static_cast<std::size_t>(i)];
                const VectorXd b = Eigen::Map<const VectorXd>(w.data(), rows);
                if (auto x = svd_solve(a, b)) beta.assign(x->data(), x->data() + x->size());
            }
            out.insert(out.end(), beta.begin(), beta.end());
            for (std::size_t i = 0; i < m; ++i)
                for (std::size_t j = 0; j < columns.size(); ++j) w[i] -= beta[j] * columns[j][i];
        }
    }

    std::vector<double> ar(config.p, 0.0), ma(config.q, 0.0);
    std::vector<double> sar(config.P, 0.0), sma(config.Q, 0.0);
    bool estimated = false;
    double sigma2 = 0.0;
    if (config.p > 0 || config.q > 0) {
        const auto ar_lags = lags(config.p, 1), ma_lags = lags(config.q, 1);
        if (auto est = css_two_stage(w, ar_lags, ma_lags)) {
            ar = est->ar;
            ma = est->ma;
            sigma2 = est->sigma2;
            estimated = true;
        }
    }
    if (config.s > 0 && (config.P > 0 || config.Q > 0)) {
        const auto ar_lags = lags(config.P, config.s), ma_lags = lags(config.Q, config.s);
        if (auto est = css_two_stage(w, ar_lags, ma_lags)) {
            sar = est->ar;
            sma = est->ma;
            if (!estimated) sigma2 = est->sigma2;
            estimated = true;
        }
    }
    // A block at the edge of the stationary or invertible region would start
    // the optimiser where the transforms are flat: start that block at zero.
    for (auto* block : {&ar, &ma, &sar, &sma})
        if (beyond_boundary(*block)) std::fill(block->begin(), block->end(), 0.0);
    out.insert(out.end(), ar.begin(), ar.end());
    out.insert(out.end(), ma.begin(), ma.end());
    out.insert(out.end(), sar.begin(), sar.end());
    out.insert(out.end(), sma.begin(), sma.end());

    if (!config.concentrate_scale) {
        if (!estimated) {
            std::vector<double> rest = w;
            if (config.p > 0) rest = ar_residuals(rest, ar, config.p);
            if (config.P > 0 && config.s > 0) rest = seasonal_ar_residuals(rest, sar, config.P, config.s);
            sigma2 = population_variance(rest);
        }
        out.push_back(sigma2);
    }

    if (out.size() != n_params)
        return fail(SarimaxError::data("failed to build start params: expected length " +
                                       std::to_string(n_params) + ", got " +
                                       std::to_string(out.size())));
    return out;
}

Result<std::vector<double>> validate_and_get_start_params(std::span<const double> y,
                                                          const SarimaxConfig& config,
                                                          const std::vector<double>* start_params,
                                                          const ExogColumns* exog) {
    const std::size_t n = y.size();
    const std::size_t n_params = config.n_params();
    const std::size_t minimum = std::max(n_params, config.k_states() + 1);
    if (n <= minimum)
        return fail(SarimaxError::data("Not enough observations: n=" + std::to_string(n) +
                                       " <= minimum required " + std::to_string(minimum) +
                                       " for model order"));
    if (start_params == nullptr) return compute_start_params(y, config, exog);
    if (start_params->size() != n_params)
        return fail(SarimaxError::param_length(n_params, start_params->size()));
    return *start_params;
}

}  // namespace tembrel
