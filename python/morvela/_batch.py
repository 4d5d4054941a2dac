"""A batch of exports: each recording of a list written to Parquet or HDF5,
here, in worker processes or on a dask.distributed cluster, through one
loop that collects the outcomes, whichever place runs them.

What the loop guarantees:
- Targets that two recordings would share are refused before anything is
  written; the other recordings go on. One recording named twice (the same
  file to the same target) is exported once.
- Paths are made absolute here, so that a worker with another working
  directory writes where the caller meant.
- Each attempt at an export writes a temporary name of its own; the
  temporary files of attempts that died are removed.
- A worker process that dies costs at most the recordings it held: the
  recordings in flight with it are exported again one at a time, each in a
  process of its own, and only one whose own process dies is lost. Worker
  processes end with the process that started them.
- Every outcome is handed to `progress` as it arrives. SIGINT, SIGTERM
  and SIGHUP (on the main thread) stop the exports in flight; every target complete
  on disk is handed to `progress` before the signal is passed on, and no
  temporary file is left.
"""

import collections
import concurrent.futures
import os
import secrets
import signal
import socket
import threading
from concurrent.futures.process import BrokenProcessPool
from typing import (TYPE_CHECKING, Callable, Iterable, List, NamedTuple,
                    Optional, Union)

from ._errors import RecordingError
from ._export import (SUFFIXES, ExportError, check_options, export_to, kind_of,
                      one_line, parquet_kind)
from ._names import utf8_text
from ._paths import output_path, temporary_name
from ._recording import Recording

if TYPE_CHECKING:
    import distributed

    from ._recording import PathType

Path = Union[str, bytes]

# How long a cluster's exports in flight are waited for after a stop.
STOP_SECONDS = 60


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


def _probe(address, timeout):
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


def connect(address, timeout):
    """A distributed.Client of the scheduler at `address` (HOST:PORT or
    tcp://HOST:PORT), connected within about `timeout` seconds; WorkerError
    when it cannot be reached."""
    _probe(address, timeout)
    import logging

    try:
        import dask
        import distributed
    except ImportError as error:
        raise WorkerError(f"--scheduler needs dask.distributed "
                         f"(pip install 'morvela[xarray]'): {error}") from None

    # Its own log lines (a lost connection, a retry) are no failure lines:
    # what becomes of each recording is said once, by the batch.
    for name in ["distributed", "tornado", "asyncio",
                 *logging.root.manager.loggerDict]:
        if name.split(".")[0] in ("distributed", "tornado", "asyncio"):
            logging.getLogger(name).setLevel(logging.CRITICAL + 1)
    try:
        with dask.config.set({"distributed.comm.timeouts.connect": timeout}):
            return distributed.Client(address, timeout=timeout,
                                      set_as_default=False)
    except Exception as error:  # noqa: BLE001 - any reason is one line
        raise WorkerError(f"cannot reach the scheduler at {address}: "
                         f"{one_line(error)}") from None


class _Task(NamedTuple):
    number: int  # its place in the batch's sources
    source: bytes  # absolute
    target: bytes  # absolute
    tag: bytes  # in the temporary name of every attempt at it
    format: str
    compression: Optional[str]  # Parquet's codec; None: the type's default


def targets(sources, directory=None, format="parquet", kinds=None):  # noqa: A002
    """The target of each source: in `directory` (default: the source's
    own), named as the source with the format's suffix for its last one;
    each spelled as its source is (str or bytes). With `kinds` (a Kind or
    None for each source), each target whose kind is known goes into a
    subfolder named by the kind's key."""
    shown = []
    for index, source in enumerate(sources):
        folder = directory
        kind = kinds[index] if kinds is not None else None
        if kind is not None:
            raw = os.fsencode(os.fspath(source))
            base = os.fsencode(directory) if directory is not None else os.path.dirname(raw)
            folder = os.path.join(base, kind.key.encode())
        shown.append(output_path(source, folder, SUFFIXES[format]))
    return shown


def kinds_of(sources):
    """The Kind of each source's Parquet export, or None where the
    recording cannot be read or is shortened (its export then fails with
    the reason)."""
    kinds = []
    for source in sources:
        try:
            with Recording(source) as rec:
                rec.check_decodable()
                # A shortened recording's export fails: it adds no kind.
                whole = rec.complete_rows >= rec.header.samples
                kinds.append(kind_of(rec) if whole else None)
        except (RecordingError, OSError, ValueError):
            kinds.append(None)
    return kinds


def mixed_kinds(shown, kinds):
    """(folder, what it would mix) for each folder that would hold Morvela
    Parquet of more than one kind: the recordings' targets `shown` with their `kinds`, and
    the files of ours already there that the batch does not replace."""
    folders = collections.defaultdict(dict)  # folder -> {kind: already there}
    spelled = {}
    ours = set()
    for target, kind in zip(shown, kinds):
        raw = os.path.abspath(os.fsencode(target))
        folder = os.path.realpath(os.path.dirname(raw))
        spelled.setdefault(folder, os.path.dirname(os.fsdecode(target)) or ".")
        ours.add(os.path.join(folder, os.path.basename(raw)))
        if kind is not None:
            folders[folder].setdefault(kind, False)
    lines = []
    for folder, found in folders.items():
        try:
            names = sorted(os.listdir(folder))
        except OSError:
            names = []
        for name in names:
            path = os.path.join(folder, name)
            if name.endswith(b".parquet") and path not in ours:
                kind = parquet_kind(path)
                if kind is not None:
                    found.setdefault(kind, True)
        if len(found) > 1:
            listed = "; ".join(f"{said}{' (already there)' if there else ''}"
                               for said, there in zip(_told_apart(list(found)),
                                                      found.values()))
            lines.append((spelled[folder], f"Parquet of {len(found)} kinds in one folder, "
                                           f"which a folder reader takes as one table: {listed}"))
    return lines


def _told_apart(kinds):
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


def _inode(path):
    """The device and inode of the file at `path`, or None."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def _file(path):
    """What names one file: its device and inode, or where it cannot be
    read, its resolved path."""
    return _inode(path) or os.path.realpath(os.fsencode(path))


def _plan(sources, shown):
    """(refused, same): for each index whose target another recording
    shares, the reason it is refused; for each index that names the same
    recording to the same target as an earlier one, that earlier index."""
    groups = collections.defaultdict(list)
    for index, target in enumerate(shown):
        raw = os.fsencode(target)
        folder = os.path.realpath(os.path.dirname(os.path.abspath(raw)))
        groups[(folder, os.path.basename(raw))].append(index)
    refused, same = {}, {}
    for indices in groups.values():
        if len(indices) == 1:
            continue
        if len({_file(sources[i]) for i in indices}) == 1:
            same.update((i, indices[0]) for i in indices[1:])
            continue
        names = ", ".join(dict.fromkeys(os.fsdecode(sources[i]) for i in indices))
        reason = (f"refused: {names} would all be written to "
                  f"{os.fsdecode(shown[indices[0]])}")
        refused.update((i, reason) for i in indices)
    return refused, same


def recordings_in(sources, shown):
    """How many recordings a batch of `sources` to the targets `shown`
    exports or reports: one recording named twice counts once."""
    return len(sources) - len(_plan([os.fspath(s) for s in sources], shown)[1])


def _attempt_tag(name):
    """The task tag in a temporary file's name, or None."""
    if not (name.startswith(b".") and name.endswith(b".part")):
        return None
    return name[:-len(b".part")].rpartition(b".")[2].rpartition(b"-")[0]


def _remove_attempts(tasks):
    """Removes the temporary files of every attempt at `tasks` (each a
    (target, tag) pair)."""
    folders = collections.defaultdict(set)
    for target, tag in tasks:
        folders[os.path.dirname(target)].add(tag)
    for folder, tags in folders.items():
        try:
            names = os.listdir(folder or b".")
        except OSError:
            continue
        for name in names:
            if _attempt_tag(name) in tags:
                try:
                    os.unlink(os.path.join(folder, name))
                except OSError:
                    pass


class _Cancelled(Exception):
    """The batch was stopped while this export ran."""


class _Stopped(BaseException):
    """SIGTERM in a worker process in the middle of an export."""


_busy = False  # in a worker process: an export is under way


def _export_task(source, target, tag, format, compression, stop=None):  # noqa: A002
    """Runs where the export runs: None when `target` was written, otherwise
    (reason, whether the target could not be written), the reason one line
    that names neither path (the worker sees them absolute). `stop`, if
    given, is asked between blocks and before the rename whether the batch
    was stopped (or raises itself)."""
    global _busy
    # A rerun after its worker died: the attempts before it are dead.
    _remove_attempts([(target, tag)])
    temporary = temporary_name(target, tag + b"-" + secrets.token_hex(4).encode())

    def check(*_):
        if stop():
            raise _Cancelled()

    try:
        _busy = True
        export_to(source, target, format, stop and check, temporary, stop and check,
                  compression)
    except _Stopped:
        os._exit(128 + signal.SIGTERM)  # its temporary file is removed
    except _Cancelled:
        return "not exported: the batch was stopped", False
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
    return None


def _worker_terminated(signum, frame):
    if _busy:
        raise _Stopped()
    os._exit(128 + signum)


def _worker_start(parent):
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
    if os.getppid() != parent:
        os._exit(128 + signal.SIGTERM)


class _Signalled(BaseException):
    """A signal that the batch held, to be handed on once it has stopped."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class _HeldSignals:
    """SIGINT, SIGTERM and SIGHUP held while the batch runs (on the main thread
    only: elsewhere they are the caller's), and raised as _Signalled where
    `take` is called: an exception raised anywhere would break a lock or
    leave a file half-made."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __enter__(self):
        self.pending = None
        self.previous = {}
        if threading.current_thread() is threading.main_thread():
            for signum in self.SIGNALS:
                if signal.getsignal(signum) != signal.SIG_IGN:
                    self.previous[signum] = signal.signal(signum, self._hold)
        return self

    def _hold(self, signum, frame):
        self.pending = self.pending or signum

    def take(self):
        """Raises _Signalled if a signal arrived; returns False otherwise."""
        if self.pending is not None:
            raise _Signalled(self.pending)
        return False

    def __exit__(self, kind, error, trace):
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


class _Died(Exception):
    """The worker process that ran the task died."""


class _Place:
    """Where exports run. Each place answers the loop's three questions:
    `submit` a task (a future), `stop` the exports in flight so that none
    writes after it returns, and what became of a finished future
    (`settle`: the export's result, or the reason it was lost; _Died
    where its worker process died and the task may run again)."""

    window = 1

    def start(self):
        pass

    def stop(self, in_flight):
        pass

    def close(self):
        pass

    def lost(self):
        """Why no future will settle any more (the connection to the
        scheduler was lost), or None."""
        return None

    def settle(self, future):
        try:
            return future.result()
        except Exception as failure:  # noqa: BLE001 - a lost worker
            return f"not confirmed: {type(failure).__name__}: {one_line(failure)}"


class _Here(_Place):
    """Each export in this process, as it is submitted; a held signal is
    taken between blocks."""

    def __init__(self, held):
        self._held = held

    def submit(self, task):
        future = concurrent.futures.Future()
        future.set_result(_export_task(*task[1:], stop=self._held.take))
        return future


class _Pool(_Place):
    """Exports in `count` worker processes."""

    def __init__(self, count):
        self.window = count
        self._executor = None

    def start(self):
        self._executor = concurrent.futures.ProcessPoolExecutor(
            max_workers=self.window, initializer=_worker_start,
            initargs=(os.getpid(),))

    def submit(self, task):
        try:
            return self._executor.submit(_export_task, *task[1:])
        except BrokenProcessPool:
            raise _Died() from None
        except OSError as error:
            raise WorkerError(
                f"cannot start worker processes: {one_line(error)}") from None

    def settle(self, future):
        if isinstance(future.exception(), BrokenProcessPool):
            raise _Died()
        return super().settle(future)

    def stop(self, in_flight):
        """Ends every worker process: an export under way removes its
        temporary file first."""
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

    def close(self):
        self.stop({})


class _Flag:
    """A distributed.Event that the workers read: set, it stops the
    exports of the batch."""

    def __init__(self, name):
        self.name = name

    def __call__(self):
        import distributed

        return distributed.Event(self.name).is_set()


class _Cluster(_Place):
    """Exports on a dask.distributed cluster."""

    def __init__(self, client, count, tag):
        self.window = count
        self._client = client
        self._flag = _Flag(f"morvela-stop-{tag}")
        self._executor = None

    def start(self):
        self._executor = self._client.get_executor(pure=False)

    def submit(self, task):
        return self._executor.submit(_export_task, *task[1:], stop=self._flag)

    def stop(self, in_flight):
        """Tells the workers to stop, and waits for the exports in flight
        to end, so that no target is written after it returns."""
        import distributed

        if self._client.status == "running":
            try:
                distributed.Event(self._flag.name, client=self._client).set()
                concurrent.futures.wait(in_flight, timeout=STOP_SECONDS)
            except Exception:  # noqa: BLE001 - the cluster went meanwhile
                pass
        for future in in_flight:
            future.cancel()

    def close(self):
        self._executor.shutdown(wait=False)

    def lost(self):
        if self._client.status == "running":
            return None
        return "the connection to the scheduler was lost"

    def settle(self, future):
        if future.cancelled():
            lost = self.lost()
            return (f"not confirmed: {lost}; a worker may still write it" if lost
                    else "not confirmed: the cluster cancelled the export")
        return super().settle(future)



def _run(tasks, place, finish, held):
    """Runs `tasks` at `place`, at most place.window in flight, and hands
    each result to finish(task, error). Returns the tasks whose worker
    process died with them in flight."""
    pending = collections.deque(tasks)
    in_flight = {}
    before = {}  # the file under each target's name when its export began
    died = []
    running = None
    try:
        place.start()
        while pending or in_flight:
            broken = False
            while pending and len(in_flight) < place.window:
                running = pending.popleft()
                before[running] = _inode(running.target)
                try:
                    in_flight[place.submit(running)] = running
                except _Died:
                    pending.appendleft(running)
                    broken = True
                    break
                running = None
            done, _ = concurrent.futures.wait(
                in_flight, timeout=0.25,
                return_when=concurrent.futures.FIRST_COMPLETED)
            # A broken pool is gone: every task in flight has its end now.
            settled = concurrent.futures.wait(in_flight).done if broken else done
            while settled:
                for future in settled:
                    task = in_flight.pop(future)
                    try:
                        finish(task, place.settle(future))
                    except _Died:
                        died.append(task)
                        broken = True
                settled = concurrent.futures.wait(in_flight).done if broken else ()
            if broken:
                place.stop(in_flight)
                _remove_attempts((t.target, t.tag) for t in died)
                place.start()
            elif not done and place.lost():
                for task in in_flight.values():
                    finish(task, f"not confirmed: {place.lost()}; a worker may "
                                 "still write it")
                for task in pending:
                    finish(task, f"not exported: {place.lost()}")
                in_flight.clear()
                pending.clear()
            held.take()
        place.close()
    except BaseException:
        # Nothing is written after the stop: a target complete on disk is
        # reported, every other attempt's file removed.
        place.stop(in_flight)
        unsettled = [*in_flight.items(), *([(None, running)] if running else [])]
        for future, task in unsettled:
            error = ("stopped" if future is None or not future.done() or future.cancelled()
                     else _settled(future, place))
            if error is None or (error == "stopped" and
                                 _inode(task.target) not in (before[task], None)):
                finish(task, None)
        _remove_attempts((t.target, t.tag) for _, t in unsettled)
        raise
    return died


def _settled(future, place):
    try:
        return place.settle(future)
    except _Died:
        return "stopped"


def export_batch(sources: Iterable["PathType"], directory: Optional["PathType"] = None,
                 format: str = "parquet", *, jobs: int = 1,  # noqa: A002
                 client: Optional["distributed.Client"] = None,
                 progress: Optional[Callable[[Outcome], None]] = None,
                 by_kind: bool = False, compression: Optional[str] = None) -> List[Outcome]:
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

    Returns
    -------
    list of Outcome
        In the order of `sources`.

    Raises
    ------
    WorkerError
        When no worker process can be started.
    ValueError
        For an unknown format or codec.

    Notes
    -----
    SIGINT, SIGTERM and SIGHUP, when it runs on the main thread, stop the exports
    in flight, remove the temporary files and hand each target complete on
    disk to `progress`; the signal then goes to the handler it had
    (SIGINT's raises KeyboardInterrupt). On another thread the signals are
    the caller's."""
    check_options(format, compression)
    sources = [os.fspath(source) for source in sources]
    shown = targets(sources, directory, format, kinds_of(sources) if by_kind else None)
    if by_kind:
        make_folders(shown)
    return batch_to(sources, shown, format, jobs=jobs, client=client,
                    progress=progress, compression=compression)


def make_folders(shown):
    """Creates the folder of each target where it is missing; one that
    cannot be made fails the exports into it, each with its line."""
    for folder in {os.path.dirname(os.path.abspath(os.fsencode(t))) for t in shown}:
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError:
            pass


def batch_to(sources, shown, format, *, jobs=1, client=None, progress=None,  # noqa: A002
             compression=None):
    """export_batch with the targets given: `shown[i]` for `sources[i]`."""
    outcomes = [None] * len(sources)
    refused, same = _plan(sources, shown)

    def finish(task, error):
        if isinstance(error, tuple):
            reason, writing = error
            error = (f"cannot write {os.fsdecode(shown[task.number])}: {reason}"
                     if writing else reason)
        outcome = Outcome(sources[task.number], shown[task.number], error)
        outcomes[task.number] = outcome
        if progress is not None:
            progress(outcome)

    tag = secrets.token_hex(4)
    tasks = []
    for index, source in enumerate(sources):
        if index in same:
            continue
        task = _Task(index, os.path.abspath(os.fsencode(source)),
                     os.path.abspath(os.fsencode(shown[index])),
                     f"{tag}-{index}".encode(), format, compression)
        if index in refused:
            finish(task, refused[index])
        else:
            tasks.append(task)
    try:
        with _HeldSignals() as held:
            if client is not None:
                place = _Cluster(client, len(tasks), tag)
            elif jobs > 1 and len(tasks) > 1:
                place = _Pool(min(jobs, len(tasks)))
            else:
                place = _Here(held)
            died = _run(tasks, place, finish, held) if tasks else []
            # The tasks in flight when a worker process died, one at a
            # time, each in a process of its own: only one that takes its
            # own process down is lost.
            for task in died:
                for lost in _run([task], _Pool(1), finish, held):
                    finish(lost, "the worker process exporting it died")
                    _remove_attempts([(lost.target, lost.tag)])
    finally:
        for index, outcome in enumerate(outcomes):
            if index in same:
                outcome = outcomes[same[index]]
            outcomes[index] = Outcome(
                sources[index], shown[index],
                outcome.error if outcome else "not exported: the batch was stopped")
    return outcomes
