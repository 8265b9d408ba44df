// The bulk module's seven functions (METH_VARARGS | METH_KEYWORDS entries).
#pragma once

#include <Python.h>

namespace zln::py::bulk {

extern PyMethodDef functions[];

}  // namespace zln::py::bulk
