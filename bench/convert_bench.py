"""Reports of many recordings: `python3 -m morvela convert --jobs 2` against
`xargs -0 -P 2 -n 1 Morvela` on the same files, by turns, each round into
fresh reports after `sync`; and the peak memory of a batch's worker
processes for a short and a long recording.

    python convert_bench.py MORVELA MORVELA_SYNTH DATA_DIR [RUNS]
"""

import os
import shutil
import statistics
import subprocess
import sys
import time

from python_bench import synth


def copies(source, folder, count):
    """`count` copies of `source` in `folder` (rNNNNN.dat), no report beside."""
    os.makedirs(folder, exist_ok=True)
    names = [f"r{k:05d}.dat" for k in range(count)]
    for name in names:
        if not os.path.exists(os.path.join(folder, name)):
            shutil.copyfile(source, os.path.join(folder, name))
    return names


def fresh(folder):
    for name in os.listdir(folder):
        if name.endswith(".txt"):
            os.unlink(os.path.join(folder, name))
    subprocess.run(["sync"], check=True)


def timed(command, folder, **options):
    fresh(folder)
    start = time.perf_counter()
    subprocess.run(command, cwd=folder, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, **options)
    return time.perf_counter() - start


def by_turns(morvela, folder, names, runs):
    """Median seconds of xargs and of the batch, run by turns."""
    xargs = f"printf '%s\\0' *.dat | xargs -0 -P 2 -n 1 {morvela}"
    batch = [sys.executable, "-m", "morvela", "convert", *names, "--jobs", "2"]
    times = {"xargs": [], "batch": []}
    for _ in range(runs):
        times["xargs"].append(timed(xargs, folder, shell=True))
        times["batch"].append(timed(batch, folder))
    return statistics.median(times["xargs"]), statistics.median(times["batch"])


_PEAK = """
import resource, sys, morvela
outcomes = morvela.convert_batch(sys.argv[1:], jobs=2)
assert all(o.error is None for o in outcomes), outcomes
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def worker_peak(paths):
    """The largest peak resident memory (KiB) of the batch's workers."""
    done = subprocess.run([sys.executable, "-c", _PEAK, *paths], check=True,
                          capture_output=True, text=True)
    return int(done.stdout)


def main():
    morvela, synth_binary, directory = sys.argv[1:4]
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    runs = max(1, min(runs, 3))  # a round of the 10,000 writes 1.2 GB twice
    small = synth(synth_binary, directory, "convert-small.dat", "-i", "16", "-n", "1000")
    folder_10k = os.path.join(directory, "convert-10k")
    names_10k = copies(small, folder_10k, 10_000)
    big = synth(synth_binary, directory, "convert-double.dat", "-t", "double", "-i", "16",
                "-n", "500000")
    folder_8 = os.path.join(directory, "convert-8")
    names_8 = copies(big, folder_8, 8)

    xargs_10k, batch_10k = by_turns(morvela, folder_10k, names_10k, runs)
    xargs_8, batch_8 = by_turns(morvela, folder_8, names_8, runs)
    report_bytes = sum(os.path.getsize(os.path.join(folder_8, n[:-4] + ".txt")) for n in names_8)
    fresh(folder_10k)
    fresh(folder_8)

    short = synth(synth_binary, directory, "convert-peak-short.dat", "-t", "double",
                  "-i", "16", "-n", "50000")
    long = synth(synth_binary, directory, "convert-peak-long.dat", "-t", "double",
                 "-i", "16", "-n", "2000000")
    peak_dir = os.path.join(directory, "convert-peak")
    peaks = []
    for source in (short, long):
        shutil.rmtree(peak_dir, ignore_errors=True)
        peaks.append(worker_peak([os.path.join(peak_dir, n) for n in copies(source, peak_dir, 2)]))
    shutil.rmtree(peak_dir, ignore_errors=True)

    print(f"medians of {runs} rounds, by turns, --jobs 2 against xargs -P 2:")
    print(f"  10,000 x (16 x 1,000 short): xargs {xargs_10k:.2f} s, "
          f"convert {batch_10k:.2f} s ({batch_10k / xargs_10k:.2f} x)")
    print(f"  8 x (16 x 500,000 double), {report_bytes / 1e6:.0f} MB of reports: "
          f"xargs {report_bytes / xargs_8 / 1e6:.0f} MB/s, "
          f"convert {report_bytes / batch_8 / 1e6:.0f} MB/s ({xargs_8 / batch_8:.2f} x)")
    print(f"  a worker's peak: {peaks[0] / 1024:.1f} MiB for 16 x 50,000 double, "
          f"{peaks[1] / 1024:.1f} MiB for 16 x 2,000,000")
    checks = [
        (f"10,000: convert / xargs {batch_10k / xargs_10k:.2f} <= 0.5",
         batch_10k <= 0.5 * xargs_10k),
        (f"8 double: throughput convert / xargs {xargs_8 / batch_8:.2f} >= 0.95",
         xargs_8 / batch_8 >= 0.95),
        (f"worker peak grows {(peaks[1] - peaks[0]) / 1024:.1f} MiB with 40 x the rows "
         "(<= 2 MiB)", peaks[1] - peaks[0] <= 2048),
    ]
    for text, met in checks:
        print(f"  {'met' if met else 'MISSED'}: {text}")


if __name__ == "__main__":
    main()
