"""Read transient recorder files (.dat) into numpy arrays, pandas frames
and xarray datasets; export them to Parquet and HDF5.

    import morvela

    with morvela.open("rec.dat") as rec:
        print(rec.header.block_name, rec.inputs)
        values = rec.read(0, 1000)          # rows x inputs, native dtype
        one = rec[3, 0]                     # numpy-style selection
        df = rec.to_pandas()                # indexed by TimeOffset
        for offsets, block in rec.chunks(rows=100_000):
            ...

    import xarray as xr
    ds = xr.open_dataset("rec.dat", engine="morvela")  # lazy, dask-ready
    ds["signal"].sel(input="Input0")                   # one input: (time,)
    runs = morvela.open_mfdataset(paths)               # many, one dataset

    morvela.export("rec.dat", "rec.parquet")           # or .h5, streamed
    morvela.export_batch(paths, "out/", jobs=4)        # many, one loop
    morvela.convert("rec.dat")                         # rec.txt, as Morvela
    morvela.convert_batch(paths, "reports/", jobs=4)   # many reports

The values are decoded by Morvela's own C++ decoder, by the same rules as
the text reports that the Morvela program writes.
"""

import importlib as _importlib
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Union

from ._errors import (
    ExportError,
    WorkerError,
    NotRecordingError,
    RecordingError,
    RecordingMemoryError,
    RecordingReadError,
    ReportError,
    RowClaimError,
    TruncatedRecordingError,
    UnknownDataTypeError,
)

# The rest is imported when first used: `import morvela` loads neither
# numpy nor the binding, so the command line starts at once.
_LAZY = {
    "Outcome": "_batch", "convert_batch": "_batch",
    "export_batch": "_batch", "convert": "_convert", "export": "_export",
    "column_names": "_names", "__version__": "_morvela", "Header": "_recording",
    "Input": "_recording", "Recording": "_recording", "open": "_recording",
    "read_report": "_report",
}

if TYPE_CHECKING:
    import xarray

    from ._batch import Outcome, convert_batch, export_batch
    from ._convert import convert
    from ._export import export
    from ._morvela import __version__
    from ._names import column_names
    from ._recording import Header, Input, PathType, Recording, open
    from ._report import read_report


def __getattr__(name: str) -> Any:
    if name not in _LAZY:
        raise AttributeError(f"module 'morvela' has no attribute {name!r}")
    value = getattr(_importlib.import_module(f".{_LAZY[name]}", __name__), name)
    globals()[name] = value
    return value


def open_mfdataset(paths: Union["PathType", Sequence["PathType"]], *, pad: bool = False,
                   fill_value: Optional[Union[int, float]] = None,
                   block_rows: Optional[int] = None,
                   storage_options: Optional[Dict[str, Any]] = None) -> "xarray.Dataset":
    """Like recordings as one lazy xarray Dataset of dimensions (recording,
    time, input), on dask. Needs the xarray extra.

    Parameters
    ----------
    paths : str, bytes, os.PathLike, or a sequence of them
        A list of recordings; a str or bytes is a glob pattern, one
        os.PathLike one file whatever its name holds. Paths are made
        absolute at the open, so a compute after os.chdir reads the same
        files. URLs of objects of one fsspec filesystem ("s3://bucket/run/
        *.dat", globbed by that filesystem) are read by range: their
        listings and first bytes fetched at once at the open, and a task's
        rows in one range an object.
    pad : bool
        Shorter recordings are filled to the longest with `fill_value`.
    fill_value : int or float, optional
        NaN by default for float types; integer types need one. The data
        type must hold it exactly.
    block_rows : int, optional
        The rows of a chunk along "time", at least 1; by default about
        128 MiB of values (16 MiB at URLs). Small recordings share a chunk
        along "recording", as many as fill about 16 MiB of values.
    storage_options : dict, optional
        For URLs: the filesystem's options, as `morvela.open` takes them.

    Returns
    -------
    xarray.Dataset
        One variable, "signal", in the recordings' own dtype; coordinates
        "time" (as the report prints it), "input" (the exports' names),
        "units", and along "recording" "path", "block_name" and
        "trigger_time" (datetime64[ns], NaT where the report shows the
        current time or past 2262-04-11, the type's last day). It pickles
        by paths and computes on dask.distributed.

    Raises
    ------
    ValueError
        For recordings that disagree on sample time, pretrigger samples,
        data type, input names or units, or (unless `pad`) rows, naming the
        first that differs; for a fill value the data type cannot hold
        exactly; for a bad `block_rows` or no recordings.
    RowClaimError
        For a header that claims more rows than its file can hold.
    OSError
        For a file that cannot be opened or is not a regular file.
    RecordingError
        For a file that cannot be read.
    """
    from ._xarray import open_mfdataset as open_many

    return open_many(paths, pad=pad, fill_value=fill_value,
                     block_rows=block_rows, storage_options=storage_options)

__all__ = [
    "__version__",
    "ExportError",
    "Outcome",
    "WorkerError",
    "column_names",
    "convert",
    "convert_batch",
    "export",
    "export_batch",
    "Header",
    "Input",
    "NotRecordingError",
    "Recording",
    "RecordingError",
    "RecordingMemoryError",
    "RecordingReadError",
    "RowClaimError",
    "ReportError",
    "TruncatedRecordingError",
    "UnknownDataTypeError",
    "open",
    "open_mfdataset",
    "read_report",
]


def __dir__() -> List[str]:
    return sorted(__all__)
