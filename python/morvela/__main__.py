"""python3 -m morvela: a recording's header as JSON, or its preview plot.

    python3 -m morvela info REC.dat
    python3 -m morvela plot REC.dat -o REC.png

On failure the exit status is the Morvela program's for the same file
(255 for a file that cannot be read, 252 for an unknown data type, 251 for
memory, 250 for a file that is not a recording)."""

import argparse
import json
import sys

from ._recording import RecordingError, open as open_recording


def _info(args):
    with open_recording(args.recording) as rec:
        info = {
            "path": rec.path,
            "header": rec.header.to_dict(),
            "inputs": [{"name": i.name, "unit": i.unit} for i in rec.inputs],
        }
    json.dump(info, sys.stdout, indent=2)
    sys.stdout.write("\n")


def _plot(args):
    import matplotlib

    matplotlib.use("Agg")
    out = args.output or args.recording.rsplit(".", 1)[0] + ".png"
    with open_recording(args.recording) as rec:
        inputs = [int(i) if i.isdigit() else i for i in args.inputs] or None
        rec.plot(out, start=args.start, stop=args.stop, inputs=inputs,
                 width=args.width)
    print(out)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m morvela",
        description="Reads transient recorder files (.dat) with Morvela's "
        "decoder.",
        epilog="Exit status: 0 on success; on a file that cannot be read the "
        "Morvela program's status for it: 255 read error, 252 unknown data "
        "type, 251 memory, 250 not a recording; 2 for a usage error.")
    commands = parser.add_subparsers(dest="command", required=True)
    info = commands.add_parser(
        "info", help="print the header and the inputs as JSON",
        description="Prints the recording's header and its inputs' names and "
        "units as JSON.")
    info.add_argument("recording", help="the recording (.dat)")
    info.set_defaults(run=_info)
    plot = commands.add_parser(
        "plot", help="draw the inputs over time into a PNG",
        description="Draws one panel per input on a shared time axis, the "
        "trigger instant marked; long recordings as a min/max envelope per "
        "pixel, so that no spike is lost.")
    plot.add_argument("recording", help="the recording (.dat)")
    plot.add_argument("-o", "--output",
                      help="the image to write (default: REC.png)")
    plot.add_argument("-i", "--input", dest="inputs", action="append",
                      default=[], help="an input to draw, by index or name "
                      "(repeatable; default: all)")
    plot.add_argument("--start", type=int, default=0, help="first row")
    plot.add_argument("--stop", type=int, default=None, help="row to end before")
    plot.add_argument("--width", type=int, default=1600,
                      help="image width in pixels (default: 1600)")
    plot.set_defaults(run=_plot)
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except RecordingError as error:
        print(f"morvela: {error}", file=sys.stderr)
        return error.status & 0xFF
    except OSError as error:
        print(f"morvela: {error}", file=sys.stderr)
        return 255
    return 0


if __name__ == "__main__":
    sys.exit(main())
