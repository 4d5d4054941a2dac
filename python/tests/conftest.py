"""Recordings written byte by byte with struct, independent of Morvela's own
encoder and decoder, and the Morvela program to convert them."""

import os
import struct
import subprocess

import numpy as np
import pytest

MORVELA = os.environ.get("MORVELA_BINARY", "Morvela")
SYNTH = os.environ.get("MORVELA_SYNTH", "morvela-synth")
DEMO = os.environ.get("MORVELA_DEMO", "examples/demo.dat")


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
    """write(name, bytes) -> path of a new file in a scratch directory."""

    def write_file(name, data):
        path = tmp_path / name
        path.write_bytes(data)
        return path

    return write_file


def convert(path):
    """Runs the Morvela program on `path`: (exit status, report text)."""
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


def report_rows(text):
    """The sample rows of a report as lists of fields."""
    lines = text.split("\r\n")
    at = next(i for i, line in enumerate(lines) if line.startswith("TimeOffset"))
    return [line.split(";") for line in lines[at + 1:]]


def raw_recording(write, name, rows, inputs, dtype=">i2", seed=0,
                  type_name=None, pretrigger=7, sample_time=250):
    """A recording of random values written by hand; returns (path, values
    decoded by numpy from the stored bytes)."""
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


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.dtype == b.dtype and a.shape == b.shape
    view = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}[a.dtype.itemsize]
    np.testing.assert_array_equal(a.view(view), b.view(view))


def fixed_point(value, decimals, force_sign):
    """The report's rule, with exact decimal arithmetic: the binary value
    rounded half-up to 17 significant digits, then half-up to `decimals`."""
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
    """The report's TimeOffset of `row` read as a double, from its rule."""
    return float(fixed_point(float(row - pretrigger) * sample_time * 1e-6, 9, True))


def in_threads(work, count):
    """Runs work(k) for k in range(count), each in a thread of its own;
    returns what they raised."""
    import threading

    errors = []

    def run(k):
        try:
            work(k)
        except Exception as error:  # noqa: BLE001 - returned to the test
            errors.append(error)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return errors
