# The xarray engine and morvela.open_mfdataset, checked against values
# decoded from the raw bytes with numpy.

import errno
import os
import pickle
import re
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import morvela
from conftest import (DEMO, TYPES, header_bytes, input_bytes, raw_recording, recordings,
                      report_time, same_bits, stacked)

xr = pytest.importorskip("xarray")
# Computed coordinates came with xarray 2025.6.
CoordinateTransformIndex = getattr(pytest.importorskip("xarray.core.indexes"),
                                   "CoordinateTransformIndex", None)
dask = pytest.importorskip("dask")

from morvela import _xarray  # noqa: E402,F401 - after the skips; monkeypatched
from morvela._xarray import MorvelaBackendEntrypoint  # noqa: E402


def open_files():
    return len(os.listdir("/proc/self/fd"))


# One recording.

def test_one_array_of_time_by_input_with_its_coordinates(write):
    with morvela.open(DEMO) as rec:
        values, header = rec.read(), rec.header.to_dict()
    header["trigger_time_ns"] = str(header["trigger_time_ns"])
    for engine in ("morvela", MorvelaBackendEntrypoint):
        with xr.open_dataset(DEMO, engine=engine, chunks={}) as ds:
            assert list(ds.data_vars) == ["signal"] and ds.attrs == header
            assert ds.signal.dims == ("time", "input") and ds.signal.dtype == np.int16
            assert list(ds.input.values) == [f"Input{k}" for k in range(4)]
            assert list(ds.units.values) == ["V", "A", "V", "A"] and ds.units.dims == ("input",)
            assert ds.signal.encoding["preferred_chunks"]["input"] == 4
            assert ds.signal.encoding["dtype"] == np.int16
            same_bits(ds.signal.sel(input="Input2").values, values[:, 2])
    assert MorvelaBackendEntrypoint().guess_can_open(DEMO)
    # Header numbers beyond 32 bits are doubles, which every netCDF format holds.
    for pretrigger, kind in ((2**31 - 1, int), (2**31, float)):
        path = write("p.dat", header_bytes("short", 2, 0, 0, pretrigger))
        with xr.open_dataset(path, engine="morvela") as ds:
            assert [type(ds.attrs[k]) for k in ("pretrigger_samples", "sample_time_us")] == \
                [kind, int] and ds.attrs["pretrigger_samples"] == pretrigger
    # An input may take any name, "time" and a repeated one included.
    path = write("names.dat", header_bytes("short", 2, 3, 2) +
                 input_bytes([b"time", b"a", b"a"]) + bytes(12))
    with xr.open_dataset(path, engine="morvela") as ds:
        assert list(ds.input.values) == ["time", "a", "a.1"]
        assert ds.time.dims == ("time",) and ds.signal.shape == (2, 3)


@pytest.mark.parametrize("engine", ["netcdf4", "h5netcdf", "scipy", "zarr"])
def test_every_netcdf_engine_writes_what_the_engine_gives(write, tmp_path, engine):
    # Names and paths that are not UTF-8, 64-bit header numbers: the
    # dataset round-trips through each writer, values and names intact.
    pytest.importorskip({"netcdf4": "netCDF4"}.get(engine, engine))
    raw = os.fsencode(tmp_path) + b"/r\xff.dat"
    stored = bytearray(raw_recording(write, "plain.dat", 50, 3, ">f4")[0].read_bytes())
    stored[248:250], stored[248 + 96 + 64:248 + 96 + 67] = b"\xe9\0", b"\xb0C\0"
    with open(raw, "wb") as f:  # an input named, and one unit, in Latin-1
        f.write(stored)
    # 2**32 - 1 rows claimed, and a claim that exceeds 32 bits in the header.
    big = write("big.dat", header_bytes("short", 2, 1, 3, pretrigger=2**32 - 2) +
                input_bytes([b"a"]) + bytes(6))
    # Every type, unsigned ones too (netCDF-3 has none), one recording or many.
    typed = [raw_recording(write, f"{c}.dat", 3, 2, ">" + c, type_name=t)[0]
             for t, c in TYPES.items()]
    typed = [xr.open_dataset(p, engine="morvela") for p in typed] + \
        [morvela.open_mfdataset([typed[3], typed[3]])]
    runs = morvela.open_mfdataset([raw, raw])
    assert runs.path.values.tolist() == [os.fsdecode(raw).encode(
        "utf-8", "surrogateescape").decode("utf-8", "replace")] * 2
    assert runs.input.values.tolist()[0] == "\ufffd" and runs.units.values.tolist()[1] == "\ufffdC"
    for k, loaded in enumerate((xr.open_dataset(raw, engine="morvela").load(),
                                xr.open_dataset(big, engine="morvela").load(), runs.load(),
                                *(t.load() for t in typed))):
        target = tmp_path / f"out{k}.{engine}"
        loaded.to_zarr(target, mode="w") if engine == "zarr" else \
            loaded.to_netcdf(target, engine=engine)
        with xr.open_dataset(target, engine=engine) as back:
            for name in ("signal", "time"):
                same_bits(back[name].values, loaded[name].values)
            for name in ("input", "units"):
                assert back[name].values.tolist() == loaded[name].values.tolist()
            assert back.attrs == loaded.attrs


@pytest.mark.parametrize("dtype", [">u1", ">i4", ">u4", ">f4", ">f8"])
def test_values_are_the_stored_bits_for_every_selection(write, dtype):
    path, values = raw_recording(write, "rec.dat", 1000, 3, dtype)
    keys = [np.s_[:], np.s_[37:901:5], np.s_[::-3, ::-1], np.s_[::400, 1], np.s_[500],
            np.s_[-1, -1], np.s_[5:5:2], np.s_[900:10:3], np.s_[3:9, 2:2]]
    with xr.open_dataset(path, engine="morvela") as ds:
        for key in keys:
            same_bits(ds.signal[key].values, values[key])
    with xr.open_dataset(path, engine="morvela", chunks={}, block_rows=64) as ds:
        same_bits(ds.signal[::7].values, values[::7])
        assert ds.signal.chunks == ((64,) * 15 + (40,), (3,))
    with xr.open_dataset(path, engine="morvela", chunks={}, block_rows=1) as ds:
        assert ds.signal.chunks[0] == (1,) * 1000


def test_arrays_handed_out_are_the_callers_alone(write):
    path, values = raw_recording(write, "rec.dat", 300, 4)
    # cache=False: xarray keeps no copy of its own, so every read is the
    # engine's; with its cache (the default) the dataset keeps one.
    for options in ({"cache": False}, {"chunks": {}}, {}):
        with xr.open_dataset(path, engine="morvela", **options) as ds:
            ds.signal.values[:] = 0
            ds.signal[10:20].values[:] = 0
            if options:
                same_bits(ds.signal.values, values)
    with xr.open_dataset(path, engine="morvela") as ds:
        same_bits(ds.signal.values, values)


def rewrite_in_place(path, offset, data):
    # Writes `data` at `offset` from the end of `path`, then puts its
    # modification time back, after the close (which would set it).
    before = os.stat(path)
    with open(path, "r+b") as f:
        f.seek(offset, os.SEEK_END)
        f.write(data)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    after = os.stat(path)
    assert (after.st_size, after.st_mtime_ns, after.st_ino) == \
        (before.st_size, before.st_mtime_ns, before.st_ino)


def test_reads_from_threads_hold_their_file_while_the_cache_evicts(write):
    # Stepped reads of 1,100,000 rows take two spans, each a read; every
    # recording is read by several threads at once, whole rows or one input.
    made = [raw_recording(write, f"t{k}.dat", 1_100_000, 2, "|u1", seed=k) for k in range(4)]
    jobs = [(k, n, [[0, 1], [1], [0]][n % 3]) for n in range(25) for k in range(4)]
    with xr.set_options(file_cache_maxsize=1):
        sets = [xr.open_dataset(p, engine="morvela", cache=False) for p, _ in made]
        with ThreadPoolExecutor(4) as pool:
            got = list(pool.map(lambda job: sets[job[0]].signal[job[1]::5, job[2]].values, jobs))
        for ds in sets:
            ds.close()
    for (k, n, inputs), values in zip(jobs, got):
        same_bits(values, made[k][1][n::5, inputs])


@pytest.fixture
def reads(monkeypatch):
    # The (start, stop, rows read) of each Recording.read from now on.
    made, real = [], morvela.Recording.read

    def counted(self, start=0, stop=None, inputs=None, **options):
        out = real(self, start, stop, inputs, **options)
        made.append((start, stop, len(out)))
        return out

    monkeypatch.setattr(morvela.Recording, "read", counted)
    return made


def test_a_few_rows_read_a_few_rows(write, reads):
    path, values = raw_recording(write, "big.dat", 3_000_000, 2)
    with xr.open_dataset(path, engine="morvela") as ds:
        for rows in ([0, -1], [2_999_999, 5, 1_500_000], slice(None, None, 1_000_000)):
            reads.clear()
            same_bits(ds.signal.isel(time=rows).values, values[rows])
            assert sum(n for _, _, n in reads) <= 3, rows
        reads.clear()
        same_bits(ds.signal.isel(time=[7, 3], input=[1]).values, values[[7, 3]][:, [1]])
        assert reads == [(3, 8, 5)]  # rows 3 to 7: one span


def test_a_file_changed_after_the_open_is_refused(write, monkeypatch):
    path, values = raw_recording(write, "rec.dat", 3000, 2)
    ds = xr.open_dataset(path, engine="morvela", chunks={}, block_rows=1000)
    same_bits(ds.signal[:1000].values, values[:1000])
    # Rewritten in place between blocks, its size and modification time
    # put back: only the inode change time tells.
    rewrite_in_place(path, -4, b"\xff\xff\xff\xff")
    refused = pytest.raises(morvela.RecordingReadError, lambda: ds.signal[2000:].values)
    assert str(refused.value) == f"{path}: the file changed after the dataset was opened"
    assert os.fsdecode(refused.value.path) == str(path)
    ds.close()
    # Replaced by another file of the same name, size and time: only the
    # inode tells.
    ds = xr.open_dataset(path, engine="morvela", cache=False)
    stat = os.stat(path)
    other, _ = raw_recording(write, "other.dat", 3000, 2, seed=9)
    os.utime(other, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    with xr.set_options(file_cache_maxsize=1):
        xr.open_dataset(other, engine="morvela").close()  # evicts the open file
        os.replace(other, path)
        pytest.raises(morvela.RecordingReadError, lambda: ds.signal.values).match("changed")
    ds.close()
    # The same for many recordings.
    made = [raw_recording(write, f"m{k}.dat", 100, 2, seed=k) for k in range(2)]
    paths = [p for p, _ in made]
    monkeypatch.setattr(os, "cpu_count", lambda: 1)
    shared = morvela.open_mfdataset(paths)  # one task for both
    monkeypatch.setattr(morvela._xarray, "TASK_BYTES", 1)  # a task each
    runs = morvela.open_mfdataset(paths)
    same_bits(runs.signal[0].values, made[0][1])
    rewrite_in_place(paths[1], -2, b"\x7f\x7f")
    pytest.raises(morvela.RecordingReadError, lambda: shared.signal.values).match(
        f"^{re.escape(str(paths[1]))}: the file changed")
    same_bits(runs.signal[0].values, made[0][1])
    raised = pytest.raises(morvela.RecordingReadError, lambda: runs.signal[1].values)
    assert str(raised.value) == f"{paths[1]}: the file changed after the dataset was opened"
    assert os.fsdecode(raised.value.path) == str(paths[1])
    os.unlink(paths[1])
    pytest.raises(FileNotFoundError, lambda: runs.signal[1].values)


def test_rows_present_in_a_shortened_file_are_readable(write):
    path, values = raw_recording(write, "rec.dat", 5000, 2)
    whole, whole_values = raw_recording(write, "whole.dat", 5000, 2, seed=3)
    with open(path, "r+b") as f:
        f.truncate(248 + 2 * 96 + 2500 * 4 + 1)  # rows 2500 on are gone
    # Every present row reads through every route, with the default blocks
    # too: a chunk ends at the last present row.
    for block_rows in (None, 1000, 2500, 2501):
        with xr.open_dataset(path, engine="morvela", chunks={}, block_rows=block_rows) as ds:
            assert ds.signal.shape == (5000, 2) and 2500 in np.cumsum(ds.signal.chunks[0])
            same_bits(ds.signal[:2500].compute().values, values[:2500])
            same_bits(ds.signal[:2500:7, 1].values, values[:2500:7, 1])
            raised = pytest.raises(morvela.TruncatedRecordingError, ds.signal[2499:2501].compute)
            assert raised.value.row == 2500 and str(path) in str(raised.value)
        runs = morvela.open_mfdataset([whole, path, path, whole], block_rows=block_rows)
        assert runs.signal.chunks[0] == (1, 1, 1, 1)  # a shortened recording reads alone
        same_bits(runs.signal[1, :2500].values, values[:2500])
        same_bits(runs.signal[3].values, whole_values)
        pytest.raises(morvela.TruncatedRecordingError, lambda: runs.signal[2, :2501].values)
    # Shorter than the others and shortened, padded: the padding is the
    # fill, and only the rows claimed and missing raise.
    shorter, shorter_values = raw_recording(write, "shorter.dat", 4000, 2, seed=4)
    os.truncate(shorter, 248 + 2 * 96 + 2500 * 4)
    padded = morvela.open_mfdataset([whole, shorter], pad=True, fill_value=-1)
    same_bits(padded.signal[1, 4000:].values, np.full((1000, 2), -1, np.int16))
    same_bits(padded.signal[1, :2500].values, shorter_values[:2500])
    pytest.raises(morvela.TruncatedRecordingError, lambda: padded.signal[1, 3999:].values)
    # A file that holds one row: that row is a chunk of its own.
    one = write("one.dat", header_bytes("short", 2, 2, 3) + input_bytes([b"a", b"b"]) + bytes(5))
    with xr.open_dataset(one, engine="morvela", chunks={}) as ds:
        assert ds.signal.chunks[0] == (1, 2) and ds.signal[:1].values.tolist() == [[0, 0]]


@pytest.mark.parametrize("shortened", [0, 1, 4, 9])
def test_tasks_grow_with_the_shortened_recordings_not_their_square(write, monkeypatch, shortened):
    monkeypatch.setattr(os, "cpu_count", lambda: 1)
    paths, values = stacked(recordings(write, 24, rows=40))  # 40 rows of 3 shorts
    cut = list(range(1, 2 * shortened, 2))  # each cut at rows of its own
    for k, at in zip(cut, range(35, 0, -3)):
        os.truncate(paths[k], 248 + 3 * 96 + at * 6)
    whole = [k for k in range(24) if k not in cut]
    ds = morvela.open_mfdataset(paths, block_rows=40)
    maxima = ds.signal.isel(recording=whole).max("time")
    assert ds.signal.chunks[1] == (40,)
    assert ds.signal.data.npartitions <= 1 + 2 * shortened  # a task a run of whole ones
    same_bits(maxima.values, values[whole].max(axis=1))
    for k, at in zip(cut, range(35, 0, -3)):
        same_bits(ds.signal[k, :at].values, values[k, :at])
        assert pytest.raises(morvela.TruncatedRecordingError,
                             ds.signal[k, at - 1:at + 1].compute).value.row == at


@pytest.mark.parametrize("key", [
    (slice(None), slice(2, 9), slice(0, 3)), (slice(1, 12, 4), slice(8, 1, -3), 1),
    (2, 5, slice(None)), (-1, -1, -2), (slice(None, None, 5), [7, 0, 2, -2], slice(None)),
    (np.array([11, 0]), slice(-4, None), slice(1, 3)), (0, slice(5, 5), slice(None)),
    (slice(3, 3), slice(2, 9), slice(None)), (1, [], slice(None)), (0, [10], slice(None))])
def test_a_group_gives_what_its_index_selects_as_numpy_does(write, key):
    # A task's index, with a computation's slice fused into it: more
    # recordings than rows, so that no axis stands in for another, and the
    # sixth cut before its last row, which only (5, 9) would take.
    paths, values = stacked(recordings(write, 12, rows=10))
    identities = [morvela.open(p).identity() for p in paths]
    os.truncate(paths[5], os.path.getsize(paths[5]) - 1)
    identities[5] = morvela.open(paths[5]).identity()
    group = morvela._blocks.GroupRows(paths, identities, values.shape, values.dtype, None)
    try:
        expected = values[key]
    except IndexError:
        expected = pytest.raises(IndexError, group.__getitem__, key)
    else:
        same_bits(group[key], expected)
    assert pytest.raises(morvela.TruncatedRecordingError, group.__getitem__,
                         (slice(4, 7), slice(7, 10), slice(None))).value.row == 9
    # A device number with its top bit set (as overlayfs gives) is compared.
    moved = [(1 << 63, *identities[0][1:])]
    pytest.raises(morvela.RecordingReadError, morvela._blocks.read_blocks, paths[:1], moved,
                  0, 1, None, values.dtype, 3).match("the file changed")


@pytest.mark.skipif(CoordinateTransformIndex is None, reason="xarray before 2025.6")
def test_memory_at_open_follows_the_file_not_the_header(write, monkeypatch):
    path = write("claim.dat", header_bytes("short", 2, 1, 2**32 - 1, pretrigger=5) +
                 input_bytes([b"a"]) + b"\0\1\0\2")
    assert os.path.getsize(path) < 500
    with xr.open_dataset(path, engine="morvela") as ds:
        assert ds.signal.shape == (2**32 - 1, 1)
        assert isinstance(ds.xindexes["time"], CoordinateTransformIndex)
        assert ds.time.attrs["units"] == "s"
        # A thousand rows at each end: enough that another order of the
        # same operations would round some of them otherwise.
        for rows in (range(1000), range(2**32 - 1000, 2**32 - 1)):
            same_bits(ds.time[rows.start:rows.stop].values,
                      [report_time(r, 5, 100) for r in rows])
        # A time, picked by the nearest row: a scalar as an array.
        assert ds.signal.sel(time=-0.0004, method="nearest").time.item() == -0.0004
        # Past either end, infinite or huge: that end; NaN: none, as in memory.
        last = ds.time[-1].item()
        picked = ds.time.sel(time=[-0.0004, 0.00021, -1.0, 1e9, np.inf, 1e15, -np.inf, -1e15],
                             method="nearest")
        assert picked.dims == ("time",) and ds.time.sel(time=np.inf, method="nearest") == last
        assert picked.values.tolist() == [-0.0004, 0.0002, -0.0005] + [last] * 3 + [-0.0005] * 2
        for nan in (np.nan, [0.0, np.nan]):
            pytest.raises(KeyError, ds.time.sel, time=nan, method="nearest").match(
                "^\"not all values found in index 'time'\"$")
        picked = ds.time.sel(time=xr.DataArray([np.inf, -1.0], dims="at"), method="nearest")
        assert picked.dims == ("at",) and picked.values.tolist() == [last, -0.0005]
        assert ds.signal.sel(time=0, method="nearest").time.item() == 0.0
        pytest.raises(ValueError, ds.time.sel, time=slice(-0.0003, 0.0001)).match(
            "method='nearest'")  # xarray's own limit
        # A tolerance is kept, just inside, at, and just outside it.
        for label, tolerance in ((0.00005, 4.9e-5), ([-0.0004, 1e9], 1e-6)):
            pytest.raises(KeyError, ds.sel, time=label, method="nearest",
                          tolerance=tolerance).match("within tolerance")
        for tolerance in (5e-5, 5.1e-5):
            assert ds.sel(time=0.00005, method="nearest",
                          tolerance=tolerance).time.item() in (0, 1e-4)
        # Aligned with itself, not with the time of another pretrigger.
        other = write("other.dat", header_bytes("short", 2, 1, 2**32 - 1, pretrigger=6) +
                      input_bytes([b"a"]) + b"\0\1\0\2")
        xr.align(ds, ds.copy(), join="exact")
        with xr.open_dataset(other, engine="morvela") as moved, pytest.raises(ValueError):
            xr.align(ds, moved, join="exact")
        same_bits(ds.signal[:2].values, np.array([[1], [2]], dtype=np.int16))
        pytest.raises(morvela.TruncatedRecordingError, lambda: ds.signal[:3].values)
    # Up to a MiB of rows (or the file's bytes) the time is held whole.
    for rows, lazy in ((1 << 20, False), ((1 << 20) + 1, True)):
        small = write("small.dat", header_bytes("short", 2, 1, rows) + input_bytes([b"a"]))
        with xr.open_dataset(small, engine="morvela") as ds:
            assert isinstance(ds.xindexes["time"], CoordinateTransformIndex) == lazy
    claims = f"{path}: the header claims 4294967295 rows, more than the file can hold"

    raised = pytest.raises(morvela.RowClaimError, morvela.open_mfdataset, [path])
    assert (str(raised.value), os.fsdecode(raised.value.path)) == (claims, str(path))
    # An xarray without lazy coordinates opens it only without its time.
    monkeypatch.setattr(morvela._xarray, "CoordinateTransform", None)
    raised = pytest.raises(morvela.RowClaimError, xr.open_dataset, path, engine="morvela")
    assert str(raised.value) == (
        f"{claims}; this xarray cannot compute their time lazily (drop_variables=['time'] "
        "opens it)")
    assert os.fsdecode(raised.value.path) == str(path)
    xr.open_dataset(path, engine="morvela", drop_variables=["time"]).close()


def test_options_drop_variables_and_chunks(write):
    path, values = raw_recording(write, "rec.dat", 10_000, 3)
    with xr.open_dataset(path, engine="morvela", drop_variables=["signal"]) as ds:
        assert list(ds.data_vars) == [] and "time" in ds.coords
    with xr.open_dataset(path, engine="morvela", drop_variables=["time", "units", "input"]) as ds:
        assert not {"time", "units", "input"} & set(ds.coords)
        same_bits(ds.signal.values, values)
    with xr.open_dataset(path, engine="morvela", chunks={}, block_rows=3000) as ds:
        assert ds.signal.chunks == ((3000, 3000, 3000, 1000), (3,))
        same_bits(ds.signal.values, values)
    files = open_files()
    for wrong in (0, -3, 2.5, True, "100"):
        pytest.raises(ValueError, xr.open_dataset, path, engine="morvela",
                      block_rows=wrong).match("block_rows")
        pytest.raises(ValueError, morvela.open_mfdataset, [path], block_rows=wrong).match(
            "block_rows")
    assert open_files() == files
    with pytest.warns(UserWarning, match="separate the stored chunks"), \
            xr.open_dataset(path, engine="morvela", chunks={"time": 2500}) as ds:
        assert ds.signal.chunks[0] == (2500,) * 4
        assert int(ds.signal.sel(input="in1").max()) == values[:, 1].max()


def test_files_are_closed_and_stay_few_and_rows_decoded_once(write, reads):
    paths = [raw_recording(write, f"f{k}.dat", 100, 2, seed=k)[0] for k in range(12)]
    before = open_files()
    with xr.set_options(file_cache_maxsize=3):
        datasets = [xr.open_dataset(p, engine="morvela") for p in paths]
        for ds in datasets:
            ds.load()
        assert open_files() <= before + 3
        for ds in datasets:
            ds.close()
    assert open_files() <= before
    with xr.open_mfdataset(paths, engine="morvela", combine="nested",
                           concat_dim="recording") as ds:
        assert ds.signal.shape == (12, 100, 2)
        ds.load()
    assert open_files() <= before
    # The tasks do not grow with the inputs: one array per recording.
    tasks = []
    for inputs in (2, 32):
        wide = [raw_recording(write, f"w{inputs}-{k}.dat", 100, inputs, seed=k)[0]
                for k in range(4)]
        with xr.open_mfdataset(wide, engine="morvela", combine="nested",
                               concat_dim="recording") as ds:
            tasks.append(len(dict(ds.signal.data.__dask_graph__())))
    assert tasks[0] == tasks[1] <= 6 * 4
    # A block's rows are decoded once for all its inputs.
    path, values = raw_recording(write, "rec.dat", 3000, 600)
    reads.clear()
    with xr.open_dataset(path, engine="morvela", chunks={}, block_rows=1000) as ds:
        same_bits(ds.load().signal.values, values)
    assert sorted(reads) == [(0, 1000, 1000), (1000, 2000, 1000), (2000, 3000, 1000)]


# Many recordings.

def test_open_mfdataset_is_one_lazy_array(write, tmp_path, monkeypatch):
    paths, values = stacked(recordings(write, 6, rows=400, dtype=">f4"))
    monkeypatch.setattr(os, "cpu_count", lambda: 1)
    ds = morvela.open_mfdataset(paths, block_rows=150)
    assert ds.signal.dims == ("recording", "time", "input")
    assert ds.signal.chunks == ((6,), (150, 150, 100), (3,))  # small: one task a block
    same_bits(ds.signal.values, values)
    same_bits(ds.signal[:, 140:160].values, values[:, 140:160])
    assert list(ds.path.values) == paths and list(ds.input.values) == ["in0", "in1", "in2"]
    assert [ds[n].dims for n in ("path", "block_name", "trigger_time", "input", "units")] == \
        [("recording",)] * 3 + [("input",)] * 2
    assert ds.attrs == {"sample_time": 250e-6, "pretrigger_samples": 7, "inputs": 3,
                        "data_type": "float", "data_type_size": 4}
    assert ds.block_name.values.tolist() == ["Test"] * 6 and ds.signal.data.name[:8] == "morvela-"
    pytest.raises(ValueError, morvela.open_mfdataset, []).match("^no recordings to open$")
    # Recordings of no values: two to a task of 2 bytes, as of one byte each.
    empty = [write(f"e{k}.dat", header_bytes("short", 2, 0, 0)) for k in range(3)]
    monkeypatch.setattr(morvela._xarray, "TASK_BYTES", 2)
    no_inputs = morvela.open_mfdataset(empty)
    assert no_inputs.signal.chunks[0] == (2, 1) and no_inputs.input.dtype.kind == "U"
    assert no_inputs.signal.values.shape == (3, 0, 0)
    same_bits(pickle.loads(pickle.dumps(ds)).signal[2:4, ::5].values, values[2:4, ::5])
    glob_ds = morvela.open_mfdataset(str(tmp_path / "r*.dat"))
    assert glob_ds.signal.shape == (6, 400, 3)
    ints, values = stacked(recordings(write, 3, rows=400))
    same_bits(morvela.open_mfdataset(ints, block_rows=128).signal.max("time").values,
              values.max(axis=1))


@pytest.mark.parametrize("task_bytes, block_rows, cores, along", [
    (480, None, 1, (2, 2, 2, 1)),   # two recordings of 240 bytes fill a task
    (719, None, 1, (2, 2, 2, 1)),
    (479, None, 1, (1,) * 7),       # one byte less: a recording each
    (10**6, None, 1, (7,)),
    (10**6, 25, 1, (7,)),           # blocks of rows, all the recordings in each
    (150, 25, 1, (1,) * 7),         # a block of 25 rows is 150 bytes
    (10**6, None, 4, (2, 2, 2, 1)),  # never fewer tasks than cores
    (10**6, None, 7, (1,) * 7),
    (10**6, None, 3, (3, 3, 1)),
])
def test_small_recordings_share_a_task(write, monkeypatch, task_bytes, block_rows, cores, along):
    monkeypatch.setattr(morvela._xarray, "TASK_BYTES", task_bytes)
    monkeypatch.setattr(os, "cpu_count", lambda: cores)
    paths, values = stacked(recordings(write, 7, rows=40))  # 40 rows of 3 shorts
    ds = morvela.open_mfdataset(paths, block_rows=block_rows)
    assert ds.signal.chunks[0] == along
    assert ds.signal.data.npartitions == len(along) * len(ds.signal.chunks[1])
    same_bits(ds.signal.values, values)
    same_bits(ds.signal.max("time").values, values.max(axis=1))
    same_bits(ds.signal[5:, -3:].values, values[5:, -3:])


# How a third recording differs from two alike, and what is said of it.
UNLIKE = {
    "sample time": ({"sample_time": 99}, "sample time [us] 99 differs from 250"),
    "pretrigger samples": ({"pretrigger": 8}, "pretrigger samples 8 differs from 7"),
    "data type": ({"dtype": ">f4"}, "data type 'float' differs from 'double'"),
    "inputs": ({"inputs": 2}, "inputs ['in0', 'in1'] differs from ['in0', 'in1', 'in2']"),
    "rows": ({"rows": 300}, "rows 300 differs from 400"),
    "input names": ((248 + 96, b"ou"),
                    "inputs ['in0', 'ou1', 'in2'] differs from ['in0', 'in1', 'in2']"),
    "units": ((248 + 96 + 64, b"ou"), "units ['u0', 'ou', 'u2'] differs from ['u0', 'u1', 'u2']"),
    "data type size": ((236, b"\0\0\0\x09"), "data type size 9 differs from 8"),
}


@pytest.mark.parametrize("what", list(UNLIKE))
def test_open_mfdataset_refuses_unlike_recordings(write, what):
    paths, _ = stacked(recordings(write, 2, rows=400, dtype=">f8"))
    change, said = UNLIKE[what]
    if isinstance(change, tuple):  # bytes of the second recording changed
        (at, data), stored = change, bytearray(open(paths[1], "rb").read())
        stored[at:at + len(data)] = data
        path = write("x.dat", bytes(stored))
    else:
        options = {"rows": 400, "inputs": 3, "dtype": ">f8", **change}
        path = raw_recording(write, "x.dat", options.pop("rows"), options.pop("inputs"),
                             options.pop("dtype"), **options)[0]
    raised = pytest.raises(ValueError, morvela.open_mfdataset, [*paths, path])
    assert str(raised.value) == f"{path}: {said} of {paths[0]}"
    if what == "rows":  # padded on request
        assert morvela.open_mfdataset([*paths, path], pad=True).signal.shape == (3, 400, 3)


DEFAULT = object()


@pytest.mark.filterwarnings("error::RuntimeWarning")  # no overflow said either
@pytest.mark.parametrize("dtype, fill, held", [
    (">i2", -1, -1), (">i2", 2.0, 2), (">i2", -32768, -32768), (">i2", DEFAULT, None),
    (">i2", 32768, None), (">i2", np.nan, None), (">i2", 1.5, None),
    (">i2", 1e300, None), (">i2", "x", None), (">i2", True, None),
    ("|u1", 255, 255), ("|u1", 256, None), ("|u1", -1, None),
    (">i4", 2**31 - 1, 2**31 - 1), (">i4", 2**31, None),
    (">u4", 2**32 - 1, 2**32 - 1), (">u4", -1, None),
    (">f4", 0.5, 0.5), (">f4", 0.1, None), (">f4", 1e300, None), (">f4", np.inf, np.inf),
    (">f8", 0.1, 0.1), (">f8", np.nan, np.nan), (">f8", DEFAULT, np.nan),
])
def test_a_fill_value_is_held_exactly_or_refused_at_open(write, dtype, fill, held):
    # Padding never puts a value the type cannot hold: it would look like
    # a sample.
    longer, long_values = raw_recording(write, "long.dat", 5, 2, dtype)
    shorter, values = raw_recording(write, "short.dat", 3, 2, dtype, seed=1)
    # The first recording is the shorter one: the rows come from the longer.
    options = {"pad": True} if fill is DEFAULT else {"pad": True, "fill_value": fill}
    if held is None:
        with pytest.raises(ValueError, match="fill_value" + (
                "" if fill is DEFAULT else f" {re.escape(repr(fill))}")):
            morvela.open_mfdataset([shorter, longer], **options)
        if fill is not DEFAULT:  # refused where there is nothing to pad as well
            pytest.raises(ValueError, morvela.open_mfdataset, [shorter], fill_value=fill).match(
                f"fill_value {re.escape(repr(fill))}")
        return
    ds = morvela.open_mfdataset([shorter, longer], block_rows=2, **options)
    same_bits(ds.signal[0, :3].values, values)
    same_bits(ds.signal[1].values, long_values)
    # Two opens that differ only in fill_value, computed together: each
    # has its own.
    other = morvela.open_mfdataset([shorter, longer], pad=True, fill_value=0)
    mine, theirs = dask.compute(ds.signal[0, 3:].data, other.signal[0, 3:].data)
    same_bits(mine, np.full((2, 2), held, values.dtype))
    same_bits(theirs, np.zeros((2, 2), values.dtype))


def test_open_mfdataset_paths_name_the_files_meant(write, tmp_path, monkeypatch):
    (tmp_path / "d").mkdir()
    (tmp_path / "e").mkdir()
    first, values = raw_recording(write, "d/r[1].dat", 10, 2)
    raw_recording(write, "d/r1.dat", 10, 2, seed=9)  # what a glob of it matches
    # One PathLike is one file, brackets and all; a str is a pattern.
    same_bits(morvela.open_mfdataset(first).signal[0].values, values)
    assert morvela.open_mfdataset(str(first)).path.values.tolist() == [str(tmp_path / "d/r1.dat")]
    pytest.raises(FileNotFoundError, morvela.open_mfdataset, str(tmp_path / "d" / "x*")).match(
        r"^no recording matches '.*/d/x\*'$")
    # Relative paths hold after a change of folder, even where like-named
    # files wait in the new one.
    (tmp_path / "e" / "d").mkdir()
    raw_recording(write, "e/d/r[1].dat", 10, 2, seed=5)
    monkeypatch.chdir(tmp_path)
    ds = morvela.open_mfdataset([os.path.join("d", "r[1].dat")])
    monkeypatch.chdir(tmp_path / "e")
    same_bits(ds.signal[0].values, values)
    assert ds.path.values.tolist() == [os.path.join("d", "r[1].dat")]
    # What cannot be opened: not a recording, an unknown type, a FIFO, a
    # device, a folder.
    bad = write("bad.dat", b"KIVX" + bytes(400))
    raised = pytest.raises(morvela.NotRecordingError, xr.open_dataset, bad, engine="morvela")
    assert raised.value.path == str(bad)
    unknown = write("unknown.dat", header_bytes("long", 4, 1, 1) + input_bytes([b"a"]) + bytes(4))
    pytest.raises(morvela.UnknownDataTypeError, xr.open_dataset, unknown, engine="morvela")
    entry = MorvelaBackendEntrypoint()
    assert not any(entry.guess_can_open(p) for p in (bad, tmp_path / "missing.dat", tmp_path,
                                                     "x\0.dat", "s3://b/r.txt", b"s3://b/dat"))
    # A URL is not read to be guessed: its name says it.
    assert all(entry.guess_can_open(p) for p in ("s3://b/r.dat", b"gs://b/R.DAT"))
    os.mkfifo(tmp_path / "fifo.dat")
    pytest.raises(morvela.NotRecordingError, morvela.open_mfdataset, [first, bad])
    for odd in (tmp_path / "fifo.dat", "/dev/zero"):
        raised = pytest.raises(OSError, morvela.open_mfdataset, [first, odd])
        assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (
            errno.ESPIPE, "not a regular file: a recording is read at random", str(odd))
        pytest.raises(OSError, xr.open_dataset, odd, engine="morvela").match("not a regular file")

    # Objects of a filesystem other than S3, listed one by one.
    store = pytest.importorskip("fsspec").filesystem("memory")
    urls = [f"memory://{tmp_path.name}/{k}.dat" for k in range(2)]
    for url in urls:
        store.pipe_file(url, first.read_bytes())
    same_bits(morvela.open_mfdataset(urls).signal.values, np.stack([values, values]))
    missing = pytest.raises(FileNotFoundError, morvela.open_mfdataset, [urls[0], urls[1] + "9"])
    assert (missing.value.errno, missing.value.filename) == (errno.ENOENT, urls[1] + "9")
    store.rm(f"memory://{tmp_path.name}", recursive=True)
