#include "polynomial.hpp"

namespace tembrel {

namespace {
std::vector<double> lag_poly(std::span<const double> coeffs, double sign) {
    std::vector<double> poly(coeffs.size() + 1, 0.0);
    poly[0] = 1.0;
    for (std::size_t i = 0; i < coeffs.size(); ++i) poly[i + 1] = sign * coeffs[i];
    return poly;
}

std::vector<double> seasonal_poly(std::span<const double> coeffs, std::size_t s, double sign) {
    if (coeffs.empty()) return {1.0};
    std::vector<double> poly(coeffs.size() * s + 1, 0.0);
    poly[0] = 1.0;
    // With s = 0 every term lands on lag 0; validation never lets a seasonal
    // term through with s < 2, but the sum keeps the result well defined.
    for (std::size_t k = 1; k <= coeffs.size(); ++k) poly[k * s] += sign * coeffs[k - 1];
    return poly;
}
}  // namespace

std::vector<double> make_ar_poly(std::span<const double> ar) { return lag_poly(ar, -1.0); }
std::vector<double> make_ma_poly(std::span<const double> ma) { return lag_poly(ma, 1.0); }

std::vector<double> make_seasonal_ar_poly(std::span<const double> seasonal_ar, std::size_t s) {
    return seasonal_poly(seasonal_ar, s, -1.0);
}
std::vector<double> make_seasonal_ma_poly(std::span<const double> seasonal_ma, std::size_t s) {
    return seasonal_poly(seasonal_ma, s, 1.0);
}

std::vector<double> polymul(std::span<const double> a, std::span<const double> b) {
    if (a.empty() || b.empty()) return {};
    std::vector<double> out(a.size() + b.size() - 1, 0.0);
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b.size(); ++j) out[i + j] += a[i] * b[j];
    return out;
}

std::vector<double> reduced_ar(const SarimaxParams& params, const SarimaxOrder& order) {
    return polymul(make_ar_poly(params.ar), make_seasonal_ar_poly(params.seasonal_ar, order.s));
}

std::vector<double> reduced_ma(const SarimaxParams& params, const SarimaxOrder& order) {
    return polymul(make_ma_poly(params.ma), make_seasonal_ma_poly(params.seasonal_ma, order.s));
}

}  // namespace tembrel
