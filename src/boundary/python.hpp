#pragma once
// The one place that includes the interpreter's headers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
