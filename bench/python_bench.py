"""make bench, Python part: the morvela package on the long "short" workload
(16 inputs x 4,000,000 samples) against numpy's and pandas' own readers,
the exports, the xarray engine and a dask.distributed cluster.

    build/venv/bin/python bench/python_bench.py MORVELA SYNTH DIR [RUNS [many]]

Prints the medians of read() and of np.fromfile(..., '>i2').astype('=i2')
on the same bytes, pandas.read_csv of the Morvela report (once), the plot
of all 64 million values, the Parquet and HDF5 exports (of this recording
and of one of 1.28 GB; Parquet against pyarrow and pandas on doubles),
ds.load() of the xarray engine against read() with 16 and with 600 inputs,
the maximum over 100 recordings with morvela.open_mfdataset (threads,
LocalCluster(2)) and xr.open_mfdataset against a serial loop of read(),
the same over 10,000 small recordings and their open ("many" runs this
part alone), and a reduction with chunks={} against h5netcdf
on the same data; each one's peak memory above the start is measured in a
fresh process. What a target compares is measured by turns, RUNS times (at
least five), each run after a sync and with no output of an earlier one."""

import os
import shutil
import statistics
import subprocess
import sys


CHILD = r"""
import importlib, os, resource, sys, time
import numpy as np
what, path, warm = sys.argv[1], sys.argv[2], int(sys.argv[3])
import morvela


# This process's peak resident memory in KiB. ru_maxrss never falls below
# the parent's resident memory when this process was started, which hid
# most of a small peak here; VmHWM is this process's own.
def high_water():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


# The peak's baseline. On a virtual machine whose host takes back the memory
# its guest frees, the first touch of that memory costs from 0.2 to 2 s a GB
# at random, more than most figures here: as much memory as the measure may
# use is touched and freed first, and the peak is counted from here
# (clear_refs 5 resets it). Where the peak cannot be reset, nothing is touched.
def settle():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            np.ones(warm, dtype=np.uint8)
            f.write("5")
    except OSError:
        pass
    return high_water()


before = settle()
start = time.perf_counter()
extra = []
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
    # starts, and before the memory's baseline: one open and load of a small
    # recording. The peak then counts the dataset: the time index and the
    # values.
    xr.open_dataset(os.environ["MORVELA_DEMO"], engine="morvela").load()
    before = settle()
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
elif what in ("mf_threads", "mf_cluster", "xr_mf_threads"):
    import dask, xarray as xr, distributed
    paths = sorted(open(path).read().split())
    xr.open_dataset(os.environ["MORVELA_DEMO"], engine="morvela").load()
    def run():
        if what == "xr_mf_threads":
            ds = xr.open_mfdataset(paths, engine="morvela", combine="nested",
                                   concat_dim="recording", chunks={})
        else:
            ds = morvela.open_mfdataset(paths)
        return ds.signal.max("time").compute()
    if what == "mf_cluster":
        with distributed.LocalCluster(n_workers=2, processes=True,
                                      threads_per_worker=1,
                                      dashboard_address=":0") as cluster, \
                distributed.Client(cluster) as client:
            # The workers import what this process imported before its
            # clock (dask.array alone takes 0.7 s: it loads xarray and
            # pandas), as a cluster that is in use has.
            for module in ("dask.array", "xarray", "morvela"):
                client.run(importlib.import_module, module)
            start = time.perf_counter()
            maxima = run()
            seconds = time.perf_counter() - start
    else:
        with dask.config.set(scheduler="threads"):
            start = time.perf_counter()
            maxima = run()
            seconds = time.perf_counter() - start
    start = time.perf_counter() - seconds
elif what == "open_many":
    import dask, dask.array, xarray as xr
    paths = sorted(open(path).read().split())
    xr.open_dataset(os.environ["MORVELA_DEMO"], engine="morvela").load()
    start = time.perf_counter()
    ds = morvela.open_mfdataset(paths)
    opened = time.perf_counter() - start
    with dask.config.set(scheduler="threads"):
        maxima = ds.signal.max("time").compute()
    extra = [opened, ds.signal.data.npartitions]
elif what in ("chunks_max", "h5netcdf_max"):
    import dask.array, h5netcdf, xarray as xr
    xr.open_dataset(os.environ["MORVELA_DEMO"], engine="morvela", chunks={}).load()
    before = settle()
    if what == "chunks_max":
        start = time.perf_counter()
        ds = xr.open_dataset(path, engine="morvela", chunks={})
    else:
        start = time.perf_counter()
        ds = xr.open_dataset(path, engine="h5netcdf", chunks={})
    maxima = ds.signal.max().compute()
elif what in ("parquet_pyarrow", "parquet_pandas"):
    import pyarrow as pa, pyarrow.parquet as pq
    from morvela._export import parquet_options
    start = time.perf_counter()
    with morvela.open(path) as rec:
        if what == "parquet_pandas":
            rec.to_pandas().to_parquet(path + ".parquet")
        else:
            columns = morvela.column_names(rec.inputs)
            values = rec.read(by_input=True)
            offsets = rec.time_offsets()
            table = pa.Table.from_arrays(
                [pa.array(offsets), *(pa.array(v) for v in values)],
                names=["TimeOffset", *columns])
            rows = morvela._export._rows_per_block(rec) * morvela._export.PARQUET_BLOCKS
            pq.write_table(table, path + ".parquet", row_group_size=rows,
                           **parquet_options(rec.value_dtype, columns))
seconds = time.perf_counter() - start
peak = high_water()
print(seconds, (peak - before) / 1024, *extra)
"""


def warm_bytes(path):
    """The memory a child touches before its clock starts: twice the
    recording (a list of recordings counts as a small one), within 256 MiB
    and 4 GiB."""
    return min(max(2 * os.path.getsize(path), 256 << 20), 4 << 30)


OUTPUTS = (".parquet", ".h5", ".png")


def measure(what, path, runs):
    """(median seconds, largest peak MiB, medians of any further figures).
    Each run starts with no output of earlier runs and nothing left for the
    kernel to write back, as the converter's runs do."""
    results = []
    for _ in range(runs):
        for suffix in OUTPUTS:
            if os.path.exists(path + suffix):
                os.remove(path + suffix)
        os.sync()
        out = subprocess.run([sys.executable, "-c", CHILD, what, path,
                              str(warm_bytes(path))],
                             check=True, capture_output=True, text=True).stdout
        results.append(tuple(map(float, out.split())))
    return (statistics.median(r[0] for r in results),
            max(r[1] for r in results),
            *(statistics.median(r[k] for r in results)
              for k in range(2, len(results[0]))))


def by_turns(cases, runs):
    """The (what, path) `cases` measured by turns, so that the machine's
    drift weighs on each alike: their (median, peak)."""
    rounds = [[measure(what, path, 1) for what, path in cases]
              for _ in range(runs)]
    return [(statistics.median(r[k][0] for r in rounds),
             max(r[k][1] for r in rounds),
             *(statistics.median(r[k][j] for r in rounds) for j in range(2, len(rounds[0][k]))))
            for k in range(len(cases))]


def tasks(paths):
    """The tasks of the maximum over time of `paths`: morvela's own and
    xarray's open_mfdataset."""
    import xarray as xr

    import morvela

    ours = morvela.open_mfdataset(paths).signal.max("time")
    with xr.open_mfdataset(paths, engine="morvela", combine="nested",
                           concat_dim="recording", chunks={}) as ds:
        theirs = ds.signal.max("time")
        return (len(dict(ours.data.__dask_graph__())),
                len(dict(theirs.data.__dask_graph__())))


def netcdf_twin(path):
    """The recording's dataset written by h5netcdf, for the same reduction
    on a reader nobody here wrote."""
    import xarray as xr

    twin = path + ".nc"
    if not os.path.exists(twin):
        with xr.open_dataset(path, engine="morvela") as ds:
            ds.load().to_netcdf(twin, engine="h5netcdf")
    return twin


def synth(synth_binary, directory, name, *options):
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        subprocess.run([synth_binary, *options, name], cwd=directory, check=True)
    return path


def many_recordings(synth_binary, directory, runs):
    """The maximum over time of many recordings, by morvela.open_mfdataset
    on threads (and on LocalCluster(2) for 100), against a serial loop of
    read(): 100 of 16 x 100,000, 10,000 of 16 x 1,000 and 100,000 of 2 x 10.
    Returns the rows of the table and the targets, each (label, met)."""
    many = [synth(synth_binary, directory, f"many-{k:03d}.dat", "-i", "16",
                  "-n", "100000", "--seed", str(k + 1)) for k in range(100)]
    listing = os.path.join(directory, "many.list")
    with open(listing, "w") as f:
        f.write("\n".join(many))
    serial, mf_threads, mf_cluster, xr_threads = by_turns(
        [(what, listing) for what in
         ("serial_max", "mf_threads", "mf_cluster", "xr_mf_threads")],
        max(5, runs))
    ours_tasks, xr_tasks = tasks(many)
    # 10,000 recordings of 16 x 1,000 and 100,000 of 2 x 10 (copies of
    # one): the open, and the open with the maximum, against the loop.
    rows = [("100 recordings: serial read() max", serial, None),
            ("  morvela.open_mfdataset, threads", mf_threads, None),
            ("  morvela.open_mfdataset, 2 processes", mf_cluster, None),
            ("  xr.open_mfdataset, threads", xr_threads, None)]
    print(f"tasks of the max over 100: morvela {ours_tasks}, xarray {xr_tasks}")
    checks = [
        (f"100: open_mfdataset / loop, threads {mf_threads[0] / serial[0]:.2f} <= 1",
         mf_threads[0] <= serial[0]),
        (f"100: open_mfdataset / loop, 2 processes {mf_cluster[0] / serial[0]:.2f} "
         "<= 2.9", mf_cluster[0] <= 2.9 * serial[0])]
    for count, inputs, samples, most_open in ((10_000, 16, 1000, 0.5), (100_000, 2, 10, 3.0)):
        listing = copies(synth(synth_binary, directory, f"copied-{inputs}x{samples}.dat",
                               "-i", str(inputs), "-n", str(samples)),
                         os.path.join(directory, f"copies-{count}"), count)
        loop, whole = by_turns([("serial_max", listing), ("open_many", listing)],
                               max(5, runs))
        said = f"{count:,} of {inputs} x {samples:,}"
        rows += [(f"{said}: serial read() max", loop, None),
                 ("  morvela.open_mfdataset and max, threads", whole, None),
                 ("  morvela.open_mfdataset, the open", (whole[2], whole[1]), None)]
        threads = min(count, os.cpu_count() or 1)
        checks += [
            (f"{said}: open in {whole[2]:.2f} s <= {most_open:g}", whole[2] <= most_open),
            (f"{said}: open and max / loop {whole[0] / loop[0]:.2f} <= 1.5",
             whole[0] <= 1.5 * loop[0]),
            (f"{said}: {whole[3]:.0f} tasks >= {threads} threads", whole[3] >= threads)]
    return rows, checks


def copies(source, folder, count):
    """A listing of `count` copies of the recording `source` in `folder`,
    made once."""
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, f"r{k:06d}.dat") for k in range(count)]
    for p in paths:
        if not os.path.exists(p):
            shutil.copyfile(source, p)
    listing = folder + ".list"
    with open(listing, "w") as f:
        f.write("\n".join(paths))
    return listing


def main():
    morvela, synth_binary, directory = sys.argv[1], sys.argv[2], sys.argv[3]
    os.environ.setdefault("MORVELA_DEMO", os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
        "examples", "demo.dat"))
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 9
    if sys.argv[5:] == ["many"]:  # the many-recordings part alone
        rows, checks = many_recordings(synth_binary, directory, runs)
        for name, (s, mib, *_), _ in rows:
            print(f"{name:42} {s:9.3f} {mib:9.1f}")
        for label, good in checks:
            print(("  met: " if good else "  missed: ") + label)
        return 0
    dat = os.path.join(directory, "short-4x.dat")
    txt = os.path.join(directory, "short-4x.txt")
    if not os.path.exists(txt):
        subprocess.run([morvela, "short-4x.dat"], cwd=directory, check=True,
                       capture_output=True)
    array_mib = 16 * 4_000_000 * 2 / 2**20
    read, fromfile = by_turns([("read", dat), ("fromfile", dat)], runs)
    read_csv = measure("read_csv", txt, 1)
    plot = measure("plot", dat, 3)
    parquet = measure("parquet", dat, 3)
    hdf5 = measure("hdf5", dat, 3)
    huge = synth(synth_binary, directory, "export-10x.dat", "-i", "16", "-n",
                 "40000000", "-p", "4000000")
    huge_parquet = measure("parquet", huge, 1)
    huge_hdf5 = measure("hdf5", huge, 1)
    # The xarray engine: every value loaded, against read(), on 16 "short"
    # inputs (the 1.28 GB recording) and on 600 inputs (120 MB).
    wide = synth(synth_binary, directory, "inputs-600.dat", "-i", "600", "-n",
                 "100000")
    # The page cache makes single runs of the 1.28 GB one vary by a factor
    # of ten: by turns, and at least five times.
    loads = {label: by_turns([("load", path), ("read", path)], max(5, runs))
             for label, path in (("16", huge), ("600", wide))}
    many_rows, many_checks = many_recordings(synth_binary, directory, runs)
    # One recording, chunks={}, the maximum: against h5netcdf on the same data.
    double = synth(synth_binary, directory, "double-16.dat", "-t", "double",
                   "-i", "16", "-n", "2000000")
    reductions = {}
    for label, path in (("short", dat), ("double", double)):
        twin = netcdf_twin(path)
        reductions[label] = by_turns([("chunks_max", path),
                                      ("h5netcdf_max", twin)], max(5, runs))
    # Parquet: the export against pyarrow with the same arrays and settings,
    # and against pandas, on doubles.
    writers = ("parquet", "parquet_pyarrow", "parquet_pandas")
    exports = dict(zip(writers, by_turns([(what, double) for what in writers],
                                         max(5, runs))))

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
            *many_rows]
    for label in ("16", "600"):
        load, alone = loads[label]
        rows += [(f"ds.load(), {label} inputs", load, None),
                 (f"read(), {label} inputs", alone, None)]
    for label, (ours, theirs) in reductions.items():
        rows += [(f"chunks={{}} max, {label}: morvela", ours, None),
                 (f"chunks={{}} max, {label}: h5netcdf", theirs, None)]
    for what, figures in exports.items():
        rows.append((f"{what}, 16 x 2,000,000 double", figures, None))
    for name, (s, mib, *_), size in rows:
        rate = f"{size / s:7.0f}" if size else ""
        print(f"{name:42} {s:9.3f} {mib:9.1f} {rate}")
    huge_values = 16 * 40_000_000 * 2 / 2**20
    wide_values = 600 * 100_000 * 2 / 2**20
    for label, good in [
            (f"read() / fromfile {read[0] / fromfile[0]:.2f} <= 1.5",
             read[0] <= 1.5 * fromfile[0]),
            (f"read_csv / read() {read_csv[0] / read[0]:.0f} >= 50",
             read_csv[0] >= 50 * read[0]),
            (f"read() peak {read[1]:.0f} MiB <= array + 10 %",
             read[1] <= array_mib * 1.1),
            *[(f"ds.load() / read(), {label} inputs "
               f"{loads[label][0][0] / loads[label][1][0]:.2f} <= 1.5, peak "
               f"{loads[label][0][1] / values:.2f} x the values <= 1.3",
               loads[label][0][0] <= 1.5 * loads[label][1][0] and
               loads[label][0][1] <= 1.3 * values)
              for label, values in (("16", huge_values), ("600", wide_values))],
            *many_checks,
            *[(f"chunks={{}} max, {label}: {ours[0] / theirs[0]:.2f} x h5netcdf <= 1",
               ours[0] <= theirs[0]) for label, (ours, theirs) in reductions.items()],
            (f"Parquet export / pyarrow "
             f"{exports['parquet'][0] / exports['parquet_pyarrow'][0]:.2f} <= 1.1",
             exports["parquet"][0] <= 1.1 * exports["parquet_pyarrow"][0]),
            (f"Parquet export / pandas "
             f"{exports['parquet'][0] / exports['parquet_pandas'][0]:.2f} <= 1",
             exports["parquet"][0] <= exports["parquet_pandas"][0]),
            (f"export peak of {huge_mb / 1000:.2f} GB "
             f"{max(huge_parquet[1], huge_hdf5[1]):.0f} MiB < 400 (a Parquet "
             "row group of 64 MiB of values)",
             max(huge_parquet[1], huge_hdf5[1]) < 400)]:
        print(("  met: " if good else "  missed: ") + label)
    os.remove(txt)
    for path in (dat, huge, double):
        for suffix in OUTPUTS:
            if os.path.exists(path + suffix):
                os.remove(path + suffix)
    return 0


if __name__ == "__main__":
    sys.exit(main())
