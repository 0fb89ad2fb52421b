#pragma once
// Lag polynomials: coefficient vectors in powers of the lag operator L,
// entry 0 being the coefficient of L⁰.

#include <cstddef>
#include <span>
#include <vector>

#include "params.hpp"
#include "types.hpp"

namespace tembrel {

/// φ(L) = 1 − φ_1 L − … − φ_p L^p: [1, −ar[0], …, −ar[p−1]].
std::vector<double> make_ar_poly(std::span<const double> ar);
/// θ(L) = 1 + θ_1 L + … + θ_q L^q: [1, ma[0], …, ma[q−1]].
std::vector<double> make_ma_poly(std::span<const double> ma);
/// Φ(L^s): [1] when `seasonal_ar` is empty, otherwise length P·s + 1 with
/// entry k·s = −seasonal_ar[k−1].
std::vector<double> make_seasonal_ar_poly(std::span<const double> seasonal_ar, std::size_t s);
/// Θ(L^s): as `make_seasonal_ar_poly` with +seasonal_ma[k−1].
std::vector<double> make_seasonal_ma_poly(std::span<const double> seasonal_ma, std::size_t s);
/// The product (convolution) of two polynomials; empty when either is empty.
std::vector<double> polymul(std::span<const double> a, std::span<const double> b);
/// φ(L)·Φ(L^s) = [1, a_1, a_2, …]; the combined AR coefficients are −a_i.
std::vector<double> reduced_ar(const SarimaxParams& params, const SarimaxOrder& order);
/// θ(L)·Θ(L^s) = [1, m_1, m_2, …]; the combined MA coefficients are m_i.
std::vector<double> reduced_ma(const SarimaxParams& params, const SarimaxOrder& order);

}  // namespace tembrel
