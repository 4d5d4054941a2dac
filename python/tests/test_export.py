# morvela.export and export_batch: Parquet and HDF5 read back bit for bit
# against values decoded from the raw bytes with numpy; names, paths and
# modes; and batches that lose only what they report, in processes, on a
# cluster, and under a caller's signals.

import contextlib
import json
import multiprocessing
import os
import re
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import morvela
from morvela import _batch
from conftest import (TYPES, cli, header_bytes, input_bytes, interrupt_at, leftovers,
                      parquet_values, raw_recording, recordings, run_cli, same_bits, stacked,
                      stall_on_workers, when_exists)

pq = pytest.importorskip("pyarrow.parquet")
h5py = pytest.importorskip("h5py")


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
    assert table.schema.field("TimeOffset").metadata == {b"unit": b"s"}
    assert not any(field.nullable for field in table.schema)
    same_bits(table.column("TimeOffset").to_numpy(), offsets)
    for j in range(3):
        same_bits(table.column(f"in{j}").to_numpy(), values[:, j])
        assert table.schema.field(f"in{j}").metadata == {b"unit": b"u%d" % j}
    meta = pq.ParquetFile(tmp_path / "rec.parquet").metadata
    # TimeOffset and floats split into byte streams, short integers
    # delta-encoded, the rest plain; zstd for integers, lz4 for floats.
    column = meta.row_group(0).column
    encoding = {"i2": "DELTA_BINARY_PACKED", "f4": "BYTE_STREAM_SPLIT"}.get(values.dtype.str[1:])
    assert [e[-1] for e in (column(j).encodings for j in range(4))] == \
        ["BYTE_STREAM_SPLIT"] + [encoding or "PLAIN"] * 3
    assert column(1).compression == ("LZ4" if values.dtype.kind == "f" else "ZSTD")
    group = morvela._export.PARQUET_BLOCKS * (4096 // (3 * values.itemsize))
    assert meta.num_row_groups == -(-3001 // group)
    assert json.loads(table.schema.metadata[b"morvela"])["header"]["samples"] == 3001
    # The readers the README names read every value and TimeOffset bit for
    # bit, by default and with each codec; a codec is Parquet's alone.
    pd, pl, duckdb = (pytest.importorskip(m) for m in ("pandas", "polars", "duckdb"))
    for compression in (None, *morvela._export.CODECS):
        target = morvela.export(path, tmp_path / f"{compression}.parquet", compression=compression)
        for frame in (pd.read_parquet(target), pl.read_parquet(target).to_pandas(),
                      duckdb.sql(f"select * from read_parquet('{target}')").df()):
            same_bits(frame["TimeOffset"], offsets)
            same_bits(frame[["in0", "in1", "in2"]].to_numpy(), values)
    pytest.raises(ValueError, morvela.export, path, tmp_path / "x.h5",
                  compression="zstd").match("^unknown compression 'zstd' for hdf5: HDF5 is")
    morvela.export(path, tmp_path / "rec.h5")
    with h5py.File(tmp_path / "rec.h5") as f:
        same_bits(f["values"][...], values)
        # Chunked by block, gzip level 1 with shuffle.
        block, v = 4096 // (3 * values.itemsize), f["values"]
        assert (v.chunks, v.compression, v.compression_opts, v.shuffle) == ((block, 3), "gzip", 1, True)
        assert list(f.attrs["input_units"]) == ["u0", "u1", "u2"]
        assert f.attrs["samples"] == 3001
    morvela.export(path, tmp_path / "rec.bin", format="hdf5")
    assert h5py.is_hdf5(tmp_path / "rec.bin")


# Blocks of 2 bytes: a row of no values, or of one short, or wider than a
# block, and the rows of each block as progress tells them.
@pytest.mark.parametrize("rows, inputs, told", [
    (0, 2, []), (3, 0, [2, 3]), (0, 0, []), (1, 1, [1]), (2, 3, [1, 2])])
def test_recordings_without_rows_or_inputs_export(write, tmp_path, monkeypatch, rows, inputs,
                                                  told):
    monkeypatch.setattr(morvela._export, "BLOCK_BYTES", 2)
    # A trigger time that falls back to the clock, too.
    path = write("rec.dat", header_bytes("short", 2, inputs, rows, trigger_time=-10.0) +
                 input_bytes([b"a", b"b", b"c"][:inputs]) + bytes(2 * rows * inputs))
    with morvela.open(path) as rec:  # every row is held, without inputs too
        assert rec.complete_rows == rows
    progress = []
    morvela.export(path, tmp_path / "rec.h5", progress=lambda done, total: progress.append(done))
    assert progress == told

    assert not open_in(tmp_path)  # the export closed what it wrote
    with h5py.File(tmp_path / "rec.h5") as f:
        assert f["values"].shape == (rows, inputs) and f["time_offset"].shape == (rows,)
        assert (f["values"].compression == "gzip") == f["values"].shuffle == bool(rows and inputs)
    morvela.export(path, tmp_path / "rec.parquet")
    assert not open_in(tmp_path)
    table = pq.read_table(tmp_path / "rec.parquet")
    assert (table.num_rows, table.num_columns) == (rows, inputs + 1)
    assert pq.ParquetFile(tmp_path / "rec.parquet").metadata.num_row_groups == 1


def open_in(folder):
    # This process's descriptors open on files in `folder` (the listing's
    # own, closed by then, is no longer there).
    links = [f"/proc/self/fd/{fd}" for fd in os.listdir("/proc/self/fd")]
    return [link for link in links if os.path.exists(link)
            and os.readlink(link).startswith(str(folder))]


@pytest.mark.parametrize("to, suffix, reason", [
    ("hdf5", ".h5", ""), ("parquet", ".parquet", ""),
    ("report", ".txt", "Output file write error (254): ")])
def test_a_write_the_system_refuses_is_an_export_error(write, tmp_path, capsys, monkeypatch, to,
                                                       suffix, reason):
    # A file-size limit here: a full disk says the same, later. The
    # command line says it in one line naming the source and the target
    # once.
    import resource

    path, _ = raw_recording(write, "rec.dat", 800_000, 8)
    monkeypatch.setattr(morvela._export, "BLOCK_BYTES", 1 << 20)  # refused between blocks
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)

    previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, limit[1]))
    try:
        with pytest.raises(morvela.ExportError) as raised:
            (morvela.convert if to == "report" else morvela.export)(path, tmp_path / f"rec{suffix}")
        status, out, err = cli(capsys, *(["convert", path] if to == "report" else
                                         ["export", path, "--to", to]), "--jobs", "1")
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)
        signal.signal(signal.SIGXFSZ, previous)
    said = f"cannot write {tmp_path}/rec{suffix}: {reason}File too large"
    assert str(raised.value) == said
    assert (status, out) == (1, "")
    done = "converted" if to == "report" else "exported"
    assert err.splitlines() == [f"morvela: {path}: {said}",
                                f"morvela: {done} 0 of 1 recordings, 1 failed"]
    assert sorted(os.listdir(tmp_path)) == ["rec.dat"]


def test_hdf5_is_written_through_short_writes():
    # A file may take part of a write, or none.
    taken = []

    class Short:
        def write(self, data):
            taken.append(bytes(data[:3]) if len(taken) % 2 else b"")
            return len(taken[-1]) or None

    morvela._export._Sink(Short()).write(b"abcdefgh")
    assert b"".join(taken) == b"abcdefgh"


def test_names_and_units_are_unique_utf8(write, tmp_path):
    path = write("names.dat", header_bytes("short", 2, 5, 3, trigger_time=1700000000.123456789,
                                           name=b"bl\xe9") +
                 input_bytes([b"TimeOffset", b"A\xe9", b"A\xe8", b"A\xef\xbf\xbd", b"x"],
                             [b"V", b"\xb0C", b"m", b"s", b"A"]) + bytes(range(30)))
    expected = ["TimeOffset.1", "A\ufffd", "A\ufffd.1", "A\ufffd.2", "x"]
    with morvela.open(path) as rec:  # the names pandas and the exports show
        values, header = rec.read(), rec.header
        assert list(rec.columns) == expected == list(rec.to_pandas().columns) == \
            morvela.column_names(rec.inputs) == morvela.column_names(rec)
        assert list(rec.to_pandas(inputs=["A\udce9"]).columns) == ["A\ufffd"]
    morvela.export(path, tmp_path / "names.parquet")
    table = pq.read_table(tmp_path / "names.parquet")
    assert table.column_names == ["TimeOffset", *expected]
    assert [table.schema.field(n).metadata[b"unit"].decode() for n in expected] == \
        ["V", "\ufffdC", "m", "s", "A"]
    same_bits(table.to_pandas()[expected].to_numpy(), values)
    stored = json.loads(table.schema.metadata[b"morvela"])
    assert stored["columns"] == expected
    assert stored["inputs"][1]["name"].encode("utf-8", "surrogateescape") == b"A\xe9"
    assert [i["unit"].encode("utf-8", "surrogateescape") for i in stored["inputs"]] == \
        [b"V", b"\xb0C", b"m", b"s", b"A"]
    morvela.export(path, tmp_path / "names.h5")
    with h5py.File(tmp_path / "names.h5") as f:
        assert list(f.attrs["columns"]) == expected
        assert list(f.attrs["input_names"])[0] == "TimeOffset"
        assert json.loads(f.attrs["morvela"]) == stored and f.attrs["_NCProperties"].startswith(
            b"version=2,morvela=") and f["values"].attrs["_Netcdf4Coordinates"].tolist() == [0, 1]
        assert [h5py.check_string_dtype(f.attrs.get_id(k).dtype) for k in ("block_name", "data_type")] \
            == [("utf-8", 5), ("ascii", 5)]
        assert [d.keys() for d in f["values"].dims] == [["time_offset"], ["input"]]
        assert [f[k].attrs["_Netcdf4Coordinates"].tolist() for k in ("time_offset", "input")] == [[0], [1]]
        assert (f.attrs["trigger_time"], f.attrs["block_name"].decode()) == \
            (header.trigger_time_iso().encode(), "bl\ufffd")
        assert np.datetime64(f.attrs["trigger_time"].decode().rstrip("Z"), "ns") == \
            np.datetime64(header.trigger_time_ns, "ns")


CDL = {"char": "byte", "unsigned char": "ubyte", "short": "short", "unsigned short": "ushort",
       "int": "int", "unsigned int": "uint", "float": "float", "double": "double"}


# The HDF5 export is netCDF-4: values (time_offset, input) with both as
# coordinates, for xarray's two engines, netCDF4 and ncdump alike.
@pytest.mark.parametrize("type_name, rows, inputs", [
    *((t, 40, 3) for t in CDL), ("short", 0, 2), ("double", 1, 1), ("unsigned char", 1, 5000)])
def test_hdf5_reads_as_netcdf4_with_named_dimensions(write, tmp_path, type_name, rows, inputs):
    xr = pytest.importorskip("xarray")
    path, values = raw_recording(write, "rec.dat", rows, inputs, ">" + TYPES[type_name],
                                 type_name=type_name)
    with morvela.open(path) as rec:
        offsets, names = rec.time_offsets(), list(rec.columns)
    morvela.export(path, tmp_path / "rec.h5")
    for engine in ("h5netcdf", "netcdf4"):  # the second is netCDF4-python's
        with xr.open_dataset(tmp_path / "rec.h5", engine=engine) as ds:
            assert ds["values"].dims == ("time_offset", "input")
            assert ds.input.values.tolist() == names
            same_bits(ds["values"].values, values)
            same_bits(ds.time_offset.values, offsets)
            assert ds.time_offset.attrs["units"] == "s" and ds.attrs["data_type"] == type_name
    assert f"\t{CDL[type_name]} values(time_offset, input) ;\n" in subprocess.run(
        ["ncdump", "-h", tmp_path / "rec.h5"], capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("umask", [0o022, 0o027, 0o002])
def test_an_export_is_whole_or_absent_and_keeps_the_umask(write, tmp_path, monkeypatch, umask):
    path, values = raw_recording(write, "rec.dat", 5000, 4)
    monkeypatch.setattr(morvela._export, "BLOCK_BYTES", 4000)
    old = os.umask(umask)
    try:
        def no_umask(mask):
            raise AssertionError("the umask is process-wide state")

        monkeypatch.setattr(os, "umask", no_umask)
        made, real_open = [], os.open  # each new file beside its target
        monkeypatch.setattr(os, "open", lambda p, flags, *a: made.append(
            (os.path.dirname(os.fsdecode(p)), flags & (os.O_CREAT | os.O_EXCL | os.O_CLOEXEC)))
            or real_open(p, flags, *a))
        rows = {".h5": [], ".parquet": []}
        for suffix, told in rows.items():
            morvela.export(path, tmp_path / ("old" + suffix),
                           progress=lambda done, total: told.append((done, total)))
    finally:
        monkeypatch.undo()
        os.umask(old)
    # A block is 500 rows here, a Parquet row group four of them.
    assert rows == {".h5": [(min(500 * k, 5000), 5000) for k in range(1, 11)],
                    ".parquet": [(2000, 5000), (4000, 5000), (5000, 5000)]}
    # Each made anew, never over a file, and closed to any program started.
    assert set(made) == {(str(tmp_path), os.O_CREAT | os.O_EXCL | os.O_CLOEXEC)}

    for suffix in (".h5", ".parquet"):
        assert os.stat(tmp_path / ("old" + suffix)).st_mode & 0o777 == 0o666 & ~umask
    before = (tmp_path / "old.parquet").read_bytes()
    cut, _ = raw_recording(write, "cut.dat", 5000, 2)
    os.truncate(cut, 248 + 2 * 96 + 4000 * 4)
    for target in (tmp_path / "old.parquet", tmp_path / "new.h5"):
        pytest.raises(morvela.TruncatedRecordingError, morvela.export, cut, target)
    for target, to, error, said in (
            (tmp_path / "nodir" / "x.parquet", None, morvela.ExportError, "No such file"),
            (tmp_path / "x.csv", None, ValueError, f"^{re.escape(str(tmp_path))}/x.csv: the suffix "
             r"names no format \(one of .parquet, .h5, .hdf5\)$"),
            (tmp_path / "x.h5", "csv", ValueError, "^unknown format 'csv': parquet or hdf5$"),
            (3, None, morvela.ExportError,
             "^not a path: 3: expected str, bytes or os.PathLike object, not int$")):
        pytest.raises(error, morvela.export, path, target, format=to).match(said)
    assert (tmp_path / "old.parquet").read_bytes() == before
    assert path.read_bytes()[:4] == b"KIV\0"
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "cut.dat", "old.h5", "old.parquet", "rec.dat"]
    # A writer's own failure (not the system's) is its text on one line.
    def odd(*args):
        raise RuntimeError("odd,\n  on two lines")

    monkeypatch.setitem(morvela._export._WRITERS, "parquet", odd)
    raised = pytest.raises(morvela.ExportError, morvela.export, path, tmp_path / "odd.parquet")
    assert str(raised.value) == f"cannot write {tmp_path / 'odd.parquet'}: odd, on two lines"
    assert raised.value.reason == "odd, on two lines" and not leftovers(tmp_path)


def test_paths_are_bytes_to_the_system(write, tmp_path):
    raw = os.fsencode(tmp_path) + b"/r\xff.dat"
    path, values = raw_recording(write, "plain.dat", 20, 2)
    os.rename(path, raw)
    # A bytes target, a str target with surrogates, and names of 255 bytes.
    assert morvela.export(raw, raw[:-4] + b".x.h5") == raw[:-4] + b".x.h5"
    odd = os.fsdecode(raw[:-4] + b"\xfe.parquet")
    assert morvela.export(raw, odd) == odd
    same_bits(parquet_values(os.fsencode(odd)), values)
    for suffix in (".parquet", ".h5"):
        long = tmp_path / ("n" * (255 - len(suffix)) + suffix)
        morvela.export(raw, long)
        assert long.exists()
    # The recording itself, by another spelling or a link, is never the
    # target.
    os.symlink(raw, os.fsencode(tmp_path) + b"/soft.h5")
    os.link(raw, os.fsencode(tmp_path) + b"/hard.h5")
    for other in (raw, os.fsencode(tmp_path) + b"/./r\xff.dat",
                  os.fsencode(tmp_path) + b"/soft.h5", os.fsencode(tmp_path) + b"/hard.h5"):
        pytest.raises(morvela.ExportError, morvela.export, raw, other, "hdf5").match("itself")
    with morvela.open(raw) as rec:
        same_bits(rec.read(), values)
    assert leftovers(tmp_path) == []
    # A batch names each target as its source is named: bytes for bytes.
    [outcome] = morvela.export_batch([raw], format="hdf5", jobs=1)
    assert outcome == morvela.Outcome(raw, raw[:-4] + b".h5", None)
    # The command line's --print0 passes the bytes on as they are.
    for to, suffix in (("parquet", b".parquet"), ("hdf5", b".h5")):
        done = run_cli(b"export", raw, b"--to", to.encode(), b"--print0")
        assert (done.returncode, done.stdout) == (0, raw[:-4] + suffix + b"\0"), done.stderr
    same_bits(parquet_values(raw[:-4] + b".parquet"), values)


@pytest.mark.skipif(multiprocessing.get_start_method() != "fork",
                    reason="the workers must inherit the fault")
@pytest.mark.parametrize("job", ["export", "convert"])
def test_a_batch_loses_only_what_it_reports(write, tmp_path, monkeypatch, job):
    # A recording that is none, one whose worker process dies under it, and
    # one whose worker is killed from outside: the rest are written.
    made = recordings(write, 4)
    bad = write("notrec.dat", b"nothing of the kind" * 10)
    doomed = raw_recording(write, "doomed.dat", 50, 2)[0]
    name = f"{job}_to"
    real = getattr(_batch, name)

    busy = str(tmp_path / "busy")

    def dying(source, *args):
        if source.endswith(b"doomed.dat"):
            os.kill(os.getpid(), signal.SIGKILL)
        if source.endswith(b"r1.dat") and not os.path.exists(busy):
            with open(busy + ".part", "w") as f:  # the first attempt waits
                f.write(str(os.getpid()))
            os.rename(busy + ".part", busy)
            time.sleep(30)
        return real(source, *args)

    monkeypatch.setattr(_batch, name, dying)
    seen = []
    def kill():  # unless the pool's end took it first
        with contextlib.suppress(ProcessLookupError):
            os.kill(int(open(busy).read()), signal.SIGKILL)

    when_exists(busy, kill)
    # r1 first: the first worker takes it, and its first attempt waits to
    # be killed; every other task goes to the pool as well.
    sources = [made[1][0], bad, doomed, made[0][0], *(p for p, _ in made[2:])]
    (tmp_path / "out").mkdir()
    outcomes = getattr(morvela, f"{job}_batch")(sources, tmp_path / "out", jobs=2,
                                                progress=seen.append)
    assert [o.source for o in outcomes] == [os.fspath(s) for s in sources]
    assert sorted(seen) == sorted(outcomes) and os.path.exists(busy)
    assert outcomes[2].error == f"the worker process {job}ing it died" and outcomes[1].error
    for outcome in outcomes:
        assert os.path.exists(outcome.target) == (outcome.error is None)
    assert [o.error for o in outcomes if o.error] == [outcomes[1].error, outcomes[2].error]
    for path, values in made if job == "export" else ():
        same_bits(parquet_values(outcomes[sources.index(path)].target), values)
    assert not leftovers(tmp_path / "out")


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_batch_says_why_each_recording_was_not_written(write, tmp_path, monkeypatch, jobs):
    # Each case: the reason of its export, and of its report.
    good, good_values = raw_recording(write, "good.dat", 10, 1)
    cases = {
        "good.dat": (good, None, None),
        "short.dat": (write("short.dat", header_bytes("short", 2, 1, 1)[:247]),
                      "Input file read error", "Input file read error (255)"),
        "magic.dat": (write("magic.dat", b"KIVX" + bytes(400)),
                      "Input file is not a transient recorder file",
                      "Input file is not a transient recorder file (250)"),
        "unknown.dat": (write("unknown.dat", header_bytes("bogus", 2, 1, 2) +
                              input_bytes([b"a"]) + bytes(4)),
                        "Unknown data type 'bogus' of 2 bytes", "Unknown data type (252)"),
        "cut.dat": (write("cut.dat", header_bytes("short", 2, 2, 100) +
                          input_bytes([b"a", b"b"]) + bytes(10)),
                    "Input file read error: row 2 is not in the file, which holds 2 of 100 rows",
                    "Input file read error (255)"),
        "huge.dat": (write("huge.dat", header_bytes("short", 2, 0xFFFFFFFF, 1)),
                     "Memory allocation error", "Memory allocation error (251)"),
        "missing.dat": (tmp_path / "missing.dat", "No such file or directory",
                        "Input file read error (255): No such file or directory"),
        "odd.dat": (raw_recording(write, "odd.dat", 10, 1)[0], "RuntimeError: odd",
                    "RuntimeError: odd"),
    }
    real = {name: getattr(_batch, name) for name in ("export_to", "convert_to")}

    def odd(name):
        def job(source, *args):
            if source.endswith(b"odd.dat"):
                raise RuntimeError("odd")
            return real[name](source, *args)
        return job

    for name in real:
        monkeypatch.setattr(_batch, name, odd(name))
    (tmp_path / "out").mkdir()
    sources = [p for p, _, _ in cases.values()]
    with ThreadPoolExecutor(1) as thread:  # a batch runs off the main thread too
        outcomes = thread.submit(morvela.export_batch, sources, tmp_path / "out", jobs=jobs,
                                 compression="none").result(120)
        reports = thread.submit(morvela.convert_batch, sources, tmp_path / "out",
                                jobs=jobs).result(120)
    assert [o.error for o in outcomes] == [said for _, said, _ in cases.values()]
    assert [o.error for o in reports] == [said for _, _, said in cases.values()]
    assert sorted(os.listdir(tmp_path / "out")) == ["good.parquet", "good.txt"]
    same_bits(parquet_values(outcomes[0].target), good_values)
    assert pq.ParquetFile(outcomes[0].target).metadata.row_group(0).column(1).compression == \
        "UNCOMPRESSED"
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    [outcome] = morvela.export_batch([good], tmp_path / "nodir", jobs=jobs)
    [report] = morvela.convert_batch([good], tmp_path / "nodir", jobs=jobs)
    pytest.raises(ValueError, morvela.export_batch, [good], tmp_path / "out",
                  "csv", jobs=jobs).match("^unknown format 'csv': parquet or hdf5$")
    pytest.raises(ValueError, morvela.export_batch, [good], compression="lz5").match(
        "^unknown compression 'lz5' for parquet: one of none, snappy, gzip, brotli, lz4, zstd$")

    assert outcome.error == f"cannot write {tmp_path}/nodir/good.parquet: No such file or directory"
    assert report.error == f"cannot write {tmp_path}/nodir/good.txt: No such file or directory"


def test_a_cluster_reads_what_relative_paths_name_and_loses_no_recording(
        write, tmp_path, cluster, monkeypatch):
    # The workers started in another folder: a relative path left as it
    # is names nothing there.
    _, client = cluster
    (tmp_path / "runs").mkdir()
    (tmp_path / "out").mkdir()
    _, values = raw_recording(write, "runs/r0.dat", 200, 2, seed=5)
    monkeypatch.chdir(tmp_path)
    outcomes = morvela.export_batch(["runs/r0.dat"], "out", "hdf5", client=client)
    assert outcomes == [morvela.Outcome("runs/r0.dat", "out/r0.h5", None)]
    with h5py.File(tmp_path / "out" / "r0.h5") as f:
        same_bits(f["values"][...], values)
    from distributed import get_task_stream

    with get_task_stream(client) as tasks:
        assert morvela.convert_batch(["runs/r0.dat"], "out", client=client) == [
            morvela.Outcome("runs/r0.dat", "out/r0.txt", None)]
    assert tasks.data  # run on the cluster
    assert (tmp_path / "out" / "r0.txt").read_bytes().split(b"\r\n")[1].endswith(b" out/r0.txt")
    # Lazy arrays of many recordings, opened and read in the cluster's
    # processes.
    xr = pytest.importorskip("xarray")
    paths, values = stacked(recordings(write, 6, rows=4000))
    with client.as_current():
        ds = morvela.open_mfdataset(paths, block_rows=1500)
        same_bits(ds.signal.max("time").compute().values, values.max(axis=1))
        with xr.open_mfdataset(paths, engine="morvela", combine="nested", concat_dim="recording",
                               parallel=True, chunks={"time": 1500}) as again:
            same_bits(again.signal.min("time").compute().values, values.min(axis=1))
    # A worker killed mid-write costs its cluster no recording.
    made = recordings(write, 4, rows=3000, inputs=2, prefix="k")
    marker = str(tmp_path / "stalled")
    client.run(stall_on_workers, marker)
    when_exists(marker, lambda: os.kill(int(open(marker).read()), signal.SIGKILL))
    outcomes = morvela.export_batch([p for p, _ in made], tmp_path / "out", client=client)
    assert os.path.exists(marker + ".claimed")  # a worker was killed mid-write
    assert [o.error for o in outcomes] == [None] * 4
    for outcome, (_, values) in zip(outcomes, made):
        same_bits(parquet_values(outcome.target), values)
    assert not leftovers(tmp_path / "out")


@pytest.mark.skipif(multiprocessing.get_start_method() != "fork",
                    reason="the pool's workers are this process's children")
def test_a_worker_killed_between_two_tasks_costs_no_recording(write, tmp_path):
    # Killed from outside once the first recording is written, before the
    # batch hands its pool the next.
    made = recordings(write, 12, rows=3000, inputs=2)
    killed = []

    def progress(outcome):
        if not killed:
            killed.append(multiprocessing.active_children()[0].pid)
            os.kill(killed[0], signal.SIGKILL)
            time.sleep(1)  # the pool sees it dead

    (tmp_path / "out").mkdir()
    outcomes = morvela.export_batch([p for p, _ in made], tmp_path / "out", jobs=2,
                                    progress=progress)
    assert killed and [o.error for o in outcomes] == [None] * 12
    for outcome, (_, values) in zip(outcomes, made):
        same_bits(parquet_values(outcome.target), values)
    assert not leftovers(tmp_path / "out")


def test_a_cluster_lost_mid_batch_leaves_each_recording_said(write, tmp_path, cluster):
    # Lost while a worker writes: what was in flight is not confirmed, and
    # a batch given a client that is closed runs nothing.
    _, client = cluster
    sources = [p for p, _ in recordings(write, 6, rows=3000, inputs=2)]
    marker, release = str(tmp_path / "stalled"), str(tmp_path / "release")
    client.run(stall_on_workers, marker, release)
    when_exists(marker, client.close)
    (tmp_path / "out").mkdir()
    try:
        outcomes = morvela.export_batch(sources, tmp_path / "out", client=client)
        lost = "the connection to the scheduler was lost"
        unsure = f"not confirmed: {lost}; a worker may still write it"
        assert {o.error for o in outcomes} - {None} == {unsure}
        assert all(os.path.exists(o.target) for o in outcomes if o.error is None)
        assert [o.error for o in morvela.convert_batch(sources[:2], tmp_path, client=client)] == \
            [f"not converted: {lost}"] * 2
    finally:
        open(release, "w").close()


@pytest.mark.parametrize("handler, job", [("ignored", "export"), ("own", "export"),
                                          ("own", "convert")])
def test_a_callers_own_signal_handling_is_kept(write, tmp_path, monkeypatch, handler, job):
    # SIGINT ignored by the caller leaves the batch running; a handler of
    # the caller's that returns stops it, and the recordings not written say
    # so.
    sources = [p for p, _ in recordings(write, 3, rows=3000, inputs=2)]
    calls = []
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN if handler == "ignored"
                             else lambda signum, frame: calls.append(signum))
    try:
        interrupt_at(monkeypatch, "mid-write" if job == "export" else "created", b"r1.",
                     lambda: os.kill(os.getpid(), signal.SIGINT))
        (tmp_path / "out").mkdir()
        outcomes = getattr(morvela, f"{job}_batch")(sources, tmp_path / "out")
    finally:
        signal.signal(signal.SIGINT, previous)
    errors = [o.error for o in outcomes]
    if handler == "ignored":
        assert errors == [None] * 3 and calls == []
    else:
        assert errors == [None] + [f"not {job}ed: the batch was stopped"] * 2
        assert calls == [signal.SIGINT]
        assert os.listdir(tmp_path / "out") == ["r0.parquet" if job == "export" else "r0.txt"]


def test_workers_end_with_the_program_that_started_them(write, tmp_path):
    # A program whose batch runs in worker processes, ended by SIGTERM
    # (Python's default handler) or SIGKILL, or hung up with its workers
    # (SIGHUP to the group, as a closed terminal sends it): no worker goes
    # on writing, and no temporary file stays.
    sources = [str(p) for p, _ in recordings(write, 3, rows=3000, inputs=2)]
    marker = tmp_path / "started"
    script = f"""
import os, sys, time, morvela, morvela._export
real = morvela._export._blocks
def blocks(rec, progress, rows, by_input=False):
    for block in real(rec, progress, rows, by_input):
        yield block
        with open({str(marker)!r} + str(os.getpid()), "w"):
            pass
        time.sleep(3600)
morvela._export._blocks = blocks
morvela._export.BLOCK_BYTES = 4096
morvela.export_batch({sources!r}, {str(tmp_path / "out")!r}, jobs=2)
"""
    (tmp_path / "out").mkdir()
    for signum in (signal.SIGTERM, signal.SIGKILL, signal.SIGHUP):
        program = subprocess.Popen([sys.executable, "-c", script], start_new_session=True)
        try:
            while len(list(tmp_path.glob("started*"))) < 2:
                assert program.poll() is None
                time.sleep(0.01)
            workers = [int(m.name[len("started"):]) for m in tmp_path.glob("started*")]
            os.killpg(program.pid, signum) if signum == signal.SIGHUP else program.send_signal(signum)
            assert program.wait(60) == -signum
            for pid in workers:
                for _ in range(6000):
                    if not os.path.exists(f"/proc/{pid}") or \
                            open(f"/proc/{pid}/stat").read().split()[2] == "Z":
                        break
                    time.sleep(0.01)
                else:
                    raise AssertionError(f"worker {pid} outlived its program")
                os.unlink(f"{marker}{pid}")
        finally:
            # A failed case must not leave its workers asleep for an hour.
            with contextlib.suppress(ProcessLookupError):
                os.killpg(program.pid, signal.SIGKILL)
        assert os.listdir(tmp_path / "out") == []
