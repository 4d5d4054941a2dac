# Every python and sh block of README.md and of the guide's pages in doc/
# runs as written, in order, in a scratch folder that holds the build and a
# copy of the examples, as a fresh clone does after its two set-up commands.
# A block marked <!-- readme-test: skip: WHY --> is skipped, visibly.

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import MORVELA

# The project's top folder: the first above this file that holds the
# README (a copy of the tests, as mutation testing makes, sits deeper).
TOP = next(str(p) for p in pathlib.Path(__file__).resolve().parents
           if (p / "README.md").is_file() and (p / "CMakeLists.txt").is_file())
README = os.path.join(TOP, "README.md")
# The guide's pages, in the order a reader follows them.
PAGES = ["README.md", "doc/working-at-scale.md", "doc/object-storage.md",
         "doc/performance.md", "doc/building.md"]
_BLOCK = re.compile(r"(?:<!-- readme-test: skip: (?P<why>[^\n]*?) -->\n)?"
                    r"```(?P<kind>python|sh)\n(?P<code>.*?)```", re.S)


def _blocks():
    blocks = []
    for page in PAGES:
        with open(os.path.join(TOP, page), encoding="utf-8") as f:
            text = f.read()
        blocks += [(m["kind"], m["code"], m["why"],
                    f"{page}:{text.count(chr(10), 0, m.start()) + 1}")
                   for m in _BLOCK.finditer(text)]
    return blocks


@pytest.fixture(scope="module")
def clone(tmp_path_factory):
    # The scratch folder, and the blocks run in it so far.
    folder = tmp_path_factory.mktemp("clone")
    os.symlink(os.path.dirname(os.path.abspath(MORVELA)), folder / "build")
    shutil.copytree(os.path.join(os.path.dirname(README), "examples"), folder / "examples")
    return folder, set()


def _run(folder, kind, code, line):
    env = dict(os.environ, MPLBACKEND="Agg",
               PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    script = folder / f"block-{re.sub(r'[^A-Za-z0-9]', '-', line)}.{'py' if kind == 'python' else 'sh'}"
    script.write_text(code)
    command = [sys.executable, script.name] if kind == "python" else \
        ["bash", "-eo", "pipefail", script.name]
    done = subprocess.run(command, cwd=folder, env=env, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, f"{line}:\n{done.stdout}\n{done.stderr}"


def test_the_readme_has_blocks_of_each_kind():
    kinds = [kind for kind, _, why, _ in _blocks() if why is None]
    assert kinds.count("python") >= 3 and kinds.count("sh") >= 4


@pytest.mark.parametrize("kind, code, why, line", _blocks(),
                         ids=[b[3] for b in _blocks()])
def test_a_readme_block_runs_as_written(clone, kind, code, why, line):
    if why is not None:
        pytest.skip(why)
    folder, ran = clone
    # A block may use what the blocks before it made (the guide is read in
    # order): where it runs without them (a test chosen alone), they run
    # first.
    for earlier_kind, earlier, earlier_why, earlier_line in _blocks():
        if earlier_line == line:
            break
        if earlier_why is None and earlier_line not in ran:
            _run(folder, earlier_kind, earlier, earlier_line)
            ran.add(earlier_line)
    _run(folder, kind, code, line)
    ran.add(line)


# make check installs the Debian packages it needs where they are missing: a
# package is there only where dpkg says it is installed.
@pytest.mark.parametrize("status, missing", [
    ("install ok installed", False), ("hold ok installed", False),
    ("deinstall ok config-files", True), ("purge ok not-installed", True),
    ("install ok unpacked", True), ("", True)])
def test_a_debian_package_is_there_only_where_installed(tmp_path, status, missing):
    (tmp_path / "dpkg-query").write_text(f"#!/bin/sh\nprintf '{status}'\n[ '{status}' ]\n")
    (tmp_path / "dpkg-query").chmod(0o755)
    done = subprocess.run(["sh", os.path.join(TOP, "tools", "debian-packages.sh"), "--list",
                           "check"], env=dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}"),
                          capture_output=True, text=True)
    listed = "libgtest-dev libgmock-dev netcdf-bin\n"
    assert (done.returncode, done.stdout) == (0, listed if missing else "")
