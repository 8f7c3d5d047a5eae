"""Eight threads on shared arrays for a bounded time: every result must be one
that some serial order of the same calls could give.

`equal` only ever holds one value, 3.0 (appends add more of it), so any read
of it is determined by its length at that moment. `perm` is only reordered
in place, so it stays a permutation of its first contents and its sum never
changes. `flip` is scaled by -1, so all its elements stay equal to each other.
Appending to `equal` may fail with BufferError while another thread holds a
view of it (inside a callback): that is allowed. The appending threads also
pop, so that the reads stay short.
"""

import sys
import threading
import time
import traceback
from array import array

import telvaran as tv

SECONDS = 2.0
VALUE = 3.0
N = 64
M = 200


def check_equal_reads(equal, lazy, shared_iterator):
    length = tv.sum(equal) / VALUE
    assert length == int(length) and length >= N
    assert tv.mean(equal) == VALUE and tv.min(equal) == VALUE and tv.max(equal) == VALUE
    assert tv.median(equal) == VALUE and tv.var(equal) == 0.0
    assert list(tv.unique(equal)) == [VALUE]
    assert set(tv.map(equal, lambda x: x)) == {VALUE}
    assert set(tv.filter(equal, lambda x: True)) == {VALUE}
    assert tv.reduce(equal, lambda acc, x: acc + x, initial=0.0) % VALUE == 0.0
    iterator = tv.array_iterator(equal)
    try:
        assert set(iterator) == {VALUE}
    except IndexError:  # an appending thread popped between creation and the last step
        pass
    try:
        assert set(lazy.collect()) == {VALUE}
    except RuntimeError as exc:  # another thread is evaluating it: its callable let this one run
        assert str(exc) == "Already borrowed"
    try:
        assert next(shared_iterator, VALUE) == VALUE
    except RuntimeError:  # another thread is advancing it
        pass


def check_permutation_ops(perm, total):
    (tv.sort if time.perf_counter_ns() % 2 else tv.reverse)(perm)
    assert tv.sum(perm) == total
    assert sorted(tv.unique(perm)) == list(range(M))


def check_flip(flip):
    tv.scale(flip, -1.0)
    assert len(set(tv.map(flip, lambda x: x))) == 1
    assert abs(tv.sum(flip)) == VALUE * N


def test_eight_threads_give_serial_results():
    equal = array("d", [VALUE] * N)
    perm = array("i", [(k * 37) % M for k in range(M)])
    flip = array("d", [VALUE] * N)
    total = M * (M - 1) // 2
    lazy = tv.lazy_array(equal).map(lambda x: x)
    shared_iterator = tv.array_iterator(array("d", [VALUE] * 100000))
    appended, refused, failures = [0], [0], []
    resized = threading.Event()
    deadline = time.monotonic() + SECONDS

    def reader():
        check_equal_reads(equal, lazy, shared_iterator)

    def appender():
        try:
            if len(equal) < 2 * N:
                equal.append(VALUE)
                appended[0] += 1
                resized.set()
            else:
                equal.pop()
                appended[0] -= 1
        except BufferError:  # a view of it is held inside a callback
            refused[0] += 1
        check_equal_reads(equal, lazy, shared_iterator)

    def worker(step):
        try:
            while time.monotonic() < deadline:
                step()
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    steps = [reader, reader, appender, appender,
             lambda: check_permutation_ops(perm, total), lambda: check_permutation_ops(perm, total),
             lambda: check_flip(flip), lambda: check_permutation_ops(perm, total)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(step,)) for step in steps]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=60)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads)
    assert not failures, "".join(traceback.format_exception(failures[0]))
    assert len(equal) == N + appended[0] and set(equal) == {VALUE}
    assert sorted(perm) == list(range(M))
    assert resized.is_set()
    assert len(set(flip)) == 1 and abs(flip[0]) == VALUE
