#include "pyutil.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tembrel::py {

namespace {

// Created once, at the first module initialisation, and never released: the
// type must outlive every function object that may raise it.
PyObject* PANIC_TYPE = nullptr;

constexpr const char PANIC_DOC[] =
    "Raised when the native code hits an internal fault (a violated invariant or "
    "an allocation failure).\n\nDerives from BaseException: it reports a defect of "
    "the library, not a condition that callers are expected to handle.";

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace

PyObject* raise_value_error(std::string_view message) noexcept {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

PyRef to_pyerr(SarimaxError error) {
    const std::string text = error.display();
    PyObject* type = error.is_runtime_error() ? PyExc_RuntimeError : PyExc_ValueError;
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return {};
    return PyRef::steal(PyObject_CallOneArg(type, message.get()));
}

PyObject* raise_sarimax_error(SarimaxError error) {
    PyRef exception = to_pyerr(std::move(error));
    if (!exception) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    return nullptr;
}

bool init_panic_type() noexcept {
    if (PANIC_TYPE != nullptr) return true;
    PANIC_TYPE = PyErr_NewExceptionWithDoc("tembrel.PanicException", PANIC_DOC,
                                           PyExc_BaseException, nullptr);
    return PANIC_TYPE != nullptr;
}

PyObject* raise_panic(const char* message) noexcept {
    try {
        if (PANIC_TYPE == nullptr) abort_at_boundary();
        const std::string text = message != nullptr && *message != '\0'
                                     ? std::string(message)
                                     : std::string("internal fault without a message");
        PyRef value = PyRef::steal(PyUnicode_DecodeUTF8(
            text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        // Without memory for the message the MemoryError now set stands in
        // for the panic.
        if (!value) return nullptr;
        PyErr_SetObject(PANIC_TYPE, value.get());
    } catch (...) {
        abort_at_boundary();
    }
    return nullptr;
}

}  // namespace tembrel::py
