"""Every ```python block in docs/*.md runs as written, each in a fresh interpreter in an empty directory."""
import re
from pathlib import Path

import pytest

from conftest import run_python

DOCS = Path(__file__).resolve().parent.parent / "docs"
BLOCKS = [(f"{path.name}:{text[:m.start()].count(chr(10)) + 1}", m.group(1))
          for path in sorted(DOCS.glob("*.md")) for text in [path.read_text()]
          for m in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M)]


def test_the_docs_have_python_blocks():
    if not DOCS.exists():
        pytest.skip("the docs are not beside the tests")
    assert len(BLOCKS) >= 4


@pytest.mark.parametrize("where, code", BLOCKS, ids=[w for w, _ in BLOCKS])
def test_docs_block_runs(where, code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # blocks may write files (checkpoints)
    proc = run_python(code)
    assert proc.returncode == 0, f"{where}\n{code}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
