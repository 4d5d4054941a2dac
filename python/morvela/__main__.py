"""python3 -m morvela: a recording's header as JSON, its preview plot,
recordings exported to Parquet or HDF5, or their text reports.

    python3 -m morvela info REC.dat
    python3 -m morvela plot REC.dat -o REC.png
    python3 -m morvela export REC.dat... -o DIR --to parquet --jobs 4
    python3 -m morvela convert REC.dat... -o DIR --jobs 4

Exit status: 0 on success; for a file that cannot be read the Morvela
program's status for it (255 read error, 252 unknown data type, 251 memory,
250 not a recording); 2 for a usage error; 3 when the output cannot be
written; for export and convert, 1 when any recording failed and 4 when
there is no worker to run on (the scheduler cannot be reached, or worker
processes cannot be started); 5 when a package the command needs is missing (the
line names the extra that brings it); 130 after an interrupt (SIGINT), 143
after SIGTERM, 129 after SIGHUP (the terminal closed). Every failure is one
line on standard error."""

import argparse
import importlib
import json
import os
import re
import signal
import sys
from typing import TYPE_CHECKING, Any, Dict, List, NoReturn, Optional, Sequence, Tuple, Union

# Only light modules here: numpy and the binding are imported once main()
# has taken over interrupts, so that Ctrl-C while starting is one line too.
from ._errors import RecordingError, one_line
from ._paths import is_url, output_path
from ._terminal import encoding_of, escaped, quoted

if TYPE_CHECKING:
    from ._batch import Outcome, Plan

FAILED = 1
USAGE_ERROR = 2
WRITE_ERROR = 3
NO_WORKERS = 4
MISSING_PACKAGE = 5
READ_ERROR = 255
# What ends a run early, and the word its line says.
STOPPED: Dict[int, str] = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated",
           signal.SIGHUP: "hung up"}
# The extras of the packages the commands import when they need them.
EXTRAS = {"matplotlib": "plot", "pyarrow": "parquet", "h5py": "hdf5", "fsspec": "s3",
          "s3fs": "s3"}

# Image formats by suffix, as matplotlib writes them.
_IMAGE_SUFFIXES = (".png", ".pdf", ".svg", ".jpg", ".jpeg", ".tif", ".tiff",
                   ".eps", ".ps", ".webp")


class _UsageError(Exception):
    pass


class _WriteError(Exception):
    pass


class _NoWorkers(Exception):
    pass


class _MissingPackage(Exception):
    pass


class _Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP, handled as an interrupt is."""

    signum: int = signal.SIGTERM


def _need(command: str, package: str) -> None:
    """Imports `package`, which `command` needs; a missing one is said in
    one line that names the extra (or else the package) to install."""
    try:
        importlib.import_module(package)
    except ImportError:
        wanted = f"'morvela[{EXTRAS[package]}]'" if package in EXTRAS else package
        raise _MissingPackage(f"{command} needs {package}: pip install {wanted}") from None


# The package each kind of URL needs, beside fsspec.
_URL_PACKAGES = {"s3": "s3fs", "s3a": "s3fs", "gs": "gcsfs", "gcs": "gcsfs",
                 "az": "adlfs", "abfs": "adlfs", "http": "aiohttp", "https": "aiohttp"}


def _need_for_urls(command: str, paths: Sequence[Any]) -> None:
    """_need of what the URLs among `paths` need to be read or written."""
    for path in filter(is_url, paths):
        _need(command, "fsspec")
        scheme = os.fsdecode(path).partition("://")[0]
        if scheme in _URL_PACKAGES:
            _need(command, _URL_PACKAGES[scheme])


def _say(text: str, bar: Any = None) -> None:
    """One line on standard error, if it can be written; a character that
    the terminal must not see (a control character, a byte it cannot
    take) is written as its escape."""
    text = escaped(text, encoding_of(sys.stderr))
    try:
        if bar is not None:
            bar.write(f"morvela: {text}", file=sys.stderr)
        elif sys.stderr is not None:
            print(f"morvela: {text}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def _silence_stdout() -> None:
    # Nothing more reaches a standard output that failed: Python's own flush
    # at exit would complain of it.
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def _info(args: argparse.Namespace) -> None:
    from ._recording import open as open_recording

    _need_for_urls("info", [args.recording])
    with open_recording(args.recording, args.storage_options) as rec:
        info = {
            "path": rec.path,
            "header": rec.header.to_dict(),
            "inputs": [{"name": i.name, "unit": i.unit} for i in rec.inputs],
            "complete_rows": rec.complete_rows,
        }
    if info["complete_rows"] < info["header"]["samples"]:
        _say(f"{_shown(rec.path, sys.stderr)}: shortened: the file holds {info['complete_rows']} "
             f"of the {info['header']['samples']} rows its header claims")
    # ASCII only: a byte of a name that is not UTF-8 is written as a
    # \udcXX escape, which encodes back to that byte with surrogateescape.
    text = json.dumps(info, indent=2, ensure_ascii=True) + "\n"
    try:
        if sys.stdout is None:
            raise OSError("standard output is closed")
        sys.stdout.write(text)
        sys.stdout.flush()
    except (OSError, ValueError) as error:
        raise _WriteError(f"cannot write the header: {error}") from None


def _plot_target(recording: str, output: Optional[str]) -> Tuple[str, str]:
    """The image path to write: `output`, a file in the directory `output`
    (made with its parents where `output` ends in "/", as export -o
    makes its folder), or the recording's name with its last suffix
    replaced by .png."""
    source = os.fsdecode(recording)
    if output is None and is_url(source):
        raise _UsageError(f"{source}: a recording at a URL needs -o")
    if output is not None and output.endswith(os.sep):
        _make_directory(output, "plot")
    if output is None or os.path.isdir(output):
        target = os.fsdecode(output_path(source, output, ".png"))
    else:
        target = output
    suffix = os.path.splitext(target)[1].lower()
    if suffix and suffix not in _IMAGE_SUFFIXES:
        raise _UsageError(f"{target}: not an image suffix: {suffix} "
                          f"(one of {' '.join(_IMAGE_SUFFIXES)})")
    image_format = suffix[1:] if suffix else "png"
    if not is_url(source) and os.path.exists(target) and os.path.samefile(target, source):
        raise _UsageError(f"{target} is the recording itself")
    return target, image_format


def _plot(args: argparse.Namespace) -> None:
    if args.width < 100:
        raise _UsageError(f"--width {args.width}: at least 100 pixels")
    _need("plot", "matplotlib")
    _need_for_urls("plot", [args.recording, args.output])
    import matplotlib

    matplotlib.use("Agg")
    from ._recording import open as open_recording

    with open_recording(args.recording, args.storage_options) as rec:
        row_count = rec.header.samples
        if row_count and not range(row_count)[args.start:args.stop]:
            raise _UsageError(f"--start {args.start} --stop {args.stop}: no rows to draw "
                              f"(the recording has {row_count} rows)")
        target, image_format = _plot_target(args.recording, args.output)
        inputs = [int(i) if i.lstrip("-").isdigit() else i
                  for i in args.inputs] or None
        try:
            rec.input_indices(inputs)
        except (IndexError, KeyError) as error:
            message = error.args[0] if error.args else str(error)
            names = [repr(name) for name in rec.columns[:10]]
            if len(rec.columns) > 10:
                names.append(f"and {len(rec.columns) - 10} more")
            known = ", ".join(names) or "none"
            raise _UsageError(f"{message} (inputs: {known})") from None
        figure = rec.plot(None, start=args.start, stop=args.stop,
                          inputs=inputs, width=args.width)
    try:
        figure.savefig(target, format=image_format)
    except OSError as error:
        raise _WriteError(f"cannot write {target}: {error}") from None
    output = _Output(args.print0)
    output.name(target)
    if output.failed:
        raise _WriteError(f"wrote {target}, but cannot write its name to "
                          "standard output")


def _shown(name: Union[str, bytes], stream: Any) -> str:
    """A path or name as `stream` may show it (see _terminal.quoted)."""
    return quoted(name, encoding_of(stream))


class _Output:
    """Lines to standard output, which may be closed or fail: after the
    first failure nothing more is tried, and `failed` says so."""

    def __init__(self, print0: bool = False) -> None:
        self.failed = False
        self.print0 = print0

    def name(self, path: Union[str, bytes], bar: Any = None) -> None:
        """Writes a path: quoted where it must be (see _terminal), or with
        print0 as its bytes, ended by a NUL byte."""
        if not self.print0:
            self.line(_shown(path, sys.stdout), bar)
            return
        try:
            if sys.stdout is None:
                raise OSError("standard output is closed")
            sys.stdout.flush()
            sys.stdout.buffer.write(os.fsencode(path) + b"\0")
            sys.stdout.buffer.flush()
        except (OSError, ValueError, AttributeError):
            self.failed = True
            _silence_stdout()

    def line(self, text: str, bar: Any = None) -> None:
        """Writes `text` on a line of its own; with a progress `bar`, the
        bar is cleared first and drawn again below it."""
        if self.failed:
            return
        try:
            if sys.stdout is None:
                raise OSError("standard output is closed")
            if bar is not None:
                bar.write(text, file=sys.stdout)
            else:
                sys.stdout.write(text + "\n")
            sys.stdout.flush()
        except (OSError, ValueError):
            self.failed = True
            _silence_stdout()


def _progress_bar(total: int, unit: str = "rec") -> Any:
    """A progress bar on standard error where it is a terminal that reports
    its width and tqdm is installed, otherwise None: a bar wider than the
    terminal would wrap, and its stale first half would stay on screen.
    It counts recordings, or with unit "B" bytes."""
    try:
        if not sys.stderr.isatty() or os.get_terminal_size(sys.stderr.fileno()).columns < 1:
            return None
        from tqdm import tqdm
    except (AttributeError, ValueError, OSError, ImportError):
        return None
    tqdm.monitor_interval = 0  # no thread of its own
    return tqdm(total=total, unit=unit, file=sys.stderr, leave=False,
                dynamic_ncols=True, unit_scale=unit == "B", unit_divisor=1024)


def _batch_command(args: argparse.Namespace) -> int:
    if args.command == "export":
        if args.compression is not None and args.to != "parquet":
            raise _UsageError("export: --compression is Parquet's: HDF5 is always gzip")
        _need("export", "pyarrow" if args.to == "parquet" else "h5py")
    _need_for_urls(args.command, [*args.recordings, args.output])
    made = (_make_directory(args.output, args.command)
            if args.output is not None and not is_url(args.output) else [])
    counts: Dict[str, int] = {"written": 0, "failed": 0, "interrupted": False}
    try:
        return _batch_into(args, counts)
    except KeyboardInterrupt:
        counts["interrupted"] = True  # a stopped run leaves what it made
        raise
    finally:
        if not counts["written"] and not counts["interrupted"]:
            _remove_empty(made)


def _remove_empty(made: List[str]) -> None:
    """Removes the folders `made` (the deepest first) while they are
    empty: no empty -o folder stays behind a run that wrote nothing."""
    for folder in made:
        try:
            os.rmdir(folder)
        except OSError:
            break


def _plan(args: argparse.Namespace) -> "Plan":
    """The batch's Plan for the command line `args`; a usage error where
    Parquet of several kinds would share a folder."""
    from ._batch import Plan

    if args.command == "convert":
        return Plan(args.recordings, args.output, "report",
                    storage_options=args.storage_options)
    plan = Plan(args.recordings, args.output, args.to, by_kind=args.by_kind,
                with_kinds=args.to == "parquet", compression=args.compression,
                storage_options=args.storage_options)
    if args.by_kind:
        plan.make_folders()
    elif not args.mixed_kinds:
        lines = [f"{folder}: refused: {mix}; --by-kind writes a folder for each kind, "
                 "--mixed-kinds writes them all the same"
                 for folder, mix in plan.mixed_kinds()]
        for line in lines[:-1]:
            _say(line)
        if lines:
            raise _UsageError(lines[-1])
    return plan


def _batch_into(args: argparse.Namespace, counts: Dict[str, int]) -> int:
    from ._batch import WorkerError, connect, run_batch

    done = "converted" if args.command == "convert" else "exported"
    output = _Output(args.print0)
    plan = _plan(args)
    if args.scheduler:
        _silence_cluster_logs()
    try:
        client = connect(args.scheduler, args.connect_timeout) if args.scheduler else None
    except WorkerError as error:
        raise _NoWorkers(str(error)) from None
    # No more recordings than processes: each runs from the start, and a
    # count would stand at 0 until they end. The bytes read move instead.
    by_bytes = client is None and plan.total <= args.jobs
    sizes = plan.sizes() if by_bytes else None
    bar = _progress_bar(sum(sizes) if sizes is not None else plan.total,
                        "B" if by_bytes else "rec")

    def moved(read: int) -> None:
        if read > bar.n:
            bar.update(read - bar.n)

    def progress(outcome: "Outcome") -> None:
        counts["written" if outcome.error is None else "failed"] += 1
        # Counted before the line is written: the bar drawn again below it
        # counts it.
        if bar is not None:
            bar.set_postfix(failed=counts["failed"], refresh=False)
            bar.update(0 if by_bytes else 1)
        if outcome.error is None:
            output.name(outcome.target, bar)
        else:
            _say(f"{_shown(outcome.source, sys.stderr)}: {outcome.error}", bar)

    try:
        run_batch(plan, jobs=args.jobs, client=client, progress=progress,
                  moved=moved if by_bytes and bar is not None else None)
    except WorkerError as error:
        raise _NoWorkers(str(error)) from None
    except KeyboardInterrupt as interrupt:
        interrupt.args = (f"{counts['written']} of {plan.total} recordings {done}, as "
                          "printed",)
        raise
    finally:
        if bar is not None:
            bar.close()
        if client is not None:
            client.close()
    _say(f"{done} {counts['written']} of {plan.total} recordings, {counts['failed']} failed")
    if output.failed:
        raise _WriteError("cannot write the targets' names to standard output")
    return FAILED if counts["failed"] else 0


def _silence_cluster_logs() -> None:
    """A cluster's own log lines (a lost connection, a retry) are no
    failure lines: what becomes of each recording is said once, by the
    batch."""
    import logging

    try:  # imported first: its import sets its loggers' levels
        import distributed  # noqa: F401
    except ImportError:
        pass
    for name in ["distributed", "tornado", "asyncio", *logging.root.manager.loggerDict]:
        if name.split(".")[0] in ("distributed", "tornado", "asyncio"):
            logging.getLogger(name).setLevel(logging.CRITICAL + 1)


# Checks of the arguments, as argparse types: every usage error is raised
# by the parser.
def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value}: at least 1")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value < 1e6:
        raise argparse.ArgumentTypeError(f"{text}: more than 0 and less than 1000000")
    return value


def _directory(text: str) -> str:
    if os.path.exists(text) and not os.path.isdir(text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a directory")
    return text


def _make_directory(path: str, command: str = "export") -> List[str]:
    """Creates `path` with its parents, as mkdir -p does; returns the
    folders it made, the deepest first."""
    made, folder = [], os.path.abspath(path)
    while not os.path.exists(folder):
        made.append(folder)
        folder = os.path.dirname(folder)
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise _UsageError(f"{command}: -o {path}: cannot create it: "
                          f"{error.strerror or one_line(error)}") from None
    return made


_ADDRESS = re.compile(r"(?:(?:tcp|tls|ws|wss)://)?"
                      r"(?:\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?)"
                      r":([0-9]{1,5})")


def _scheduler_address(text: str) -> str:
    match = _ADDRESS.fullmatch(text)
    if not match or not 0 < int(match.group(2)) < 65536:
        raise argparse.ArgumentTypeError(
            f"not a scheduler address: {text!r} (HOST:PORT or tcp://HOST:PORT)")
    return text


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        command = self.prog.split()[-1]
        _say(f"{command}: {message} (see --help)" if command != "morvela"
             else f"{message} (see --help)")
        sys.exit(USAGE_ERROR)


class _Version(argparse.Action):
    """--version: the version on standard output; status 3 where it cannot
    be written."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> NoReturn:
        from ._morvela import __version__

        output = _Output()
        output.line(f"morvela {__version__}")
        if output.failed:
            _say("cannot write the version to standard output")
        sys.exit(WRITE_ERROR if output.failed else 0)


def _program_name() -> str:
    """How the user started this program: the console command morvela, or
    python3 -m morvela."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "morvela" if name == "morvela" else "python3 -m morvela"


_PRINT0 = ("write each path written as its bytes, ended by a NUL byte, for "
           "xargs -0 (otherwise a name that holds a control character or a "
           "byte the terminal cannot take is quoted as ls quotes it: "
           "$'a\\nb.png')")


def _parser() -> argparse.ArgumentParser:
    from ._export import CODECS

    parser = _Parser(
        prog=_program_name(),
        description="Reads transient recorder files (.dat) with Morvela's "
        "decoder.",
        epilog="Exit status: 0 on success; on a file that cannot be read the "
        "Morvela program's status for it: 255 read error, 252 unknown data "
        "type, 251 memory, 250 not a recording; 2 for a usage error; 3 when "
        "the output cannot be written; for export and convert, 1 when any recording "
        "failed and 4 when there is no worker to run on; 5 when a package "
        "the command needs is missing; 130 after an interrupt, 143 after "
        "SIGTERM, 129 after SIGHUP. Every failure is one line on standard "
        "error.")
    parser.add_argument("--version", action=_Version, nargs=0,
                        help="print the version and exit")
    commands = parser.add_subparsers(dest="command", required=True,
                                     parser_class=_Parser)
    info = commands.add_parser(
        "info", help="print the header and the inputs as JSON",
        description="Prints the recording's header, its inputs' names and "
        "units and the rows the file holds (complete_rows) as JSON, in "
        "ASCII; a file that holds fewer rows than its header claims is said "
        "to be shortened, in one line on standard error. A name's byte that "
        "is not UTF-8 is written "
        "as the escape \\udcXX (XX its value): decode the JSON, then encode "
        "the text with errors='surrogateescape' to get the stored bytes "
        "back.")
    info.add_argument("recording", help=_RECORDING)
    _storage_option(info)
    info.set_defaults(run=_info)
    plot = commands.add_parser(
        "plot", help="draw the inputs over time into an image",
        description="Draws one panel per input on a shared time axis, the "
        "trigger instant marked; long recordings as a min/max envelope per "
        "pixel, so that no spike is lost.")
    plot.add_argument("recording", help=_RECORDING)
    _storage_option(plot)
    plot.add_argument("-o", "--output",
                      help="the image to write, or a directory for it, "
                      "created with its parents where it ends in / "
                      "(default: the recording's name with .png for its "
                      "last suffix); the format follows the suffix, PNG "
                      "without one")
    plot.add_argument("--print0", action="store_true", help=_PRINT0)
    plot.add_argument("-i", "--input", dest="inputs", action="append",
                      default=[], help="an input to draw, by index or name "
                      "(repeatable; default: all)")
    plot.add_argument("--start", type=int, default=0,
                      help="first row (negative: from the end); a range of "
                      "no rows is a usage error")
    plot.add_argument("--stop", type=int, default=None, help="row to end before")
    plot.add_argument("--width", type=int, default=1600,
                      help="image width in pixels, at least 100 "
                      "(default: 1600)")
    plot.set_defaults(run=_plot)
    export = commands.add_parser(
        "export", help="write recordings as Parquet or HDF5",
        description="Writes each recording as Parquet (column TimeOffset and "
        "one column per input in the recording's type, units in the field "
        "metadata, the header as JSON in the file metadata) or HDF5 as "
        "netCDF-4 readers open it (dataset values, time_offset x input, with "
        "the coordinates time_offset and input; the header, names and units "
        "as attributes), a block of rows at a time. A target is "
        "written under a temporary name and renamed when complete. Recordings "
        "whose targets would be one file are refused before anything is "
        "written. Parquet of several kinds (data type, input names, units) "
        "bound for one folder, this batch's or files already there, is "
        "refused before anything is written (status 2), in one line that "
        "says what tells the kinds apart: a folder reader takes one file's "
        "schema; --by-kind writes each kind into a folder of its own, "
        "--mixed-kinds writes them all the same. One bad recording stops "
        "no other: each target is printed "
        "on standard output as it is written, each failure is one line on "
        "standard error, and a summary line ends the run. On a terminal, "
        "standard error shows the progress: recordings done, or bytes read "
        "where there are no more recordings than processes.",
        epilog="Exit status: 0 when every recording was exported, 1 when any "
        "failed, 2 for a usage error, 3 when the targets' names cannot be "
        "written to standard output, 4 when the scheduler cannot be reached "
        "or the worker processes cannot be started, 5 when pyarrow or h5py is "
        "missing; after SIGINT 130, after SIGTERM 143 and after SIGHUP 129, "
        "the temporary files removed (the targets printed so far are "
        "complete).")
    _batch_options(export, "exported", "exports", "a target is named as its recording "
                   "with the format's suffix for its last one")
    export.add_argument("--to", choices=("parquet", "hdf5"), default="parquet",
                        help="the format (default: parquet)")
    export.add_argument("--compression", choices=CODECS, metavar="CODEC",
                        help="Parquet's codec: " + ", ".join(CODECS) + " (default: "
                        "the one that makes the smallest files of the "
                        "recording's type at about snappy's speed)")
    export.add_argument("--mixed-kinds", action="store_true",
                        help="write Parquet of several kinds into one folder "
                        "all the same (refused otherwise: a folder reader "
                        "takes one file's schema for every file, and may "
                        "misread the others without a word)")
    export.add_argument("--by-kind", action="store_true",
                        help="write each kind of recording (data type, input "
                        "names and units) into a subfolder of its own, named "
                        "by a short key of the kind, so that each subfolder "
                        "reads as one table")
    export.set_defaults(run=_batch_command)
    convert = commands.add_parser(
        "convert", help="write recordings' text reports, as Morvela does",
        description="Writes the text report of each recording, byte for byte "
        "as the Morvela program writes it (apart from the run's date and "
        "time), in this process or in worker processes. A report is named by "
        "its recording's file name up to its first \".\" with .txt, so that a "
        "\".\" in a folder's name never shortens it, and written under a "
        "temporary name and renamed when complete: a failed conversion "
        "leaves no report, and an earlier report of that name stays as it "
        "was. Recordings whose reports would be one file (rec.v1.dat and "
        "rec.v2.dat) are refused before anything is written. One bad "
        "recording stops no other: each report is printed on standard "
        "output as it is written, each failure is one line on standard "
        "error, with the Morvela program's verdict and status for it "
        "(notes.md: Input file is not a transient recorder file (250)), and "
        "a summary line ends the run. On a terminal, standard error shows "
        "the progress: recordings done, or bytes read where there are no more "
        "recordings than processes.",
        epilog="Exit status: 0 when every recording was converted, 1 when "
        "any failed, 2 for a usage error, 3 when the reports' names cannot "
        "be written to standard output, 4 when the scheduler cannot be "
        "reached or the worker processes cannot be started; after SIGINT "
        "130, after SIGTERM 143 and after SIGHUP 129, the temporary files "
        "removed (the reports printed so far are complete).")
    _batch_options(convert, "converted", "conversions", "a report is named by its "
                   "recording's file name up to its first \".\", with .txt")
    convert.set_defaults(run=_batch_command)
    return parser


_RECORDING = "the recording (.dat), or the URL of an object (s3://BUCKET/KEY)"


def _storage_options(text: str) -> Dict[str, Any]:
    try:
        value = json.loads(text)
    except ValueError:
        value = None
    if not isinstance(value, dict):
        # Never the text itself: it may hold a credential.
        raise argparse.ArgumentTypeError("not a JSON object")
    return value


def _storage_option(command: argparse.ArgumentParser) -> None:
    command.add_argument("--storage-options", metavar="JSON", type=_storage_options,
                         help="for recordings at URLs: the filesystem's options as "
                         "a JSON object, as fsspec takes them (for S3 by default "
                         "the AWS_* variables, AWS_ENDPOINT_URL among them)")


def _batch_options(command: argparse.ArgumentParser, done: str, tasks: str,
                   naming: str) -> None:
    """The options that export and convert share: the recordings, where
    the targets go, how they are printed and where the tasks run."""
    command.add_argument("recordings", nargs="+", help="the recordings (.dat), "
                         "or URLs of objects, which need -o")
    _storage_option(command)
    command.add_argument("-o", "--output", metavar="DIR", type=_directory,
                         help="the directory to write into, created with its "
                         "parents where missing (default: each recording's "
                         "own), or the URL of a prefix of an object store "
                         "(s3://BUCKET/PREFIX/), each target one object; "
                         f"{naming}")
    # No -0: a short option that looks like a number makes argparse take
    # every negative number (-i -2, --start -1) for an option.
    command.add_argument("--print0", action="store_true", help=_PRINT0)
    command.add_argument("--jobs", type=_count, default=1, metavar="N",
                         help=f"recordings {done} at once, in N processes, "
                         "never more than recordings (default: 1)")
    command.add_argument("--scheduler", metavar="ADDRESS",
                         type=_scheduler_address,
                         help=f"run the {tasks} on the dask.distributed "
                         "cluster whose scheduler is at ADDRESS "
                         "(HOST:PORT or tcp://HOST:PORT) instead")
    command.add_argument("--connect-timeout", metavar="SECONDS", type=_seconds,
                         default=10.0,
                         help="how long to try to reach the scheduler "
                         "(default: 10)")


def _terminate(signum: int, frame: Any) -> NoReturn:
    stopped = _Terminated()
    stopped.signum = signum
    raise stopped


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        return _main(argv)
    except KeyboardInterrupt as interrupt:  # while starting, or as it ends
        return _stopped(interrupt)


def _main(argv: Optional[Sequence[str]]) -> int:
    args = _parser().parse_args(argv)
    # What a library says while it cleans up after a failure (h5py after a
    # failed write, a client that never connected) is no line of ours: the
    # failure itself is reported once.
    hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
    previous: Dict[int, Any] = {}
    for signum in (int(signal.SIGTERM), int(signal.SIGHUP)):
        try:
            previous[signum] = signal.signal(signum, _terminate)
        except ValueError:
            pass  # not the main thread: the signal keeps its handler
    try:
        return args.run(args) or 0
    except RecordingError as error:
        return _exit_with(error, error.status & 0xFF)
    except _UsageError as error:
        return _exit_with(error, USAGE_ERROR)
    except _WriteError as error:
        return _exit_with(error, WRITE_ERROR)
    except _NoWorkers as error:
        return _exit_with(error, NO_WORKERS)
    except _MissingPackage as error:
        return _exit_with(error, MISSING_PACKAGE)
    except OSError as error:
        return _exit_with(_os_error_text(error), READ_ERROR)
    except KeyboardInterrupt as interrupt:
        return _stopped(interrupt)
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        sys.unraisablehook = hook


def _stopped(interrupt: KeyboardInterrupt) -> int:
    signum = interrupt.signum if isinstance(interrupt, _Terminated) else signal.SIGINT
    detail = f": {interrupt}" if str(interrupt) else ""
    return _exit_with(STOPPED[signum] + detail, 128 + signum)


def _os_error_text(error: OSError) -> str:
    """"PATH: REASON", as the export's lines say it, where there is a file
    name; the error's own text otherwise."""
    reason = error.strerror or one_line(error)
    if error.filename is None:
        return reason
    return f"{_shown(error.filename, sys.stderr)}: {reason}"


def _exit_with(error: Union[BaseException, str], status: int) -> int:
    _say(one_line(error))
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except (OSError, ValueError):
        _silence_stdout()
    return status


if __name__ == "__main__":
    sys.exit(main())
