"""The floor: the least a native loop over a buffer can cost from Python.

Bare C functions that acquire the argument's buffer, run one loop over it
and release the buffer, with no argument binding, no type recognition
beyond the buffer's own format and no checks:

- ``sum(buf)``: the doubles added left to right with one accumulator, the
  same work as a float64 ``sum`` of a short array; the per-call floor.
- ``read(buf)``: every 64-bit word of the memory added into eight
  independent integer accumulators (the trailing bytes one at a time); no
  addition waits for another, so at large sizes this runs at the speed the
  memory delivers data: the bandwidth floor of any one-pass reduction.
- ``sqdev(buf, mean)``: ``s += (x - mean) * (x - mean)`` one element at a
  time in element order, in double precision, for the formats b, B, h, i,
  l, L, f and d: the ordered loop of a variance, whose floor is one
  addition's latency per element.

They are compiled here, at benchmark time, with the interpreter's own C
compiler (at -O2, which never reorders floating-point additions) into a
temporary directory and loaded from there, so the benchmark needs nothing
beyond a compiler and the Python headers.
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
#include <string.h>

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

static inline unsigned long long load_word(const unsigned char *p) {
    unsigned long long w;
    memcpy(&w, p, sizeof w);  /* any alignment; compiles to one load */
    return w;
}

static PyObject *floor_read(PyObject *self, PyObject *arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_FULL_RO) < 0)
        return NULL;
    const unsigned char *bytes = (const unsigned char *)view.buf;
    Py_ssize_t words = view.len / 8;
    unsigned long long a0 = 0, a1 = 0, a2 = 0, a3 = 0, a4 = 0, a5 = 0, a6 = 0, a7 = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= words; i += 8) {
        const unsigned char *p = bytes + 8 * i;
        a0 += load_word(p);
        a1 += load_word(p + 8);
        a2 += load_word(p + 16);
        a3 += load_word(p + 24);
        a4 += load_word(p + 32);
        a5 += load_word(p + 40);
        a6 += load_word(p + 48);
        a7 += load_word(p + 56);
    }
    for (; i < words; i++)
        a0 += load_word(bytes + 8 * i);
    for (Py_ssize_t b = 8 * words; b < view.len; b++)
        a1 += bytes[b];
    PyBuffer_Release(&view);
    return PyLong_FromUnsignedLongLong(a0 + a1 + a2 + a3 + a4 + a5 + a6 + a7);
}

#define ORDERED_SQDEV(type)                                   \
    do {                                                      \
        const type *xs = (const type *)view.buf;              \
        Py_ssize_t n = view.len / (Py_ssize_t)sizeof(type);   \
        for (Py_ssize_t i = 0; i < n; i++) {                  \
            double d = (double)xs[i] - mean;                  \
            total += d * d;                                   \
        }                                                     \
    } while (0)

static PyObject *floor_sqdev(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "sqdev(buffer, mean)");
        return NULL;
    }
    double mean = PyFloat_AsDouble(args[1]);
    if (mean == -1.0 && PyErr_Occurred())
        return NULL;
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_FULL_RO) < 0)
        return NULL;
    const char *format = view.format ? view.format : "B";
    if (*format == '<' || *format == '=' || *format == '@')
        format++;
    double total = 0.0;
    switch (*format) {
    case 'b': ORDERED_SQDEV(signed char); break;
    case 'B': ORDERED_SQDEV(unsigned char); break;
    case 'L': ORDERED_SQDEV(unsigned long); break;
    case 'h': ORDERED_SQDEV(short); break;
    case 'i': ORDERED_SQDEV(int); break;
    case 'l': ORDERED_SQDEV(long); break;
    case 'f': ORDERED_SQDEV(float); break;
    case 'd': ORDERED_SQDEV(double); break;
    default:
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_TypeError, "sqdev: unsupported format '%s'", view.format);
        return NULL;
    }
    PyBuffer_Release(&view);
    return PyFloat_FromDouble(total);
}

static PyMethodDef methods[] = {
    {"sum", floor_sum, METH_O, "Sum of the doubles in a buffer, left to right."},
    {"read", floor_read, METH_O, "Sum of the buffer's 64-bit words, eight independent chains."},
    {"sqdev", (PyCFunction)(void (*)(void))floor_sqdev, METH_FASTCALL,
     "Sum of (x - mean)**2 over the buffer's elements, in element order."},
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
