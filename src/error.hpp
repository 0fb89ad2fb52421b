#pragma once
// The library's error values and its one internal-fault exception.
//
// Three kinds of failure are kept apart:
//   * bad caller input is refused by the Python binding before any native work;
//   * numerical failure is a `SarimaxError` value, returned through
//     `std::expected` (or absorbed by a documented fallback);
//   * an internal fault (a broken invariant, an index outside a matrix) is an
//     `InternalFault` exception, which only the Python boundary and the batch
//     workers catch.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>

namespace tembrel {

/// The nine kinds of `SarimaxError`, in their fixed order.
enum class ErrorKind : std::uint8_t {
    ParamLength = 0,
    StateSpaceConstruction = 1,
    Cholesky = 2,
    Optimization = 3,
    NonStationary = 4,
    NonInvertible = 5,
    Data = 6,
    InvalidInput = 7,
    Inference = 8,
};

/// A numerical or data failure of the library, carried as a value.
///
/// `ParamLength` carries `expected`/`got`; `Cholesky`, `NonStationary` and
/// `NonInvertible` carry nothing; the other variants carry a message.
/// `display()` produces the fixed text that becomes the Python message.
class [[nodiscard]] SarimaxError {
public:
    static SarimaxError param_length(std::size_t expected, std::size_t got);
    static SarimaxError state_space_construction(std::string message);
    static SarimaxError cholesky();
    static SarimaxError optimization(std::string message);
    static SarimaxError non_stationary();
    static SarimaxError non_invertible();
    static SarimaxError data(std::string message);
    static SarimaxError invalid_input(std::string message);
    static SarimaxError inference(std::string message);

    ErrorKind kind() const noexcept { return kind_; }
    /// The payload message (empty for the variants without one).
    const std::string& message() const noexcept { return message_; }
    std::size_t expected() const noexcept { return expected_; }
    std::size_t got() const noexcept { return got_; }

    /// The error's display text, e.g. "parameter length mismatch: expected 5, got 4".
    std::string display() const;

    /// True for the variants that surface as Python `RuntimeError`
    /// (`Cholesky`, `Optimization`); the others surface as `ValueError`.
    bool is_runtime_error() const noexcept {
        return kind_ == ErrorKind::Cholesky || kind_ == ErrorKind::Optimization;
    }

private:
    SarimaxError(ErrorKind kind, std::string message, std::size_t expected = 0,
                 std::size_t got = 0)
        : kind_(kind), message_(std::move(message)), expected_(expected), got_(got) {}

    ErrorKind kind_;
    std::string message_;
    std::size_t expected_;
    std::size_t got_;
};

/// Shorthand for the result of a fallible operation.
template <class T>
using Result = std::expected<T, SarimaxError>;

/// Wraps an error for returning from a function that yields `Result<T>`.
inline std::unexpected<SarimaxError> fail(SarimaxError error) {
    return std::unexpected<SarimaxError>(std::move(error));
}

/// An internal fault: a violated invariant of the library itself, never a
/// consequence of the caller's input. Only the Python boundary and the batch
/// workers catch it.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

/// Writes a double for a message: the shortest decimal form that reads back
/// to the same value, without exponent and without a fractional part for an
/// integer (1.0 -> "1", 0.5 -> "0.5", 1e-7 -> "0.0000001"). NaN and the
/// infinities are written "NaN", "inf" and "-inf".
std::string format_double(double value);

/// Writes a list of counts as "[3, 5, 2]".
std::string format_list(const std::size_t* values, std::size_t count);

namespace detail {
[[noreturn]] void raise_internal_fault(const char* condition, const char* file, int line);
}  // namespace detail

}  // namespace tembrel

/// Checks an internal invariant in every build; a violation throws
/// `tembrel::InternalFault` naming the condition and its place.
#define TEMBREL_ENSURE(condition)                                                        \
    do {                                                                                 \
        if (!(condition)) ::tembrel::detail::raise_internal_fault(#condition, __FILE__,  \
                                                                  __LINE__);             \
    } while (false)
