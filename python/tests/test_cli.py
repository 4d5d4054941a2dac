# The package's command line (info, plot, export) as a user meets it:
# each documented status, every failure one line with no traceback, outputs
# that cannot be written, interrupts at chosen points, and what a terminal
# shows.

import contextlib
import io
import json
import logging
import multiprocessing
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import morvela
from conftest import (POINTS, cli, convert, counted_recording, header_bytes, input_bytes,
                      interrupt_at, leftovers, one_line, parquet_values, raw_recording,
                      recordings, run_cli, same_bits, stall_on_workers, when_exists)

pq = pytest.importorskip("pyarrow.parquet")
h5py = pytest.importorskip("h5py")


@pytest.fixture
def rec(write):
    return write("rec.dat", header_bytes("short", 2, 2, 4, 1) +
                 input_bytes([b"U1", b"I1"], [b"V", b"A"]) +
                 np.array([1, -1, 2, -2, 3, -3, 400, -400], ">i2").tobytes())


def test_info_is_the_header_as_json(write, tmp_path, capsys, rec):
    status, out, err = cli(capsys, "info", rec)
    info = json.loads(out)
    assert out.startswith('{\n  "path": ')  # indented for a reader
    assert (status, err, info["path"]) == (0, "", str(rec))
    with morvela.open(rec) as opened:
        assert info["header"] == opened.header.to_dict()
    assert info["header"]["trigger_time"] == "2005-03-14T09:26:53.250000000Z"
    assert info["inputs"] == [{"name": "U1", "unit": "V"}, {"name": "I1", "unit": "A"}]
    assert info["complete_rows"] == 4
    # Bytes that are not UTF-8, in the path and the names: ASCII JSON whose
    # text encodes back to them.
    raw = write(os.fsdecode(b"rec\xff\xfe.dat"),
                header_bytes("short", 2, 1, 2, name=b"bl\xe9", trigger_time=-10.0) +
                input_bytes([b"\xb5A"], [b"\xb0C"]) + b"\0\1\0\2")
    status, out, err = cli(capsys, "info", raw)
    info = json.loads(out)
    assert status == 0 and out.isascii() and os.fsencode(info["path"]) == os.fsencode(raw)
    assert info["inputs"][0]["unit"].encode("utf-8", "surrogateescape") == b"\xb0C"
    assert info["header"]["block_name"].encode("utf-8", "surrogateescape") == b"bl\xe9"
    assert info["header"]["trigger_time"] is None
    # A shortened file: the rows it holds, and one line that says so; both
    # where the outputs take ASCII alone.
    write("\xe9.dat", rec.read_bytes()[:-5])
    ascii_only = dict(os.environ, PYTHONIOENCODING="ascii")
    done = run_cli("info", "\xe9.dat", cwd=tmp_path, env=ascii_only)
    assert (done.returncode, json.loads(done.stdout)["complete_rows"]) == (0, 2)
    assert done.stderr == ("morvela: $'\\303\\251.dat': shortened: the file holds 2 of the 4 rows "
                           "its header claims\n")
    done = run_cli("info", "\xe9\xe9.dat", cwd=tmp_path, env=ascii_only)
    assert (done.returncode, done.stderr) == (
        255, "morvela: $'\\303\\251\\303\\251.dat': No such file or directory\n")


@pytest.mark.parametrize("command", ["info", "plot", "export"])
@pytest.mark.parametrize("content, status", [
    (None, 255), (b"KIVX" + bytes(300), 250), (b"kiv\0" + bytes(300), 250),
    (header_bytes("short", 2, 1, 1)[:247], 255),
    (header_bytes("short", 2, 4, 1) + input_bytes([b"a"] * 2), 255),
    (header_bytes("short", 2, 0xFFFFFFFF, 1), 251),
    (header_bytes("long", 2, 1, 2) + input_bytes([b"a"]) + bytes(4), 252),
])
def test_a_recording_that_cannot_be_read_is_the_programs_status(
        write, tmp_path, capsys, command, content, status):
    path = tmp_path / "gone" / "bad.dat" if content is None else write("bad.dat", content)
    if command == "info" and status == 252:
        status = 0  # the header alone is read
    got, out, err = cli(capsys, command, path)
    assert got == (min(status, 1) if command == "export" else status), err
    if got:
        assert err.splitlines()[0].startswith(f"morvela: {path}: ")
        assert len(err.splitlines()) == (2 if command == "export" else 1)
    if content is None:
        assert err.splitlines()[0] == f"morvela: {path}: No such file or directory"
    elif command == "plot":  # the converter's own status for the file
        assert convert(str(path))[0] == status


def test_plot_writes_where_it_says(write, tmp_path, capsys, monkeypatch):
    (tmp_path / "run.01").mkdir()
    (tmp_path / "out").mkdir()
    path, _ = counted_recording(write, 50, name="run.01/rec.dat")
    counted_recording(write, 50, name="rec")
    monkeypatch.chdir(tmp_path)
    png, beside = b"\x89PNG\r\n", "run.01/rec.png"
    for args, target, magic in (
            (["run.01/rec.dat"], beside, png), (["run.01/rec.dat", "-o", "out"], "out/rec.png", png),
            ([path, "-o", "p.svg"], "p.svg", b"<?xml"), ([path, "-o", "p"], "p", png),
            (["run.01/rec.dat", "--width", "100", "-i", "in2", "-i", "0"], beside, png),
            (["run.01/rec.dat", "--start", "49"], beside, png),  # one row of 50
            ([path, "-o", "new/deeper/"], "new/deeper/rec.png", png),
            (["./rec"], "./rec.png", png)):
        status, out, err = cli(capsys, "plot", *args)
        assert (status, out) == (0, f"{target}\n"), err
        assert (tmp_path / target).read_bytes().startswith(magic)
    # The range, inputs and width asked for are what is drawn.
    drawn = []
    real = morvela.Recording.plot
    monkeypatch.setattr(morvela.Recording, "plot",
                        lambda rec, *a, **k: drawn.append((a, k)) or real(rec, *a, **k))
    assert cli(capsys, "plot", path, "--start", "5", "--stop", "40", "--input", "in2", "-i", "0",
               "--width", "300")[0] == 0
    assert cli(capsys, "plot", path)[0] == 0  # the defaults: every row and input, 1600 pixels
    assert drawn == [((None,), {"start": 5, "stop": 40, "inputs": ["in2", 0], "width": 300}),
                     ((None,), {"start": 0, "stop": None, "inputs": None, "width": 1600})]
    assert not (tmp_path / "run.png").exists() and not (tmp_path / ".png.png").exists()
    assert cli(capsys, "plot", path, "-o", "p.svg", "--print0")[:2] == (0, "p.svg\0")
    # A recording of no rows has no range to refuse: it draws empty.
    empty = write("empty.dat", header_bytes("short", 2, 1, 0) + input_bytes([b"a"]))
    assert cli(capsys, "plot", empty, "--start", "5")[:2] == (0, f"{tmp_path}/empty.png\n")
    itself = write("x.png", path.read_bytes())
    status, out, err = cli(capsys, "plot", itself)
    assert status == 2 and "is the recording itself" in err
    assert itself.read_bytes() == path.read_bytes()


def test_usage_help_and_version(capsys, monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "argv", [])
    status, out, err = cli(capsys, "--help")
    assert status == 0 and out.startswith("usage: python3 -m morvela [-h] [--version]")
    assert cli(capsys) == (
        2, "", "morvela: the following arguments are required: command (see --help)\n")
    status, out, err = cli(capsys, "--version")
    assert (status, out) == (0, f"morvela {morvela.__version__}\n")
    # The console command, as a program of its own, on a full disk.
    with open("/dev/full", "w") as full:
        done = subprocess.run([os.path.join(os.path.dirname(sys.executable), "morvela"),
                               "--version"], stdout=full, stderr=subprocess.PIPE, text=True)
    assert done.returncode == 3
    one_line(done.stderr)
    # Ctrl-C while it starts, here in the import of numpy, is one line too.
    (tmp_path / "numpy.py").write_text(
        "import os, signal, time\nos.kill(os.getpid(), signal.SIGINT)\ntime.sleep(30)\n")
    path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
    done = run_cli("info", "any.dat", env=dict(os.environ, PYTHONPATH=path))
    assert (done.returncode, done.stderr) == (130, "morvela: interrupted\n")


# The command line's documentation is its --help (as the README says): each
# command's help holds every text of its section in help.txt, whole, as the
# terminal's width wraps it (at a space, or after a hyphen).
@pytest.mark.parametrize("command", ["", "info", "plot", "export", "convert"])
def test_help_holds_what_help_txt_documents(capsys, command):
    with open(os.path.join(os.path.dirname(__file__), "help.txt"), encoding="utf-8") as f:
        sections = dict(re.findall(r"^\[(\w*)\]\n((?:[^[].*\n)*)", f.read(), re.M))
    status, out, _ = cli(capsys, *filter(None, [command]), "--help")
    wrapped = [r"\s+".join(re.escape(w).replace("\\-", "-\\s*") for w in t.split())
               for t in sections[command].splitlines()]
    assert status == 0 and [w for w in wrapped if not re.search(f"(?<!\\S){w}(?!\\S)", out)] == []


# An error without a file name is its reason alone; an interrupt or SIGTERM
# outside a batch is the word alone. SIGTERM's handler is given back.
@pytest.mark.parametrize("error, status, said", [
    (OSError(5, "Input/output error"), 255, "Input/output error"),
    (OSError("no number,\n  two lines"), 255, "no number, two lines"), (OSError(), 255, "OSError"),
    (KeyboardInterrupt(), 130, "interrupted"), (signal.SIGTERM, 143, "terminated"),
    (signal.SIGHUP, 129, "hung up")])
def test_an_os_error_without_a_file_name_is_its_reason_alone(monkeypatch, capsys, error, status,
                                                             said):
    import morvela.__main__ as main

    def failing(args):
        if isinstance(error, signal.Signals):
            os.kill(os.getpid(), error)
        raise error

    monkeypatch.setattr(main, "_info", failing)
    # Handlers to be given back.
    handlers = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGTERM, signal.SIGHUP)}
    try:
        assert cli(capsys, "info", "r.dat") == (status, "", f"morvela: {said}\n")
        assert {signal.getsignal(s) for s in handlers} == {signal.SIG_IGN}
    finally:
        for signum, handler in handlers.items():
            signal.signal(signum, handler)


# A package a command needs, missing: one line naming the extra, status 5.
@pytest.mark.parametrize("args, package, extra", [
    (["plot"], "matplotlib", "'morvela[plot]'"), (["export"], "pyarrow", "'morvela[parquet]'"),
    (["export", "--to", "hdf5"], "h5py", "'morvela[hdf5]'"),
    (["info", "s3://b/r.dat"], "s3fs", "'morvela[s3]'"),
    (["convert", "-o", "gs://b/out/"], "gcsfs", "gcsfs"),
    (["plot", "-o", "s3://b/r.png"], "s3fs", "'morvela[s3]'")])
def test_a_missing_package_names_its_extra(write, capsys, monkeypatch, args, package, extra):
    path, _ = raw_recording(write, "r.dat", 10, 1)
    monkeypatch.setitem(sys.modules, package, None)
    given = args[1:] if args[0] == "info" else [path, *args[1:]]
    assert cli(capsys, args[0], *given) == (
        5, "", f"morvela: {args[0]} needs {package}: pip install {extra}\n")


class _Failing:
    # A standard output on descriptor `fd` whose writes fail as on a full
    # disk (`closed`: as a closed one does).

    def __init__(self, fd, closed=False):
        self.fd, self.closed, self.written = fd, closed, 0

    def write(self, text):
        self.written += 1
        self.flush()

    def flush(self):
        if self.written:
            raise ValueError("closed") if self.closed else OSError(28, "No space left")

    def fileno(self):
        return self.fd

    buffer = property(lambda self: self)  # where --print0 writes its bytes


@pytest.mark.parametrize("closed", [False, True, None])
@pytest.mark.parametrize("command, status, said", [
    ("info", 3, "morvela: cannot write the header: "),
    ("plot", 3, "morvela: wrote PNG, but cannot write its name to standard output\n"),
    ("export", 3, "morvela: cannot write the targets' names to standard output\n"),
    ("--print0", 3, "morvela: cannot write the targets' names to standard output\n"),
    ("--version", 3, "morvela: cannot write the version to standard output\n"),
])
def test_a_failed_standard_output_is_said_once_and_silenced(
        write, tmp_path, capsys, monkeypatch, command, status, said, closed):
    paths = [raw_recording(write, f"r{k}.dat", 10, 1, seed=k)[0] for k in range(2)]
    reader, writer = os.pipe()
    failing = _Failing(writer, closed)
    monkeypatch.setattr(sys, "stdout", None if closed is None else failing)
    args = {"info": ["info", paths[0]], "plot": ["plot", paths[0]],
            "export": ["export", *paths], "--print0": ["export", *paths, "--print0"],
            "--version": ["--version"]}[command]
    got, _, err = cli(capsys, *args)
    # Nothing more is tried, and what Python would flush at exit goes nowhere.
    assert got == status and failing.written == (closed is not None)
    if closed is not None:
        assert os.readlink(f"/proc/self/fd/{writer}") == "/dev/null"
    elif command == "info":
        assert err == "morvela: cannot write the header: standard output is closed\n"
    os.close(reader)
    os.close(writer)
    said = said.replace("PNG", str(tmp_path / "r0.png"))
    lines = err.splitlines(keepends=True)
    assert lines[-1].startswith(said) and len(lines) == (2 if "targets" in said else 1)
    if "targets" in said:
        assert lines == ["morvela: exported 2 of 2 recordings, 0 failed\n", said]
        assert pq.read_table(tmp_path / "r1.parquet").num_rows == 10


@pytest.mark.parametrize("args, status, fragment", [
    (["plot", "-i", "U2"], 2, "no input named 'U2' (inputs: 'in0')"),
    (["plot", "-i", "1"], 2, "no input 1 (inputs: 'in0')"),
    (["plot", "-i", "-2"], 2, "no input -2 (inputs: 'in0')"),
    (["plot", "--width", "99"], 2, "--width 99: at least 100 pixels"),
    (["plot", "--start", "10"], 2,
     "--start 10 --stop None: no rows to draw (the recording has 10 rows)\n"),
    (["plot", "--start", "5", "--stop", "5"], 2, "no rows to draw"),
    (["plot", "-o", "FILE/sub/"], 2, "plot: -o FILE/sub/: cannot create it: Not a directory\n"),
    (["plot", "-o", "p.txt"], 2, "p.txt: not an image suffix: .txt (one of .png .pdf .svg .jpg "
     ".jpeg .tif .tiff .eps .ps .webp)\n"),
    (["plot", "-i", "X1"], 2, "no input named 'X1' (inputs: 'in0')\n"),
    (["plot", "-o", "/dev/full"], 3, "cannot write /dev/full"),
    (["plot", "--width", "x"], 2, "plot: argument --width: invalid int value"),
    *((["--scheduler", address], 2, f"export: argument --scheduler: not a scheduler address: "
       f"'{address}' (HOST:PORT or tcp://HOST:PORT) (see --help)\n") for address in (
        "127.0.0.1", "not an address", "foo://h:1", "h:abc", "h:0", "h:65536", "")),
    (["--scheduler", "127.0.0.1:CLOSED", "--connect-timeout", "0.5"], 4,
     "cannot reach the scheduler"),
    (["--scheduler", "[127.0.0.1]:CLOSED"], 4, "cannot reach the scheduler at [127.0.0.1]:CLOSED: "
     "[Errno 111] Connection refused\n"),
    (["--scheduler", "[::1]:CLOSED"], 4, "cannot reach the scheduler at [::1]:CLOSED: "),
    (["--scheduler", "127.0.0.1:CLOSING"], 4, "cannot reach the scheduler at 127.0.0.1:CLOSING: "
     "it closed the connection\n"),
    (["--scheduler", "tcp://127.0.0.1:CLOSED", "--connect-timeout", "999999"], 4,
     "cannot reach the scheduler"),
    # A port that takes the connection and stays silent: no longer than the
    # timeout.
    (["--scheduler", "127.0.0.1:SILENT", "--connect-timeout", "1"], 4,
     "cannot reach the scheduler at 127.0.0.1:SILENT: no answer within 1 s\n"),
    *((["--scheduler", "h:1", "--connect-timeout", t], 2, f"--connect-timeout: {t}: more than 0 "
       "and less than 1000000 (see --help)\n") for t in ("0", "-0.5", "1e6", "nan")),
    (["--scheduler", "h:1", "--connect-timeout", "x"], 2,
     "--connect-timeout: not a number of seconds: 'x' (see --help)\n"),
    (["--jobs", "0"], 2, "--jobs: 0: at least 1 (see --help)\n"),
    (["--jobs", "two"], 2, "--jobs: not a whole number: 'two' (see --help)\n"),
    (["-o", "FILE"], 2, "export: argument -o/--output: 'FILE' is not a directory (see --help)\n"),
    (["-o", "FILE/sub"], 2, "export: -o FILE/sub: cannot create it: Not a directory\n"),
    (["-o"], 2, "export: argument -o/--output: expected one argument (see --help)\n"),
    (["--to", "csv"], 2, "--to"),
    (["--to", "hdf5", "--compression", "zstd"], 2,
     "export: --compression is Parquet's: HDF5 is always gzip\n"),
])
def test_plot_and_export_refuse_in_one_line(write, tmp_path, capsys, monkeypatch, ports,
                                            args, status, fragment):
    monkeypatch.chdir(tmp_path)
    path, _ = raw_recording(write, "r.dat", 10, 1)
    before = path.read_bytes()
    command, args = ("plot", args[1:]) if args[0] == "plot" else ("export", args)
    for name, value in (("FILE", str(path)), *ports.items()):
        args, fragment = [a.replace(name, value) for a in args], fragment.replace(name, value)
    got, out, err = cli(capsys, command, path, *args)
    assert got == status and out == ""
    one_line(err)
    assert fragment in err and (not fragment.endswith("\n") or err.endswith(fragment))
    assert sorted(os.listdir(tmp_path)) == ["r.dat"] and path.read_bytes() == before


@pytest.mark.parametrize("inputs, more", [(0, ""), (10, ""), (11, ", and 1 more")])
def test_plot_names_the_first_ten_inputs_of_those_it_has(write, capsys, inputs, more):
    path, _ = raw_recording(write, "r.dat", 4, inputs)
    known = ", ".join(f"'in{k}'" for k in range(min(inputs, 10))) or "none"
    assert cli(capsys, "plot", path, "-i", "X") == (
        2, "", f"morvela: {path}: no input named 'X' (inputs: {known}{more})\n")


@pytest.fixture(scope="module")
def ports():
    # Ports on this machine: CLOSED (nothing listens), SILENT (takes the
    # connection and says nothing, as a web server does until asked) and
    # CLOSING (takes it and closes it at once) and SPEAKING (says what no
    # scheduler says first, and closes it).
    servers = {name: socket.create_server(("127.0.0.1", 0))
               for name in ("CLOSED", "SILENT", "CLOSING", "SPEAKING")}
    found = {name: str(server.getsockname()[1]) for name, server in servers.items()}
    servers.pop("CLOSED").close()

    def close_each(server, said=b""):
        with contextlib.suppress(OSError):  # until the server is closed
            while True:
                with server.accept()[0] as connection:
                    connection.sendall(said)

    threading.Thread(target=close_each, args=(servers["CLOSING"],), daemon=True).start()
    threading.Thread(target=close_each, args=(servers["SPEAKING"], b"SSH-2.0-x\r\n" * 9),
                     daemon=True).start()
    yield found
    for server in servers.values():
        server.shutdown(socket.SHUT_RDWR)
        server.close()


def test_a_cluster_that_fails_says_one_line_and_nothing_of_its_own(write, tmp_path, ports):
    # In a process of its own, which ends after the failure: a port that
    # speaks but is no scheduler; a log line of the cluster's.
    pytest.importorskip("distributed")
    path, _ = raw_recording(write, "r.dat", 10, 1)
    done = run_cli("export", path, "--scheduler", f"127.0.0.1:{ports['SPEAKING']}", cwd=tmp_path)
    assert done.returncode == 4 and done.stderr.startswith(
        f"morvela: cannot reach the scheduler at 127.0.0.1:{ports['SPEAKING']}: ")
    one_line(done.stderr)
    logged = subprocess.run([sys.executable, "-c", "import logging, morvela.__main__ as m; "
                             "m._silence_cluster_logs(); import distributed; "
                             "logging.getLogger('distributed.client').error('lost')"],
                            capture_output=True, text=True, timeout=300)
    assert (logged.returncode, logged.stderr) == (0, "")


def test_connect_asks_for_its_timeout_and_says_why_it_failed(monkeypatch, capsys):
    distributed = pytest.importorskip("distributed")
    import dask

    from morvela import _batch

    seen = []

    def start(client, **options):
        seen.append(client)
        seen.append((client._start_arg, client._timeout, client._set_as_default,
                     dask.config.get("distributed.comm.timeouts.connect")))
        raise OSError("refused,\n  twice")

    monkeypatch.setattr(_batch, "_probe", lambda address, timeout: None)
    monkeypatch.setattr(distributed.Client, "start", start)
    raised = pytest.raises(_batch.WorkerError, _batch.connect, "h:1", 2.5)
    assert str(raised.value) == "cannot reach the scheduler at h:1: refused, twice"
    # A client that did not start is closed: it tries no close of its own.
    made = seen.pop(0)
    assert seen == [("h:1", 2.5, False, 2.5)] and made.status == "closed"
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert str(pytest.raises(_batch.WorkerError, _batch.connect, "h:1", 1).value).startswith(
        "--scheduler needs dask.distributed (pip install 'morvela[xarray]'): ")

    # The command asks for 10 s where no --connect-timeout is given.
    def unreachable(address, timeout):
        seen.append((address, timeout))
        raise _batch.WorkerError("none there")

    monkeypatch.setattr(_batch, "connect", unreachable)
    assert cli(capsys, "export", "r.dat", "--scheduler", "h:1") == (4, "", "morvela: none there\n")
    assert seen[-1] == ("h:1", 10.0)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_colliding_targets_are_refused_and_the_rest_exported(write, tmp_path, capsys,
                                                             monkeypatch, jobs):
    for folder in ("run1", "run2"):
        (tmp_path / folder).mkdir()
    first, _ = raw_recording(write, "run1/rec.dat", 100, 2, seed=1)
    second, _ = raw_recording(write, "run2/rec.dat", 100, 2, seed=2)
    other, values = raw_recording(write, "run1/other.dat", 100, 2, seed=3)
    monkeypatch.chdir(tmp_path)
    status, out, err = cli(capsys, "export", first, second, other, "-o", "out", "--jobs", jobs,
                           "--compression", "snappy")
    assert status == 1 and out == "out/other.parquet\n"
    lines = err.splitlines()
    assert len(lines) == 3 and "Traceback" not in err
    for line in lines[:2]:
        assert str(first) in line and str(second) in line, line
    assert lines[2] == "morvela: exported 1 of 3 recordings, 2 failed"
    assert os.listdir(tmp_path / "out") == ["other.parquet"]
    same_bits(parquet_values(tmp_path / "out" / "other.parquet"), values)
    assert pq.ParquetFile(tmp_path / "out" / "other.parquet").metadata.row_group(0).column(
        1).compression == "SNAPPY"
    # Two names of one stem in one folder, and HDF5: the same.
    (tmp_path / "run1" / "rec.bak").write_bytes(first.read_bytes())
    assert cli(capsys, "export", first, "run1/rec.bak", "--to", "hdf5", "--jobs", jobs)[:2] == \
        (1, "")
    assert not (tmp_path / "run1" / "rec.h5").exists()
    # One recording named twice is one recording: by a link, a hard link in
    # another folder, another spelling; or one missing file, twice.
    os.symlink(tmp_path / "run1", tmp_path / "link")
    # Beside themselves, one name in two folders is two targets; one folder
    # by a link and by its own name is one.
    status, out, err = cli(capsys, "export", "run1/rec.dat", "run2/rec.dat", "--jobs", jobs)
    assert (status, sorted(out.split())) == (0, ["run1/rec.parquet", "run2/rec.parquet"])
    assert cli(capsys, "export", "link/rec.bak", "run1/rec.dat", "--jobs", jobs)[:2] == (1, "")
    os.link(tmp_path / "run1" / "other.dat", tmp_path / "run2" / "other.dat")
    status, out, err = cli(capsys, "export", "run1/other.dat", "link/other.dat", "run2/other.dat",
                           "run1/../run1/other.dat", "-o", "a/b/c", "--jobs", jobs)
    assert status == 0 and out == "a/b/c/other.parquet\n"  # -o made with its parents
    assert err == "morvela: exported 1 of 1 recordings, 0 failed\n"
    status, out, err = cli(capsys, "export", "run1/none.dat", "link/none.dat", "-o",
                           "gone/deeper", "--jobs", jobs)
    assert (status, out, os.path.exists("gone")) == (1, "", False)  # nothing to hold
    assert err.splitlines()[1:] == ["morvela: exported 0 of 1 recordings, 1 failed"]
    # Beside a missing file of its name, a recording is no collision.
    status, out, err = cli(capsys, "export", "run1/other.dat", "run1/none/other.dat", "-o",
                           "beside", "--jobs", jobs)
    assert (status, out) == (1, "beside/other.parquet\n")


def test_workers_never_outnumber_recordings_and_a_failed_start_is_status_4(
        write, tmp_path, monkeypatch, capsys):
    sources = [p for p, _ in recordings(write, 2)]
    most = []
    # More processors than recordings: the pool is still no larger.
    for name in ("cpu_count", "process_cpu_count"):
        if hasattr(os, name):
            monkeypatch.setattr(os, name, lambda: 64)
    outcomes = morvela.export_batch(
        sources, jobs=100000,
        progress=lambda outcome: most.append(len(multiprocessing.active_children())))
    assert all(o.error is None for o in outcomes) and max(most) <= 2
    for target in (o.target for o in outcomes):
        os.unlink(target)

    def no_fork():
        raise BlockingIOError(11, "Resource temporarily unavailable")

    monkeypatch.setattr(os, "fork", no_fork)
    status, _, err = cli(capsys, "export", *sources, "--jobs", "2")
    assert status == 4 and err == ("morvela: cannot start worker processes: "
                                   "[Errno 11] Resource temporarily unavailable\n")
    assert not list(tmp_path.glob("*.parquet")) and not leftovers(tmp_path)


def _terminal(columns, rows=60):
    # A pseudo-terminal that reports `columns` (0: no width): (master, slave).
    import fcntl
    import pty
    import struct
    import termios

    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    return master, slave


def _in_a_terminal(argv, columns, cwd, piped=False):
    # Runs argv with both streams on a pseudo-terminal `columns` wide (or
    # standard output on a pipe); returns (status, bytes shown, screen
    # rendered by a terminal emulator of that width, or 80 where it reports
    # none, bytes piped).
    pyte = pytest.importorskip("pyte")
    master, slave = _terminal(columns)
    process = subprocess.Popen(argv, stdin=slave, stdout=subprocess.PIPE if piped else slave,
                               stderr=slave, cwd=cwd)
    os.close(slave)
    shown, chunk = b"", b"more"
    while chunk:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the other side closed
            chunk = b""
        shown += chunk
    os.close(master)
    screen = pyte.Screen(columns or 80, 60)
    pyte.ByteStream(screen).feed(shown)
    piped = process.stdout.read() if piped else b""
    return process.wait(60), shown, [line.rstrip() for line in screen.display], piped


# Targets on standard output, failures on standard error, and the bar drawn
# again under each line counts it: all of it on a terminal, or the targets
# on a pipe.
@pytest.mark.parametrize("columns, piped", [(100, False), (40, False), (0, False), (100, True)])
def test_progress_never_garbles_the_printed_lines(write, tmp_path, columns, piped):
    pytest.importorskip("tqdm")
    sources = [str(p) for p, _ in recordings(write, 6, rows=20_000)]
    bad = write("bad.dat", b"KIVX" + bytes(300))
    status, shown, screen, out = _in_a_terminal(
        [sys.executable, "-m", "morvela", "export", *sources[:3], bad, *sources[3:], "-o", "out"],
        columns, tmp_path, piped)
    targets = [f"out/r{k}.parquet" for k in range(6)]
    failure = f"morvela: {bad}: Input file is not a transient recorder file"
    printed = [failure] + ([] if piped else targets)

    def wrapped(line):  # as the screen shows it, each row's trailing blanks dropped
        width = columns or 80
        return [part for i in range(0, len(line), width) if (part := line[i:i + width].rstrip())]

    summary = wrapped("morvela: exported 6 of 7 recordings, 1 failed")
    lines = [line for line in screen if line]
    assert status == 1 and lines[-len(summary):] == summary
    assert sorted(lines[:-len(summary)]) == sorted(sum(map(wrapped, printed), []))
    assert sorted(out.decode().splitlines()) == (targets if piped else [])
    assert (b"rec/s" in shown) == bool(columns)  # no width, no bar
    if columns and not piped:
        printed.sort(key=lambda line: shown.index(line.encode()))
        for n, line in enumerate(printed, 1):
            bar = shown[shown.index(line.encode()) + len(line):].split(b"\n")[1]
            failed = int(n > printed.index(failure))
            assert f"| {n}/7 [".encode() in bar and (
                columns < 100 or f"failed={failed}]".encode() in bar), bar


# No more recordings than processes: the bar counts the bytes read, and
# moves while they run.
@pytest.mark.parametrize("command, jobs", [("export", 1), ("export", 2), ("convert", 1)])
def test_a_few_big_recordings_show_their_bytes(write, tmp_path, monkeypatch, command, jobs):
    from morvela import _batch, _export

    made = [p for p, _ in recordings(write, jobs, rows=40_000, inputs=16)]
    blocks = _export._blocks

    def slowly(*args):  # long enough for the loop's ticks to see a block
        for block in blocks(*args):
            time.sleep(0.02)
            yield block

    monkeypatch.setattr(_export, "_blocks", slowly)
    monkeypatch.setattr(_export, "BLOCK_BYTES", 64 << 10)
    # Two recordings: a finished one counts whole, once.
    both = [p for p, _ in recordings(write, 2, rows=40_000, inputs=16, prefix="b")]
    plan = _batch.Plan(both, tmp_path / "out", "report" if command == "convert" else "hdf5")
    (tmp_path / "out").mkdir()
    seen, at_outcome = [], []
    outcomes = _batch.run_batch(plan, jobs=jobs, moved=seen.append,
                                progress=lambda outcome: at_outcome.append(seen[-1]))
    whole = sum(os.path.getsize(p) for p in both)
    assert [o.error for o in outcomes] == [None] * 2
    assert seen == sorted(seen) and seen[-1] == whole
    # Moving within a recording (a report is written by C++ in one go).
    within = [n for n in seen if n not in (0, whole // 2, whole)]
    assert within if command == "export" else any(0 < n < whole for n in seen), seen
    # With two at once, the other may be read whole by the first outcome.
    assert at_outcome[0] == whole // 2 if jobs == 1 else whole // 2 <= at_outcome[0] <= whole
    tqdm = pytest.importorskip("tqdm")  # the bar is tqdm's
    status, shown, _, _ = _in_a_terminal(
        [sys.executable, "-m", "morvela", command, *map(str, made), "-o", "again",
         "--jobs", str(jobs)], 100, tmp_path)
    assert status == 0 and b"B/s" in shown and b"rec/s" not in shown
    # Sizes in binary multiples.
    total = tqdm.tqdm.format_sizeof(sum(os.path.getsize(p) for p in made), divisor=1024)
    assert f"/{total} [".encode() in shown


# How a name is shown, at each edge of what must be quoted: C0, DEL and C1
# (but not U+00A0), a byte that is not UTF-8, a lone surrogate, a character
# the output's encoding lacks, and ' and \ inside a quoted name.
@pytest.mark.parametrize("name, encoding, shown", [
    ("a~b", "utf-8", "a~b"), ("a\x7fb", "utf-8", "$'a\\177b'"), ("\x9f", "utf-8", "$'\\302\\237'"),
    ("\xa0\ud7ff\ue000", "utf-8", "\xa0\ud7ff\ue000"), ("\ud800", "utf-8", "$'\\355\\240\\200'"),
    ("\udfff", "utf-8", "$'\\355\\277\\277'"), (os.fsdecode(b"\x80\xff"), "utf-8", "$'\\200\\377'"),
    ("\udd00", "utf-8", "$'\\355\\264\\200'"), ("caf\xe9", "ascii", "$'caf\\303\\251'"),
    ("it's\\\n", "utf-8", "$'it\\'s\\\\\\n'"), ("\x1b\r\t", "utf-8", "$'\\033\\r\\t'"),
])
def test_a_name_is_shown_quoted_exactly_where_it_must_be(name, encoding, shown):
    from morvela._terminal import encoding_of, escaped, quoted

    assert quoted(name, encoding) == shown
    assert escaped(f"x {name}", encoding) == "x " + (shown[2:-1].replace("\\'", "'").replace(
        "\\\\", "\\") if shown.startswith("$'") else shown)
    assert encoding_of(None) == encoding_of(object()) == "utf-8"
    assert encoding_of(io.TextIOWrapper(io.BytesIO(), encoding="ascii")) == "ascii"


# Names that hold control characters, or bytes a strict UTF-8 output cannot
# take, reach the terminal quoted as ls quotes them, on both streams, and
# the screen stays as it was; -0 hands scripts the bytes.
def test_hostile_names_are_quoted_and_print0_gives_their_bytes(write, tmp_path, capsys,
                                                               monkeypatch):
    names = [b"wipe\x1b[2J\x1b[H", b"title\x1b]0;pwned\x07", b"a\nb", b"r\xff", b"plain"]
    for k, name in enumerate(names[:-1]):
        os.rename(raw_recording(write, f"{k}.dat", 10, 1, seed=k)[0],
                  os.fsencode(tmp_path) + b"/" + name + b".dat")
    # An input's name, in the line that says the folder mixes two kinds.
    write("plain.dat", header_bytes("short", 2, 1, 10) + input_bytes([b"U\x1b[2J1"]) + bytes(20))
    write(os.fsdecode(b"bad\x1b[2J.dat"), b"KIVX" + bytes(300))
    args = [b"export", *(n + b".dat" for n in names), b"bad\x1b[2J.dat"]
    env = dict(os.environ, PYTHONIOENCODING="utf-8:strict")
    refused = run_cli(*args, cwd=tmp_path, env=env)
    assert refused.returncode == 2 and b"\x1b" not in refused.stderr
    assert b"short, inputs U\\033[2J1" in refused.stderr
    args.append(b"--mixed-kinds")
    done = run_cli(*args, cwd=tmp_path, env=env)
    assert (done.returncode, done.stdout.decode().splitlines()) == (1, [
        "$'wipe\\033[2J\\033[H.parquet'", "$'title\\033]0;pwned\\a.parquet'",
        "$'a\\nb.parquet'", "$'r\\377.parquet'", "plain.parquet"])
    assert b"\x1b" not in done.stderr
    assert "morvela: $'bad\\033[2J.dat': Input file is not a transient recorder file" in \
        done.stderr.decode().splitlines()
    monkeypatch.chdir(tmp_path)  # and in this process, an ESC in a reason too
    assert "short, inputs U\\033[2J1" in cli(capsys, "export", args[1])[2]
    assert cli(capsys, "export", args[1], "bad\x1b[2J.dat", "--mixed-kinds") == (
        1, "$'wipe\\033[2J\\033[H.parquet'\n",
        "morvela: $'bad\\033[2J.dat': Input file is not a transient recorder file\n"
        "morvela: exported 1 of 2 recordings, 1 failed\n")
    done = run_cli(*args, b"--print0", cwd=tmp_path)
    assert done.stdout == b"".join(n + b".parquet\0" for n in names)
    assert run_cli(b"plot", names[0] + b".dat", b"--print0", cwd=tmp_path).stdout == \
        names[0] + b".png\0"
    status, shown, screen, _ = _in_a_terminal([sys.executable, "-m", "morvela", "export",
                                               b"plain.dat", names[0] + b".dat",
                                               "--mixed-kinds"], 100, tmp_path)
    assert status == 0 and b"\x1b[2J" not in shown
    assert {"plain.parquet", "$'wipe\\033[2J\\033[H.parquet'"} <= set(screen)
    # And a name that standard output's encoding cannot take.
    raw_recording(write, "\xe9.dat", 10, 1)
    assert run_cli("export", "\xe9.dat", "--mixed-kinds", cwd=tmp_path,
                   env=dict(os.environ, PYTHONIOENCODING="ascii")).stdout == "$'\\303\\251.parquet'\n"


@pytest.mark.parametrize("differ, other, shown", [
    ("nothing", {}, None),
    ("names", {"names": [b"a", b"b", b"c", b"e"]}, "short, inputs ..., d; short, inputs ..., e"),
    ("first name", {"names": [b"x", b"b", b"c", b"d"]},
     "short, inputs a, b, c; short, inputs x, b, c"),
    ("type", {"type_name": "unsigned short"}, "short; unsigned short"),
    ("units", {"units": [b"V", b"mV", b"V", b"V"]},
     "short, units ..., V, V, V; short, units ..., mV, V, V"),
    ("count", {"names": [b"a", b"b", b"c"], "units": [b"V"] * 3},
     "short, 4 inputs; short, 3 inputs"),
    ("none", {"names": [], "units": []}, "short, 4 inputs; short, no inputs"),
])
def test_a_folder_of_mixed_kinds_is_refused_and_by_kind_keeps_them_apart(
        write, tmp_path, capsys, monkeypatch, differ, other, shown):
    import pyarrow.dataset as ds

    def kind(name, type_name="short", names=(b"a", b"b", b"c", b"d"), units=(b"V",) * 4):
        return write(name, header_bytes(type_name, 2, len(names), 4) +
                     input_bytes(list(names), list(units)) + bytes(8 * len(names)))

    monkeypatch.chdir(tmp_path)
    first, second = kind("r1.dat"), kind("r2.dat", **other)
    cut = write("cut.dat", kind("x.dat", "float").read_bytes()[:-3])  # fails: adds no kind
    unknown = kind("u.dat", "long")  # fails too
    # By kind: a subfolder for each kind, each one table to a folder reader.
    status, out, err = cli(capsys, "export", first, second, "-o", "kinds", "--by-kind")
    assert status == 0 and err.count("\n") == 1, err
    keys = [os.path.basename(os.path.dirname(t)) for t in out.split()]
    assert len(set(keys)) == (1 if differ == "nothing" else 2)
    for key in keys:
        assert re.fullmatch(r"kind-[0-9a-f]{8}", key)
        table = ds.dataset(tmp_path / "kinds" / key, format="parquet").to_table()
        assert table.num_rows == 4 * len(os.listdir(tmp_path / "kinds" / key))
    # Without: refused before anything is written, in one line that tells
    # the kinds apart; --mixed-kinds writes them all the same.
    said = (f"morvela: out: refused: Parquet of 2 kinds in one folder, which a folder reader "
            f"takes as one table: {shown}; --by-kind writes a folder for each kind, "
            "--mixed-kinds writes them all the same\n")
    summary = "morvela: exported 2 of 2 recordings, 0 failed\n"
    mixed = cli(capsys, "export", first, second, cut, unknown, "-o", "out")
    assert mixed[:2] == ((1, "out/r1.parquet\nout/r2.parquet\n") if shown is None else (2, ""))
    assert shown is None or (mixed[2], os.path.exists("out")) == (said, False)
    status, out, err = cli(capsys, "export", first, second, "-o", "out", "--mixed-kinds")
    assert (status, len(out.split()), err) == (0, 2, summary)
    # Into a folder that already holds the other kind.
    assert cli(capsys, "export", second, "-o", "lone")[2] == summary.replace("2 of 2", "1 of 1")
    status, out, err = cli(capsys, "export", first, "-o", "lone")
    assert shown is None or (status, err.split("; --by-kind")[0]) == (
        2, said.replace(" out: ", " lone: ").split("; --by-kind")[0] + " (already there)")
    # The key is the kind's alone: the same from another program and name.
    out = run_cli("export", kind("r3.dat"), "-o", "kinds", "--by-kind").stdout
    assert out == f"kinds/{keys[0]}/r3.parquet\n"
    # The library's by_kind writes where the command does.
    outcomes = morvela.export_batch([first, second], tmp_path / "lib", by_kind=True)
    assert [os.path.relpath(o.target, "lib") for o in outcomes] == \
        [f"{k}/r{n}.parquet" for k, n in zip(keys, (1, 2))]
    # Two folders of mixed kinds: each refused in a line of its own.
    os.mkdir("sub")
    kind("sub/r1.dat"), kind("sub/r2.dat", **other)
    mixed = cli(capsys, "export", "r1.dat", "r2.dat", "sub/r1.dat", "sub/r2.dat")
    assert shown is None or mixed[2] == said.replace(" out: ", " .: ") + said.replace(" out: ", " sub: ")
    # HDF5 never mixes with the Parquet beside it. Beside the recordings,
    # the folder is ".". A recording exported again, now of the other
    # kind, replaces its own file, which is then no longer there.
    one = summary.replace("2 of 2", "1 of 1")
    assert cli(capsys, "export", first, "-o", "out", "--to", "hdf5")[2] == one
    assert cli(capsys, "export", "r1.dat", "r2.dat")[2] == (
        summary if shown is None else said.replace(" out: ", " .: "))
    kind("r1.dat", **other)
    assert cli(capsys, "export", "r1.dat", "-o", "lone")[2] == one


def _printed_is_on_disk(out, printed, rows):
    assert not leftovers(out)
    assert sorted(os.listdir(out)) == sorted(os.path.basename(t) for t in printed)
    for target in printed:
        assert pq.read_table(target).num_rows == rows


@pytest.mark.skipif(multiprocessing.get_start_method() != "fork",
                    reason="the workers must inherit the hooks")
@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("command, point", [  # a report is written by C++ in one go
    *(("export", point) for point in POINTS), ("convert", "created"), ("convert", "after-rename")])
@pytest.mark.parametrize("how", ["SIGINT", "SIGTERM", "SIGHUP"])
def test_an_interrupt_is_one_line_and_every_complete_target_printed(
        write, tmp_path, monkeypatch, capfd, jobs, command, point, how):
    suffix = ".parquet" if command == "export" else ".txt"
    sources = [p for p, _ in recordings(write, 4, rows=3000, inputs=2)]
    out = tmp_path / "out"
    signum = getattr(signal, how)
    parent = os.getpid()

    def signal_to():
        os.kill(parent, signum)
        if os.getpid() != parent:
            time.sleep(3600)  # a worker waits to be stopped

    interrupt_at(monkeypatch, point, b"r1.", signal_to)
    out.mkdir()
    for k in range(4):  # every target there from an earlier run
        (out / f"r{k}{suffix}").write_bytes(b"earlier")
    # The descriptors, not sys.stderr: the workers' last words count too.
    status, printed, err = cli(capfd, command, *sources, "-o", out, "--jobs", jobs)
    assert status == {"SIGINT": 130, "SIGTERM": 143, "SIGHUP": 129}[how], err
    word = {"SIGINT": "interrupted", "SIGTERM": "terminated", "SIGHUP": "hung up"}[how]
    printed = printed.split()
    assert err == (f"morvela: {word}: {len(printed)} of 4 recordings {command}ed, "
                   "as printed\n")
    assert (str(out / f"r1{suffix}") in printed) == (point == "after-rename")
    assert not leftovers(out) and len(os.listdir(out)) == 4
    for target in map(str, out.iterdir()):  # only what this run wrote counts
        if target not in printed:
            assert open(target, "rb").read() == b"earlier"
        elif command == "export":
            assert pq.read_table(target).num_rows == 3000
        else:
            assert open(target, "rb").read().count(b"\r\n") == 3000 + 10
    # A worker ends as the batch stops, whether the system has reaped it
    # yet or not.
    deadline = time.monotonic() + 10
    while multiprocessing.active_children() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not multiprocessing.active_children()


@pytest.mark.parametrize("how", [None, "SIGINT", "SIGTERM"])
def test_an_export_on_a_cluster_and_its_interrupt(write, tmp_path, cluster, capsys, monkeypatch,
                                                   how):
    # Uninterrupted, every recording is exported; interrupted, nothing the
    # workers still had appears later. A worker that does not give its task
    # back (SIGTERM here) does not hold the command past its wait.
    local, client = cluster
    made = recordings(write, 6, rows=3000, inputs=2)
    marker, release = str(tmp_path / "stalled"), str(tmp_path / "release")
    from morvela import _batch

    monkeypatch.setattr(_batch, "STOP_SECONDS", 1)
    for name in ("distributed", "distributed.client", "tornado", "asyncio"):
        monkeypatch.setattr(logging.getLogger(name), "level", logging.NOTSET)
    if how:
        client.run(stall_on_workers, marker, release)
        when_exists(marker, lambda: os.kill(os.getpid(), getattr(signal, how)))
        # The stalled worker goes on only once the stop has given up on it,
        # and the files of unfinished exports are removed once it is done:
        # had the workers not been told to stop, what it published would
        # stand, unprinted.
        remove = _batch._remove_attempts

        def remove_late(tasks):
            open(release, "w").close()
            for _ in range(3000):
                if os.path.exists(marker + ".done"):
                    break
                time.sleep(0.01)
            remove(tasks)

        monkeypatch.setattr(_batch, "_remove_attempts", remove_late)
    out = tmp_path / "out"
    status, printed, err = cli(capsys, "export", *[p for p, _ in made], "-o", out,
                               "--scheduler", local.scheduler_address)
    assert status == {None: 0, "SIGINT": 130, "SIGTERM": 143}[how], err
    one_line(err)
    printed = printed.split()
    _printed_is_on_disk(out, printed, 3000)
    if how is None:
        assert len(printed) == 6
        # The cluster's own log lines (a lost connection, a retry) never show:
        # the command silences its loggers, whatever their level before.
        assert all(logging.getLogger(name).level > logging.CRITICAL
                   for name in ("distributed", "distributed.client", "tornado", "asyncio"))
        for k, (_, values) in enumerate(made):
            same_bits(parquet_values(out / f"r{k}.parquet"), values)
        return
    # Whatever the workers still had: none of it is published, once the
    # stalled export has ended and no temporary file is left.
    open(release, "w").close()
    while not (os.path.exists(marker + ".done") and not leftovers(out)):
        time.sleep(0.05)
    _printed_is_on_disk(out, printed, 3000)
    # The next batch on the same cluster exports normally.
    status, printed, err = cli(capsys, "export", *[p for p, _ in made], "-o", tmp_path / "next",
                               "--scheduler", local.scheduler_address)
    assert status == 0, err
    _printed_is_on_disk(tmp_path / "next", printed.split(), 3000)
    assert len(printed.split()) == 6
