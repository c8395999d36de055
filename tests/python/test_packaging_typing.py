"""The type stubs shipped in the package describe the module as it is, and type-check real code.

The stubs live in python/velmora/ and are copied beside the extension module (build/python/
velmora/, and velmora/ in the wheel). When a function or class is added to the module, these
tests name what the stubs lack.
"""
import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import velmora

ROOT = Path(__file__).resolve().parents[2]
STUBS = ROOT / "python" / "velmora"
ALLOWLIST = Path(__file__).resolve().parent / "stubtest_allowlist.txt"

pytestmark = pytest.mark.skipif(os.environ.get("VELMORA_UNDER_ASAN") == "1",
                                reason="type checks of the stubs; nothing to check for memory errors")


def package_parent():
    """The folder holding the imported velmora package (its stubs sit beside the extension)."""
    return Path(velmora.__file__).resolve().parent.parent


def stub_names(path):
    """{top-level name: set of member names} of a stub file (members only for classes)."""
    names = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.ClassDef):
            members = set()
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    members.add(item.name)
                elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    members.add(item.target.id)
            names[node.name] = members
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            names[node.name] = set()
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = set()
        elif isinstance(node, ast.ImportFrom):
            names.update({alias.asname or alias.name: set() for alias in node.names})
    return names


def missing_from_stubs(module, stub_file):
    stubs = stub_names(stub_file)
    missing = []
    for name in dict.fromkeys(module.__all__):
        if name not in stubs:
            missing.append(name)
            continue
        obj = getattr(module, name)
        if isinstance(obj, type):
            for member in vars(obj):
                if not member.startswith("_") and member not in stubs[name]:
                    missing.append(f"{name}.{member}")
    return missing


@pytest.mark.parametrize("module, stub_file", [(velmora, STUBS / "__init__.pyi"),
                                               (velmora.tessary, STUBS / "tessary.pyi")],
                         ids=["velmora", "tessary"])
def test_every_public_name_has_a_stub(module, stub_file):
    missing = missing_from_stubs(module, stub_file)
    assert not missing, (f"{stub_file.relative_to(ROOT)} has no entry for: {', '.join(missing)}. "
                         "Add each to the stub (and module-level names to its __all__).")


def test_shipped_stubs_are_the_source_stubs():
    # The build copies the stubs beside the extension; a stale copy would hide a stub change.
    here = Path(velmora.__file__).resolve().parent
    sources = sorted(p.name for p in STUBS.iterdir())
    assert {"__init__.pyi", "tessary.pyi", "py.typed"} <= set(sources)
    for name in sources:
        assert (here / name).read_bytes() == (STUBS / name).read_bytes(), f"{here / name} differs from the source"


def run_tool(args, mypy_path):
    env = {**os.environ, "MYPYPATH": os.pathsep.join(str(p) for p in mypy_path)}
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env,
                          cwd=ROOT, timeout=600)


def test_stubtest_finds_the_stubs_true_to_the_module():
    result = run_tool(["mypy.stubtest", "velmora", "--allowlist", str(ALLOWLIST),
                       "--mypy-config-file", os.devnull], [package_parent()])
    output = result.stdout + result.stderr
    absent = re.findall(r"^error: (\S+) is not present in stub", output, re.M)
    hint = f"\nNames missing from the stubs in python/velmora/: {', '.join(absent)}\n" if absent else "\n"
    assert result.returncode == 0, hint + output


def readme_examples():
    return re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)


def mypy_strict(paths, tmp_path):
    return run_tool(["mypy", "--strict", "--no-incremental", "--config-file", os.devnull,
                     "--cache-dir", str(tmp_path / "mypy-cache"), *map(str, paths)],
                    [package_parent(), ROOT / "tools"])


def test_readme_examples_and_tools_pass_strict_type_checking(tmp_path):
    examples = []
    for index, code in enumerate(readme_examples(), 1):
        path = tmp_path / f"readme_example_{index}.py"
        path.write_text(code)
        examples.append(path)
    assert examples
    result = mypy_strict([*examples, ROOT / "tools" / "velmora_tools"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checker_sees_wrong_calls(tmp_path):
    # The stubs must give real types, not Any: each of these lines fails at run time and must
    # be reported by the type checker.
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "import numpy as np\n"
        "import velmora\n"
        "model = velmora.Model()\n"
        "data = model.create_data()\n"
        "velmora.forward_kinematics(model, data, [0.0])\n"             # a list where an array is needed
        "velmora.rnea(model, model, np.zeros(0), np.zeros(0), np.zeros(0))\n"  # a Model for the Data
        "name: int = model.name\n"                                       # a str property
        "tau: float = velmora.aba(model, data, np.zeros(0), np.zeros(0), np.zeros(0))\n"
        "velmora.tessary.Sphere('1')\n"
        "velmora.JointModelRX(1)\n"
        "velmora.SE3.Identity() * 2.0\n")
    result = mypy_strict([wrong], tmp_path)
    reported = sorted({int(n) for n in re.findall(r"wrong\.py:(\d+): error", result.stdout)})
    assert reported == list(range(5, 12)), result.stdout + result.stderr
