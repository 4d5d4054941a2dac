"""A preview plot of a recording, drawn as a min/max envelope per pixel."""

from typing import TYPE_CHECKING, Any, Iterator, List, Optional, Protocol, Sequence, Tuple

import numpy as np

from ._names import utf8_text

from ._types import InputSelection

if TYPE_CHECKING:
    import matplotlib.figure


class Recording(Protocol):
    """What a plot reads of a morvela.Recording."""

    @property
    def header(self) -> Any: ...
    @property
    def inputs(self) -> Sequence[Tuple[str, str]]: ...
    @property
    def value_dtype(self) -> np.dtype: ...

    def __len__(self) -> int: ...
    def input_indices(self, inputs: InputSelection) -> List[int]: ...
    def time_offsets(self, start: Optional[int], stop: Optional[int]) -> np.ndarray: ...
    def read(self, start: Optional[int], stop: Optional[int],
             inputs: InputSelection) -> np.ndarray: ...
    def chunks(self, rows: int, start: Optional[int], stop: Optional[int],
               inputs: InputSelection) -> Iterator[Tuple[np.ndarray, np.ndarray]]: ...


def envelope(recording: Recording, bins: int, start: Optional[int] = 0,
             stop: Optional[int] = None, inputs: InputSelection = None
             ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The minimum and maximum of each input over `bins` (or fewer) runs of
    equal length of rows [start, stop), read in blocks so that memory stays
    flat. Returns (times, minima, maxima): the time of each run's first row
    and two arrays of runs x inputs. Every value lies in its run, so the
    extremes of the whole range are kept exactly."""
    start, stop, _ = slice(start, stop).indices(len(recording))
    stop = max(start, stop)
    indices = recording.input_indices(inputs)
    row_count = stop - start
    per_bin = max(1, -(-row_count // max(1, bins)))
    count = -(-row_count // per_bin)
    minima = np.empty((count, len(indices)), dtype=recording.value_dtype)
    maxima = np.empty_like(minima)
    times = np.empty(count, dtype=np.float64)
    # Whole runs a block, about 8 million values.
    block = per_bin * max(1, (8 << 20) // max(1, per_bin * len(indices)))
    at = 0
    for offsets, values in recording.chunks(block, start, stop, indices):
        n = len(values)
        runs = -(-n // per_bin)
        times[at : at + runs] = offsets[::per_bin]
        whole = n // per_bin
        if whole:
            grouped = values[: whole * per_bin].reshape(whole, per_bin, -1)
            minima[at : at + whole] = grouped.min(axis=1)
            maxima[at : at + whole] = grouped.max(axis=1)
        if n % per_bin:
            minima[at + whole] = values[whole * per_bin :].min(axis=0)
            maxima[at + whole] = values[whole * per_bin :].max(axis=0)
        at += runs
    return times, minima, maxima


def plot(recording: Recording, path: Any = None, *, start: Optional[int] = 0,
         stop: Optional[int] = None, inputs: InputSelection = None, width: int = 1600,
         panel_height: int = 160, dpi: int = 100) -> "matplotlib.figure.Figure":
    """One panel per input on a shared time axis in seconds, the trigger
    instant marked, units on the axes. A range longer than the plot is wide
    is drawn as its min/max envelope per horizontal pixel, so that no spike
    is lost. Saves the figure to `path` when given; returns it."""
    import matplotlib.pyplot as plt

    indices = recording.input_indices(inputs)
    start, stop, _ = slice(start, stop).indices(len(recording))
    stop = max(start, stop)
    count = max(1, len(indices))
    fig, axes = plt.subplots(
        count, 1, sharex=True, squeeze=False,
        figsize=(width / dpi, (panel_height * count + 120) / dpi), dpi=dpi)
    axes = axes[:, 0]
    h = recording.header
    title = utf8_text(h.block_name)
    if h.trigger_time is not None:
        title += f", trigger {h.trigger_time:%Y-%m-%d %H:%M:%S.%f} UTC"
    fig.suptitle(title)
    pixels = int(width * 0.8)
    if stop - start > 2 * pixels:
        times, low, high = envelope(recording, pixels, start, stop, indices)
    else:
        times = recording.time_offsets(start, stop)
        low = high = recording.read(start, stop, indices)
    for k, (ax, c) in enumerate(zip(axes, indices)):
        name, unit = recording.inputs[c]
        if low is high:
            ax.plot(times, low[:, k], linewidth=0.8)  # pragma: no mutate
        else:
            ax.fill_between(times, low[:, k], high[:, k], step="post",  # pragma: no mutate block
                            linewidth=0.6, edgecolor="C0", facecolor="C0")
        if len(times) and times[0] <= 0 <= times[-1]:
            ax.axvline(0.0, color="C3", linewidth=0.8)  # pragma: no mutate
        ax.set_ylabel(utf8_text(f"{name} [{unit}]" if unit else name))
        ax.grid(True, linewidth=0.3)  # pragma: no mutate
    if len(times) and times[0] <= 0 <= times[-1]:
        axes[0].annotate("trigger", xy=(0, 1), xycoords=("data", "axes fraction"),  # pragma: no mutate block
                         xytext=(3, -10), textcoords="offset points", color="C3")
    axes[-1].set_xlabel("time from trigger [s]")
    # Line widths, colours, offsets and margins are styling, which the plot
    # does not promise; they are marked as such for mutation testing.
    # Fixed margins in pixels (a computed layout costs more than the data),
    # held to a share of a small figure so that some of it is left to draw.
    height = panel_height * count + 120  # pragma: no mutate
    fig.subplots_adjust(left=min(90 / width, 0.3), right=max(1 - 20 / width, 0.9),  # pragma: no mutate block
                        top=max(1 - 70 / height, 0.7), bottom=min(60 / height, 0.25),
                        hspace=0.15)
    if path is not None:
        fig.savefig(path)
    return fig
