#pragma once
// The NumPy C API for the binding. NumPy reaches its functions through one
// table of pointers; exactly one translation unit (the module, which fills the
// table in its exec slot) defines TEMBREL_NUMPY_IMPORT before including this
// header, every other one only refers to the table.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tembrel_ARRAY_API
#ifndef TEMBREL_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
