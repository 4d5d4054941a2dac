"""DataFrames, reports read back, and the plot's envelope."""

import io
import shutil

import numpy as np
import pandas as pd
import pytest

import morvela
from morvela._names import unique_names
from morvela._plot import envelope
from conftest import DEMO, convert, header_bytes, input_bytes


@pytest.mark.parametrize("names", [
    ["a", "a", "a.1", "b", "a", "b", "a.1"],
    ["x", "x", "x", "x.1", "x.2", "x.1"],
    ["a.1", "a", "a", "a"]])
def test_repeated_names_are_made_unique_as_pandas_does(names):
    parsed = pd.read_csv(io.StringIO(",".join(names) + "\n" + ",".join("1" * len(names))))
    assert unique_names(names) == list(parsed.columns)


def test_to_pandas(write):
    path = write("rec.dat", header_bytes("short", 2, 3, 4, 1, 250) +
                 input_bytes([b"U", b"I", b"U"], [b"V", b"A", b"mV"]) +
                 np.arange(12, dtype=">i2").tobytes())
    with morvela.open(path) as rec:
        df = rec.to_pandas()
        assert list(df.columns) == ["U", "I", "U.1"] and df.index.name == "TimeOffset"
        np.testing.assert_array_equal(df.index, [-0.00025, 0, 0.00025, 0.0005])
        np.testing.assert_array_equal(df.to_numpy(), np.arange(12).reshape(4, 3))
        assert df.attrs["units"] == {"U": "V", "I": "A", "U.1": "mV"}
        assert df.attrs["header"] == rec.header.to_dict()
        part = rec.to_pandas(1, 3, ["U.1", "U"])
        # The inputs chosen keep the names the whole recording gives them.
        assert list(part.columns) == ["U.1", "U"] and part.attrs["units"] == {
            "U.1": "mV", "U": "V"}
        np.testing.assert_array_equal(part.to_numpy(), [[5, 3], [8, 6]])
    # The exports' names: UTF-8 text, and TimeOffset kept for the time.
    path = write("odd.dat", header_bytes("short", 2, 3, 1) +
                 input_bytes([b"TimeOffset", b"A\xe9", b"A\xef\xbf\xbd"]) + bytes(6))
    with morvela.open(path) as rec:
        names = ["TimeOffset.1", "A\ufffd", "A\ufffd.1"]
        assert list(rec.to_pandas().columns) == names == list(rec.columns)
        assert list(rec.to_pandas(inputs=["A\udce9"]).columns) == ["A\ufffd"]


def report_of(write, data, name="rec.dat"):
    path = write(name, data)
    status, _ = convert(str(path))
    return status, path.with_suffix(".txt")


def test_read_report_agrees_with_the_recording(tmp_path, write):
    path = tmp_path / "demo.dat"
    shutil.copy(DEMO, path)
    assert convert(str(path))[0] == 0
    from_report = morvela.read_report(tmp_path / "demo.txt")
    with morvela.open(path) as rec:
        direct = rec.to_pandas()
    assert list(from_report.columns) == list(direct.columns)
    assert from_report.index.name == "TimeOffset"
    assert from_report.attrs["units"] == direct.attrs["units"]
    for key in ("block_name", "sample_time", "samples",
                "pretrigger_samples", "posttrigger_samples", "inputs", "data_type",
                "data_type_size"):
        assert from_report.attrs["header"][key] == direct.attrs["header"][key], key
    np.testing.assert_array_equal(from_report.index, np.round(direct.index, 9))
    np.testing.assert_array_equal(from_report.to_numpy(), direct.to_numpy())
    # Doubles, to the report's six decimals.
    values = np.random.default_rng(3).normal(0, 100, (50, 2))
    status, report = report_of(write, header_bytes("double", 8, 2, 50, 7, 33) +
                               input_bytes([b"x", b"x"]) + values.astype(">f8").tobytes(),
                               "f.dat")
    from_report = morvela.read_report(report)
    assert list(from_report.columns) == ["x", "x.1"]
    np.testing.assert_allclose(from_report.to_numpy(), values, rtol=0, atol=5.01e-7)
    # No inputs, and names pandas would take for missing values.
    status, report = report_of(write, header_bytes("short", 2, 0, 3), "none.dat")
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
    stored = np.array([2.0**70, -1.5] if width == 8 else [1, 2], dtype)
    status, report = report_of(write, header_bytes(type_name, width, 1, 2) +
                               input_bytes([b"x"]) + stored.astype(stored.dtype.newbyteorder(">"))
                               .tobytes())
    assert status == 0
    frame = morvela.read_report(report)
    assert frame["x"].dtype == dtype and frame["x"].tolist() == stored.tolist()


def test_read_report_refuses_what_is_not_a_complete_report(write, tmp_path):
    assert issubclass(morvela.ReportError, ValueError)
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
    good = report_of(write, header_bytes("short", 2, 2, 2) +
                     input_bytes([b"a", b"b"]) + bytes(8), "good.dat")[1]
    text = good.read_bytes()
    for broken, said in (
            (text[:text.rindex(b"\r\n")], "holds 1 of 2 rows"),  # cut after a whole row
            (text.replace(b"\r\n", b"\n"), "line 1: expected CR LF line ends"),
            (text.replace(b"\r\n+0.000100000;0;0", b"\r\n+0.000100000;0;x"), ""),
            (text.replace(b"SamplesInput01", b"SamplesInput07"), ""),
            (text + b"\r\n+0.0002;0;0", ""),
            (b"hello\r\n", "line 3"), (b"", "line 3"),
            (b"a\r\nb\r\nRecName;ApplName;ApplVersion\r\nx;y\r\n", "line 4")):
        good.write_bytes(broken)
        with pytest.raises(morvela.ReportError, match=said):
            morvela.read_report(good)


@pytest.mark.parametrize("rows, bins, start, stop, inputs", [
    (100_003, 997, 0, None, None), (1000, 1000, 0, None, None), (999, 7, 0, None, None),
    (5, 100, 0, None, None), (1001, 1000, 0, None, None),
    # A range longer than a block: the envelope reads it in several.
    (3_000_000, 1000, 12_345, 2_950_001, [2, 0]),
])
def test_envelope_keeps_every_extreme(write, rows, bins, start, stop, inputs):
    rng = np.random.default_rng(rows)
    values = rng.integers(-1000, 1000, (rows, 3)).astype(np.int16)
    values[rng.integers(0, rows, 5), rng.integers(0, 3, 5)] = 32767  # spikes
    values[rng.integers(0, rows, 5), rng.integers(0, 3, 5)] = -32768
    path = write("e.dat", header_bytes("short", 2, 3, rows, 10) +
                 input_bytes([b"a", b"b", b"c"]) + values.astype(">i2").tobytes())
    with morvela.open(path) as rec:
        times, low, high = envelope(rec, bins, start, stop, inputs)
        offsets = rec.time_offsets(start, stop)
    part = values[start:stop] if inputs is None else values[start:stop, inputs]
    # Runs of equal length from the first row, each with its extremes.
    per = -(-len(part) // bins)
    assert len(times) == -(-len(part) // per) <= bins
    np.testing.assert_array_equal(times, offsets[::per])
    for k in range(len(times)):
        np.testing.assert_array_equal(low[k], part[k * per:(k + 1) * per].min(axis=0))
        np.testing.assert_array_equal(high[k], part[k * per:(k + 1) * per].max(axis=0))


def test_plot_has_a_panel_per_input_with_units(write, tmp_path):
    values = np.zeros((5000, 2), ">i2")
    values[1234, 1] = 999
    path = write("p.dat", header_bytes("short", 2, 2, 5000, 100) +
                 input_bytes([b"U1", b"I1"], [b"V", b"A"]) + values.tobytes())
    with morvela.open(path) as rec:
        fig = rec.plot(tmp_path / "p.png", width=800)
    axes = fig.get_axes()
    assert [ax.get_ylabel() for ax in axes] == ["U1 [V]", "I1 [A]"]
    assert axes[1].get_ylim()[1] >= 999
    assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # The smallest figure still has room to draw in.
    with morvela.open(path) as rec:
        axes = rec.plot(None, width=100, panel_height=1).get_axes()
    assert all(ax.get_position().width > 0 and ax.get_position().height > 0 for ax in axes)
