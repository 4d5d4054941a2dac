"""Recordings exported to Parquet (pyarrow) and HDF5 (h5py), streamed a
block of rows at a time, so that memory does not grow with the recording.

A target is written under a temporary name beside it and renamed when it is
complete: on any failure the target is absent, or its earlier version is
untouched. The target is never the recording itself."""

import json
import os
import tempfile

import numpy as np

from ._recording import Recording

# Rows of a block: about this many bytes of values. A Parquet row group and
# an HDF5 chunk each hold one block.
BLOCK_BYTES = 16 << 20

FORMATS = {".parquet": "parquet", ".h5": "hdf5", ".hdf5": "hdf5"}
SUFFIXES = {"parquet": ".parquet", "hdf5": ".h5"}


class ExportError(Exception):
    """An export that could not be completed; nothing was left under the
    target's name."""


def format_of(path):
    """The format that `path`'s suffix names: "parquet" or "hdf5"."""
    suffix = os.path.splitext(os.fsdecode(path))[1].lower()
    if suffix not in FORMATS:
        raise ValueError(f"{os.fsdecode(path)}: the suffix names no format "
                         f"(one of {', '.join(FORMATS)})")
    return FORMATS[suffix]


def _block_rows(rec):
    itemsize = rec.dtype.itemsize if rec.dtype is not None else 8
    return max(1, BLOCK_BYTES // max(1, rec.header.inputs * itemsize))


def _header_json(rec):
    return json.dumps({
        "header": rec.header.to_dict(),
        "inputs": [{"name": i.name, "unit": i.unit} for i in rec.inputs],
        "columns": list(rec.columns),
    }, ensure_ascii=True)


def _utf8(text):
    # Names and units are stored as UTF-8; a byte that is not UTF-8 becomes
    # the replacement character (the JSON header keeps it as \\udcXX).
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def _write_parquet(rec, out):
    import pyarrow as pa
    import pyarrow.parquet as pq

    dtype = rec.dtype if rec.dtype is not None else np.dtype(np.float64)
    fields = [pa.field("TimeOffset", pa.float64(), nullable=False,
                       metadata={"unit": "s"})]
    for name, input_ in zip(rec.columns, rec.inputs):
        fields.append(pa.field(_utf8(name), pa.from_numpy_dtype(dtype),
                               nullable=False,
                               metadata={"unit": _utf8(input_.unit)}))
    schema = pa.schema(fields, metadata={"morvela": _header_json(rec)})
    with pq.ParquetWriter(out, schema) as writer:
        for offsets, values in rec.chunks(_block_rows(rec)):
            arrays = [pa.array(offsets)]
            arrays += [pa.array(values[:, j]) for j in range(values.shape[1])]
            writer.write_table(pa.Table.from_arrays(arrays, schema=schema),
                               row_group_size=len(offsets))
        if rec.header.samples == 0:
            writer.write_table(schema.empty_table())


def _write_hdf5(rec, out):
    import h5py

    h = rec.header
    dtype = rec.dtype if rec.dtype is not None else np.dtype(np.float64)
    block = _block_rows(rec)
    with h5py.File(out, "w") as f:
        chunks = (min(block, max(1, h.samples)), max(1, h.inputs))
        values = f.create_dataset(
            "values", shape=(h.samples, h.inputs), dtype=dtype,
            chunks=chunks if h.samples and h.inputs else None,
            compression="gzip" if h.samples and h.inputs else None,
            compression_opts=1 if h.samples and h.inputs else None,
            shuffle=bool(h.samples and h.inputs))
        offsets = f.create_dataset(
            "time_offset", shape=(h.samples,), dtype=np.float64,
            chunks=(min(block, h.samples),) if h.samples else None)
        offsets.attrs["units"] = "s"
        for key, value in h.to_dict().items():
            if value is not None and key not in ("trigger_time", "trigger_time_ns"):
                f.attrs[key] = _utf8(value) if isinstance(value, str) else value
        if h.trigger_time_ns is not None:
            f.attrs["trigger_time"] = h.trigger_time_iso()
        f.attrs["input_names"] = [_utf8(i.name) for i in rec.inputs]
        f.attrs["input_units"] = [_utf8(i.unit) for i in rec.inputs]
        f.attrs["columns"] = [_utf8(c) for c in rec.columns]
        f.attrs["morvela"] = _header_json(rec)
        at = 0
        for block_offsets, block_values in rec.chunks(block):
            n = len(block_offsets)
            values[at:at + n] = block_values
            offsets[at:at + n] = block_offsets
            at += n


_WRITERS = {"parquet": _write_parquet, "hdf5": _write_hdf5}


def export(src, dst, format=None):  # noqa: A002 - the usual name
    """Writes the recording `src` to `dst` as Parquet or HDF5 (`format`, or
    the one `dst`'s suffix names: .parquet, .h5, .hdf5).

    Parquet: column TimeOffset (float64 seconds) and one column per input in
    the recording's type, named as to_pandas names them, each field's unit
    in its metadata, the header as JSON in the file metadata under
    "morvela"; one row group per block of rows. HDF5: dataset "values"
    (rows x inputs, chunked, compressed), dataset "time_offset", the header,
    the input names and units as attributes.

    Raises the recording's RecordingError (or OSError) when it cannot be
    read, ExportError when the target cannot be written; either way nothing
    is left under the target's name."""
    format = format or format_of(dst)
    if format not in _WRITERS:
        raise ValueError(f"unknown format {format!r}: parquet or hdf5")
    dst = os.fspath(dst)
    with Recording(src) as rec:
        if rec.dtype is None and rec.header.samples and rec.header.inputs:
            rec.read(0, 1)  # the recording's own error
        if os.path.exists(dst) and os.path.samefile(dst, rec.path):
            raise ExportError(f"{os.fsdecode(dst)} is the recording itself")
        directory = os.path.dirname(dst) or "."
        base = os.path.basename(dst)
        try:
            fd, temporary = tempfile.mkstemp(
                prefix=(b"." if isinstance(base, bytes) else ".") + base,
                suffix=b".part" if isinstance(base, bytes) else ".part",
                dir=directory)
        except OSError as error:
            raise ExportError(f"{os.fsdecode(dst)}: cannot write: {error}") from None
        os.close(fd)
        try:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
            _WRITERS[format](rec, temporary)
            os.replace(temporary, dst)
        except BaseException as error:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            if isinstance(error, OSError):
                raise ExportError(f"{os.fsdecode(dst)}: cannot write: {error}") from None
            raise
    return dst
