"""The floor: the least a native sum over a buffer can cost from Python.

A bare C function that acquires the argument's buffer, sums its doubles
left to right and releases the buffer, with no argument binding, no type
recognition and no checks. It is compiled here, at benchmark time, with the
interpreter's own C compiler into a temporary directory and loaded from
there, so the benchmark needs nothing beyond a compiler and the Python
headers.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import shlex
import subprocess
import sysconfig
import tempfile

MODULE = "_telvaran_floor"

SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* The same request flags as telvaran's typed views, so the floor pays the
   same export cost: shape, strides and format are filled in. */
static PyObject *floor_sum(PyObject *self, PyObject *arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_FULL_RO) < 0)
        return NULL;
    const double *xs = (const double *)view.buf;
    Py_ssize_t n = view.len / (Py_ssize_t)sizeof(double);
    double total = 0.0;
    for (Py_ssize_t i = 0; i < n; i++)
        total += xs[i];
    PyBuffer_Release(&view);
    return PyFloat_FromDouble(total);
}

static PyMethodDef methods[] = {
    {"sum", floor_sum, METH_O, "Sum of the doubles in a buffer."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_telvaran_floor", NULL, 0, methods,
};

PyMODINIT_FUNC PyInit__telvaran_floor(void) { return PyModule_Create(&module); }
"""


def build():
    """Returns (module, None) on success, (None, reason) when it cannot be built."""
    compiler = sysconfig.get_config_var("CC")
    if not compiler:
        return None, "the interpreter records no C compiler (sysconfig CC is empty)"
    paths = sysconfig.get_paths()
    includes = {paths["include"], paths.get("platinclude", paths["include"])}
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    with tempfile.TemporaryDirectory(prefix="telvaran-floor-") as workdir:
        source = os.path.join(workdir, "floor.c")
        target = os.path.join(workdir, MODULE + suffix)
        with open(source, "w") as out:
            out.write(SOURCE)
        command = [*shlex.split(compiler), "-shared", "-fPIC", "-O2"]
        command += [f"-I{path}" for path in sorted(includes)]
        command += [source, "-o", target]
        try:
            done = subprocess.run(command, capture_output=True, text=True, timeout=120)
        except (OSError, subprocess.SubprocessError) as error:
            return None, f"could not run the C compiler {compiler!r}: {error}"
        if done.returncode != 0:
            detail = (done.stderr or done.stdout).strip().splitlines()[-3:]
            return None, f"the C compiler failed ({' '.join(command)}): " + " | ".join(detail)
        try:
            # Once loaded, the shared object stays mapped after its file is removed.
            loader = importlib.machinery.ExtensionFileLoader(MODULE, target)
            spec = importlib.util.spec_from_file_location(MODULE, target, loader=loader)
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)
        except Exception as error:  # noqa: BLE001 - any failure only disables the floor
            return None, f"the compiled floor could not be loaded: {error}"
    return module, None
