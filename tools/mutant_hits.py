"""The functions that the processes a test starts run, for mutmut's map of
tests to code.

mutmut maps each test to the mutated functions it reaches by what runs in
the test's own process, so a function that runs only in a program the test
starts (python -m morvela), a worker process or a cluster's worker would get
no test, or too few. While mutmut makes its map (MUTANT_UNDER_TEST is
"stats"), this module lets those processes add theirs:

- each of them writes the name of each function it reaches, once, to a file
  of its own in the folder $MORVELA_MUTANT_HITS: a program started loads it
  through the sitecustomize that tools/python_mutants.py writes, and a
  process forked by one that writes, or by the test process, writes too;
- as each test ends, and before mutmut reads what the test reached, the test
  process (this module as a pytest plugin, named in $PYTEST_PLUGINS) takes the
  names in those files into that record.

With a mutant on, the plugin runs first the tests that failed with another
mutant of the same function, then the rest, each group fastest first by
the times mutmut recorded: mutmut's fork server hands them over in no
order, and the first that fails ends the run (-x). The order decides
only how soon a mutant is caught, not whether. A mutant named in the list
$MORVELA_MUTANTS_EQUIVALENT names runs no test: mutmut counts it skipped.

A process that outlives its test (a cluster's worker) names each function
once, for the first test that reaches it there.

A program run as python -m morvela runs morvela/__main__.py as the module
__main__, and mutmut names a function by its module: there the functions
of morvela.__main__ are named, and a mutant of theirs switched on, as
those of __main__.
"""

import contextlib
import json
import os
import sys

import pluggy

# pytest's own marker, without importing pytest into every program started.
hookimpl = pluggy.HookimplMarker("pytest")
FOLDER = "MORVELA_MUTANT_HITS"
# Beside mutmut's own stats: "FUNCTION TEST" for each test that failed
# with a mutant of FUNCTION on.
KILLERS = "mutmut-killers.txt"
EQUIVALENT = "MORVELA_MUTANTS_EQUIVALENT"


def recording() -> bool:
    return os.environ.get("MUTANT_UNDER_TEST") == "stats" and FOLDER in os.environ


def _run_as() -> str:
    """The name of the module this process runs as __main__ ("" if none)."""
    spec = getattr(sys.modules.get("__main__"), "__spec__", None)
    return spec.name if spec is not None else ""


def write_hits() -> None:
    """This process writes the functions it reaches to its own file."""
    from mutmut.mutation import trampoline

    seen = set()
    path = os.path.join(os.environ[FOLDER], str(os.getpid()))

    def hit(name, caller=None):
        if name in seen:  # each call of a mutated function comes here
            return
        seen.add(name)
        module = _run_as()
        if module and name.startswith("__main__."):
            name = module + name[len("__main__"):]
        with open(path, "a", encoding="utf-8") as f:
            f.write(name + "\n")

    trampoline.record_trampoline_hit = hit


def start() -> None:
    """In a process a test starts: while the map is made it and its forks
    write; otherwise a mutant of the module it runs as __main__ is on."""
    from mutmut.mutation import trampoline

    if recording():
        write_hits()
        os.register_at_fork(after_in_child=write_hits)
        return
    named = trampoline.get_mutant_under_test

    def mutant_under_test() -> str:
        name, module = named(), _run_as()
        return "__main__" + name[len(module):] if module and name.startswith(module + ".") else name

    trampoline.get_mutant_under_test = mutant_under_test


def pytest_configure(config):
    if recording():
        # The test process records its own as mutmut does, though it may be
        # the fork of a process that writes.
        from mutmut import stats
        from mutmut.mutation import trampoline

        trampoline.record_trampoline_hit = stats.record_trampoline_hit
        os.makedirs(os.environ[FOLDER], exist_ok=True)
        os.register_at_fork(after_in_child=write_hits)


@hookimpl(tryfirst=True)
def pytest_runtest_teardown(item, nextitem):
    if not recording():
        return
    from mutmut.state import state

    folder = os.environ[FOLDER]
    for name in os.listdir(folder):
        # Renamed first: a process that writes on makes a new file.
        taken = os.path.join(folder, name + ".taken")
        os.rename(os.path.join(folder, name), taken)
        with open(taken, encoding="utf-8") as f:
            state()._stats.update(f.read().split())
        os.unlink(taken)


def _mutant_function() -> str:
    """The mangled name of the function whose mutant is on ("" if none)."""
    name = os.environ.get("MUTANT_UNDER_TEST", "")
    return name.rpartition("__mutmut_")[0] if "__mutmut_" in name else ""


_killers_path = ""


def pytest_collection_modifyitems(items):
    global _killers_path
    function = _mutant_function()
    if not function:
        return
    _killers_path = os.path.abspath(KILLERS)  # before any test changes folder
    try:
        with open("mutmut-stats.json", encoding="utf-8") as f:  # in mutants/
            took = json.load(f)["duration_by_test"]
    except (OSError, ValueError, KeyError):
        took = {}
    killers = set()
    with contextlib.suppress(OSError), open(KILLERS, encoding="utf-8") as f:
        for line in f:
            of, _, test = line.rstrip("\n").partition(" ")
            if of == function:
                killers.add(test)
    items.sort(key=lambda item: (item.nodeid not in killers, took.get(item.nodeid, 0.0)))


def pytest_sessionstart(session):
    name, listing = os.environ.get("MUTANT_UNDER_TEST", ""), os.environ.get(EQUIVALENT)
    if "__mutmut_" not in name or not listing:
        return
    with open(listing, encoding="utf-8") as f:
        if any(line.split(" ", 1)[0] == name for line in f):
            import pytest

            pytest.exit("listed as equivalent", returncode=34)  # mutmut's "skipped"


def pytest_runtest_logreport(report):
    if report.failed and _killers_path:
        with open(_killers_path, "a", encoding="utf-8") as f:
            f.write(f"{_mutant_function()} {report.nodeid}\n")
