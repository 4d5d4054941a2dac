#!/usr/bin/python3
"""make mutants, the Python half: mutmut changes python/morvela/ one
operator at a time, and the package's tests must notice each change.

The package and its tests are copied to build/mutmut (the working tree is
never touched) with the binding the venv built, and mutmut runs there with
python/setup.cfg's [mutmut] section. Programs the tests start
(python -m morvela, worker processes) import the mutated tree too.

A mutant no test can tell from the code is listed in
tools/python_equivalent_mutants.txt, with the fingerprint of the change
it makes and why; the run gives it no test, and the score is what the
tests killed of the rest, which must be at least 90 %. The run fails as
well where a list has drifted from the code: a name listed twice, a name
no mutant has, or a listed name that now makes another change (mutmut
numbers a function's mutants in order, and a change to the function
renumbers them). A mutant not killed is printed with its fingerprint.

mutmut maps tests to code by what runs in the test process; with
tools/mutant_hits.py it sees what runs in the processes a test starts as
well, and a mutant of morvela/__main__.py is on in python -m morvela too.
tools/python_worker_mutants.txt names, for a mutant of code that runs only
in worker processes, the test that must fail with it; the test runs with
that mutant switched on.

The tests' S3-API server is started once for the run, and each test
session takes a bucket of its own there.

A run longer than the time at hand is carried over to another checkout:
--save FILE writes what the run has checked, with a hash of the sources it
ran on (python/ and recorder/), and --carry FILE starts a run that checks
only the rest, refusing a record made on other sources. mutmut itself keeps
a recorded result only where the function's code hashes the same.

Ended by Ctrl-C, it prints "interrupted" and ends with status 130.

    tools/python_mutants.py VENV [MUTANT_NAME ... | --resume | --save FILE | --carry FILE]
"""

import contextlib
import glob
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENT = os.path.join(ROOT, "tools", "python_equivalent_mutants.txt")
IN_WORKERS = os.path.join(ROOT, "tools", "python_worker_mutants.txt")
NEEDED = 0.90
CAUGHT = ("killed", "timeout", "segfault")


def listed(path):
    """NAME REST lines of `path`: {NAME: REST}."""
    names = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            name, _, why = line.partition(" ")
            if not why.strip():
                sys.exit(f"{path}:{number}: want NAME and what follows it")
            if name in names:
                sys.exit(f"{path}:{number}: {name} is listed twice")
            names[name] = why.strip()
    return names


def fingerprints(names, scratch, python):
    """{NAME: FINGERPRINT}: 8 hex digits of the lines mutant NAME changes
    (their text without indentation), from the copy in `scratch`."""
    code = ("import hashlib, sys\n"
            "from mutmut.mutation.diff_apply import get_diff_for_mutant\n"
            "for name in sys.stdin.read().split():\n"
            "    lines = get_diff_for_mutant(name).splitlines()[2:]\n"
            "    changed = ''.join(l[0] + l[1:].strip() + '\\n' for l in lines if l[:1] in '+-')\n"
            "    print(name, hashlib.sha1(changed.encode()).hexdigest()[:8])\n")
    shown = subprocess.run([python, "-c", code], cwd=scratch, input="\n".join(names),
                           capture_output=True, text=True, check=True).stdout
    return dict(line.split(" ") for line in shown.splitlines())


def equivalents():
    """{NAME: FINGERPRINT} of the equivalent mutants listed."""
    known = {}
    for name, rest in listed(EQUIVALENT).items():
        mark, _, why = rest.partition(" ")
        if not re.fullmatch("[0-9a-f]{8}", mark) or not why.strip():
            sys.exit(f"{EQUIVALENT}: {name}: want NAME FINGERPRINT WHY")
        known[name] = mark
    return known


def tree_hash(top, digest=None):
    """sha1 over the files under `top` (paths and bytes), leaving out
    compiled files and the built binding."""
    digest = digest or hashlib.sha1()
    for folder, _, files in sorted(os.walk(top)):
        for name in sorted(n for n in files if not n.endswith((".so", ".pyc"))):
            path = os.path.join(folder, name)
            digest.update(os.path.relpath(path, top).encode() + b"\0")
            with open(path, "rb") as f:
                digest.update(f.read() + b"\0")
    return digest


def sources_hash():
    """The hash of python/ and recorder/, which a run's results rest on."""
    digest = hashlib.sha1()
    for top in ("python", "recorder"):
        digest.update(top.encode() + b"\0")
        tree_hash(os.path.join(ROOT, top), digest)
    return digest.hexdigest()


def save(scratch, path):
    """Writes the results in `scratch` that a run has checked to `path`."""
    files = {}
    for meta in glob.glob(os.path.join(scratch, "mutants", "**", "*.py.meta"), recursive=True):
        with open(meta, encoding="utf-8") as f:
            data = json.load(f)
        files[os.path.relpath(meta, os.path.join(scratch, "mutants"))] = {
            "hash_by_function_name": data["hash_by_function_name"],
            "exit_code_by_key": {k: v for k, v in data["exit_code_by_key"].items()
                                 if v is not None}}
    if not files:
        sys.exit(f"no run to save in {scratch}")
    for name in ("morvela", "tests"):
        if tree_hash(os.path.join(scratch, name)).digest() != \
                tree_hash(os.path.join(ROOT, "python", name)).digest():
            sys.exit(f"python/{name} changed since the run in {scratch} began")
    # A file is replaced whole; a device or pipe is written to.
    whole = not os.path.exists(path) or os.path.isfile(path)
    written = path + ".tmp" if whole else path
    try:
        with open(written, "w", encoding="utf-8") as f:
            json.dump({"sources": sources_hash(), "files": files}, f, indent=0, sort_keys=True)
            f.write("\n")
        if whole:
            os.replace(written, path)
    except OSError as e:
        sys.exit(f"cannot write {path}: {e.strerror}")
    finally:
        if whole:
            with contextlib.suppress(OSError):
                os.unlink(written)


def record_of(path):
    """{META FILE: CONTENT} from the record `path`, where it was made on the
    sources as they are."""
    try:
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
        sources = record["sources"]
        metas = {name: dict(data, type_check_error_by_key={}, durations_by_key={},
                            estimated_durations_by_key={})
                 for name, data in record["files"].items()}
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
        sys.exit(f"cannot read the record {path}: {getattr(e, 'strerror', None) or e}")
    if sources != sources_hash():
        sys.exit(f"{path} was recorded on other sources than python/ and recorder/ hold now")
    for name in metas:
        if not name.endswith(".py.meta") or os.path.isabs(name) or \
                os.path.normpath(name).startswith(".."):
            sys.exit(f"cannot read the record {path}: {name} is no meta file of the package")
    return metas


def carry(scratch, metas):
    """Seeds the fresh `scratch` with `metas` from record_of()."""
    for name, data in metas.items():
        meta = os.path.join(scratch, "mutants", name)
        os.makedirs(os.path.dirname(meta), exist_ok=True)
        with open(meta, "w", encoding="utf-8") as f:
            json.dump(data, f)


def killed_in_workers(status, scratch, env, python):
    """Runs each listed worker-only mutant's test with the mutant on; marks
    it killed in `status` where the test fails (or hangs)."""
    for name, test in listed(IN_WORKERS).items():
        if name not in status or status[name] in CAUGHT:
            continue
        try:
            done = subprocess.run(
                [python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", test],
                cwd=os.path.join(scratch, "mutants"), env=dict(env, MUTANT_UNDER_TEST=name),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
            failed = done.returncode != 0
        except subprocess.TimeoutExpired:
            failed = True
        if failed:
            status[name] = "killed"


@contextlib.contextmanager
def shared_s3(folder, env):
    """One S3-API server for every test session of the run (each session
    starting its own costs seconds a mutant), where the tests have one."""
    sys.path.insert(0, os.path.join(ROOT, "python", "tests"))
    import s3server

    if s3server.weed() is None:
        yield
        return
    os.makedirs(folder, exist_ok=True)
    with s3server.serve(folder) as options:
        env["MORVELA_TEST_S3"] = json.dumps(options)
        yield


def main():
    # Ended by SIGTERM, the run still stops the server it started.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    if len(sys.argv) < 2 or sys.argv[2:3] in (["--save"], ["--carry"]) and len(sys.argv) != 4:
        sys.exit(f"usage: {sys.argv[0]} VENV [MUTANT_NAME ... | --resume | --save FILE | "
                 f"--carry FILE]")
    venv, only = os.path.abspath(sys.argv[1]), sys.argv[2:]
    resume = only == ["--resume"]
    build = os.path.dirname(venv)
    scratch = os.path.join(build, "mutmut")
    if only[:1] == ["--save"]:
        save(scratch, only[1])
        return
    # Checked before the scratch of an earlier run is cleared.
    carried = record_of(only[1]) if only[:1] == ["--carry"] else None
    if resume or carried is not None:
        only = []
    python, mutmut = os.path.join(venv, "bin", "python"), os.path.join(venv, "bin", "mutmut")
    if not os.path.exists(mutmut) or not glob.glob(
            os.path.join(venv, "lib", "python3*", "site-packages", "pytest_timeout.py")):
        subprocess.run([python, "-m", "pip", "install", "-q", "mutmut>=3.8,<4",
                        "pytest-timeout>=2.1"], check=True)
    # --resume goes on with the mutants a stopped run left unchecked, on the
    # copy it made.
    if not only and not resume:
        shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch, exist_ok=True)
    for name in ("morvela", "tests") if not resume else ():
        shutil.rmtree(os.path.join(scratch, name), ignore_errors=True)
        shutil.copytree(os.path.join(ROOT, "python", name), os.path.join(scratch, name),
                        ignore=shutil.ignore_patterns("__pycache__"))
    if not resume:
        shutil.copy(os.path.join(ROOT, "python", "setup.cfg"), scratch)
    binding = glob.glob(os.path.join(venv, "lib", "python3*", "site-packages",
                                     "morvela", "_morvela*.so"))
    if len(binding) != 1:
        sys.exit(f"make venv first: no single built binding in {venv}")
    shutil.copy(binding[0], os.path.join(scratch, "morvela"))
    # mutant_hits, a pytest plugin; the programs a test starts load it
    # through sitecustomize.
    hooks = os.path.join(scratch, "hooks")
    os.makedirs(hooks, exist_ok=True)
    shutil.copy(os.path.join(ROOT, "tools", "mutant_hits.py"), hooks)
    with open(os.path.join(hooks, "sitecustomize.py"), "w", encoding="utf-8") as f:
        f.write("import os\n\nif os.environ.get('MUTANT_UNDER_TEST'):\n"
                "    import mutant_hits\n\n    mutant_hits.start()\n")
    # What an earlier run's processes wrote after its last test is no test's.
    hits = os.path.join(scratch, "hits")
    shutil.rmtree(hits, ignore_errors=True)
    env = dict(os.environ,
               PYTHONPATH=os.pathsep.join([os.path.join(scratch, "mutants"), hooks]),
               MORVELA_MUTANT_HITS=hits,
               PYTEST_PLUGINS="mutant_hits",
               PATH=os.path.join(venv, "bin") + os.pathsep + os.environ["PATH"],
               MORVELA_BINARY=os.path.join(build, "Morvela"),
               MORVELA_SYNTH=os.path.join(build, "morvela-synth"),
               MORVELA_DEMO=os.path.join(ROOT, "examples", "demo.dat"),
               MPLBACKEND="Agg",
               # mutant_hits gives the mutants listed here no test.
               MORVELA_MUTANTS_EQUIVALENT=EQUIVALENT)
    # Each program a test starts loads the mutated package, several times
    # the size of the package, from compiled files that the first writes:
    # compiled from source each time, it costs a second a program.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    began = time.time()
    log_path = os.path.join(scratch, "run.log")
    # The folder mutmut makes the mutants in is on PYTHONPATH: made only
    # later, Python would skip it for good, and the tests would import the
    # package the venv installed.
    os.makedirs(os.path.join(scratch, "mutants"), exist_ok=True)
    if carried is not None:
        carry(scratch, carried)
    with shared_s3(os.path.join(scratch, "s3"), env):
        with open(log_path, "wb") as log:
            done = subprocess.run([mutmut, "run", *only], cwd=scratch, env=env,
                                  stdout=log, stderr=subprocess.STDOUT)
        took = time.time() - began
        if done.returncode != 0:
            sys.exit(f"mutmut failed ({done.returncode}): see {scratch}/run.log")
        shown = subprocess.run([mutmut, "results", "--all", "true"], cwd=scratch, env=env,
                               capture_output=True, text=True, check=True).stdout
        status = dict(re.findall(r"^\s*(\S+): (.+)$", shown, re.M))
        killed_in_workers(status, scratch, env, python)
    known = equivalents()
    counted = {n: s for n, s in status.items() if n not in known}
    # A mutant that makes a test hang or crash is caught as well.
    killed = [n for n, s in counted.items() if s in CAUGHT]
    missed = sorted(n for n, s in counted.items() if s not in CAUGHT)
    stale = sorted((set(known) | set(listed(IN_WORKERS))) - set(status))
    marks = fingerprints(missed + sorted(set(known) - set(stale)), scratch, python)
    for name in missed:
        print(f"{counted[name]}: {name} {marks[name]}")
    for name in stale:
        print(f"listed, but no such mutant: {name}")
    drifted = sorted(n for n in set(known) - set(stale) if marks[n] != known[n])
    for name in drifted:
        print(f"listed as equivalent, but it now makes another change (renumbered?): "
              f"{name} {marks[name]}")
    score = len(killed) / len(counted) if counted else 1.0
    print(f"\nPython: {len(killed)} of {len(counted)} mutants killed ({score:.1%}), "
          f"{len(known) - len(stale)} equivalent, {len(missed)} not killed; "
          f"{took / 60:.1f} min")
    if score < NEEDED or stale or drifted:
        sys.exit(1)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        # The server and the temporary file are gone by now.
        print("interrupted", file=sys.stderr)
        sys.exit(130)
