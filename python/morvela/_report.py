"""Morvela's text reports read back with pandas."""

import io
from typing import TYPE_CHECKING, Any, Dict, List, NoReturn, Tuple

import numpy as np

from ._errors import ReportError
from ._morvela import DATA_TYPES
from ._names import column_names_of

if TYPE_CHECKING:
    import pandas

    from ._types import PathType

# The report's columns by the header's data type, as the decoder has them;
# unknown types have no values to read.
_DTYPES = {name: dtype.name for name, dtype in DATA_TYPES.items()}

_PARAMETERS = ["TriggerTime", "SampleTime", "Nsamples", "Npretrigger",
               "Nposttrigger", "Ninputs", "DataTypeName", "DataTypeSize"]


def _refuse(path: Any, line: int, message: str) -> NoReturn:
    raise ReportError(f"{path}: line {line}: {message}")


def _expect(path: Any, lines: List[str], index: int, text: str) -> None:
    if index >= len(lines) or lines[index] != text:
        found = repr(lines[index]) if index < len(lines) else "the end"
        _refuse(path, index + 1, f"expected {text!r}, found {found}")


def _fields(path: Any, lines: List[str], index: int, count: int, what: str) -> List[str]:
    if index >= len(lines):
        _refuse(path, index + 1, f"expected {what}, found the end")
    fields = lines[index].split(";") if count else []
    if count == 0 and lines[index] != "":
        _refuse(path, index + 1, f"expected no {what}, found {lines[index]!r}")
    if len(fields) != count:
        _refuse(path, index + 1, f"{len(fields)} {what} for {count} inputs "
              "(a name holding ';' cannot be read back)")
    return fields


def _exact_floats(pd: Any) -> Dict[str, str]:
    # Correctly rounded parsing: pandas 3 does it by default and deprecates
    # the option that earlier versions need for it.
    major = int(pd.__version__.split(".")[0])
    return {} if major >= 3 else {"float_precision": "round_trip"}


def read_report(path: "PathType") -> "pandas.DataFrame":
    """A report written by the Morvela program, as `Recording.to_pandas`
    shapes a recording.

    Parameters
    ----------
    path : str, bytes or os.PathLike

    Returns
    -------
    pandas.DataFrame
        Indexed by TimeOffset, one column per input (repeated names made
        unique as pandas makes them, "TimeOffset" kept for the index), each
        of the header's data type; units in ``df.attrs["units"]``, the
        report's header fields in ``df.attrs["header"]`` under the keys of
        `Header.to_dict` (the trigger time as the report's local-time
        text). Text is read as Latin-1, which keeps every byte.

    Raises
    ------
    ReportError
        A ValueError naming the line, for text that is not a complete
        report: the report of a failed run among them.
    """
    with open(path, "rb") as f:
        data = f.read()
    lines = data.decode("latin-1").split("\r\n")
    if len(lines) == 1 and "\n" in lines[0]:
        _refuse(path, 1, "expected CR LF line ends, found LF alone "
              "(was the report's text changed?)")
    fields, names, units, first = _report_header(path, lines)
    frame = _report_table(path, lines[first:], first, fields, names)
    frame.attrs["units"] = dict(zip(frame.columns, units))
    frame.attrs["header"] = _header_dict(fields)
    return frame


def _report_header(path: Any, lines: List[str]
                   ) -> Tuple[Dict[str, str], List[str], List[str], int]:
    """(the header fields by the report's names, the input names, their
    units, the index of the first sample row) of the report's `lines`; the
    column-name line of a report of no inputs is cut to its first row."""
    _expect(path, lines, 2, "RecName;ApplName;ApplVersion")
    block = _fields(path, lines, 3, 3, "block fields")
    _expect(path, lines, 4, ";".join(_PARAMETERS))
    values = lines[5].split(";") if len(lines) > 5 else []
    if len(values) != len(_PARAMETERS):
        _refuse(path, 6, f"expected {len(_PARAMETERS)} header values")
    fields = dict(zip(["RecName", "ApplName", "ApplVersion"], block))
    fields.update(zip(_PARAMETERS, values))
    try:
        input_count = int(fields["Ninputs"])
        int(fields["Nsamples"])
    except ValueError:
        _refuse(path, 6, "Ninputs and Nsamples are not numbers")
    if not input_count:
        _fields(path, lines, 6, 0, "names")
        _fields(path, lines, 7, 0, "units")
        # With no inputs the first row continues the column-name line.
        if len(lines) < 9 or not lines[8].startswith("TimeOffset;"):
            _refuse(path, 9, "expected 'TimeOffset;'")
        lines[8] = lines[8][len("TimeOffset;"):]
        return fields, [], [], 8
    _expect(path, lines, 6, ";".join(f"NameInput{i:02d}" for i in range(input_count)))
    names = _fields(path, lines, 7, input_count, "names")
    _expect(path, lines, 8, ";".join(f"UnitInput{i:02d}" for i in range(input_count)))
    units = _fields(path, lines, 9, input_count, "units")
    _expect(path, lines, 10,
            "TimeOffset;" + ";".join(f"SamplesInput{i:02d}" for i in range(input_count)))
    return fields, names, units, 11


def _report_table(path: Any, lines: List[str], first: int, fields: Dict[str, str],
                  names: List[str]) -> "pandas.DataFrame":
    """The sample rows, `lines` (from line `first`), as a frame indexed by
    TimeOffset, one column per input of `names`, of the header's type."""
    import pandas as pd

    samples, input_count = int(fields["Nsamples"]), len(names)
    if lines[-1:] == [""]:
        # Only the column-name line of a report of no samples ends in a line
        # break; a row that does was the last of a failed run.
        lines.pop()
        if samples:
            _refuse(path, first + len(lines), f"the report holds {len(lines)} of "
                  f"{samples} rows and ends in a line break: it is the "
                  "report of a failed run")
    if len(lines) != samples:
        _refuse(path, first + len(lines), f"the report holds {len(lines)} of "
              f"{samples} rows: it is not complete")
    dtype = _DTYPES.get(fields["DataTypeName"])
    if dtype is None and samples and input_count:
        _refuse(path, first + 1, f"data type {fields['DataTypeName']!r} has no "
              "values to read")
    try:
        if input_count == 0:
            if any(not row.endswith(";") for row in lines):
                raise ValueError("a row without its ';'")
            offsets = np.array([float(row[:-1]) for row in lines], dtype=np.float64)
            return pd.DataFrame(index=pd.Index(offsets, name="TimeOffset"))
        frame = pd.read_csv(
            io.StringIO("\n".join(lines)), sep=";", header=None,
            names=["TimeOffset", *(f"v{i}" for i in range(input_count))],
            index_col=0,
            dtype={"TimeOffset": "float64",
                   **{f"v{i}": dtype or "float64" for i in range(input_count)}},
            # "nan" is the report's text for a NaN; nothing else (an
            # empty field least of all) is a missing value.
            keep_default_na=False,
            na_values={f"v{i}": ["nan"] for i in range(input_count)},
            engine="c", **_exact_floats(pd))
        if frame.index.dtype != np.float64:
            raise ValueError("a time offset that is not a number")
    except (ValueError, TypeError, OverflowError) as error:
        _refuse(path, first + 1, f"the rows are not a sample table: {error}")
    frame.columns = column_names_of(names)
    frame.index.name = "TimeOffset"
    return frame


# The report's header fields by the names of Header.to_dict, and how each
# value is read.
_HEADER_KEYS = {
    "RecName": ("block_name", str), "ApplName": ("application_name", str),
    "ApplVersion": ("application_version", str),
    "TriggerTime": ("trigger_time", str), "SampleTime": ("sample_time", float),
    "Nsamples": ("samples", int), "Npretrigger": ("pretrigger_samples", int),
    "Nposttrigger": ("posttrigger_samples", int), "Ninputs": ("inputs", int),
    "DataTypeName": ("data_type", str), "DataTypeSize": ("data_type_size", int),
}


def _header_dict(fields: Dict[str, str]) -> Dict[str, Any]:
    """The report's header fields under to_dict's keys, numbers as numbers
    (the trigger time stays the report's local-time text)."""
    header: Dict[str, Any] = {}
    for field, (key, parse) in _HEADER_KEYS.items():
        try:
            header[key] = parse(fields[field])
        except ValueError:
            header[key] = fields[field]
    return header
