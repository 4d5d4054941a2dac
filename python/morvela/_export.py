"""Recordings exported to Parquet (pyarrow) and HDF5 (h5py), streamed a
block of rows at a time, so that memory does not grow with the recording.

A target is written under a temporary name beside it and renamed when it is
complete: on any failure the target is absent, or its earlier version is
untouched. The target is never the recording itself."""

import hashlib
import io
import json
import os
from typing import (Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple,
                    Union)

import numpy as np

from . import _morvela
from ._errors import ExportError, one_line
from ._names import utf8_text
from ._paths import is_url, temporary_name, write_atomically
from ._recording import PathType, Recording, header_attributes, rows_of_bytes
from ._remote import Options

# Rows of a block: about this many bytes of values. An HDF5 chunk holds
# one block, a Parquet row group PARQUET_BLOCKS of them.
BLOCK_BYTES = 16 << 20
PARQUET_BLOCKS = 4

# Told (rows written, rows of the recording) after each block.
Progress = Optional[Callable[[int, int], None]]

FORMATS = {".parquet": "parquet", ".h5": "hdf5", ".hdf5": "hdf5"}
SUFFIXES = {"parquet": ".parquet", "hdf5": ".h5"}


def format_of(path: Union[str, bytes]) -> str:
    """The format that `path`'s suffix names: "parquet" or "hdf5"."""
    suffix = os.path.splitext(os.fsdecode(path))[1].lower()
    if suffix not in FORMATS:
        raise ValueError(f"{os.fsdecode(path)}: the suffix names no format "
                         f"(one of {', '.join(FORMATS)})")
    return FORMATS[suffix]


def _rows_per_block(rec: Recording) -> int:
    return rows_of_bytes(rec.header.inputs, rec.value_dtype.itemsize, BLOCK_BYTES)


class Kind(NamedTuple):
    """What the Parquet files of one table must share: the data type, the
    columns' names and their units. A folder reader (Spark, DuckDB's glob,
    pyarrow.dataset) takes one file's schema for the whole folder."""

    data_type: str
    columns: Tuple[str, ...]
    units: Tuple[str, ...]

    @property
    def key(self) -> str:
        """A short name of the kind, the same wherever it is computed."""
        text = json.dumps(list(self), ensure_ascii=True)
        return "kind-" + hashlib.sha256(text.encode()).hexdigest()[:8]


def kind_of(rec: Recording) -> Kind:
    """The Kind of the Parquet file that `rec` exports to."""
    return Kind(rec.header.data_type, tuple(list(rec.columns)),
                tuple(utf8_text(i.unit) for i in rec.inputs))


def parquet_kind(path: Union[str, bytes]) -> Optional[Kind]:
    """The Kind of a Parquet file that Morvela wrote, or None for any other
    file."""
    import pyarrow.parquet as pq

    try:
        schema = pq.read_schema(os.fsdecode(path))
        header = json.loads(schema.metadata[b"morvela"])["header"]
    except Exception:  # noqa: BLE001 - not a file of ours
        return None
    fields = [field for field in schema if field.name != "TimeOffset"]
    return Kind(header["data_type"], tuple(field.name for field in fields),
                tuple((field.metadata or {}).get(b"unit", b"").decode("utf-8", "replace")
                      for field in fields))


def _header_json(rec: Recording, columns: List[str]) -> str:
    return json.dumps({
        "header": rec.header.to_dict(),
        "inputs": [{"name": i.name, "unit": i.unit} for i in rec.inputs],
        "columns": columns,
    }, ensure_ascii=True)


def _blocks(rec: Recording, progress: Progress, block_rows: int,
            by_input: bool = False) -> Iterator[Tuple[np.ndarray, np.ndarray]]:
    """rec.chunks(block_rows, by_input=...); `progress` is told after each."""
    done = 0
    for offsets, values in rec.chunks(block_rows, by_input=by_input):
        yield offsets, values
        done += len(offsets)
        if progress is not None:
            progress(done, rec.header.samples)


# Parquet's codecs, as pyarrow names them.
CODECS = ("none", "snappy", "gzip", "brotli", "lz4", "zstd")


def parquet_options(dtype: np.dtype, columns: List[str],
                    compression: Optional[str] = None) -> Dict[str, Any]:
    """How the Parquet export writes a recording of `dtype`: the choices
    that made the smallest files at no less than 0.8 of the speed of
    snappy with dictionaries (bench/README.md). No dictionaries;
    TimeOffset, a steady progression, split into byte streams, and so are
    the values of a float; integers of one and two bytes delta-encoded.
    The codec is `compression` (one of CODECS), by default zstd at level 1
    for integers and lz4 for floating values."""
    floating = dtype.kind == "f"
    compression = compression or ("lz4" if floating else "zstd")
    encodings: Dict[str, str] = {"TimeOffset": "BYTE_STREAM_SPLIT"}
    if floating and dtype.itemsize == 4:
        encodings.update(dict.fromkeys(columns, "BYTE_STREAM_SPLIT"))
    elif not floating and dtype.itemsize <= 2:
        encodings.update(dict.fromkeys(columns, "DELTA_BINARY_PACKED"))
    options: Dict[str, Any] = {"compression": compression, "use_dictionary": False,
               "column_encoding": encodings}
    if compression == "zstd":
        options["compression_level"] = 1
    return options


def _write_parquet(rec: Recording, fd: int, progress: Progress,
                   compression: Optional[str]) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    dtype = rec.value_dtype
    columns = list(rec.columns)
    fields = [pa.field("TimeOffset", pa.float64(), nullable=False,
                       metadata={"unit": "s"})]
    for name, input_ in zip(columns, rec.inputs):
        fields.append(pa.field(name, pa.from_numpy_dtype(dtype), nullable=False,
                               metadata={"unit": utf8_text(input_.unit)}))
    schema = pa.schema(fields, metadata={"morvela": _header_json(rec, columns)})
    # A row group of PARQUET_BLOCKS blocks, each input's values contiguous:
    # arrow takes them without a copy.
    block_rows = _rows_per_block(rec) * PARQUET_BLOCKS
    with open(fd, "wb", closefd=True) as out, \
            pq.ParquetWriter(out, schema,
                             **parquet_options(dtype, columns, compression)) as writer:
        for offsets, values in _blocks(rec, progress, block_rows, by_input=True):
            arrays = [pa.array(offsets), *(pa.array(v) for v in values)]
            writer.write_table(pa.Table.from_arrays(arrays, schema=schema),
                               row_group_size=len(offsets))
        if rec.header.samples == 0:
            writer.write_table(schema.empty_table())


def _write_hdf5(rec: Recording, fd: int, progress: Progress,
                compression: Optional[str]) -> None:
    import h5py

    h = rec.header
    dtype = rec.value_dtype
    block = _rows_per_block(rec)
    columns = list(rec.columns)
    # Attributes larger than 64 KiB (the names of thousands of inputs) need
    # the dense attribute storage of the HDF5 1.8 file format.
    sink = _Sink(open(fd, "r+b", buffering=0, closefd=True))
    with sink, h5py.File(sink, "w", libver=("v108", "latest")) as f:
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
        names = f.create_dataset("input", data=np.array(columns, dtype=object),
                                 shape=(len(columns),), dtype=h5py.string_dtype())
        _netcdf_dimensions(values, [offsets, names])
        _text_attribute(offsets.attrs, "units", "s")
        for key, value in header_attributes(h).items():
            if isinstance(value, str):
                _text_attribute(f.attrs, key, value)
            else:
                f.attrs[key] = value
        f.attrs["input_names"] = [utf8_text(i.name) for i in rec.inputs]
        f.attrs["input_units"] = [utf8_text(i.unit) for i in rec.inputs]
        f.attrs["columns"] = columns
        _text_attribute(f.attrs, "morvela", _header_json(rec, columns))
        _text_attribute(f.attrs, "_NCProperties", "version=2,morvela=%s,hdf5=%s,h5py=%s" % (
            _morvela.__version__, h5py.version.hdf5_version, h5py.__version__))
        at = 0
        for block_offsets, block_values in _blocks(rec, progress, block):
            if sink.error is not None:
                break
            n = len(block_offsets)
            values[at:at + n] = block_values
            offsets[at:at + n] = block_offsets
            at += n
    if sink.error is not None:
        raise sink.error


def _netcdf_dimensions(variable: Any, scales: List[Any]) -> None:
    """Makes each of `scales` a dimension scale named as its dataset and
    attaches it to that axis of `variable`, with the dimension ids that
    netCDF-4 readers look for: xarray, netCDF4 and ncdump then see
    `variable` with named dimensions and the scales as its coordinates."""
    ids = np.arange(len(scales), dtype=np.int32)
    for axis, scale in enumerate(scales):
        name = scale.name.rsplit("/", 1)[-1]
        scale.make_scale(name)
        scale.attrs["_Netcdf4Dimid"] = ids[axis]
        scale.attrs["_Netcdf4Coordinates"] = ids[axis:axis + 1]
        variable.dims[axis].attach_scale(scale)
    variable.attrs["_Netcdf4Coordinates"] = ids


def _text_attribute(attrs: Any, key: str, text: str) -> None:
    """`text` as a fixed-length UTF-8 string, as the netCDF-4 library
    writes text attributes (netCDF's "char" type); h5py reads it back as
    bytes."""
    import h5py

    data = text.encode("utf-8")
    attrs.create(key, np.array(data, dtype=f"S{max(1, len(data))}"),
                 dtype=h5py.string_dtype("utf-8" if not data.isascii() else "ascii",
                                         max(1, len(data))))


class _Sink:
    """The HDF5 file as h5py's file object. A write that fails is kept,
    not raised: HDF5 does not survive a failed write of its own (it may
    crash the process when its objects are released), so it is left to
    close as if all went well, and the export then fails with `error`."""

    def __init__(self, file: io.FileIO) -> None:
        self._file = file
        self.error: Optional[OSError] = None

    def __enter__(self) -> "_Sink":
        return self

    def __exit__(self, *exc: Any) -> None:
        self._file.close()

    def _keep(self, act: Callable[..., Any], *args: Any) -> Any:
        if self.error is None:
            try:
                return act(*args)
            except OSError as error:
                self.error = error
        return None

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        while view and self.error is None:
            written = self._keep(self._file.write, view)
            view = view[written or 0:]
        return len(data)

    def truncate(self, size: Optional[int] = None) -> Optional[int]:
        self._keep(self._file.truncate, size)
        return size

    def flush(self) -> None:
        self._keep(self._file.flush)

    def read(self, size: int = -1) -> bytes:
        return self._file.read(size)

    def readinto(self, buffer: Any) -> Optional[int]:
        return self._file.readinto(buffer)

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        return self._file.seek(offset, whence)

    def tell(self) -> int:
        return self._file.tell()


_WRITERS = {"parquet": _write_parquet, "hdf5": _write_hdf5}


def check_options(format: str, compression: Optional[str]) -> None:  # noqa: A002
    """A ValueError for an unknown format, or a codec that is not one of
    CODECS or is given for HDF5."""
    if format not in _WRITERS:
        raise ValueError(f"unknown format {format!r}: parquet or hdf5")
    if compression is not None and (format != "parquet" or compression not in CODECS):
        raise ValueError(f"unknown compression {compression!r} for {format}: "
                         + ("one of " + ", ".join(CODECS) if format == "parquet"
                            else "HDF5 is always gzip"))


def _reason(error: BaseException) -> str:
    # The system's own words where there is an error number: HDF5's text
    # around it runs to several lines of its internals.
    if isinstance(error, OSError) and error.errno:
        return os.strerror(error.errno)
    return one_line(error)


def export(src: PathType, dst: PathType, format: Optional[str] = None, *,  # noqa: A002
           progress: Progress = None,
           compression: Optional[str] = None,
           storage_options: Optional[Dict[str, Any]] = None) -> Union[str, bytes]:
    """Writes a recording as Parquet or HDF5, a block of rows at a time.

    Parameters
    ----------
    src, dst : str, bytes or os.PathLike
        The recording and the target, any names the system can open; the
        recording may be the URL of an object (see `morvela.open`).
    format : {"parquet", "hdf5"}, optional
        By default the one that `dst`'s suffix names (.parquet, .h5, .hdf5).
    progress : callable, optional
        Called as progress(rows_done, rows) after each block of rows.
    compression : {"none", "snappy", "gzip", "brotli", "lz4", "zstd"}, optional
        Parquet's codec; by default the one that makes the smallest files
        of the recording's type at about today's speed (see Notes). HDF5
        takes none of them: it is always gzip.
    storage_options : dict, optional
        For a recording at a URL: the filesystem's options.

    Returns
    -------
    str or bytes
        `dst`, as given.

    Raises
    ------
    RecordingError, OSError
        When the recording cannot be read.
    ExportError
        When the target cannot be written (the target is then absent, or
        its earlier version untouched), or would be the recording itself.
    ValueError
        For a format or suffix that names no format, or an unknown codec.

    Notes
    -----
    Parquet: column TimeOffset (float64 seconds) and one column per input
    in the recording's type, named by `column_names` (unique UTF-8 names),
    each field's unit in its metadata, the header as JSON in the file
    metadata under "morvela"; row groups of about 64 MiB of values (four
    blocks of rows), each with TimeOffset's minimum and maximum. HDF5:
    dataset "values" (rows x inputs, chunked, compressed), dataset
    "time_offset", the header, the input names and units and the columns'
    names as attributes. The target is written under a temporary name beside
    it and renamed when complete."""
    return export_to(src, dst, format, progress, None, compression=compression,
                     storage_options=storage_options)


def export_to(src: PathType, dst: PathType, format: Optional[str],  # noqa: A002
              progress: Progress, temporary: Optional[bytes],
              ready: Optional[Callable[[], None]] = None, compression: Optional[str] = None,
              storage_options: Options = None) -> Union[str, bytes]:
    """export(), written under the name `temporary` (default: a new one
    beside `dst`); `ready`, if given, is called just before the rename and
    may raise to leave the target unwritten."""
    try:
        dst = os.fspath(dst)
        target = os.fsencode(dst)
    except (TypeError, UnicodeError) as error:
        raise ExportError(f"not a path: {dst!r}: {one_line(error)}") from None
    format = format or format_of(target)  # noqa: A001
    check_options(format, compression)
    with Recording(src, storage_options) as rec:
        rec.check_decodable()
        try:
            if not is_url(rec.path) and os.path.exists(target) and \
                    os.path.samefile(target, os.fsencode(rec.path)):
                raise ExportError("it is the recording itself", target)
            write_atomically(target, lambda fd: _WRITERS[format](rec, fd, progress, compression),
                             temporary or temporary_name(target), ready)
        except (OSError, RuntimeError) as error:
            raise ExportError(_reason(error), target) from None
    return dst
