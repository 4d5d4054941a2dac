"""The xarray engine, dask.distributed, and the Parquet and HDF5 exports,
checked against values decoded from the raw bytes with numpy."""

import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import morvela
from conftest import DEMO, header_bytes, input_bytes, raw_recording, same_bits

xr = pytest.importorskip("xarray")
pq = pytest.importorskip("pyarrow.parquet")
h5py = pytest.importorskip("h5py")

from morvela import _xarray  # noqa: E402 - after the skips
from morvela._xarray import MorvelaBackendEntrypoint  # noqa: E402


# The engine.

def test_open_dataset_through_the_entry_point_and_by_class():
    for engine in ("morvela", MorvelaBackendEntrypoint):
        with xr.open_dataset(DEMO, engine=engine) as ds:
            with morvela.open(DEMO) as rec:
                values, offsets = rec.read(), rec.time_offsets()
                columns, units = rec.columns, [i.unit for i in rec.inputs]
            assert list(ds.data_vars) == list(columns)
            assert ds.time.dtype == np.float64
            np.testing.assert_array_equal(ds.time.values, offsets)
            for j, name in enumerate(columns):
                assert ds[name].dtype == np.int16
                assert ds[name].attrs["units"] == units[j]
                np.testing.assert_array_equal(ds[name].values, values[:, j])
            assert ds.attrs["trigger_time"] == "2023-11-14T22:13:20.250000000Z"
            assert ds.attrs["samples"] == 600 and ds.attrs["data_type"] == "short"
    assert MorvelaBackendEntrypoint().guess_can_open(DEMO)


@pytest.mark.parametrize("dtype", [">u1", ">i4", ">u4", ">f4", ">f8"])
def test_values_are_the_stored_bits(write, dtype):
    path, values = raw_recording(write, "rec.dat", 1000, 3, dtype)
    with xr.open_dataset(path, engine="morvela", block_rows=64) as ds:
        for j in range(3):
            same_bits(ds[f"in{j}"].values, values[:, j])
            same_bits(ds[f"in{j}"][37:901:5].values, values[37:901:5, j])
            same_bits(ds[f"in{j}"][::-3].values, values[::-3, j])
            same_bits(ds[f"in{j}"][500].values, values[500, j])


def test_open_is_lazy_and_a_missing_block_raises_when_computed(write):
    path, values = raw_recording(write, "rec.dat", 5000, 2)
    with open(path, "r+b") as f:
        f.truncate(248 + 2 * 96 + 3000 * 4 + 1)  # rows 3000 on are gone
    ds = xr.open_dataset(path, engine="morvela", block_rows=1000)
    np.testing.assert_array_equal(ds["in1"][:3000].values, values[:3000, 1])
    with pytest.raises(morvela.TruncatedRecordingError) as raised:
        ds["in0"].values
    assert raised.value.row == 3000 and str(path) in str(raised.value)
    with pytest.raises(morvela.TruncatedRecordingError):
        xr.open_dataset(path, engine="morvela", chunks={}).compute()
    ds.close()


def test_a_recording_that_cannot_be_read_raises_at_open(write, tmp_path):
    bad = write("bad.dat", b"KIVX" + bytes(400))
    with pytest.raises(morvela.NotRecordingError) as raised:
        xr.open_dataset(bad, engine="morvela")
    assert raised.value.path == str(bad)
    unknown = write("unknown.dat", header_bytes("long", 4, 1, 2) +
                    input_bytes([b"a"]) + bytes(8))
    with pytest.raises(morvela.UnknownDataTypeError):
        xr.open_dataset(unknown, engine="morvela")
    entry = MorvelaBackendEntrypoint()
    assert not entry.guess_can_open(bad)
    assert not entry.guess_can_open(tmp_path / "missing.dat")
    assert not entry.guess_can_open(tmp_path)


def test_dask_chunks_follow_the_engine_or_the_caller(write):
    path, values = raw_recording(write, "rec.dat", 10_000, 3)
    with xr.open_dataset(path, engine="morvela", chunks={}, block_rows=3000) as ds:
        assert ds["in0"].chunks == ((3000, 3000, 3000, 1000),)
        np.testing.assert_array_equal(ds["in2"].values, values[:, 2])
    with pytest.warns(UserWarning, match="separate the stored chunks"), \
            xr.open_dataset(path, engine="morvela", chunks={"time": 2500}) as ds:
        assert ds["in0"].chunks == ((2500,) * 4,)
        assert int(ds["in1"].max()) == values[:, 1].max()


def test_a_block_is_decoded_once_for_every_input(write, monkeypatch):
    path, values = raw_recording(write, "rec.dat", 3000, 600)
    calls = []
    read = morvela.Recording.read

    def counted(self, start=0, stop=None, inputs=None, **options):
        calls.append((start, stop))
        return read(self, start, stop, inputs, **options)

    monkeypatch.setattr(morvela.Recording, "read", counted)
    with xr.open_dataset(path, engine="morvela", block_rows=1000) as ds:
        loaded = ds.load()
    assert sorted(calls) == [(0, 1000), (1000, 2000), (2000, 3000)]
    np.testing.assert_array_equal(loaded["in599"].values, values[:, 599])
    # Every block taken whole by every input was dropped.
    assert not [key for key in _xarray._BLOCKS._entries if key[0] == str(path)]


def test_open_files_stay_few_and_a_changed_file_is_refused(write, monkeypatch):
    monkeypatch.setattr(_xarray, "OPEN_RECORDINGS", 3)
    datasets = []
    for k in range(12):
        path, _ = raw_recording(write, f"f{k}.dat", 100, 2, seed=k)
        datasets.append(xr.open_dataset(path, engine="morvela"))
    before = len(os.listdir("/proc/self/fd"))
    for ds in datasets:
        ds.load()
    assert len(os.listdir("/proc/self/fd")) <= before + 3
    path, _ = raw_recording(write, "changing.dat", 100, 2)
    ds = xr.open_dataset(path, engine="morvela")
    raw_recording(write, "changing.dat", 101, 2)  # replaced after the open
    with pytest.raises(morvela.RecordingReadError, match="changed"):
        ds.load()


def test_datasets_pickle_by_path(write):
    path, values = raw_recording(write, "rec.dat", 2000, 2)
    with xr.open_dataset(path, engine="morvela", chunks={}) as ds:
        data = pickle.dumps(ds)
    again = pickle.loads(data)
    np.testing.assert_array_equal(again["in1"].values, values[:, 1])


def test_open_mfdataset_on_a_cluster_of_processes(write):
    distributed = pytest.importorskip("distributed")
    paths, expected = [], []
    for k in range(20):
        path, values = raw_recording(write, f"r{k:02d}.dat", 4000, 3, seed=k)
        paths.append(str(path))
        expected.append(values)
    with distributed.LocalCluster(n_workers=2, processes=True,
                                  threads_per_worker=1,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster):
        ds = xr.open_mfdataset(paths, engine="morvela", combine="nested",
                               concat_dim="recording", parallel=True,
                               chunks={"time": 1500})
        low = ds.min(dim="time").compute()
        high = ds.max(dim="time").compute()
        mean = ds.mean(dim="time").compute()
    stacked = np.stack(expected)
    for j in range(3):
        np.testing.assert_array_equal(low[f"in{j}"].values, stacked[:, :, j].min(axis=1))
        np.testing.assert_array_equal(high[f"in{j}"].values, stacked[:, :, j].max(axis=1))
        np.testing.assert_allclose(mean[f"in{j}"].values,
                                   stacked[:, :, j].mean(axis=1), rtol=1e-12)


# The exports.

@pytest.mark.parametrize("dtype", [">i2", ">f8", ">f4", ">u4"])
def test_exports_read_back_bit_for_bit(write, tmp_path, monkeypatch, dtype):
    # Small blocks: several row groups and chunks. Random bits: NaN payloads.
    monkeypatch.setattr(morvela._export, "BLOCK_BYTES", 4096)
    path, values = raw_recording(write, "rec.dat", 3001, 3, dtype)
    with morvela.open(path) as rec:
        offsets = rec.time_offsets()
    assert morvela.export(path, tmp_path / "rec.parquet") == str(tmp_path / "rec.parquet")
    table = pq.read_table(tmp_path / "rec.parquet")
    assert table.column_names == ["TimeOffset", "in0", "in1", "in2"]
    same_bits(table.column("TimeOffset").to_numpy(), offsets)
    for j in range(3):
        same_bits(table.column(f"in{j}").to_numpy(), values[:, j])
        assert table.schema.field(f"in{j}").metadata == {b"unit": b"u%d" % j}
    meta = pq.ParquetFile(tmp_path / "rec.parquet").metadata
    assert meta.num_row_groups == -(-3001 // (4096 // (3 * values.itemsize)))
    header = json.loads(table.schema.metadata[b"morvela"])
    assert header["header"]["samples"] == 3001
    frame = pq.read_table(tmp_path / "rec.parquet").to_pandas()
    same_bits(frame["in2"].to_numpy(), values[:, 2])

    morvela.export(path, tmp_path / "rec.h5")
    with h5py.File(tmp_path / "rec.h5") as f:
        same_bits(f["values"][...], values)
        same_bits(f["time_offset"][...], offsets)
        assert f["values"].chunks[0] < 3001 and f["values"].compression == "gzip"
        assert list(f.attrs["input_units"]) == ["u0", "u1", "u2"]
        assert f.attrs["samples"] == 3001
    morvela.export(path, tmp_path / "rec.bin", format="hdf5")
    assert h5py.is_hdf5(tmp_path / "rec.bin")


def test_export_leaves_nothing_half_written(write, tmp_path):
    path, values = raw_recording(write, "rec.dat", 5000, 2)
    good = tmp_path / "old.parquet"
    morvela.export(path, good)
    before = good.read_bytes()
    truncated, _ = raw_recording(write, "cut.dat", 5000, 2)
    os.truncate(truncated, 248 + 2 * 96 + 4000 * 4)
    for target in (good, tmp_path / "new.h5"):
        with pytest.raises(morvela.TruncatedRecordingError):
            morvela.export(truncated, target)
    assert good.read_bytes() == before
    assert not (tmp_path / "new.h5").exists()
    with pytest.raises(morvela.ExportError):
        morvela.export(path, tmp_path / "nodir" / "x.parquet")
    with pytest.raises(morvela.ExportError):
        morvela.export(path, path, format="hdf5")
    assert path.read_bytes()[:4] == b"KIV\0"
    with pytest.raises(ValueError):
        morvela.export(path, tmp_path / "x.csv")
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "cut.dat", "old.parquet", "rec.dat"]
    assert oct(os.stat(good).st_mode & 0o777) == oct(0o666 & ~_umask())


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _peak_rss_of_export(path, target):
    # VmHWM: the peak of this process alone (ru_maxrss keeps the parent's
    # across exec).
    code = ("import morvela, sys; morvela.export(sys.argv[1], sys.argv[2]);"
            "print([l.split()[1] for l in open('/proc/self/status')"
            " if l.startswith('VmHWM')][0])")
    done = subprocess.run([sys.executable, "-c", code, str(path), str(target)],
                          capture_output=True, text=True, check=True)
    return int(done.stdout) / 1024  # MiB


def test_export_memory_does_not_grow_with_the_recording(write, tmp_path):
    small, _ = raw_recording(write, "small.dat", 1_000_000, 16)   # 32 MB
    large, _ = raw_recording(write, "large.dat", 4_000_000, 16)   # 128 MB
    for suffix in (".parquet", ".h5"):
        a = _peak_rss_of_export(small, tmp_path / ("small" + suffix))
        b = _peak_rss_of_export(large, tmp_path / ("large" + suffix))
        assert b < a + 32, (suffix, a, b)
        assert b < 300, (suffix, b)


def test_export_command_line(write, tmp_path):
    distributed = pytest.importorskip("distributed")
    paths = [str(raw_recording(write, f"r{k}.dat", 500, 2, seed=k)[0])
             for k in range(4)]
    bad = str(write("bad.dat", b"nope"))
    out = tmp_path / "out"
    out.mkdir()
    run = [sys.executable, "-m", "morvela", "export"]
    done = subprocess.run(run + [*paths[:2], bad, paths[2], "-o", str(out),
                                 "--jobs", "2"], capture_output=True, text=True)
    assert done.returncode == 1
    # Each target as it is written: in the order they complete.
    assert sorted(done.stdout.split()) == [str(out / f"r{k}.parquet") for k in (0, 1, 2)]
    lines = done.stderr.splitlines()
    assert len(lines) == 2 and bad in lines[0] and "Traceback" not in done.stderr
    assert lines[1] == "morvela: exported 3 of 4 recordings, 1 failed"
    assert sorted(os.listdir(out)) == ["r0.parquet", "r1.parquet", "r2.parquet"]
    with distributed.LocalCluster(n_workers=2, processes=True,
                                  threads_per_worker=1,
                                  dashboard_address=":0") as cluster:
        done = subprocess.run(run + [*paths, "--to", "hdf5", "-o", str(out),
                                     "--scheduler", cluster.scheduler_address],
                              capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    for k, p in enumerate(paths):
        with h5py.File(out / f"r{k}.h5") as f, morvela.open(p) as rec:
            np.testing.assert_array_equal(f["values"][...], rec.read())
    done = subprocess.run(run + [paths[0], "--jobs", "0"], capture_output=True,
                          text=True)
    assert done.returncode == 2
    done = subprocess.run(run + [paths[0]], capture_output=True, text=True)
    assert done.returncode == 0
    assert done.stdout.strip() == paths[0][:-4] + ".parquet"
