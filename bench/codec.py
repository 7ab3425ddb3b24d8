"""Waveform codec: compress of a 10-million-sample float64 waveform against the plain NumPy chain,
and decompress against numpy.repeat, measured in the same run.

    python bench/codec.py [SAMPLES]        (default: 10000000)
"""

import sys
import time

import numpy as np

from pelorix.driver.common import instrumentcore as ic


def waveform(samples, seed=7):
    """An arbitrary-waveform-generator pattern: a 14-bit DAC's levels held for stretches of a few
    to a few thousand samples (pulses, steps, idle gaps), with stretches of fast-changing
    samples (ramps) in between."""
    rng = np.random.default_rng(seed)
    levels = np.round(rng.uniform(-1, 1, 1 << 14) * 8191) / 8191
    pieces, total = [], 0
    while total < samples:
        if rng.random() < 0.1:
            piece = np.linspace(rng.uniform(-1, 1), rng.uniform(-1, 1), int(rng.integers(16, 256)))
        else:
            piece = np.full(int(rng.integers(4, 4000)), levels[rng.integers(len(levels))])
        pieces.append(piece)
        total += len(piece)
    return np.concatenate(pieces)[:samples]


def chain(a):
    index = np.r_[0, np.flatnonzero(np.diff(a)) + 1]
    return a[index], np.diff(np.r_[index, len(a)])


def best(f, *args, repeat=9):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        f(*args)
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    a = waveform(samples)
    values, lengths = ic.compress(a)
    want = chain(a)
    assert values.tobytes() == want[0].tobytes() and np.array_equal(lengths, want[1])
    assert values.dtype == want[0].dtype and lengths.dtype == want[1].dtype
    print(f"waveform: {samples} float64 samples in {len(values)} runs")

    baseline, mine = best(chain, a), best(ic.compress, a)
    print(f"compress: baseline (NumPy chain) {baseline * 1e3:.1f} ms, pelorix {mine * 1e3:.1f} ms, "
          f"ratio {baseline / mine:.1f}x")

    assert np.array_equal(ic.decompress(values, lengths), a)
    # interleaved, each side first in turn, so that a slow moment of the machine (or memory the
    # other side just gave back) favours neither
    base_times, mine_times = [], []
    for r in range(21):
        if r % 2:
            base_times.append(best(np.repeat, values, lengths, repeat=1))
        mine_times.append(best(ic.decompress, values, lengths, repeat=1))
        if not r % 2:
            base_times.append(best(np.repeat, values, lengths, repeat=1))
    baseline, mine = min(base_times), min(mine_times)
    print(f"decompress: baseline (numpy.repeat) {baseline * 1e3:.1f} ms, "
          f"pelorix {mine * 1e3:.1f} ms, ratio {baseline / mine:.2f}x")


if __name__ == "__main__":
    main()
