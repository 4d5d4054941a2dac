"""A batch: each recording of a list converted to its text report, or
exported to Parquet or HDF5 (the batch's two jobs), here, in worker
processes or on a dask.distributed cluster (its three places), through one
loop that collects the outcomes, whichever place runs them.

What the loop guarantees:
- Targets that two recordings would share are refused before anything is
  written; the other recordings go on. A file that is not a recording
  fails on its own. One recording named twice (the same file to the same
  target) is written once.
- Paths are made absolute here, so that a worker with another working
  directory writes where the caller meant.
- Each attempt at a task writes a temporary name of its own; the
  temporary files of attempts that died are removed.
- A worker process that dies costs at most the recordings it held: the
  recordings in flight with it run again one at a time, each in a
  process of its own, and only one whose own process dies is lost. Worker
  processes end with the process that started them.
- Every outcome is handed to `progress` as it arrives. SIGINT, SIGTERM
  and SIGHUP (on the main thread) stop the tasks in flight; every target
  complete on disk is handed to `progress` before the signal is passed on, and no
  temporary file is left.
"""

import collections
import concurrent.futures
import contextlib
import multiprocessing
import os
import secrets
import signal
import socket
import threading
from concurrent.futures.process import BrokenProcessPool
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterable, List,
                    NamedTuple, Optional, Sequence, Set, Tuple, Union, cast)

from . import _morvela
from ._convert import convert_to
from ._errors import ExportError, RecordingError, WorkerError
from ._export import (SUFFIXES, Kind, check_options, export_to, kind_of, one_line,
                      parquet_kind)
from ._names import utf8_text
from ._paths import attempt_tag, is_url, output_path, report_path, temporary_name
from ._recording import Recording
from ._remote import Options, StorageOptions, upload, wrapped

if TYPE_CHECKING:
    import multiprocessing.sharedctypes

    import distributed

    from ._types import PathType

Path = Union[str, bytes]

# What a task comes to: None for a target written, else the reason (with,
# from _run_task, whether the target could not be written).
Result = Union[None, str, Tuple[str, bool]]
Future = concurrent.futures.Future

# How long a cluster's tasks in flight are waited for after a stop.
STOP_SECONDS = 60


class Outcome(NamedTuple):
    """What became of one recording of a batch.

    Attributes
    ----------
    source : str or bytes
        The recording, as the caller named it.
    target : str or bytes
        Its report or export, spelled as `source` is.
    error : str or None
        None when the target was written; otherwise the reason, in one
        line.
    """

    source: Path
    target: Path
    error: Optional[str]


def _probe(address: str, timeout: float) -> None:
    """Raises WorkerError unless what listens at the TCP `address` speaks
    first within `timeout` seconds, as a scheduler does: a port that takes
    the connection and stays silent, or a web server, costs no longer."""
    scheme, _, rest = address.rpartition("://")
    if scheme not in ("", "tcp"):
        return
    host, _, port = rest.rpartition(":")
    try:
        with socket.create_connection((host.strip("[]"), int(port)),
                                      timeout=timeout) as connection:
            if not connection.recv(1):
                raise OSError("it closed the connection")
    except socket.timeout:
        raise WorkerError(f"cannot reach the scheduler at {address}: no "
                         f"answer within {timeout:g} s") from None
    except OSError as error:
        raise WorkerError(f"cannot reach the scheduler at {address}: "
                         f"{one_line(error)}") from None


def connect(address: str, timeout: float) -> "distributed.Client":
    """A distributed.Client of the scheduler at `address` (HOST:PORT or
    tcp://HOST:PORT), connected within about `timeout` seconds; WorkerError
    when it cannot be reached."""
    _probe(address, timeout)
    try:
        import dask
        import distributed
    except ImportError as error:
        raise WorkerError(f"--scheduler needs dask.distributed "
                         f"(pip install 'morvela[xarray]'): {error}") from None

    class Client(distributed.Client):
        # One that fails to start is closed: at exit it would try to close
        # again, and print the traceback of its failure to.
        def start(self, **options: Any) -> None:
            try:
                super().start(**options)
            except BaseException:
                self.status = "closed"
                raise

    try:
        with dask.config.set({"distributed.comm.timeouts.connect": timeout}):
            return Client(address, timeout=timeout, set_as_default=False)
    except Exception as error:  # noqa: BLE001 - any reason is one line
        raise WorkerError(f"cannot reach the scheduler at {address}: "
                         f"{one_line(error)}") from None


def kinds_of(sources: Iterable[Path], storage_options: Options = None) -> List[Optional[Kind]]:
    """The Kind of each source's Parquet export, or None where the
    recording cannot be read or is shortened (its export then fails with
    the reason)."""
    kinds: List[Optional[Kind]] = []
    for source in sources:
        try:
            with Recording(source, storage_options) as rec:
                rec.check_decodable()
                # A shortened recording's export fails: it adds no kind.
                whole = rec.complete_rows >= rec.header.samples
                kinds.append(kind_of(rec) if whole else None)
        except (RecordingError, OSError, ValueError):
            kinds.append(None)
    return kinds


def mixed_kinds(shown: Sequence[Path], kinds: Sequence[Optional[Kind]]) -> List[Tuple[str, str]]:
    """(folder, what it would mix) for each folder that would hold Morvela
    Parquet of more than one kind: the recordings' targets `shown` with their `kinds`, and
    the files of ours already there that the batch does not replace."""
    folders: Dict[bytes, Dict[Kind, bool]] = collections.defaultdict(dict)  # kind: already there
    spelled: Dict[bytes, str] = {}
    ours: Set[bytes] = set()
    for target, kind in zip(shown, kinds):
        raw = os.path.abspath(os.fsencode(target))
        folder = os.path.realpath(os.path.dirname(raw))
        spelled.setdefault(folder, os.path.dirname(os.fsdecode(target)) or ".")
        ours.add(os.path.join(folder, os.path.basename(raw)))
        if kind is not None:
            folders[folder].setdefault(kind, False)
    lines = []
    for folder, found in folders.items():
        for kind in _kinds_there(folder, ours):
            found.setdefault(kind, True)
        if len(found) > 1:
            listed = "; ".join(f"{said}{' (already there)' if there else ''}"
                               for said, there in zip(_told_apart(list(found)),
                                                      found.values()))
            lines.append((spelled[folder], f"Parquet of {len(found)} kinds in one folder, "
                                           f"which a folder reader takes as one table: {listed}"))
    return lines


def _kinds_there(folder: bytes, ours: Set[bytes]) -> List[Kind]:
    """The kind of each Morvela Parquet file in `folder` that is not one
    of `ours`."""
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        names = []
    paths = (os.path.join(folder, n) for n in names if n.endswith(b".parquet"))
    kinds = (parquet_kind(p) for p in paths if p not in ours)
    return [kind for kind in kinds if kind is not None]


def _told_apart(kinds: List[Kind]) -> List[str]:
    """Each of `kinds` by what tells it from the others: its data type,
    and where they differ the number of inputs, or else the names or the
    units from the first that differs on."""
    counts = len({len(kind.columns) for kind in kinds}) > 1
    said = []
    for kind in kinds:
        parts = [utf8_text(kind.data_type)]
        if counts:
            parts.append(f"{len(kind.columns) or 'no'} inputs")
        for field in ("columns", "units") if not counts else ():
            values = [getattr(other, field) for other in kinds]
            if len(set(values)) > 1:
                at = next(i for i in range(len(values[0]))
                          if len({v[i] for v in values}) > 1)
                parts.append(f"{'inputs' if field == 'columns' else field} "
                             f"{'..., ' if at else ''}{', '.join(getattr(kind, field)[at:at + 3])}")
        said.append(", ".join(parts))
    return said


def _inode(path: Any) -> Optional[Tuple[int, int]]:
    """The device and inode of the file at `path`, or None."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def _file(path: Any) -> Union[Tuple[int, int], bytes]:
    """What names one file: its device and inode, or where it cannot be
    read, its resolved path."""
    return _inode(path) or os.path.realpath(os.fsencode(path))


def _remove_attempts(tasks: Iterable[Tuple[bytes, bytes]]) -> None:
    """Removes the temporary files of every attempt at `tasks` (each a
    (target, tag) pair)."""
    folders: Dict[bytes, Set[bytes]] = collections.defaultdict(set)
    for target, tag in tasks:
        folders[os.path.dirname(target)].add(tag)
    for folder, tags in folders.items():
        try:
            names = os.listdir(folder or b".")
        except OSError:
            continue
        for name in (n for n in names if attempt_tag(n) in tags):
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(folder, name))


class _Cancelled(Exception):
    """The batch was stopped while this export ran."""


class _Stopped(BaseException):
    """SIGTERM in a worker process in the middle of an export."""


_busy = False  # in a worker process: an export is under way


class _Task(NamedTuple):
    number: int  # its place in the batch's sources
    source: bytes  # absolute
    target: bytes  # absolute
    tag: bytes  # in the temporary name of every attempt at it
    job: str  # "report", "parquet" or "hdf5"
    shown: bytes  # the target as printed: a report's run line names it
    compression: Optional[str]  # Parquet's codec; None: the type's default
    options: Optional[StorageOptions]  # for a source at a URL


def _not_done(job: str) -> str:
    """How a task of `job` that did not run is said: "not converted"."""
    return "not converted" if job == "report" else "not exported"


def _run_task(source: bytes, target: bytes, tag: bytes, job: str, shown: bytes,
              compression: Optional[str], options: Optional[StorageOptions],
              stop: Optional[Callable[[], bool]] = None) -> Result:
    """Runs where the task runs: None when `target` was written, otherwise
    (reason, whether the target could not be written), the reason one line
    that names neither path (the worker sees them absolute). `stop`, if
    given, is asked between blocks and before the rename whether the batch
    was stopped (or raises itself). The bytes of the recording read are
    added to `_read` meanwhile, and taken away again when it ends."""
    global _busy
    counted = _Counted(source)

    def check(*_: Any) -> None:
        if stop is not None and stop():
            raise _Cancelled()

    def read_rows(done: int, row_count: int) -> None:
        counted.to(counted.size * done // max(row_count, 1))
        check()

    def read_bytes(done: int) -> None:
        counted.to(done)
        check()

    watched = stop is not None or _read is not None

    def write(to: Any, temporary: bytes) -> None:
        if job == "report":
            convert_to(source, to, shown, temporary, read_bytes if watched else None,
                       stop and check, options)
        else:
            export_to(source, to, job, read_rows if watched else None, temporary,
                      stop and check, compression, options)

    try:
        _busy = True
        if is_url(target):
            upload(target, options, write, stop and check)
        else:
            write(target, temporary_name(target, tag))
    except _Stopped:
        os._exit(128 + signal.SIGTERM)  # its temporary file is removed
    except _Cancelled:
        return f"{_not_done(job)}: the batch was stopped", False
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
    finally:
        _busy = False
        counted.to(0)
    return None


# Where the task runs: the bytes read by the tasks in flight there, shared
# with the batch (a multiprocessing.Value), or None.
_read: Optional["multiprocessing.sharedctypes.Synchronized[int]"] = None


class _Counted:
    """The bytes of one recording that a task has added to `_read`."""

    def __init__(self, source: bytes) -> None:
        self.done = 0
        try:
            self.size = os.stat(source).st_size if _read is not None else 0
        except OSError:
            self.size = 0

    def to(self, done: int) -> None:
        if _read is not None and done != self.done:
            with _read.get_lock():
                _read.value += done - self.done
            self.done = done


def _worker_terminated(signum: int, frame: Any) -> None:
    if _busy:
        raise _Stopped()
    os._exit(128 + signum)


def _worker_start(parent: Optional[int],
                  read: Optional["multiprocessing.sharedctypes.Synchronized[int]"]) -> None:
    global _read
    _read = read
    # An interrupt, or the terminal's hang-up, is the batch's to handle: the
    # workers are stopped by it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _worker_terminated)
    # A worker ends with the process that started it, however that ends.
    try:
        import ctypes

        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass
    # Forked by this process (`parent`), or by a fork server (None), which
    # ends with this process in turn.
    if parent is not None and os.getppid() != parent:
        os._exit(128 + signal.SIGTERM)


class _Signalled(BaseException):
    """A signal that the batch held, to be handed on once it has stopped."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _HeldSignals:
    """SIGINT, SIGTERM and SIGHUP held while the batch runs (on the main thread
    only: elsewhere they are the caller's), and raised as _Signalled where
    `take` is called: an exception raised anywhere would break a lock or
    leave a file half-made."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __enter__(self) -> "_HeldSignals":
        self.pending: Optional[int] = None
        self.previous: Dict[int, Any] = {}
        if threading.current_thread() is threading.main_thread():
            for signum in self.SIGNALS:
                if signal.getsignal(signum) != signal.SIG_IGN:
                    self.previous[signum] = signal.signal(signum, self._hold)
        return self

    def _hold(self, signum: int, frame: Any) -> None:
        self.pending = self.pending or signum

    def take(self) -> bool:
        """Raises _Signalled if a signal arrived; returns False otherwise."""
        if self.pending is not None:
            raise _Signalled(self.pending)
        return False

    def __exit__(self, error_type: Any, error: Optional[BaseException], trace: Any) -> bool:
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)
        self.previous = {}
        if isinstance(error, _Signalled):
            # Handed to the handler the signal had before the batch.
            handler = signal.getsignal(error.signum)
            if callable(handler):
                handler(error.signum, None)
            elif handler == signal.SIG_DFL:
                signal.raise_signal(error.signum)
            return True  # ignored
        return False


def _fresh_context() -> multiprocessing.context.BaseContext:
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["morvela._batch"])
    return context


# The result of a task whose worker process died under it.
_DIED = "the worker process died"


class _Place:
    """Where the tasks of a batch run: this process, worker processes or a
    dask.distributed cluster. The loop's contract with a place:

    - `start()` before the first task, `close()` once the last has ended;
    - `submit(task)` while `room()`: the task starts (or, at a place that
      cannot run it, ends at once with the reason);
    - `results(timeout)`: each task that ended since, with its result, after
      waiting up to `timeout` seconds for one; a result is None for a target
      written, otherwise the reason (see _run_task). A place settles its own
      failures into results: no task stays in flight for ever;
    - `stop()`: ends every task in flight, so that none writes after it
      returns; the tasks it ended are then neither written nor settled,
      and `abandon()` says which of them left a complete target on disk.
    """

    window = 1

    def __init__(self) -> None:
        self._futures: Dict[Future, _Task] = {}  # in flight
        self._ready: List[Tuple[_Task, Result]] = []  # settled outside `results`
        # The file under each target's name at its start.
        self._before: Dict[_Task, Optional[Tuple[int, int]]] = {}
        self._current: Optional[_Task] = None  # the task being submitted

    def start(self) -> None:
        pass

    def close(self) -> None:
        pass

    def stop(self) -> None:
        pass

    def room(self) -> bool:
        return len(self._futures) < self.window

    def busy(self) -> bool:
        return bool(self._futures or self._ready)

    def submit(self, task: _Task) -> None:
        self._before[task] = _inode(task.target)
        self._current = task
        self._futures[self._start(task)] = task
        self._current = None

    def results(self, timeout: float) -> List[Tuple[_Task, Result]]:
        ended, self._ready = self._ready, []
        done = concurrent.futures.wait(
            self._futures, timeout=0 if ended else timeout,
            return_when=concurrent.futures.FIRST_COMPLETED).done
        return ended + [(self._futures.pop(future), self._settle(future))
                        for future in done]

    def abandon(self) -> List[_Task]:
        """Stops the place; returns the tasks in flight that wrote their
        target all the same (a complete file under its name, new since the
        task began). Every attempt's temporary file is removed."""
        self.stop()
        unsettled: List[Tuple[Optional[Future], _Task]] = [
            *self._futures.items(), *([(None, self._current)] if self._current else [])]
        written = []
        for future, task in unsettled:
            if future is not None and future.done() and not future.cancelled():
                result = self._settle(future)
            else:  # stopped or died under way: it may have renamed its file all the same
                result = _DIED
            if result is None or (result is _DIED and
                                  _inode(task.target) not in (self._before[task], None)):
                written.append(task)
        _remove_attempts((task.target, task.tag) for _, task in unsettled)
        self._futures.clear()
        return written

    def _start(self, task: _Task) -> Future:
        raise NotImplementedError

    def _settle(self, future: Future) -> Result:
        try:
            return future.result()
        except Exception as failure:  # noqa: BLE001 - a lost worker
            return f"not confirmed: {type(failure).__name__}: {one_line(failure)}"


def _ended(result: Result) -> Future:
    future: Future = concurrent.futures.Future()
    future.set_result(result)
    return future


class _Here(_Place):
    """Each task in this process, as it is submitted; between blocks a held
    signal is taken and `tick` called."""

    def __init__(self, held: _HeldSignals, read: Any = None,
                 tick: Optional[Callable[[], None]] = None) -> None:
        super().__init__()
        self._held = held
        self._read = read
        self._tick = tick

    def _stop(self) -> bool:
        if self._tick is not None:
            self._tick()
        return self._held.take()

    def _start(self, task: _Task) -> Future:
        global _read
        _read = self._read
        try:
            return _ended(_run_task(*task[1:], stop=self._stop))
        finally:
            _read = None


class _Pool(_Place):
    """Tasks in `count` worker processes, which add the bytes they read to
    `read` (a multiprocessing.Value), if given. A worker process that dies takes
    the tasks in flight (queued included) with it: those that ended first are settled, the
    others kept in `died`, and the pool starts again. `alone` is the last
    chance of a task that died once: each runs in a process of its own, and
    one that dies again ends with the reason."""

    def __init__(self, count: int, read: Any = None, alone: bool = False,
                 fresh: bool = False) -> None:
        super().__init__()
        self._count = count
        self._read = read
        # A forked worker shares this process's connections to an object
        # store, and closing its copies breaks them here: `fresh` workers
        # are forked from a server process that never held one (which, as
        # with any start but fork, imports the caller's main module).
        self._context = _fresh_context() if fresh else None
        # A few tasks queued for each process, so that none waits for the
        # loop between two small tasks.
        self.window = 1 if alone else 4 * count
        self.died: List[_Task] = []
        self._alone = alone
        self._executor: Optional[concurrent.futures.ProcessPoolExecutor] = None

    def start(self) -> None:
        self._executor = concurrent.futures.ProcessPoolExecutor(
            max_workers=self._count, mp_context=self._context, initializer=_worker_start,
            initargs=(None if self._context else os.getpid(), self._read))

    def close(self) -> None:
        self.stop()

    def _start(self, task: _Task) -> Future:
        try:
            return self._running().submit(_run_task, *task[1:])
        except BrokenProcessPool:
            self._ready += self._after_death()
            return self._running().submit(_run_task, *task[1:])
        except OSError as error:
            raise WorkerError(f"cannot start worker processes: {one_line(error)}") from None

    def results(self, timeout: float) -> List[Tuple[_Task, Result]]:
        ended = super().results(timeout)
        died = [task for task, result in ended if result is _DIED]
        if not died:
            return ended
        # A broken pool: every task in flight ends with it.
        return [(task, result) for task, result in ended if result is not _DIED] + \
            self._after_death(died)

    def _settle(self, future: Future) -> Result:
        if isinstance(future.exception(), BrokenProcessPool):
            return _DIED
        return super()._settle(future)

    def _after_death(self, died: Iterable[_Task] = ()) -> List[Tuple[_Task, Result]]:
        """Settles what a broken pool held, keeps the tasks that died with
        it (`died` and those still in flight), and starts the pool again."""
        ended: List[Tuple[_Task, Result]] = []
        died = list(died)
        for future in concurrent.futures.wait(self._futures).done:
            task = self._futures.pop(future)
            result = self._settle(future)
            if result is _DIED:
                died.append(task)
            else:
                ended.append((task, result))
        if self._alone:
            ended += [(task, f"the worker process {_doing(task.job)} it died") for task in died]
        else:
            self.died += died
        self.stop()
        _remove_attempts((task.target, task.tag) for task in died)
        self.start()
        return ended

    def _running(self) -> concurrent.futures.ProcessPoolExecutor:
        assert self._executor is not None, "a pool that was not started"
        return self._executor

    def stop(self) -> None:
        """Ends every worker process: a task under way removes its temporary
        file first."""
        if self._executor is None:
            return
        # The pool keeps its processes to itself (and forgets them on
        # shutdown).
        processes = list((getattr(self._executor, "_processes", None) or {}).values())
        self._executor.shutdown(wait=False, cancel_futures=True)
        for process in processes:
            if process.is_alive():
                process.terminate()
        for process in processes:
            process.join(5)
            if process.is_alive():
                process.kill()
                process.join()
        self._executor = None


def _doing(job: str) -> str:
    return "converting" if job == "report" else "exporting"


class _Flag:
    """A distributed.Event that the workers read: set, it stops the
    tasks of the batch."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __call__(self) -> bool:
        import distributed

        return distributed.Event(self.name).is_set()


class _Cluster(_Place):
    """Tasks on a dask.distributed cluster. Once the connection to the
    scheduler is lost, no future settles any more: each task in flight ends
    as not confirmed, and each task submitted after ends as not run."""

    def __init__(self, client: "distributed.Client", count: int, tag: str) -> None:
        super().__init__()
        self.window = count
        self._client = client
        self._flag = _Flag(f"morvela-stop-{tag}")
        self._executor: Any = None

    def start(self) -> None:
        self._executor = self._client.get_executor(pure=False)

    def close(self) -> None:
        try:
            self._executor.shutdown(wait=False)
        except Exception:  # noqa: BLE001 - a client closed meanwhile cancels nothing
            pass

    def _lost(self) -> Optional[str]:
        if self._client.status == "running":
            return None
        return "the connection to the scheduler was lost"

    def _start(self, task: _Task) -> Future:
        lost = self._lost()
        if lost:
            return _ended(f"{_not_done(task.job)}: {lost}")
        return self._executor.submit(_run_task, *task[1:], stop=self._flag)

    def results(self, timeout: float) -> List[Tuple[_Task, Result]]:
        ended = super().results(timeout)
        lost = self._lost()
        if ended or not lost:
            return ended
        unsettled, self._futures = self._futures, {}
        return [(task, f"not confirmed: {lost}; a worker may still write it")
                for task in unsettled.values()]

    def _settle(self, future: Future) -> Result:
        if future.cancelled():
            lost = self._lost()
            return (f"not confirmed: {lost}; a worker may still write it" if lost
                    else "not confirmed: the cluster cancelled the task")
        return super()._settle(future)

    def stop(self) -> None:
        """Tells the workers to stop, and waits for the tasks in flight to
        end, so that no target is written after it returns."""
        import distributed

        in_flight = list(self._futures)
        if self._client.status == "running":
            try:
                distributed.Event(self._flag.name, client=self._client).set()
                concurrent.futures.wait(in_flight, timeout=STOP_SECONDS)
            except Exception:  # noqa: BLE001 - the cluster went meanwhile
                pass
        for future in in_flight:
            future.cancel()


def _run(tasks: Iterable[_Task], place: _Place, finish: Callable[[_Task, Result], None],
         held: _HeldSignals, tick: Callable[[], None]) -> None:
    """Runs `tasks` at `place`, at most place.window in flight, hands each
    result to finish(task, result), and calls tick() at least four times a
    second. On any exception, a signal taken included, the place is stopped
    first: a target complete on disk is handed on as written, and no
    temporary file is left."""
    pending = collections.deque(tasks)
    place.start()
    try:
        while pending or place.busy():
            while pending and place.room():
                place.submit(pending.popleft())
            for task, result in place.results(0.25):
                finish(task, result)
            tick()
            held.take()
    except BaseException:
        for task in place.abandon():
            finish(task, None)
        raise
    place.close()


class Plan:
    """What a batch writes, made once for the command line and the library
    alike: each recording's target, the recordings refused because their
    targets would be one file, and the folders the targets go into.

    Parameters
    ----------
    sources : iterable of str, bytes or os.PathLike
    directory : str, bytes or os.PathLike, optional
        Where the targets go; by default each recording's own folder.
    job : {"report", "parquet", "hdf5"}
        The report is named by the recording's file name up to its first
        "." with ".txt"; an export by its name with the format's suffix for
        its last one.
    by_kind : bool
        Each export goes into a subfolder named by its kind's key.
    with_kinds : bool
        Reads the kinds of the recordings even without `by_kind`, for
        `mixed_kinds`.
    compression : str, optional
        Parquet's codec.
    """

    def __init__(self, sources: Iterable["PathType"], directory: Optional["PathType"] = None,
                 job: str = "parquet", *, by_kind: bool = False, with_kinds: bool = False,
                 compression: Optional[str] = None, storage_options: Options = None) -> None:
        if job != "report":
            check_options(job, compression)
        self.sources: List[Path] = [os.fspath(source) for source in sources]
        self.job = job
        self.compression = compression
        self.options = wrapped(storage_options)
        self.kinds = (kinds_of(self.sources, self.options)
                      if job != "report" and (by_kind or with_kinds) else None)
        self.targets = self._targets(directory, by_kind)
        self.refused, self.same = _collisions(self.sources, self.targets)
        if directory is None:
            # Targets are written to local folders only.
            self.refused.update((k, "refused: a recording at a URL needs -o DIR")
                                for k, s in enumerate(self.sources) if is_url(s))

    def _targets(self, directory: Optional["PathType"], by_kind: bool) -> List[Path]:
        if self.job == "report":
            return [report_path(source, directory) for source in self.sources]
        shown = []
        kinds = self.kinds if by_kind and self.kinds is not None else [None] * len(self.sources)
        for source, kind in zip(self.sources, kinds):
            folder = directory
            if kind is not None:
                base = (os.fsencode(directory) if directory is not None
                        else os.path.dirname(os.fsencode(source)))
                folder = os.path.join(base, kind.key.encode())
            shown.append(output_path(source, folder, SUFFIXES[self.job]))
        return shown

    def sizes(self) -> List[int]:
        """The size in bytes of each source (0 where it cannot be read),
        once a recording: a later name of the same recording counts 0."""
        sizes = []
        for index, source in enumerate(self.sources):
            try:
                sizes.append(0 if index in self.same else os.stat(source).st_size)
            except (OSError, ValueError):
                sizes.append(0)
        return sizes

    @property
    def total(self) -> int:
        """How many recordings the batch writes: one named twice counts once."""
        return len(self.sources) - len(self.same)

    def mixed_kinds(self) -> List[Tuple[str, str]]:
        """(folder, what it would mix) for each folder that would hold
        Parquet of more than one kind (see mixed_kinds)."""
        return mixed_kinds(self.targets, self.kinds) if self.kinds is not None else []

    def make_folders(self) -> None:
        """Creates the folder of each target where it is missing (an
        object store has none to make); one that cannot be made fails the
        tasks into it, each with its line."""
        for folder in {os.path.dirname(os.path.abspath(os.fsencode(t)))
                       for t in self.targets if not is_url(t)}:
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError:
                pass


def _is_recording(path: Path) -> bool:
    """Whether the file at `path` begins with the recorder's magic; an
    object at a URL counts as one."""
    if is_url(path):
        return True
    try:
        with open(path, "rb") as file:
            return file.read(len(_morvela.MAGIC)) == _morvela.MAGIC
    except (OSError, ValueError):
        return False


def _collisions(sources: Sequence[Path], shown: Sequence[Path]
                ) -> Tuple[Dict[int, str], Dict[int, int]]:
    """(refused, same): for each index whose target another recording
    shares, the reason it is refused; for each index that names the same
    file to the same target as an earlier one, that earlier index. A
    collision is a matter between recordings: a file that is none fails on
    its own line, and takes no target from a recording."""
    groups: Dict[Tuple[bytes, bytes], List[int]] = collections.defaultdict(list)
    for index, target in enumerate(shown):
        raw = os.fsencode(target)
        folder = os.path.realpath(os.path.dirname(os.path.abspath(raw)))
        groups[(folder, os.path.basename(raw))].append(index)
    refused: Dict[int, str] = {}
    same: Dict[int, int] = {}
    for indices in groups.values():
        if len(indices) > 1 and len({_file(sources[i]) for i in indices}) == 1:
            same.update((i, indices[0]) for i in indices[1:])
            continue
        recordings = [i for i in indices if _is_recording(sources[i])] if len(indices) > 1 else []
        if len({_file(sources[i]) for i in recordings}) < 2:
            continue
        names = ", ".join(dict.fromkeys(os.fsdecode(sources[i]) for i in recordings))
        reason = f"refused: {names} would all be written to {os.fsdecode(shown[indices[0]])}"
        refused.update((i, reason) for i in recordings)
    return refused, same


def _absolute(path: Path) -> bytes:
    """`path` as a task names it: bytes, absolute unless a URL."""
    return os.fsencode(path) if is_url(path) else os.path.abspath(os.fsencode(path))


def run_batch(plan: Plan, *, jobs: int = 1, client: Optional["distributed.Client"] = None,
              progress: Optional[Callable[[Outcome], None]] = None,
              moved: Optional[Callable[[int], None]] = None) -> List[Outcome]:
    """Runs the tasks of `plan`: in this process (`jobs` 1), in `jobs`
    worker processes, or on the cluster of `client`; see export_batch.
    `moved`, if given, is told at least four times a second, and after each
    outcome, how many bytes of `plan.sizes()` are done: the recordings that
    ended whole, and on this machine the bytes read of those in flight."""
    sources, shown = plan.sources, plan.targets
    outcomes: List[Optional[Outcome]] = [None] * len(sources)
    sizes = plan.sizes() if moved is not None else None
    read = multiprocessing.Value("q", 0) if moved is not None else None
    whole = sum(sizes) if sizes is not None else 0
    ended, told = [0], [0]

    def tick() -> None:
        # A task takes its bytes back as it ends, just before its outcome
        # adds them whole: the figure told never goes back.
        if moved is not None and read is not None:
            told[0] = max(told[0], min(whole, ended[0] + read.value))
            moved(told[0])

    def finish(task: _Task, error: Result) -> None:
        if sizes is not None:
            ended[0] += sizes[task.number]
        if isinstance(error, tuple):
            reason, writing = error
            error = (f"cannot write {os.fsdecode(shown[task.number])}: {reason}"
                     if writing else reason)
        outcome = Outcome(sources[task.number], shown[task.number], error)
        outcomes[task.number] = outcome
        tick()
        if progress is not None:
            progress(outcome)

    tag = secrets.token_hex(4)
    tasks: List[_Task] = []
    for index, source in enumerate(sources):
        if index in plan.same:
            continue
        target = os.fsencode(shown[index])
        task = _Task(index, _absolute(source), _absolute(target),
                     f"{tag}-{index}".encode(), plan.job, target, plan.compression,
                     plan.options if is_url(source) or is_url(target) else None)
        if index in plan.refused:
            finish(task, plan.refused[index])
        else:
            tasks.append(task)
    remote = any(task.options is not None for task in tasks)
    try:
        with _HeldSignals() as held:
            place: _Place
            if client is not None:
                place = _Cluster(client, len(tasks), tag)
            elif jobs > 1 and len(tasks) > 1:
                place = _Pool(min(jobs, len(tasks)), read, fresh=remote)
            else:
                place = _Here(held, read, tick)
            _run(tasks, place, finish, held, tick)
            # The tasks in flight when a worker process died, one at a
            # time, each in a process of its own: only one that takes its
            # own process down is lost.
            for task in getattr(place, "died", []):
                _run([task], _Pool(1, read, alone=True, fresh=remote), finish, held, tick)
    finally:
        # What attempts that died left (a cluster runs a task again
        # elsewhere when its worker is lost): one sweep of each folder.
        _remove_attempts((task.target, task.tag) for task in tasks)
        for index, outcome in enumerate(outcomes):
            if index in plan.same:
                outcome = outcomes[plan.same[index]]
            outcomes[index] = Outcome(
                sources[index], shown[index],
                outcome.error if outcome else f"{_not_done(plan.job)}: the batch was stopped")
    return cast(List[Outcome], outcomes)  # every one set just above


_NOTES = """

    Notes
    -----
    SIGINT, SIGTERM and SIGHUP, when it runs on the main thread, stop the
    tasks in flight, remove the temporary files and hand each target
    complete on disk to `progress`; the signal then goes to the handler it
    had (SIGINT's raises KeyboardInterrupt). On another thread the signals
    are the caller's."""


def export_batch(sources: Iterable["PathType"], directory: Optional["PathType"] = None,
                 format: str = "parquet", *, jobs: int = 1,  # noqa: A002
                 client: Optional["distributed.Client"] = None,
                 progress: Optional[Callable[[Outcome], None]] = None,
                 by_kind: bool = False, compression: Optional[str] = None,
                 storage_options: Optional[Dict[str, Any]] = None) -> List[Outcome]:
    """Exports recordings to Parquet or HDF5; one bad recording stops no
    other.

    Parameters
    ----------
    sources : iterable of str, bytes or os.PathLike
        The recordings.
    directory : str, bytes or os.PathLike, optional
        Where the targets go; by default each recording's own folder. Each
        target is named as its recording, with the format's suffix for its
        last one.
    format : {"parquet", "hdf5"}
    jobs : int
        Worker processes, never more than recordings (1: in this process).
    client : distributed.Client, optional
        A cluster to run the exports on instead.
    progress : callable, optional
        Called with each Outcome as it arrives, once a recording: a
        recording named twice (the same file to the same target) is
        exported once, and its later names get the first one's Outcome.
    by_kind : bool
        Each target goes into a subfolder named by its kind's key (data
        type, input names and units; created where missing), so that each
        subfolder reads as one table.
    compression : str, optional
        Parquet's codec, as `export` takes it.
    storage_options : dict, optional
        For recordings at URLs (see `morvela.open`), which need a
        `directory`: the filesystem's options.

    Returns
    -------
    list of Outcome
        In the order of `sources`. Recordings whose targets would be one
        file are refused, each with the reason; a file that is not a
        recording fails on its own and refuses no recording.

    Raises
    ------
    WorkerError
        When no worker process can be started.
    ValueError
        For an unknown format or codec."""
    plan = Plan(sources, directory, format, by_kind=by_kind, compression=compression,
                storage_options=storage_options)
    if by_kind:
        plan.make_folders()
    return run_batch(plan, jobs=jobs, client=client, progress=progress)


def convert_batch(sources: Iterable["PathType"], directory: Optional["PathType"] = None, *,
                  jobs: int = 1, client: Optional["distributed.Client"] = None,
                  progress: Optional[Callable[[Outcome], None]] = None,
                  storage_options: Optional[Dict[str, Any]] = None) -> List[Outcome]:
    """Writes the Morvela report of each recording (see `convert`); one bad
    recording stops no other.

    Parameters
    ----------
    sources : iterable of str, bytes or os.PathLike
        The recordings.
    directory : str, bytes or os.PathLike, optional
        Where the reports go; by default each recording's own folder. A
        report is named by its recording's file name up to its first "."
        with ".txt": a folder's name never shortens it.
    jobs : int
        Worker processes, never more than recordings (1: in this process).
    client : distributed.Client, optional
        A cluster to run the conversions on instead.
    progress : callable, optional
        Called with each Outcome as it arrives, as export_batch calls it.
    storage_options : dict, optional
        For recordings at URLs, as export_batch takes them.

    Returns
    -------
    list of Outcome
        In the order of `sources`. Recordings whose reports would be one
        file are refused, each with the reason; the reason of a recording
        that could not be converted ends with the Morvela program's verdict
        and status: "Input file is not a transient recorder file (250)".

    Raises
    ------
    WorkerError
        When no worker process can be started."""
    return run_batch(Plan(sources, directory, "report", storage_options=storage_options),
                     jobs=jobs, client=client, progress=progress)


export_batch.__doc__ = (export_batch.__doc__ or "") + _NOTES
convert_batch.__doc__ = (convert_batch.__doc__ or "") + _NOTES
