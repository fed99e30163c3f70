"""Helpers shared by the test files."""
import os
import subprocess
import sys
import textwrap

import pytest

from mirel_core import Tensor


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter (same flags and environment); returns the CompletedProcess."""
    flags = ["-P"] if sys.flags.safe_path else []
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=os.environ.copy(),
    )


# For assert_runs: threads() counts the threads of the process.
COUNT_THREADS = """
    import os
    def threads():
        return len(os.listdir("/proc/self/task"))
"""


def assert_runs(code, timeout=120):
    """Runs code in a fresh interpreter and fails with its output unless it exits cleanly."""
    proc = run_python(code, timeout)
    assert proc.returncode == 0, f"stdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc.stdout


def _under_address_sanitizer():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


UNDER_ASAN = _under_address_sanitizer()
RESIDENT_MEMORY_HELPERS = {"rss", "growth", "resident_bytes"}


def pytest_collection_modifyitems(config, items):
    """Resident-memory checks mean nothing under AddressSanitizer, whose quarantine grows memory by design."""
    if not UNDER_ASAN:
        return
    skip = pytest.mark.skip(reason="resident memory grows by design under AddressSanitizer")
    for item in items:
        code = getattr(getattr(item, "function", None), "__code__", None)
        if code is None:
            continue
        # A check may also run in a child interpreter, from source that reads /proc/self/statm.
        in_child = any(isinstance(c, str) and "/proc/self/statm" in c for c in code.co_consts)
        if RESIDENT_MEMORY_HELPERS & set(code.co_names) or in_child:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def panic_exception():
    """The module's PanicException class (it is not exported; caught from a known internal error)."""
    try:
        Tensor([[1.0]]).transpose(0, 5)
    except BaseException as e:  # noqa: B036 - the class is what we are after
        return type(e)
    pytest.fail("transpose with an axis out of range did not raise")
