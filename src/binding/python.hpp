// The one place the interpreter's headers are included, so that every unit sees the same
// configuration (full, not limited, C API with size_t lengths).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/python_compat.hpp"
