"""Recording.read against independent numpy decoding and Morvela's report."""

import os

import numpy as np
import pytest

import morvela
from conftest import convert, header_bytes, input_bytes, report_rows, same_bits

TYPES = {
    "char": "i1", "unsigned char": "u1", "short": "i2", "unsigned short": "u2",
    "int": "i4", "unsigned int": "u4", "float": "f4", "double": "f8",
}


def sample_values(code, count, rng):
    dtype = np.dtype(code)
    if dtype.kind == "f":
        # Multiples of 1/8: exact in both widths and in six decimals.
        return (rng.integers(-80000, 80000, count) / 8).astype(dtype)
    info = np.iinfo(dtype)
    values = rng.integers(info.min, info.max, count, endpoint=True, dtype=np.int64)
    values[:4] = [info.min, info.max, 0, -1 if info.min else 1]
    return values.astype(dtype)


@pytest.mark.parametrize("type_name", list(TYPES))
def test_full_width_values_match_numpy_and_the_report(write, type_name):
    code = TYPES[type_name]
    rows, inputs = 50, 3
    values = sample_values(code, rows * inputs, np.random.default_rng(7))
    stored = values.astype(">" + code).tobytes()
    path = write("rec.dat", header_bytes(type_name, np.dtype(code).itemsize,
                                         inputs, rows, 5) +
                 input_bytes([b"a", b"b", b"c"]) + stored)
    expected = np.frombuffer(stored, dtype=">" + code).reshape(rows, inputs)
    with morvela.open(path) as rec:
        got = rec.read()
        assert got.dtype == np.dtype(code)
        assert got.flags.c_contiguous
        np.testing.assert_array_equal(got, expected)
        np.testing.assert_array_equal(rec.read(10, 20, [2, 0]),
                                      expected[10:20, [2, 0]])
    status, report = convert(str(path))
    assert status == 0
    from_report = np.array([[float(v) for v in row[1:]]
                            for row in report_rows(report)])
    np.testing.assert_array_equal(from_report, got.astype(np.float64))


@pytest.mark.parametrize("type_name,size", [
    ("short", 1), ("int", 2), ("unsigned int", 3), ("unsigned short", 1),
    ("char", 3), ("int", 8), ("double", 10), ("float", 6)])
def test_narrow_and_wide_fields(write, type_name, size):
    code = TYPES[type_name]
    width = np.dtype(code).itemsize
    rng = np.random.default_rng(size)
    fields = rng.integers(0, 256, (40, 2, size), dtype=np.uint8)
    if size >= width:
        # The value is a field's last `width` bytes.
        kept = np.ascontiguousarray(fields[:, :, size - width:])
        expected = np.frombuffer(kept.tobytes(), dtype=">" + code).reshape(40, 2)
    else:
        # A narrower integer field, sign- or zero-extended by hand.
        raw = np.zeros((40, 2), dtype=np.int64)
        for byte in range(size):
            raw = raw * 256 + fields[:, :, byte]
        if np.dtype(code).kind == "i":
            raw = np.where(raw >= 2 ** (8 * size - 1), raw - 2 ** (8 * size), raw)
        expected = raw.astype(code)
    path = write("rec.dat", header_bytes(type_name, size, 2, 40) +
                 input_bytes([b"a", b"b"]) + fields.tobytes())
    with morvela.open(path) as rec:
        np.testing.assert_array_equal(rec.read(), expected)
    status, report = convert(str(path))
    assert status == 0
    from_report = np.array([[float(v) for v in row[1:]]
                            for row in report_rows(report)])
    if np.dtype(code).kind == "f":
        finite = np.isfinite(expected) & (np.abs(expected) < 1e8)
        np.testing.assert_allclose(from_report[finite], expected[finite],
                                   rtol=0, atol=5.01e-7)
    else:
        np.testing.assert_array_equal(from_report, expected)


def test_rows_and_inputs_are_selected_like_slices(write):
    stored = np.arange(60, dtype=">i2").tobytes()
    path = write("rec.dat", header_bytes("short", 2, 3, 20) +
                 input_bytes([b"U", b"I", b"U"]) + stored)
    with morvela.open(path) as rec:
        assert rec.columns == ("U", "I", "U.1")
        assert rec.shape == (20, 3) and len(rec) == 20
        np.testing.assert_array_equal(rec.read(-2), [[54, 55, 56], [57, 58, 59]])
        np.testing.assert_array_equal(rec.read(18, 99, "I"), [[55], [58]])
        np.testing.assert_array_equal(rec.read(0, 2, ["U.1", -3]), [[2, 0], [5, 3]])
        np.testing.assert_array_equal(rec[1:3, 1], [4, 7])
        np.testing.assert_array_equal(rec[1:3, 1:2], [[4], [7]])
        assert rec[1, 2] == 5 and np.ndim(rec[1, 2]) == 0
        np.testing.assert_array_equal(rec[-1], [57, 58, 59])
        assert rec.read(5, 5).shape == (0, 3)
        with pytest.raises(KeyError):
            rec.read(inputs="W")
        with pytest.raises(IndexError):
            rec.read(inputs=3)
    assert rec.closed
    with pytest.raises(ValueError):
        rec.read()


@pytest.mark.parametrize("sample_time, pretrigger", [
    (1, 0), (3, 1), (7, 77), (100, 100), (250, 4000),
    # Far from the trigger the report prints the arithmetic's digits.
    (130930, 340774448), (4294967295, 2**32 - 3),
])
def test_every_time_handed_out_is_the_reports_text(write, tmp_path, sample_time, pretrigger):
    rows = 5000 if sample_time < 1000 else 30
    path = write("rec.dat", header_bytes("char", 1, 1, rows, pretrigger,
                                         sample_time=sample_time) +
                 input_bytes([b"a"]) + bytes(rows))
    status, report = convert(str(path))
    assert status == 0
    expected = np.array([float(row[0]) for row in report_rows(report)])
    seconds = float(report.split("\r\n")[5].split(";")[1])
    with morvela.open(path) as rec:
        same_bits(rec.time_offsets(), expected)
        same_bits(rec.to_pandas().index.to_numpy(), expected)
        assert rec.header.sample_time == seconds
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(path, engine="morvela") as ds:
        same_bits(ds.time.values, expected)
        assert ds.attrs["sample_time"] == seconds
    with morvela.open_mfdataset([path, path]) as ds:
        same_bits(ds.time.values, expected)
    pq = pytest.importorskip("pyarrow.parquet")
    morvela.export(path, tmp_path / "rec.parquet")
    same_bits(pq.read_table(tmp_path / "rec.parquet")["TimeOffset"].to_numpy(), expected)
    h5py = pytest.importorskip("h5py")
    morvela.export(path, tmp_path / "rec.h5")
    with h5py.File(tmp_path / "rec.h5") as f:
        same_bits(f["time_offset"][...], expected)
        assert f.attrs["sample_time"] == seconds


def test_header_and_inputs(write):
    path = write("rec.dat", header_bytes("float", 4, 2, 0, 5, 250) +
                 input_bytes([b"\xb5V", b"caf\xc3\xa9"], [b"m/s", b"\xff"]))
    with morvela.open(path) as rec:
        h = rec.header
        assert (h.block_name, h.application_name, h.application_version) == \
            ("Test", "Rec", "2.1")
        assert h.trigger_time_ns == 1110792413_250000000
        assert h.trigger_time.isoformat() == "2005-03-14T09:26:53.250000+00:00"
        assert h.sample_time == 250e-6
        assert (h.samples, h.pretrigger_samples, h.posttrigger_samples) == \
            (0, 5, 2**32 - 5)
        assert (h.inputs, h.data_type, h.data_type_size) == (2, "float", 4)
        # Text that is not UTF-8 comes through and encodes back unchanged.
        assert rec.inputs[1] == ("café", "\udcff")
        assert rec.inputs[0].name.encode("utf-8", "surrogateescape") == b"\xb5V"
        assert rec.read().shape == (0, 2)


@pytest.mark.parametrize("seconds,expected", [
    (0.0, 0), (1.9999999996, 2_000_000_000), (-10.0, None),
    (float("nan"), None), (253402300799.0, 253402300799_000000000),
    (253402300800.0, None), (1e300, None)])
def test_trigger_time_and_its_fallback(write, seconds, expected):
    path = write("rec.dat", header_bytes("short", 2, 0, 0, trigger_time=seconds))
    with morvela.open(path) as rec:
        assert rec.header.trigger_time_ns == expected
        assert (rec.header.trigger_time is None) == (expected is None)


def test_chunks_cover_the_recording_in_flat_memory(tmp_path):
    import subprocess
    import tracemalloc

    from conftest import SYNTH

    path = tmp_path / "long.dat"
    subprocess.run([SYNTH, "-t", "short", "-i", "4", "-n", "3000000", str(path)],
                   check=True, capture_output=True)
    with morvela.open(path) as rec:
        head = rec.read(0, 1000)
        tracemalloc.start()
        rows, total, first = 0, np.zeros(4, dtype=np.int64), None
        for offsets, values in rec.chunks(rows=100_000):
            assert len(offsets) == len(values)
            first = values[:1000] if first is None else first
            rows += len(values)
            total += values.sum(axis=0, dtype=np.int64)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
    assert rows == 3_000_000
    np.testing.assert_array_equal(first, head)
    assert peak < 16 << 20, peak
    assert os.path.getsize(path) > 20 << 20
