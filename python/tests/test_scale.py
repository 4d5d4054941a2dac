"""The Parquet and HDF5 exports, checked against values decoded from the
raw bytes with numpy."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import morvela
from conftest import raw_recording, same_bits

pq = pytest.importorskip("pyarrow.parquet")
h5py = pytest.importorskip("h5py")


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
    group = morvela._export.PARQUET_BLOCKS * (4096 // (3 * values.itemsize))
    assert meta.num_row_groups == -(-3001 // group)
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


def _peak_rss_of_export(path, target, setup="pass"):
    # VmHWM: the peak of this process alone (ru_maxrss keeps the parent's
    # across exec).
    code = (f"import morvela, sys; {setup}; morvela.export(sys.argv[1], sys.argv[2]);"
            "print([l.split()[1] for l in open('/proc/self/status')"
            " if l.startswith('VmHWM')][0])")
    done = subprocess.run([sys.executable, "-c", code, str(path), str(target)],
                          capture_output=True, text=True, check=True)
    return int(done.stdout) / 1024  # MiB


def test_export_memory_does_not_grow_with_the_recording(write, tmp_path):
    small, _ = raw_recording(write, "small.dat", 1_000_000, 16)   # 32 MB
    large, _ = raw_recording(write, "large.dat", 4_000_000, 16)   # 128 MB
    # Blocks of 4 MiB: both recordings span many.
    setup = "morvela._export.BLOCK_BYTES = 4 << 20"
    for suffix in (".parquet", ".h5"):
        a = _peak_rss_of_export(small, tmp_path / ("small" + suffix), setup)
        b = _peak_rss_of_export(large, tmp_path / ("large" + suffix), setup)
        assert b < a + 32, (suffix, a, b)
    # With the blocks as they are: a row group's worth, not the recording.
    assert _peak_rss_of_export(large, tmp_path / "default.parquet") < 400


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
