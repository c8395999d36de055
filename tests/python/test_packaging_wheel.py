"""The binary wheel installs into a fresh virtual environment and works there on its own.

`make test` builds the wheel first (`make wheel`, reused while no source changed) and passes
its path in VELMORA_WHEEL; run by hand, the test takes the wheel in dist/ and is skipped
when there is none.
"""
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
VERSION = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M).group(1)

pytestmark = pytest.mark.skipif(os.environ.get("VELMORA_UNDER_ASAN") == "1",
                                reason="installs the release wheel; nothing to check for memory errors")

# Libraries every manylinux system provides; anything else must be linked statically or
# copied into the wheel (velmora.libs/) by auditwheel.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "libpthread.so.0",
                    "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}


def find_wheel():
    given = os.environ.get("VELMORA_WHEEL")
    if given:
        assert Path(given).is_file(), f"VELMORA_WHEEL={given} does not exist; run `make wheel`"
        return Path(given)
    wheels = sorted((ROOT / "dist").glob(f"velmora-{VERSION}-*.whl"), key=lambda p: p.stat().st_mtime)
    if not wheels:
        pytest.skip("no wheel in dist/: run `make wheel` (make test does)")
    return wheels[-1]


@pytest.fixture(scope="module")
def wheel():
    return find_wheel()


def clean_environment(cwd):
    """The environment of a user's shell: no source tree or build folder on any search path."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "VIRTUAL_ENV", "MYPYPATH")}
    for key in ("LD_LIBRARY_PATH", "LD_PRELOAD"):
        if key in env:
            kept = [p for p in env[key].split(os.pathsep) if p and "build" not in Path(p).parts]
            env[key] = os.pathsep.join(kept)
    env["PWD"] = str(cwd)
    return env


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """A fresh virtual environment with the wheel installed; returns (its python, a work folder)."""
    base = tmp_path_factory.mktemp("wheel")
    venv, work = base / "venv", base / "work"
    work.mkdir()
    env = clean_environment(work)
    # Without pip of its own (faster to make); this environment's pip installs into it.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True, env=env, cwd=work,
                   timeout=300)
    python = venv / "bin" / "python"
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q", str(wheel)],
                   check=True, env=env, cwd=work, timeout=600)
    return python, work, env


def run(command, work, env):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, env=env, cwd=work,
                            timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_wheel_is_tagged_manylinux_and_auditwheel_agrees(wheel):
    match = re.fullmatch(rf"velmora-{re.escape(VERSION)}-cp(\d+)-cp\d+-(manylinux_\d+_\d+_x86_64)(\.\S+)?\.whl",
                         wheel.name)
    assert match, f"unexpected wheel name {wheel.name}"
    assert match.group(1) == f"{sys.version_info.major}{sys.version_info.minor}"
    show = subprocess.run([str(Path(sys.executable).parent / "auditwheel"), "show", str(wheel)],
                          capture_output=True, text=True, timeout=300)
    text = " ".join((show.stdout + show.stderr).split())
    assert show.returncode == 0, text
    assert f'is consistent with the following platform tag: "{match.group(2)}"' in text, text


def test_wheel_ships_stubs_marker_and_tools(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    for name in ("velmora/__init__.pyi", "velmora/tessary.pyi", "velmora/py.typed",
                 "velmora_tools/cli.py", "velmora_tools/data/sample_arm.urdf"):
        assert name in names, f"{name} missing from {wheel.name}"
    modules = [n for n in names if re.fullmatch(r"velmora/__init__\.cpython-[^/]+\.so", n)]
    assert len(modules) == 1, sorted(names)


def test_quick_start_runs_from_the_installed_wheel(installed):
    python, work, env = installed
    quick_start = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)[0]
    script = work / "quick_start.py"
    script.write_text(quick_start + "\nprint('module file:', velmora.__file__)\n")
    out = run([python, script], work, env)
    module_file = Path(out.rsplit("module file:", 1)[1].strip())
    assert module_file.is_relative_to(python.parent.parent), f"imported {module_file}, not the installed wheel"
    assert re.search(r"^\S+ \d+ \d+ \d+$", out, re.M), out  # model name, nq, nv, njoints


def test_installed_module_needs_only_system_libraries(installed):
    python, work, env = installed
    out = run([python, "-c", "import velmora; print(velmora.__file__)"], work, env)
    module = Path(out.strip())
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile
    with open(module, "rb") as f:
        needed = [tag.needed for section in ELFFile(f).iter_sections() if isinstance(section, DynamicSection)
                  for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]
    vendored = {p.name for p in (module.parent.parent / "velmora.libs").glob("*")}
    foreign = [n for n in needed if n not in SYSTEM_LIBRARIES and n not in vendored]
    assert not foreign, f"{module.name} needs {foreign}, neither system libraries nor shipped in the wheel"
    assert not any("python" in n for n in needed), needed


def test_installed_command_reports_the_package_version(installed):
    python, work, env = installed
    assert run([python.parent / "velmora", "--version"], work, env).strip() == f"velmora {VERSION}"
    out = run([python, "-c", "import importlib.metadata as m, velmora, velmora_tools; "
                             "print(velmora.__version__, velmora_tools.__version__, m.version('velmora'))"],
              work, env)
    assert out.split() == [VERSION] * 3
