"""The repaired wheel carries CRoaring inside it: installed into a fresh virtual environment, the module loads its
own copy of libroaring and answers queries, also where the system's libroaring cannot be loaded.

Run by `make wheel-test` after `make wheel`; VOSTREL_WHEEL names the wheel (default: the newest dist/*.whl).
"""

import glob
import os
import shutil
import subprocess
import sys
import textwrap
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

QUERY = textwrap.dedent("""
    import Vostrel
    from Vostrel import PyQueryExpr as Q

    class Person(Vostrel.Indexable):
        pass

    people = [Person(name=n, age=a) for n, a in (("Ann", 31), ("Bob", 45), ("Joe", 52), ("Jo", 20))]
    index = Vostrel.Index()
    for p in people:
        index.add_object(p)
    found = index.reduced_query(Q.and_(Q.gt("age", 30), Q.starts_with("name", "J"))).collect()
    print(Vostrel.__file__)
    print(",".join(sorted(p.name for p in found)))
""")


def wheel_path():
    named = os.environ.get("VOSTREL_WHEEL")
    if named:
        return Path(named)
    wheels = sorted(glob.glob(str(ROOT / "dist" / "vostrel-*.whl")), key=os.path.getmtime)
    if not wheels:
        pytest.fail("no wheel in dist/: run `make wheel` first")
    return Path(wheels[-1])


@pytest.fixture(scope="module")
def wheel():
    return wheel_path()


@pytest.fixture(scope="module")
def fresh_env(wheel, tmp_path_factory):
    """A new virtual environment holding only the wheel; returns (python, site-packages)."""
    home = tmp_path_factory.mktemp("wheel-venv")
    venv.EnvBuilder(with_pip=False).create(home)
    python = home / "bin" / "python"
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q", "--no-deps",
                    "--no-index", str(wheel)], check=True)
    site = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
                          check=True, capture_output=True, text=True).stdout.strip()
    return python, Path(site)


def clean_env():
    """The environment without anything that could point the loader or Python at the source tree."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "LD_PRELOAD")}
    env["PYTHONNOUSERSITE"] = "1"
    return env


def run_query(python, prefix=()):
    return subprocess.run([*prefix, str(python), "-c", QUERY], capture_output=True, text=True, timeout=120,
                          env=clean_env(), cwd="/")


def installed_module(site):
    modules = list(site.glob("Vostrel*.so"))
    assert len(modules) == 1, modules
    return modules[0]


def test_wheel_is_repaired_and_carries_roaring(wheel):
    assert "manylinux" in wheel.name, f"{wheel.name}: not repaired by auditwheel"
    names = zipfile.ZipFile(wheel).namelist()
    assert any(n.startswith("vostrel.libs/libroaring") for n in names), names
    assert {"vostrel_ray/__init__.py", "vostrel_ray/py.typed"} <= set(names), names  # the pure-Python shards


def test_module_resolves_roaring_inside_the_wheel(fresh_env):
    python, site = fresh_env
    ldd = subprocess.run(["ldd", str(installed_module(site))], capture_output=True, text=True, check=True,
                         env=clean_env()).stdout
    assert "not found" not in ldd, ldd
    roaring = [line for line in ldd.splitlines() if "libroaring" in line]
    assert len(roaring) == 1, ldd
    resolved = roaring[0].split("=>")[1].split("(")[0].strip()
    assert Path(resolved).resolve().is_relative_to((site / "vostrel.libs").resolve()), ldd


def test_query_in_fresh_environment(fresh_env):
    python, site = fresh_env
    result = run_query(python)
    assert result.returncode == 0, result.stderr
    module_file, names = result.stdout.split()
    assert Path(module_file).resolve().is_relative_to(site.resolve())
    assert names == "Joe"


def system_roaring_files():
    """The system's libroaring files the loader knows of (resolved), none where CRoaring is not installed."""
    listing = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
    return sorted({os.path.realpath(line.split("=>")[1].strip())
                   for line in listing.splitlines() if "libroaring.so" in line and "=>" in line})


def test_query_with_system_roaring_hidden(fresh_env):
    """In a private mount namespace the system's libroaring is covered by an empty file, so only the wheel's
    copy can be loaded; a control load of the system library must fail there."""
    python, _ = fresh_env
    hidden = system_roaring_files()
    if not hidden:
        result = run_query(python)  # nothing to hide: the machine has no CRoaring of its own
        assert result.returncode == 0 and result.stdout.split()[-1] == "Joe", result.stderr
        return
    if shutil.which("unshare") is None:
        pytest.skip("unshare (util-linux) is not installed")
    mounts = " && ".join(f"mount --bind /dev/null '{path}'" for path in hidden)
    control = f"import ctypes; ctypes.CDLL('{hidden[0]}')"
    script = f"{mounts} && ! '{python}' -c \"{control}\" 2>/dev/null && exec \"$@\""
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "mount", "--bind", "/dev/null",
                            hidden[0]], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("no permission to cover a file in a private mount namespace: "
                    + probe.stderr.decode(errors="replace"))
    result = run_query(python, prefix=("unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"))
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr}"
    assert result.stdout.split()[-1] == "Joe"
