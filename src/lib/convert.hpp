#pragma once
// Argument parsing for fast-call functions and the converters from Python
// values to native values, one per argument kind.
//
// Every converter has the shape `bool convert(Arg, T& out)`:
//   * an absent argument (`arg.object == nullptr`) leaves `out` unchanged, so
//     `out` carries the parameter's default;
//   * a value that converts is stored in `out` and the result is true;
//   * otherwise a `TypeError` naming the argument (or the integer
//     conversion's own `OverflowError`) is set and the result is false.
// This header does not expose the NumPy API; only convert.cpp includes it.

#include "pyutil.hpp"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "types.hpp"

namespace tembrel::py {

/// One argument of a call: the object (borrowed, null when the caller omitted
/// it) and the parameter name used in error messages.
struct Arg {
    PyObject* object = nullptr;
    const char* name = "";
    /// Position inside a list argument, or -1 for the argument itself.
    Py_ssize_t item = -1;
};

/// The parameters of a fast-call function: every one is positional-or-keyword
/// and the first `required` must be given.
template <std::size_t N>
struct Signature {
    const char* function;
    std::size_t required;
    std::array<const char*, N> names;
};

/// The arguments of one call in parameter order, each null when omitted.
template <std::size_t N>
class ParsedArgs {
public:
    explicit ParsedArgs(const Signature<N>& signature) noexcept : signature_(&signature) {}

    Arg operator[](std::size_t i) const noexcept { return {objects_[i], signature_->names[i]}; }
    std::span<PyObject*> slots() noexcept { return objects_; }

private:
    const Signature<N>* signature_;
    std::array<PyObject*, N> objects_{};
};

/// Matches the fast-call arguments (`nargs` positional values in `args`,
/// followed by one value per name of the `kwnames` tuple) to `names`,
/// storing borrowed objects in `out` (null for omitted ones). Fails with a
/// `TypeError` for too many positional arguments, a keyword that is not a
/// string or not a parameter, an argument given twice, or a missing required
/// argument.
[[nodiscard]] bool parse_fastcall(const char* function, std::span<const char* const> names,
                                  std::size_t required, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames,
                                  std::span<PyObject*> out) noexcept;

/// `parse_fastcall` for a signature; `std::nullopt` with a `TypeError` set on failure.
template <std::size_t N>
[[nodiscard]] std::optional<ParsedArgs<N>> parse_args(const Signature<N>& signature,
                                                      PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) noexcept {
    ParsedArgs<N> parsed(signature);
    if (!parse_fastcall(signature.function, signature.names, signature.required, args, nargs,
                        kwnames, parsed.slots())) {
        return std::nullopt;
    }
    return parsed;
}

/// A one-dimensional float64 array of native byte order (any strides; see
/// `read_block`). Holds a reference, so it stays valid while the call runs.
struct SeriesView {
    PyRef array;
};

/// A two-dimensional float64 array of native byte order, rows = observations,
/// columns = regressors, any strides.
struct MatrixView {
    PyRef array;

    std::size_t rows() const noexcept;
    std::size_t cols() const noexcept;
};

/// (p, d, q).
struct Order {
    std::size_t p = 0;
    std::size_t d = 0;
    std::size_t q = 0;
};

/// (P, D, Q, s).
struct SeasonalOrder {
    std::size_t P = 0;
    std::size_t D = 0;
    std::size_t Q = 0;
    std::size_t s = 0;
};

// The argument kinds. Each overload is selected by the type of `out`.

/// series: a numpy.ndarray of dtype float64 with exactly one dimension.
[[nodiscard]] bool convert(Arg arg, SeriesView& out);
/// matrix: a numpy.ndarray of dtype float64 with exactly two dimensions.
[[nodiscard]] bool convert(Arg arg, MatrixView& out);
/// order: a tuple of exactly three non-negative ints.
[[nodiscard]] bool convert(Arg arg, Order& out);
/// seasonal: a tuple of exactly four non-negative ints.
[[nodiscard]] bool convert(Arg arg, SeasonalOrder& out);
/// list of orders: a sequence of order tuples.
[[nodiscard]] bool convert(Arg arg, std::vector<Order>& out);
/// list of seasonal orders: a sequence of seasonal tuples.
[[nodiscard]] bool convert(Arg arg, std::vector<SeasonalOrder>& out);
/// list of series: a sequence (not a str) of series.
[[nodiscard]] bool convert(Arg arg, std::vector<SeriesView>& out);
/// list of matrices: a sequence (not a str) of matrices.
[[nodiscard]] bool convert(Arg arg, std::vector<MatrixView>& out);
/// flag: a Python bool.
[[nodiscard]] bool convert(Arg arg, bool& out);
/// count: a non-negative int (or an object with `__index__`; not a bool).
[[nodiscard]] bool convert(Arg arg, std::size_t& out);
/// real: a float, or any value `float()` accepts through `__float__` or `__index__`.
[[nodiscard]] bool convert(Arg arg, double& out);
/// text: a str, borrowed as UTF-8 for as long as the argument lives.
[[nodiscard]] bool convert(Arg arg, std::string_view& out);

/// Unsigned 64-bit count (`maxiter`), for platforms where it is not `std::size_t`.
[[nodiscard]] bool convert_u64(Arg arg, std::uint64_t& out);
template <class U>
    requires(std::same_as<U, std::uint64_t> && !std::same_as<U, std::size_t>)
[[nodiscard]] bool convert(Arg arg, U& out) {
    return convert_u64(arg, out);
}

/// optional X: `None` or an omitted argument is absent; anything else must
/// convert as X.
template <class T>
[[nodiscard]] bool convert(Arg arg, std::optional<T>& out) {
    if (arg.object == nullptr || arg.object == Py_None) {
        out.reset();
        return true;
    }
    T value{};
    if (!convert(arg, value)) return false;
    out = std::move(value);
    return true;
}

/// Converts the arguments of one call in parameter order into `out...`
/// (one destination per parameter, pre-set to its default); stops at the
/// first failure.
template <std::size_t N, class... T>
    requires(sizeof...(T) == N)
[[nodiscard]] bool convert_all(const ParsedArgs<N>& args, T&... out) {
    std::size_t i = 0;
    return (convert(args[i++], out) && ...);
}

/// The elements of `series` as one block of doubles. Fails with `TypeError`
/// "The given array is not contiguous or is misaligned." unless the array is
/// C- or F-contiguous and aligned. The span points into the array.
[[nodiscard]] bool read_block(const SeriesView& series, std::span<const double>& out);

/// The matrix as owned columns: column j holds rows 0 … n−1 of column j.
/// Reads element by element, so any strides (and unaligned data) are fine.
ExogColumns numpy2d_to_cols(const MatrixView& matrix);

}  // namespace tembrel::py
