# Recordings in object storage, against a real S3-API server on loopback:
# every reading route reads what the local file reads, an object rewritten
# or cut short is never mixed, and no credential is ever shown.

import errno
import json
import os
import pickle
import tempfile

import numpy as np
import pytest

import morvela
from morvela import _remote
from conftest import RUN_LINE, cli, header_bytes, raw_recording, recordings, same_bits, stacked

s3fs = pytest.importorskip("s3fs")
xr = pytest.importorskip("xarray")
# A store that is not there: a closed port, and no retries.
NOWHERE = {"key": "k", "secret": "s", "client_kwargs": {"endpoint_url": "http://127.0.0.1:9"},
           "config_kwargs": {"retries": {"max_attempts": 1}}}


def connection_reset(*args):
    # A store's failure that is no OSError, in place of a fetch.
    raise RuntimeError("connection reset by peer")


def dropped(*args):
    # One that is the store's own OSError, with no errno.
    raise OSError("connection reset by peer")


async def reset_by_peer(*args):
    # One that is an OSError naming nothing, in place of a range's read.
    raise ConnectionResetError(errno.ECONNRESET, "connection reset by peer")


@pytest.fixture
def bucket(s3, tmp_path):
    # (URL of a fresh prefix, storage options, the filesystem).
    url, options = s3
    fs = s3fs.S3FileSystem(**options, skip_instance_cache=True)
    prefix = f"{url}/{tmp_path.name}"
    yield prefix, options, fs
    if fs.exists(prefix):
        fs.rm(prefix, recursive=True)


@pytest.mark.parametrize("dtype", [">i2", "|u1", ">f8", ">u4"])
def test_every_route_reads_an_object_as_its_file(write, tmp_path, bucket, dtype):
    prefix, options, fs = bucket
    made = recordings(write, 3, rows=700, inputs=3, dtype=dtype)
    for path, _ in made:
        fs.put_file(str(path), f"{prefix}/{path.name}")
    url = f"{prefix}/r1.dat"
    values = made[1][1]
    with morvela.open(url, storage_options=options) as rec:
        same_bits(rec.read(), values)
        same_bits(rec[3:50, [2, 0]], values[3:50][:, [2, 0]])
        same_bits(rec[[5, 2, 699], 1], values[[5, 2, 699], 1])
        assert str(rec).startswith(f"<morvela.Recording '{url}'")
    ds = xr.open_dataset(url, engine="morvela", storage_options=options)
    same_bits(ds.signal.isel(time=[0, -1]).values, values[[0, -1]])
    many = morvela.open_mfdataset(f"{prefix}/r*.dat", storage_options=options)
    paths, stacked_values = stacked(made)
    same_bits(many.signal.isel(time=[0, 350, -1]).values, stacked_values[:, [0, 350, -1]])
    # A shorter one padded with the fill value.
    short, short_values = raw_recording(write, "short.dat", 400, 3, dtype=dtype)
    fs.put_file(str(short), f"{prefix}/short.dat")
    padded = morvela.open_mfdataset([url, f"{prefix}/short.dat"], storage_options=options,
                                    pad=True, fill_value=7).signal.values
    same_bits(padded[1], np.concatenate([short_values, np.full((300, 3), 7, values.dtype)]))
    assert list(many.path.values) == [f"{prefix}/r{k}.dat" for k in range(3)]
    # Pickled by URL and options; no repr or error shows a credential.
    again = pickle.loads(pickle.dumps(ds))
    same_bits(again.signal.values, values)
    for shown in (repr(ds.signal.variable._data), repr(many.signal.data.dask)[:100000]):
        assert "s3cr3t" not in shown
    # A missing object is the system's error that names it, alone or among
    # others.
    for opening in (morvela.open, lambda u, **o: morvela.open_mfdataset([url, u], **o)):
        missing = pytest.raises(FileNotFoundError, opening, f"{prefix}/none.dat",
                                storage_options=options).value
        assert (missing.errno, missing.filename) == (errno.ENOENT, f"{prefix}/none.dat")
        assert "s3cr3t" not in str(missing)
    # As is one the store refuses to show.
    refused = pytest.raises(PermissionError, morvela.open, url,
                            storage_options=dict(options, secret="wrong")).value
    assert (refused.errno, refused.filename) == (errno.EACCES, url) and "wrong" not in str(refused)


def test_an_object_rewritten_or_cut_short_is_never_mixed(write, bucket, monkeypatch):
    prefix, options, fs = bucket
    path, values = raw_recording(write, "rec.dat", 100, 2)
    data = path.read_bytes()
    url = f"{prefix}/rec.dat"
    fs.pipe_file(url, data)
    rec = morvela.open(url, storage_options=options)
    ds = xr.open_dataset(url, engine="morvela", storage_options=options, chunks={})
    many = morvela.open_mfdataset([url], storage_options=options)
    fs.pipe_file(url, data[:-2] + b"\x7f\x7f")  # same size, other bytes
    for read in (lambda: rec.read(90, 100), lambda: ds.signal.values,
                 lambda: many.signal.values):
        with pytest.raises(morvela.RecordingReadError, match="changed after it was opened") as raised:
            read()
        assert raised.value.path == url
    # Cut short: its rows there read, the first missing one is named.
    fs.pipe_file(url, data[:len(data) - 4 * 30 - 1])
    with morvela.open(url, storage_options=options) as cut:
        same_bits(cut.read(0, 69), values[:69])
        with pytest.raises(morvela.TruncatedRecordingError) as error:
            cut.read(60, 100)
    assert error.value.row == 69
    # A header that claims a table past the object's end (or more inputs
    # than memory holds) is refused, as the file would be, after the first
    # range alone.
    fetched, real = [], _remote.fetch

    def counted(fs_, paths, starts, ends, *rest):
        fetched.extend(e - s for s, e in zip(starts, ends) if e > s)
        return real(fs_, paths, starts, ends, *rest)

    monkeypatch.setattr(_remote, "fetch", counted)
    for inputs, refused in ((1_000_000, morvela.RecordingReadError),
                            (0xFFFFFFFF, morvela.RecordingMemoryError)):
        fs.pipe_file(url, header_bytes("short", 2, inputs, 1) + bytes(200_000))
        fetched.clear()
        pytest.raises(refused, morvela.open, url, storage_options=options)
        assert fetched == [64 << 10]
    # A header and its table in one range; a table past the first range
    # (700 inputs, 67,200 bytes) in a second.
    fs.pipe_file(url, data)
    fetched.clear()
    morvela.open(url, storage_options=options).close()
    assert fetched == [len(data)]
    wide, values = raw_recording(write, "wide.dat", 3, 700)
    fs.put_file(str(wide), f"{prefix}/wide.dat")
    fetched.clear()
    with morvela.open(f"{prefix}/wide.dat", storage_options=options) as opened:
        same_bits(opened.read(), values)
        assert opened.columns[699] == "in699"
    assert fetched == [64 << 10, 248 + 700 * 96 - (64 << 10), 3 * 700 * 2]
    # No rows: the header and table are the whole object, in one range or two.
    for inputs, fetches in ((2, [248 + 2 * 96]), (700, [64 << 10, 248 + 700 * 96 - (64 << 10)])):
        empty = f"{prefix}/empty{inputs}.dat"
        fs.put_file(str(raw_recording(write, "empty.dat", 0, inputs)[0]), empty)
        fetched.clear()
        with morvela.open(empty, storage_options=options) as opened:
            assert (opened.shape, opened.columns[-1]) == ((0, inputs), f"in{inputs - 1}")
        assert fetched == fetches


def test_the_command_lines_read_objects(write, tmp_path, bucket, capsys):
    # Absolute paths, no chdir: the batch's fork server starts in this
    # folder (as mutation testing needs it to).
    prefix, options, fs = bucket
    made = recordings(write, 2, rows=300, inputs=2)
    for path, _ in made:
        fs.put_file(str(path), f"{prefix}/{path.name}")
    urls = [f"{prefix}/r{k}.dat" for k in range(2)]
    given = ["--storage-options", json.dumps(options)]
    out, rep, local = (str(tmp_path / name) for name in ("out", "rep", "local"))
    status, printed, err = cli(capsys, "info", urls[0], *given)
    assert status == 0 and json.loads(printed)["path"] == urls[0]
    status, printed, err = cli(capsys, "export", *urls, "-o", out, "--jobs", "2", *given)
    assert (status, sorted(printed.split())) == (
        0, [f"{out}/r0.parquet", f"{out}/r1.parquet"]), err
    status, printed, err = cli(capsys, "convert", *urls, "-o", rep, *given)
    assert (status, printed) == (0, f"{rep}/r0.txt\n{rep}/r1.txt\n"), err
    # Two objects of one name, bound for one target: both refused.
    fs.put_file(str(made[0][0]), f"{prefix}/again/r0.dat")
    status, printed, err = cli(capsys, "export", urls[0], f"{prefix}/again/r0.dat", "-o",
                               str(tmp_path / "twice"), *given)
    assert (status, printed, err.count("refused")) == (1, "", 2), err
    image = str(tmp_path / "r0.png")
    for _ in range(2):  # the second over the first
        assert cli(capsys, "plot", urls[0], "-o", image, *given)[:2] == (0, image + "\n")
    assert cli(capsys, "plot", urls[0], *given) == (
        2, "", f"morvela: {urls[0]}: a recording at a URL needs -o\n")
    # Into the store, each target one object; a file that is no recording
    # leaves none.
    notes = write("notes.dat", b"notes" * 100)
    status, printed, err = cli(capsys, "export", str(made[0][0]), notes, "-o",
                               f"{prefix}/out/", "--jobs", "2", *given)
    assert (status, printed) == (1, f"{prefix}/out/r0.parquet\n"), err
    assert fs.cat_file(f"{prefix}/out/r0.parquet") == (tmp_path / "out" / "r0.parquet").read_bytes()
    assert not fs.exists(f"{prefix}/out/notes.parquet")
    # By kind: a folder of each kind in the store, none made here.
    status, printed, err = cli(capsys, "export", str(made[0][0]), "-o", f"{prefix}/kinds/",
                               "--by-kind", *given)
    assert status == 0 and printed.startswith(f"{prefix}/kinds/kind-"), err
    assert not os.path.lexists(os.path.abspath(f"{prefix}/kinds"))
    (tmp_path / "local").mkdir()
    morvela.convert_batch([str(made[0][0])], local)
    assert RUN_LINE.sub(rb"\1", (tmp_path / "rep" / "r0.txt").read_bytes()).replace(
        os.fsencode(rep), b"") == RUN_LINE.sub(rb"\1", (tmp_path / "local" / "r0.txt").read_bytes(
        )).replace(os.fsencode(local), b"")
    one = str(tmp_path / "one.txt")
    assert morvela.convert(urls[1], one, storage_options=options) == one
    with open(one, "rb") as f:
        assert RUN_LINE.sub(rb"\1", f.read()).replace(os.fsencode(one), b"") == RUN_LINE.sub(
            rb"\1", (tmp_path / "rep" / "r1.txt").read_bytes()).replace(os.fsencode(rep + "/r1.txt"), b"")
    pytest.raises(ValueError, morvela.convert, urls[1], storage_options=options).match("needs dst")
    assert morvela.export(urls[1], one + ".h5", storage_options=options) == one + ".h5"
    raised = pytest.raises(morvela.RecordingReadError, morvela.convert, f"{prefix}/none.dat", one,
                           storage_options=options)
    assert str(raised.value) == f"{prefix}/none.dat: Input file read error (255): No such file " \
        "or directory"
    # Beside the object there is no folder; options that are no object are
    # a usage error that shows none of their text.
    status, printed, err = cli(capsys, "convert", urls[0], *given)
    assert (status, err.splitlines()[0]) == (
        1, f"morvela: {urls[0]}: refused: a recording at a URL needs -o DIR")
    status, _, err = cli(capsys, "info", urls[0], "--storage-options", '["s3cr3t"]')
    assert (status, err) == (2, "morvela: info: argument --storage-options: not a JSON object "
                                "(see --help)\n")


def test_a_conversion_reads_an_object_in_ranges_as_it_was_opened(write, tmp_path, bucket,
                                                                 monkeypatch):
    prefix, options, fs = bucket
    # 800 KB of rows, in ranges that hold a read and a part of one.
    path, _ = raw_recording(write, "big.dat", 200_000, 2)
    monkeypatch.setattr(_remote, "RANGE_BYTES", 300_000)
    url, local, remote = f"{prefix}/big.dat", str(tmp_path / "local.txt"), str(tmp_path / "big.txt")
    fs.put_file(str(path), url)
    morvela.convert(path, local)
    assert morvela.convert_batch([url], tmp_path, storage_options=options) == [
        morvela.Outcome(url, remote, None)]
    with open(local, "rb") as a, open(remote, "rb") as b:
        assert RUN_LINE.sub(rb"\1", a.read()).replace(os.fsencode(local), b"") == \
            RUN_LINE.sub(rb"\1", b.read()).replace(os.fsencode(remote), b"")
    # Rewritten, or the store failing, between two ranges: the recording's
    # read error, and no report.
    monkeypatch.setattr(_remote, "RANGE_BYTES", 0)  # a range for each read
    real = _remote.fetch

    def rewrite():
        fs.pipe_file(url, path.read_bytes()[:-1] + b"\1")

    raised = pytest.raises(morvela.RecordingReadError, morvela.convert, url, remote + "2",
                           storage_options=NOWHERE)
    assert str(raised.value).startswith(f"{url}: Input file read error (255): Could not connect")
    for between, said in ((rewrite, "the object changed after it was opened"),
                          (connection_reset, "Input file read error (255): connection reset by "
                                             "peer")):
        fetched = []

        def fetch(*args, between=between, fetched=fetched):
            if fetched:
                between()
            fetched.append(args)
            return real(*args)

        monkeypatch.setattr(_remote, "fetch", fetch)
        fs.put_file(str(path), url)
        raised = pytest.raises(morvela.RecordingReadError, morvela.convert, url, remote + "2",
                               storage_options=options)
        assert str(raised.value) == f"{url}: {said}" and raised.value.path == url
        assert not os.path.exists(remote + "2")


def test_a_store_that_fails_is_an_oserror_that_names_the_object(write, bucket, monkeypatch):
    prefix, options, fs = bucket
    made = recordings(write, 2, rows=100, inputs=2)
    urls = [f"{prefix}/{path.name}" for path, _ in made]
    for (path, _), url in zip(made, urls):
        fs.put_file(str(path), url)
    for opening in (lambda: morvela.open(urls[0], storage_options=NOWHERE),
                    lambda: morvela.open_mfdataset(urls, storage_options=NOWHERE)):
        raised = pytest.raises(OSError, opening)
        assert raised.value.filename == urls[0] and "Could not connect" in raised.value.strerror
    # An object shorter than a header (by 23 bytes: its count of inputs
    # there, its rows not) is refused as its file is.
    fs.pipe_file(f"{prefix}/tiny.dat", header_bytes("short", 2, 1, 1)[:225])
    pytest.raises(morvela.RecordingReadError, morvela.open, f"{prefix}/tiny.dat",
                  storage_options=options)
    # Rewritten between its listing and its first range: refused.
    real, rewrites = _remote.fetch, []

    def rewritten(fs_, paths, *rest):
        rewrites.append(1)  # other bytes each time
        fs.pipe_file(urls[0], made[0][0].read_bytes() + bytes(len(rewrites)))
        return real(fs_, paths, *rest)

    monkeypatch.setattr(_remote, "fetch", rewritten)
    for opening in (lambda: morvela.open(urls[0], storage_options=options),
                    lambda: morvela.open_mfdataset(urls, storage_options=options)):
        raised = pytest.raises(morvela.RecordingReadError, opening)
        assert str(raised.value) == f"{urls[0]}: the object changed after it was opened"
    monkeypatch.setattr(_remote, "fetch", real)
    # Failing after the listing, or after the open.
    rec = morvela.open(urls[0], storage_options=options)
    many = morvela.open_mfdataset(urls, storage_options=options)
    for name, failing in (("fetch", connection_reset), ("fetch", dropped),
                          ("_s3_range", reset_by_peer)):
        monkeypatch.setattr(_remote, name, failing)
        for read in (rec.read, lambda: many.signal.values,
                     lambda: morvela.open(urls[0], storage_options=options),
                     lambda: morvela.open_mfdataset(urls, storage_options=options)):
            raised = pytest.raises(OSError, read)
            assert raised.value.filename in urls, name
            assert raised.value.errno in (errno.EIO, errno.ECONNRESET)
            assert raised.value.strerror == "connection reset by peer"
        monkeypatch.undo()


def test_a_cluster_with_no_files_reads_objects(write, tmp_path, bucket, cluster):
    prefix, options, fs = bucket
    made = recordings(write, 4, rows=5000, inputs=2, prefix="c")
    for path, _ in made:
        fs.put_file(str(path), f"{prefix}/{path.name}")
    _, client = cluster
    _, values = stacked(made)
    with client.as_current():
        many = morvela.open_mfdataset(f"{prefix}/c*.dat", storage_options=options,
                                      block_rows=1200)
        same_bits(many.signal.min("time").compute().values, values.min(axis=1))


def test_an_upload_leaves_one_object_or_none_and_nothing_here(bucket, tmp_path, monkeypatch):
    prefix, options, fs = bucket
    url, other = f"{prefix}/big.parquet", f"{prefix}/other.parquet"
    here, temporary = tmp_path / "here", tmp_path / "tmp"
    here.mkdir(), temporary.mkdir()
    monkeypatch.chdir(here)
    monkeypatch.setattr(tempfile, "tempdir", str(temporary))

    def write(local, temporary):
        with open(local, "wb") as f:
            f.write(b"target")

    _remote.upload(url, options, write)
    assert fs.cat_file(url) == b"target"
    # Refused by the store, or no store there: the reason, on one line.
    for given, said in ((dict(options, secret="not-the-key"), "signature"),
                        (NOWHERE, "Could not connect to the endpoint URL")):
        raised = pytest.raises(morvela.ExportError, _remote.upload, other, given, write)
        assert str(raised.value) == f"cannot write {other}: {raised.value.reason}"
        assert said in raised.value.reason and "Errno" not in raised.value.reason
    # Interrupted while a multipart upload is under way: no part is left,
    # and the object is the earlier one.
    bucket_name, key, _ = fs.split_path(url)
    fs.call_s3("create_multipart_upload", Bucket=bucket_name, Key=key)

    def interrupted(local, temporary):
        raise KeyboardInterrupt  # as an interrupt in the middle of an export

    pytest.raises(KeyboardInterrupt, _remote.upload, url, options, interrupted)
    assert fs.call_s3("list_multipart_uploads", Bucket=bucket_name).get("Uploads", []) == []
    assert fs.cat_file(url) == b"target" and not fs.exists(other)
    assert os.listdir(here) == os.listdir(temporary) == []
