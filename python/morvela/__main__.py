"""python3 -m morvela: a recording's header as JSON, its preview plot, or
recordings exported to Parquet or HDF5.

    python3 -m morvela info REC.dat
    python3 -m morvela plot REC.dat -o REC.png
    python3 -m morvela export REC.dat... -o DIR --to parquet --jobs 4

Exit status: 0 on success; for a file that cannot be read the Morvela
program's status for it (255 read error, 252 unknown data type, 251 memory,
250 not a recording); 2 for a usage error; 3 when the output cannot be
written; for export, 1 when any recording failed."""

import argparse
import json
import os
import sys

from ._errors import RecordingError
from ._recording import open as open_recording

USAGE_ERROR = 2
WRITE_ERROR = 3
READ_ERROR = 255

# Image formats by suffix, as matplotlib writes them.
_IMAGE_SUFFIXES = (".png", ".pdf", ".svg", ".jpg", ".jpeg", ".tif", ".tiff",
                   ".eps", ".ps", ".webp")


class _UsageError(Exception):
    pass


class _WriteError(Exception):
    pass


def _info(args):
    with open_recording(args.recording) as rec:
        info = {
            "path": rec.path,
            "header": rec.header.to_dict(),
            "inputs": [{"name": i.name, "unit": i.unit} for i in rec.inputs],
        }
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


def _plot_target(recording, output):
    """The image path to write: `output`, a file in the directory `output`,
    or the recording's name with its last suffix replaced by .png."""
    source = os.fsdecode(recording)
    default = os.path.splitext(os.path.basename(source))[0] + ".png"
    if output is None:
        target = os.path.join(os.path.dirname(source), default)
    elif os.path.isdir(output):
        target = os.path.join(output, default)
    else:
        target = output
    suffix = os.path.splitext(target)[1].lower()
    if suffix and suffix not in _IMAGE_SUFFIXES:
        raise _UsageError(f"{target}: not an image suffix: {suffix} "
                          f"(one of {' '.join(_IMAGE_SUFFIXES)})")
    image_format = suffix[1:] if suffix else "png"
    if os.path.exists(target) and os.path.samefile(target, source):
        raise _UsageError(f"{target} is the recording itself")
    return target, image_format


def _plot(args):
    if args.width < 100:
        raise _UsageError(f"--width {args.width}: at least 100 pixels")
    target, image_format = _plot_target(args.recording, args.output)
    import matplotlib

    matplotlib.use("Agg")
    with open_recording(args.recording) as rec:
        inputs = [int(i) if i.lstrip("-").isdigit() else i
                  for i in args.inputs] or None
        try:
            rec.input_indices(inputs)
        except (IndexError, KeyError) as error:
            raise _UsageError(str(error).strip("'\"")) from None
        figure = rec.plot(None, start=args.start, stop=args.stop,
                          inputs=inputs, width=args.width)
    try:
        figure.savefig(target, format=image_format)
    except OSError as error:
        raise _WriteError(f"cannot write {target}: {error}") from None
    print(target)


def _export_one(source, directory, data_format):
    """Exports one recording; returns (source, target, None) or (source,
    target, the reason it failed). Runs in worker processes too."""
    from ._export import ExportError, SUFFIXES, export

    stem = os.path.splitext(os.path.basename(os.fsdecode(source)))[0]
    target = os.path.join(directory or os.path.dirname(os.fsdecode(source)) or ".",
                          stem + SUFFIXES[data_format])
    try:
        export(source, target, data_format)
    except (RecordingError, ExportError, OSError, ValueError) as error:
        return source, target, str(error)
    except Exception as error:  # noqa: BLE001 - one bad file stops no other
        return source, target, f"{type(error).__name__}: {error}"
    return source, target, None


def _export(args):
    if args.jobs < 1:
        raise _UsageError(f"--jobs {args.jobs}: at least 1")
    if args.output is not None and not os.path.isdir(args.output):
        raise _UsageError(f"{args.output} is not a directory")
    sources = args.recordings
    tasks = [(source, args.output, args.to) for source in sources]
    if args.scheduler:
        import distributed

        with distributed.Client(args.scheduler) as client:
            futures = client.map(_export_one, *zip(*tasks), pure=False)
            results = client.gather(futures)
    elif args.jobs > 1 and len(tasks) > 1:
        from concurrent.futures import ProcessPoolExecutor

        with ProcessPoolExecutor(max_workers=args.jobs) as pool:
            results = list(pool.map(_export_one, *zip(*tasks)))
    else:
        results = [_export_one(*task) for task in tasks]
    failed = 0
    for source, target, error in results:
        if error is None:
            print(target)
        else:
            failed += 1
            print(f"morvela: {os.fsdecode(source)}: {error}", file=sys.stderr)
    print(f"morvela: exported {len(results) - failed} of {len(results)} "
          f"recordings, {failed} failed", file=sys.stderr)
    sys.stdout.flush()
    return 1 if failed else 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m morvela",
        description="Reads transient recorder files (.dat) with Morvela's "
        "decoder.",
        epilog="Exit status: 0 on success; on a file that cannot be read the "
        "Morvela program's status for it: 255 read error, 252 unknown data "
        "type, 251 memory, 250 not a recording; 2 for a usage error; 3 when "
        "the output cannot be written.")
    commands = parser.add_subparsers(dest="command", required=True)
    info = commands.add_parser(
        "info", help="print the header and the inputs as JSON",
        description="Prints the recording's header and its inputs' names and "
        "units as JSON, in ASCII. A name's byte that is not UTF-8 is written "
        "as the escape \\udcXX (XX its value): decode the JSON, then encode "
        "the text with errors='surrogateescape' to get the stored bytes "
        "back.")
    info.add_argument("recording", help="the recording (.dat)")
    info.set_defaults(run=_info)
    plot = commands.add_parser(
        "plot", help="draw the inputs over time into an image",
        description="Draws one panel per input on a shared time axis, the "
        "trigger instant marked; long recordings as a min/max envelope per "
        "pixel, so that no spike is lost.")
    plot.add_argument("recording", help="the recording (.dat)")
    plot.add_argument("-o", "--output",
                      help="the image to write, or a directory for it "
                      "(default: the recording's name with .png for its "
                      "last suffix); the format follows the suffix, PNG "
                      "without one")
    plot.add_argument("-i", "--input", dest="inputs", action="append",
                      default=[], help="an input to draw, by index or name "
                      "(repeatable; default: all)")
    plot.add_argument("--start", type=int, default=0, help="first row")
    plot.add_argument("--stop", type=int, default=None, help="row to end before")
    plot.add_argument("--width", type=int, default=1600,
                      help="image width in pixels, at least 100 "
                      "(default: 1600)")
    plot.set_defaults(run=_plot)
    export = commands.add_parser(
        "export", help="write recordings as Parquet or HDF5",
        description="Writes each recording as Parquet (column TimeOffset and "
        "one column per input in the recording's type, units in the field "
        "metadata, the header as JSON in the file metadata) or HDF5 (dataset "
        "values, rows x inputs, and dataset time_offset, the header, names "
        "and units as attributes), a block of rows at a time. A target is "
        "written under a temporary name and renamed when complete. One bad "
        "recording stops no other: each failure is one line on standard "
        "error, the targets written are printed, and a summary line ends the "
        "run.",
        epilog="Exit status: 0 when every recording was exported, 1 when any "
        "failed, 2 for a usage error.")
    export.add_argument("recordings", nargs="+", help="the recordings (.dat)")
    export.add_argument("-o", "--output", metavar="DIR",
                        help="the directory to write into (default: each "
                        "recording's own); a target is named as its recording "
                        "with the format's suffix for its last one")
    export.add_argument("--to", choices=("parquet", "hdf5"), default="parquet",
                        help="the format (default: parquet)")
    export.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="recordings exported at once, in N processes "
                        "(default: 1)")
    export.add_argument("--scheduler", metavar="ADDRESS",
                        help="run the exports on the dask.distributed "
                        "cluster whose scheduler is at ADDRESS instead")
    export.set_defaults(run=_export)
    args = parser.parse_args(argv)
    try:
        status = args.run(args)
        if status:
            return status
    except RecordingError as error:
        return _fail(error, error.status & 0xFF)
    except _UsageError as error:
        return _fail(error, USAGE_ERROR)
    except _WriteError as error:
        return _fail(error, WRITE_ERROR)
    except OSError as error:
        return _fail(error, READ_ERROR)
    return 0


def _fail(error, status):
    if sys.stderr is not None:
        print(f"morvela: {error}", file=sys.stderr)
    # Nothing more reaches a standard output that failed: Python's own flush
    # at exit would complain of it.
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except (OSError, ValueError):
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
    return status


if __name__ == "__main__":
    sys.exit(main())
