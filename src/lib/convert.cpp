#include "convert.hpp"

#include <cstring>
#include <string>

#include "numpy_api.hpp"

namespace tembrel::py {

namespace {

PyArrayObject* as_array(const PyRef& array) noexcept {
    return reinterpret_cast<PyArrayObject*>(array.get());
}

// "argument 'y'", or "argument 'series_list' item 2" inside a list argument.
std::string label(const Arg& arg) {
    std::string text = "argument '";
    text += arg.name;
    text += '\'';
    if (arg.item >= 0) {
        text += " item ";
        text += std::to_string(arg.item);
    }
    return text;
}

// What the caller passed, for "got ..." in messages: the type name, or for an
// array its dimensions and dtype, which is what usually differs.
std::string describe(PyObject* object) {
    if (!PyArray_Check(object)) return Py_TYPE(object)->tp_name;
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
    std::string text = "a " + std::to_string(PyArray_NDIM(array)) +
                       "-dimensional numpy.ndarray of dtype ";
    PyRef dtype = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    const char* name = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
    if (name == nullptr) {
        // The description is only decoration of the TypeError about to be
        // raised; a failure to produce it must not replace that error.
        PyErr_Clear();
        name = "?";
    }
    return text + name;
}

bool type_error(const Arg& arg, std::string_view expected, const std::string& got) {
    std::string message = label(arg);
    message += ": expected ";
    message += expected;
    message += ", got ";
    message += got;
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return false;
}

// A float64 array of native byte order with exactly `ndim` dimensions.
bool convert_array(const Arg& arg, int ndim, std::string_view expected, PyRef& out) {
    PyObject* object = arg.object;
    if (!PyArray_Check(object)) return type_error(arg, expected, describe(object));
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim || PyArray_TYPE(array) != NPY_DOUBLE ||
        !PyArray_ISNOTSWAPPED(array)) {
        return type_error(arg, expected, describe(object));
    }
    out = PyRef::borrow(object);
    return true;
}

// An unsigned machine-word integer from an int or an object with __index__
// (NumPy's integer scalars). Bools are refused: True as an order or a count
// is a mistake, not a number. Floats are refused by __index__ itself.
bool convert_index(const Arg& arg, PyObject* object, std::string_view expected,
                   std::string_view at, std::size_t& out) {
    if (PyBool_Check(object) || !PyIndex_Check(object)) {
        return type_error(arg, expected, describe(object) + std::string(at));
    }
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    const std::size_t value = PyLong_AsSize_t(index.get());
    // A negative or oversized value keeps the int conversion's own OverflowError.
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// A tuple of exactly N non-negative ints.
template <std::size_t N>
bool convert_int_tuple(const Arg& arg, std::string_view expected, std::array<std::size_t, N>& out) {
    PyObject* object = arg.object;
    if (!PyTuple_Check(object)) return type_error(arg, expected, describe(object));
    const Py_ssize_t length = PyTuple_GET_SIZE(object);
    if (length != static_cast<Py_ssize_t>(N)) {
        return type_error(arg, expected, "a tuple of length " + std::to_string(length));
    }
    for (std::size_t i = 0; i < N; ++i) {
        const std::string at = " at index " + std::to_string(i);
        if (!convert_index(arg, PyTuple_GET_ITEM(object, static_cast<Py_ssize_t>(i)), expected, at,
                           out[i])) {
            return false;
        }
    }
    return true;
}

// A sequence (not a str) whose items each convert as T; the item converter
// sees the argument's name and the item's position.
template <class T>
bool convert_list(const Arg& arg, std::string_view expected, std::vector<T>& out) {
    PyObject* object = arg.object;
    if (PyUnicode_Check(object) || !PySequence_Check(object)) {
        return type_error(arg, expected, describe(object));
    }
    PyRef items = PyRef::steal(PySequence_Fast(object, "expected a sequence"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<T> values(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Arg item{PySequence_Fast_GET_ITEM(items.get(), i), arg.name, i};
        if (!convert(item, values[static_cast<std::size_t>(i)])) return false;
    }
    out = std::move(values);
    return true;
}

}  // namespace

bool parse_fastcall(const char* function, std::span<const char* const> names,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out) noexcept {
    const std::size_t n_params = names.size();
    if (nargs < 0 || static_cast<std::size_t>(nargs) > n_params) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", function,
                     n_params, n_params == 1 ? "" : "s", nargs);
        return false;
    }
    for (std::size_t i = 0; i < n_params; ++i) {
        out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    }
    const Py_ssize_t n_keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
            return false;
        }
        std::size_t slot = n_params;
        for (std::size_t i = 0; i < n_params; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == n_params) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         key);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         names[slot]);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                         function, names[i], i + 1);
            return false;
        }
    }
    return true;
}

std::size_t MatrixView::rows() const noexcept {
    return static_cast<std::size_t>(PyArray_DIM(as_array(array), 0));
}

std::size_t MatrixView::cols() const noexcept {
    return static_cast<std::size_t>(PyArray_DIM(as_array(array), 1));
}

bool convert(Arg arg, SeriesView& out) {
    if (arg.object == nullptr) return true;
    return convert_array(arg, 1, "a 1-dimensional numpy.ndarray of dtype float64", out.array);
}

bool convert(Arg arg, MatrixView& out) {
    if (arg.object == nullptr) return true;
    return convert_array(arg, 2, "a 2-dimensional numpy.ndarray of dtype float64", out.array);
}

bool convert(Arg arg, Order& out) {
    if (arg.object == nullptr) return true;
    std::array<std::size_t, 3> values{};
    if (!convert_int_tuple(arg, "a tuple of 3 ints (p, d, q)", values)) return false;
    out = {values[0], values[1], values[2]};
    return true;
}

bool convert(Arg arg, SeasonalOrder& out) {
    if (arg.object == nullptr) return true;
    std::array<std::size_t, 4> values{};
    if (!convert_int_tuple(arg, "a tuple of 4 ints (P, D, Q, s)", values)) return false;
    out = {values[0], values[1], values[2], values[3]};
    return true;
}

bool convert(Arg arg, std::vector<Order>& out) {
    if (arg.object == nullptr) return true;
    return convert_list(arg, "a sequence of tuples of 3 ints", out);
}

bool convert(Arg arg, std::vector<SeasonalOrder>& out) {
    if (arg.object == nullptr) return true;
    return convert_list(arg, "a sequence of tuples of 4 ints", out);
}

bool convert(Arg arg, std::vector<SeriesView>& out) {
    if (arg.object == nullptr) return true;
    return convert_list(arg, "a sequence of 1-dimensional float64 arrays", out);
}

bool convert(Arg arg, std::vector<MatrixView>& out) {
    if (arg.object == nullptr) return true;
    return convert_list(arg, "a sequence of 2-dimensional float64 arrays", out);
}

bool convert(Arg arg, bool& out) {
    if (arg.object == nullptr) return true;
    if (!PyBool_Check(arg.object)) return type_error(arg, "a bool", describe(arg.object));
    out = arg.object == Py_True;
    return true;
}

bool convert(Arg arg, std::size_t& out) {
    if (arg.object == nullptr) return true;
    return convert_index(arg, arg.object, "a non-negative int", "", out);
}

bool convert_u64(Arg arg, std::uint64_t& out) {
    if (arg.object == nullptr) return true;
    PyObject* object = arg.object;
    if (PyBool_Check(object) || !PyIndex_Check(object)) {
        return type_error(arg, "a non-negative int", describe(object));
    }
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert(Arg arg, double& out) {
    if (arg.object == nullptr) return true;
    const double value = PyFloat_AsDouble(arg.object);
    if (value == -1.0 && PyErr_Occurred()) {
        // Keep errors raised by the value's own __float__ other than the
        // plain "not a number" TypeError (an int too large for a double
        // keeps its OverflowError).
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        return type_error(arg, "a float", describe(arg.object));
    }
    out = value;
    return true;
}

bool convert(Arg arg, std::string_view& out) {
    if (arg.object == nullptr) return true;
    if (!PyUnicode_Check(arg.object)) return type_error(arg, "a str", describe(arg.object));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(arg.object, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool read_block(const SeriesView& series, std::span<const double>& out) {
    PyArrayObject* array = as_array(series.array);
    const bool contiguous = PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array);
    if (!contiguous || !PyArray_ISALIGNED(array)) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
        return false;
    }
    out = std::span<const double>(static_cast<const double*>(PyArray_DATA(array)),
                                  static_cast<std::size_t>(PyArray_SIZE(array)));
    return true;
}

ExogColumns numpy2d_to_cols(const MatrixView& matrix) {
    PyArrayObject* array = as_array(matrix.array);
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    const npy_intp row_stride = PyArray_STRIDE(array, 0);
    const npy_intp col_stride = PyArray_STRIDE(array, 1);
    const char* base = PyArray_BYTES(array);
    ExogColumns columns(cols, std::vector<double>(rows));
    for (std::size_t j = 0; j < cols; ++j) {
        for (std::size_t i = 0; i < rows; ++i) {
            // Strides may be negative or leave the element unaligned; memcpy
            // reads it safely either way.
            const char* element = base + static_cast<npy_intp>(i) * row_stride +
                                  static_cast<npy_intp>(j) * col_stride;
            std::memcpy(&columns[j][i], element, sizeof(double));
        }
    }
    return columns;
}

}  // namespace tembrel::py
