// The one place that includes Python.h, so that every file agrees on the
// limited-API level the module is built against.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030D0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
