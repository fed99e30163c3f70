"""The digits classifier trains end to end in every floating element type, short runs."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "classify.py"


@pytest.mark.skipif(not EXAMPLE.exists(), reason="the examples are not beside the tests")
@pytest.mark.parametrize("dtype", ["f32", "bf16", "f16"])
def test_classifier_learns_the_digits(dtype, tmp_path):
    pytest.importorskip("sklearn")
    flags = ["-P"] if sys.flags.safe_path else []
    plot = tmp_path / "curves.png"
    proc = subprocess.run([sys.executable, *flags, str(EXAMPLE), "--dtype", dtype, "--epochs", "4",
                           "--plot", str(plot)], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert "epoch   4/4 [####################]" in proc.stdout
    accuracy = float(re.search(r"test accuracy ([\d.]+)%", proc.stdout).group(1))
    assert accuracy > 90.0
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "no plot" in proc.stdout
    else:
        assert plot.stat().st_size > 0
