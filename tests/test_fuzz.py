"""A seeded fuzz run (tests/fuzz/harness.py) of every function and both
classes: each call ends in a result or an exception, never in a crash, an
internal failure or a buffer left exported. It runs in a child process, so
that a crash fails this test instead of ending the run."""

import json
import os
import subprocess
import sys

import pytest

HARNESS = os.path.join(os.path.dirname(__file__), "fuzz", "harness.py")
CALLS = 6000


@pytest.mark.parametrize("seeds", [[1, 2], [3, 4]])
def test_fuzzed_calls_end_in_a_result_or_an_exception(seeds):
    done = subprocess.run([sys.executable, HARNESS, "--calls", str(CALLS), "--child", *map(str, seeds)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]
    report = json.loads(done.stdout.strip().splitlines()[-1])
    assert report["faults"] == []
    outcomes = report["outcomes"]
    assert sum(outcomes.values()) == CALLS * len(seeds)
    # The run reaches the operations' work as well as their refusals.
    assert outcomes["ok"] > CALLS * len(seeds) // 5
    assert {"TypeError", "ValueError", "BufferError", "FuzzBaseError"} <= outcomes.keys()
