// Every file that calls numpy's C-API includes this: one API table for the
// whole module, filled by the import in module.cpp.
#pragma once

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL camsnap_PyArray_API
#ifndef CAMSNAP_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <Python.h>
#include <numpy/arrayobject.h>
