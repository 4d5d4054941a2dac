"""A batch of exports: each recording of a list written to Parquet or HDF5,
here, in worker processes or on a dask.distributed cluster, through one
loop that collects the outcomes, whichever runs them.

What the loop guarantees:
- Targets that two recordings would share are refused before anything is
  written; the other recordings go on.
- Paths are made absolute here, so that a worker with another working
  directory writes where the caller meant.
- A worker process that dies costs at most the recordings it held: the
  recordings in flight with it are exported again one at a time, each in a
  process of its own, and only one whose own process dies is lost.
- Every outcome is handed to `progress` as it arrives. An interrupt
  (KeyboardInterrupt) stops the workers, removes the batch's temporary
  files, and is raised again.
"""

import collections
import concurrent.futures
import contextlib
import os
import secrets
import signal
import threading
from concurrent.futures.process import BrokenProcessPool
from typing import NamedTuple, Optional, Union

from ._errors import RecordingError
from ._export import SUFFIXES, ExportError, _export, one_line, temporary_name
from ._recording import output_path

Path = Union[str, bytes]


class Outcome(NamedTuple):
    """What became of one recording of a batch. `source` and `target` are
    spelled as the caller spelled the source (str or bytes); `error` is
    None when the target was written, otherwise the reason, in one line."""

    source: Path
    target: Path
    error: Optional[str]


class WorkerError(Exception):
    """The batch has nothing to run on: worker processes cannot be
    started, or the scheduler cannot be reached."""


class _Task(NamedTuple):
    index: int
    source: bytes  # absolute
    target: bytes  # absolute
    temporary: bytes
    format: str


def targets(sources, directory=None, format="parquet"):  # noqa: A002
    """The target of each source: in `directory` (default: the source's
    own), named as the source with the format's suffix for its last one;
    each spelled as its source is (str or bytes)."""
    return [output_path(source, directory, SUFFIXES[format]) for source in sources]


def _collisions(sources, shown):
    """For each index whose target another source shares, the reason it is
    refused."""
    groups = collections.defaultdict(list)
    for index, target in enumerate(shown):
        raw = os.fsencode(target)
        folder = os.path.realpath(os.path.dirname(os.path.abspath(raw)))
        groups[(folder, os.path.basename(raw))].append(index)
    refused = {}
    for indices in groups.values():
        if len(indices) > 1:
            names = ", ".join(os.fsdecode(os.fspath(sources[i])) for i in indices)
            reason = (f"refused: {names} would all be written to "
                      f"{os.fsdecode(shown[indices[0]])}")
            refused.update((i, reason) for i in indices)
    return refused


def _export_task(source, target, temporary, format):  # noqa: A002
    """Runs in the worker: None when `target` was written, otherwise
    (reason, whether the target could not be written), the reason one line
    that names neither path (the worker sees them absolute)."""
    try:
        _export(source, target, format, None, temporary)
    except RecordingError as error:
        text = one_line(error)
        prefix = f"{os.fsdecode(os.fspath(error.path))}: " if error.path else ""
        return (text[len(prefix):] if text.startswith(prefix) else text), False
    except ExportError as error:
        return error.reason, True
    except OSError as error:
        return one_line(error.strerror or error), False
    except Exception as error:  # noqa: BLE001 - one bad file stops no other
        return f"{type(error).__name__}: {one_line(error)}", False
    return None


def _worker_start():
    # An interrupt is the batch's to handle: the workers are stopped by it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


class _Here(concurrent.futures.Executor):
    """Runs each task in this process, as it is submitted."""

    def submit(self, fn, /, *args, **kwargs):
        future = concurrent.futures.Future()
        future.set_result(fn(*args, **kwargs))
        return future


def _processes(count):
    def start():
        return concurrent.futures.ProcessPoolExecutor(
            max_workers=count, initializer=_worker_start)
    return start


def _stop(executor):
    """Stops `executor` at once: queued tasks cancelled, worker processes
    ended."""
    # The pool keeps its processes to itself (and forgets them on
    # shutdown); a batch that is interrupted must not leave them working.
    processes = list((getattr(executor, "_processes", None) or {}).values())
    executor.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        if process.is_alive():
            process.terminate()
    for process in processes:
        process.join()


class _HeldSignals:
    """SIGINT and SIGTERM held while the batch waits on its workers, and
    handed to the handlers they had at a point where raising is safe: an
    exception raised inside the wait's lock leaves the lock broken."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __enter__(self):
        self.pending = None
        self.previous = {}
        if threading.current_thread() is threading.main_thread():
            for signum in self.SIGNALS:
                self.previous[signum] = signal.signal(signum, self._hold)
        return self

    def _hold(self, signum, frame):
        self.pending = self.pending or signum

    def deliver(self):
        """Calls the handler of a signal that arrived, if any (the default
        handler of SIGINT raises KeyboardInterrupt)."""
        signum, self.pending = self.pending, None
        if signum is None:
            return
        handler = self.previous.get(signum)
        self.__exit__()
        if callable(handler):
            handler(signum, None)
        elif handler == signal.SIG_DFL:
            signal.raise_signal(signum)

    def __exit__(self, *exc):
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)
        self.previous = {}


def _remove(paths):
    for path in paths:
        try:
            os.unlink(path)
        except OSError:
            pass


def _run(tasks, start, window, finish, client=None):
    """Runs `tasks` on executors made by `start`, at most `window` in
    flight, and hands each result to finish(task, error). Returns the tasks
    whose worker process died with them in flight."""
    pending = collections.deque(tasks)
    in_flight = {}
    died = []
    executor = None
    # Tasks run here take an interrupt where it falls; a pool or a cluster
    # is waited on, and takes it between waits.
    held = None if start is _Here else _HeldSignals()
    try:
        with held or contextlib.nullcontext():
            executor = start()
            while pending or in_flight:
                broken = False
                while pending and len(in_flight) < window:
                    task = pending.popleft()
                    try:
                        future = executor.submit(_export_task, *task[1:])
                    except BrokenProcessPool:
                        pending.appendleft(task)
                        broken = True
                        break
                    except OSError as error:
                        raise WorkerError(
                            f"cannot start worker processes: {one_line(error)}") from None
                    in_flight[future] = task
                done, _ = concurrent.futures.wait(
                    in_flight, timeout=0.25,
                    return_when=concurrent.futures.FIRST_COMPLETED)
                if held is not None:
                    held.deliver()
                broken = broken or any(
                    not f.cancelled() and isinstance(f.exception(), BrokenProcessPool)
                    for f in done)
                if broken:
                    # The pool is gone: every task in flight has its end now.
                    done = concurrent.futures.wait(in_flight).done
                for future in done:
                    task = in_flight.pop(future)
                    try:
                        error = future.result()
                    except BrokenProcessPool:
                        died.append(task)
                        continue
                    except concurrent.futures.CancelledError:
                        error = ("not confirmed: the connection to the scheduler "
                                 "was lost" if client is not None and
                                 client.status != "running" else
                                 "not confirmed: the cluster cancelled the export")
                    except Exception as failure:  # noqa: BLE001 - a lost worker
                        error = (f"not confirmed: {type(failure).__name__}: "
                                 f"{one_line(failure)}")
                    finish(task, error)
                if broken:
                    _stop(executor)
                    _remove(task.temporary for task in died)
                    executor = start()
                elif client is not None and client.status != "running" and not done:
                    for task in in_flight.values():
                        finish(task, "not confirmed: the connection to the "
                                     "scheduler was lost")
                    for task in pending:
                        finish(task, "not exported: the connection to the "
                                     "scheduler was lost")
                    in_flight.clear()
                    pending.clear()
            executor.shutdown(wait=True)
    except BaseException:
        if executor is not None:
            for future in in_flight:
                future.cancel()
            _stop(executor)
        _remove(task.temporary for task in in_flight.values())
        raise
    return died


def export_batch(sources, directory=None, format="parquet", *,  # noqa: A002
                 jobs=1, client=None, progress=None):
    """Exports each recording of `sources` (str, bytes or os.PathLike) to
    `format`, into `directory` (default: each recording's own folder), the
    target named as `targets` names it. One bad recording stops no other.

    `jobs`: worker processes, never more than recordings (1: in this
    process). `client`: a distributed.Client to run the exports on instead.
    `progress`, if given, is called with each Outcome as it arrives.

    Returns the Outcomes in the order of `sources`. Raises WorkerError when
    no worker process can be started; on KeyboardInterrupt the workers are
    stopped and the batch's temporary files removed before it is raised
    again (the outcomes so far were handed to `progress`)."""
    if format not in SUFFIXES:
        raise ValueError(f"unknown format {format!r}: parquet or hdf5")
    sources = [os.fspath(source) for source in sources]
    shown = targets(sources, directory, format)
    outcomes = [None] * len(sources)

    def finish(task, error):
        if isinstance(error, tuple):
            reason, writing = error
            error = (f"cannot write {os.fsdecode(shown[task.index])}: {reason}"
                     if writing else reason)
        outcome = Outcome(sources[task.index], shown[task.index], error)
        outcomes[task.index] = outcome
        if progress is not None:
            progress(outcome)

    tag = secrets.token_hex(4)
    tasks = []
    refused = _collisions(sources, shown)
    for index, source in enumerate(sources):
        target = os.path.abspath(os.fsencode(shown[index]))
        task = _Task(index, os.path.abspath(os.fsencode(source)), target,
                     temporary_name(target, f"{tag}-{index}".encode()), format)
        if index in refused:
            finish(task, refused[index])
        else:
            tasks.append(task)
    if not tasks:
        return outcomes
    if client is not None:
        def start():
            return client.get_executor(pure=False)
        died = _run(tasks, start, len(tasks), finish, client)
    elif jobs > 1 and len(tasks) > 1:
        died = _run(tasks, _processes(min(jobs, len(tasks))), min(jobs, len(tasks)), finish)
    else:
        died = _run(tasks, _Here, 1, finish)
    # The tasks in flight when a worker process died, one at a time, each in
    # a process of its own: only one that takes its own process down is lost.
    for task in died:
        for lost in _run([task], _processes(1), 1, finish):
            finish(lost, "the worker process exporting it died")
    return outcomes
