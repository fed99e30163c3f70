"""Large buffers are reused within a thread (Note [buffer cache]): bounded, and never seen through."""
import gc
import os

import numpy as np
import pytest

from mirel_core import Tensor

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def test_kept_blocks_stay_bounded_over_many_sizes():
    # Hundreds of distinct sizes, each freed at once: a cache without bounds would
    # keep them all (about 300 MiB).
    def churn():
        for i in range(600):
            Tensor(np.ones(16384 + 1024 * i, np.float32)).to_numpy()

    churn()
    gc.collect()
    before = rss()
    churn()
    gc.collect()
    assert rss() - before < 80 << 20


@pytest.mark.parametrize("make", [
    pytest.param(lambda t: t.zeros_like(), id="zeros_like"),
    pytest.param(lambda t: Tensor(np.zeros((512, 0), np.float32)) @ Tensor(np.zeros((0, 512), np.float32)),
                 id="matmul-k0"),
    pytest.param(lambda t: t * 0.0, id="times-zero"),
])
def test_a_reused_block_shows_nothing_of_its_past(make):
    for _ in range(3):
        t = Tensor(np.full((512, 512), 7.0, np.float32))
        del t  # its block goes back for reuse at this size
        out = make(Tensor(np.full((512, 512), 3.0, np.float32))).to_numpy()
        np.testing.assert_array_equal(out, np.zeros((512, 512), np.float32))
