#include "error.hpp"

#include <charconv>
#include <cmath>

namespace tembrel {

SarimaxError SarimaxError::param_length(std::size_t expected, std::size_t got) {
    return SarimaxError(ErrorKind::ParamLength, {}, expected, got);
}
SarimaxError SarimaxError::state_space_construction(std::string message) {
    return SarimaxError(ErrorKind::StateSpaceConstruction, std::move(message));
}
SarimaxError SarimaxError::cholesky() { return SarimaxError(ErrorKind::Cholesky, {}); }
SarimaxError SarimaxError::optimization(std::string message) {
    return SarimaxError(ErrorKind::Optimization, std::move(message));
}
SarimaxError SarimaxError::non_stationary() { return SarimaxError(ErrorKind::NonStationary, {}); }
SarimaxError SarimaxError::non_invertible() { return SarimaxError(ErrorKind::NonInvertible, {}); }
SarimaxError SarimaxError::data(std::string message) {
    return SarimaxError(ErrorKind::Data, std::move(message));
}
SarimaxError SarimaxError::invalid_input(std::string message) {
    return SarimaxError(ErrorKind::InvalidInput, std::move(message));
}
SarimaxError SarimaxError::inference(std::string message) {
    return SarimaxError(ErrorKind::Inference, std::move(message));
}

std::string SarimaxError::display() const {
    switch (kind_) {
        case ErrorKind::ParamLength:
            return "parameter length mismatch: expected " + std::to_string(expected_) +
                   ", got " + std::to_string(got_);
        case ErrorKind::StateSpaceConstruction:
            return "state space construction failed: " + message_;
        case ErrorKind::Cholesky:
            return "Cholesky decomposition failed: covariance matrix is not positive-definite";
        case ErrorKind::Optimization:
            return "optimization failed: " + message_;
        case ErrorKind::NonStationary:
            return "non-stationary AR polynomial";
        case ErrorKind::NonInvertible:
            return "non-invertible MA polynomial";
        case ErrorKind::Data:
            return "data error: " + message_;
        case ErrorKind::InvalidInput:
            return "invalid input: " + message_;
        case ErrorKind::Inference:
            return "inference computation failed: " + message_;
    }
    throw InternalFault("SarimaxError with an unknown variant");
}

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Fixed notation with no precision gives the shortest round-tripping
    // digits; the largest doubles need a little over 300 characters.
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (ec != std::errc{}) throw InternalFault("format_double: buffer too small");
    return std::string(buffer, end);
}

std::string format_list(const std::size_t* values, std::size_t count) {
    std::string out = "[";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(values[i]);
    }
    out += "]";
    return out;
}

namespace detail {
void raise_internal_fault(const char* condition, const char* file, int line) {
    throw InternalFault(std::string("internal invariant violated: ") + condition + " (" +
                        file + ":" + std::to_string(line) + ")");
}
}  // namespace detail

}  // namespace tembrel
