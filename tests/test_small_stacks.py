"""Large inputs on threads with Python's smallest stack, 32 KiB.

Every operation that works over a whole array runs there, directly and from
inside callbacks nested two deep (a callback of map calling map, whose
callback runs the operation), in a child process, so that a stack overflow
shows as that process dying rather than as the test run ending.
"""

import subprocess
import sys

import pytest

from conftest import TYPECODES

SCRIPT = r"""
import sys, threading
from array import array
import telvaran as tv

typecode, nested = sys.argv[1], sys.argv[2] == "nested"
n = 1 << 17
values = [(k * 7919) % 127 for k in range(n)]
a = array(typecode, values)
b = array(typecode, values)
small = array(typecode, [1, 2])

def whole_array_operations():
    for op in (tv.sum, tv.mean, tv.min, tv.max, tv.var, tv.std, tv.median, tv.unique):
        op(a)
    tv.add(a, b)
    tv.multiply(a, b)
    tv.sort(b)
    tv.reverse(b)
    tv.scale(b, 1.0)
    tv.clip(b, 0, 100)
    tv.slice(a, 1, 5)
    tv.map_inplace(small, lambda x: x)
    tv.reduce(small, lambda x, y: x)
    tv.filter(small, lambda x: True)
    list(tv.lazy_array(small).map(lambda x: x))
    if typecode in "fd":
        tv.normalize(b)

def nested_twice():
    def inner(x):
        whole_array_operations()
        return x
    def outer(x):
        tv.map(array(typecode, [1]), inner)
        return x
    tv.map(array(typecode, [1]), outer)

failures = []
def run():
    try:
        (nested_twice if nested else whole_array_operations)()
    except BaseException as exc:
        failures.append(exc)

threading.stack_size(32768)
thread = threading.Thread(target=run)
thread.start()
thread.join()
if failures:
    raise failures[0]
print("ok")
"""


@pytest.mark.parametrize("nested", ["direct", "nested"])
@pytest.mark.parametrize("typecode", TYPECODES)
def test_operations_fit_in_the_smallest_thread_stack(typecode, nested):
    done = subprocess.run([sys.executable, "-P", "-c", SCRIPT, typecode, nested],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "ok"
