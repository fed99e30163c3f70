"""The demo trains its network in every floating element type and still learns."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"


@pytest.mark.skipif(not DEMO.exists(), reason="the examples are not beside the tests")
@pytest.mark.parametrize("dtype", ["bf16", "f16"])
def test_demo_learns_in_half_precision(dtype):
    flags = ["-P"] if sys.flags.safe_path else []
    proc = subprocess.run([sys.executable, *flags, str(DEMO), "--dtype", dtype], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert f"in {dtype};" in proc.stdout
    accuracy = float(re.search(r"final training accuracy: ([\d.]+)%", proc.stdout).group(1))
    assert accuracy > 90.0
