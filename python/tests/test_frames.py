"""DataFrames, reports read back, and the plot's envelope."""

import io
import shutil

import numpy as np
import pandas as pd
import pytest

import morvela
from morvela._plot import envelope
from morvela._names import unique_names
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
        assert list(df.columns) == ["U", "I", "U.1"]
        assert df.index.name == "TimeOffset"
        np.testing.assert_array_equal(df.index, [-0.00025, 0, 0.00025, 0.0005])
        np.testing.assert_array_equal(df.to_numpy(), np.arange(12).reshape(4, 3))
        assert df.attrs["units"] == {"U": "V", "I": "A", "U.1": "mV"}
        assert df.attrs["header"]["samples"] == 4
        part = rec.to_pandas(1, 3, ["U.1", "U"])
        # The inputs chosen keep the names the whole recording gives them.
        assert list(part.columns) == ["U.1", "U"]
        np.testing.assert_array_equal(part.to_numpy(), [[5, 3], [8, 6]])
    # The exports' names: UTF-8 text, and TimeOffset kept for the time.
    path = write("odd.dat", header_bytes("short", 2, 3, 1) +
                 input_bytes([b"TimeOffset", b"A\xe9", b"A\xef\xbf\xbd"]) + bytes(6))
    with morvela.open(path) as rec:
        names = ["TimeOffset.1", "A\ufffd", "A\ufffd.1"]
        assert list(rec.to_pandas().columns) == names == list(rec.columns)
        assert list(rec.to_pandas(inputs=["A\udce9"]).columns) == ["A\ufffd"]


def test_read_report_agrees_with_the_recording(tmp_path):
    path = tmp_path / "demo.dat"
    shutil.copy(DEMO, path)
    status, _ = convert(str(path))
    assert status == 0
    from_report = morvela.read_report(tmp_path / "demo.txt")
    with morvela.open(path) as rec:
        direct = rec.to_pandas()
    assert list(from_report.columns) == list(direct.columns)
    assert from_report.attrs["units"] == direct.attrs["units"]
    for key in ("block_name", "sample_time", "samples", "pretrigger_samples",
                "posttrigger_samples", "inputs", "data_type", "data_type_size"):
        assert from_report.attrs["header"][key] == direct.attrs["header"][key], key
    np.testing.assert_array_equal(from_report.index, np.round(direct.index, 9))
    np.testing.assert_array_equal(from_report.to_numpy(), direct.to_numpy())


def test_read_report_of_floats_to_the_reports_decimals(write):
    values = np.random.default_rng(3).normal(0, 100, (50, 2))
    path = write("f.dat", header_bytes("double", 8, 2, 50, 7, 33) +
                 input_bytes([b"x", b"x"]) + values.astype(">f8").tobytes())
    assert convert(str(path))[0] == 0
    from_report = morvela.read_report(path.with_suffix(".txt"))
    with morvela.open(path) as rec:
        direct = rec.to_pandas()
    assert list(from_report.columns) == ["x", "x.1"]
    np.testing.assert_allclose(from_report.to_numpy(), direct.to_numpy(),
                               rtol=0, atol=5.01e-7)
    np.testing.assert_allclose(from_report.index, direct.index, rtol=0, atol=5.01e-10)


@pytest.mark.parametrize("rows,bins", [(100_003, 997), (1000, 1000), (999, 7),
                                       (5, 100)])
def test_envelope_keeps_every_extreme(write, rows, bins):
    rng = np.random.default_rng(rows)
    values = rng.integers(-1000, 1000, (rows, 3)).astype(np.int16)
    values[rng.integers(0, rows, 5), rng.integers(0, 3, 5)] = 32767  # spikes
    values[rng.integers(0, rows, 5), rng.integers(0, 3, 5)] = -32768
    path = write("e.dat", header_bytes("short", 2, 3, rows, 10) +
                 input_bytes([b"a", b"b", b"c"]) + values.astype(">i2").tobytes())
    with morvela.open(path) as rec:
        times, low, high = envelope(rec, bins)
        offsets = rec.time_offsets()
    assert len(times) <= bins
    np.testing.assert_array_equal(low.min(axis=0), values.min(axis=0))
    np.testing.assert_array_equal(high.max(axis=0), values.max(axis=0))
    # Each run's extremes exactly, runs of equal length from the first row.
    per = -(-rows // bins)
    for k in range(len(times)):
        run = values[k * per:(k + 1) * per]
        np.testing.assert_array_equal(low[k], run.min(axis=0))
        np.testing.assert_array_equal(high[k], run.max(axis=0))
        assert times[k] == offsets[k * per]


def test_envelope_of_a_range_longer_than_a_block(write):
    # 9 million values: the envelope reads them in several blocks.
    rows = 3_000_000
    rng = np.random.default_rng(1)
    values = rng.integers(-30000, 30000, (rows, 3)).astype(np.int16)
    path = write("e.dat", header_bytes("short", 2, 3, rows, 10) +
                 input_bytes([b"a", b"b", b"c"]) + values.astype(">i2").tobytes())
    start, stop, bins = 12_345, 2_950_001, 1000
    with morvela.open(path) as rec:
        times, low, high = envelope(rec, bins, start, stop, [2, 0])
        offsets = rec.time_offsets(start, stop)
    part = values[start:stop, [2, 0]]
    per = -(-len(part) // bins)
    count = -(-len(part) // per)
    assert len(times) == count
    np.testing.assert_array_equal(times, offsets[::per])
    whole = len(part) // per
    runs = part[: whole * per].reshape(whole, per, 2)
    np.testing.assert_array_equal(low[:whole], runs.min(axis=1))
    np.testing.assert_array_equal(high[:whole], runs.max(axis=1))
    np.testing.assert_array_equal(low[whole:], part[whole * per:].min(axis=0, keepdims=True))
    np.testing.assert_array_equal(high[whole:], part[whole * per:].max(axis=0, keepdims=True))


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
    assert (tmp_path / "p.png").stat().st_size > 1000
