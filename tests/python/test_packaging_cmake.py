"""Source builds: a missing C/C++ library stops CMake with one message that says what to install;
the version compiled into the module is the one written in pyproject.toml.

Nothing is uninstalled: the libraries are hidden from CMake's search in throw-away build
directories (CMAKE_IGNORE_PATH), or the dependencies are made-up names.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(os.environ.get("VELMORA_UNDER_ASAN") == "1",
                                reason="configures CMake projects; nothing to check for memory errors")


def cmake_executable():
    beside = Path(sys.executable).parent / "cmake"
    found = str(beside) if beside.exists() else shutil.which("cmake")
    if not found:
        pytest.skip("cmake is not installed")
    return found


def configure(source, build, *args):
    result = subprocess.run([cmake_executable(), "-S", str(source), "-B", str(build), *args],
                            capture_output=True, text=True, timeout=300)
    return result.returncode, result.stdout + result.stderr


def flat(text):
    """The text with line breaks and runs of spaces as single spaces (CMake wraps long messages)."""
    return " ".join(text.split())


def pugixml_directories():
    """Every directory a search could find the XML library's header or library in."""
    dirs = set()
    for prefix in ("/usr", "/usr/local", sys.prefix, os.environ.get("CONDA_PREFIX", "")):
        if not prefix:
            continue
        for pattern in ("include/pugixml.hpp", "lib*/libpugixml*", "lib*/*/libpugixml*"):
            dirs.update(str(p.parent) for p in Path(prefix).glob(pattern))
    return sorted(dirs)


PUGIXML_PACKAGES = ["sudo apt-get install libpugixml-dev", "sudo dnf install pugixml-devel",
                    "sudo pacman -S pugixml", "brew install pugixml", "conda install -c conda-forge pugixml"]


def test_project_without_the_xml_library_stops_with_one_message_naming_the_packages(tmp_path):
    hidden = pugixml_directories()
    assert hidden, "the XML library is not installed where this test looks for it"
    code, output = configure(ROOT, tmp_path / "build", "-DCMAKE_IGNORE_PATH=" + ";".join(hidden))
    assert code != 0, output
    assert output.count("CMake Error") == 1, output
    assert "C/C++ libraries that were not found: pugixml." in flat(output)
    for line in PUGIXML_PACKAGES:
        assert line in output, output
    assert "`make demo` and `make test` install them for you" in flat(output)
    # No second, raw error from CMake about variables left NOTFOUND.
    assert "NOTFOUND" not in output and "Could not find" not in output, output


FAKE_PROJECT = """
cmake_minimum_required(VERSION 3.20)
project(fake LANGUAGES NONE)
include({root}/cmake/dependencies.cmake)
velmora_find_dependency(present HEADER present.hpp LIBRARY libpresent.a present
  DEBIAN libpresent-dev FEDORA present-devel ARCH present HOMEBREW present CONDA present)
velmora_find_dependency(absentone HEADER absentone.hpp LIBRARY absentone
  DEBIAN libabsentone-dev FEDORA absentone-devel ARCH absentone HOMEBREW absentone CONDA absentone)
velmora_find_dependency(absenttwo CONFIG absenttwo TARGET absenttwo::absenttwo
  DEBIAN libabsenttwo-dev FEDORA absenttwo-devel ARCH absenttwo HOMEBREW absenttwo CONDA absenttwo-cf)
if(TARGET velmora::present)
  get_target_property(inc velmora::present INTERFACE_INCLUDE_DIRECTORIES)
  get_target_property(lib velmora::present INTERFACE_LINK_LIBRARIES)
  message(STATUS "present target: ${{inc}} | ${{lib}}")
endif()
velmora_stop_if_dependencies_missing()
message(STATUS "all dependencies found")
"""


@pytest.fixture
def fake_project(tmp_path):
    source = tmp_path / "src"
    source.mkdir()
    (source / "CMakeLists.txt").write_text(FAKE_PROJECT.format(root=ROOT.as_posix()))
    prefix = tmp_path / "prefix"
    (prefix / "include").mkdir(parents=True)
    (prefix / "lib").mkdir()
    (prefix / "include" / "present.hpp").write_text("")
    (prefix / "lib" / "libpresent.a").write_bytes(b"!<arch>\n")
    return source, prefix


def test_all_missing_libraries_in_one_message_one_install_command_per_platform(tmp_path, fake_project):
    source, prefix = fake_project
    code, output = configure(source, tmp_path / "build", f"-DCMAKE_PREFIX_PATH={prefix}")
    assert code != 0, output
    assert output.count("CMake Error") == 1, output
    assert "not found: absentone, absenttwo." in flat(output)
    for line in ["sudo apt-get install libabsentone-dev libabsenttwo-dev",
                 "sudo dnf install absentone-devel absenttwo-devel", "sudo pacman -S absentone absenttwo",
                 "brew install absentone absenttwo", "conda install -c conda-forge absentone absenttwo-cf"]:
        assert line in output, output
    # The library that is there is found, preferring the static archive, and is not listed.
    assert f"present target: {prefix / 'include'} | {prefix / 'lib' / 'libpresent.a'}" in output, output
    assert "libpresent-dev" not in output


def test_installing_the_missing_library_lets_the_same_build_directory_configure(tmp_path, fake_project):
    # A failed search must not stick in the cache: installing the package and running CMake
    # again in the same build directory succeeds.
    source, prefix = fake_project
    (source / "CMakeLists.txt").write_text(
        re.sub(r"velmora_find_dependency\(absenttwo.*?\)\n", "", FAKE_PROJECT.format(root=ROOT.as_posix()),
               flags=re.S))
    build = tmp_path / "build"
    code, output = configure(source, build, f"-DCMAKE_PREFIX_PATH={prefix}")
    assert code != 0 and "not found: absentone." in flat(output), output
    (prefix / "include" / "absentone.hpp").write_text("")
    (prefix / "lib" / "libabsentone.so").write_bytes(b"")
    code, output = configure(source, build)
    assert code == 0, output
    assert "all dependencies found" in output


def test_a_dependency_declared_without_every_platform_is_refused(tmp_path):
    source = tmp_path / "src"
    source.mkdir()
    (source / "CMakeLists.txt").write_text(
        f"cmake_minimum_required(VERSION 3.20)\nproject(fake LANGUAGES NONE)\n"
        f"include({ROOT.as_posix()}/cmake/dependencies.cmake)\n"
        "velmora_find_dependency(half HEADER half.hpp LIBRARY half DEBIAN libhalf-dev FEDORA half-devel)\n")
    code, output = configure(source, tmp_path / "build")
    assert code != 0 and "the ARCH package name is missing" in flat(output), output


def test_pip_install_without_the_xml_library_fails_with_the_same_message(tmp_path):
    # What a user of `pip install .` sees: scikit-build-core runs the same configuration and
    # shows its message. The build folder is a throw-away one, so build/ is not touched.
    hidden = pugixml_directories()
    result = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", str(tmp_path / "out"),
         "--config-settings=build-dir=" + str(tmp_path / "build"),
         "--config-settings=cmake.define.CMAKE_IGNORE_PATH=" + ";".join(hidden), str(ROOT)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path)
    output = result.stdout + result.stderr
    assert result.returncode != 0, output
    assert "C/C++ libraries that were not found: pugixml." in flat(output), output
    for line in PUGIXML_PACKAGES:
        assert line in output, output
    assert not list((tmp_path / "out").glob("*.whl"))


def test_a_library_disabled_by_the_standard_switch_counts_as_missing(tmp_path, fake_project):
    source, prefix = fake_project
    code, output = configure(source, tmp_path / "build", f"-DCMAKE_PREFIX_PATH={prefix}",
                             "-DCMAKE_DISABLE_FIND_PACKAGE_present=ON")
    assert code != 0, output
    assert "not found: present, absentone, absenttwo." in flat(output), output
    assert "sudo apt-get install libpresent-dev libabsentone-dev libabsenttwo-dev" in output


def test_module_and_command_carry_the_version_written_in_pyproject():
    import velmora
    version = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M).group(1)
    assert velmora.__version__ == version
    assert "__version__" not in velmora.__all__
    result = subprocess.run([sys.executable, "-m", "velmora_tools", "--version"], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(
                                [str(Path(velmora.__file__).resolve().parents[1]), str(ROOT / "tools")])},
                            timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == f"velmora {version}", result.stdout + result.stderr
