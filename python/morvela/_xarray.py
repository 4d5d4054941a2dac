"""Recordings as lazy xarray Datasets: the engine "morvela" for one
recording, and `open_mfdataset` for thousands of like recordings at once.

    import xarray as xr
    ds = xr.open_dataset("rec.dat", engine="morvela")             # lazy
    ds = xr.open_dataset("rec.dat", engine="morvela", chunks={})  # dask
    ds["signal"].sel(input="U1")          # one input
    ds["signal"].to_dataset("input")      # a variable per input

    runs = morvela.open_mfdataset(paths)  # (recording, time, input)

One data variable, "signal", with dimensions (time, input) in the
recording's own dtype, as the file stores its rows: reading rows decodes
them once for all inputs, and nothing decoded is kept between reads, so an
array handed out is the caller's alone. Coordinates: "time" (seconds from
the trigger, as the report prints them), "input" (the column names of
Recording.to_pandas) and "units" along "input". The attributes hold the
header. Every read checks, by fstat of the open file, that it is still the
file the dataset was opened on.
"""

import copy
import glob
import os
from typing import (TYPE_CHECKING, Any, Dict, Hashable, Iterable, List, NamedTuple, Optional,
                    Sequence, Tuple, Union)

import numpy as np
from xarray.backends import BackendArray, BackendEntrypoint, CachingFileManager
from xarray.core import indexing
from xarray.core.utils import try_read_magic_number_from_path

try:  # xarray 2025.6 and later
    from xarray.core.coordinate_transform import CoordinateTransform
    from xarray.core.indexes import CoordinateTransformIndex
except ImportError:
    CoordinateTransform = CoordinateTransformIndex = None  # type: ignore[misc,assignment]

from . import _morvela
from ._blocks import GroupRows, same_file
from ._errors import RowClaimError
from ._paths import is_url
from ._remote import Options, StorageOptions, filesystem, plainly, wrapped
from ._remote import heads as remote_heads
from ._remote import infos as remote_infos
from ._remote import tag as remote_tag
from ._recording import (Recording, header_of, inputs_of, is_index, rows_of_bytes,
                         header_attributes, said_plainly)
from ._names import utf8_text
from ._types import PathType

if TYPE_CHECKING:
    import dask.array
    import xarray as xr

VARIABLE = "signal"
# About this many bytes of values in a block of rows: the preferred chunk.
CHUNK_BYTES = 128 << 20
# Small recordings share a task of open_mfdataset up to about this many
# bytes of values: enough to outweigh a task's cost, few enough to keep
# both cores busy and the memory a computation holds small.
TASK_BYTES = 16 << 20
# The time index is held in memory where it takes at most 8 bytes per byte
# of the file (or 8 MiB); a header that claims more rows than that gets a
# lazy time coordinate without an index, so that memory follows the file.
SMALL_FILE = 1 << 20


def _open(path: Any, mode: str, storage_options: Options = None) -> Recording:
    # The opener of CachingFileManager, which passes a mode.
    return Recording(path, storage_options)


class RecordingArray(BackendArray):
    """The rows x inputs of a recording, read lazily through xarray's
    CachingFileManager. Pickled with the manager, by path."""

    def __init__(self, manager: CachingFileManager, identity: Tuple[Any, ...],
                 shape: Tuple[int, int], dtype: Any) -> None:
        self.manager = manager
        self.identity = identity
        self.shape = shape
        self.dtype = np.dtype(dtype)

    def recording(self) -> Recording:
        """The recording, held for the whole of one read: a copy that shares
        the open reader, so that another thread's acquire, which may evict
        and close the cached one, cannot close it meanwhile."""
        while True:
            with self.manager.acquire_context() as cached:
                held = copy.copy(cached)
            if not held.closed:  # else it was evicted before the copy
                return same_file(held, self.identity)

    def __getitem__(self, key: Any) -> Any:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER, self._read)

    def _read(self, key: Tuple[Any, Any]) -> np.ndarray:
        # Outer indexing: on each axis an integer, a slice or an array of
        # integers; the recording reads only the rows asked for.
        row_key, inputs = key
        if isinstance(inputs, slice):
            inputs = list(range(self.shape[1])[inputs])
        elif isinstance(inputs, np.ndarray):
            inputs = inputs.tolist()
        return self.recording()[row_key, inputs]


class _TimeTransform(CoordinateTransform or object):  # type: ignore[misc]
    """The time from the trigger of row i, computed when asked for, by the
    report's arithmetic: ((i - pretrigger) x SampleTime) x 1e-6."""

    def __init__(self, rows: int, pretrigger: int, sample_time_us: int) -> None:
        super().__init__(("time",), {"time": rows}, dtype=np.dtype(np.float64))
        self.pretrigger = pretrigger
        self.sample_time_us = sample_time_us

    def forward(self, dim_positions: Dict[str, Any]) -> Dict[Hashable, Any]:
        rows = np.asarray(dim_positions["time"]).astype(np.int64)
        return {"time": _morvela.time_offsets_of(rows, self.pretrigger,
                                                 self.sample_time_us)}

    def reverse(self, coord_labels: Dict[Hashable, Any]) -> Dict[str, Any]:
        with np.errstate(divide="ignore", invalid="ignore"):
            seconds = np.asarray(coord_labels["time"], dtype=np.float64)
            return {"time": seconds / 1e-6 / self.sample_time_us + self.pretrigger}

    def equals(self, other: Any, **kwargs: Any) -> bool:
        return (isinstance(other, _TimeTransform) and
                (self.dim_size, self.pretrigger, self.sample_time_us) ==
                (other.dim_size, other.pretrigger, other.sample_time_us))


class _TimeIndex(CoordinateTransformIndex or object):  # type: ignore[misc]
    """The index of a computed time coordinate: selects the nearest row of
    a time given as a scalar, a list or an array (xarray's own takes
    arrays only), never past the first or the last row (so the last for
    +inf, the first for -inf), and within `tolerance` of it where one is
    given; KeyError for NaN, or beyond the tolerance, as an index in memory
    says."""

    def sel(self, labels: Dict[Any, Any], method: Optional[str] = None,
            tolerance: Any = None) -> Any:
        import xarray as xr

        label = labels.get("time")
        if method != "nearest":
            return super().sel(labels, method, tolerance)  # xarray's refusal
        wanted = np.asarray(getattr(label, "values", label), dtype=np.float64)
        if np.isnan(wanted).any():
            raise KeyError("not all values found in index 'time'")
        # Clipped to the times of the first and the last row before
        # they become positions: a position past an integer's range
        # would wrap.
        last = self.transform.dim_size["time"] - 1
        ends = self.transform.forward({"time": np.array([0, last])})["time"]
        clipped = np.clip(wanted, *ends)
        labels = {**labels, "time": label.copy(data=clipped)
                  if isinstance(label, (xr.DataArray, xr.Variable))
                  else xr.Variable(("time",) * clipped.ndim, clipped)}
        result = super().sel(labels, method, tolerance)
        if tolerance is not None:
            found = self.transform.forward({"time": result.dim_indexers["time"].values})["time"]
            if not np.all(np.abs(found - wanted) <= tolerance):
                raise KeyError(f"not all values found in index 'time' within "
                               f"tolerance {tolerance!r}")
        return result


TIME_ATTRS = {"units": "s", "long_name": "time from the trigger"}


def _time_coordinate(rec: Recording, file_size: int) -> Optional["xr.Coordinates"]:
    """The time coordinate as xarray Coordinates: indexed in memory (one
    array, which the index shares) where that takes at most 8 bytes per
    byte of the file (or 8 MiB), otherwise computed when asked for (a
    header that claims far more rows than the file holds); None where this
    xarray cannot compute coordinates."""
    import pandas as pd
    import xarray as xr
    from xarray.indexes import PandasIndex

    h = rec.header
    if h.samples <= max(file_size, SMALL_FILE):
        index = PandasIndex(pd.Index(rec.time_offsets(), copy=False), "time")
    elif CoordinateTransform is None:
        return None
    else:
        index = _TimeIndex(
            _TimeTransform(h.samples, h.pretrigger_samples, h.sample_time_us))
    # Coordinates.from_xindex, which xarray before 2024.10 lacks.
    variables = index.create_variables()
    coords = xr.Coordinates(variables, indexes=dict.fromkeys(variables, index))
    coords["time"].attrs.update(TIME_ATTRS)
    return coords


def _chunk_starts(row_count: int, step: int, ends: Iterable[int] = ()) -> List[int]:
    """Where the chunks of `row_count` rows begin: every `step` rows, and at
    each of `ends` (the rows a shortened file holds), so that no chunk
    spans present and missing rows."""
    return sorted(set(range(0, row_count, step)) | {e for e in ends if 0 < e < row_count})


def _chunk_sizes(row_count: int, starts: List[int]) -> Tuple[int, ...]:
    return tuple(b - a for a, b in zip(starts, [*starts[1:], row_count]))


def open_recording_dataset(path: PathType, drop_variables: Optional[Iterable[str]] = None,
                           block_rows: Optional[int] = None,
                           storage_options: Options = None) -> "xr.Dataset":
    """The Dataset of the recording at `path`; see the module's doc."""
    import xarray as xr

    path = os.fspath(path)
    # Pickled with the dataset: the options go wrapped, shown by no repr.
    manager = CachingFileManager(_open, path, mode="r",
                                 kwargs={"storage_options": wrapped(storage_options)}
                                 if is_url(path) else None)
    try:
        rec = manager.acquire()
        rec.check_decodable()
        identity = rec.identity()
        h = rec.header
        dtype = rec.value_dtype
        step = _chunk_rows(h.inputs, dtype, block_rows)
        chunk: Union[int, Tuple[int, ...]] = step
        if rec.complete_rows < h.samples:
            chunk = _chunk_sizes(h.samples,
                                 _chunk_starts(h.samples, step, [rec.complete_rows]))
        drop = set(drop_variables or ())
        variables = {}
        if VARIABLE not in drop:
            array = RecordingArray(manager, identity, (h.samples, h.inputs), dtype)
            variables[VARIABLE] = _signal(
                ("time", "input"), indexing.LazilyIndexedArray(array), dtype,
                {"preferred_chunks": {"time": chunk, "input": h.inputs}})
        coords = {}
        if "input" not in drop:
            coords["input"] = xr.Variable(("input",), _text_array(rec.columns))
        if "units" not in drop:
            coords["units"] = xr.Variable(
                ("input",), _text_array(i.unit for i in rec.inputs))
        ds = xr.Dataset(variables, coords=coords, attrs=_attributes(h))
        if "time" not in drop:
            time = _time_coordinate(rec, identity[2])
            if time is None:
                raise RowClaimError(
                    f"{os.fsdecode(path)}: the header claims {h.samples} rows, more than "
                    "the file can hold; this xarray cannot compute their "
                    "time lazily (drop_variables=['time'] opens it)", path)
            ds = ds.assign_coords(time)
    except BaseException:
        manager.close()
        raise
    ds.set_close(manager.close)
    return ds


def _signal(dims: Tuple[str, ...], data: Any, dtype: np.dtype,
            encoding: Optional[Dict[str, Any]] = None) -> "xr.Variable":
    """The variable "signal": an unsigned type is written by xarray as the
    signed one of its width with the attribute _Unsigned = "true", the
    netCDF-3 convention (it has no unsigned types), which every netCDF
    engine and zarr read back unsigned. (xarray writes _Unsigned from an
    attribute, not from the encoding, unless a _FillValue is given too.)"""
    import xarray as xr

    encoding = {**(encoding or {}), "dtype": dtype}
    attrs = {}
    if dtype.kind == "u":
        encoding["dtype"] = np.dtype(f"i{dtype.itemsize}")
        attrs["_Unsigned"] = "true"
    return xr.Variable(dims, data, attrs=attrs, encoding=encoding)


def _text_array(texts: Iterable[str]) -> np.ndarray:
    """Texts as UTF-8 holds them (U+FFFD for a byte that is not), so that
    every netCDF engine writes them."""
    return np.array([utf8_text(t) for t in texts], dtype=str)


def _utf8_array(raw: Iterable[bytes]) -> np.ndarray:
    """Bytes as UTF-8 text, U+FFFD for a byte that is not UTF-8: as
    _text_array gives the text that they decode to."""
    return np.array([b.decode("utf-8", "replace") for b in raw], dtype=str)


def _attributes(header: Any) -> Dict[str, Any]:
    """The header as attributes that every netCDF format holds (netCDF-3
    has no 64-bit integers): text as UTF-8, an integer beyond 32 bits as a
    double (exact below 2**53), the trigger instant in ns as decimal text."""
    attrs = {}
    for key, value in header_attributes(header).items():
        if key == "trigger_time_ns":
            value = str(value)
        elif isinstance(value, int) and not -2**31 <= value < 2**31:
            value = float(value)
        attrs[key] = value
    return attrs


def _chunk_rows(input_count: int, dtype: np.dtype, chosen: Any = None) -> int:
    """The rows of a chunk: `chosen` (the caller's block_rows), or those of
    about CHUNK_BYTES of values."""
    if chosen is None:
        return rows_of_bytes(input_count, dtype.itemsize, CHUNK_BYTES)
    if not is_index(chosen) or chosen < 1:
        raise ValueError(f"block_rows must be an integer of at least 1, "
                         f"not {chosen!r}")
    return int(chosen)


class MorvelaBackendEntrypoint(BackendEntrypoint):
    """xarray's engine for transient recorder files (.dat)."""

    description = "Transient recorder files (.dat) read by Morvela's decoder"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "block_rows",
                               "storage_options")

    def open_dataset(self, filename_or_obj: Any, *,
                     drop_variables: Optional[Iterable[str]] = None,
                     block_rows: Optional[int] = None,
                     storage_options: Optional[Dict[str, Any]] = None) -> "xr.Dataset":
        """The Dataset of one recording (see the module's doc).

        Parameters
        ----------
        filename_or_obj : str, bytes or os.PathLike
        drop_variables : iterable of str, optional
            Of "signal", "time", "input" and "units".
        block_rows : int, optional
            The rows of a preferred chunk, at least 1; by default about
            128 MiB of values.
        storage_options : dict, optional
            For the URL of an object of an fsspec filesystem (s3://...):
            the filesystem's options, as `morvela.open` takes them.

        Returns
        -------
        xarray.Dataset
        """
        return open_recording_dataset(filename_or_obj, drop_variables,
                                      block_rows, storage_options)

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        """Whether the file begins with the recorder's magic number; for a
        URL, whether its name ends in .dat."""
        if is_url(filename_or_obj):
            return os.fsdecode(filename_or_obj).lower().endswith(".dat")
        try:
            magic = try_read_magic_number_from_path(filename_or_obj, count=4)
        except (OSError, TypeError, ValueError):
            return False
        return magic == _morvela.MAGIC


# Many recordings.

def _differs(path: Any, first: Any, what: str, value: Any, expected: Any) -> ValueError:
    return ValueError(f"{os.fsdecode(path)}: {what} {value!r} differs from "
                      f"{expected!r} of {os.fsdecode(first)}")


def _groups(shortened: Sequence[bool], size: int) -> List[Tuple[int, int]]:
    """The recordings that share a task, as (first, stop) ranges: runs of up
    to `size` (as many small recordings as fill about TASK_BYTES of values,
    so that the tasks follow the bytes, not the number of files). A
    shortened recording has a task of its own, so that the rows of the
    others read whole."""
    groups = []
    first = 0
    for r, short in enumerate(shortened):
        if short:
            if first < r:
                groups.append((first, r))
            groups.append((r, r + 1))
            first = r + 1
        elif r + 1 - first == size:
            groups.append((first, r + 1))
            first = r + 1
    if first < len(shortened):
        groups.append((first, len(shortened)))
    return groups


def _exact_fill(fill_value: Any, dtype: np.dtype) -> Any:
    """`fill_value` as a value of `dtype`; a ValueError where `dtype` cannot
    hold it exactly (a padded row must never look like a sample it is
    not)."""
    refused = ValueError(f"fill_value {fill_value!r} cannot be held exactly by "
                         f"the recordings' {dtype}")
    if isinstance(fill_value, (bool, np.bool_)) or not isinstance(
            fill_value, (int, float, np.integer, np.floating)):
        raise refused
    if dtype.kind == "f":
        with np.errstate(over="ignore"):
            held = dtype.type(fill_value)
        if not (float(held) == fill_value or (np.isnan(held) and np.isnan(fill_value))):
            raise refused
        return held
    if isinstance(fill_value, (float, np.floating)):
        if not np.isfinite(fill_value) or not float(fill_value).is_integer():
            raise refused
        fill_value = int(fill_value)
    info = np.iinfo(dtype)
    if not info.min <= int(fill_value) <= info.max:
        raise refused
    return dtype.type(fill_value)


def _remote_headers(urls: List[str], options: Options,
                    listed: Optional[List[Dict[str, Any]]] = None
                    ) -> Tuple[List[Tuple[Any, ...]], List[bytes]]:
    """What _morvela.headers gives for local files, for objects at `urls`:
    their listings (`listed`, or fetched at once), then their first bytes;
    and the first bytes of each."""
    fs, _ = filesystem(urls[0], options)
    paths = [fs._strip_protocol(u) for u in urls]
    listed = listed or plainly(urls[0], remote_infos, fs, paths, urls)
    sizes = [int(info["size"]) for info in listed]
    tags = [remote_tag(info) for info in listed]
    heads = plainly(urls[0], remote_heads, fs, paths, sizes, tags, urls)
    found = []
    for url, head, size, tag in zip(urls, heads, sizes, tags):
        reader = _morvela.open_head(head, size, url)
        found.append((reader.header(), reader.inputs(), (0, 0, size, tag, 0)))
    return found, heads


def _listed(paths: Any, options: Options
            ) -> Tuple[List[Union[str, bytes]], bool, Optional[List[Dict[str, Any]]]]:
    """The recordings `paths` names (see open_mfdataset), as str or bytes;
    whether they are at URLs; and for a pattern of URLs, the listing of
    each (size, ETag), as the glob gave it."""
    listed = None
    if isinstance(paths, (str, bytes)):
        pattern = paths
        if is_url(pattern):
            fs, inside = filesystem(pattern, options)
            found = plainly(pattern, fs.glob, inside, detail=True)
            paths = [fs.unstrip_protocol(p) for p in sorted(found)]
            listed = [found[p] for p in sorted(found)]
        else:
            paths = sorted(glob.glob(pattern))  # type: ignore[type-var]  # str or bytes
        if not paths:
            raise FileNotFoundError(f"no recording matches {os.fsdecode(pattern)!r}")
    elif isinstance(paths, os.PathLike):
        paths = [paths]  # one file, whatever its name holds
    paths = [os.fspath(p) for p in paths]
    if not paths:
        raise ValueError("no recordings to open")
    remote = {is_url(p) for p in paths}
    if len(remote) > 1:
        raise ValueError("recordings both at URLs and in local files: open them apart")
    return paths, remote.pop(), listed


class _Member(NamedTuple):
    """One recording of open_mfdataset, as its open found it."""

    path: Any  # as the caller named it, str or bytes
    absolute: str  # what its tasks open: an absolute path, or its URL
    raw: Dict[str, Any]  # the binding's header
    inputs: List[Tuple[bytes, bytes]]  # the binding's names and units
    identity: Tuple[Any, ...]

    @property
    def shortened(self) -> bool:
        return self.raw["complete_rows"] < self.raw["samples"]


def _members(paths: Any, storage_options: Options
             ) -> Tuple[List[_Member], bool, Optional[List[bytes]]]:
    """(the recordings `paths` names, whether at URLs, the first bytes of
    each at a URL)."""
    paths, remote, listed = _listed(paths, storage_options)
    heads = None
    if remote:
        absolute = [os.fsdecode(p) for p in paths]
        found, heads = _remote_headers(absolute, wrapped(storage_options), listed)
    else:
        # Absolute now: a compute after os.chdir reads the same files.
        absolute = [os.path.abspath(p) for p in paths]
        try:
            found = _morvela.headers([(os.fsencode(a), os.fsdecode(p))
                                      for a, p in zip(absolute, paths)])
        except OSError as error:
            raise said_plainly(error) from None
    return [_Member(p, a, *f) for p, a, f in zip(paths, absolute, found)], remote, heads


def _check_alike(members: List[_Member], pad: bool) -> None:
    """Raises ValueError, naming the first recording that differs from the
    first and how, unless they agree on all a dataset shares."""
    first = members[0]
    keys = [("sample_time_us", "sample time [us]"), ("pretrigger_samples", "pretrigger samples"),
            ("data_type", "data type"), ("data_type_size", "data type size"),
            *((("samples", "rows"),) if not pad else ())]
    # The binding's fields compared, and decoded only to say how they differ:
    # a hundred thousand headers are opened in a few seconds.
    alike = [key for key, _ in keys]
    expected = [first.raw[key] for key in alike]
    for member in members[1:]:
        if [member.raw[key] for key in alike] != expected:
            header, wanted = header_of(member.raw), header_of(first.raw)
            key, what = next((k, w) for k, w in keys
                             if getattr(header, k) != getattr(wanted, k))
            raise _differs(member.path, first.path, what, getattr(header, key),
                           getattr(wanted, key))
        if member.inputs != first.inputs:  # decoded only to say how
            _check_inputs(member, first)


def _check_inputs(member: _Member, first: _Member) -> None:
    inputs, expected = inputs_of(member.inputs), inputs_of(first.inputs)
    for field, what in (("name", "inputs"), ("unit", "units")):
        mine = [getattr(i, field) for i in inputs]
        theirs = [getattr(i, field) for i in expected]
        if mine != theirs:
            raise _differs(member.path, first.path, what, mine, theirs)


def _signal_array(members: List[_Member], dtype: np.dtype, step: int, fill_value: Any,
                  heads: Optional[List[bytes]], options: StorageOptions,
                  longest: int) -> "dask.array.Array":
    """The lazy recordings x rows x inputs of `members`: a task for each
    group of recordings (see _groups) and chunk of rows, each the getter of
    the group's GroupRows, which reads only what the computation takes of
    the chunk."""
    import dask.array as da
    import dask.base
    from dask.array.core import getter

    row_count = members[longest].raw["samples"]
    input_count = len(members[0].inputs)
    # The chunks follow the bytes alone: a shortened recording's missing
    # rows split no chunk, since its task reads only the rows it is asked.
    starts = _chunk_starts(row_count, step)
    sizes = _chunk_sizes(row_count, starts)
    absolute = [m.absolute for m in members]
    identities = [m.identity for m in members]
    samples = [m.raw["samples"] for m in members]
    # One string hashed, not ten thousand tuples walked.
    name = "morvela-" + dask.base.tokenize(
        repr((absolute, identities, step, row_count, fill_value)))
    # As many recordings a task as fill TASK_BYTES, but never so many that
    # there are fewer tasks than this machine has cores.
    by_bytes = TASK_BYTES // max(1, min(row_count, step) * input_count * dtype.itemsize)
    by_cores = -(-len(members) // (os.cpu_count() or 1))
    groups = _groups([m.shortened for m in members], max(1, min(by_bytes, by_cores)))
    graph: Dict[Any, Any] = {}
    for g, (first, last) in enumerate(groups):
        rows = (f"{name}-rows", g)
        graph[rows] = GroupRows(
            absolute[first:last], identities[first:last], (last - first, row_count, input_count),
            dtype, fill_value,
            None if heads is None else (samples[first:last], heads[longest], options))
        for b, (start, size) in enumerate(zip(starts, sizes)):
            graph[(name, g, b, 0)] = (getter, rows,
                                      (slice(None), slice(start, start + size), slice(None)))
        if not sizes:
            graph[(name, g, 0, 0)] = (np.empty, (last - first, 0, input_count), dtype)
    chunks = (tuple(last - first for first, last in groups), sizes or (0,), (input_count,))
    return da.Array(graph, name, chunks, dtype=dtype)


def _coordinates(members: List[_Member], columns: Sequence[str],
                 units: Sequence[str]) -> Dict[str, Tuple[str, np.ndarray]]:
    """The coordinates along "recording" and "input"."""
    # datetime64[ns] holds times up to 2262-04-11; a later one is NaT too.
    last = np.iinfo(np.int64).max
    trigger = np.array([np.datetime64("NaT", "ns")
                        if m.raw["trigger_time_ns"] is None or m.raw["trigger_time_ns"] > last
                        else np.datetime64(m.raw["trigger_time_ns"], "ns")
                        for m in members])
    return {
        "path": ("recording", _utf8_array(os.fsencode(m.path) for m in members)),
        "block_name": ("recording", _utf8_array(m.raw["block_name"] for m in members)),
        "trigger_time": ("recording", trigger),
        "input": ("input", _text_array(columns)),
        "units": ("input", _text_array(units)),
    }


def _filled(fill_value: Any, dtype: np.dtype, members: List[_Member], row_count: int) -> Any:
    """The fill value, checked (see _exact_fill): NaN by default for
    floats where a recording is shorter; for integers the caller's."""
    if fill_value is None and any(m.raw["samples"] < row_count for m in members):
        if dtype.kind != "f":
            raise ValueError(f"recordings of {dtype} padded: give a fill_value")
        fill_value = np.nan
    # Refused at the open, padding or not.
    return None if fill_value is None else _exact_fill(fill_value, dtype)


def open_mfdataset(paths: Any, *, pad: bool = False, fill_value: Any = None,
                   block_rows: Optional[int] = None,
                   storage_options: Optional[Dict[str, Any]] = None) -> "xr.Dataset":
    """morvela.open_mfdataset; see there."""
    import xarray as xr
    from xarray.indexes import PandasIndex

    members, remote, heads = _members(paths, storage_options)
    options = wrapped(storage_options)
    _check_alike(members, pad)
    longest = max(range(len(members)), key=lambda k: members[k].raw["samples"])
    row_count = members[longest].raw["samples"]
    with Recording(members[longest].absolute, options if remote else None) as rec:
        rec.check_decodable()
        dtype, header, columns = rec.value_dtype, rec.header, rec.columns
        units = [i.unit for i in rec.inputs]
        time = _time_coordinate(rec, rec.identity()[2])
    if time is None or not isinstance(time.xindexes["time"], PandasIndex):
        raise RowClaimError(f"{os.fsdecode(members[longest].path)}: the header claims "
                            f"{row_count} rows, more than the file can hold",
                            members[longest].path)
    fill_value = _filled(fill_value, dtype, members, row_count)
    # From a store, a task's rows are one range held twice (the bytes and
    # the values): of about TASK_BYTES, so that memory follows the tasks.
    step = _chunk_rows(len(columns), dtype, block_rows if block_rows is not None or not remote
                       else rows_of_bytes(len(columns), dtype.itemsize, TASK_BYTES))
    signal = _signal_array(members, dtype, step, fill_value, heads, options, longest)
    coords = _coordinates(members, columns, units)
    attrs = {key: value for key, value in _attributes(header).items()
             if key in ("sample_time", "pretrigger_samples", "inputs",
                        "data_type", "data_type_size")}
    return xr.Dataset({VARIABLE: _signal(("recording", "time", "input"), signal, dtype)},
                      coords=coords, attrs=attrs).assign_coords(time)

