"""The xarray engine "morvela": recordings opened lazily as Datasets.

    import xarray as xr
    ds = xr.open_dataset("rec.dat", engine="morvela")             # lazy
    ds = xr.open_dataset("rec.dat", engine="morvela", chunks={})  # dask

One data variable per input (named as Recording.to_pandas names its
columns), dimension "time" (seconds from the trigger, the report's
arithmetic), the recording's own dtype. Values are read a block of rows at
a time; a block is decoded once for all the inputs that take their part of
it, so loading every variable costs about one read of the recording.
Nothing open is pickled: an array names its file by path, and each process
opens it itself.
"""

import collections
import os
import threading

import numpy as np
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from ._errors import RecordingReadError
from ._recording import Recording, unique_names

# About this many bytes of decoded values in a block of rows.
BLOCK_BYTES = 128 << 20
# Decoded blocks that inputs have not taken yet, per process, at most.
CACHE_BYTES = 512 << 20
# Recordings a process keeps open, at most: a worker may see thousands.
OPEN_RECORDINGS = 64

_MAGIC = b"KIV\0"


class _Blocks:
    """Decoded blocks of rows of all inputs, shared by the arrays of one
    process. A block is dropped once every input has taken all of its rows,
    or, the least recently used first, when the blocks exceed CACHE_BYTES."""

    def __init__(self):
        self._lock = threading.Lock()
        self._recordings = collections.OrderedDict()
        self._entries = collections.OrderedDict()
        self._bytes = 0

    def recording(self, path, identity):
        """The recording at `path`, which must still be the file the dataset
        was opened on."""
        key = (path, identity)
        with self._lock:
            rec = self._recordings.get(key)
            if rec is not None:
                self._recordings.move_to_end(key)
                return rec
        rec = Recording(path)
        if _identity(path) != identity:
            rec.close()
            raise RecordingReadError(
                f"{os.fsdecode(path)}: the file changed after the dataset "
                "was opened", path)
        with self._lock:
            self._recordings[key] = rec
            # Dropped, not closed: a thread may still be reading it, and its
            # file closes with the last reference.
            while len(self._recordings) > OPEN_RECORDINGS:
                self._recordings.popitem(last=False)
        return rec

    def take(self, path, identity, block_rows, block, column, rows):
        """Rows `rows` (a slice within the block) of input `column` of block
        number `block`."""
        key = (path, identity, block_rows, block)
        with self._lock:
            entry = self._entries.get(key)
            if entry is None:
                entry = self._entries[key] = _Entry()
            self._entries.move_to_end(key)
        with entry.lock:
            if entry.values is None:
                first = block * block_rows
                try:
                    # Each input's part contiguous.
                    rec = self.recording(path, identity)
                    entry.values = rec.read(first, first + block_rows,
                                            by_input=True)
                except BaseException:
                    with self._lock:
                        if self._entries.get(key) is entry:
                            del self._entries[key]
                    raise
                entry.pending = set(range(entry.values.shape[0]))
                with self._lock:
                    if key in self._entries:
                        self._bytes += entry.values.nbytes
                    self._evict()
            # A view: the block's memory lives as long as a part of it does.
            part = entry.values[column, rows]
            whole = rows == slice(0, entry.values.shape[1])
            if whole:
                entry.pending.discard(column)
            done = whole and not entry.pending
        if done:
            with self._lock:
                if self._entries.get(key) is entry:
                    del self._entries[key]
                    self._bytes -= entry.values.nbytes
        return part

    def _evict(self):
        while self._bytes > CACHE_BYTES and len(self._entries) > 1:
            _, entry = self._entries.popitem(last=False)
            if entry.values is not None:
                self._bytes -= entry.values.nbytes


class _Entry:
    def __init__(self):
        self.lock = threading.Lock()
        self.values = None
        self.pending = None


_BLOCKS = _Blocks()


def _identity(path):
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_mtime_ns, st.st_size)


class MorvelaArray(BackendArray):
    """One input of a recording, read lazily a block of rows at a time.
    Pickled by path: it holds no open file."""

    def __init__(self, path, identity, column, rows, dtype, block_rows):
        self.path = path
        self.identity = identity
        self.column = column
        self.shape = (rows,)
        self.dtype = np.dtype(dtype)
        self.block_rows = block_rows

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key):
        (index,) = key
        if isinstance(index, (int, np.integer)):
            return self._rows(int(index), int(index) + 1)[0]
        rows = range(*index.indices(self.shape[0]))
        if rows.step == 1 or not rows:
            return self._rows(rows.start, max(rows.start, rows.stop))
        low = min(rows[0], rows[-1])
        values = self._rows(low, max(rows[0], rows[-1]) + 1)
        return values[np.asarray(rows) - low]

    def _rows(self, start, stop):
        parts = []
        size = self.block_rows
        for block in range(start // size, -(-stop // size)):
            first = block * size
            rows = slice(max(start, first) - first, min(stop, first + size) - first)
            parts.append(_BLOCKS.take(self.path, self.identity, size, block,
                                      self.column, rows))
        if not parts:
            return np.empty(0, dtype=self.dtype)
        return parts[0] if len(parts) == 1 else np.concatenate(parts)


def _attrs(rec):
    h = rec.header
    attrs = {
        "block_name": h.block_name,
        "application_name": h.application_name,
        "application_version": h.application_version,
        "sample_time": h.sample_time,
        "samples": h.samples,
        "pretrigger_samples": h.pretrigger_samples,
        "posttrigger_samples": h.posttrigger_samples,
        "inputs": h.inputs,
        "data_type": h.data_type,
        "data_type_size": h.data_type_size,
    }
    if h.trigger_time_ns is not None:
        attrs["trigger_time"] = h.trigger_time_iso()
    return attrs


def open_recording_dataset(path, drop_variables=None, block_rows=None):
    """The Dataset of the recording at `path`; see the module's doc."""
    import xarray as xr

    path = os.fspath(path)
    rec = Recording(path)
    h = rec.header
    if rec.dtype is None and h.samples and h.inputs:
        rec.read(0, 1)  # raises what the converter would report
    dtype = rec.dtype if rec.dtype is not None else np.dtype(np.float64)
    if block_rows is None:
        block_rows = max(1, BLOCK_BYTES // max(1, h.inputs * dtype.itemsize))
    identity = _identity(path)
    # An input named "time" must not take the coordinate's name.
    names = unique_names(["time", *rec.columns])[1:]
    drop = set(drop_variables or ())
    variables = {}
    for column, (name, input_) in enumerate(zip(names, rec.inputs)):
        if name in drop:
            continue
        array = MorvelaArray(path, identity, column, h.samples, dtype, block_rows)
        variables[name] = xr.Variable(
            ("time",), indexing.LazilyIndexedArray(array),
            attrs={"units": input_.unit},
            encoding={"preferred_chunks": {"time": block_rows},
                      "dtype": dtype})
    coords = {}
    if "time" not in drop:
        coords["time"] = xr.Variable(
            ("time",), rec.time_offsets(),
            attrs={"units": "s", "long_name": "time from the trigger"})
    rec.close()
    return xr.Dataset(variables, coords=coords, attrs=_attrs(rec))


class MorvelaBackendEntrypoint(BackendEntrypoint):
    """xarray's engine for transient recorder files (.dat)."""

    description = "Transient recorder files (.dat) read by Morvela's decoder"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "block_rows")

    def open_dataset(self, filename_or_obj, *, drop_variables=None,
                     block_rows=None):
        return open_recording_dataset(filename_or_obj, drop_variables,
                                      block_rows)

    def guess_can_open(self, filename_or_obj):
        try:
            with open(filename_or_obj, "rb") as f:
                return f.read(4) == _MAGIC
        except (OSError, TypeError, ValueError):
            return False
