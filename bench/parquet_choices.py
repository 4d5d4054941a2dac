"""make bench, Parquet part: the size and the export time of morvela.export
under pyarrow's writer choices, on the synthesizer's recordings of every
data type and on the demo recording.

    build/venv/bin/python bench/parquet_choices.py SYNTH DEMO DIR [RUNS]

Each choice is the writer options given to pyarrow.parquet.ParquetWriter
in place of the export's own (morvela._export.parquet_options); the
export is timed by turns with the others, RUNS times (default 3), and the
median printed with the file's size over the recording's. Last, the
default's size over the recording's for each type: the figure the README
states."""

import os
import statistics
import subprocess
import sys
import time

import morvela
import morvela._export as export

TYPES = ["char", "unsigned char", "short", "unsigned short", "int",
         "unsigned int", "float", "double"]
ROWS = 500_000


def choices(dtype, columns):
    """name -> ParquetWriter options for a recording of `dtype`."""
    floating = dtype.kind == "f"
    small = dtype.kind in "iu" and dtype.itemsize <= 2
    dictionary = list(columns) if small else False
    split = ["TimeOffset", *(columns if floating else [])]
    ints = {c: "DELTA_BINARY_PACKED" for c in columns} if dtype.kind in "iu" else {}
    made = {
        "snappy, dictionaries for small ints (1.0)":
            {"compression": "snappy", "use_dictionary": dictionary},
        "none": {"compression": "none", "use_dictionary": dictionary},
        "snappy, no dictionary": {"compression": "snappy", "use_dictionary": False},
        "lz4": {"compression": "lz4", "use_dictionary": dictionary},
        "zstd 1": {"compression": "zstd", "compression_level": 1, "use_dictionary": dictionary},
        "zstd 3": {"compression": "zstd", "compression_level": 3, "use_dictionary": dictionary},
        "zstd 9": {"compression": "zstd", "compression_level": 9, "use_dictionary": dictionary},
        "zstd 1, byte stream split (every column)":
            {"compression": "zstd", "compression_level": 1, "use_dictionary": False,
             "use_byte_stream_split": ["TimeOffset", *columns]},
    }
    for codec, level in (("lz4", None), ("zstd", 1), ("zstd", -1)):
        name = codec + (f" {level}" if level is not None else "")
        options = {"compression": codec, "use_dictionary": False}
        if level is not None:
            options["compression_level"] = level
        if floating:
            made[f"{name}, byte stream split (floats, TimeOffset)"] = {
                **options, "use_byte_stream_split": split}
            made[f"{name}, byte stream split (TimeOffset)"] = {
                **options, "use_byte_stream_split": ["TimeOffset"]}
        else:
            made[f"{name}, plain integers, byte stream split (TimeOffset)"] = {
                **options, "use_byte_stream_split": ["TimeOffset"]}
            made[f"{name}, delta integers, byte stream split (TimeOffset)"] = {
                **options, "column_encoding": {"TimeOffset": "BYTE_STREAM_SPLIT", **ints}}
    made["default (this build)"] = None
    return made


def timed_export(source, target, options):
    real = export.parquet_options
    if options is not None:
        export.parquet_options = lambda dtype, columns, *rest: options
    try:
        start = time.perf_counter()
        morvela.export(source, target)
        return time.perf_counter() - start
    finally:
        export.parquet_options = real


def survey(name, source, directory, runs):
    with morvela.open(source) as rec:
        dtype, columns = rec.value_dtype, morvela.column_names(rec)
    size = os.path.getsize(source)
    made = choices(dtype, columns)
    times = {choice: [] for choice in made}
    sizes = {}
    target = os.path.join(directory, "choice.parquet")
    for _ in range(runs):
        for choice, options in made.items():
            times[choice].append(timed_export(source, target, options))
            sizes[choice] = os.path.getsize(target)
            os.unlink(target)
    today = statistics.median(times[next(iter(made))])
    print(f"\n{name} ({size / 1e6:.1f} MB)")
    print(f"| {'choice':58} | size / .dat | export s | x 1.0's time |")
    for choice in made:
        median = statistics.median(times[choice])
        print(f"| {choice:58} | {sizes[choice] / size:11.3f} | {median:8.3f} | "
              f"{median / today:12.2f} |")
    return sizes["default (this build)"] / size


def main():
    synth, demo, directory = sys.argv[1:4]
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    os.makedirs(directory, exist_ok=True)
    ratios = {}
    for type_name in TYPES:
        path = os.path.join(directory, f"parquet-{type_name.replace(' ', '-')}.dat")
        if not os.path.exists(path):
            subprocess.run([synth, "-t", type_name, "-i", "16", "-n", str(ROWS), path],
                           check=True)
        ratios[type_name] = survey(f"{type_name}, 16 x {ROWS:,}", path, directory, runs)
    ratios["demo"] = survey("examples/demo.dat", demo, directory, runs)
    print("\nThe default's Parquet size over the .dat size:")
    for name, ratio in ratios.items():
        print(f"  {name}: {ratio:.3f}")


if __name__ == "__main__":
    main()
