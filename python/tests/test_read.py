# morvela.open and Recording: values against independent numpy decoding
# and Morvela's report, selections as numpy makes them, the header, and
# failures whose status is the Morvela program's for the same file.

import datetime
import os
import re
import sys
import time

import numpy as np
import pytest

import morvela
from conftest import (TYPES, convert, counted_recording, fixed_point, header_bytes,
                      input_bytes, report_rows, same_bits)



def expected_values(type_name, fields):
    # Values of big-endian fields (rows, inputs, bytes) decoded by hand: a
    # field as wide as the type or wider holds the value in its last bytes; a
    # narrower integer field is sign- or zero-extended.
    code = TYPES[type_name]
    width, size = np.dtype(code).itemsize, fields.shape[2]
    if size >= width:
        kept = np.ascontiguousarray(fields[:, :, size - width:])
        return np.frombuffer(kept.tobytes(), ">" + code).reshape(fields.shape[:2])
    raw = np.zeros(fields.shape[:2], np.int64)
    for byte in range(size):
        raw = raw * 256 + fields[:, :, byte]
    if np.dtype(code).kind == "i":
        raw = np.where(raw >= 2 ** (8 * size - 1), raw - 2 ** (8 * size), raw)
    return raw.astype(code)


@pytest.mark.parametrize("type_name,size", [
    *((t, np.dtype(c).itemsize) for t, c in TYPES.items()),
    ("short", 1), ("int", 2), ("unsigned int", 3), ("unsigned short", 1),
    ("char", 3), ("int", 8), ("double", 10), ("float", 6)])
def test_values_match_numpy_and_the_report(write, type_name, size):
    code = TYPES[type_name]
    rng = np.random.default_rng(size)
    fields = rng.integers(0, 256, (40, 3, size), dtype=np.uint8)
    if size == np.dtype(code).itemsize:  # the extremes of the type
        ends = [np.iinfo(code).min, np.iinfo(code).max, 0, 1] if code[0] in "iu" else \
            [-np.inf, np.inf, np.nan, -np.nan, -0.0, 1.5, 2.0**70, -5e-7, 0.0078125, 1e-300]
        fields[:len(ends), 0] = np.array(ends, ">" + code).view(np.uint8).reshape(-1, size)
    expected = expected_values(type_name, fields)
    path = write("rec.dat", header_bytes(type_name, size, 3, 40, 5) +
                 input_bytes([b"a", b"b", b"c"]) + fields.tobytes())
    with morvela.open(path) as rec:
        got = rec.read()
        assert got.dtype == np.dtype(code) and got.flags.c_contiguous
        np.testing.assert_array_equal(got, expected)
        np.testing.assert_array_equal(rec.read(10, 20, [2, 0]), expected[10:20, [2, 0]])
    status, report = convert(str(path))
    assert status == 0
    texts = [row[1:] for row in report_rows(report)]
    assert texts == [[shown(v) for v in row] for row in expected]
    # read_report reads the text back in the header's type.
    frame = morvela.read_report(path.with_suffix(".txt"))
    assert frame.dtypes.tolist() == [got.dtype] * 3
    np.testing.assert_array_equal(frame.to_numpy(), np.array(texts, float).astype(got.dtype))
    # "nan" is the one text read as no number: an empty field, or text
    # pandas takes for a missing value, is refused.
    lines, text = report.split("\r\n"), path.with_suffix(".txt")
    for odd in ("", "NaN", "NA"):
        lines[11] = lines[11].rsplit(";", 1)[0] + ";" + odd
        text.write_bytes("\r\n".join(lines).encode("latin-1"))
        pytest.raises(morvela.ReportError, morvela.read_report, text).match(
            "line 12: the rows are not a sample table")


def shown(value):
    # A value as the report writes it: an integer in full, a float to six
    # decimals by the report's rule.
    if value.dtype.kind in "iu":
        return str(int(value))
    if not np.isfinite(value):
        return "nan" if np.isnan(value) else ("-inf" if value < 0 else "inf")
    return fixed_point(value, 6, False)


@pytest.mark.parametrize("type_name,size", [("short", 2), ("int", 2),
                                            ("unsigned int", 8), ("double", 12)])
def test_ranges_past_a_span_and_column_subsets(write, type_name, size):
    # 600,000 rows cross the reader's spans of 1 MiB; a subset of the
    # columns decodes value by value.
    path, values = counted_recording(write, 600_000, 2, type_name, size)
    if size < np.dtype(values.dtype).itemsize:
        values = values.astype(np.int16)  # the last two bytes, sign-extended
    with morvela.open(path) as rec:
        for start, stop, inputs in ((262_100, 524_400, [1]), (1, 599_999, [1, 0]),
                                    (300_000, 600_000, None), (-5, None, [0]), (5, 9, None)):
            expected = values[start:stop] if inputs is None else values[start:stop, inputs]
            np.testing.assert_array_equal(rec.read(start, stop, inputs), expected)
        chunks = list(rec.chunks(250_000, 100_000, 599_000, [1]))
        assert [len(v) for _, v in chunks] == [250_000, 249_000]
        np.testing.assert_array_equal(np.concatenate([v for _, v in chunks]),
                                      values[100_000:599_000, [1]])
        assert list(rec.chunks(10, 7, 3)) == [] and len(next(rec.chunks())[1]) == 65536
        by_input = list(rec.chunks(250_000, 100_000, 599_000, [1, 0], by_input=True))
        np.testing.assert_array_equal(np.concatenate([v for _, v in by_input], axis=1),
                                      values[100_000:599_000, [1, 0]].T)


@pytest.mark.parametrize("size", [4, 8])
def test_rows_wider_than_the_readers_block(write, size):
    # Rows of 1.2 MB: a selection of inputs is read value by value.
    inputs = 1_200_000 // size
    path, values = counted_recording(write, 3, inputs, "int", size)
    with morvela.open(path) as rec:
        np.testing.assert_array_equal(rec.read(), values)
        for start, columns in ((1, [inputs - 1, 0, 7]), (0, [5, 2])):
            np.testing.assert_array_equal(rec.read(start, 3, columns), values[start:, columns])
            [(_, by_input)] = rec.chunks(3, start, 3, columns, by_input=True)
            np.testing.assert_array_equal(by_input, values[start:, columns].T)


def test_selection_as_numpy_makes_it(write):
    path, values = counted_recording(write, 20, inputs=4)
    renamed = write("names.dat", path.read_bytes().replace(b"in3\0", b"in1\0"))
    with morvela.open(renamed) as rec:
        assert rec.columns == ("in0", "in1", "in2", "in1.1")
        np.testing.assert_array_equal(rec.read(18, 99, "in1.1"), values[18:, [3]])
    with morvela.open(path) as rec:
        assert rec.shape == (20, 4) and len(rec) == 20 and rec.ndim == 2 and rec.size == 80
        np.testing.assert_array_equal(rec.read(-2), values[-2:])
        np.testing.assert_array_equal(rec.read(0, 2, ["in2", -4]), values[:2, [2, 0]])
        np.testing.assert_array_equal(rec.read(5, 2), values[5:2])
        assert rec.read(5, 5).shape == (0, 4)
        for key, expected in (((3, slice(None)), values[3]), ((slice(1, 3), 1), values[1:3, 1]),
                              ((slice(1, 3), slice(1, 2)), values[1:3, 1:2]),
                              ((slice(2, 5), slice(None, None, 2)), values[2:5, ::2]),
                              ((slice(-3, None), "in2"), values[-3:, 2]),
                              ((4, [3, "in0"]), values[4, [3, 0]]), (-1, values[-1])):
            np.testing.assert_array_equal(rec[key], expected)
        for key in ((3, 0), (-1, -1)):
            assert np.ndim(rec[key]) == 0 and rec[key] == values[key]
        # Rows as numpy selects them: steps, lists in any order, masks.
        mask = np.arange(20) % 3 == 0
        for rows in (slice(None, None, 2), slice(1, 19, 7), slice(None, None, -3),
                     slice(5, 5, 2), [0, -1], [19, 0, 19, 3], [], np.array([-20, 19]),
                     mask, np.zeros(20, bool)):
            np.testing.assert_array_equal(rec[rows], values[rows])
            np.testing.assert_array_equal(rec[rows, [2, 0]], values[rows][:, [2, 0]])
            np.testing.assert_array_equal(rec[rows, "in1"], values[rows][:, 1])
        for bad, error, said in (
                ([20], IndexError, ": no row 20"), ([-21, 0], IndexError, ": no row -21"),
                (20, IndexError, ""), (np.ones(19, bool), IndexError, ": a row mask of 19 for 20 rows"),
                (np.ones(21, bool), IndexError, ""), ([[1, 2]], IndexError, "a 1-d list of indices"),
                ([1.5], IndexError, "a 1-d list of indices"),
                ((1, 2, 3), IndexError, "two axes: rows and inputs"),
                (1.5, TypeError, "an index, a slice, indices or a mask, not float"),
                (True, TypeError, "an index, a slice, indices or a mask, not bool")):
            with pytest.raises(error, match=re.escape(said) + "$"):  # the reason ends it
                rec[bad]
        for bad, error, said in (("W", KeyError, ""), (4, IndexError, ""), (-5, IndexError, ""),
                                 ([True, False], TypeError, "bool"), ([1.9], TypeError, "float"),
                                 (b"\x03", TypeError, "bytes"), (1.0, TypeError, "float"),
                                 (True, TypeError, "bool"), ([b"in1"], TypeError, "bytes")):
            with pytest.raises(error, match=f"^inputs are selected by index or name, not {said}$"
                               if said else None):
                rec.read(inputs=bad)
        for rows in (0, 2.5):
            pytest.raises(ValueError, rec.chunks, rows).match("rows must be an integer of at least 1$")
        assert [len(v) for _, v in rec.chunks(1, 18)] == [1, 1]
        np.testing.assert_array_equal(np.asarray(rec), values)
        assert np.asarray(rec).dtype == np.int16
        assert np.asarray(rec, dtype=np.float64).dtype == np.float64
        # The binding checks every index it is given.
        for start, stop, columns in ((0, 2, [4]), (0, 2, [-1]), (0, 2, [10**6]),
                                     (-1, 2, [0]), (3, 2, [0]), (0, 21, [0])):
            pytest.raises(IndexError, rec._reader.read, start, stop, columns)
        for start, stop in ((-1, 2), (3, 2), (0, 21)):
            pytest.raises(IndexError, rec._reader.time_offsets, start, stop)
    assert rec.closed
    pytest.raises(ValueError, rec.read).match(f"^{re.escape(str(path))}: the recording is closed$")


@pytest.mark.parametrize("sample_time, pretrigger", [
    (1, 0), (3, 1), (7, 77), (100, 100), (250, 4000),
    # Far from the trigger the report prints the arithmetic's digits.
    (130930, 340774448), (4294967295, 2**32 - 3),
])
def test_every_time_handed_out_is_the_reports_text(write, sample_time, pretrigger):
    rows = 5000 if sample_time < 1000 else 30
    path = write("rec.dat", header_bytes("char", 1, 1, rows, pretrigger,
                                         sample_time=sample_time) +
                 input_bytes([b"a"]) + bytes(rows))
    status, report = convert(str(path))
    assert status == 0
    expected = np.array([float(row[0]) for row in report_rows(report)])
    seconds = float(report.split("\r\n")[5].split(";")[1])
    # The reader's times (which pandas and the exports take) and xarray's
    # own, one recording or many.
    with morvela.open(path) as rec:
        same_bits(rec.time_offsets(), expected)
        assert rec.header.sample_time == seconds
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(path, engine="morvela") as ds, \
            morvela.open_mfdataset([path, path]) as runs:
        same_bits(ds.time.values, expected)
        same_bits(runs.time.values, expected)
        assert ds.attrs["sample_time"] == seconds


def test_header_and_inputs(write, tmp_path):
    path = write("rec.dat", header_bytes("float", 4, 2, 0, 5, 250, name=b"bl\xe9") +
                 input_bytes([b"\xb5V", b"caf\xc3\xa9"], [b"m/s", b"\xff"]))
    raw = os.fsencode(tmp_path) + b"/r\xff\xfe.dat"
    os.rename(path, raw)
    for name in (raw, os.fsdecode(raw), tmp_path / os.fsdecode(b"r\xff\xfe.dat")):
        with morvela.open(name) as rec:
            h = rec.header
            assert (h.block_name, h.application_name, h.application_version) == \
                ("bl\udce9", "Rec", "2.1")
            assert h.trigger_time_ns == 1110792413_250000000
            assert h.trigger_time.isoformat() == "2005-03-14T09:26:53.250000+00:00"
            assert h.trigger_time_iso() == "2005-03-14T09:26:53.250000000Z"
            assert (h.sample_time, h.sample_time_us) == (250e-6, 250)
            assert (h.samples, h.pretrigger_samples, h.posttrigger_samples) == \
                (0, 5, 2**32 - 5)
            assert (h.inputs, h.data_type, h.data_type_size) == (2, "float", 4)
            # Text that is not UTF-8 comes through and encodes back unchanged.
            assert rec.inputs[1] == ("café", "\udcff")
            assert rec.inputs[0].name.encode("utf-8", "surrogateescape") == b"\xb5V"
            assert rec.read().shape == (0, 2) and rec.dtype == np.float32
            keys = list(h.to_dict())  # seconds beside microseconds
            assert h.to_dict()["sample_time_us"] == 250 and \
                keys[keys.index("sample_time") + 1] == "sample_time_us"
            assert repr(rec) == f"<morvela.Recording {rec.path!r}: 0 samples x 2 inputs, float>"
    for nul in (os.fsdecode(raw) + "\0x", raw + b"\0x"):
        pytest.raises(ValueError, morvela.open, nul)
    assert dir(morvela) == sorted(morvela.__all__)  # the public names alone


@pytest.mark.parametrize("seconds, zone, expected", [
    (0.0, "UTC", 0), (1.9999999996, "UTC", 2_000_000_000),
    (253402300799.0, "UTC", 253402300799_000000000),
    (-10.0, "UTC", None), (float("nan"), "UTC", None), (float("inf"), "UTC", None),
    (2.0**63, "UTC", None), (253402300800.0, "UTC", None), (1e300, "UTC", None),
    # The year 9999 ends by local time: one hour east (UTC-1) it has ended
    # at 23:00 UTC, one hour west (XXX+1) at 01:00 of the next day.
    (253402297200.5, "UTC", 253402297200_500000000), (253402297200.5, "UTC-1", None),
    (253402297199.0, "UTC-1", 253402297199_000000000),
    (253402304399.0, "XXX+1", 253402304399_000000000), (253402304400.0, "XXX+1", None),
    (2147483648.0, "UTC", 2147483648_000000000), (-0.0, "UTC", 0), (-0.5, "UTC", None),
    (1.000999999, "UTC", 1_000999999),  # a datetime drops what is finer than a microsecond
    (6.8e16, "UTC", None), (9.2e18, "UTC", None),
    # Either side of datetime64[ns]'s last second (2262-04-11T23:47:16).
    (9223372036.0, "UTC", 9223372036_000000000), (9223372037.0, "UTC", 9223372037_000000000),
])
def test_trigger_time_and_its_fallback(write, monkeypatch, seconds, zone, expected):
    # The instant the report shows, in every form the package gives it:
    # datetime (to its year 9999), ISO text, and datetime64[ns] (to 2262);
    # None or NaT where the report shows the current time.
    path = write("rec.dat", header_bytes("short", 2, 0, 0, trigger_time=seconds))
    monkeypatch.setenv("TZ", zone)
    time.tzset()
    try:
        with morvela.open(path) as rec:
            h = rec.header
        coordinate = morvela.open_mfdataset([path]).trigger_time.values[0]
    finally:
        monkeypatch.undo()
        time.tzset()
    assert h.trigger_time_ns == expected
    if expected is None:
        assert h.trigger_time is h.trigger_time_iso() is h.to_dict()["trigger_time"] is None
        assert np.isnat(coordinate)
        return
    whole, fraction = divmod(expected, 10**9)
    iso = f"{np.datetime_as_string(np.datetime64(whole, 's'))}.{fraction:09d}Z"
    assert h.trigger_time_iso() == h.to_dict()["trigger_time"] == ISO.get(seconds, iso)
    assert h.trigger_time == (None if whole > 253402300799 else datetime.datetime.fromtimestamp(
        whole, datetime.timezone.utc) + datetime.timedelta(microseconds=fraction // 1000))
    assert np.isnat(coordinate) if expected >= 2**63 else coordinate == np.datetime64(expected, "ns")


# The trigger times whose text is worked out by hand.
ISO = {1.9999999996: "1970-01-01T00:00:02.000000000Z",
       253402297200.5: "9999-12-31T23:00:00.500000000Z",
       253402304399.0: "10000-01-01T00:59:59.000000000Z"}


# What the header claims against what the file holds: (header, stored
# bytes, the read, its error, the row named, the converter's status).
T, U = morvela.TruncatedRecordingError, morvela.UnknownDataTypeError
CLAIM = ("short", 2, 4, 2**32 - 1)
READ_FAILURES = {
    "unknown type": (("Short", 2, 1, 2), 4, "read", U, None, 252),
    "unknown width": (("double", 4, 1, 2), 8, "read", U, None, 252),
    "empty type": (("", 2, 1, 2), 4, "read", U, None, 252),
    "unknown type, rows missing": (("long", 8, 4, 2**32 - 1), 64, "read", U, None, 252),
    "unknown type past the rows there": (("long", 8, 4, 2**32 - 1), 64, "from 2", T, 2, 252),
    "ends inside row 3": (("short", 2, 3, 5), 20, "read", T, 3, 255),
    "ends inside row 3, by chunks": (("short", 2, 3, 5), 20, "chunks", T, 3, 255),
    "fields of no bytes": (("short", 0, 2, 5), 0, "read", T, 0, 255),
    "claims beyond memory": (CLAIM, 16, "read", T, 2, 255),
    "claims beyond memory, pandas": (CLAIM, 16, "pandas", T, 2, 255),
    "claims beyond memory, rows on": (CLAIM, 16, "from 10**9", T, 10**9, 255),
    "claims beyond memory, all": (CLAIM, 16, "all", T, 2, 255),
}


@pytest.mark.parametrize("case", list(READ_FAILURES))
def test_read_failures_name_the_row_and_never_exhaust_memory(write, case):
    (type_name, size, inputs, rows), stored, how, error, row, status = READ_FAILURES[case]
    path = write("rec.dat", header_bytes(type_name, size, inputs, rows) +
                 input_bytes([b"a"] * inputs) + bytes(range(stored)))
    calls = {"read": lambda r: r.read(), "chunks": lambda r: list(r.chunks(rows=2)),
             "pandas": lambda r: r.to_pandas(), "all": lambda r: r[:],
             "from 2": lambda r: r.read(2), "from 10**9": lambda r: r.read(10**9)}
    with morvela.open(path) as rec:
        assert rec.read(0, 0).shape == (0, inputs)
        with pytest.raises(error) as raised:
            calls[how](rec)
    assert not isinstance(raised.value, MemoryError)
    assert raised.value.status == (-4 if error is morvela.UnknownDataTypeError else -1)
    assert getattr(raised.value, "row", None) == row
    if row is not None and row < rows:
        assert f"row {row} is not in the file, which holds " in str(raised.value)
    assert convert(str(path))[0] == status


def test_a_file_shortened_after_the_open(write, tmp_path):
    path, values = counted_recording(write, 600, inputs=2)
    with morvela.open(path) as rec:
        os.truncate(path, 248 + 2 * 96 + 46 * 2 * 2 + 3)
        np.testing.assert_array_equal(rec.read(0, 46), values[:46])
        np.testing.assert_array_equal(rec[45], values[45])  # the last row held
        for start, stop, row in ((10, 600, 46), (45, 47, 46), (50, 60, 50)):
            raised = pytest.raises(morvela.TruncatedRecordingError, rec.read, start, stop)
            assert raised.value.row == row
        assert "row 50 is not in the file, which holds 46 of 600 rows" in str(raised.value)
    with morvela.open(path) as rec:
        assert rec.complete_rows == 46
    assert pytest.raises(FileNotFoundError, morvela.open, tmp_path / "x").value.errno == 2
    pytest.raises(IsADirectoryError, morvela.open, tmp_path)


@pytest.mark.parametrize("key", ["ETag", "etag", "VersionId", "version_id", "generation", "mtime",
                                 "LastModified", "last_modified"])
def test_an_object_rewritten_since_its_open_is_refused_on_any_filesystem(write, key):
    # Where a listing says which version an object is by `key`. Fetched:
    # the open's one range (the object's first 64 KiB), each read's one.
    fsspec = pytest.importorskip("fsspec")
    from fsspec.implementations.memory import MemoryFileSystem

    fetched = []

    class Versioned(MemoryFileSystem):
        protocol = "versioned"

        def info(self, path, **kwargs):
            info = super().info(path, **kwargs)
            return {**info, key: str(info["created"])}  # made anew at each write

        def cat_file(self, path, start=None, end=None, **kwargs):
            fetched.append(len(data := super().cat_file(path, start, end, **kwargs)))
            return data

    fsspec.register_implementation("versioned", Versioned, clobber=True)
    path, values = counted_recording(write, 100, inputs=2)
    url, store = f"versioned://{key}/rec.dat", fsspec.filesystem("versioned")
    store.pipe_file(url, path.read_bytes())
    with morvela.open(url) as rec:
        same_bits(rec.read(10, 20), values[10:20])
        assert fetched == [os.path.getsize(path), 10 * 2 * 2]  # the open's range, the read's
        store.pipe_file(url, path.read_bytes()[:-1] + b"\1")
        pytest.raises(morvela.RecordingReadError, rec.read, 10, 20).match(
            f"^{url}: the object changed after it was opened$")
    store.rm(url)


def test_a_url_without_fsspec_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)
    pytest.raises(ImportError, morvela.open, "memory://x/r.dat").match(
        r"^memory://x/r\.dat: a recording at a URL needs fsspec and the filesystem's package "
        r"\(pip install 'morvela\[s3\]'\)$")
