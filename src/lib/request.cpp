#include "request.hpp"

#include <algorithm>
#include <cmath>
#include <concepts>
#include <string>

namespace tembrel::py {

namespace {

std::unexpected<std::string> refuse(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

void append(std::string& out, std::string_view text) { out += text; }
void append(std::string& out, std::unsigned_integral auto count) { out += std::to_string(count); }

// Joins the pieces of a message, writing counts in decimal.
template <class... Piece>
std::unexpected<std::string> refuse(const Piece&... pieces) {
    std::string message;
    (append(message, pieces), ...);
    return refuse(std::move(message));
}

bool all_finite(std::span<const double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace

Validated<SingleInputs> validate_single_inputs(std::span<const double> y,
                                               const MatrixView* exog) {
    if (!all_finite(y)) return refuse("input time series contains NaN or Inf values");
    SingleInputs inputs;
    if (exog == nullptr) return inputs;
    ExogColumns columns = numpy2d_to_cols(*exog);
    if (auto finite = validate_finite_cols(columns, "exog"); !finite) {
        return std::unexpected(std::move(finite).error());
    }
    if (exog->rows() != y.size()) {
        return refuse("exog has ", exog->rows(), " rows but endog has ", y.size(),
                      " observations; they must match");
    }
    inputs.n_exog = columns.size();
    inputs.exog = std::move(columns);
    return inputs;
}

Validated<void> validate_order(const SarimaxOrder& order, std::size_t n_exog) {
    if (order.p > MAX_P) return refuse("AR order p=", order.p, " exceeds maximum ", MAX_P);
    if (order.q > MAX_Q) return refuse("MA order q=", order.q, " exceeds maximum ", MAX_Q);
    if (order.d > MAX_D) {
        return refuse("differencing order d=", order.d, " exceeds maximum ", MAX_D);
    }
    if (order.P > MAX_SEASONAL_P) {
        return refuse("seasonal AR order P=", order.P, " exceeds maximum ", MAX_SEASONAL_P);
    }
    if (order.Q > MAX_SEASONAL_Q) {
        return refuse("seasonal MA order Q=", order.Q, " exceeds maximum ", MAX_SEASONAL_Q);
    }
    if (order.D > MAX_SEASONAL_D) {
        return refuse("seasonal differencing D=", order.D, " exceeds maximum ", MAX_SEASONAL_D);
    }
    if (order.s > MAX_PERIOD) {
        return refuse("seasonal period s=", order.s, " exceeds maximum ", MAX_PERIOD);
    }
    if (n_exog > MAX_EXOG) return refuse("n_exog=", n_exog, " exceeds maximum ", MAX_EXOG);
    if ((order.P > 0 || order.D > 0 || order.Q > 0) && order.s < 2) {
        return refuse("seasonal order (P,D,Q) > 0 requires seasonal period s >= 2");
    }
    // Every factor is bounded by the checks above, so k_states cannot overflow.
    const std::size_t k_states = order.k_states();
    if (k_states > MAX_K_STATES) {
        return refuse("model too large: k_states=", k_states, " exceeds limit ", MAX_K_STATES);
    }
    return {};
}

Validated<Trend> parse_trend(std::optional<std::string_view> trend) {
    if (!trend) return Trend::n;
    if (*trend == "n") return Trend::n;
    if (*trend == "c") return Trend::c;
    if (*trend == "t") return Trend::t;
    if (*trend == "ct" || *trend == "tc") return Trend::ct;
    return refuse("unknown trend '", *trend, "', expected one of: 'n', 'c', 't', 'ct'");
}

Validated<void> validate_finite_cols(const ExogColumns& columns, std::string_view name) {
    for (std::size_t j = 0; j < columns.size(); ++j) {
        const auto& column = columns[j];
        const auto bad = std::find_if(column.begin(), column.end(),
                                      [](double v) { return !std::isfinite(v); });
        if (bad != column.end()) {
            const auto row = static_cast<std::size_t>(bad - column.begin());
            return refuse(name, " contains NaN or Inf at column ", j, ", row ", row);
        }
    }
    return {};
}

Validated<void> validate_alpha(double alpha) {
    if (alpha <= 0.0 || alpha >= 1.0) {
        return refuse("alpha must be in (0, 1), got " + format_double(alpha));
    }
    return {};
}

Validated<void> validate_steps(std::uint64_t steps) {
    if (steps > MAX_STEPS) return refuse("steps must be <= ", MAX_STEPS, ", got ", steps);
    return {};
}

Validated<SingleRequest> prepare_single_request(std::span<const double> y, const Order& order,
                                                const SeasonalOrder& seasonal,
                                                const MatrixView* exog, const ModelFlags& flags,
                                                std::optional<std::string_view> trend) {
    auto inputs = validate_single_inputs(y, exog);
    if (!inputs) return std::unexpected(std::move(inputs).error());

    SarimaxConfig config;
    config.p = order.p;
    config.d = order.d;
    config.q = order.q;
    config.P = seasonal.P;
    config.D = seasonal.D;
    config.Q = seasonal.Q;
    config.s = seasonal.s;
    if (auto checked = validate_order(config, inputs->n_exog); !checked) {
        return std::unexpected(std::move(checked).error());
    }

    auto trend_kind = parse_trend(trend);
    if (!trend_kind) return std::unexpected(std::move(trend_kind).error());

    config.n_exog = inputs->n_exog;
    config.trend_kind = *trend_kind;
    config.enforce_stationarity = flags.enforce_stationarity;
    config.enforce_invertibility = flags.enforce_invertibility;
    config.concentrate_scale = flags.concentrate_scale;
    config.simple_differencing = flags.simple_differencing;
    return SingleRequest{config, std::move(inputs->exog)};
}

}  // namespace tembrel::py
