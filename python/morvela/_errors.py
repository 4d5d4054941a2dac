"""The package's exceptions. The binding (_morvela) raises them by name."""

import os
from typing import Any, Optional


def one_line(error: object) -> str:
    """An error's text on one line."""
    return " ".join(str(error).split()) or type(error).__name__


class RecordingError(Exception):
    """A recording that cannot be read; `status` is the Morvela program's
    exit status for the same file (a negative number: -1 read error, -4
    unknown data type, -5 memory, -6 not a recording); `path` names it."""

    status = -1

    def __init__(self, message: str, path: Any = None) -> None:
        super().__init__(message)
        self.path = path


class RecordingReadError(RecordingError):
    """The file is shorter than its header says, or a read failed."""

    status = -1


class RowClaimError(RecordingReadError, ValueError):
    """The header claims more rows than the file can hold, where they cannot
    be given lazily (a time index for open_mfdataset, or an xarray without
    computed coordinates)."""


class TruncatedRecordingError(RecordingReadError):
    """The sample block ends before the rows asked for; `row` is the first
    row that is not in the file."""

    def __init__(self, message: str, path: Any = None, row: Optional[int] = None) -> None:
        super().__init__(message, path)
        self.row = row


class UnknownDataTypeError(RecordingError):
    """The data type name is none of the eight, or a "float" or "double"
    field is narrower than the type."""

    status = -4


class RecordingMemoryError(RecordingError, MemoryError):
    """The input table or a buffer cannot be held in memory."""

    status = -5


class NotRecordingError(RecordingError):
    """The file does not begin with the recorder's magic "KIV"."""

    status = -6


class ReportError(ValueError):
    """Text that is not a complete Morvela report; the message names the
    line."""


class ExportError(Exception):
    """An output (an export or a report) that could not be completed;
    nothing was left under the target's name. The message is one line:
    "cannot write TARGET: REASON", or REASON alone where there is no
    target; `reason` holds REASON."""

    def __init__(self, reason: str, target: Any = None) -> None:
        super().__init__(f"cannot write {os.fsdecode(target)}: {reason}"
                         if target is not None else reason)
        self.reason = reason


class WorkerError(Exception):
    """A batch has nothing to run on: worker processes cannot be started,
    or the scheduler cannot be reached."""
