// The log-likelihood entry point.

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "convert.hpp"
#include "entries.hpp"
#include "params.hpp"
#include "pipeline.hpp"
#include "request.hpp"

namespace tembrel::py {

namespace {

constexpr Signature<10> LOGLIKE_SIGNATURE{
    "sarimax_loglike",
    4,
    {"y", "order", "seasonal", "params", "exog", "concentrate_scale", "enforce_stationarity",
     "enforce_invertibility", "trend", "simple_differencing"},
};

// The converted arguments, pre-set to the signature's defaults.
struct LoglikeArgs {
    SeriesView y;
    Order order;
    SeasonalOrder seasonal;
    SeriesView params;
    std::optional<MatrixView> exog;
    ModelFlags flags;
    std::optional<std::string_view> trend;
};

// Everything the computation reads, owned by the call.
struct LoglikeInput {
    std::vector<double> y;
    std::vector<double> params;
    SarimaxConfig config;
    std::optional<ExogColumns> exog;
};

std::optional<LoglikeInput> prepare(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto parsed = parse_args(LOGLIKE_SIGNATURE, args, nargs, kwnames);
    if (!parsed) return std::nullopt;
    LoglikeArgs a;
    if (!convert_all(*parsed, a.y, a.order, a.seasonal, a.params, a.exog,
                     a.flags.concentrate_scale, a.flags.enforce_stationarity,
                     a.flags.enforce_invertibility, a.trend, a.flags.simple_differencing)) {
        return std::nullopt;
    }

    std::span<const double> y;
    std::span<const double> params;
    if (!read_block(a.y, y) || !read_block(a.params, params)) return std::nullopt;

    auto request = prepare_single_request(y, a.order, a.seasonal, a.exog ? &*a.exog : nullptr,
                                          a.flags, a.trend);
    if (!request) {
        raise_value_error(request.error());
        return std::nullopt;
    }
    return LoglikeInput{
        std::vector<double>(y.begin(), y.end()),
        std::vector<double>(params.begin(), params.end()),
        request->config,
        std::move(request->exog),
    };
}

Result<double> compute(LoglikeInput input) {
    auto params = SarimaxParams::from_flat(input.params, input.config);
    if (!params) return fail(std::move(params).error());
    const ExogColumns* exog = input.exog ? &*input.exog : nullptr;
    auto output = kalman_eval(input.y, input.config, *params, exog);
    if (!output) return fail(std::move(output).error());
    return output->loglike;
}

}  // namespace

PyObject* sarimax_loglike(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return call_frame([&] { return prepare(args, nargs, kwnames); }, compute,
                      [](double loglike) { return PyFloat_FromDouble(loglike); });
}

}  // namespace tembrel::py
