"""Blocks of rows as the tasks of a dask graph read them. A worker that runs
them imports the reader and numpy, not xarray."""

import os
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _morvela
from ._errors import RecordingReadError
from ._recording import said_plainly

if TYPE_CHECKING:
    from ._recording import Recording


def same_file(rec: "Recording", identity: Sequence[int]) -> "Recording":
    """`rec`, if its open file is still the one whose identity (device,
    inode, size, modification and change times) is given;
    RecordingReadError if not."""
    if rec.identity() != identity:
        raise _changed(rec.path)
    return rec


_CHANGED = "the file changed after the dataset was opened"


def _changed(path: Union[str, bytes]) -> RecordingReadError:
    return RecordingReadError(f"{os.fsdecode(path)}: {_CHANGED}", path)


def read_blocks(paths: Sequence[Union[str, bytes]], identities: Sequence[Sequence[int]],
                start: int, stop: int, fill_value: Optional[Union[int, float]],
                dtype: Any, input_count: int) -> np.ndarray:
    """Rows [start, stop) of every input of each recording of `paths`,
    stacked: a recordings x rows x inputs block of `dtype`, one task for
    many small recordings, read by the binding in one call with the GIL
    released; rows past a recording's end are `fill_value`."""
    out = np.full((len(paths), stop - start, input_count),
                  0 if fill_value is None else fill_value, dtype=dtype)
    try:
        _morvela.read_blocks([(os.fsencode(p), os.fsdecode(p)) for p in paths],
                             [tuple(v - (1 << 64) if v >= 1 << 63 else v for v in identity)
                              for identity in identities],
                             start, stop, out, _CHANGED)
    except OSError as error:
        raise said_plainly(error) from None
    return out


class GroupRows:
    """The recordings x rows x inputs of recordings that share tasks, as
    dask's getter reads it: an index reads only the recordings and the rows
    it selects. dask fuses the slices a computation takes of a chunk into
    the chunk's index, so the rows present in a shortened recording read
    from a chunk that also holds its missing rows; only a selection that
    takes a missing row raises TruncatedRecordingError. `remote` is
    (rows each recording claims, first bytes of one, storage options) for
    recordings at URLs."""

    def __init__(self, paths: Sequence[Any], identities: Sequence[Sequence[Any]],
                 shape: Tuple[int, int, int], dtype: Any,
                 fill_value: Optional[Union[int, float]],
                 remote: Optional[Tuple[Sequence[int], bytes, Any]] = None) -> None:
        self.paths, self.identities = list(paths), list(identities)
        self.shape, self.dtype = shape, np.dtype(dtype)
        self.fill_value, self.remote = fill_value, remote

    def __getitem__(self, key: Tuple[Any, Any, Any]) -> np.ndarray:
        member_key, row_key, input_key = key
        chosen = np.arange(self.shape[0])[member_key]
        first, stop, within = _row_span(row_key, self.shape[1])
        block = self._read(chosen.ravel().tolist(), first, stop)
        block = block.reshape(chosen.shape + block.shape[1:])
        return block[(slice(None),) * chosen.ndim + (within, input_key)]

    def _read(self, chosen: List[int], start: int, stop: int) -> np.ndarray:
        if not chosen or start == stop:
            return np.empty((len(chosen), stop - start, self.shape[2]), self.dtype)
        paths = [self.paths[k] for k in chosen]
        identities = [self.identities[k] for k in chosen]
        if self.remote is None:
            return read_blocks(paths, identities, start, stop, self.fill_value,
                               self.dtype, self.shape[2])
        from ._remote import read_blocks as read_remote_blocks

        samples, head, options = self.remote
        return read_remote_blocks(paths, identities, [samples[k] for k in chosen], head,
                                  start, stop, self.fill_value, options)


def _row_span(row_key: Any, count: int) -> Tuple[int, int, Any]:
    """(first, stop, index): the rows [first, stop) that the index `row_key` of
    `count` rows reaches, and the same selection within them."""
    if isinstance(row_key, slice):
        chosen = range(count)[row_key]
        if not chosen:
            return 0, 0, slice(0, 0)
        # The rows [first, last] that the range runs over, from one end to
        # the other by its step: all of the block, with the step.
        first, last = min(chosen[0], chosen[-1]), max(chosen[0], chosen[-1])
        return first, last + 1, slice(None, None, chosen.step)
    positions = np.asarray(row_key, dtype=np.int64)
    positions = np.where(positions < 0, positions + count, positions)
    if ((positions < 0) | (positions >= count)).any():
        raise IndexError(f"rows {row_key!r} of {count}")
    if positions.size == 0:
        return 0, 0, positions
    first = int(positions.min())
    return first, int(positions.max()) + 1, positions - first
