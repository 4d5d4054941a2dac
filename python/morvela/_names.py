"""Names as every part of the package shows them: text as UTF-8 holds
it, repeated names made unique as pandas makes them, and "TimeOffset" kept
for the time column."""

from typing import Dict, Iterable, List, Protocol, Sequence, Union


class _Named(Protocol):
    @property
    def name(self) -> str: ...


class _WithInputs(Protocol):
    @property
    def inputs(self) -> Sequence[_Named]: ...


def utf8_text(text: str) -> str:
    """`text` as UTF-8 can hold it: a byte that is not UTF-8 (kept as a
    surrogate) becomes the replacement character."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def unique_names(names: Iterable[str]) -> List[str]:
    """Repeated names made unique as pandas.read_csv does: a repeated "a"
    becomes "a.1", then "a.2", skipping any name that the list holds."""
    names = list(names)
    taken = set(names)
    counts: Dict[str, int] = {}
    for i, name in enumerate(names):
        original = name
        count = counts.get(name, 0)
        while count > 0:
            counts[original] = count + 1
            name = f"{original}.{count}"
            count = count + 1 if name in taken else counts.get(name, 0)
        names[i] = name
        counts[name] = count + 1
    return names


def column_names_of(names: Iterable[str]) -> List[str]:
    """The column names of inputs named `names`: made unique, with
    "TimeOffset" taken by the time column (an input of that name becomes
    "TimeOffset.1")."""
    return unique_names(["TimeOffset", *names])[1:]


def column_names(inputs: Union[Iterable[_Named], _WithInputs]) -> List[str]:
    """The columns' names of a recording's inputs.

    Parameters
    ----------
    inputs : sequence of Input, or Recording
        The input records (`Recording.inputs`), or the recording itself.

    Returns
    -------
    list of str
        As the exports, `Recording.to_pandas` and the xarray engine name
        them: the names as UTF-8 text (U+FFFD for a byte that is not
        UTF-8), repeated ones made unique as pandas makes them ("a.1"),
        "TimeOffset" taken by the time column (an input of that name
        becomes "TimeOffset.1").
    """
    records: Iterable[_Named] = getattr(inputs, "inputs", inputs)  # type: ignore[arg-type]
    return column_names_of(utf8_text(i.name) for i in records)
