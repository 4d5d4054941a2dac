"""Hostile use of the package: odd paths, lying headers, files that change
under the reader, selections numpy users would try, threads, reports of
failed runs, and the command line's outputs."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import morvela
from conftest import convert, header_bytes, in_threads, input_bytes, report_time


def recording(write, rows, inputs=3, type_name="short", size=2, name="rec.dat",
              **header):
    """A recording whose value at (row, input) is row * inputs + input,
    stored big-endian in fields of `size` bytes (the value in the last
    bytes, zeros before it). Returns (path, values)."""
    values = np.arange(rows * inputs, dtype=np.int64).reshape(rows, inputs)
    dtype = {"short": ">i2", "int": ">i4", "unsigned int": ">u4",
             "double": ">f8"}[type_name]
    width = np.dtype(dtype).itemsize
    stored = values.astype(dtype).reshape(-1, 1).view(np.uint8)
    if size > width:
        stored = np.hstack([np.zeros((stored.shape[0], size - width), np.uint8),
                            stored])
    data = (header_bytes(type_name, size, inputs, rows, **header) +
            input_bytes([b"in%d" % j for j in range(inputs)]) +
            stored[:, -size:].tobytes())
    return write(name, data), values.astype(dtype).astype(dtype[1:])


def run_cli(*args, **options):
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    return subprocess.run([sys.executable, "-m", "morvela", *args], **options)


# Paths: a NUL, and names that are not UTF-8.

def test_a_path_with_a_nul_is_refused(write):
    path, _ = recording(write, 4)
    with pytest.raises(ValueError):
        morvela.open(str(path) + "\0x")
    with pytest.raises(ValueError):
        morvela.open(os.fsencode(path) + b"\0x")


def test_names_that_are_not_utf8(tmp_path):
    raw = os.path.join(os.fsencode(tmp_path), b"rec\xff\xfe.dat")
    data = (header_bytes("short", 2, 1, 2, name=b"bl\xe9") +
            input_bytes([b"\xb5A"], [b"\xb0C"]) + b"\0\1\0\2")
    with open(raw, "wb") as f:
        f.write(data)
    listed = os.listdir(tmp_path)[0]  # a str with surrogates
    for path in (raw, os.path.join(tmp_path, listed),
                 tmp_path / listed):
        with morvela.open(path) as rec:
            np.testing.assert_array_equal(rec.read(), [[1], [2]])
            assert rec.inputs[0].name.encode("utf-8", "surrogateescape") == b"\xb5A"
    done = run_cli("info", raw)
    assert done.returncode == 0, done.stderr
    assert done.stdout.isascii()
    info = json.loads(done.stdout)
    assert info["inputs"][0]["unit"].encode("utf-8", "surrogateescape") == b"\xb0C"
    assert info["header"]["block_name"].encode("utf-8", "surrogateescape") == b"bl\xe9"
    assert os.fsencode(info["path"]) == raw
    done = run_cli("plot", raw)
    assert done.returncode == 0, done.stderr
    assert os.path.exists(os.path.join(os.fsencode(tmp_path), b"rec\xff\xfe.png"))


# Headers that claim more than the file holds: the status, never a
# MemoryError of an allocation the file cannot fill.

def test_status_comes_before_memory(write):
    path = write("rec.dat", header_bytes("short", 2, 4, 0xFFFFFFFF) +
                 input_bytes([b"a"] * 4) + bytes(16))
    with morvela.open(path) as rec:
        for call in (rec.read, rec.to_pandas, lambda: rec.read(10**9),
                     lambda: rec[:]):
            with pytest.raises(morvela.TruncatedRecordingError) as raised:
                call()
            assert not isinstance(raised.value, MemoryError)
        assert raised.value.row == 2
    path = write("unknown.dat", header_bytes("long", 8, 4, 0xFFFFFFFF) +
                 input_bytes([b"a"] * 4) + bytes(64))
    with morvela.open(path) as rec:
        assert rec.dtype is None
        # As the converter finds it: the first row is there, its type is not.
        for call in (rec.read, lambda: rec.read(0, 2), rec.to_pandas):
            with pytest.raises(morvela.UnknownDataTypeError):
                call()
        with pytest.raises(morvela.TruncatedRecordingError):
            rec.read(2)


def test_a_file_truncated_after_open_names_its_first_missing_row(write):
    path, values = recording(write, 600, inputs=2)
    with morvela.open(path) as rec:
        os.truncate(path, 248 + 2 * 96 + 46 * 2 * 2 + 3)
        np.testing.assert_array_equal(rec.read(0, 46), values[:46])
        with pytest.raises(morvela.TruncatedRecordingError) as raised:
            rec.read(10, 600)
        assert raised.value.row == 46
        assert "row 46 is not in the file, which holds 46 of 600 rows" in str(
            raised.value)
        with pytest.raises(morvela.TruncatedRecordingError) as raised:
            rec.read(50, 60)
        assert raised.value.row == 50


def test_fields_of_no_bytes_hold_no_row(write):
    path = write("rec.dat", header_bytes("short", 0, 2, 5) + input_bytes([b"a", b"b"]))
    with morvela.open(path) as rec:
        with pytest.raises(morvela.TruncatedRecordingError) as raised:
            rec.read()
    assert raised.value.row == 0
    assert "row 0 is not in the file, which holds 0 of 5 rows" in str(raised.value)
    assert convert(str(path))[0] == 255


def test_the_binding_checks_every_index(write):
    path, values = recording(write, 4)
    with morvela.open(path) as rec:
        reader = rec._reader
        for columns in ([10**6], [-1], [3]):
            with pytest.raises(IndexError):
                reader.read(0, 2, columns)
        for start, stop in ((-1, 2), (3, 2), (0, 5)):
            with pytest.raises(IndexError):
                reader.read(start, stop, [0])
            with pytest.raises(IndexError):
                reader.time_offsets(start, stop)
        np.testing.assert_array_equal(reader.read(1, 3, [2, 0]), values[1:3, [2, 0]])


# Selection as numpy users expect.

def test_selection_rules(write):
    path, values = recording(write, 20, inputs=4)
    with morvela.open(path) as rec:
        for bad in ([True, False], [1.9], b"\x03", 1.0, True, [b"in1"]):
            with pytest.raises(TypeError):
                rec.read(inputs=bad)
        np.testing.assert_array_equal(rec[3, :], values[3, :])
        np.testing.assert_array_equal(rec[:, 0:2], values[:, 0:2])
        np.testing.assert_array_equal(rec[2:5, ::2], values[2:5, ::2])
        np.testing.assert_array_equal(rec[-3:, "in2"], values[-3:, 2])
        np.testing.assert_array_equal(rec[4, [3, "in0"]], values[4, [3, 0]])
        np.testing.assert_array_equal(rec.read(5, 2), values[5:2])
        scalar = rec[3, 0]
        assert np.ndim(scalar) == 0 and scalar == values[3, 0]
        assert rec[-1, -1] == values[-1, -1]
        with pytest.raises(IndexError):
            rec[20]
        with pytest.raises(IndexError):
            rec[1, 2, 3]
        with pytest.raises(TypeError):
            rec[1.5]
        # Rows as numpy selects them: steps, lists in any order, masks.
        mask = np.arange(20) % 3 == 0
        for rows in (slice(None, None, 2), slice(1, 19, 7), slice(None, None, -3),
                     slice(5, 5, 2), [0, -1], [19, 0, 19, 3], [], np.array([-20, 19]),
                     mask, np.zeros(20, bool)):
            np.testing.assert_array_equal(rec[rows], values[rows])
            np.testing.assert_array_equal(rec[rows, [2, 0]], values[rows][:, [2, 0]])
            np.testing.assert_array_equal(rec[rows, "in1"], values[rows][:, 1])
        for rows in ([20], [-21], np.ones(19, bool), np.ones(21, bool), [[1, 2]], [1.5]):
            with pytest.raises(IndexError):
                rec[rows]
        with pytest.raises(ValueError):
            rec.chunks(0)
        with pytest.raises(ValueError):
            rec.chunks(2.5)
        assert rec.ndim == 2 and rec.size == 80 and rec.shape == (20, 4)
        np.testing.assert_array_equal(np.asarray(rec), values)
        assert np.asarray(rec).dtype == np.int16
        assert np.asarray(rec, dtype=np.float64).dtype == np.float64


def test_row_ranges_past_a_block_and_column_subsets(write):
    # 600,000 rows of 2 shorts cross the reader's 1 MiB blocks; a subset of
    # the columns takes the path that decodes value by value.
    path, values = recording(write, 600_000, inputs=2)
    with morvela.open(path) as rec:
        for start, stop, inputs in ((262_100, 524_400, [1]), (1, 599_999, [1, 0]),
                                    (300_000, 600_000, None), (-5, None, [0])):
            expected = values[start:stop]
            if inputs is not None:
                expected = expected[:, inputs]
            np.testing.assert_array_equal(rec.read(start, stop, inputs), expected)
        offsets = rec.time_offsets(262_143, 262_150)
        pretrigger = rec.header.pretrigger_samples
        np.testing.assert_array_equal(
            offsets, [report_time(r, pretrigger, 100) for r in range(262_143, 262_150)])
        chunks = list(rec.chunks(250_000, 100_000, 599_000, [1]))
        assert [len(v) for _, v in chunks] == [250_000, 249_000]
        np.testing.assert_array_equal(np.concatenate([v for _, v in chunks]),
                                      values[100_000:599_000, [1]])
        np.testing.assert_array_equal(np.concatenate([o for o, _ in chunks]),
                                      rec.time_offsets(100_000, 599_000))
        assert list(rec.chunks(10, 7, 3)) == []
        by_input = list(rec.chunks(250_000, 100_000, 599_000, [1, 0], by_input=True))
        np.testing.assert_array_equal(np.concatenate([v for _, v in by_input], axis=1),
                                      values[100_000:599_000, [1, 0]].T)


@pytest.mark.parametrize("type_name,size", [("int", 2), ("unsigned int", 8),
                                            ("double", 12)])
def test_narrow_and_wide_fields_of_subsets(write, type_name, size):
    path, values = recording(write, 300_000, inputs=2, type_name=type_name,
                             size=size)
    if size < 4:
        values = values.astype(np.int16)  # the last two bytes, sign-extended
    with morvela.open(path) as rec:
        np.testing.assert_array_equal(rec.read(70_000, 290_000, [1]),
                                      values[70_000:290_000, [1]])
        np.testing.assert_array_equal(rec.read(5, 9), values[5:9])
        np.testing.assert_array_equal(rec.read(262_000, 262_300), values[262_000:262_300])


def test_threads_read_one_recording_at_once(write):
    path, values = recording(write, 200_000, inputs=5)
    rng = np.random.default_rng(7)
    jobs = []
    for _ in range(64):
        start = int(rng.integers(0, 200_000))
        stop = int(rng.integers(start, 200_001))
        columns = [int(c) for c in rng.permutation(5)[: int(rng.integers(1, 6))]]
        jobs.append((start, stop, columns))
    with morvela.open(path) as rec:
        single = [rec.read(*job) for job in jobs]
        results = [None] * len(jobs)

        def work(k):
            for i in range(k, len(jobs), 8):
                results[i] = rec.read(*jobs[i])

        errors = in_threads(work, 8)
    assert not errors
    for (start, stop, columns), one, many in zip(jobs, single, results):
        np.testing.assert_array_equal(many, one)
        np.testing.assert_array_equal(many, values[start:stop, columns])


def test_trigger_times_that_fall_back(write, monkeypatch):
    for seconds in (-10.0, float("nan"), float("inf"), 2.0**63, 253402300800.0):
        path, _ = recording(write, 2, trigger_time=seconds)
        with morvela.open(path) as rec:
            assert rec.header.trigger_time_ns is None
            assert rec.header.trigger_time is None
            assert rec.header.to_dict()["trigger_time"] is None
        done = run_cli("info", str(path), env=dict(os.environ, TZ="UTC"))
        assert done.returncode == 0
        assert json.loads(done.stdout)["header"]["trigger_time"] is None
    # The year 9999 ends by local time: one hour east it has ended at
    # 23:00 UTC, as the report's fallback says.
    path, _ = recording(write, 2, trigger_time=253402297200.5)
    code = ("import morvela, sys; r = morvela.open(sys.argv[1]); "
            "print(r.header.trigger_time_ns)")
    for zone, expected in (("UTC", "253402297200500000000"), ("UTC-1", "None")):
        done = subprocess.run([sys.executable, "-c", code, str(path)],
                              capture_output=True, text=True,
                              env=dict(os.environ, TZ=zone))
        assert done.stdout.strip() == expected, done.stderr


# Reports read back.

def report_of(write, data, name="rec.dat"):
    path = write(name, data)
    status, _ = convert(str(path))
    return status, path.with_suffix(".txt")


def test_read_report_of_no_inputs_and_of_names_like_na(write):
    status, report = report_of(write, header_bytes("short", 2, 0, 3))
    assert status == 0
    frame = morvela.read_report(report)
    assert frame.shape == (3, 0)
    np.testing.assert_array_equal(frame.index, [0.0, 0.0001, 0.0002])
    status, report = report_of(
        write, header_bytes("short", 2, 3, 1) +
        input_bytes([b"NA", b"", b"nan"], [b"", b"NA", b"N/A"]) + bytes(6), "na.dat")
    frame = morvela.read_report(report)
    assert list(frame.columns) == ["NA", "", "nan"]
    assert frame.attrs["units"] == {"NA": "", "": "NA", "nan": "N/A"}
    assert frame.dtypes.tolist() == [np.int16] * 3


@pytest.mark.parametrize("type_name,dtype", [
    ("char", np.int8), ("unsigned char", np.uint8), ("unsigned short", np.uint16),
    ("int", np.int32), ("unsigned int", np.uint32), ("float", np.float32),
    ("double", np.float64)])
def test_read_report_gives_the_header_type(write, type_name, dtype):
    width = np.dtype(dtype).itemsize
    big = np.array([2.0**70, -1.5], ">f8") if dtype == np.float64 else None
    stored = (big.tobytes() if big is not None else
              np.array([1, 2], dtype).astype(np.dtype(dtype).newbyteorder(">")).tobytes())
    status, report = report_of(write, header_bytes(type_name, width, 1, 2) +
                               input_bytes([b"x"]) + stored)
    assert status == 0
    frame = morvela.read_report(report)
    assert frame["x"].dtype == dtype
    if big is not None:
        assert frame["x"].tolist() == [2.0**70, -1.5]


def test_read_report_refuses_what_is_not_a_complete_report(write, tmp_path):
    status, report = report_of(write, header_bytes("short", 2, 2, 5) +
                               input_bytes([b"a", b"b"]) + bytes(4 * 3 + 1))
    assert status == 255
    with pytest.raises(morvela.ReportError, match="holds 4 of 5 rows"):
        morvela.read_report(report)
    status, report = report_of(write, header_bytes("long", 2, 1, 2) +
                               input_bytes([b"a"]) + bytes(4), "unknown.dat")
    assert status == 252
    with pytest.raises(morvela.ReportError):
        morvela.read_report(report)
    crlf = report_of(write, header_bytes("short", 2, 1, 1) + input_bytes([b"a"])
                     + bytes(2), "lf.dat")[1]
    crlf.write_bytes(crlf.read_bytes().replace(b"\r\n", b"\n"))
    with pytest.raises(morvela.ReportError, match="line 1: expected CR LF line ends"):
        morvela.read_report(crlf)
    for text, line in ((b"hello\r\n", "line 3"),
                       (b"a\r\nb\r\nRecName;ApplName;ApplVersion\r\nx;y\r\n", "line 4"),
                       (b"", "line 3")):
        path = tmp_path / "bad.txt"
        path.write_bytes(text)
        with pytest.raises(morvela.ReportError, match=line):
            morvela.read_report(path)
    assert issubclass(morvela.ReportError, ValueError)
    good = report_of(write, header_bytes("short", 2, 2, 2) +
                     input_bytes([b"a", b"b"]) + bytes(8), "good.dat")[1]
    text = good.read_bytes()
    good.write_bytes(text[:text.rindex(b"\r\n")])  # cut after a whole row
    with pytest.raises(morvela.ReportError, match="holds 1 of 2 rows"):
        morvela.read_report(good)
    for broken in (text.replace(b"\r\n+0.000100000;0;0", b"\r\n+0.000100000;0;x"),
                   text.replace(b"SamplesInput01", b"SamplesInput07"),
                   text + b"\r\n+0.0002;0;0"):
        good.write_bytes(broken)
        with pytest.raises(morvela.ReportError):
            morvela.read_report(good)


# The command line's outputs.

def test_plot_writes_where_it_says(write, tmp_path):
    (tmp_path / "run.01").mkdir()
    path, _ = recording(write, 50, name="run.01/rec.dat")
    done = run_cli("plot", str(path), text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(tmp_path / "run.01" / "rec.png")
    assert (tmp_path / "run.01" / "rec.png").exists()
    assert not (tmp_path / "run.png").exists()

    (tmp_path / "out").mkdir()
    done = run_cli("plot", str(path), "-o", str(tmp_path / "out"), text=True)
    assert done.returncode == 0
    assert done.stdout.strip() == str(tmp_path / "out" / "rec.png")
    assert (tmp_path / "out" / "rec.png").read_bytes()[:4] == b"\x89PNG"

    bare, _ = recording(write, 50, name="rec")
    done = run_cli("plot", "./rec", cwd=tmp_path, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "./rec.png"
    assert (tmp_path / "rec.png").exists() and not (tmp_path / ".png.png").exists()

    done = run_cli("plot", str(path), "-o", "/dev/full", text=True)
    assert done.returncode == 3
    assert done.stderr.count("\n") == 1 and "/dev/full" in done.stderr

    itself, _ = recording(write, 50, name="x.png")
    before = itself.read_bytes()
    done = run_cli("plot", str(itself), text=True)
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert itself.read_bytes() == before

    for options in (["-i", "5"], ["-i", "nosuch"], ["--width", "0"],
                    ["-o", str(tmp_path / "p.txt")]):
        done = run_cli("plot", str(path), *options, text=True)
        assert done.returncode == 2, options
        assert done.stderr.count("\n") == 1, done.stderr
        assert done.stderr.startswith("morvela: ")


def test_info_that_cannot_be_written(write):
    path, _ = recording(write, 4)
    with open("/dev/full", "w") as full:
        done = run_cli("info", str(path), stdout=full, text=True)
    assert done.returncode == 3
    assert "Traceback" not in done.stderr and done.stderr.count("\n") == 1
    done = subprocess.run(
        f"'{sys.executable}' -m morvela info '{path}' >&-", shell=True,
        capture_output=True, text=True)
    assert done.returncode == 3, done.stderr
    assert "Traceback" not in done.stderr
    reader = subprocess.Popen([sys.executable, "-m", "morvela", "info", str(path)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader.stdout.close()
    assert reader.wait() == 3
    assert b"Traceback" not in reader.stderr.read()
    reader.stderr.close()
