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
    ds["signal"].sel(input="Input0")                   # (time, input)
    runs = morvela.open_mfdataset(paths)               # many, one dataset

    morvela.export("rec.dat", "rec.parquet")           # or .h5, streamed
    morvela.export_batch(paths, "out/", jobs=4)        # many, one loop

The values are decoded by Morvela's own C++ decoder, by the same rules as
the text reports that the Morvela program writes.
"""

from ._errors import (
    NotRecordingError,
    RecordingError,
    RecordingMemoryError,
    RecordingReadError,
    ReportError,
    RowClaimError,
    TruncatedRecordingError,
    UnknownDataTypeError,
)
from ._batch import Outcome, WorkerError, export_batch
from ._export import ExportError, export
from ._names import column_names
from ._morvela import __version__
from ._recording import Header, Input, Recording, open
from ._report import read_report


def open_mfdataset(paths, *, pad=False, fill_value=None, block_rows=None):
    """Like recordings as one lazy xarray Dataset (recording, time, input)
    on dask; see morvela._xarray.open_mfdataset. Needs the xarray extra."""
    from ._xarray import open_mfdataset as open_many

    return open_many(paths, pad=pad, fill_value=fill_value,
                     block_rows=block_rows)

__all__ = [
    "__version__",
    "ExportError",
    "Outcome",
    "WorkerError",
    "column_names",
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
