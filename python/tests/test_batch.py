"""Exports in batches and the export command under hostile use: colliding
targets, relative paths on a cluster, worker processes that die,
interrupts, output that cannot be written, odd names and paths. What a
batch reports as written must be written, and the rest reported."""

import glob
import json
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
from morvela import _batch
from conftest import header_bytes, input_bytes, raw_recording, same_bits

pq = pytest.importorskip("pyarrow.parquet")
h5py = pytest.importorskip("h5py")

RUN = [sys.executable, "-m", "morvela", "export"]


def run(args, cwd=None, **options):
    return subprocess.run(RUN + [os.fsdecode(a) for a in args], cwd=cwd,
                          capture_output=True, text=True, timeout=120, **options)


def one_line_failure(done, status):
    assert done.returncode == status, done.stderr
    assert "Traceback" not in done.stderr
    assert len(done.stderr.splitlines()) == 1, done.stderr
    assert done.stderr.startswith("morvela: ")


def recordings(write, count, rows=300, inputs=3, prefix="r"):
    return [raw_recording(write, f"{prefix}{k}.dat", rows, inputs, seed=k)
            for k in range(count)]


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.endswith(".part")]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_colliding_targets_are_refused_and_the_rest_exported(write, tmp_path, jobs):
    for folder in ("run1", "run2", "out"):
        (tmp_path / folder).mkdir()
    first, _ = raw_recording(write, "run1/rec.dat", 100, 2, seed=1)
    second, _ = raw_recording(write, "run2/rec.dat", 100, 2, seed=2)
    other, values = raw_recording(write, "run1/other.dat", 100, 2, seed=3)
    done = run([first, second, other, "-o", "out", "--jobs", jobs], cwd=tmp_path)
    assert done.returncode == 1
    assert done.stdout.split() == [os.path.join("out", "other.parquet")]
    lines = done.stderr.splitlines()
    assert len(lines) == 3 and "Traceback" not in done.stderr
    for line in lines[:2]:
        assert str(first) in line and str(second) in line, line
    assert lines[2] == "morvela: exported 1 of 3 recordings, 2 failed"
    assert os.listdir(tmp_path / "out") == ["other.parquet"]
    same_bits(pq.read_table(tmp_path / "out" / "other.parquet")
              .drop(["TimeOffset"]).to_pandas().to_numpy(), values)

    # Two names of one stem in one folder, and HDF5: the same.
    bak = tmp_path / "run1" / "rec.bak"
    bak.write_bytes(first.read_bytes())
    done = run([first, bak, "--to", "hdf5", "--jobs", jobs])
    assert done.returncode == 1 and done.stdout == ""
    assert not (tmp_path / "run1" / "rec.h5").exists()


def test_relative_paths_are_resolved_before_a_worker_sees_them(write, tmp_path):
    distributed = pytest.importorskip("distributed")
    (tmp_path / "work" / "runs").mkdir(parents=True)
    (tmp_path / "work" / "out").mkdir()
    (tmp_path / "elsewhere" / "runs").mkdir(parents=True)
    (tmp_path / "elsewhere" / "out").mkdir()
    _, values = raw_recording(write, "work/runs/r0.dat", 200, 2, seed=5)
    # A decoy where the workers would look if the paths stayed relative.
    raw_recording(write, "elsewhere/runs/r0.dat", 200, 2, seed=6)
    here = os.getcwd()
    os.chdir(tmp_path / "elsewhere")
    try:
        with distributed.LocalCluster(n_workers=1, processes=True,
                                      threads_per_worker=1,
                                      dashboard_address=":0") as cluster, \
                distributed.Client(cluster) as client:
            os.chdir(tmp_path / "work")
            outcomes = morvela.export_batch(["runs/r0.dat"], "out", client=client)
    finally:
        os.chdir(here)
    assert outcomes == [morvela.Outcome("runs/r0.dat", "out/r0.parquet", None)]
    assert os.listdir(tmp_path / "elsewhere" / "out") == []
    table = pq.read_table(tmp_path / "work" / "out" / "r0.parquet")
    same_bits(table.drop(["TimeOffset"]).to_pandas().to_numpy(), values)


@pytest.mark.skipif(multiprocessing.get_start_method() != "fork",
                    reason="the workers must inherit the fault")
def test_a_batch_of_ten_loses_only_what_it_reports(write, tmp_path, monkeypatch):
    """Ten recordings: four bad, two that collide, one whose worker process
    dies under it, and one whose worker is killed from outside."""
    made = recordings(write, 4)
    (tmp_path / "dup").mkdir()
    collide = [made[0][0], raw_recording(write, "dup/r0.dat", 50, 2)[0]]
    bad = [write("short.dat", header_bytes("short", 2, 2, 100) + input_bytes([b"a", b"b"])),
           write("notrec.dat", b"nothing of the kind" * 10),
           write("unknown.dat", header_bytes("bogus", 2, 1, 2) + input_bytes([b"a"]) + b"\0" * 4),
           tmp_path / "missing.dat"]
    doomed = raw_recording(write, "doomed.dat", 50, 2)[0]
    export = _batch.export_to

    def dying(source, target, format, progress, temporary, ready):
        if source.endswith(b"doomed.dat"):
            os.kill(os.getpid(), signal.SIGKILL)
        return export(source, target, format, progress, temporary, ready)

    monkeypatch.setattr(_batch, "export_to", dying)
    seen = []
    killed = []

    def progress(outcome):
        seen.append(outcome)
        # The first outcome: kill a worker that is busy with another.
        if not killed:
            children = multiprocessing.active_children()
            if children:
                os.kill(children[0].pid, signal.SIGKILL)
                killed.append(children[0].pid)

    sources = [*collide, made[1][0], *bad, doomed, made[2][0], made[3][0]]
    (tmp_path / "out").mkdir()
    outcomes = morvela.export_batch(sources, tmp_path / "out", jobs=2,
                                    progress=progress)
    assert len(outcomes) == 10 and sorted(seen) == sorted(outcomes)
    by_source = {os.fspath(o.source): o for o in outcomes}
    for source in collide:
        assert "refused" in by_source[os.fspath(source)].error
    for source in bad:
        assert by_source[os.fspath(source)].error, source
    assert "process" in by_source[os.fspath(doomed)].error
    for path, values in made[1:]:
        outcome = by_source[os.fspath(path)]
        assert outcome.error is None
        same_bits(pq.read_table(outcome.target).drop(["TimeOffset"])
                  .to_pandas().to_numpy(), values)
    for outcome in outcomes:
        if outcome.error is not None and outcome.source not in map(str, collide):
            assert not os.path.exists(outcome.target), outcome
    assert killed and not leftovers(tmp_path / "out")


def test_parquet_and_hdf5_names_are_unique_utf8(write, tmp_path):
    path = write("names.dat", header_bytes("short", 2, 5, 3) +
                 input_bytes([b"TimeOffset", b"A\xe9", b"A\xe8", b"A\xef\xbf\xbd", b"x"],
                             [b"V", b"\xb0C", b"m", b"s", b"A"]) +
                 bytes(range(30)))
    with morvela.open(path) as rec:
        values = rec.read()
    expected = ["TimeOffset.1", "A\ufffd", "A\ufffd.1", "A\ufffd.2", "x"]
    morvela.export(path, tmp_path / "names.parquet")
    table = pq.read_table(tmp_path / "names.parquet")
    assert table.column_names == ["TimeOffset", *expected]
    assert [table.schema.field(n).metadata[b"unit"].decode() for n in expected] == \
        ["V", "\ufffdC", "m", "s", "A"]
    frame = table.to_pandas()
    same_bits(frame[expected].to_numpy(), values)
    header = json.loads(table.schema.metadata[b"morvela"])
    assert header["columns"] == expected
    assert header["inputs"][1]["name"].encode("utf-8", "surrogateescape") == b"A\xe9"
    morvela.export(path, tmp_path / "names.h5")
    with h5py.File(tmp_path / "names.h5") as f:
        assert list(f.attrs["columns"]) == expected
        assert list(f.attrs["input_names"])[0] == "TimeOffset"
        same_bits(f["values"][...], values)


def test_hdf5_takes_any_number_of_inputs(write, tmp_path):
    inputs = 5000
    names = [b"input-%05d" % j for j in range(inputs)]
    path = write("wide.dat", header_bytes("unsigned char", 1, inputs, 2) +
                 input_bytes(names, [b"mV"] * inputs) + bytes(2 * inputs))
    morvela.export(path, tmp_path / "wide.h5")
    with h5py.File(tmp_path / "wide.h5") as f:
        assert [n.encode() for n in f.attrs["input_names"]] == names
        assert f["values"].shape == (2, inputs)
        assert len(json.loads(f.attrs["morvela"])["columns"]) == inputs


@pytest.mark.parametrize("args, fragment", [
    (["--scheduler", "127.0.0.1"], "--scheduler"),
    (["--scheduler", "not an address"], "--scheduler"),
    (["--scheduler", "foo://h:1"], "--scheduler"),
    (["--scheduler", "h:abc"], "--scheduler"),
    (["--scheduler", "h:70000"], "--scheduler"),
    (["--scheduler", ""], "--scheduler"),
    (["--connect-timeout", "0", "--scheduler", "h:1"], "--connect-timeout"),
    (["--jobs", "0"], "--jobs"),
    (["--jobs", "two"], "--jobs"),
    (["-o", "FILE"], "-o"),
    (["-o"], "-o"),
    (["--to", "csv"], "--to"),
])
def test_usage_errors_are_one_line(write, tmp_path, args, fragment):
    path, _ = raw_recording(write, "r.dat", 10, 1)
    args = [str(path) if a == "FILE" else a for a in args]
    done = run([path, *args], cwd=tmp_path)
    one_line_failure(done, 2)
    assert fragment in done.stderr
    assert not glob.glob(str(tmp_path / "*.parquet"))


def _silent_server(reply=None):
    """A port that takes connections and says nothing (or `reply` once a
    request arrives, as a web server does)."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    server.settimeout(30)
    held = []

    def serve():
        try:
            while True:
                connection, _ = server.accept()
                held.append(connection)
                if reply:
                    connection.settimeout(30)
                    if connection.recv(1024):
                        connection.sendall(reply)
        except OSError:
            pass

    threading.Thread(target=serve, daemon=True).start()
    return server, held


def test_a_scheduler_that_cannot_be_reached_is_one_line_and_status_4(write, tmp_path):
    path, _ = raw_recording(write, "r.dat", 10, 1)
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    port = closed.getsockname()[1]
    closed.close()
    silent, held = _silent_server()
    web, _ = _silent_server(b"HTTP/1.0 200 OK\r\n\r\nhello")
    try:
        for address in (f"127.0.0.1:{port}", "tcp://127.0.0.1:%d" % silent.getsockname()[1],
                        "127.0.0.1:%d" % web.getsockname()[1]):
            began = time.monotonic()
            done = run([path, "--scheduler", address, "--connect-timeout", "2"])
            one_line_failure(done, 4)
            assert address in done.stderr
            assert time.monotonic() - began < 30
    finally:
        silent.close()
        web.close()
        for connection in held:
            connection.close()
    assert not (tmp_path / "r.parquet").exists()


def test_workers_never_outnumber_recordings_and_a_failed_start_is_one_line(
        write, tmp_path, monkeypatch, capsys):
    sources = [p for p, _ in recordings(write, 2)]
    most = []

    def progress(outcome):
        most.append(len(multiprocessing.active_children()))

    outcomes = morvela.export_batch(sources, jobs=100000, progress=progress)
    assert all(o.error is None for o in outcomes)
    assert max(most) <= 2
    for target in (o.target for o in outcomes):
        os.unlink(target)

    def no_fork():
        raise BlockingIOError(11, "Resource temporarily unavailable")

    monkeypatch.setattr(os, "fork", no_fork)
    from morvela.__main__ import main

    assert main(["export", *map(str, sources), "--jobs", "2"]) == 4
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "worker processes" in err
    assert not glob.glob(str(tmp_path / "*.parquet")) and not leftovers(tmp_path)


def test_output_that_cannot_be_written_is_status_3(write, tmp_path):
    path, _ = raw_recording(write, "r.dat", 10, 1)
    target = tmp_path / "r.parquet"
    for stdout in ("closed", "full", "pipe"):
        if stdout == "closed":
            done = subprocess.run(RUN + [str(path)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True,
                                  preexec_fn=lambda: os.close(1))
        elif stdout == "full":
            with open("/dev/full", "w") as full:
                done = subprocess.run(RUN + [str(path)], stdout=full,
                                      stderr=subprocess.PIPE, text=True)
        else:
            reader, writer = os.pipe()
            os.close(reader)
            done = subprocess.run(RUN + [str(path)], stdout=writer,
                                  stderr=subprocess.PIPE, text=True)
            os.close(writer)
        assert done.returncode == 3, (stdout, done.stderr)
        assert "Traceback" not in done.stderr and "standard output" in done.stderr
        assert len(done.stderr.splitlines()) == 2  # the failure, the summary
        assert pq.read_table(target).num_rows == 10  # the work was done
        target.unlink()
    # Nothing to print: a failed recording is status 1, stdout closed or not.
    bad = tmp_path / "bad.dat"
    bad.write_bytes(b"nothing of the kind")
    done = subprocess.run(RUN + [str(bad)], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True,
                          preexec_fn=lambda: os.close(1))
    assert done.returncode == 1, done.stderr
    # The plot's path on a closed standard output: the image is written,
    # and the run says it could not name it.
    image = tmp_path / "r.png"
    done = subprocess.run([sys.executable, "-m", "morvela", "plot", str(path), "-o", str(image)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          preexec_fn=lambda: os.close(1), env=dict(os.environ, MPLBACKEND="Agg"))
    assert done.returncode == 3 and len(done.stderr.splitlines()) == 1, done.stderr
    assert image.stat().st_size > 0


def test_a_failure_is_one_line_naming_the_source_once(write, tmp_path):
    path, _ = raw_recording(write, "r.dat", 200000, 8)
    short = write("short.dat", path.read_bytes()[:5000])

    def limit():
        import resource

        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

    for to in ("hdf5", "parquet"):
        done = subprocess.run(RUN + [str(path), str(short), "--to", to],
                              capture_output=True, text=True, preexec_fn=limit)
        assert done.returncode == 1 and done.stdout == ""
        lines = done.stderr.splitlines()
        assert len(lines) == 3, done.stderr
        big = next(line for line in lines if "r.dat" in line)
        assert big.count(str(path)) == 1 and "cannot write" in big
        assert big.count(str(tmp_path / ("r." + {"hdf5": "h5"}.get(to, to)))) == 1
        cut = next(line for line in lines if "short.dat" in line)
        assert cut.count(str(short)) == 1 and "row" in cut
        assert not leftovers(tmp_path)
        assert not (tmp_path / "r.h5").exists() and not (tmp_path / "r.parquet").exists()


def test_paths_are_bytes_to_the_system(write, tmp_path):
    raw = os.fsencode(tmp_path) + b"/r\xff.dat"
    path, values = raw_recording(write, "plain.dat", 20, 2)
    os.rename(path, raw)
    # Through the command line, to both formats.
    for to, suffix in (("parquet", b".parquet"), ("hdf5", b".h5")):
        done = subprocess.run([os.fsencode(sys.executable), b"-m", b"morvela",
                               b"export", raw, b"--to", to.encode()],
                              capture_output=True)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == raw[:-4] + suffix
    with open(raw[:-4] + b".parquet", "rb") as f:
        same_bits(pq.read_table(f).drop(["TimeOffset"]).to_pandas().to_numpy(), values)
    # A bytes target, a str target with surrogates, and a name of 250 bytes.
    assert morvela.export(raw, raw[:-4] + b".x.h5") == raw[:-4] + b".x.h5"
    odd = os.fsdecode(raw[:-4] + b"\xfe.parquet")
    assert morvela.export(raw, odd) == odd
    assert os.path.exists(os.fsencode(odd))
    for suffix in (".parquet", ".h5"):
        long = tmp_path / ("n" * (255 - len(suffix)) + suffix)
        morvela.export(raw, long)
        assert long.exists()
    with pytest.raises(morvela.ExportError):
        morvela.export(raw, 3)
    # The recording itself, by another spelling or a link, is never the
    # target.
    os.symlink(raw, os.fsencode(tmp_path) + b"/soft.h5")
    os.link(raw, os.fsencode(tmp_path) + b"/hard.h5")
    for other in (raw, os.fsencode(tmp_path) + b"/./r\xff.dat",
                  os.fsencode(tmp_path) + b"/soft.h5", os.fsencode(tmp_path) + b"/hard.h5"):
        with pytest.raises(morvela.ExportError, match="recording itself"):
            morvela.export(raw, other, format="hdf5")
    with morvela.open(raw) as rec:
        same_bits(rec.read(), values)
    assert leftovers(tmp_path) == []


def test_export_keeps_the_umask_and_reports_progress(write, tmp_path, monkeypatch):
    path, _ = raw_recording(write, "r.dat", 5000, 4)
    monkeypatch.setattr(morvela._export, "BLOCK_BYTES", 4000)
    old = os.umask(0o027)
    try:
        def no_umask(mask):
            raise AssertionError("the umask is process-wide state")

        monkeypatch.setattr(os, "umask", no_umask)
        rows = []
        morvela.export(path, tmp_path / "r.h5", progress=lambda done, total: rows.append((done, total)))
    finally:
        monkeypatch.undo()
        os.umask(old)
    assert os.stat(tmp_path / "r.h5").st_mode & 0o777 == 0o640
    assert rows == [(min(500 * k, 5000), 5000) for k in range(1, 11)]
    seen = []
    outcomes = morvela.export_batch([path, tmp_path / "no.dat"], tmp_path,
                                    "parquet", progress=seen.append)
    assert seen == outcomes and outcomes[0].error is None and outcomes[1].error
    assert outcomes[0].target == str(tmp_path / "r.parquet")


def test_hdf5_trigger_time_is_the_headers_text(write, tmp_path):
    path = write("t.dat", header_bytes("short", 2, 1, 2, trigger_time=1700000000.123456789) +
                 input_bytes([b"a"]) + b"\0\1\0\2")
    morvela.export(path, tmp_path / "t.h5")
    with h5py.File(tmp_path / "t.h5") as f, morvela.open(path) as rec:
        assert f.attrs["trigger_time"] == rec.header.trigger_time_iso()
        assert np.datetime64(f.attrs["trigger_time"].rstrip("Z"), "ns") == \
            np.datetime64(rec.header.trigger_time_ns, "ns")


# Interrupts, delivered at chosen points of an export rather than after a
# sleep. Worker processes are forked and inherit the hooks; a worker that
# signals its parent then waits to be stopped.
POINTS = ("created", "mid-write", "before-rename", "after-rename")


def _hook(monkeypatch, point, marked, signal_to):
    """Makes the export of the recording whose name holds `marked` call
    signal_to() at `point`."""
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


def _check_printed_is_on_disk(out, printed, rows):
    assert not leftovers(out)
    assert sorted(os.listdir(out)) == sorted(os.path.basename(t) for t in printed)
    for target in printed:
        assert pq.read_table(target).num_rows == rows


@pytest.mark.skipif(multiprocessing.get_start_method() != "fork",
                    reason="the workers must inherit the hooks")
@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("point", POINTS)
@pytest.mark.parametrize("how", ["SIGINT", "SIGTERM"])
def test_an_interrupt_is_one_line_and_every_complete_target_printed(
        write, tmp_path, monkeypatch, capsys, jobs, point, how):
    from morvela.__main__ import main

    sources = [p for p, _ in recordings(write, 4, rows=3000, inputs=2)]
    out = tmp_path / "out"
    signum = getattr(signal, how)
    parent = os.getpid()

    def signal_to():
        os.kill(parent, signum)
        if os.getpid() != parent:
            time.sleep(3600)  # a worker waits to be stopped

    _hook(monkeypatch, point, b"r1.", signal_to)
    status = main(["export", *map(str, sources), "-o", str(out), "--jobs", jobs])
    captured = capsys.readouterr()
    assert status == {"SIGINT": 130, "SIGTERM": 143}[how], captured.err
    word = "interrupted" if how == "SIGINT" else "terminated"
    printed = captured.out.split()
    assert captured.err == (f"morvela: {word}: {len(printed)} of 4 recordings "
                            "exported, as printed\n")
    assert (str(out / "r1.parquet") in printed) == (point == "after-rename")
    _check_printed_is_on_disk(out, printed, 3000)
    assert not multiprocessing.active_children()


def test_workers_end_with_the_program_that_started_them(write, tmp_path):
    """A program whose batch runs in worker processes, ended by SIGTERM
    (Python's default handler) or SIGKILL: no worker goes on writing, and
    no temporary file stays."""
    sources = [str(p) for p, _ in recordings(write, 3, rows=3000, inputs=2)]
    marker = tmp_path / "started"
    script = f"""
import os, sys, time, morvela
real = morvela._export._blocks
def blocks(rec, progress, rows, by_input=False):
    for block in real(rec, progress, rows, by_input):
        yield block
        with open({str(marker)!r} + str(os.getpid()), "w"):
            pass
        time.sleep(3600)
morvela._export._blocks = blocks
morvela._export.BLOCK_BYTES = 4096
morvela.export_batch({sources!r}, {str(tmp_path / "out")!r}, jobs=2)
"""
    (tmp_path / "out").mkdir()
    for signum in (signal.SIGTERM, signal.SIGKILL):
        program = subprocess.Popen([sys.executable, "-c", script])
        while len(glob.glob(str(marker) + "*")) < 2:
            assert program.poll() is None
            time.sleep(0.01)
        workers = [int(m[len(str(marker)):]) for m in glob.glob(str(marker) + "*")]
        program.send_signal(signum)
        assert program.wait(60) == -signum
        for pid in workers:
            for _ in range(6000):
                if not os.path.exists(f"/proc/{pid}") or \
                        open(f"/proc/{pid}/stat").read().split()[2] == "Z":
                    break
                time.sleep(0.01)
            else:
                raise AssertionError(f"worker {pid} outlived its program")
            os.unlink(f"{marker}{pid}")
        assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_batch_runs_off_the_main_thread(write, tmp_path, jobs):
    made = recordings(write, 3)
    result = []
    thread = threading.Thread(target=lambda: result.append(morvela.export_batch(
        [p for p, _ in made], tmp_path / "out", jobs=jobs)))
    (tmp_path / "out").mkdir()
    thread.start()
    thread.join(120)
    assert [o.error for o in result[0]] == [None] * 3
    for outcome, (_, values) in zip(result[0], made):
        same_bits(pq.read_table(outcome.target).drop(["TimeOffset"])
                  .to_pandas().to_numpy(), values)
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_one_recording_named_twice_is_exported_once(write, tmp_path, jobs):
    (tmp_path / "runs").mkdir()
    path, values = raw_recording(write, "runs/r0.dat", 100, 2)
    other, _ = raw_recording(write, "runs/r1.dat", 100, 2, seed=1)
    os.symlink(tmp_path / "runs", tmp_path / "link")
    names = ["runs/r0.dat", "runs/r0.dat", "link/r0.dat", "runs/../runs/r0.dat",
             "runs/r1.dat"]
    done = run([*names, "-o", "out", "--jobs", jobs], cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert sorted(done.stdout.split()) == ["out/r0.parquet", "out/r1.parquet"]
    assert done.stderr == "morvela: exported 2 of 2 recordings, 0 failed\n"
    same_bits(pq.read_table(tmp_path / "out" / "r0.parquet").drop(["TimeOffset"])
              .to_pandas().to_numpy(), values)
    # The library gives every name its outcome, and reports each recording once.
    seen = []
    outcomes = morvela.export_batch([tmp_path / n for n in names], tmp_path / "out",
                                    progress=seen.append)
    assert [o.error for o in outcomes] == [None] * 5
    assert [o.source for o in outcomes] == [str(tmp_path / n) for n in names]
    assert len(seen) == 2
    # Two different recordings to one target are still refused.
    third, _ = raw_recording(write, "r0.dat", 10, 1)
    done = run(["runs/r0.dat", "link/r0.dat", "r0.dat", "-o", "out"], cwd=tmp_path)
    assert done.returncode == 1 and done.stdout == ""


def test_the_output_folder_is_made_with_its_parents(write, tmp_path):
    path, _ = raw_recording(write, "r.dat", 10, 1)
    done = run([path, "-o", "a/b/c"], cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "a/b/c/r.parquet\n"
    assert pq.read_table(tmp_path / "a/b/c/r.parquet").num_rows == 10
    # Under a file it cannot be made: a usage error, nothing written.
    done = run([path, "-o", f"{path}/sub"], cwd=tmp_path)
    one_line_failure(done, 2)
    assert "-o" in done.stderr and "Not a directory" in done.stderr


def _in_a_terminal(argv, columns, cwd):
    """Runs argv with both streams on a pseudo-terminal `columns` wide;
    returns (status, bytes shown, screen rendered by a terminal emulator
    of that width, or 80 where it reports none)."""
    import fcntl
    import pty
    import struct
    import termios

    pyte = pytest.importorskip("pyte")
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 60, columns, 0, 0))
    process = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, cwd=cwd)
    os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the other side closed
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    screen = pyte.Screen(columns or 80, 60)
    pyte.ByteStream(screen).feed(shown)
    return process.wait(60), shown, [line.rstrip() for line in screen.display]


@pytest.mark.parametrize("columns", [100, 40, 0])
def test_progress_never_garbles_the_printed_targets(write, tmp_path, columns):
    pytest.importorskip("tqdm")
    sources = [p for p, _ in recordings(write, 6, rows=20_000)]
    status, shown, screen = _in_a_terminal(
        [*RUN, *map(str, sources), "-o", "out"], columns, tmp_path)
    assert status == 0, shown
    targets = [f"out/r{k}.parquet" for k in range(6)]
    summary = "morvela: exported 6 of 6 recordings, 0 failed"
    width = columns or 80
    wrapped = [summary[i:i + width] for i in range(0, len(summary), width)]
    assert [line for line in screen if line] == targets + wrapped
    if columns:
        # The bar drawn again under each target counts it.
        for k, target in enumerate(targets):
            after = shown[shown.index(target.encode()) + len(target):]
            assert f"| {k + 1}/6 [".encode() in after.split(b"\n")[1], after
    else:
        assert b"rec/s" not in shown  # no width, no bar


def _stall_on_workers(marker, release=None):
    """Runs on each worker of a cluster: the first export to reach its
    second block writes `marker` (holding its process id) and waits, until
    `release` exists, or for good."""
    import morvela._export as export

    real = export._blocks

    def blocks(rec, progress, rows, by_input=False):
        for k, block in enumerate(real(rec, progress, rows, by_input)):
            yield block
            if k == 0:
                try:
                    fd = os.open(marker + ".claimed", os.O_CREAT | os.O_EXCL)
                except FileExistsError:
                    continue
                os.close(fd)
                with open(marker + ".part-written", "w") as f:
                    f.write(str(os.getpid()))
                os.rename(marker + ".part-written", marker)
                while not (release and os.path.exists(release)):
                    time.sleep(0.01)

    export._blocks = blocks
    export.BLOCK_BYTES = 4096


def _when_exists(path, then):
    def wait():
        while not os.path.exists(path):
            time.sleep(0.01)
        then()
    thread = threading.Thread(target=wait, daemon=True)
    thread.start()
    return thread


@pytest.fixture
def cluster():
    distributed = pytest.importorskip("distributed")
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as local, \
            distributed.Client(local) as client:
        yield local, client


def test_a_killed_worker_costs_its_cluster_no_recording(write, tmp_path, cluster):
    local, client = cluster
    made = recordings(write, 4, rows=3000, inputs=2)
    marker = str(tmp_path / "stalled")
    client.run(_stall_on_workers, marker)
    _when_exists(marker, lambda: os.kill(int(open(marker).read()), signal.SIGKILL))
    (tmp_path / "out").mkdir()
    outcomes = morvela.export_batch([p for p, _ in made], tmp_path / "out", client=client)
    assert os.path.exists(marker + ".claimed")  # a worker was killed mid-write
    assert [o.error for o in outcomes] == [None] * 4
    for outcome, (_, values) in zip(outcomes, made):
        same_bits(pq.read_table(outcome.target).drop(["TimeOffset"])
                  .to_pandas().to_numpy(), values)
    assert not leftovers(tmp_path / "out")


@pytest.mark.parametrize("how", ["SIGINT", "SIGTERM"])
def test_an_interrupt_on_a_cluster_leaves_nothing_to_appear_later(
        write, tmp_path, cluster, capsys, how):
    from morvela.__main__ import main

    local, client = cluster
    sources = [p for p, _ in recordings(write, 6, rows=3000, inputs=2)]
    marker, release = str(tmp_path / "stalled"), str(tmp_path / "release")
    client.run(_stall_on_workers, marker, release)

    def interrupt():
        os.kill(os.getpid(), getattr(signal, how))
        open(release, "w").close()

    _when_exists(marker, interrupt)
    out = tmp_path / "out"
    status = main(["export", *map(str, sources), "-o", str(out),
                   "--scheduler", local.scheduler_address])
    captured = capsys.readouterr()
    assert status == {"SIGINT": 130, "SIGTERM": 143}[how], captured.err
    assert len(captured.err.splitlines()) == 1 and "Traceback" not in captured.err
    printed = captured.out.split()
    _check_printed_is_on_disk(out, printed, 3000)
    # Whatever the workers still had: none of it is published now.
    client.run(lambda: None)
    while client.processing() and any(client.processing().values()):
        time.sleep(0.05)
    _check_printed_is_on_disk(out, printed, 3000)


@pytest.mark.parametrize("handler", ["ignored", "own"])
def test_a_callers_own_signal_handling_is_kept(write, tmp_path, monkeypatch, handler):
    """SIGINT ignored by the caller leaves the batch running; a handler of
    the caller's that returns stops it, and the recordings not exported say
    so."""
    sources = [p for p, _ in recordings(write, 3, rows=3000, inputs=2)]
    calls = []
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN if handler == "ignored"
                             else lambda signum, frame: calls.append(signum))
    try:
        _hook(monkeypatch, "mid-write", b"r1.", lambda: os.kill(os.getpid(), signal.SIGINT))
        (tmp_path / "out").mkdir()
        outcomes = morvela.export_batch(sources, tmp_path / "out")
    finally:
        signal.signal(signal.SIGINT, previous)
    errors = [o.error for o in outcomes]
    if handler == "ignored":
        assert errors == [None] * 3 and calls == []
    else:
        assert errors == [None] + ["not exported: the batch was stopped"] * 2
        assert calls == [signal.SIGINT]
        assert os.listdir(tmp_path / "out") == ["r0.parquet"]


def test_an_os_error_without_a_file_name_is_its_reason_alone(monkeypatch, capsys):
    import morvela.__main__ as cli

    def failing(args):
        raise OSError(5, "Input/output error")

    monkeypatch.setattr(cli, "_info", failing)
    assert cli.main(["info", "r.dat"]) == 255
    assert capsys.readouterr().err == "morvela: Input/output error\n"


def _kind_recording(write, name, type_name="short", size=2, names=(b"a", b"b"),
                    units=(b"V", b"V")):
    return write(name, header_bytes(type_name, size, len(names), 4) +
                 input_bytes(list(names), list(units)) + bytes(4 * size * len(names)))


@pytest.mark.parametrize("differ, other", [
    ("nothing", {}),
    ("names", {"names": (b"a", b"c")}),
    ("type", {"type_name": "unsigned short"}),
    ("units", {"units": (b"V", b"mV")}),
    ("count", {"names": (b"a", b"b", b"c"), "units": (b"V", b"V", b"V")}),
])
def test_a_folder_of_mixed_kinds_is_said_and_by_kind_keeps_them_apart(
        write, tmp_path, differ, other):
    first = _kind_recording(write, "r1.dat")
    second = _kind_recording(write, "r2.dat", **other)
    done = run([first, second, "-o", "out"], cwd=tmp_path)
    assert done.returncode == 0 and len(done.stdout.split()) == 2
    warnings = done.stderr.splitlines()[:-1]
    if differ == "nothing":
        assert warnings == []
    else:
        assert len(warnings) == 1 and warnings[0].startswith("morvela: out: Parquet of 2 kinds")
        assert "one file's schema" in warnings[0] and "--by-kind" in warnings[0]
    # Each export alone, into a folder that already holds the other.
    done = run([second, "-o", "lone"], cwd=tmp_path)
    assert done.stderr.count("\n") == 1  # the summary alone
    done = run([first, "-o", "lone"], cwd=tmp_path)
    assert done.returncode == 0
    assert ("already there" in done.stderr) == (differ != "nothing")
    # By kind: a subfolder for each kind, each one table to a folder reader.
    done = run([first, second, "-o", "kinds", "--by-kind"], cwd=tmp_path)
    assert done.returncode == 0 and done.stderr.count("\n") == 1, done.stderr
    folders = sorted(os.listdir(tmp_path / "kinds"))
    assert len(folders) == (1 if differ == "nothing" else 2)
    assert all(re.fullmatch(r"kind-[0-9a-f]{8}", f) for f in folders)
    import pyarrow.dataset as ds

    for folder in folders:
        table = ds.dataset(tmp_path / "kinds" / folder, format="parquet").to_table()
        assert table.num_rows == 4 * len(os.listdir(tmp_path / "kinds" / folder))
    # The key is the kind's alone: the same from another run and name.
    third = _kind_recording(write, "r3.dat")
    done = run([third, "-o", "kinds", "--by-kind"], cwd=tmp_path)
    assert done.stdout.split()[0].split("/")[1] == \
        [f for f in folders if (tmp_path / "kinds" / f / "r1.parquet").exists()][0]
    # The library's by_kind writes where the command does.
    outcomes = morvela.export_batch([first, second], tmp_path / "lib", by_kind=True)
    assert sorted(os.path.relpath(o.target, tmp_path / "lib") for o in outcomes) == \
        sorted(f"{f}/{n}" for f in folders for n in os.listdir(tmp_path / "kinds" / f)
               if n != "r3.parquet")
