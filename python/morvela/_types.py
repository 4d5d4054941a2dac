"""The types that the package's signatures share."""

import os
from typing import Sequence, Union

# A file's path as the OS takes it, or a URL ("s3://bucket/key").
PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# Inputs chosen by index or name: one, a list, or a slice of indices; None
# for all.
InputSelection = Union[None, int, str, slice, Sequence[Union[int, str]]]
