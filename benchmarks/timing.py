"""Timing helpers shared by the benchmarks: medians per call, never single times."""

import statistics
import time
import timeit

REPEAT = 7


def median_seconds_side_by_side(*cases, repeat=REPEAT):
    """Median seconds per execution of each (statement, names) case, their repeats
    taken in turn so that a busy moment on the machine hits every case alike."""
    timers = [timeit.Timer(stmt, globals=names) for stmt, names in cases]
    numbers = [timer.autorange()[0] for timer in timers]
    samples = [[] for _ in timers]
    for _ in range(repeat):
        for timer, number, out in zip(timers, numbers, samples):
            out.append(timer.timeit(number) / number)
    return [statistics.median(s) for s in samples]


def loops_for(fn, min_sample_seconds):
    """Calls per sample so that one sample lasts at least min_sample_seconds."""
    fn()
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= min_sample_seconds:
            return loops
        loops *= max(2, min(10, int(min_sample_seconds / max(elapsed, 1e-9))))


def median_times(*fns, samples=15, min_sample_seconds=0.02):
    """Median seconds per call of each function, sampled alternately so that a
    busy moment on the machine hits all of them alike. The order turns by one
    each round, so no function always follows the same one (and finds the
    caches as that one left them)."""
    loops = [loops_for(fn, min_sample_seconds) for fn in fns]
    times = [[] for _ in fns]
    for round_ in range(samples):
        for i in range(len(fns)):
            k = (i + round_) % len(fns)
            fn, n = fns[k], loops[k]
            start = time.perf_counter()
            for _ in range(n):
                fn()
            times[k].append((time.perf_counter() - start) / n)
    return [statistics.median(t) for t in times]


def print_ratio_table(cases, width=30):
    """Times each (name, ours, reference, label, target) case side by side and prints
    both medians, the ratio and its target, flagging a missed one; returns the misses."""
    print(f"{'case':{width}} {'ours':>11} {'reference':>11}  {'ref':10} {'ratio':>6} {'target':>7}")
    missed = 0
    for name, ours, ref, label, target in cases:
        a, b = median_seconds_side_by_side(ours, ref)
        ratio = a / b
        flag = ""
        if target is not None and ratio > target:
            flag, missed = "  MISSED", missed + 1
        target_text = f"<={target}" if target is not None else "info"
        print(f"{name:{width}} {a * 1e6:9.2f}us {b * 1e6:9.2f}us  {label:10} {ratio:6.2f} {target_text:>7}{flag}")
    print(f"{missed} target(s) missed")
    return missed


def ratio_text(ours, theirs, target):
    """Their time, our ratio to it and the verdict against target (None: no verdict); "skipped" without theirs."""
    if theirs is None:
        return f"{'skipped':>9}"
    r = ours / theirs
    verdict = "" if target is None else f" (<= {target} {'ok' if r <= target else 'MISSED'})"
    return f"{1e3 * theirs:7.3f} ms  ratio {r:5.2f}{verdict}"
