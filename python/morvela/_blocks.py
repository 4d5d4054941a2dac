"""Blocks of rows as the tasks of a dask graph read them. A worker that runs
them imports the reader and numpy, not xarray."""

import os

import numpy as np

from ._errors import RecordingReadError
from ._recording import Recording


def same_file(rec, identity):
    """`rec`, if its open file is still the one whose identity (device,
    inode, size, modification and change times) is given;
    RecordingReadError if not."""
    if rec.identity() != identity:
        raise RecordingReadError(
            f"{os.fsdecode(rec.path)}: the file changed after the dataset "
            "was opened", rec.path)
    return rec


def read_block(path, identity, start, stop, fill_value):
    """Rows [start, stop) of every input of the recording at `path`, as a
    1 x rows x inputs block; rows past the recording's end are
    `fill_value`."""
    with Recording(path) as rec:
        same_file(rec, identity)
        end = min(stop, rec.header.samples)
        values = rec.read(start, max(start, end))
        if end < stop:
            padded = np.full((stop - start, rec.header.inputs), fill_value,
                             dtype=values.dtype)
            padded[:len(values)] = values
            values = padded
    return values[np.newaxis]
