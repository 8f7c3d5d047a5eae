"""The parallel recipes of the README: shown there as they are, and right when run.

Each recipe checks its own results against numpy's on the same data; here
it runs as a script in a process of its own, as a reader would run it, on a
small array.
"""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
RECIPES = ROOT / "docs" / "recipes"


@pytest.mark.parametrize("recipe, needs", [
    ("process_pool.py", ["np"]),
    ("dask_cluster.py", ["np", "distributed"]),
])
def test_recipe_is_in_the_readme_and_runs(recipe, needs, request, tmp_path):
    text = (RECIPES / recipe).read_text()
    assert f"```python\n{text}```" in (ROOT / "README.md").read_text(), f"the README's copy of {recipe} differs"
    for fixture in needs:
        request.getfixturevalue(fixture)
    # Odd chunks of an odd count, so that numpy's medians are middle elements too.
    done = subprocess.run([sys.executable, str(RECIPES / recipe), "35_007", "7"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "median of 7 chunk medians: " in done.stdout
