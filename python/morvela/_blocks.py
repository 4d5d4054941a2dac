"""Blocks of rows as the tasks of a dask graph read them. A worker that runs
them imports the reader and numpy, not xarray."""

import os

import numpy as np

from . import _morvela
from ._errors import RecordingReadError
from ._recording import said_plainly


def same_file(rec, identity):
    """`rec`, if its open file is still the one whose identity (device,
    inode, size, modification and change times) is given;
    RecordingReadError if not."""
    if rec.identity() != identity:
        raise _changed(rec.path)
    return rec


def _changed(path):
    return RecordingReadError(f"{os.fsdecode(path)}: the file changed after "
                              "the dataset was opened", path)


def read_block(path, identity, start, stop, fill_value):
    """Rows [start, stop) of every input of the recording at `path`, as a
    1 x rows x inputs block; rows past the recording's end are
    `fill_value`. Straight through the reader: no names are made, for
    thousands of small recordings a task."""
    try:
        reader = _morvela.open(os.fsencode(path), os.fsdecode(path))
    except OSError as error:
        raise said_plainly(error) from None
    if reader.identity() != identity:
        raise _changed(path)
    header = reader.header()
    end = min(stop, header["samples"])
    first = min(start, end)  # past a shorter recording's end: no rows
    values = reader.read(first, end, list(range(header["inputs"])))
    if end < stop:
        padded = np.full((stop - start, header["inputs"]), fill_value,
                         dtype=values.dtype)
        padded[:len(values)] = values
        values = padded
    return values[np.newaxis]


def read_blocks(paths, identities, start, stop, fill_value):
    """read_block of each recording of `paths`, stacked: a recordings x
    rows x inputs block, one task for many small recordings."""
    out = None
    for k, (path, identity) in enumerate(zip(paths, identities)):
        block = read_block(path, identity, start, stop, fill_value)
        if out is None:
            out = np.empty((len(paths), *block.shape[1:]), dtype=block.dtype)
        out[k] = block[0]
    return out
