"""python3 -m morvela: a recording's header as JSON, or its preview plot.

    python3 -m morvela info REC.dat
    python3 -m morvela plot REC.dat -o REC.png

Exit status: 0 on success; for a file that cannot be read the Morvela
program's status for it (255 read error, 252 unknown data type, 251 memory,
250 not a recording); 2 for a usage error; 3 when the output cannot be
written."""

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
    args = parser.parse_args(argv)
    try:
        args.run(args)
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
