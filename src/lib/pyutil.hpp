#pragma once
// The thin RAII layer over the CPython C API and the one call frame that every
// Python entry point of the module runs through.
//
// Convention for the whole binding: a function that returns a `PyObject*` (or
// a `bool`) returns `nullptr` (`false`) exactly when a Python error is set.
// No C++ exception ever stands for "a Python error is already set"; C++
// exceptions that reach the boundary are internal faults and become the panic
// exception.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <string_view>
#include <utility>

#include "error.hpp"

namespace tembrel::py {

/// An owned reference to a Python object (or null). Ownership is explicit at
/// every construction: `steal` adopts a new reference returned by the C API,
/// `borrow` takes a new reference to an object someone else owns.
class PyRef {
public:
    PyRef() noexcept = default;

    /// Adopts `object` (a new reference, possibly null) without an incref.
    [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    /// Takes a new reference to the borrowed `object` (possibly null).
    [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    /// The object, still owned by this reference.
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    /// Gives up ownership; only for handing the reference back to Python.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

/// Releases the interpreter lock for its lifetime: saves the thread state on
/// construction and restores it on destruction, also when an exception
/// unwinds through it. Code inside its scope must not touch any Python object.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }

    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    GilRelease(GilRelease&&) = delete;
    GilRelease& operator=(GilRelease&&) = delete;

private:
    PyThreadState* state_;
};

/// Sets a `ValueError` with the UTF-8 text `message` (which may contain any
/// byte, including NUL). Always returns nullptr.
PyObject* raise_value_error(std::string_view message) noexcept;

/// A new exception object for `error`: `RuntimeError` for `Cholesky` and
/// `Optimization`, `ValueError` for the other variants, with the display text
/// as its single argument. Null (with a Python error set) only when the
/// interpreter cannot allocate the objects.
[[nodiscard]] PyRef to_pyerr(SarimaxError error);

/// Raises `to_pyerr(error)`. Always returns nullptr.
PyObject* raise_sarimax_error(SarimaxError error);

/// Creates the panic exception type (a subclass of `BaseException`) the
/// first time it is called; later calls keep the existing type. Returns false
/// with a Python error set when the type cannot be created.
[[nodiscard]] bool init_panic_type() noexcept;

/// Raises the panic exception carrying `message` (null for a fault that has
/// no message). If raising it fails with a C++ exception, the process writes
/// "uncaught panic at ffi boundary" to stderr and aborts. Always returns nullptr.
PyObject* raise_panic(const char* message) noexcept;

/// Runs `body` (which returns a new reference, or nullptr with an error set)
/// and turns every C++ exception that escapes it into the panic exception.
template <class Body>
PyObject* guard_boundary(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const InternalFault& fault) {
        return raise_panic(fault.what());
    } catch (const std::exception& fault) {
        // Allocation failures and the standard library's own logic errors
        // end up here: none is a consequence of the caller's input.
        return raise_panic(fault.what());
    } catch (...) {
        return raise_panic(nullptr);
    }
}

/// The call frame of every computing entry point.
///
/// 1. `prepare()` runs with the lock held: it converts the arguments, reads
///    the arrays, validates the request and copies everything the computation
///    needs into an owned input, returned as `std::optional<Input>`;
///    `std::nullopt` means a Python error is set and is returned at once.
/// 2. `compute(Input&&)` runs with the lock released and returns a
///    `Result<Output>`. The input must therefore own all its data and hold no
///    Python object.
/// 3. With the lock re-acquired, `finish(Output&&)` turns a success into a new
///    reference; a `SarimaxError` is raised through `to_pyerr`.
///
/// C++ exceptions from any of the three steps become the panic exception.
template <class Prepare, class Compute, class Finish>
PyObject* call_frame(Prepare&& prepare, Compute&& compute, Finish&& finish) noexcept {
    return guard_boundary([&]() -> PyObject* {
        auto input = prepare();
        if (!input) return nullptr;
        auto result = [&] {
            GilRelease unlocked;
            return compute(std::move(*input));
        }();
        if (!result) return raise_sarimax_error(std::move(result).error());
        return finish(std::move(*result));
    });
}

}  // namespace tembrel::py
