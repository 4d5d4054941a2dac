"""The Recording: a recorder file opened for random access."""

import dataclasses
import errno
import datetime
import os
from typing import (TYPE_CHECKING, Any, Dict, Iterable, Iterator, List,
                    NamedTuple, Optional, Tuple, Union)

import numpy as np

from . import _morvela
from ._names import column_names, utf8_text
from ._paths import is_url
from ._remote import Options, RemoteReader
from ._types import InputSelection, PathType


if TYPE_CHECKING:
    import matplotlib.figure
    import pandas


def _text(raw: bytes) -> str:
    # Names are 8-bit text of no stated encoding: UTF-8 where it is valid,
    # the other bytes kept as surrogates (they encode back unchanged with
    # errors="surrogateescape").
    return raw.decode("utf-8", errors="surrogateescape")


class Input(NamedTuple):
    """One input (channel) as the recording stores it.

    Attributes
    ----------
    name : str
        The input's name, as text: UTF-8 where it is valid, any other byte
        kept as a surrogate (it encodes back with errors="surrogateescape").
    unit : str
        Its unit, the same way.
    """

    name: str
    unit: str


@dataclasses.dataclass(frozen=True)
class Header:
    """The recording's header, in the report's terms.

    Attributes
    ----------
    block_name, application_name, application_version : str
        The record's name and the application that wrote it, as text (see
        `Input.name`).
    trigger_time_ns : int or None
        Nanoseconds since 1970-01-01 UTC as the report shows them (rounded
        half up); None where the report shows the current time instead (a
        negative or non-finite trigger time, or one whose local year is
        past 9999).
    trigger_time : datetime.datetime or None
        The same instant in UTC, to the microsecond; None also where it is
        past datetime's year 9999 (a local year 9999 west of UTC).
    sample_time_us : int
        Microseconds between samples, as the file gives them.
    samples, pretrigger_samples, posttrigger_samples : int
        The rows the header claims, those before the trigger and those
        from it on.
    inputs : int
        How many inputs (channels) each row holds.
    data_type : str
        The type's name as the file gives it ("short", "double", ...).
    data_type_size : int
        Bytes of a value in the file.
    """

    block_name: str
    application_name: str
    application_version: str
    trigger_time_ns: Optional[int]
    trigger_time: Optional[datetime.datetime]
    sample_time_us: int
    samples: int
    pretrigger_samples: int
    posttrigger_samples: int
    inputs: int
    data_type: str
    data_type_size: int

    @property
    def sample_time(self) -> float:
        """Seconds between samples, as the report prints them."""
        return self.sample_time_us / 1e6

    def trigger_time_iso(self) -> Optional[str]:
        """The trigger time in UTC to the nanosecond.

        Returns
        -------
        str or None
            ISO 8601 text (numpy and pandas parse it), such as
            "2023-11-14T22:13:20.250000000Z"; None where the report shows
            the current time instead.
        """
        if self.trigger_time_ns is None:
            return None
        # numpy's seconds reach past datetime's year 9999.
        seconds, nanoseconds = divmod(self.trigger_time_ns, 1_000_000_000)
        return f"{np.datetime_as_string(np.datetime64(seconds, 's'))}.{nanoseconds:09d}Z"

    def to_dict(self) -> Dict[str, Any]:
        """The header as plain values: what `info`, the exports and the
        xarray attributes show.

        Returns
        -------
        dict
            Every field, "sample_time" in seconds beside "sample_time_us",
            and "trigger_time" as `trigger_time_iso` gives it (None, with
            "trigger_time_ns", where the report shows the current time).
        """
        d: Dict[str, Any] = {}
        for key, value in dataclasses.asdict(self).items():
            if key == "sample_time_us":
                d["sample_time"] = self.sample_time
            d[key] = value
        d["trigger_time"] = self.trigger_time_iso()
        return d


def header_of(raw: Dict[str, Any]) -> Header:
    """The Header of the binding's raw header dict."""
    return Header(
        block_name=_text(raw["block_name"]),
        application_name=_text(raw["application_name"]),
        application_version=_text(raw["application_version"]),
        trigger_time_ns=raw["trigger_time_ns"],
        trigger_time=_trigger_time(raw["trigger_time_ns"]),
        sample_time_us=raw["sample_time_us"],
        samples=raw["samples"],
        pretrigger_samples=raw["pretrigger_samples"],
        posttrigger_samples=raw["posttrigger_samples"],
        inputs=raw["inputs"],
        data_type=_text(raw["data_type"]),
        data_type_size=raw["data_type_size"],
    )


def inputs_of(raw: Iterable[Tuple[bytes, bytes]]) -> Tuple[Input, ...]:
    """The Inputs of the binding's raw (name, unit) pairs."""
    return tuple(Input(_text(n), _text(u)) for n, u in raw)


def header_attributes(header: Header) -> Dict[str, Any]:
    """The header as attributes of HDF5 and xarray: its dict without the
    fields that are None, text as UTF-8."""
    return {key: utf8_text(value) if isinstance(value, str) else value
            for key, value in header.to_dict().items() if value is not None}


def rows_of_bytes(input_count: int, itemsize: int, block_bytes: int) -> int:
    """Rows of a block of about `block_bytes` of values: at least one."""
    return max(1, block_bytes // max(1, input_count * itemsize))


def _trigger_time(nanoseconds: Optional[int]) -> Optional[datetime.datetime]:
    """The report's trigger instant as a UTC datetime (to the microsecond),
    or None where the report shows the current time instead."""
    if nanoseconds is None:
        return None
    try:
        moment = datetime.datetime.fromtimestamp(
            nanoseconds // 1_000_000_000, datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return None
    return moment + datetime.timedelta(
        microseconds=nanoseconds % 1_000_000_000 // 1000)


# Rows of a stepped or listed selection are read in spans of about this
# many bytes of values.
SPAN_BYTES = 1 << 20


def said_plainly(error: OSError) -> OSError:
    """The reader's OSError, with a plain reason for a file it refuses as
    not regular (a FIFO, a device)."""
    if error.errno != errno.ESPIPE:
        return error
    return OSError(errno.ESPIPE, "not a regular file: a recording is read at "
                   "random", error.filename)


def is_index(item: Any) -> bool:
    return isinstance(item, (int, np.integer)) and not isinstance(
        item, (bool, np.bool_))


class Recording:
    """A recorder file opened for reading; use `morvela.open`.

    Rows are samples, columns inputs. Row ranges work like Python slices
    (negative indices count from the end, `stop` is clipped, a reversed
    range is empty), and `inputs` selects inputs by index or name: one, a
    list, or a slice of indices. Reading from several threads at once is
    safe."""

    def __init__(self, path: PathType, storage_options: Options = None) -> None:
        self.path = os.fspath(path)
        self._reader: Optional[Union[_morvela.Reader, RemoteReader]]
        try:
            if is_url(self.path):
                self._reader = RemoteReader(self.path, storage_options)
            else:
                self._reader = _morvela.open(os.fsencode(self.path),
                                             os.fsdecode(self.path))
        except OSError as error:
            raise said_plainly(error) from None
        raw = self._reader.header()
        # The rows the file held in full when it was opened: all of them
        # but in a shortened file.
        self.complete_rows = raw["complete_rows"]
        self.dtype = None if raw["dtype"] is None else np.dtype(raw["dtype"])
        self.header = header_of(raw)
        self.inputs = inputs_of(self._reader.inputs())
        self.columns = tuple(column_names(self.inputs))

    @property
    def value_dtype(self) -> np.dtype:
        """The dtype `read` returns: the recording's own, float64 for a type
        it cannot decode (whose reads raise, unless they are empty)."""
        return self.dtype if self.dtype is not None else np.dtype(np.float64)

    def check_decodable(self) -> None:
        """Raises what reading a value would raise.

        Raises
        ------
        UnknownDataTypeError
            Where there are values and the data type cannot be decoded.
        """
        if self.dtype is None and self.header.samples and self.header.inputs:
            self.read(0, 1)

    def identity(self) -> Tuple[Any, ...]:
        """(device, inode, size, modification time in ns, inode change time
        in ns) of the open file, by fstat of its descriptor; for a URL
        (0, 0, size, ETag or version, 0) as the object was at the open."""
        return self._open_reader().identity()

    # The context manager and closing, as files and h5py.File have them.
    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Closes this Recording: its reads then raise ValueError. The file
        itself is closed once nothing holds it: a copy (as a lazy xarray
        read makes one) keeps it open until that copy is gone."""
        self._reader = None

    @property
    def closed(self) -> bool:
        """Whether `close` was called."""
        return self._reader is None

    def _open_reader(self) -> Union[_morvela.Reader, RemoteReader]:
        reader = self._reader
        if reader is None:
            raise ValueError(f"{os.fsdecode(self.path)}: the recording is closed")
        return reader

    def __len__(self) -> int:
        return self.header.samples

    @property
    def shape(self) -> Tuple[int, int]:
        """(rows, inputs), as numpy arrays have it."""
        return (self.header.samples, self.header.inputs)

    @property
    def ndim(self) -> int:
        """2: rows and inputs."""
        return 2

    @property
    def size(self) -> int:
        """rows x inputs."""
        return self.header.samples * self.header.inputs

    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> np.ndarray:
        values = self.read()
        return values if dtype is None else values.astype(dtype, copy=False)

    def __repr__(self) -> str:
        h = self.header
        return (f"<morvela.Recording {self.path!r}: {h.samples} samples x "
                f"{h.inputs} inputs, {h.data_type}>")

    def _row_bounds(self, start: Optional[int], stop: Optional[int]) -> Tuple[int, int]:
        start, stop, _ = slice(start, stop).indices(self.header.samples)
        return start, max(start, stop)

    def input_indices(self, inputs: InputSelection = None) -> List[int]:
        """The positions of the inputs that `inputs` selects.

        Parameters
        ----------
        inputs : None, int, str, slice or list of int and str
            None for all; an index (negative from the end) or a name; a
            slice of indices; or a list of indices and names. A name is a
            column name (`columns`) or an input's own name.

        Returns
        -------
        list of int

        Raises
        ------
        KeyError
            For a name that no input has.
        IndexError
            For an index outside the inputs.
        TypeError
            For anything else (bytes, floats, booleans).
        """
        count = self.header.inputs
        if inputs is None:
            return list(range(count))
        if isinstance(inputs, slice):
            return list(range(count)[inputs])
        items: Iterable[Any]
        if isinstance(inputs, str) or is_index(inputs):
            items = [inputs]
        elif isinstance(inputs, (bytes, bytearray)) or not hasattr(
                inputs, "__iter__"):
            raise TypeError(f"inputs are selected by index or name, not "
                            f"{type(inputs).__name__}")
        else:
            items = inputs
        indices = []
        names = [i.name for i in self.inputs]
        for item in items:
            if isinstance(item, str):
                if item in self.columns:
                    indices.append(self.columns.index(item))
                elif item in names:
                    indices.append(names.index(item))
                else:
                    raise KeyError(f"{os.fsdecode(self.path)}: no input named {item!r}")
            elif is_index(item):
                index = int(item)
                if not -count <= index < count:
                    raise IndexError(f"{os.fsdecode(self.path)}: no input {index}")
                indices.append(index % count)
            else:
                raise TypeError(f"inputs are selected by index or name, not "
                                f"{type(item).__name__}")
        return indices

    def read(self, start: Optional[int] = 0, stop: Optional[int] = None,
             inputs: InputSelection = None, *, by_input: bool = False) -> np.ndarray:
        """Rows [start, stop) of the selected inputs.

        Parameters
        ----------
        start, stop : int or None
            A row range as a Python slice takes it: negative from the end,
            `stop` clipped, a reversed range empty.
        inputs : None, int, str, slice or list
            As `input_indices` takes it.
        by_input : bool
            Inputs x rows instead of rows x inputs, each input's values
            contiguous.

        Returns
        -------
        numpy.ndarray
            C-contiguous, in the recording's own type (int8 to float64); the
            caller's alone.

        Raises
        ------
        TruncatedRecordingError
            Where a row asked for is not in the file (`row` names the first).
        UnknownDataTypeError
            Where the data type cannot be decoded.
        ValueError
            After `close`.
        """
        reader = self._open_reader()
        start, stop = self._row_bounds(start, stop)
        return reader.read(start, stop, self.input_indices(inputs), by_input)

    def __getitem__(self, key: Any) -> Any:
        """rec[rows] or rec[rows, inputs] as numpy indexes: rows an index, a
        slice (of any step), a list or array of indices (any order, repeats
        allowed) or a boolean mask of every row; inputs a slice, an index, a
        name or a list. An index or a name drops its axis, so rec[3, 0] is
        one value. Only the rows asked for are read, a span at a time."""
        if isinstance(key, tuple) and len(key) != 2:
            raise IndexError("a recording has two axes: rows and inputs")
        row_key, input_key = key if isinstance(key, tuple) else (key, slice(None))
        count = self.header.samples
        if isinstance(row_key, slice) and row_key.step in (None, 1):
            values = self.read(row_key.start, row_key.stop, input_key)
        elif is_index(row_key):
            row = range(count)[row_key]
            values = self.read(row, row + 1, input_key)[0]
        else:
            values = self._take(self._row_positions(row_key),
                                self.input_indices(input_key))
        if isinstance(input_key, str) or is_index(input_key):
            values = values[..., 0]
        return values

    def _row_positions(self, row_key: Any) -> np.ndarray:
        """The row numbers that a stepped slice, a list or array of indices,
        or a boolean mask selects, in order."""
        count = self.header.samples
        if isinstance(row_key, slice):
            return np.arange(*row_key.indices(count), dtype=np.int64)
        if isinstance(row_key, (str, bytes)) or not hasattr(row_key, "__len__"):
            raise TypeError(f"rows are selected by an index, a slice, indices "
                            f"or a mask, not {type(row_key).__name__}")
        array = np.asarray(row_key)
        if array.dtype == bool:
            if array.shape != (count,):
                raise IndexError(f"{os.fsdecode(self.path)}: a row mask of {array.size} "
                                 f"for {count} rows")
            return np.flatnonzero(array)
        if array.ndim != 1 or (array.size and array.dtype.kind not in "iu"):
            raise IndexError("rows are selected by a 1-d list of indices")
        array = array.astype(np.int64)
        outside = (array < -count) | (array >= count)
        if outside.any():
            raise IndexError(f"{os.fsdecode(self.path)}: no row {array[outside][0]}")
        return np.where(array < 0, array + count, array)

    def _take(self, positions: np.ndarray, indices: List[int]) -> np.ndarray:
        """Rows `positions` of the inputs at `indices`, rows x inputs: the
        rows sorted and read in spans of about SPAN_BYTES of values, each from its first
        wanted row to its last."""
        out = np.empty((len(positions), len(indices)), dtype=self.value_dtype)
        order = np.argsort(positions, kind="stable")
        wanted = positions[order]
        span = max(1, SPAN_BYTES // max(1, len(indices) * out.itemsize))
        at = 0
        while at < len(wanted):
            first = int(wanted[at])
            end = int(np.searchsorted(wanted, first + span))
            block = self.read(first, int(wanted[end - 1]) + 1, indices)
            out[order[at:end]] = block[wanted[at:end] - first]
            at = end
        return out

    def time_offsets(self, start: Optional[int] = 0,
                     stop: Optional[int] = None) -> np.ndarray:
        """Seconds from the trigger of rows [start, stop).

        Parameters
        ----------
        start, stop : int or None
            A row range, as `read` takes it.

        Returns
        -------
        numpy.ndarray of float64
            Each the report's TimeOffset text read as a double, bit for bit:
            the nearest double to the decimal the report prints.
        """
        start, stop = self._row_bounds(start, stop)
        return self._open_reader().time_offsets(start, stop)

    def chunks(self, rows: int = 65536, start: Optional[int] = 0,
               stop: Optional[int] = None, inputs: InputSelection = None, *,
               by_input: bool = False) -> Iterator[Tuple[np.ndarray, np.ndarray]]:
        """Blocks of rows in order: any length of recording in constant memory.

        Parameters
        ----------
        rows : int
            The most rows of a block, at least 1.
        start, stop, inputs, by_input
            As `read` takes them.

        Returns
        -------
        iterator of (numpy.ndarray, numpy.ndarray)
            (time offsets, values) of each block, the values laid out as
            `read` lays them.

        Raises
        ------
        ValueError
            For `rows` that is not an integer of at least 1.
        """
        if not is_index(rows) or rows < 1:
            raise ValueError("rows must be an integer of at least 1")
        start, stop = self._row_bounds(start, stop)
        indices = self.input_indices(inputs)
        return self._chunks(rows, start, stop, indices, by_input)

    def _chunks(self, block_rows: int, start: int, stop: int, indices: List[int],
                by_input: bool) -> Iterator[Tuple[np.ndarray, np.ndarray]]:
        for first in range(start, stop, block_rows):
            last = min(first + block_rows, stop)
            yield (self.time_offsets(first, last),
                   self.read(first, last, indices, by_input=by_input))

    def to_pandas(self, start: Optional[int] = 0, stop: Optional[int] = None,
                  inputs: InputSelection = None) -> "pandas.DataFrame":
        """The rows as a pandas DataFrame.

        Parameters
        ----------
        start, stop, inputs
            As `read` takes them.

        Returns
        -------
        pandas.DataFrame
            Indexed by TimeOffset (seconds, as `time_offsets` gives them),
            one column per input named as `columns` names it (the exports'
            names); units in ``df.attrs["units"]``, the header in
            ``df.attrs["header"]`` (`Header.to_dict`).
        """
        import pandas as pd

        indices = self.input_indices(inputs)
        names = [self.columns[i] for i in indices]
        frame = pd.DataFrame(
            self.read(start, stop, indices),
            index=pd.Index(self.time_offsets(start, stop), name="TimeOffset"),
            columns=names,
            copy=False,
        )
        frame.attrs["units"] = {n: self.inputs[i].unit for n, i in zip(names, indices)}
        frame.attrs["header"] = self.header.to_dict()
        return frame

    def plot(self, path: Optional[PathType] = None,
             **options: Any) -> "matplotlib.figure.Figure":
        """A figure of the inputs over time, one panel each, the trigger
        marked; long recordings as a min/max envelope per pixel.

        Parameters
        ----------
        path : str, bytes or os.PathLike, optional
            Where to save the image, its format by the suffix.
        **options
            start, stop and inputs (as `read` takes them), width (pixels),
            panel_height (pixels) and dpi.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from ._plot import plot

        return plot(self, path, **options)


def open(path: PathType,  # noqa: A001 - the usual name for a reader
         storage_options: Optional[Dict[str, Any]] = None) -> Recording:
    """Opens a recording, as a context manager.

    Parameters
    ----------
    path : str, bytes or os.PathLike
        Any name the system can open, or the URL of an object of an fsspec
        filesystem ("s3://bucket/run/rec.dat"), read by range.
    storage_options : dict, optional
        For a URL: the filesystem's options, as fsspec and xarray take them
        (for S3, `key`, `secret`, `endpoint_url`, ...; by default the
        filesystem's own, such as the AWS_* variables).

    Returns
    -------
    Recording

    Raises
    ------
    OSError
        When the file cannot be opened, or is not a regular file.
    ValueError
        For a path holding a NUL.
    RecordingError
        When it cannot be read (`status` says why, as the Morvela program's
        exit status for it). A read of an object rewritten since the open
        raises RecordingReadError.
    """
    return Recording(path, storage_options)
