"""Where outputs go, and how a file is written so that its name never
holds a part of it: under a temporary name beside it, renamed when
complete."""

import os
import secrets


def output_path(source, directory, suffix):
    """Where an output of the recording `source` goes: in `directory`
    (default: the recording's own), named as the recording with `suffix`
    for its last one; spelled as `source` is, str or bytes."""
    source = os.fspath(source)
    raw = os.fsencode(source)
    stem = os.path.splitext(os.path.basename(raw))[0]
    folder = os.fsencode(directory) if directory is not None else os.path.dirname(raw)
    path = os.path.join(folder, stem + os.fsencode(suffix))
    return path if isinstance(source, bytes) else os.fsdecode(path)


def temporary_name(target, tag=None):
    """The temporary name, beside `target` (bytes), that an export writes
    before it renames: the target's own name cut so that the whole fits in
    the directory's longest name, with `tag` (random by default)."""
    directory, base = os.path.split(target)
    tag = tag or secrets.token_hex(4).encode()
    try:
        longest = os.pathconf(directory or b".", "PC_NAME_MAX")
    except (OSError, ValueError):
        longest = 255
    suffix = b"." + tag + b".part"
    room = max(0, longest - 1 - len(suffix))
    return os.path.join(directory, b"." + base[:room] + suffix)


def write_atomically(target, write, temporary, ready=None):
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
