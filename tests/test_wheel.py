"""The wheel on its own: installed into a fresh virtual environment with no
network and nothing else in it, the module loads from there, needs no library
of the build machine, exports its entry point alone, runs the quickstart,
mypy checks the typing example against the stubs the wheel installed, and
the whole suite passes against it.

`make test-wheel` builds the wheel of every interpreter first (`make wheel`)
and names their folder in LORVANE_WHEEL_DIR; without it, this file builds the
running interpreter's wheel itself, with the same script."""

import os
import pathlib
import platform
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
WHEEL_DIR = os.environ.get("LORVANE_WHEEL_DIR")

if sys.platform != "linux" or platform.machine() != "x86_64":
    pytest.skip("the wheel is built for x86-64 Linux only", allow_module_level=True)
if not WHEEL_DIR and not shutil.which("g++"):
    pytest.skip("no C++ compiler here to build a wheel with", allow_module_level=True)

# What the module may still load from the system: glibc and libgcc_s, which
# every manylinux platform has. libstdc++ is linked in, abseil ships in the wheel.
SYSTEM_LIBS = {"linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libgcc_s.so.1",
               "libpthread.so.0", "libdl.so.2", "librt.so.1"}


def clean_env():
    """The environment without anything that would lead an interpreter to a Lorvane build."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP")}


def run(args, **kw):
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=clean_env(), **kw)
    assert proc.returncode == 0, f"{args}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def interpreter_for(wheel):
    """A base interpreter of the wheel's Python version, or None."""
    abi = wheel.name.split("-")[2]  # cp313
    version = f"{abi[2]}.{abi[3:]}"
    proc = subprocess.run(["bash", str(ROOT / "scripts/find_python.sh"), version], capture_output=True, text=True)
    return proc.stdout.strip() or None


def wheel_params():
    if WHEEL_DIR:
        found = sorted(pathlib.Path(WHEEL_DIR).glob("lorvane-*.whl"))
        return found or [pytest.param(None, marks=pytest.mark.skip(reason=f"no wheel in {WHEEL_DIR}"))]
    return ["build"]


@pytest.fixture(scope="module", params=wheel_params(), ids=lambda p: getattr(p, "name", str(p)))
def installed(request, tmp_path_factory):
    """(venv python, site-packages, work folder) with only the wheel installed."""
    wheel = request.param
    if wheel == "build":
        out = tmp_path_factory.mktemp("dist")
        run(["bash", ROOT / "scripts/build_wheel.sh", sys.executable, out], cwd=ROOT)
        (wheel,) = out.glob("lorvane-*.whl")
    assert "-manylinux_" in wheel.name, f"{wheel.name} was not tagged by auditwheel"
    base = interpreter_for(wheel)
    if base is None:
        pytest.skip(f"no interpreter for {wheel.name} on this machine")
    venv = tmp_path_factory.mktemp("venv")
    run([base, "-m", "venv", venv])
    py = venv / "bin" / "python"
    run([py, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--disable-pip-version-check", wheel])
    site = pathlib.Path(run([py, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"]).strip())
    work = tmp_path_factory.mktemp("work")  # holds no Lorvane build: sys.path[0] finds nothing there
    return py, site, work


def test_the_module_comes_from_the_wheel_alone(installed):
    py, site, work = installed
    module = pathlib.Path(run([py, "-c", "import Lorvane; print(Lorvane.__file__)"], cwd=work).strip())
    assert module.parent == site
    assert (site / "Lorvane-stubs" / "__init__.pyi").is_file()

    # Every library the module loads is the wheel's own or glibc's.
    for line in run(["ldd", module]).splitlines():
        # "libx.so => /path/libx.so (0x...)", or "/lib64/ld-linux-x86-64.so.2 (0x...)"
        name, _, where = line.split(" (0x")[0].strip().partition(" => ")
        assert where != "not found", line
        if pathlib.Path(name).name in SYSTEM_LIBS:
            continue
        assert pathlib.Path(where).is_relative_to(site / "lorvane.libs"), line

    exported = {line.split()[-1] for line in run(["nm", "-D", "--defined-only", module]).splitlines() if line.strip()}
    assert exported == {"PyInit_Lorvane"}


def test_the_quickstart_runs_from_the_wheel(installed):
    py, _, work = installed
    script = shutil.copy(ROOT / "examples" / "quickstart.py", work)
    assert run([py, script], cwd=work)


def test_mypy_checks_the_typing_example_against_the_installed_stubs(installed):
    py, _, work = installed
    pytest.importorskip("mypy", reason="mypy is not installed")
    example = shutil.copy(ROOT / "tests" / "typing_example.py", work)
    misuse = work / "misuse.py"
    misuse.write_text("from Lorvane import Index\nIndex().add_object(5)\n")
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", work / "mypy-cache",
            "--python-executable", py]
    run(mypy + [example], cwd=work)
    # The stubs are what mypy read: misuse is flagged, not passed as Any.
    proc = subprocess.run([str(a) for a in mypy + [misuse]], capture_output=True, text=True, env=clean_env(), cwd=work)
    assert proc.returncode == 1 and "misuse.py:2: error:" in proc.stdout, proc.stdout + proc.stderr

    has_all = run([py, "-c", "import Lorvane as L; print(all(hasattr(L.Index, m) for m in "
                   "('reduced', 'group_by', 'union_with')) and all(hasattr(L.FilteredIndex, m) for m in "
                   "('reduced', 'reduced_query', 'rebase')))"], cwd=work).strip()
    if has_all == "True":
        run([py, example], cwd=work)


def test_the_suite_passes_against_the_wheel(installed):
    # The wheel is built differently from `make install` (CRoaring 4.x, libstdc++
    # linked in): the whole suite, run by its own interpreter from outside the
    # source tree, must pass against it as well. It runs last: it adds the test
    # tools to the environment that held only the wheel.
    py, _, work = installed
    run([py, "-m", "pip", "install", "-q", "--disable-pip-version-check", "pytest>=7", "hypothesis>=6", "mypy>=1.10"])
    run([py, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--ignore", ROOT / "tests" / "test_wheel.py",
         ROOT / "tests"], cwd=work)
