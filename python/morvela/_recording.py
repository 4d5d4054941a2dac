"""The Recording: a recorder file opened for random access."""

import dataclasses
import datetime
import math
import os
from typing import Iterator, NamedTuple, Optional

import numpy as np

from . import _morvela


class RecordingError(Exception):
    """A recording that cannot be read; `status` is the Morvela program's
    exit status for the same file (a negative number: -1 read error, -4
    unknown data type, -5 memory, -6 not a recording)."""

    status = -1

    def __init__(self, message, path=None):
        super().__init__(message)
        self.path = path


class RecordingReadError(RecordingError):
    """The file is shorter than its header says, or a read failed."""

    status = -1


class TruncatedRecordingError(RecordingReadError):
    """The sample block ends before the rows asked for; `row` is the first
    row that is not in the file."""

    def __init__(self, message, path=None, row=None):
        super().__init__(message, path)
        self.row = row


class UnknownDataTypeError(RecordingError):
    """The data type name is none of the eight, or a "float" or "double"
    field is narrower than the type."""

    status = -4


class RecordingMemoryError(RecordingError, MemoryError):
    """The input table or a buffer cannot be held in memory."""

    status = -5


class NotRecordingError(RecordingError):
    """The file does not begin with the recorder's magic "KIV"."""

    status = -6


_ERRORS = {
    -1: (RecordingReadError, "input file read error"),
    -4: (UnknownDataTypeError, "unknown data type"),
    -5: (RecordingMemoryError, "memory allocation error"),
    -6: (NotRecordingError, "input file is not a transient recorder file"),
}


def _raise(status, path, detail=""):
    cls, text = _ERRORS[status]
    raise cls(f"{path}: {text}{detail}", path)


def _text(raw: bytes) -> str:
    # Names are 8-bit text of no stated encoding: UTF-8 where it is valid,
    # the other bytes kept as surrogates (they encode back unchanged with
    # errors="surrogateescape").
    return raw.decode("utf-8", errors="surrogateescape")


class Input(NamedTuple):
    """One input (channel): its name and unit as stored."""

    name: str
    unit: str


@dataclasses.dataclass(frozen=True)
class Header:
    """The recording's header, in the report's terms."""

    block_name: str
    application_name: str
    application_version: str
    # Nanoseconds since 1970-01-01 UTC as the report shows them (rounded half
    # up); None where the report shows the current time instead (a negative
    # or non-finite trigger time, or one past the year 9999).
    trigger_time_ns: Optional[int]
    trigger_time: Optional[datetime.datetime]  # UTC, to the microsecond
    sample_time: float  # seconds between samples
    samples: int
    pretrigger_samples: int
    posttrigger_samples: int
    inputs: int
    data_type: str
    data_type_size: int

    def to_dict(self):
        """A dict of plain values; the trigger time as ISO 8601 text."""
        d = dataclasses.asdict(self)
        if self.trigger_time is not None:
            d["trigger_time"] = self.trigger_time.isoformat()
        return d


def _trigger_time(seconds: float):
    """(nanoseconds, datetime) as the report rounds them, or (None, None)."""
    if not math.isfinite(seconds) or seconds < 0 or seconds >= 2.0**63:
        return None, None
    whole = int(seconds)
    nanoseconds = int((seconds - whole) * 1e9 + 0.5)
    if nanoseconds >= 1_000_000_000:
        whole += 1
        nanoseconds -= 1_000_000_000
    try:
        moment = datetime.datetime.fromtimestamp(whole, datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return None, None
    moment += datetime.timedelta(microseconds=nanoseconds // 1000)
    return whole * 1_000_000_000 + nanoseconds, moment


def unique_names(names):
    """Repeated names made unique as pandas.read_csv does: a repeated "a"
    becomes "a.1", then "a.2", skipping any name that the list holds."""
    names = list(names)
    taken = set(names)
    counts = {}
    for i, name in enumerate(names):
        original = name
        count = counts.get(name, 0)
        while count > 0:
            counts[original] = count + 1
            name = f"{original}.{count}"
            count = count + 1 if name in taken else counts.get(name, 0)
        names[i] = name
        counts[name] = count + 1
    return names


class Recording:
    """A recorder file opened for reading; use `morvela.open`.

    Rows are samples, columns inputs. Row ranges work like Python slices
    (negative indices count from the end, `stop` is clipped), and `inputs`
    selects inputs by index or name: one, or a list."""

    def __init__(self, path):
        self.path = os.fspath(path)
        status, os_error, reader = _morvela.open(self.path)
        if os_error:
            raise OSError(os_error, os.strerror(os_error), self.path)
        if status:
            _raise(status, self.path)
        self._reader = reader
        raw = reader.header()
        ns, moment = _trigger_time(raw["trigger_time"])
        self._complete_rows = raw["complete_rows"]
        self._sample_time_us = raw["sample_time_us"]
        self._decodable = raw["decodable"]
        self.dtype = np.dtype(raw["dtype"])
        self.header = Header(
            block_name=_text(raw["block_name"]),
            application_name=_text(raw["application_name"]),
            application_version=_text(raw["application_version"]),
            trigger_time_ns=ns,
            trigger_time=moment,
            sample_time=raw["sample_time_us"] * 1e-6,
            samples=raw["samples"],
            pretrigger_samples=raw["pretrigger_samples"],
            posttrigger_samples=(raw["samples"] - raw["pretrigger_samples"])
            % 2**32,
            inputs=raw["inputs"],
            data_type=_text(raw["data_type_name"]),
            data_type_size=raw["data_type_size"],
        )
        self.inputs = tuple(Input(_text(n), _text(u)) for n, u in reader.inputs())
        self.columns = tuple(unique_names(i.name for i in self.inputs))

    # The context manager and closing, as files and h5py.File have them.
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._reader = None

    @property
    def closed(self):
        return self._reader is None

    def _open_reader(self):
        if self._reader is None:
            raise ValueError(f"{self.path}: the recording is closed")
        return self._reader

    def __len__(self):
        return self.header.samples

    @property
    def shape(self):
        return (self.header.samples, self.header.inputs)

    def __repr__(self):
        h = self.header
        return (f"<morvela.Recording {self.path!r}: {h.samples} samples x "
                f"{h.inputs} inputs, {h.data_type}>")

    def _rows(self, start, stop):
        start, stop, _ = slice(start, stop).indices(self.header.samples)
        return start, max(start, stop)

    def _columns(self, inputs):
        count = self.header.inputs
        if inputs is None:
            return list(range(count))
        if isinstance(inputs, (str, int, np.integer)):
            inputs = [inputs]
        columns = []
        for item in inputs:
            if isinstance(item, str):
                if item in self.columns:
                    columns.append(self.columns.index(item))
                    continue
                names = [i.name for i in self.inputs]
                if item not in names:
                    raise KeyError(f"{self.path}: no input named {item!r}")
                columns.append(names.index(item))
            else:
                index = int(item)
                if not -count <= index < count:
                    raise IndexError(f"{self.path}: no input {index}")
                columns.append(index % count)
        return columns

    def read(self, start=0, stop=None, inputs=None) -> np.ndarray:
        """Rows [start, stop) of the selected inputs: a C-contiguous array of
        rows x inputs in the recording's own type (int8 to float64)."""
        reader = self._open_reader()
        start, stop = self._rows(start, stop)
        columns = self._columns(inputs)
        status, values = reader.read(start, stop, columns)
        if status == -1:
            row = self._complete_rows
            raise TruncatedRecordingError(
                f"{self.path}: the data end after row {row}: rows {row} to "
                f"{self.header.samples - 1} are not in the file", self.path, row)
        if status == -4:
            _raise(status, self.path, f" {self.header.data_type!r} of "
                   f"{self.header.data_type_size} bytes")
        if status:
            _raise(status, self.path)
        return values

    def __getitem__(self, key):
        """rec[rows] or rec[rows, inputs], rows a slice or an index."""
        rows, inputs = key if isinstance(key, tuple) else (key, None)
        if isinstance(rows, slice):
            if rows.step not in (None, 1):
                raise ValueError("row steps are not supported")
            return self.read(rows.start, rows.stop, inputs)
        index = range(self.header.samples)[rows]
        return self.read(index, index + 1, inputs)[0]

    def time_offsets(self, start=0, stop=None) -> np.ndarray:
        """Seconds from the trigger of rows [start, stop), by the report's
        arithmetic: ((row - pretrigger) x SampleTime) x 1e-6 in double."""
        start, stop = self._rows(start, stop)
        return self._open_reader().time_offsets(start, stop)

    def chunks(self, rows=65536, inputs=None, start=0, stop=None) -> Iterator:
        """(offsets, values) blocks of at most `rows` rows, in order: any
        length of recording in constant memory."""
        if rows < 1:
            raise ValueError("rows must be at least 1")
        start, stop = self._rows(start, stop)
        columns = self._columns(inputs)
        for first in range(start, stop, rows):
            last = min(first + rows, stop)
            yield self.time_offsets(first, last), self.read(first, last, columns)

    def to_pandas(self, start=0, stop=None, inputs=None):
        """A DataFrame indexed by TimeOffset (seconds), one column per input
        named by the input's name (repeated names made unique as pandas
        does); units in df.attrs["units"], the header in df.attrs["header"]."""
        import pandas as pd

        columns = self._columns(inputs)
        names = unique_names(self.inputs[c].name for c in columns)
        frame = pd.DataFrame(
            self.read(start, stop, columns),
            index=pd.Index(self.time_offsets(start, stop), name="TimeOffset"),
            columns=names,
            copy=False,
        )
        frame.attrs["units"] = {n: self.inputs[c].unit for n, c in zip(names, columns)}
        frame.attrs["header"] = self.header.to_dict()
        return frame

    def plot(self, path=None, **options):
        """A figure of the inputs over time; see morvela.plot.plot."""
        from ._plot import plot

        return plot(self, path, **options)


def open(path) -> Recording:  # noqa: A001 - the usual name for a reader
    """Opens a recording; a context manager. Raises OSError when the file
    cannot be opened and a RecordingError when it cannot be read."""
    return Recording(path)
