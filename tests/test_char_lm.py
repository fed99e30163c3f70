"""examples/char_lm.py, shortened: a few steps train, the held-out loss falls, and everything it writes is there."""
import importlib.util
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "char_lm.py"


@pytest.mark.skipif(not EXAMPLE.exists(), reason="the examples are not beside the tests")
@pytest.mark.parametrize("dtype", ["f32", "bf16"])
def test_a_short_run_learns_and_writes_its_checkpoint(tmp_path, dtype):
    found = importlib.util.spec_from_file_location("char_lm", EXAMPLE)
    char_lm = importlib.util.module_from_spec(found)
    found.loader.exec_module(char_lm)
    out = tmp_path / "run"
    result = char_lm.main(["--steps", "40", "--layers", "1", "--width", "32", "--heads", "2", "--eval-every", "20",
                           "--eval-batches", "2", "--sample", "20", "--warmup", "5", "--lr", "5e-3", "--dtype", dtype, "--out", str(out), "--quiet"])
    assert result["held_out"] < 4.0  # ln(104) = 4.64 before training
    assert (tmp_path / "run.safetensors").exists() and len(result["sample"]) == 16 + 20
