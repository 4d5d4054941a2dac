"""Where outputs go, and how a file is written so that its name never
holds a part of it: under a temporary name beside it, renamed when
complete."""

import os
import secrets
from typing import Any, Callable, Optional, Union

Path = Union[str, bytes]


def is_url(path: Any) -> bool:
    """Whether `path` names an object of a filesystem other than the local
    one: a str or bytes with a scheme ("s3://..."), "file://" excepted."""
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not isinstance(path, str):
        return False
    scheme, sep, _ = path.partition("://")
    return bool(sep) and scheme.isidentifier() and scheme not in ("file", "local")


def _beside(source: Any, directory: Any, name: Callable[[bytes], bytes]) -> Path:
    """name(the recording's file name) in `directory` (default: the
    recording's own folder), spelled as `source` is, str or bytes."""
    source = os.fspath(source)
    raw = os.fsencode(source)
    folder = os.fsencode(directory) if directory is not None else os.path.dirname(raw)
    path = os.path.join(folder, name(os.path.basename(raw)))
    return path if isinstance(source, bytes) else os.fsdecode(path)


def output_path(source: Any, directory: Any, suffix: str) -> Path:
    """Where an output of the recording `source` goes: in `directory`
    (default: the recording's own), named as the recording with `suffix`
    for its last one; spelled as `source` is, str or bytes."""
    return _beside(source, directory,
                   lambda name: os.path.splitext(name)[0] + os.fsencode(suffix))


def report_path(source: Any, directory: Any = None) -> Path:
    """Where the text report of the recording `source` goes: in `directory`
    (default: the recording's own), named as Morvela names a report, by the
    recording's file name up to its first "." with ".txt"; a folder's name
    never shortens it. Spelled as `source` is, str or bytes."""
    return _beside(source, directory, lambda name: name.partition(b".")[0] + b".txt")


def temporary_name(target: bytes, tag: Optional[bytes] = None) -> bytes:
    """A new temporary name, beside `target` (bytes), that an output is
    written under before it is renamed: ".NAME.TAG-RANDOM.part", the
    target's own name cut so that the whole fits in the directory's longest
    name. `tag` (bytes without "." or "-") marks every attempt at one
    target, for attempt_tag."""
    directory, base = os.path.split(target)
    attempt = secrets.token_hex(4).encode()
    try:
        longest = os.pathconf(directory or b".", "PC_NAME_MAX")
    except (OSError, ValueError):
        longest = 255
    suffix = b"." + (tag + b"-" + attempt if tag else attempt) + b".part"
    room = max(0, longest - 1 - len(suffix))
    return os.path.join(directory, b"." + base[:room] + suffix)


def attempt_tag(name: bytes) -> Optional[bytes]:
    """The tag that temporary_name wrote into `name` (bytes): b"" where it
    was given none, None where temporary_name did not make the name."""
    if not (name.startswith(b".") and name.endswith(b".part")):
        return None
    return name[:-len(b".part")].rpartition(b".")[2].rpartition(b"-")[0]


def write_atomically(target: Any, write: Callable[[int], None], temporary: Any,
                     ready: Optional[Callable[[], None]] = None) -> None:
    """Calls write(fd) on a new file named `temporary` (beside `target`, of
    mode 0o666 less the umask), then `ready()` if given, then renames it to
    `target`. On any failure, or any exception from `write` or `ready`, the
    temporary file is removed and the exception raised again: `target` is
    then absent, or its earlier version untouched."""
    fd = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                 0o666)
    try:
        write(fd)
        if ready is not None:
            ready()
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
