"""What other readers make of Morvela's Parquet: pyarrow, pandas, polars,
DuckDB and Spark read back exports of every data type, of folders of mixed
kinds and of awkward names, and each finding is printed as one line.
README.md's reader table and folder paragraph say what this prints.

Run by hand (it needs Java for Spark; none of it runs in CI), in a virtual
environment with morvela, pytest, pyspark, duckdb and polars installed:

    python tools/readers_check.py build/morvela-synth SCRATCH_DIR
"""

import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python", "tests"))
from conftest import header_bytes, input_bytes  # noqa: E402 - recordings by hand

import duckdb  # noqa: E402
import pandas as pd  # noqa: E402
import polars as pl  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.dataset as pads  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import morvela  # noqa: E402

TYPES = ["char", "unsigned char", "short", "unsigned short", "int",
         "unsigned int", "float", "double"]


def say(topic, finding):
    print(f"{topic}: {finding}", flush=True)


def bits(values):
    values = np.ascontiguousarray(np.asarray(values))
    return values.view({1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}[values.dtype.itemsize])


def recording(folder, name, type_name, size, names, rows, dtype):
    """A recording of `rows` (a rows x inputs array of `dtype`) written by hand."""
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(header_bytes(type_name, size, len(names), len(rows), 1, 100) +
                input_bytes(names, [b"V"] * len(names)) +
                np.asarray(rows, np.dtype(dtype).newbyteorder(">")).tobytes())
    return path


def export(source, folder):
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, os.path.basename(source).rsplit(".", 1)[0] + ".parquet")
    return morvela.export(source, target)


def readers(spark):
    """Each reader as a function of a path (file or folder) to a pandas
    frame of its columns, as that reader types them."""
    def spark_read(path, merge=False):
        return spark.read.option("mergeSchema", str(merge).lower()).parquet(path).toPandas()

    return {
        "pyarrow": lambda p: pq.read_table(p).to_pandas(),
        "pandas": pd.read_parquet,
        "polars": lambda p: pl.read_parquet(p).to_pandas(),
        "duckdb": lambda p: duckdb.sql(f"select * from read_parquet('{p}')").df(),
        "spark": spark_read,
    }


def check_types(synth, scratch, read):
    for type_name in TYPES:
        source = os.path.join(scratch, type_name.replace(" ", "_") + ".dat")
        subprocess.run([synth, "-t", type_name, "-i", "3", "-n", "5000", "-p", "123",
                        "-s", "7", source], check=True, capture_output=True)
        target = export(source, os.path.join(scratch, "types"))
        with morvela.open(source) as rec:
            values, offsets = rec.read(), rec.time_offsets()
        for name, reader in read.items():
            frame = reader(target)
            got = frame[[c for c in frame.columns if c != "TimeOffset"]].to_numpy()
            exact = (np.array_equal(got.astype(values.dtype), values) and
                     np.array_equal(bits(got.astype(values.dtype)), bits(values)))
            same_time = np.array_equal(bits(frame["TimeOffset"].to_numpy()), bits(offsets))
            say(f"{type_name} via {name}",
                f"values {'exact' if exact else 'DIFFER'}, TimeOffset "
                f"{'exact' if same_time else 'DIFFERS'}, read as {frame.dtypes.iloc[1]}")


def check_metadata(scratch, spark):
    target = os.path.join(scratch, "types", "short.parquet")
    schema = pq.read_schema(target)
    say("pyarrow schema", f"units {schema.field('Input0').metadata.get(b'unit')!r}, "
        f"header {'morvela' in {k.decode() for k in schema.metadata}}")
    frame = pd.read_parquet(target)
    say("pandas DataFrame", f"attrs {sorted(frame.attrs)}")
    meta = pl.read_parquet_metadata(target)
    say("polars read_parquet_metadata", f"keys {sorted(meta)}")
    kv = duckdb.sql(f"select key from parquet_kv_metadata('{target}')").fetchall()
    say("duckdb parquet_kv_metadata", f"keys {sorted(k[0] for k in kv)}")
    fields = spark.read.parquet(target).schema.fields
    say("spark schema", f"field metadata {fields[1].metadata}")


def folder(scratch, name, files):
    """A folder of exports, each from (file name, type, size, input names,
    rows, dtype)."""
    out = os.path.join(scratch, "folders", name)
    for file_name, type_name, size, names, rows, dtype in files:
        source = recording(scratch, file_name + ".dat", type_name, size, names, rows, dtype)
        export(source, out)
    return out


def attempt(what):
    try:
        return repr(what())
    except Exception as error:  # noqa: BLE001 - what fails is the finding
        return f"fails ({type(error).__name__}: {str(error).splitlines()[0][:100]})"


def check_folders(scratch, read):
    cases = {
        "short then int": [("a", "short", 2, [b"x"], [[1]], "i2"),
                           ("b", "int", 4, [b"x"], [[16785296]], "i4")],
        "short then unsigned short": [("a", "short", 2, [b"x"], [[1]], "i2"),
                                      ("b", "unsigned short", 2, [b"x"], [[33024]], "u2")],
        "double then float": [("a", "double", 8, [b"x"], [[0.1]], "f8"),
                              ("b", "float", 4, [b"x"], [[0.1]], "f4")],
        "float then double": [("a", "float", 4, [b"x"], [[0.1]], "f4"),
                              ("b", "double", 8, [b"x"], [[0.1]], "f8")],
        "3 inputs then 2": [("a", "short", 2, [b"x", b"y", b"z"], [[1, 2, 3]], "i2"),
                            ("b", "short", 2, [b"x", b"y"], [[4, 5]], "i2")],
        "2 inputs then 3": [("a", "short", 2, [b"x", b"y"], [[4, 5]], "i2"),
                            ("b", "short", 2, [b"x", b"y", b"z"], [[1, 2, 3]], "i2")],
    }
    for case, files in cases.items():
        out = folder(scratch, case.replace(" ", "_"), files)
        for name, reader in read.items():
            glob = out if name in ("pyarrow", "pandas", "spark") else out + "/*.parquet"
            say(f"folder {case} via {name}",
                attempt(lambda: reader(glob).drop(columns="TimeOffset").to_dict("list")))
        say(f"folder {case} via pyarrow.dataset",
            attempt(lambda: pads.dataset(out).to_table().drop(["TimeOffset"]).to_pydict()))
        say(f"folder {case} via spark mergeSchema",
            attempt(lambda: read["spark"](out, merge=True)
                    .drop(columns="TimeOffset").to_dict("list")))


def check_names(scratch, spark):
    out = folder(scratch, "names", [("n", "short", 2, [b"U1", b"u1", b"U1"], [[1, 2, 3]], "i2")])
    say("names U1, u1, U1.1 via spark read",
        attempt(lambda: spark.read.parquet(out).collect()))
    out = folder(scratch, "dotted", [("d", "short", 2, [b"U1", b"U1"], [[1, 2]], "i2")])
    frame = spark.read.parquet(out)
    say("U1.1 via spark select('U1.1')", attempt(lambda: frame.select("U1.1").collect()))
    say("U1.1 via spark select('`U1.1`')", attempt(lambda: frame.select("`U1.1`").collect()))


def check_row_groups(synth, scratch, spark):
    source = os.path.join(scratch, "long.dat")
    subprocess.run([synth, "-i", "16", "-n", "2500000", source], check=True,
                   capture_output=True)
    target = export(source, os.path.join(scratch, "long"))
    meta = pq.ParquetFile(target).metadata
    rows = [meta.row_group(i).num_rows for i in range(meta.num_row_groups)]
    stats = meta.row_group(0).column(0).statistics
    say("row groups of 16 x 2,500,000 short",
        f"{rows} rows ({rows[0] * 16 * 2 / 2**20:.0f} MiB of values each); "
        f"TimeOffset min/max kept: {stats.has_min_max}")
    where = "TimeOffset > 220"  # the last row group alone
    plan = duckdb.sql(f"explain analyze select count(*) from read_parquet('{target}') "
                      f"where {where}").fetchall()[0][1]
    say("duckdb filter", "pushed into the scan" if "TimeOffset>220" in plan.replace(" ", "")
        else "NOT pushed")
    lazy = pl.scan_parquet(target).filter(pl.col("TimeOffset") > 220).select(pl.len())
    say("polars filter", "pushed into the scan" if "SELECTION" in lazy.explain()
        or "selection" in lazy.explain() else lazy.explain())
    fragment = next(pads.dataset(target).get_fragments())
    kept = fragment.split_by_row_group(pads.field("TimeOffset") > 220)
    say("pyarrow.dataset filter", f"{len(kept)} of {len(rows)} row groups read")
    plan = spark.read.parquet(target).filter(where)._jdf.queryExecution().executedPlan().toString()
    say("spark filter", "pushed" if "PushedFilters: [IsNotNull(TimeOffset), GreaterThan(TimeOffset"
        in plan else plan)


def main():
    synth, scratch = sys.argv[1:3]
    os.makedirs(scratch, exist_ok=True)
    from pyspark.sql import SparkSession
    import pyspark

    spark = (SparkSession.builder.master("local[1]")
             .config("spark.sql.execution.arrow.pyspark.enabled", "true")
             .config("spark.ui.enabled", "false").getOrCreate())
    spark.sparkContext.setLogLevel("OFF")
    say("versions", f"pyarrow {pa.__version__}, pandas {pd.__version__}, polars "
        f"{pl.__version__}, duckdb {duckdb.__version__}, spark {pyspark.__version__}, "
        f"morvela {morvela.__version__}")
    read = readers(spark)
    check_types(synth, scratch, read)
    check_metadata(scratch, spark)
    check_folders(scratch, read)
    check_names(scratch, spark)
    check_row_groups(synth, scratch, spark)
    spark.stop()


if __name__ == "__main__":
    main()
