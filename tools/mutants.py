#!/usr/bin/python3
"""make mutants, the C++ half: changes single lines of the code, one at a
time, and checks that the test suite notices each change (the Python
package's mutants are mutmut's: tools/python_mutants.py).

Each mutant in tools/mutants.txt names a file, a text that stands exactly
once in it, and what it becomes (<NL> stands for a line break). The tree is copied to a scratch directory
(the working tree is never touched), built once, and then for each mutant
the file is changed, the build is redone and ctest runs until the first
failure. A mutant the build rejects does not count.

    tools/mutants.py [--only SUBSTRING]... [--keep]
"""

import argparse
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load(path):
    mutants = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            parts = line.split(" ||| ")
            if len(parts) != 3:
                sys.exit(f"{path}:{number}: want FILE ||| FROM ||| TO")
            mutants.append((number, *(p.replace("<NL>", "\n") for p in parts)))
    return mutants


# A mutant can make a run write without end: no file may grow past this,
# and temporary files stay in the scratch directory.
FILE_SIZE_LIMIT = 1 << 30


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, FILE_SIZE_LIMIT))


def run(cmd, cwd, timeout, env=None):
    try:
        done = subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout,
                              env=env, preexec_fn=limit_file_size)
        return done.returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", action="append",
                        help="run the mutants whose line has this "
                        "(repeatable: any of them)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the scratch directory")
    args = parser.parse_args()
    mutants = load(os.path.join(ROOT, "tools", "mutants.txt"))
    if args.only:
        mutants = [m for m in mutants
                   if any(only in " ".join(m[1:]) for only in args.only)]

    scratch = tempfile.mkdtemp(prefix="morvela-mutants-")
    # The copy goes however the run ends, a Ctrl-C or a SIGTERM included.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    try:
        return check_all(mutants, scratch)
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)


def check_all(mutants, scratch):
    """Builds the copy in `scratch`, then checks each mutant on it; the
    exit status: 0 where at least 90 % were killed and none is stale."""
    files = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True,
                           capture_output=True, text=True).stdout.split()
    for name in files:
        os.makedirs(os.path.join(scratch, os.path.dirname(name)), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, name), os.path.join(scratch, name))
    build = os.path.join(scratch, "build")
    tmp = os.path.join(scratch, "tmp")
    os.makedirs(tmp)
    test_env = dict(os.environ, TMPDIR=tmp)
    jobs = str(os.cpu_count() or 2)
    # The Python package is tested as make check tests it: installed by pip
    # into a virtual environment, again whenever a source of it changed.
    venv = ["make", "venv", f"BUILD={build}"]
    if run(["cmake", "-S", scratch, "-B", build], scratch, 600) != 0 or \
            run(["cmake", "--build", build, "-j", jobs], scratch, 1200) != 0 or \
            run(venv, scratch, 1800) != 0:
        sys.exit("the unchanged tree does not build")
    if run(["ctest", "-j", jobs, "--timeout", "120"], build, 1200,
           test_env) != 0:
        sys.exit("the unchanged tree fails its tests")

    killed, survivors, stale, rejected = 0, [], [], []
    # rejected and stale hold (number, name, before).
    for number, name, before, after in mutants:
        path = os.path.join(scratch, name)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        if original.count(before) != 1:
            stale.append((number, name, before))
            continue
        start = time.time()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(before, after))
            if run(["cmake", "--build", build, "-j", jobs], scratch, 1200) != 0 \
                    or run(venv, scratch, 1200) != 0:
                rejected.append((number, name, before))
                verdict = "rejected by the build"
            else:
                # The Python package and its binding are tested by pytest;
                # the rest by the C++ tests first (seconds), and by pytest
                # (a minute) only where those pass.
                phases = [["-R", "python_tests"]]
                if not name.startswith("python/"):
                    phases.insert(0, ["-E", "python_tests"])
                for phase in phases:
                    status = run(["ctest", "-j", jobs, "--timeout", "120",
                                  "--stop-on-failure", *phase], build, 1200, test_env)
                    if status != 0:
                        break
                shutil.rmtree(tmp, ignore_errors=True)
                os.makedirs(tmp, exist_ok=True)
                if status == 0:
                    survivors.append((number, name, before, after))
                    verdict = "SURVIVED"
                else:
                    killed += 1
                    verdict = "killed"
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        print(f"{number:3} {name}: {before.strip()!r} -> {after.strip()!r}: "
              f"{verdict} ({time.time() - start:.0f} s)", flush=True)

    counted = killed + len(survivors)
    print()
    for number, name, before in stale:
        print(f"stale (not exactly once in {name}): line {number}: {before!r}")
    for number, name, before, after in survivors:
        print(f"survivor: line {number}: {name}: {before!r} -> {after!r}")
    if counted:
        print(f"mutants: {killed} of {counted} killed "
              f"({100.0 * killed / counted:.1f} %), {len(rejected)} rejected "
              f"by the build, {len(stale)} stale")
    ok = counted and killed >= 0.9 * counted and not stale
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
