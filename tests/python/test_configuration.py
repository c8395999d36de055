"""The Configuration class: conversion to NumPy, addition, scaling and its representation.

Configurations have no constructor; the tests obtain them with chosen values from a
robot whose revolute joints are locked (lower limit equal to upper limit), for which a
random configuration is exactly the locked values.
"""
import inspect

import numpy as np
import pytest

import velmora
from velmora import Configuration


@pytest.fixture(scope="module")
def make(tmp_path_factory):
    directory = tmp_path_factory.mktemp("locked")
    counter = iter(range(1 << 30))

    def make_configuration(values):
        links = ['<link name="base"/>']
        joints = []
        for k, value in enumerate(values):
            links.append(f'<link name="l{k}"/>')
            parent = "base" if k == 0 else f"l{k - 1}"
            joints.append(
                f'<joint name="j{k}" type="revolute"><parent link="{parent}"/><child link="l{k}"/>'
                f'<axis xyz="0 0 1"/><limit lower="{value!r}" upper="{value!r}" effort="1" velocity="1"/>'
                f'</joint>')
        path = directory / f"robot{next(counter)}.urdf"
        path.write_text('<robot name="locked">' + "".join(links + joints) + "</robot>")
        model, _, _ = velmora.build_models_from_urdf(str(path))
        c = velmora.random_configuration(model)
        assert type(c) is Configuration and c.to_numpy().tolist() == list(values)
        return c

    return make_configuration


def test_no_constructor():
    with pytest.raises(TypeError):
        Configuration()
    with pytest.raises(TypeError):
        Configuration([1.0, 2.0])
    with pytest.raises(TypeError):
        Configuration.__new__(Configuration)
    with pytest.raises(TypeError):
        type("Sub", (Configuration,), {})


def test_docs_and_signatures():
    assert Configuration.__doc__ == "Python wrapper for the `Configuration` struct."
    assert Configuration.__text_signature__ is None
    assert Configuration.to_numpy.__text_signature__ == "($self)"
    assert str(inspect.signature(Configuration.to_numpy)) == "(self, /)"


def test_to_numpy_returns_new_float64_copies(make):
    c = make([0.0, 1.5, -2.25])
    a = c.to_numpy()
    assert a.dtype == np.float64 and a.shape == (3,) and a.flags.c_contiguous and a.flags.writeable
    assert a.tolist() == [0.0, 1.5, -2.25]
    a[:] = 9.0
    assert c.to_numpy().tolist() == [0.0, 1.5, -2.25]
    assert c.to_numpy() is not c.to_numpy()
    with pytest.raises(TypeError):
        c.to_numpy(1)


def test_empty_configuration():
    c = velmora.neutral(velmora.Model())
    a = c.to_numpy()
    assert a.dtype == np.float64 and a.shape == (0,)
    assert (c + c).to_numpy().shape == (0,)
    assert (c * 3.0).to_numpy().shape == (0,)
    assert repr(c) == ("Configuration(\n    VecStorage {\n        data: [],\n        nrows: Dyn(\n"
                       "            0,\n        ),\n        ncols: Const,\n    },\n)")


def test_repr_is_the_multi_line_debug_layout(make):
    lines = [
        "Configuration(",
        "    VecStorage {",
        "        data: [",
        "            0.0,",
        "            1.5,",
        "        ],",
        "        nrows: Dyn(",
        "            2,",
        "        ),",
        "        ncols: Const,",
        "    },",
        ")",
    ]
    c = make([0.0, 1.5])
    assert repr(c) == "\n".join(lines) and str(c) == repr(c)
    # Numbers use the debug format: at least one fractional digit, exponents outside
    # [1e-4, 1e16).
    big = make([1e-5, 1.5e16, -3.0])
    assert repr(big).splitlines()[3:6] == ["            1e-5,", "            1.5e16,", "            -3.0,"]
    assert "            3,\n" in repr(big)


def test_addition(make):
    a = make([1.0, 2.0, -0.5])
    b = make([0.25, -2.0, 4.0])
    s = a + b
    assert type(s) is Configuration and s is not a
    assert s.to_numpy().tolist() == [1.25, 0.0, 3.5]
    assert a.to_numpy().tolist() == [1.0, 2.0, -0.5] and b.to_numpy().tolist() == [0.25, -2.0, 4.0]
    assert (a + a).to_numpy().tolist() == [2.0, 4.0, -1.0]
    total = a
    total += b  # falls back to a + b and binds a new object
    assert total is not a and a.to_numpy().tolist() == [1.0, 2.0, -0.5]


def test_addition_of_different_lengths_is_a_value_error(make):
    a = make([1.0, 2.0])
    b = make([1.0, 2.0, 3.0])
    with pytest.raises(ValueError) as err:
        a + b
    assert str(err.value) == "Cannot add configurations of different lengths (2 and 3)."
    with pytest.raises(ValueError, match=r"\(3 and 2\)"):
        b + a
    assert a.to_numpy().tolist() == [1.0, 2.0]


class RightOperand:
    def __radd__(self, other):
        return "radd"

    def __rmul__(self, other):
        return "rmul"


@pytest.mark.parametrize("other", [1.0, 2, None, "a", np.zeros(2), [1.0, 2.0], velmora.Vector3D(1, 2, 3)])
def test_addition_with_other_types(make, other):
    c = make([1.0, 2.0])
    assert c.__add__(other) is NotImplemented
    with pytest.raises(TypeError):
        c + other
    assert c + RightOperand() == "radd"


def test_scaling(make):
    c = make([1.0, -2.0, 0.5])

    class Half:
        def __float__(self):
            return 0.5

    for factor, expected in [(2, [2.0, -4.0, 1.0]), (2.0, [2.0, -4.0, 1.0]), (np.float64(-1.0), [-1.0, 2.0, -0.5]),
                             (True, [1.0, -2.0, 0.5]), (0, [0.0, -0.0, 0.0]), (Half(), [0.5, -1.0, 0.25])]:
        scaled = c * factor
        assert type(scaled) is Configuration and scaled.to_numpy().tolist() == expected
    assert np.isnan((c * float("nan")).to_numpy()).all()
    assert (c * float("inf")).to_numpy().tolist() == [np.inf, -np.inf, np.inf]
    assert c.to_numpy().tolist() == [1.0, -2.0, 0.5]


@pytest.mark.parametrize("other", ["2", None, [2.0], velmora.Vector3D(1, 2, 3), velmora.SE3.Identity()])
def test_scaling_by_other_types(make, other):
    c = make([1.0, 2.0])
    assert c.__mul__(other) is NotImplemented
    with pytest.raises(TypeError):
        c * other
    assert c * RightOperand() == "rmul"


def test_no_reflected_scaling_and_no_configuration_product(make):
    c = make([1.0, 2.0])
    with pytest.raises(TypeError):
        2.0 * c
    with pytest.raises(TypeError):
        2 * c
    with pytest.raises(TypeError):
        c * c
    with pytest.raises(TypeError):
        c - c
    with pytest.raises(OverflowError):
        c * 10 ** 400  # as for `1.0 * 10**400`
