"""Recordings at a URL of an fsspec filesystem (s3://, gs://, https://,
memory://): opened by their first bytes, read by range and decoded from
memory by the same C++ decoder as local files.

What it guarantees:
- The header and the input table come in one range (two for a table past
  64 KiB); the rows of a read in one range, never the whole object unless
  the whole object is asked for.
- Each object is read as it was when it was opened: on S3 every range asks
  for the ETag seen at the open (If-Match), and an object rewritten since
  is refused, never mixed; elsewhere its tag in the listing (ETag,
  version or modification time) is compared before the rows are fetched.
- The storage options (credentials among them) never appear in an error,
  a repr, an attribute or a log line: they travel wrapped in
  StorageOptions, whose repr shows none of them.
"""

import asyncio
import errno
import os
import shutil
import struct
import tempfile
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np

from . import _morvela
from ._errors import ExportError, RecordingReadError, one_line
from ._paths import temporary_name

# The first range of an object: its header and the input table of up to
# 680 inputs.
HEAD_BYTES = 64 << 10
# Where the header holds its number of inputs and of rows (big-endian).
_INPUTS_AT, _SAMPLES_AT = 224, 228
_HEADER_BYTES, _INPUT_BYTES = 248, 96


T = TypeVar("T")


class StorageOptions:
    """fsspec's storage options, kept out of every repr and error."""

    __slots__ = ("options",)

    def __init__(self, options: Optional[Dict[str, Any]] = None) -> None:
        self.options = dict(options or {})

    def __repr__(self) -> str:
        return "StorageOptions(...)"

    def __getstate__(self) -> Dict[str, Any]:
        return self.options

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.options = state


# Storage options as a caller gives them.
Options = Union[None, Dict[str, Any], StorageOptions]


def wrapped(options: Options) -> StorageOptions:
    """`options` (a dict, StorageOptions or None) as StorageOptions."""
    return options if isinstance(options, StorageOptions) else StorageOptions(options)


def filesystem(url: Union[str, bytes], options: Options) -> Tuple[Any, str]:
    """(filesystem, path within it) of `url`."""
    try:
        import fsspec
    except ImportError as error:
        raise ImportError(f"{os.fsdecode(url)}: a recording at a URL needs fsspec and the "
                          "filesystem's package (pip install 'morvela[s3]')") from error
    return fsspec.core.url_to_fs(os.fsdecode(url), **wrapped(options).options)


def changed(url: Union[str, bytes]) -> RecordingReadError:
    return RecordingReadError(f"{os.fsdecode(url)}: the object changed after it was "
                              "opened", os.fsdecode(url))


def tag(info: Dict[str, Any]) -> Optional[str]:
    """What tells one version of an object from another in its listing."""
    for key in ("ETag", "etag", "VersionId", "version_id", "generation", "mtime",
                "LastModified", "last_modified"):
        if info.get(key) is not None:
            return str(info[key])
    return None


def _is_s3(fs: Any) -> bool:
    return type(fs).__name__ == "S3FileSystem"


def _precondition_failed(error: BaseException) -> bool:
    response = getattr(error.__cause__, "response", None) or {}
    return response.get("Error", {}).get("Code") in ("PreconditionFailed", "412")


async def _s3_range(fs: Any, path: str, start: int, end: int, tag: Optional[str]) -> bytes:
    bucket, key, _ = fs.split_path(path)
    response = await fs._call_s3("get_object", Bucket=bucket, Key=key,
                                 Range=f"bytes={start}-{end - 1}",
                                 **({"IfMatch": tag} if tag else {}))
    try:
        return await response["Body"].read()
    finally:
        response["Body"].close()


def fetch(fs: Any, paths: Sequence[str], starts: Sequence[int], ends: Sequence[int],
          tags: Sequence[Optional[str]], urls: Sequence[str]) -> List[bytes]:
    """The bytes [start, end) of each object, fetched concurrently; a
    RecordingReadError for an object whose tag is no longer `tags`'s."""
    wanted = [k for k in range(len(paths)) if ends[k] > starts[k]]
    got = [b""] * len(paths)
    if not wanted:
        return got
    if _is_s3(fs):
        from fsspec.asyn import sync

        async def every() -> List[Any]:
            return await asyncio.gather(
                *(_s3_range(fs, paths[k], starts[k], ends[k], tags[k]) for k in wanted),
                return_exceptions=True)

        results = sync(fs.loop, every)
    else:
        now = [tag(fs.info(paths[k])) for k in wanted]
        for k, seen in zip(wanted, now):
            if seen != tags[k]:
                raise changed(urls[k])
        results = fs.cat_ranges([paths[k] for k in wanted], [starts[k] for k in wanted],
                                [ends[k] for k in wanted], on_error="return")
    for k, result in zip(wanted, results):
        if isinstance(result, OSError) and _precondition_failed(result):
            raise changed(urls[k])
        if isinstance(result, BaseException):
            raise result
        got[k] = result
    return got


def infos(fs: Any, paths: Sequence[str], urls: Sequence[str]) -> List[Dict[str, Any]]:
    """fs.info of each path, concurrently where the filesystem can; an
    error that carries no errno names the path's URL in `urls`."""
    if _is_s3(fs) and len(paths) > 1:
        from fsspec.asyn import sync

        async def every() -> List[Any]:
            return await asyncio.gather(*(fs._info(p) for p in paths), return_exceptions=True)

        found = sync(fs.loop, every)
    else:
        found = []
        for path in paths:
            try:
                found.append(fs.info(path))
            except OSError as error:
                found.append(error)
                break
    for url, info in zip(urls, found):
        if isinstance(info, OSError) and info.errno is None:
            raise _named(info, url)
        if isinstance(info, BaseException):
            raise info
    return found


def _named(error: OSError, url: str) -> OSError:
    """`error`, a filesystem's own that carries no errno (s3fs raises
    FileNotFoundError(path) and PermissionError("Forbidden")), as a system
    error of its kind that names `url` and says why."""
    code = {FileNotFoundError: errno.ENOENT, PermissionError: errno.EACCES}.get(type(error),
                                                                               errno.EIO)
    text = one_line(error)
    return OSError(code, os.strerror(code) if url.endswith(text) else text, url)


def heads(fs: Any, paths: Sequence[str], sizes: Sequence[int], tags: Sequence[Optional[str]],
          urls: Sequence[str]) -> List[bytes]:
    """The header and input table of each object: one range each, a second
    where the table runs past the first (but not past the object: a header
    that claims more is refused by the first bytes alone, as a file is)."""
    first = fetch(fs, paths, [0] * len(paths), [min(s, HEAD_BYTES) for s in sizes], tags, urls)
    need = [_HEADER_BYTES + _INPUT_BYTES * struct.unpack_from(">I", head, _INPUTS_AT)[0]
            if len(head) >= _INPUTS_AT + 4 else 0 for head in first]
    need = [n if n <= size else 0 for n, size in zip(need, sizes)]
    more = fetch(fs, paths, [len(h) if n > len(h) else 0 for h, n in zip(first, need)],
                 [n if n > len(h) else 0 for h, n in zip(first, need)], tags, urls)
    # Only the header and the table: a dataset's every task carries one.
    return [(h + m)[:n] if n else h + m for h, m, n in zip(first, more, need)]


def with_samples(head: bytes, samples: int) -> bytes:
    """`head` with its number of rows set to `samples`."""
    return head[:_SAMPLES_AT] + struct.pack(">I", samples) + head[_SAMPLES_AT + 4:]


def plainly(url: Union[str, bytes], call: Callable[..., T], *args: Any, **options: Any) -> T:
    """call(*args, **options), with any failure of the filesystem's own
    kind (no credentials, an endpoint that does not answer) as an OSError
    that names `url`, as is one of the filesystem's own OSErrors that
    carry no errno; a system error that names nothing (a connection reset)
    is given `url` as its file name."""
    try:
        return call(*args, **options)
    except OSError as error:
        if error.errno is None:
            raise _named(error, os.fsdecode(url)) from None
        if error.filename is None:
            error.filename = os.fsdecode(url)
        raise
    except RecordingReadError:
        raise
    except Exception as error:  # noqa: BLE001 - botocore's and others' own
        raise OSError(errno.EIO, one_line(error), os.fsdecode(url)) from None


class RemoteReader:
    """The binding's Reader for a recording at a URL: what a Recording
    reads through. Safe for reads from several threads at once."""

    def __init__(self, url: Union[str, bytes], options: Options = None) -> None:
        self.url = os.fsdecode(url)
        self._fs, self._path = filesystem(self.url, options)
        info = plainly(self.url, self._fs.info, self._path)
        self._size, self._tag = int(info["size"]), tag(info)
        head = plainly(self.url, heads, self._fs, [self._path], [self._size], [self._tag],
                       [self.url])[0]
        self._reader = _morvela.open_head(head, self._size, self.url)

    def header(self) -> Dict[str, Any]:
        return self._reader.header()

    def inputs(self) -> List[Tuple[bytes, bytes]]:
        return self._reader.inputs()

    def time_offsets(self, start: int, stop: int) -> np.ndarray:
        return self._reader.time_offsets(start, stop)

    def identity(self) -> Tuple[int, int, int, Optional[str], int]:
        """(0, 0, size, tag, 0): the object's size and ETag (or version) at
        the open, where a file has its device, inode, size and times."""
        return (0, 0, self._size, self._tag, 0)

    def read(self, start: int, stop: int, indices: Sequence[int],
             by_input: bool = False) -> np.ndarray:
        offset, length = self._reader.span(start, stop, indices)
        data = b""
        if indices and length:
            data = plainly(self.url, fetch, self._fs, [self._path], [offset],
                           [offset + length], [self._tag], [self.url])[0]
        return self._reader.read_span(data, start, stop, indices, by_input)


def read_blocks(urls: Sequence[str], identities: Sequence[Sequence[Any]], samples: Sequence[int],
                head: bytes, start: int, stop: int, fill_value: Optional[Union[int, float]],
                options: Options) -> np.ndarray:
    """Rows [start, stop) of every input of each recording at `urls`, as a
    recordings x rows x inputs block: one range an object, fetched at once.
    `head` is the first bytes of one of them (they are alike but for their
    rows, `samples`); rows past a recording's end are `fill_value`."""
    fs, _ = filesystem(urls[0], options)
    paths = [fs._strip_protocol(u) for u in urls]
    readers = [_morvela.open_head(with_samples(head, n), identity[2], url)
               for url, identity, n in zip(urls, identities, samples)]
    indices = list(range(readers[0].header()["inputs"]))
    ends = [min(stop, n) for n in samples]
    firsts = [min(start, end) for end in ends]
    spans = [reader.span(first, end, indices) for reader, first, end in zip(readers, firsts, ends)]
    data = plainly(urls[0], fetch, fs, paths, [o for o, _ in spans], [o + n for o, n in spans],
                   [identity[3] for identity in identities], urls)
    out: Optional[np.ndarray] = None
    for k, reader in enumerate(readers):
        values = reader.read_span(data[k], firsts[k], ends[k], indices)
        if out is None:
            out = np.full((len(urls), stop - start, len(indices)),
                          0 if fill_value is None else fill_value, dtype=values.dtype)
        out[k, :len(values)] = values
    assert out is not None  # there is a recording at least
    return out


# A conversion reads an object front to back in ranges of this many bytes.
RANGE_BYTES = 8 << 20


class RangeReader:
    """An object's bytes front to back, as it was when it was opened, in
    ranges of RANGE_BYTES: the `read` a conversion's stream calls."""

    def __init__(self, url: Union[str, bytes], options: Options = None) -> None:
        self.url = os.fsdecode(url)
        self._fs, self._path = filesystem(self.url, options)
        info = plainly(self.url, self._fs.info, self._path)
        self._size, self._tag = int(info["size"]), tag(info)
        self._at, self._view, self._pos = 0, memoryview(b""), 0

    def read(self, size: int) -> bytes:
        if self._pos == len(self._view) and self._at < self._size:
            end = min(self._size, self._at + max(size, RANGE_BYTES))
            self._view = memoryview(plainly(self.url, fetch, self._fs, [self._path],
                                            [self._at], [end], [self._tag], [self.url])[0])
            self._at, self._pos = end, 0
        out = bytes(self._view[self._pos:self._pos + size])
        self._pos += len(out)
        return out


def upload(url: Union[str, bytes], options: Options, write: Callable[[str, bytes], None],
           ready: Optional[Callable[[], None]] = None) -> None:
    """Writes a target with write(local path, temporary name) into a
    folder of its own, calls ready() if given, and uploads it to `url` as
    one object. On any failure or exception, an interrupt included, the
    upload is aborted (a multipart upload begun for the object too): the
    object is then absent, or its earlier version untouched."""
    fs, path = filesystem(url, options)
    folder = tempfile.mkdtemp(prefix="morvela-")
    local = os.path.join(folder, os.path.basename(os.fsdecode(url)))
    try:
        write(local, temporary_name(os.fsencode(local)))
        if ready is not None:
            ready()
        try:
            plainly(url, fs.put_file, local, path)
        except OSError as error:
            raise ExportError(error.strerror or one_line(error), url) from None
    except BaseException:
        _abort_uploads(fs, path)
        raise
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _abort_uploads(fs: Any, path: str) -> None:
    """Aborts every multipart upload under way to the object `path` of an
    S3 filesystem; nothing elsewhere, where an upload is one request."""
    if not _is_s3(fs):
        return
    bucket, key, _ = fs.split_path(path)
    try:
        found = fs.call_s3("list_multipart_uploads", Bucket=bucket, Prefix=key)
        for started in found.get("Uploads", []):
            if started["Key"] == key:
                fs.call_s3("abort_multipart_upload", Bucket=bucket, Key=key,
                           UploadId=started["UploadId"])
    except Exception:  # noqa: BLE001 - the store went meanwhile
        pass
