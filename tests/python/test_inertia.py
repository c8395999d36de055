"""The Inertia class: construction from arrays, spheres, addition, properties and repr."""
import inspect

import numpy as np
import pytest

from velmora import Inertia, Symmetric3

FROM_SPHERE_DOC = (
    "Creates a new inertia sphere with the given parameters.\n\n# Arguments\n\n"
    "* `mass` - The mass of the sphere.\n* `radius` - The radius of the sphere.\n\n# Returns\n"
    "A new [`Inertia`] object representing a sphere.")
ZEROS_DOC = (
    "Creates a new [`Inertia`] object with zero mass, zero center of mass, and zero inertia matrix.\n\n"
    "# Returns\nA new [`Inertia`] object with all properties set to zero.")
LEVER_DOC = "Returns the lever (center of mass) of the inertia.\n\nThis is an alias for the `com` property."
SYM = np.array([[1.0, 0.1, 0.2], [0.1, 2.0, 0.3], [0.2, 0.3, 3.0]])


def body(mass=3.0, com=(0.1, -0.2, 0.3), inertia=SYM):
    return Inertia(mass, np.array(com, dtype=np.float64), np.array(inertia, dtype=np.float64))


def unaligned_copy(values):
    values = np.ascontiguousarray(values, dtype=np.float64)
    out = np.frombuffer(b"\0" + values.tobytes(), dtype=np.float64, offset=1, count=values.size)
    assert not out.flags.aligned
    return out.reshape(values.shape)


def test_docs_and_signatures():
    assert Inertia.__doc__ == "A Python wrapper for the [`Inertia`] struct."
    assert Inertia.__text_signature__ == "(mass, com, inertia)"
    assert Inertia.FromSphere.__doc__ == FROM_SPHERE_DOC
    assert Inertia.FromSphere.__text_signature__ == "(mass, radius)"
    assert Inertia.zeros.__doc__ == ZEROS_DOC and Inertia.zeros.__text_signature__ == "()"
    assert Inertia.lever.__doc__ == LEVER_DOC
    for name in ("mass", "com", "inertia"):
        assert not getattr(Inertia, name).__doc__
    assert str(inspect.signature(Inertia)) == "(mass, com, inertia)"


def test_constructor_keeps_the_values():
    i = body()
    assert i.mass == 3.0 and type(i.mass) is float
    assert i.com.tolist() == [0.1, -0.2, 0.3]
    assert i.inertia.tolist() == SYM.tolist()
    k = Inertia(inertia=SYM, com=np.zeros(3), mass=2)
    assert k.mass == 2.0 and k.inertia.tolist() == SYM.tolist()
    # The mass is not validated.
    for mass in (0.0, -1.0, float("inf")):
        assert body(mass=mass).mass == mass
    assert np.isnan(body(mass=float("nan")).mass)


def test_constructor_reads_any_memory_layout():
    big = np.zeros((6, 6))
    big[::2, ::2] = SYM
    long_com = np.array([0.1, 9.0, -0.2, 9.0, 0.3, 9.0])
    expected = repr(body())
    for com, inertia in [(long_com[::2], SYM), (np.array([0.1, -0.2, 0.3]), big[::2, ::2]),
                         (unaligned_copy([0.1, -0.2, 0.3]), unaligned_copy(SYM)),
                         (np.array([0.3, -0.2, 0.1])[::-1], np.asfortranarray(SYM)), (long_com[::2].copy(), SYM.T)]:
        assert repr(Inertia(3.0, com, inertia)) == expected


BAD_ARRAYS = [
    pytest.param(lambda a: a.tolist(), id="list"),
    pytest.param(lambda a: a.astype(np.int64), id="int64"),
    pytest.param(lambda a: a.astype(np.float32), id="float32"),
    pytest.param(lambda a: a.astype(">f8"), id="big-endian"),
    pytest.param(lambda a: None, id="None"),
    pytest.param(lambda a: 1.0, id="float"),
]


@pytest.mark.parametrize("bad", BAD_ARRAYS)
def test_constructor_refuses_non_float64_arrays(bad):
    with pytest.raises(TypeError, match="com"):
        Inertia(1.0, bad(np.zeros(3)), SYM)
    with pytest.raises(TypeError, match="inertia"):
        Inertia(1.0, np.zeros(3), bad(SYM))


@pytest.mark.parametrize("args, kwargs", [
    (("1", np.zeros(3), SYM), {}), ((None, np.zeros(3), SYM), {}), ((10 ** 400, np.zeros(3), SYM), {}),
    ((1.0, np.zeros(3)), {}), ((1.0, np.zeros(3), SYM, 1), {}), ((1.0, np.zeros(3), SYM), {"lever": np.zeros(3)}),
])
def test_constructor_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        Inertia(*args, **kwargs)


def test_all_arguments_are_converted_before_shapes_are_checked():
    with pytest.raises(TypeError):
        Inertia(1.0, np.zeros(4), SYM.tolist())
    with pytest.raises(TypeError):
        Inertia("heavy", np.zeros(4), np.zeros(2))


COM_MESSAGE = "Input array must be one-dimensional with length 3."
SHAPE_MESSAGE = "Input array must be of shape (3, 3)"
SYMMETRY_MESSAGE = "Input array must be symmetric"


def with_entry(i, j, value):
    m = SYM.copy()
    m[i, j] = value
    return m


@pytest.mark.parametrize("com, inertia, message", [
    (np.zeros((3, 1)), SYM, COM_MESSAGE), (np.zeros((1, 3)), SYM, COM_MESSAGE), (np.zeros(2), SYM, COM_MESSAGE),
    (np.zeros(4), SYM, COM_MESSAGE), (np.array(1.0), SYM, COM_MESSAGE),
    (np.zeros(3), np.zeros(3), SHAPE_MESSAGE), (np.zeros(3), np.zeros((2, 2)), SHAPE_MESSAGE),
    (np.zeros(3), np.zeros((3, 3, 1)), SHAPE_MESSAGE), (np.zeros(3), np.zeros(9), SHAPE_MESSAGE),
    (np.zeros(3), np.zeros((3, 4)), SHAPE_MESSAGE), (np.zeros(3), np.zeros(()), SHAPE_MESSAGE),
    (np.zeros(3), np.array([[1, 2, 0], [2.0000001, 1, 0], [0, 0, 1]]), SYMMETRY_MESSAGE),
    (np.zeros(3), with_entry(0, 2, 0.25), SYMMETRY_MESSAGE),
    (np.zeros(3), with_entry(1, 1, np.nan), SYMMETRY_MESSAGE),
    (np.zeros(3), np.where(np.eye(3) == 0, np.nan, 1.0), SYMMETRY_MESSAGE),
    (np.zeros(4), np.zeros((2, 2)), COM_MESSAGE),  # the centre of mass is checked first
])
def test_constructor_value_errors(com, inertia, message):
    with pytest.raises(ValueError) as err:
        Inertia(1.0, com, inertia)
    assert str(err.value) == message


def test_symmetric_matrices_are_accepted_exactly():
    m = np.array([[1.0, 2.0, 0.0], [2.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
    assert Inertia(1.0, np.zeros(3), m).inertia.tolist() == m.tolist()
    inf = np.full((3, 3), np.inf)
    assert np.isinf(Inertia(1.0, np.zeros(3), inf).inertia).all()
    assert Inertia(1.0, np.array([np.nan, 0.0, 0.0]), SYM).com[0] != 0.0  # com values are not checked


def test_from_sphere():
    s = Inertia.FromSphere(2.0, 0.5)
    assert s.mass == 2.0 and s.com.tolist() == [0.0, 0.0, 0.0]
    assert np.allclose(s.inertia, 0.2 * np.eye(3), rtol=0, atol=1e-16)
    assert repr(s) == ("Inertia { mass: 2.0, com: Vector3D([[0.0, 0.0, 0.0]]), "
                       "inertia: Symmetric3 { data: [0.2, 0.2, 0.2, 0.0, 0.0, 0.0] } }")
    assert Inertia.FromSphere(radius=2, mass=5).inertia.tolist() == (8.0 * np.eye(3)).tolist()
    assert np.isnan(Inertia.FromSphere(float("nan"), 1.0).mass)  # NaN is not "<= 0"


@pytest.mark.parametrize("mass, radius, name", [
    (1.0, 0.0, "x"), (1.0, -1e-300, "x"), (1.0, -0.0, "x"), (0.0, 1.0, "mass"), (-1.0, -1.0, "mass"),
    (-np.inf, 1.0, "mass"), (1.0, -np.inf, "x"),
])
def test_from_sphere_errors(mass, radius, name):
    with pytest.raises(ValueError) as err:
        Inertia.FromSphere(mass, radius)
    assert str(err.value) == f"Failed to create Inertia: InertiaError: Invalid parameter: '{name}' must be positive."


@pytest.mark.parametrize("args", [(1.0,), (1.0, "1"), (None, 1.0), (1.0, 1.0, 1.0)])
def test_from_sphere_argument_errors(args):
    with pytest.raises(TypeError):
        Inertia.FromSphere(*args)


def test_zeros():
    z = Inertia.zeros()
    assert z.mass == 0.0 and z.com.tolist() == [0.0, 0.0, 0.0] and z.inertia.tolist() == np.zeros((3, 3)).tolist()
    assert z.inertia.shape == (3, 3) and z.inertia.dtype == np.float64
    with pytest.raises(TypeError):
        Inertia.zeros(1)


def test_properties_are_read_only_copies():
    i = body()
    before = repr(i)
    assert np.array_equal(i.lever, i.com)
    for name in ("com", "lever", "inertia"):
        a = getattr(i, name)
        assert a.dtype == np.float64 and a is not getattr(i, name)
        a[...] = 42.0
    for name, value in (("mass", 1.0), ("com", np.zeros(3)), ("lever", np.zeros(3)), ("inertia", SYM)):
        with pytest.raises(AttributeError):
            setattr(i, name, value)
        with pytest.raises(AttributeError):
            delattr(i, name)
    assert repr(i) == before
    assert i.inertia.flags.c_contiguous and i.com.shape == (3,)


def test_addition():
    a = Inertia(1.0, np.array([1.0, 0.0, 0.0]), np.zeros((3, 3)))
    b = Inertia(1.0, np.array([-1.0, 0.0, 0.0]), np.zeros((3, 3)))
    ab = a + b
    assert type(ab) is Inertia and ab.mass == 2.0 and ab.com.tolist() == [0.0, 0.0, 0.0]
    assert ab.inertia.tolist() == np.diag([0.0, 2.0, 2.0]).tolist()
    assert a.com.tolist() == [1.0, 0.0, 0.0] and b.com.tolist() == [-1.0, 0.0, 0.0]
    # Parallel axes to the common centre: 2 * 1.5^2 + 6 * 0.5^2 = 6 about x and y.
    s = body(2.0, (0.0, 0.0, 1.0), np.diag([1.0, 1.0, 0.5])) + body(6.0, (0.0, 0.0, -1.0), np.diag([0.5, 0.5, 0.25]))
    assert s.mass == 8.0 and np.allclose(s.com, [0.0, 0.0, -0.5])
    assert np.allclose(s.inertia, np.diag([7.5, 7.5, 0.75]))
    # Zero plus zero stays zero (the divisor falls back to epsilon); zero is neutral.
    z = Inertia.zeros() + Inertia.zeros()
    assert z.mass == 0.0 and not z.com.any() and not z.inertia.any()
    i = body()
    for s in (i + Inertia.zeros(), Inertia.zeros() + i):
        assert s.mass == i.mass
        assert np.allclose(s.com, i.com, rtol=0, atol=1e-16) and np.allclose(s.inertia, i.inertia, rtol=0, atol=1e-15)
    total = i
    total += a
    assert total is not i and i.mass == 3.0


class RightOperand:
    def __radd__(self, other):
        return "radd"


@pytest.mark.parametrize("other", [1.0, 0, None, "a", np.zeros(3), Symmetric3.Identity()])
def test_addition_with_other_types(other):
    i = body()
    assert i.__add__(other) is NotImplemented
    with pytest.raises(TypeError):
        i + other
    with pytest.raises(TypeError):
        other + i
    assert i + RightOperand() == "radd"
    with pytest.raises(TypeError):
        i * 2.0
    with pytest.raises(TypeError):
        i - i


def test_repr_numbers_in_debug_format():
    i = Inertia(1e-5, np.array([1.0, -0.0, 2.5e16]), np.diag([1.0, 2.0, 3.0]))
    assert repr(i) == ("Inertia { mass: 1e-5, com: Vector3D([[1.0, -0.0, 2.5e16]]), "
                       "inertia: Symmetric3 { data: [1.0, 2.0, 3.0, 0.0, 0.0, 0.0] } }")
    assert str(Inertia.zeros()) == ("Inertia { mass: 0.0, com: Vector3D([[0.0, 0.0, 0.0]]), "
                                    "inertia: Symmetric3 { data: [0.0, 0.0, 0.0, 0.0, 0.0, 0.0] } }")
    j = body(2.0, (0.0, 0.0, 0.0), SYM)
    assert repr(j).endswith("inertia: Symmetric3 { data: [1.0, 2.0, 3.0, 0.1, 0.2, 0.3] } }")
