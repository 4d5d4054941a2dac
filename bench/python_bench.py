"""make bench, Python part: the morvela package on the long "short" workload
(16 inputs x 4,000,000 samples) against numpy's and pandas' own readers,
the exports, the xarray engine and a dask.distributed cluster.

    build/venv/bin/python bench/python_bench.py MORVELA SYNTH DIR [RUNS]

Prints the medians of read() and of np.fromfile(..., '>i2').astype('=i2')
on the same bytes, pandas.read_csv of the Morvela report (once), the plot
of all 64 million values, the Parquet and HDF5 exports (of this recording
and of one of 1.28 GB), ds.load() of the xarray engine against read() with
4 and with 600 inputs, and open_mfdataset with a maximum over 100
recordings on LocalCluster(2) against a serial loop of read(); each one's
peak memory above the start is measured in a fresh process."""

import os
import statistics
import subprocess
import sys
import time

CHILD = r"""
import os, resource, sys, time
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
elif what in ("parquet", "hdf5"):
    import pyarrow.parquet, h5py  # imported before the clock starts
    start = time.perf_counter()
    morvela.export(path, path + (".parquet" if what == "parquet" else ".h5"))
elif what in ("load", "open"):
    import xarray as xr
    # The plugins found and the lazy imports of xarray done before the clock
    # starts: one open and load of a small recording.
    xr.open_dataset(os.environ["MORVELA_DEMO"], engine="morvela").load()
    start = time.perf_counter()
    ds = xr.open_dataset(path, engine="morvela")
    if what == "load":
        start = time.perf_counter()
        ds.load()
elif what == "serial_max":
    paths = sorted(open(path).read().split())
    start = time.perf_counter()
    maxima = []
    for p in paths:
        with morvela.open(p) as rec:
            maxima.append(rec.read().max(axis=0))
elif what == "mfdataset_max":
    import xarray as xr, distributed
    paths = sorted(open(path).read().split())
    with distributed.LocalCluster(n_workers=2, processes=True,
                                  threads_per_worker=1,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster):
        start = time.perf_counter()
        ds = xr.open_mfdataset(paths, engine="morvela", combine="nested",
                               concat_dim="recording", parallel=True, chunks={})
        maxima = ds.max(dim="time").compute()
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


def synth(synth_binary, directory, name, *options):
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        subprocess.run([synth_binary, *options, name], cwd=directory, check=True)
    return path


def main():
    morvela, synth_binary, directory = sys.argv[1], sys.argv[2], sys.argv[3]
    os.environ.setdefault("MORVELA_DEMO", os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
        "examples", "demo.dat"))
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 9
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
    parquet = measure("parquet", dat, 3)
    hdf5 = measure("hdf5", dat, 3)
    huge = synth(synth_binary, directory, "export-10x.dat", "-i", "16", "-n",
                 "40000000", "-p", "4000000")
    huge_parquet = measure("parquet", huge, 1)
    huge_hdf5 = measure("hdf5", huge, 1)
    # 120 MB each: the xarray machinery costs about 30 us per variable, which
    # a smaller recording of 600 inputs would mostly measure.
    narrow = synth(synth_binary, directory, "inputs-4.dat", "-i", "4", "-n",
                   "15000000")
    wide = synth(synth_binary, directory, "inputs-600.dat", "-i", "600", "-n",
                 "100000")
    loads = {}
    opens = {}
    for label, path in (("4", narrow), ("600", wide)):
        loads[label] = [(measure("load", path, 1), measure("read", path, 1))
                        for _ in range(max(3, runs // 3))]
        opens[label] = measure("open", path, 3)
    many = []
    for k in range(100):
        many.append(synth(synth_binary, directory, f"many-{k:03d}.dat", "-i",
                          "16", "-n", "100000", "--seed", str(k + 1)))
    listing = os.path.join(directory, "many.list")
    with open(listing, "w") as f:
        f.write("\n".join(many))
    serial = measure("serial_max", listing, 3)
    cluster = measure("mfdataset_max", listing, 3)

    mb = os.path.getsize(dat) / 1e6
    huge_mb = os.path.getsize(huge) / 1e6
    print(f"16 x 4,000,000 short ({array_mib:.0f} MiB as an array)")
    print(f"{'':34} {'median s':>9} {'peak MiB':>9} {'MB/s':>7}")
    rows = [("Recording.read()", read, mb),
            ("np.fromfile().astype()", fromfile, mb),
            ("pandas.read_csv(report)", read_csv, None),
            ("Recording.plot()", plot, None),
            ("export Parquet", parquet, mb),
            ("export HDF5", hdf5, mb),
            (f"export Parquet, {huge_mb / 1000:.2f} GB", huge_parquet, huge_mb),
            (f"export HDF5, {huge_mb / 1000:.2f} GB", huge_hdf5, huge_mb),
            ("100 recordings: serial read() max", serial, None),
            ("100 recordings: open_mfdataset, 2 workers", cluster, None)]
    for label, ins in (("4", loads["4"]), ("600", loads["600"])):
        load = (statistics.median(p[0][0] for p in ins), max(p[0][1] for p in ins))
        alone = (statistics.median(p[1][0] for p in ins), max(p[1][1] for p in ins))
        rows += [(f"xr.open_dataset(), {label} inputs", opens[label], None),
                 (f"ds.load() after it, {label} inputs", load, None),
                 (f"read(), {label} inputs", alone, None)]
        loads[label] = load[0] / alone[0]
    for name, (s, mib), size in rows:
        rate = f"{size / s:7.0f}" if size else ""
        print(f"{name:42} {s:9.3f} {mib:9.1f} {rate}")
    for label, good in [
            (f"read() / fromfile {read[0] / fromfile[0]:.2f} <= 1.5",
             read[0] <= 1.5 * fromfile[0]),
            (f"read_csv / read() {read_csv[0] / read[0]:.0f} >= 50",
             read_csv[0] >= 50 * read[0]),
            (f"read() peak {read[1]:.0f} MiB <= array + 10 %",
             read[1] <= array_mib * 1.1),
            (f"ds.load() / read(), 4 inputs {loads['4']:.2f} <= 3",
             loads["4"] <= 3),
            (f"ds.load() / read(), 600 inputs {loads['600']:.2f} <= 3",
             loads["600"] <= 3),
            (f"export peak of {huge_mb / 1000:.2f} GB "
             f"{max(huge_parquet[1], huge_hdf5[1]):.0f} MiB < 300",
             max(huge_parquet[1], huge_hdf5[1]) < 300)]:
        print(("  met: " if good else "  missed: ") + label)
    os.remove(txt)
    os.remove(dat + ".png")
    for path in (dat, huge):
        for suffix in (".parquet", ".h5"):
            if os.path.exists(path + suffix):
                os.remove(path + suffix)
    return 0


if __name__ == "__main__":
    sys.exit(main())
