#pragma once
// The module's Python functions. Each computing entry point is a fast-call
// function with keyword arguments (`METH_FASTCALL | METH_KEYWORDS`): `module`
// is the module object, `args` holds `nargs` positional values followed by
// one value per name of the `kwnames` tuple (null when there are none). Each
// returns a new reference, or nullptr with a Python error set.

#include "pyutil.hpp"

namespace tembrel::py {

/// `sarimax_loglike(y, order, seasonal, params, exog=None, concentrate_scale=False,
/// enforce_stationarity=True, enforce_invertibility=True, trend=None,
/// simple_differencing=False)` → float: the exact Kalman log-likelihood at
/// `params`, used as passed (no transformation, no stationarity check).
/// Raises TypeError/OverflowError for arguments that do not convert,
/// ValueError for a refused request and for `ParamLength` and the other
/// value-error variants, RuntimeError for `Cholesky`.
PyObject* sarimax_loglike(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

}  // namespace tembrel::py
