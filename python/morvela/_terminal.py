"""Names as a terminal may show them. A recording's file name or an input's
name may hold any byte: an escape sequence would clear the screen or
retitle the window, a line break would split a line in two, and a byte
that the output's encoding cannot take would fail the whole write. The
command line shows every name through `quoted` (standard output) or
`escaped` (a line of standard error)."""

import os
from typing import Any, Union

# Control characters with a C escape of their own; the rest as octal bytes.
_NAMED = {"\a": "\\a", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\v": "\\v",
          "\f": "\\f", "\r": "\\r", "\x1b": "\\033"}


def encoding_of(stream: Any) -> str:
    """The encoding of `stream` (UTF-8 where it names none)."""
    return getattr(stream, "encoding", None) or "utf-8"


def _unsafe(char: str, encoding: str) -> bool:
    """Whether `char` cannot go to a terminal as it is: a control character
    (C0, DEL, C1), a byte that is not UTF-8 (as os.fsdecode keeps it), or
    one that `encoding` cannot take."""
    code = ord(char)
    if code < 0x20 or 0x7F <= code < 0xA0 or 0xD800 <= code < 0xE000:
        return True
    try:
        char.encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return True
    return False


def _escape(char: str) -> str:
    if char in _NAMED:
        return _NAMED[char]
    code = ord(char)
    data = bytes([code - 0xDC00]) if 0xDC80 <= code < 0xDD00 else \
        char.encode("utf-8", "surrogatepass")
    return "".join(f"\\{byte:03o}" for byte in data)


def quoted(name: Union[str, bytes], encoding: str) -> str:
    """`name` (str or bytes) unchanged where every character is safe in
    `encoding`; otherwise quoted as GNU ls quotes it, $'...' with C escapes
    and octal bytes: $'wipe\\033[2J.parquet'."""
    text = os.fsdecode(name)
    if not any(_unsafe(char, encoding) for char in text):
        return text
    return "$'" + "".join(_escape(char) if _unsafe(char, encoding)
                          else "\\" + char if char in "\\'" else char
                          for char in text) + "'"


def escaped(text: str, encoding: str) -> str:
    """`text` with each unsafe character written as its escape, the rest
    unchanged: a line that names anything stays one line of text."""
    return "".join(_escape(char) if _unsafe(char, encoding) else char
                   for char in text)
