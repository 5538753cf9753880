// Single entry point for the interpreter headers: every kit header and module
// includes this first so PY_SSIZE_T_CLEAN is always in force.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
