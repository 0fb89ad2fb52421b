#pragma once
// Validation of single-series requests and the assembly of their
// `SarimaxConfig`.
//
// The checks are plain functions over native values: a refusal is the text
// of the `ValueError` that the entry point raises (with `raise_value_error`),
// never a `SarimaxError`. Only `validate_single_inputs` and
// `prepare_single_request` read an array (the exogenous matrix), so they run
// with the interpreter lock held.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "convert.hpp"
#include "types.hpp"

namespace tembrel::py {

/// A value, or the message of the `ValueError` that refuses the request.
template <class T>
using Validated = std::expected<T, std::string>;

/// Inclusive maxima of the request; a value above its maximum is refused.
inline constexpr std::size_t MAX_P = 20;
inline constexpr std::size_t MAX_Q = 20;
inline constexpr std::size_t MAX_D = 3;
inline constexpr std::size_t MAX_SEASONAL_P = 4;
inline constexpr std::size_t MAX_SEASONAL_Q = 4;
inline constexpr std::size_t MAX_SEASONAL_D = 2;
inline constexpr std::size_t MAX_PERIOD = 365;
inline constexpr std::size_t MAX_EXOG = 100;
inline constexpr std::size_t MAX_K_STATES = 1024;
inline constexpr std::uint64_t MAX_STEPS = 10000;

/// The four model flags, with the defaults of most entry points.
struct ModelFlags {
    bool concentrate_scale = false;
    bool enforce_stationarity = true;
    bool enforce_invertibility = true;
    bool simple_differencing = false;
};

/// The regressors of a request: owned columns (present exactly when `exog`
/// was given, possibly with zero columns) and their count.
struct SingleInputs {
    std::optional<ExogColumns> exog;
    std::size_t n_exog = 0;
};

/// A validated single-series request: the model and its owned regressors.
struct SingleRequest {
    SarimaxConfig config;
    std::optional<ExogColumns> exog;
};

/// Checks y (n values) for NaN/±inf, then converts `exog` (n rows × r
/// columns, may be null) with `numpy2d_to_cols`, checks it for NaN/±inf and
/// checks that it has n rows.
[[nodiscard]] Validated<SingleInputs> validate_single_inputs(std::span<const double> y,
                                                             const MatrixView* exog);

/// Checks the orders against their maxima, the seasonal period against the
/// seasonal terms and the state dimension `k_states` against its limit, in
/// that order.
[[nodiscard]] Validated<void> validate_order(const SarimaxOrder& order, std::size_t n_exog);

/// "n", "c", "t", "ct" (and "tc" for "ct"), case-sensitive; absent means "n".
[[nodiscard]] Validated<Trend> parse_trend(std::optional<std::string_view> trend);

/// Finds the first NaN/±inf, scanning the columns in order and the rows of
/// each column in order; `name` leads the message.
[[nodiscard]] Validated<void> validate_finite_cols(const ExogColumns& columns,
                                                   std::string_view name);

/// Refuses alpha ≤ 0 and alpha ≥ 1 (so NaN passes both comparisons).
[[nodiscard]] Validated<void> validate_alpha(double alpha);

/// Refuses a forecast horizon above `MAX_STEPS`.
[[nodiscard]] Validated<void> validate_steps(std::uint64_t steps);

/// Validates a single-series request and builds its configuration: inputs,
/// then orders (with the regressor count), then trend; the first refusal is
/// returned and nothing after it runs.
[[nodiscard]] Validated<SingleRequest> prepare_single_request(
    std::span<const double> y, const Order& order, const SeasonalOrder& seasonal,
    const MatrixView* exog, const ModelFlags& flags, std::optional<std::string_view> trend);

}  // namespace tembrel::py
