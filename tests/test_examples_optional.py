"""Every example's --help works without the optional packages, and an example that needs one says which."""
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
OPTIONAL = ["ray", "sklearn", "matplotlib", "torch"]

# Runs an example as a script with the optional packages made unimportable.
RUNNER = """
import importlib.abc, runpy, sys
class Block(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in {blocked!r}:
            raise ImportError(f"No module named {{name!r}} (blocked)")
sys.meta_path.insert(0, Block())
sys.path.insert(0, {examples!r})
sys.argv = [{script!r}] + {args!r}
runpy.run_path({script!r}, run_name="__main__")
"""


def run(name, *args):
    script = str(EXAMPLES / name)
    code = RUNNER.format(blocked=OPTIONAL, examples=str(EXAMPLES), script=script, args=list(args))
    flags = ["-P"] if sys.flags.safe_path else []
    return subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True, timeout=120)


@pytest.mark.skipif(not EXAMPLES.exists(), reason="the examples are not beside the tests")
@pytest.mark.parametrize("name", ["demo.py", "classify.py", "data_parallel.py", "char_lm.py"])
def test_help_needs_no_optional_package(name):
    proc = run(name, "--help")
    assert proc.returncode == 0, proc.stderr
    assert "usage:" in proc.stdout


@pytest.mark.skipif(not EXAMPLES.exists(), reason="the examples are not beside the tests")
@pytest.mark.parametrize("name, args, needs", [
    ("data_parallel.py", [], "pip install 'mirel_core[distributed]'"),
    ("classify.py", ["--epochs", "1"], "pip install scikit-learn"),
    ("classify.py", ["--reference", "torch"], "pip install torch"),
    ("char_lm.py", ["--steps", "1", "--reference", "torch"], "pip install torch"),
])
def test_an_example_without_its_package_says_what_to_install(name, args, needs):
    proc = run(name, *args)
    assert proc.returncode != 0 and "Traceback" not in proc.stderr
    assert needs in proc.stderr
