"""Failures raise errors whose status is the Morvela program's exit status
for the same file."""

import errno
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import morvela
from conftest import convert, header_bytes, input_bytes

CASES = {
    "wrong magic": (header_bytes("short", 2, 1, 1, magic=b"KIVX") +
                    input_bytes([b"a"]) + b"\0\1", morvela.NotRecordingError, -6),
    "lower-case magic": (header_bytes("short", 2, 1, 1, magic=b"kiv\0") +
                         input_bytes([b"a"]) + b"\0\1",
                         morvela.NotRecordingError, -6),
    "short header": (header_bytes("short", 2, 1, 1)[:100],
                     morvela.RecordingReadError, -1),
    "short input table": (header_bytes("short", 2, 4, 1) + input_bytes([b"a"] * 2),
                          morvela.RecordingReadError, -1),
    "input table beyond memory": (header_bytes("short", 2, 0xFFFFFFFF, 1),
                                  morvela.RecordingMemoryError, -5),
}


@pytest.mark.parametrize("case", list(CASES))
def test_open_failures(write, case):
    data, error, status = CASES[case]
    path = write("rec.dat", data)
    with pytest.raises(error) as raised:
        morvela.open(path)
    assert raised.value.status == status
    assert str(path) in str(raised.value)
    assert convert(str(path))[0] == status & 0xFF


@pytest.mark.parametrize("type_name,size", [("Short", 2), ("double", 4),
                                            ("float", 2), ("", 2)])
def test_unknown_types_fail_at_the_first_value(write, type_name, size):
    path = write("rec.dat", header_bytes(type_name, size, 1, 2) +
                 input_bytes([b"a"]) + b"\0" * (2 * size))
    with morvela.open(path) as rec:
        assert rec.header.data_type == type_name
        assert rec.read(0, 0).shape == (0, 1)
        with pytest.raises(morvela.UnknownDataTypeError) as raised:
            rec.read()
    assert raised.value.status == -4
    assert convert(str(path))[0] == 252


def test_truncated_sample_block_names_the_row(write):
    stored = np.arange(10, dtype=">i2").tobytes()
    # 3 inputs, 5 rows declared: the data end inside row 3.
    path = write("rec.dat", header_bytes("short", 2, 3, 5) +
                 input_bytes([b"a", b"b", b"c"]) + stored)
    with morvela.open(path) as rec:
        np.testing.assert_array_equal(rec.read(0, 3).ravel(), np.arange(9))
        with pytest.raises(morvela.TruncatedRecordingError) as raised:
            rec.read()
        assert raised.value.row == 3
        assert raised.value.status == -1
        assert "row 3" in str(raised.value)
        with pytest.raises(morvela.TruncatedRecordingError):
            list(rec.chunks(rows=2))
    assert convert(str(path))[0] == 255


def test_bad_paths_raise_the_usual_os_errors(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        morvela.open(tmp_path / "missing.dat")
    assert raised.value.errno == errno.ENOENT
    with pytest.raises(IsADirectoryError):
        morvela.open(tmp_path)


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "morvela", *map(str, args)],
                          capture_output=True, text=True)


def test_command_line(write, tmp_path):
    path = write("rec.dat", header_bytes("short", 2, 2, 4, 1) +
                 input_bytes([b"U1", b"I1"], [b"V", b"A"]) +
                 np.array([1, -1, 2, -2, 3, -3, 400, -400], ">i2").tobytes())
    done = run_cli("info", path)
    assert done.returncode == 0, done.stderr
    info = json.loads(done.stdout)
    assert info["header"]["samples"] == 4
    assert info["header"]["trigger_time"] == "2005-03-14T09:26:53.250000000Z"
    assert info["inputs"] == [{"name": "U1", "unit": "V"},
                              {"name": "I1", "unit": "A"}]

    done = run_cli("plot", path, "-o", tmp_path / "rec.png")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "rec.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    bad = write("bad.dat", b"KIVX" + b"\0" * 300)
    assert run_cli("info", bad).returncode == 250
    assert run_cli("info").returncode == 2
    assert "plot" in run_cli("--help").stdout

    # One form for a file that cannot be opened, whatever the subcommand.
    missing = tmp_path / "missing.dat"
    for command in ("info", "plot", "export"):
        done = run_cli(command, missing)
        assert done.returncode == (1 if command == "export" else 255)
        assert done.stderr.splitlines()[0] == \
            f"morvela: {missing}: No such file or directory", command
    # An input that is not there keeps its quotes and names those that are.
    for wanted, shown in (("U2", "no input named 'U2'"), ("7", "no input 7"),
                          ("-3", "no input -3")):
        done = run_cli("plot", path, "-i", wanted)
        assert done.returncode == 2
        assert done.stderr == (f"morvela: {path}: {shown} "
                               "(inputs: 'U1', 'I1')\n")
    # The version, from python3 -m morvela and from the console command.
    version = run_cli("--version")
    assert version.returncode == 0
    assert version.stdout == f"morvela {morvela.__version__}\n"
    with open("/dev/full", "w") as full:
        done = subprocess.run([sys.executable, "-m", "morvela", "--version"],
                              stdout=full, stderr=subprocess.PIPE, text=True)
    assert done.returncode == 3 and len(done.stderr.splitlines()) == 1
    command = os.path.join(os.path.dirname(sys.executable), "morvela")
    done = subprocess.run([command, "info", path], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == run_cli("info", path).stdout
    done = subprocess.run([command, "info"], capture_output=True, text=True)
    assert done.returncode == 2 and done.stderr.startswith("morvela: info: ")
