# Reports written by the package: the Morvela program's bytes, named by the
# recording's file name alone, and a batch in which one bad file stops no
# other.

import errno
import os
import time

import numpy as np
import pytest

import morvela
from conftest import (RUN_LINE, TYPES, cli, convert, header_bytes, input_bytes, leftovers,
                      one_line)

def _stored(type_name, rows, inputs, seed):
    # Random stored bytes of the type; floats include NaN and infinities.
    rng = np.random.default_rng(seed)
    code = ">" + TYPES[type_name]
    raw = rng.integers(0, 256, rows * inputs * np.dtype(code).itemsize, dtype=np.uint8)
    if type_name in ("float", "double") and rows * inputs >= 3:
        values = raw.view(code).copy()
        values[:3] = [np.nan, np.inf, -np.inf]
        raw = values.view(np.uint8)
    return raw.tobytes()


def _recording(type_name, size, inputs, rows, pretrigger=3, names=None, cut=0, **header):
    names = names or [b"in%d" % j for j in range(inputs)]
    data = (header_bytes(type_name, size, inputs, rows, pretrigger, **header) +
            input_bytes(names) + _stored(type_name if type_name in TYPES else "short",
                                         rows, inputs, seed=rows + inputs))
    return data[:len(data) - cut]


CASES = {
    **{name: _recording(name, int(code[1]), 3, 40) for name, code in TYPES.items()},
    "no inputs": _recording("short", 2, 0, 5),
    "no rows": _recording("double", 8, 2, 0),
    "pretrigger past the rows": _recording("int", 4, 2, 4, pretrigger=9),
    "names at their width, ; and LF": _recording(
        "short", 2, 3, 6, names=[b"x" * 64, b"U;1", b"a\nb\xff"], name=b"n" * 64),
    "twelve inputs": _recording("unsigned char", 1, 12, 9),
    "wide fields": _recording("short", 4, 2, 5),
    "unknown type": _recording("Short", 2, 2, 3),
    "double of 4 bytes": _recording("double", 4, 2, 3),
    "cut in the rows": _recording("short", 2, 2, 100, cut=5),
    "cut in the header": _recording("short", 2, 2, 3)[:100],
    "not a recording": b"# notes\n" * 64,
}


@pytest.mark.parametrize("case", CASES)
def test_a_report_is_the_programs_byte_for_byte(write, tmp_path, monkeypatch, case):
    # Where the program succeeds, the same bytes but for the run's date and
    # time; where it fails, the same verdict and status, and no report.
    path = write("rec.dat", CASES[case])
    status, _ = convert(path)
    expected = (tmp_path / "rec.txt").read_bytes() if status == 0 else None
    (tmp_path / "rec.txt").unlink(missing_ok=True)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("TZ", "UTC")
    time.tzset()
    [outcome] = morvela.convert_batch(["rec.dat"])
    if status:
        assert outcome.error.endswith(f" ({status})") and not os.path.exists("rec.txt")
        return
    assert outcome == morvela.Outcome("rec.dat", "rec.txt", None)
    got = (tmp_path / "rec.txt").read_bytes()
    assert RUN_LINE.sub(rb"\1", got) == RUN_LINE.sub(rb"\1", expected)
    assert RUN_LINE.match(got)


def test_a_batch_names_each_report_by_its_file_and_fails_each_file_alone(write, tmp_path,
                                                                         capsys, monkeypatch):
    folder = tmp_path / "jane.doe" / "2024.03.15"
    folder.mkdir(parents=True)
    for name in ("a.dat", "rec.v1.dat", "rec.v2.dat", "b.c.dat"):
        (folder / name).write_bytes(CASES["short"])
    (folder / "cut.dat").write_bytes(CASES["cut in the rows"])
    (folder / "cut.txt").write_bytes(b"earlier")
    (folder / "notes.md").write_bytes(CASES["not a recording"])
    monkeypatch.chdir(tmp_path)
    sources = sorted(f"jane.doe/2024.03.15/{name}" for name in os.listdir(folder))
    status, out, err = cli(capsys, "convert", *sources, "--jobs", "2")
    assert status == 1
    assert sorted(out.split()) == ["jane.doe/2024.03.15/a.txt", "jane.doe/2024.03.15/b.txt"]
    refused = ("refused: jane.doe/2024.03.15/rec.v1.dat, jane.doe/2024.03.15/rec.v2.dat would "
               "all be written to jane.doe/2024.03.15/rec.txt")
    assert sorted(err.splitlines()) == sorted([
        "morvela: jane.doe/2024.03.15/cut.dat: Input file read error (255)",
        "morvela: jane.doe/2024.03.15/cut.txt: cannot write jane.doe/2024.03.15/cut.txt: "
        "it is the recording itself",
        "morvela: jane.doe/2024.03.15/notes.md: Input file is not a transient recorder file (250)",
        f"morvela: jane.doe/2024.03.15/rec.v1.dat: {refused}",
        f"morvela: jane.doe/2024.03.15/rec.v2.dat: {refused}",
        "morvela: converted 2 of 7 recordings, 5 failed"])
    assert (folder / "cut.txt").read_bytes() == b"earlier" and not leftovers(folder)
    assert not os.path.exists(folder / "rec.txt")
    # Into -o, created with its parents; a missing file says the system's words.
    status, out, err = cli(capsys, "convert", f"{folder}/a.dat", "missing.dat", "-o", "o/p")
    assert (status, out) == (1, "o/p/a.txt\n")
    assert err.splitlines()[0] == ("morvela: missing.dat: Input file read error (255): "
                                   "No such file or directory")
    # A report beside its recording takes no export from it.
    status, out, err = cli(capsys, "export", f"{folder}/a.dat", f"{folder}/a.txt")
    assert (status, out) == (1, f"{folder}/a.parquet\n")
    assert err.splitlines()[0].endswith("a.txt: Input file is not a transient recorder file")
    # The library's one report, and the recording that would be its own.
    assert morvela.convert(folder / "b.c.dat") == str(folder / "b.txt") and \
        os.path.exists(folder / "b.txt")
    given = tmp_path / "given.report"
    assert morvela.convert(folder / "a.dat", given) == str(given)
    assert given.read_bytes().split(b"\r\n")[1].endswith(b" " + bytes(given))
    (folder / "rec.txt").write_bytes(CASES["short"])
    with pytest.raises(morvela.ExportError, match="^cannot write jane.doe/2024.03.15/rec.txt: it is "
                       "the recording itself$"):
        morvela.convert("jane.doe/2024.03.15/rec.txt")
    with pytest.raises(morvela.ExportError, match="^cannot write none/rec.txt: No such file or "
                       "directory$"):
        morvela.convert("jane.doe/2024.03.15/b.c.dat", "none/rec.txt")
    status, _, err = cli(capsys, "convert", "jane.doe/2024.03.15/rec.txt")
    one_line(err.splitlines()[0] + "\n")
    assert status == 1 and (folder / "rec.txt").read_bytes() == CASES["short"]


@pytest.mark.parametrize("where", ["file", "memory"])
def test_a_conversions_hooks_follow_its_reading_and_may_leave_no_report(write, tmp_path, where):
    # `stop` before each write of the report, with the bytes read so far,
    # and `ready` before the rename: either may raise, and leaves no report.
    from morvela._convert import convert_to

    path = write("big.dat", _recording("short", 2, 2, 200_000))
    source = str(path)
    if where == "memory":
        source = f"memory://{tmp_path.name}/big.dat"
        pytest.importorskip("fsspec").filesystem("memory").pipe_file(source, path.read_bytes())
    seen, target = [], tmp_path / "big.txt"
    convert_to(source, target, target, None, seen.append, lambda: seen.append("ready"))
    assert 2 < len(seen) and seen[-2:] == [os.path.getsize(path), "ready"], seen
    assert 0 < seen[0] and seen[:-1] == sorted(seen[:-1]) and target.exists()

    class Stopped(Exception):
        pass

    def stop_at(k):
        def hook(*_):
            seen.append(None)
            if len(seen) == k:
                raise Stopped
        return hook

    target.unlink()
    for hooks in ({"stop": stop_at(2)}, {"ready": stop_at(1)}):
        seen = []
        pytest.raises(Stopped, convert_to, source, target, target, None, **hooks)
        assert os.listdir(tmp_path) == ["big.dat"]
    # A system error from one is the report's.
    for error, reason in ((OSError(errno.ENOSPC, "full"), os.strerror(errno.ENOSPC)),
                          (OSError("gone"), "gone")):
        def fail(*_, error=error):
            raise error

        assert pytest.raises(morvela.ExportError, convert_to, source, target, target, None,
                             fail).value.reason == reason
        assert os.listdir(tmp_path) == ["big.dat"]
