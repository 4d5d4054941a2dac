# DataFrames, reports read back, and the plot's envelope.

import io

import numpy as np
import pandas as pd
import pytest

import morvela
from morvela._names import unique_names
from morvela._plot import envelope
from conftest import convert, header_bytes, input_bytes


@pytest.mark.parametrize("names", [
    ["a", "a", "a.1", "b", "a", "b", "a.1"],
    ["x", "x", "x", "x.1", "x.2", "x.1"],
    ["a.1", "a", "a", "a"]])
def test_repeated_names_are_made_unique_as_pandas_does(names):
    parsed = pd.read_csv(io.StringIO(",".join(names) + "\n" + ",".join("1" * len(names))))
    assert unique_names(names) == list(parsed.columns)


def report_of(write, data, name="rec.dat"):
    path = write(name, data)
    status, _ = convert(str(path))
    return status, path.with_suffix(".txt")


def test_to_pandas_and_read_report_agree(write):
    # A DataFrame of the recording and one of its report: the same names
    # (repeated ones, and ones pandas takes for missing values), units,
    # header, times, types and values.
    status, report = report_of(write, header_bytes("short", 2, 4, 4, 1, 250) +
                               input_bytes([b"NA", b"", b"nan", b"NA"], [b"", b"NA", b"N/A", b"V"]) +
                               np.arange(16, dtype=">i2").tobytes())
    assert status == 0
    from_report = morvela.read_report(report)
    with morvela.open(report.with_suffix(".dat")) as rec:
        df, part, header = rec.to_pandas(), rec.to_pandas(1, 3, ["NA.1", "NA"]), rec.header.to_dict()
    assert list(df.columns) == list(from_report.columns) == ["NA", "", "nan", "NA.1"]
    assert df.index.name == from_report.index.name == "TimeOffset"
    for frame in (df, from_report):
        np.testing.assert_array_equal(frame.index, [-0.00025, 0, 0.00025, 0.0005])
        np.testing.assert_array_equal(frame.to_numpy(), np.arange(16).reshape(4, 4))
        assert frame.dtypes.tolist() == [np.int16] * 4
        assert frame.attrs["units"] == {"NA": "", "": "NA", "nan": "N/A", "NA.1": "V"}
    assert df.attrs["header"] == header
    assert all(from_report.attrs["header"][key] == header[key] for key in (
        "block_name", "sample_time", "samples", "pretrigger_samples", "posttrigger_samples",
        "inputs", "data_type", "data_type_size"))
    # The inputs chosen keep the names the whole recording gives them.
    assert list(part.columns) == ["NA.1", "NA"] and part.attrs["units"] == {"NA.1": "V", "NA": ""}
    np.testing.assert_array_equal(part.to_numpy(), [[7, 4], [11, 8]])


def _set(at, text):
    return lambda lines: lines[:at] + [text] + lines[at + 1:]


_NAMES = "NameInput00;NameInput01"
_PARAMETERS = ("TriggerTime;SampleTime;Nsamples;Npretrigger;Nposttrigger;Ninputs;"
               "DataTypeName;DataTypeSize")
_NOT_READ_BACK = "(a name holding ';' cannot be read back)"
# A report of 2 inputs and 2 rows, or of no inputs and 3 rows, changed line
# by line: the line and the reason read_report gives.
BROKEN = [
    (2, lambda lines: ["\n".join(lines)],
     "line 1: expected CR LF line ends, found LF alone (was the report's text changed?)"),
    (2, lambda lines: lines[:1], "line 3: expected 'RecName;ApplName;ApplVersion', found the end"),
    (2, _set(2, "x"), "line 3: expected 'RecName;ApplName;ApplVersion', found 'x'"),
    (2, lambda lines: lines[:3], "line 4: expected block fields, found the end"),
    (2, _set(3, "Test;Rec"), f"line 4: 2 block fields for 3 inputs {_NOT_READ_BACK}"),
    (2, _set(4, "y"), f"line 5: expected '{_PARAMETERS}', found 'y'"),
    (2, lambda lines: lines[:5], "line 6: expected 8 header values"),
    (2, _set(5, "a;b;c;d;e;f;g"), "line 6: expected 8 header values"),
    (2, _set(5, "t;0.0001;x;0;2;2;short;2"), "line 6: Ninputs and Nsamples are not numbers"),
    (2, lambda lines: lines[:6], f"line 7: expected '{_NAMES}', found the end"),
    (2, _set(7, "a"), f"line 8: 1 names for 2 inputs {_NOT_READ_BACK}"),
    (2, _set(8, "z"), "line 9: expected 'UnitInput00;UnitInput01', found 'z'"),
    (2, _set(9, "V;V;V"), f"line 10: 3 units for 2 inputs {_NOT_READ_BACK}"),
    (2, _set(10, "TimeOffset"),
     "line 11: expected 'TimeOffset;SamplesInput00;SamplesInput01', found 'TimeOffset'"),
    (2, lambda lines: lines[:12], "line 12: the report holds 1 of 2 rows: it is not complete"),
    (2, lambda lines: lines[:12] + [""], "line 12: the report holds 1 of 2 rows and ends in "
     "a line break: it is the report of a failed run"),
    (2, lambda lines: lines + ["+0.000200000;0;0"],
     "line 14: the report holds 3 of 2 rows: it is not complete"),
    (2, _set(5, "t;0.0001;2;0;2;2;long;2"), "line 12: data type 'long' has no values to read"),
    (2, _set(12, "x;0;0"), "line 12: the rows are not a sample table: "),
    (2, _set(12, "+0.000100000;0;nan"), "line 12: the rows are not a sample table: "),
    (0, lambda lines: lines[:6], "line 7: expected names, found the end"),
    (0, _set(6, "x"), "line 7: expected no names, found 'x'"),
    (0, _set(7, "x"), "line 8: expected no units, found 'x'"),
    (0, _set(8, "Time;+0.000000000;"), "line 9: expected 'TimeOffset;'"),
    (0, _set(9, "+0.000100000"), "line 9: the rows are not a sample table: a row without its ';'"),
]


@pytest.mark.parametrize("inputs, change, said", BROKEN)
def test_read_report_names_the_line_of_what_is_not_a_complete_report(
        write, inputs, change, said):
    status, report = report_of(write, header_bytes("short", 2, inputs, 3 - inputs // 2) +
                               input_bytes([b"a", b"b"][:inputs]) + bytes(2 * inputs * 2))
    assert status == 0
    with open(report, "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")
    with open(report, "wb") as f:
        f.write("\r\n".join(change(lines)).encode("latin-1"))
    raised = pytest.raises(morvela.ReportError, morvela.read_report, report)
    assert str(raised.value).startswith(f"{report}: {said}")
    assert said.endswith(": ") or str(raised.value) == f"{report}: {said}"


def test_read_report_of_failed_runs_and_of_no_rows(write, tmp_path):
    assert issubclass(morvela.ReportError, ValueError)
    failed = tmp_path / "failed.txt"
    for data, status, said in (
            (header_bytes("short", 2, 2, 5) + input_bytes([b"a", b"b"]) + bytes(13), 255,
             "line 15: the report holds 4 of 5 rows and ends in a line break"),
            (header_bytes("long", 2, 1, 2) + input_bytes([b"a"]) + bytes(4), 252,
             "line 12: the report holds 1 of 2 rows and ends in a line break")):
        assert report_of(write, data, "failed.dat") == (status, failed)
        pytest.raises(morvela.ReportError, morvela.read_report, failed).match(said)
    _, report = report_of(write, header_bytes("short", 2, 2, 0) + input_bytes([b"a", b"b"]))
    frame = morvela.read_report(report)
    assert frame.shape == (0, 2) and list(frame.columns) == ["a", "b"]
    # An unknown type is never read where there is no row.
    _, report = report_of(write, header_bytes("long", 2, 1, 0) + input_bytes([b"a"]), "long.dat")
    assert morvela.read_report(report)["a"].dtype == np.float64
    # No inputs: the offsets alone, far from the trigger where all nine
    # decimals show, one row and three.
    for rows in (1, 3):
        path = write("far.dat", header_bytes("short", 2, 0, rows, 340774448, 130930))
        assert convert(str(path))[0] == 0
        frame = morvela.read_report(path.with_suffix(".txt"))
        assert frame.shape == (rows, 0) and frame.index.name == "TimeOffset"
        with morvela.open(path) as rec:
            np.testing.assert_array_equal(frame.index, rec.time_offsets())
    # A header field that is not the number it should be stays its text.
    text = path.with_suffix(".txt").read_bytes().replace(b";340774448;", b";x;")
    path.with_suffix(".txt").write_bytes(text)
    assert morvela.read_report(path.with_suffix(".txt")).attrs["header"][
        "pretrigger_samples"] == "x"


@pytest.mark.parametrize("rows, bins, start, stop, inputs, stored", [
    (100_003, 997, 0, None, None, 3), (1000, 1000, 0, None, None, 3),
    (999, 7, 0, None, None, 3), (5, 100, 0, None, None, 3), (1001, 1000, 0, None, None, 3),
    (50, 1, 3, 40, [1], 3),
    # Ranges longer than a block (about 8 million values): read in two, and
    # in four.
    (3_000_000, 1000, 12_345, 2_950_001, None, 3), (3_000_000, 999, 1, None, [2, 0], 3),
    (1_200_000, 1000, 0, None, None, 24),
])
def test_envelope_keeps_every_extreme(write, rows, bins, start, stop, inputs, stored):
    rng = np.random.default_rng(rows)
    values = rng.integers(-1000, 1000, (rows, stored)).astype(np.int16)
    values[rng.integers(0, rows, 5), rng.integers(0, stored, 5)] = 32767  # spikes
    values[rng.integers(0, rows, 5), rng.integers(0, stored, 5)] = -32768
    path = write("e.dat", header_bytes("short", 2, stored, rows, 10) +
                 input_bytes([b"i%d" % j for j in range(stored)]) + values.astype(">i2").tobytes())
    with morvela.open(path) as rec:
        whole = (start, stop) == (0, None)  # the defaults: every row
        times, low, high = envelope(rec, bins, inputs=inputs) if whole else \
            envelope(rec, bins, start, stop, inputs)
        offsets = rec.time_offsets(start, stop)
    assert (times.dtype, low.dtype, high.dtype) == (np.float64, np.int16, np.int16)
    part = values[start:stop] if inputs is None else values[start:stop, inputs]
    # Runs of equal length from the first row, each with its extremes.
    per = -(-len(part) // bins)
    assert len(times) == -(-len(part) // per) <= bins
    np.testing.assert_array_equal(times, offsets[::per])
    for k in range(len(times)):
        np.testing.assert_array_equal(low[k], part[k * per:(k + 1) * per].min(axis=0))
        np.testing.assert_array_equal(high[k], part[k * per:(k + 1) * per].max(axis=0))


@pytest.mark.parametrize("rows, pretrigger, envelope_drawn", [
    (5000, 100, True), (1280, 0, False), (1281, 1281, True), (50, 60, False),
    (50, 49, False)])
def test_plot_has_a_panel_per_input_with_units(write, tmp_path, rows, pretrigger,
                                               envelope_drawn):
    # A range longer than twice the plot's 80 % of pixels is drawn as its
    # envelope; the trigger is marked where the range holds it.
    values = np.zeros((rows, 2), ">i2")
    values[rows // 3, 1] = 999
    path = write("p.dat", header_bytes("short", 2, 2, rows, pretrigger) +
                 input_bytes([b"U1", b"I1"], [b"V", b""]) + values.tobytes())
    with morvela.open(path) as rec:
        fig = rec.plot(tmp_path / "p.png", width=800, panel_height=100)
    axes = fig.get_axes()
    assert [ax.get_ylabel() for ax in axes] == ["U1 [V]", "I1"]
    assert axes[1].get_xlabel() == "time from trigger [s]"
    assert fig._suptitle.get_text() == "Test, trigger 2005-03-14 09:26:53.250000 UTC"
    assert tuple(fig.get_size_inches() * fig.dpi) == (800, 320)
    assert axes[1].get_ylim()[1] >= 999
    assert all(bool(ax.collections) == envelope_drawn for ax in axes)
    marked = [any(list(line.get_xdata()) == [0, 0] for line in ax.lines) for ax in axes]
    assert marked == [pretrigger < rows] * 2
    assert [t.get_text() for t in axes[0].texts] == ["trigger"] * (pretrigger < rows)
    assert axes[0].get_shared_x_axes().joined(axes[0], axes[1])
    assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # A range of rows and one input, at the default size.
    with morvela.open(path) as rec:
        fig = rec.plot(None, start=10, stop=rows - 5, inputs=[1], dpi=50)
        first, last = rec.time_offsets(10, rows - 5)[[0, -1]]
        [ax] = fig.get_axes()
        assert tuple(fig.get_size_inches() * fig.dpi) == (1600, 280)
        assert ax.get_ylabel() == "I1" and ax.dataLim.x0 == first and ax.dataLim.x1 <= last
        assert ax.dataLim.y1 == (999 if 10 <= rows // 3 < rows - 5 else 0)

        # A short range late in a long recording is drawn as lines.
        assert not any(ax.collections for ax in rec.plot(None, start=rows - 100, width=800).axes)
        # The smallest figure still has room to draw in.
        axes = rec.plot(None, width=100, panel_height=1, inputs=[1]).get_axes()
        narrow = rec.plot(None, width=20).get_axes()
    assert len(axes) == 1 and axes[0].get_position().height > 0
    for ax in [*fig.axes, *axes, *narrow]:  # every panel inside its figure
        box = ax.get_position()
        assert 0 <= box.x0 < box.x1 <= 1 and 0 <= box.y0 < box.y1 <= 1, box
