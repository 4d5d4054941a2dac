"""Recordings in object storage, against a local S3-API server (weed mini on
loopback, started and stopped here), each figure beside what the server
itself takes for the same bytes, by turns in one run:

- read() of a 128 MiB recording against fs.cat_file of the object;
- the open of 1,000 recordings of 16 x 1,000 (open_mfdataset of a glob)
  against one concurrent fs.cat_ranges of their first 4 KiB;
- the maximum over time of 100 recordings of 16 x 100,000 against a loop of
  fs.cat_file and np.frombuffer doing the same work;
- isel(time=[0, -1]) of a 1 GiB recording: the ranges and bytes fetched;
- the peak memory of the read of a maximum over one recording of 256 MiB
  and of 1 GiB (above the open, which holds the time index);
- the server's own time for a 64 KiB range.

    python remote_bench.py MORVELA_SYNTH DATA_DIR [RUNS]
"""

import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python", "tests"))

import numpy as np  # noqa: E402
import s3fs  # noqa: E402
import s3server  # noqa: E402

import morvela  # noqa: E402
import morvela._remote as remote  # noqa: E402

# The peak of the read alone (VmHWM, reset after the open, which holds the
# time index, 8 bytes a row): a child's ru_maxrss never falls below what
# its parent held when it started it.
_PEAK = """
import sys, morvela, xarray, dask.array
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))
ds = morvela.open_mfdataset([sys.argv[1]], storage_options={options!r})
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
held = status("VmRSS")
ds["signal"].max("time").compute()
print(status("VmHWM") - held)
"""


def synth(synth_binary, directory, name, *options):
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        subprocess.run([synth_binary, *options, name], cwd=directory, check=True)
    return path


def median_time(call, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def by_turns(calls, runs):
    times = [[] for _ in calls]
    for _ in range(runs):
        for k, call in enumerate(calls):
            start = time.perf_counter()
            call()
            times[k].append(time.perf_counter() - start)
    return [statistics.median(t) for t in times]


def main():
    synth_binary, directory = sys.argv[1:3]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    os.makedirs(directory, exist_ok=True)
    big = synth(synth_binary, directory, "remote-128m.dat", "-i", "16", "-n", "4194304")
    huge = synth(synth_binary, directory, "remote-1g.dat", "-i", "16", "-n", "33554432")
    quarter = synth(synth_binary, directory, "remote-256m.dat", "-i", "16", "-n", "8388608")
    small = synth(synth_binary, directory, "remote-small.dat", "-i", "16", "-n", "1000")
    mid = [synth(synth_binary, directory, f"remote-mid-{k:03d}.dat", "-i", "16", "-n", "100000",
                 "--seed", str(k + 1)) for k in range(100)]
    folder = os.path.join(directory, "s3-server")
    os.makedirs(folder, exist_ok=True)
    with s3server.serve(folder) as options:
        fs = s3fs.S3FileSystem(**options)
        root = "recordings/bench"
        for path in (big, huge, quarter):
            fs.put_file(path, f"{root}/{os.path.basename(path)}")
        fs.put(mid, f"{root}/mid/")
        fs.put_file(small, f"{root}/small/r0000.dat")
        for k in range(1, 1000):
            fs.copy(f"{root}/small/r0000.dat", f"{root}/small/r{k:04d}.dat")
        url = f"s3://{root}"

        range_64k = median_time(lambda: fs.cat_file(f"{root}/remote-128m.dat", start=0,
                                                    end=64 << 10), max(runs, 9))

        def read_big():
            with morvela.open(f"{url}/remote-128m.dat", storage_options=options) as rec:
                rec.read()

        read_t, cat_t = by_turns([read_big, lambda: fs.cat_file(f"{root}/remote-128m.dat")],
                                 runs)
        smalls = sorted(fs.glob(f"{root}/small/*.dat"))

        def open_many():
            morvela.open_mfdataset(f"{url}/small/*.dat", storage_options=options)

        open_t, ranges_t = by_turns(
            [open_many, lambda: fs.cat_ranges(smalls, [0] * len(smalls), [4096] * len(smalls))],
            runs)
        mids = sorted(fs.glob(f"{root}/mid/*.dat"))
        offset = 248 + 96 * 16

        def loop_max():
            for path in mids:
                data = fs.cat_file(path)
                np.frombuffer(data, ">i2", offset=offset).reshape(-1, 16).max(axis=0)

        def ours_max():
            ds = morvela.open_mfdataset(f"{url}/mid/*.dat", storage_options=options)
            ds["signal"].max("time").compute()

        ours_t, loop_t = by_turns([ours_max, loop_max], runs)

        fetched = []
        real = remote.fetch

        def counting(fs_, paths, starts, ends, *rest):
            fetched.extend(e - s for s, e in zip(starts, ends) if e > s)
            return real(fs_, paths, starts, ends, *rest)

        import xarray as xr

        ds = xr.open_dataset(f"{url}/remote-1g.dat", engine="morvela", storage_options=options)
        remote.fetch = counting
        try:
            ds["signal"].isel(time=[0, -1]).load()
        finally:
            remote.fetch = real
        peaks = []
        for name in ("remote-256m.dat", "remote-1g.dat"):
            done = subprocess.run([sys.executable, "-c", _PEAK.format(options=options),
                                   f"{url}/{name}"], check=True, capture_output=True, text=True)
            peaks.append(int(done.stdout) / 1024)

    print(f"medians of {runs}, by turns; the server's own 64 KiB range: {range_64k * 1e3:.2f} ms")
    print(f"  read() of 128 MiB {read_t:.3f} s, fs.cat_file {cat_t:.3f} s ({read_t / cat_t:.2f} x)")
    print(f"  open of 1,000 of 16 x 1,000 {open_t:.3f} s, one cat_ranges of 4 KiB each "
          f"{ranges_t:.3f} s ({open_t / ranges_t:.2f} x)")
    print(f"  max over 100 of 16 x 100,000 {ours_t:.3f} s, loop of cat_file and frombuffer "
          f"{loop_t:.3f} s ({ours_t / loop_t:.2f} x)")
    print(f"  isel(time=[0, -1]) of 1 GiB: {len(fetched)} ranges, {sum(fetched)} bytes")
    print(f"  peak of the read of a maximum, above the open: {peaks[0]:.0f} MiB for 256 MiB, "
          f"{peaks[1]:.0f} MiB for 1 GiB")
    checks = [
        (f"read / cat_file {read_t / cat_t:.2f} <= 1.25", read_t <= 1.25 * cat_t),
        (f"open / cat_ranges {open_t / ranges_t:.2f} <= 2", open_t <= 2 * ranges_t),
        (f"max / loop {ours_t / loop_t:.2f} <= 1.5", ours_t <= 1.5 * loop_t),
        (f"isel: {len(fetched)} ranges <= 2, {sum(fetched)} bytes <= 2 MiB",
         len(fetched) <= 2 and sum(fetched) <= 2 << 20),
        (f"peak grows {peaks[1] - peaks[0]:.0f} MiB with 4 x the object (<= 64 MiB)",
         peaks[1] - peaks[0] <= 64),
    ]
    for text, met in checks:
        print(f"  {'met' if met else 'MISSED'}: {text}")


if __name__ == "__main__":
    main()
