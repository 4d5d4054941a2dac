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


_CHANGED = "the file changed after the dataset was opened"


def _changed(path):
    return RecordingReadError(f"{os.fsdecode(path)}: {_CHANGED}", path)


def read_blocks(paths, identities, start, stop, fill_value, dtype, inputs):
    """Rows [start, stop) of every input of each recording of `paths`,
    stacked: a recordings x rows x inputs block of `dtype`, one task for
    many small recordings, read by the binding in one call with the GIL
    released; rows past a recording's end are `fill_value`."""
    out = np.full((len(paths), stop - start, inputs),
                  0 if fill_value is None else fill_value, dtype=dtype)
    try:
        _morvela.read_blocks([(os.fsencode(p), os.fsdecode(p)) for p in paths],
                             [tuple(v - (1 << 64) if v >= 1 << 63 else v for v in identity)
                              for identity in identities],
                             start, stop, out, _CHANGED)
    except OSError as error:
        raise said_plainly(error) from None
    return out
