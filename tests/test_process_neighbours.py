"""Living inside someone else's process: no BLAS of ours, no threads of ours, clean interpreter exits."""
import pytest

from conftest import COUNT_THREADS, assert_runs, run_python


def test_import_and_matmul_start_no_threads():
    out = assert_runs(COUNT_THREADS + """
    import numpy as np
    before = threads()
    import mirel_core
    after_import = threads()
    a = mirel_core.Tensor(np.ones((1024, 1024), np.float32))
    b = mirel_core.Tensor(np.ones((512, 512)), dtype="bf16")
    (a @ a, b @ b, a @ a.transpose(0, 1))
    print(before, after_import, threads())
    """)
    before, after_import, after_matmul = map(int, out.split())
    assert before == after_import == after_matmul


def test_environment_asking_for_blas_threads_still_starts_none():
    out = assert_runs(COUNT_THREADS + """
    import os
    os.environ["OPENBLAS_NUM_THREADS"] = "4"
    import numpy as np
    before = threads()
    import mirel_core
    a = mirel_core.Tensor(np.ones((1024, 1024), np.float32))
    a @ a
    print(before, threads(), os.environ["OPENBLAS_NUM_THREADS"])
    """)
    before, after, env = out.split()
    assert before == after and env == "4"


def test_a_blas_loaded_globally_keeps_its_thread_setting():
    scipy_openblas32 = pytest.importorskip("scipy_openblas32")
    out = assert_runs(f"""
    import ctypes, os
    import numpy as np
    path = os.path.join({scipy_openblas32.get_lib_dir()!r}, {scipy_openblas32.get_library(fullname=True)!r})
    lib = ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)
    lib.scipy_openblas_set_num_threads(2)
    import mirel_core
    a = mirel_core.Tensor(np.ones((256, 256), np.float32))
    assert (a @ a).to_numpy()[0, 0] == 256.0
    print(lib.scipy_openblas_get_num_threads())
    """)
    assert out.split() == ["2"]


# Each body runs in four daemon threads while the main thread leaves; every one
# can give up the interpreter inside a call of ours.
DAEMON_BODIES = {
    "construct": "Tensor(np.ones((64, 64)))",
    "export": "big.to_numpy()",
    "operand_float": "small * SlowFloat()",
    "compare_float": "small < SlowFloat()",
    "reshape_index": "small.reshape([SlowIndex(), 2])",
    "bf16_first_use": "Tensor(np.ones((8, 8)), dtype='bf16')",
}

EXIT_PROGRAM = """
import sys, threading, time
import numpy as np
from mirel_core import Tensor

def spin():
    return sum(range(200))

class SlowFloat:
    def __float__(self):
        spin()
        return 2.0

class SlowIndex:
    def __index__(self):
        spin()
        return 2

small = Tensor(np.ones((2, 2), np.float32))
big = Tensor(np.ones((256, 256), np.float32))

def loop():
    while True:
        {body}

for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.1)
sys.exit(3)
"""


@pytest.mark.parametrize("body", DAEMON_BODIES.values(), ids=DAEMON_BODIES.keys())
def test_exit_with_daemon_threads_inside_calls_keeps_the_exit_status(body):
    for _ in range(5):
        proc = run_python(EXIT_PROGRAM.format(body=body), timeout=60)
        assert proc.returncode == 3, proc.stderr[-2000:]
