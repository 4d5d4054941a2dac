"""The text report of a recording, written in this process by the same C++
converter as the Morvela program's, with the GIL released meanwhile.

The report is written under a temporary name beside it and renamed when it
is complete: on any failure the report is absent, or its earlier version is
untouched. The report is never the recording itself."""

import os
from typing import Any, Callable, Dict, Optional, Union

from . import _morvela
from ._errors import (ExportError, NotRecordingError, RecordingMemoryError,
                      RecordingReadError, UnknownDataTypeError, one_line)
from ._paths import is_url, report_path, temporary_name, write_atomically
from ._recording import PathType
from ._remote import Options, RangeReader

# The Morvela program's verdict for each failed result, and the exception
# that stands for it here.
VERDICTS = {
    -1: ("Input file read error", RecordingReadError),
    -2: ("Output file write error", None),
    -4: ("Unknown data type", UnknownDataTypeError),
    -5: ("Memory allocation error", RecordingMemoryError),
    -6: ("Input file is not a transient recorder file", NotRecordingError),
}


def verdict(result: int, error: int = 0) -> str:
    """The Morvela program's verdict for `result`, with its exit status, and
    the system's words for the error number `error` where there is one:
    "Input file read error (255): No such file or directory"."""
    text = f"{VERDICTS[result][0]} ({result & 0xFF})"
    return f"{text}: {os.strerror(error)}" if error else text


class _Failed(Exception):
    def __init__(self, result: int, error: int) -> None:
        super().__init__(result, error)
        self.result, self.error = result, error


def convert(src: PathType, dst: Optional[PathType] = None, *,
            storage_options: Optional[Dict[str, Any]] = None) -> Union[str, bytes]:
    """Writes the Morvela report of a recording, byte for byte as the
    Morvela program writes it, apart from the run's date and time.

    Parameters
    ----------
    src : str, bytes or os.PathLike
        The recording.
    dst : str, bytes or os.PathLike, optional
        The report; by default the recording's file name up to its first
        "." with ".txt", in the recording's folder (a recording at a URL
        needs one). The report's run line names it as given.
    storage_options : dict, optional
        For a recording at a URL (see `morvela.open`): the filesystem's
        options.

    Returns
    -------
    str or bytes
        The report's path, as given or as named.

    Raises
    ------
    RecordingError
        When the recording cannot be converted: the exception for the
        Morvela program's status (its message ends with the program's
        verdict and status, such as "Input file read error (255)").
    ExportError
        When the report cannot be written (it is then absent, or its
        earlier version untouched), or would be the recording itself."""
    if dst is None and is_url(os.fspath(src)):
        raise ValueError(f"{os.fsdecode(os.fspath(src))}: a recording at a URL needs dst")
    dst = report_path(src) if dst is None else os.fspath(dst)
    convert_to(src, dst, dst, None, storage_options=storage_options)
    return dst


def convert_to(src: PathType, dst: PathType, shown: PathType, temporary: Optional[bytes],
               stop: Optional[Callable[[int], object]] = None,
               ready: Optional[Callable[[], None]] = None,
               storage_options: Options = None) -> None:
    """convert(), its run line naming `shown`, written under the name
    `temporary` (default: a new one beside `dst`). `stop`, if given, is
    called before each write of the report's bytes with the bytes of the
    recording read so far, and `ready` before the rename; either may raise
    to leave the report unwritten. A recording at a URL is read in ranges,
    with `storage_options`."""
    source, target = os.fsencode(os.fspath(src)), os.fsencode(os.fspath(dst))

    def unreadable(error: OSError) -> RecordingReadError:
        # The store's failure is the recording's read error, never the
        # report's write error.
        return RecordingReadError(f"{os.fsdecode(source)}: {verdict(-1)}: "
                                  f"{error.strerror or one_line(error)}", os.fspath(src))

    ranges = None
    if is_url(source):
        try:
            ranges = RangeReader(source, storage_options)
        except OSError as error:
            raise unreadable(error) from None
    elif os.path.exists(target) and os.path.samefile(target, source):
        raise ExportError("it is the recording itself", target)

    def read(size: int) -> bytes:
        assert ranges is not None
        try:
            return ranges.read(size)
        except OSError as error:
            raise unreadable(error) from None

    def write(fd: int) -> None:
        try:
            if ranges is not None:
                result, error = _morvela.convert_from(read, fd, os.fsencode(shown), stop)
            else:
                result, error = _morvela.convert(source, fd, os.fsencode(shown), stop)
        finally:
            os.close(fd)
        if result:
            raise _Failed(result, error)

    try:
        write_atomically(target, write, temporary or temporary_name(target), ready)
    except _Failed as failed:
        text = verdict(failed.result, failed.error)
        error_type = VERDICTS[failed.result][1]
        if error_type is None:
            raise ExportError(text, target) from None
        raise error_type(f"{os.fsdecode(source)}: {text}", os.fspath(src)) from None
    except OSError as error:
        raise ExportError(os.strerror(error.errno) if error.errno else str(error),
                          target) from None
