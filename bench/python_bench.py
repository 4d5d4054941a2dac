#!/usr/bin/python3
"""make bench, Python part: the morvela package on the long "short" workload
(16 inputs x 4,000,000 samples) against numpy's and pandas' own readers.

    PYTHONPATH=build/python bench/python_bench.py MORVELA DIR [RUNS]

Prints the medians of read() and of np.fromfile(..., '>i2').astype('=i2')
on the same bytes, pandas.read_csv of the Morvela report (once), the plot
of all 64 million values, and each one's peak memory above the start,
measured in a fresh process (ru_maxrss)."""

import os
import statistics
import subprocess
import sys
import time

CHILD = r"""
import resource, sys, time
import numpy as np
what, path = sys.argv[1], sys.argv[2]
import morvela
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
if what == "read":
    with morvela.open(path) as rec:
        values = rec.read()
elif what == "fromfile":
    inputs = 16
    values = np.fromfile(path, dtype=">i2", offset=248 + 96 * inputs)
    values = values.astype("=i2").reshape(-1, inputs)
elif what == "read_csv":
    import pandas as pd
    values = pd.read_csv(path, sep=";", skiprows=10, index_col=0)
elif what == "plot":
    import matplotlib
    matplotlib.use("Agg")
    with morvela.open(path) as rec:
        rec.plot(path + ".png")
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(seconds, (peak - before) / 1024)
"""


def measure(what, path, runs):
    results = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", CHILD, what, path],
                             check=True, capture_output=True, text=True).stdout
        results.append(tuple(map(float, out.split())))
    return (statistics.median(r[0] for r in results),
            max(r[1] for r in results))


def main():
    morvela, directory = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 9
    dat = os.path.join(directory, "short-4x.dat")
    txt = os.path.join(directory, "short-4x.txt")
    if not os.path.exists(txt):
        subprocess.run([morvela, "short-4x.dat"], cwd=directory, check=True,
                       capture_output=True)
    array_mib = 16 * 4_000_000 * 2 / 2**20
    # By turns, so that the machine's drift weighs on both alike.
    pairs = [(measure("read", dat, 1), measure("fromfile", dat, 1))
             for _ in range(runs)]
    read = (statistics.median(p[0][0] for p in pairs),
            max(p[0][1] for p in pairs))
    fromfile = (statistics.median(p[1][0] for p in pairs),
                max(p[1][1] for p in pairs))
    read_csv = measure("read_csv", txt, 1)
    plot = measure("plot", dat, 3)
    print(f"16 x 4,000,000 short ({array_mib:.0f} MiB as an array)")
    print(f"{'':28} {'median s':>9} {'peak MiB':>9}")
    for name, (s, mib) in [("Recording.read()", read),
                           ("np.fromfile().astype()", fromfile),
                           ("pandas.read_csv(report)", read_csv),
                           ("Recording.plot()", plot)]:
        print(f"{name:28} {s:9.3f} {mib:9.1f}")
    ok = True
    for label, good in [
            (f"read() / fromfile {read[0] / fromfile[0]:.2f} <= 1.5",
             read[0] <= 1.5 * fromfile[0]),
            (f"read_csv / read() {read_csv[0] / read[0]:.0f} >= 50",
             read_csv[0] >= 50 * read[0]),
            (f"read() peak {read[1]:.0f} MiB <= array + 16",
             read[1] <= array_mib + 16)]:
        print(("  met: " if good else "  missed: ") + label)
        ok = ok and good
    os.remove(txt)
    os.remove(dat + ".png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
