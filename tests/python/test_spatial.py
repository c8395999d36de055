"""Vector3D, Vector6D, SE3 and Symmetric3 as a Python user sees them."""
import inspect
import math

import numpy as np
import pytest

from velmora import SE3, Symmetric3, Vector3D, Vector6D

IDENTITY_REPR = ("SE3(Isometry { rotation: [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], "
                 "translation: [0.0, 0.0, 0.0] })")
QUARTER_TURN_Z = np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])


def unaligned_copy(values):
    """A copy of `values` whose data starts one byte past an aligned address."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    buf = bytearray(1) + bytearray(values.tobytes())
    out = np.frombuffer(bytes(buf), dtype=np.float64, offset=1, count=values.size).reshape(values.shape)
    assert not out.flags.aligned
    return out


def strided(values):
    """A view of `values` taking every second element of a twice-as-long array."""
    values = np.asarray(values, dtype=np.float64)
    big = np.zeros(values.size * 2)
    big[::2] = values.ravel()
    return big[::2].reshape(values.shape)


class RightOperand:
    """Records that the interpreter fell back to the reflected operation."""

    def __radd__(self, other):
        return "radd"

    def __rsub__(self, other):
        return "rsub"

    def __rmul__(self, other):
        return "rmul"


# ------------------------------------------------------------------ signatures and docs

@pytest.mark.parametrize("obj, signature", [
    (Vector3D, "(x, y, z)"), (Vector3D.zeros, "()"), (Vector3D.ones, "()"),
    (Vector3D.to_numpy, "($self)"), (Vector3D.vector, "($self)"), (Vector3D.norm, "($self)"),
    (Vector6D, "(x, y, z, w, v, u)"),
    (SE3, "(rotation, translation)"), (SE3.Identity, "()"), (SE3.Random, "()"),
    (SE3.inverse, "($self)"), (SE3.copy, "($self)"),
    (Symmetric3, "(m11, m22, m33, m12, m13, m23)"), (Symmetric3.Zero, "()"), (Symmetric3.Identity, "()"),
    (Symmetric3.matrix, "($self)"), (Symmetric3.to_numpy, "($self)"),
])
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    inspect.signature(obj)  # the interpreter can parse it


def test_class_docs_and_bare_names():
    assert SE3.__doc__ == "Python wrapper for the SE(3) group."
    assert Vector6D.__doc__ == "Python wrapper for spatial motion vectors (`Vector6D`)."
    assert not Symmetric3.__doc__ and not Vector3D.__doc__
    for cls in (SE3, Vector3D, Vector6D, Symmetric3):
        assert cls.__qualname__ == cls.__name__ and "." not in cls.__name__


@pytest.mark.parametrize("cls", [SE3, Vector3D, Vector6D, Symmetric3])
def test_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


# ----------------------------------------------------------------------------- Vector3D

def test_vector3d_values_and_repr():
    assert repr(Vector3D(1, 2, 3)) == "Vector3D(1, 2, 3)"
    assert str(Vector3D(0.1, -0.0, 1e21)) == "Vector3D(0.1, -0, 1000000000000000000000)"
    assert repr(Vector3D(x=2.5, z=-1, y=True)) == "Vector3D(2.5, 1, -1)"
    assert Vector3D(3, 4, 12).norm() == 13.0
    assert repr(Vector3D(1, 2, 3) * Vector3D(4, 5, 6)) == "Vector3D(4, 10, 18)"
    assert repr(Vector3D(1, 2, 3) - Vector3D(4, 5, 6)) == "Vector3D(-3, -3, -3)"
    assert repr(Vector3D(1, 2, 3) + Vector3D(4, 5, 6)) == "Vector3D(5, 7, 9)"
    assert repr(Vector3D.ones()) == "Vector3D(1, 1, 1)"


def test_vector3d_arrays_are_new_copies():
    v = Vector3D.zeros()
    a = v.to_numpy()
    assert a.dtype == np.float64 and a.shape == (3,)
    a[0] = 5.0
    assert v.vector().tolist() == [0.0, 0.0, 0.0]
    assert v.to_numpy() is not v.to_numpy()


@pytest.mark.parametrize("args", [(1, 2), (1, 2, 3, 4), ("1", 2, 3), (None, 2, 3), (1, 2, 10 ** 400)])
def test_vector3d_bad_arguments(args):
    with pytest.raises(TypeError):
        Vector3D(*args)


@pytest.mark.parametrize("other", [1.0, 2, "a", None, np.float64(2.0)])
def test_vector3d_operators_with_other_types(other):
    v = Vector3D(1, 2, 3)
    for op in ("__add__", "__sub__", "__mul__"):
        assert getattr(v, op)(other) is NotImplemented
    with pytest.raises(TypeError):
        v + other
    with pytest.raises(TypeError):
        v * other
    with pytest.raises(TypeError):
        other * v


def test_vector3d_operators_defer_to_the_other_operand():
    v = Vector3D(1, 2, 3)
    assert v + RightOperand() == "radd"
    assert v - RightOperand() == "rsub"
    assert v * RightOperand() == "rmul"


# ----------------------------------------------------------------------------- Vector6D

def test_vector6d_constructs_by_position_and_keyword():
    v = Vector6D(1, 2, 3, 4, 5, 6)
    assert type(v) is Vector6D
    assert repr(v).startswith("<Vector6D object at ")
    Vector6D(u=6, v=5, w=4, z=3, y=2, x=1.5)
    assert [m for m in dir(v) if not m.startswith("__")] == []


@pytest.mark.parametrize("args, kwargs", [
    ((1, 2, 3, 4, 5), {}), ((1, 2, 3, 4, 5, 6, 7), {}), ((1, 2, 3, 4, 5, "6"), {}),
    ((1, 2, 3, 4, 5), {"x": 1}), ((1, 2, 3, 4, 5, 6), {"t": 1}), ((), {}),
])
def test_vector6d_bad_arguments(args, kwargs):
    with pytest.raises(TypeError):
        Vector6D(*args, **kwargs)


def test_vector6d_has_no_operators():
    v = Vector6D(1, 2, 3, 4, 5, 6)
    with pytest.raises(TypeError):
        v + v
    with pytest.raises(TypeError):
        v * 2.0


# ---------------------------------------------------------------------------------- SE3

def test_se3_identity_from_arrays():
    m = SE3(np.eye(3), np.zeros(3))
    assert repr(m) == IDENTITY_REPR and str(m) == IDENTITY_REPR
    assert repr(SE3.Identity()) == IDENTITY_REPR
    assert repr(SE3(translation=np.zeros(3), rotation=np.eye(3))) == IDENTITY_REPR
    assert np.array_equal(SE3.Identity().homogeneous, np.eye(4))


def test_se3_repr_lists_columns_in_debug_format():
    m = SE3(QUARTER_TURN_Z, np.array([1.0, 2.5, 1e-5]))
    assert repr(m) == ("SE3(Isometry { rotation: [[0.0, 1.0, 0.0], [-1.0, 0.0, 0.0], [0.0, 0.0, 1.0]], "
                       "translation: [1.0, 2.5, 1e-5] })")


BAD_ARRAY_ARGUMENTS = {
    "list": lambda shape: np.zeros(shape).tolist(),
    "tuple": lambda shape: tuple(np.zeros(shape).ravel()),
    "int64": lambda shape: np.zeros(shape, dtype=np.int64),
    "float32": lambda shape: np.zeros(shape, dtype=np.float32),
    "complex": lambda shape: np.zeros(shape, dtype=np.complex128),
    "big-endian": lambda shape: np.zeros(shape, dtype=">f8"),
    "object": lambda shape: np.zeros(shape, dtype=object),
    "None": lambda shape: None,
    "float": lambda shape: 1.0,
}


@pytest.mark.parametrize("kind", BAD_ARRAY_ARGUMENTS)
def test_se3_constructor_refuses_non_float64_arrays(kind):
    make = BAD_ARRAY_ARGUMENTS[kind]
    with pytest.raises(TypeError):
        SE3(make((3, 3)), np.zeros(3))
    with pytest.raises(TypeError):
        SE3(np.eye(3), make(3))


@pytest.mark.parametrize("rotation, translation", [
    (np.eye(3)[0], np.zeros(3)),           # rotation with one dimension
    (np.eye(3)[None], np.zeros(3)),        # rotation with three dimensions
    (np.eye(3), np.zeros((3, 1))),         # translation with two dimensions
    (np.eye(3), np.float64(0.0)),          # a NumPy scalar is not an array
])
def test_se3_constructor_refuses_wrong_dimensions(rotation, translation):
    with pytest.raises(TypeError):
        SE3(rotation, translation)


@pytest.mark.parametrize("args, kwargs", [
    ((np.eye(3),), {}), ((), {"rotation": np.eye(3)}), ((np.eye(3), np.zeros(3), None), {}),
    ((np.eye(3), np.zeros(3)), {"scale": 1.0}), ((np.eye(3),), {"rotation": np.eye(3)}),
])
def test_se3_constructor_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        SE3(*args, **kwargs)


@pytest.mark.parametrize("rotation, translation, message", [
    (np.eye(4), np.zeros(3), "Invalid input size. Expected a rotation of shape (3,3), got [4, 4]"),
    (np.zeros((3, 4)), np.zeros(3), "Invalid input size. Expected a rotation of shape (3,3), got [3, 4]"),
    (np.zeros((0, 3)), np.zeros(3), "Invalid input size. Expected a rotation of shape (3,3), got [0, 3]"),
    (np.eye(3), np.zeros(4), "Invalid input size. Expected a translation of shape (3,), got 4."),
    (np.eye(3), np.zeros(0), "Invalid input size. Expected a translation of shape (3,), got 0."),
    # The rotation shape is checked first, then the translation length, then orthogonality.
    (np.eye(4), np.zeros(4), "Invalid input size. Expected a rotation of shape (3,3), got [4, 4]"),
    (2 * np.eye(3), np.zeros(2), "Invalid input size. Expected a translation of shape (3,), got 2."),
    (2 * np.eye(3), np.zeros(3), "The rotation matrix is not orthogonal."),
])
def test_se3_constructor_value_errors(rotation, translation, message):
    with pytest.raises(ValueError) as err:
        SE3(rotation, translation)
    assert str(err.value) == message


def test_se3_types_are_checked_before_shapes():
    with pytest.raises(TypeError):
        SE3(np.eye(4), [0.0, 0.0, 0.0])


def scaled_columns(squared_norm):
    return np.sqrt(squared_norm) * np.eye(3)


@pytest.mark.parametrize("rotation", [
    scaled_columns(1 + 5e-7), np.diag([1.0, 1.0, -1.0]), -np.eye(3), QUARTER_TURN_Z,
    np.eye(3) + np.diag([0, 0, 4e-7]),
], ids=["within-tolerance", "reflection", "point-reflection", "quarter-turn", "small-error"])
def test_se3_accepts_orthogonal_matrices(rotation):
    m = SE3(rotation, np.zeros(3))
    assert np.array_equal(m.rotation, rotation)  # stored as given, not re-orthonormalised


def with_entry(i, j, value):
    r = np.eye(3)
    r[i, j] = value
    return r


@pytest.mark.parametrize("rotation", [
    scaled_columns(1 + 2e-6), np.zeros((3, 3)), with_entry(0, 1, 1e-3), with_entry(1, 1, np.nan),
    with_entry(2, 0, np.nan), with_entry(0, 0, np.inf), with_entry(2, 2, -np.inf), with_entry(0, 2, np.inf),
    np.full((3, 3), np.nan),
])
def test_se3_refuses_non_orthogonal_matrices(rotation):
    with pytest.raises(ValueError, match=r"^The rotation matrix is not orthogonal\.$"):
        SE3(rotation, np.zeros(3))


def test_se3_reads_any_memory_layout():
    r = np.array([[0.36, 0.48, -0.8], [-0.8, 0.6, 0.0], [0.48, 0.64, 0.6]])
    t = np.array([0.5, -1.5, 2.0])
    expected = SE3(r, t).homogeneous
    layouts = [
        (np.asfortranarray(r), t),
        (r.T.copy().T, t),               # a transposed view
        (strided(r), strided(t)),        # every second element
        (unaligned_copy(r), unaligned_copy(t)),
        (np.array(r, order="F")[:, :], t[::-1][::-1]),
    ]
    big = np.zeros((6, 6))
    big[::2, ::2] = r
    layouts.append((big[::2, ::2], t))
    layouts.append((np.ascontiguousarray(r.T).T, np.ascontiguousarray(t)))
    for rotation, translation in layouts:
        assert np.array_equal(SE3(rotation, translation).homogeneous, expected)


def test_se3_arrays_have_stated_layout_and_values():
    r = QUARTER_TURN_Z
    t = np.array([1.0, 2.0, 3.0])
    m = SE3(r, t)
    for arr, shape in ((m.rotation, (3, 3)), (m.homogeneous, (4, 4))):
        assert arr.dtype == np.float64 and arr.shape == shape
        assert arr.flags.f_contiguous and not arr.flags.c_contiguous
        assert arr.flags.owndata and arr.flags.writeable
    assert np.array_equal(m.rotation, r)
    h = np.eye(4)
    h[:3, :3] = r
    h[:3, 3] = t
    assert np.array_equal(m.homogeneous, h)
    assert m.translation.flags.c_contiguous and m.translation.tolist() == [1.0, 2.0, 3.0]


def test_se3_getters_return_new_copies():
    m = SE3(QUARTER_TURN_Z, np.array([1.0, 2.0, 3.0]))
    before = repr(m)
    for name in ("rotation", "translation", "homogeneous"):
        a = getattr(m, name)
        assert a is not getattr(m, name)
        a[...] = 7.0
    assert repr(m) == before
    assert m.translation.tolist() == [1.0, 2.0, 3.0]


def test_se3_composition_and_inverse():
    a = SE3(QUARTER_TURN_Z, np.array([1.0, 0.0, 0.0]))
    b = SE3(np.diag([1.0, -1.0, -1.0]), np.array([0.0, 2.0, 0.0]))
    ab = a * b
    assert np.array_equal(ab.rotation, QUARTER_TURN_Z @ np.diag([1.0, -1.0, -1.0]))
    assert np.array_equal(ab.translation, QUARTER_TURN_Z @ [0.0, 2.0, 0.0] + [1.0, 0.0, 0.0])
    assert np.array_equal(ab.homogeneous, a.homogeneous @ b.homogeneous)
    inv = a.inverse()
    assert np.array_equal(inv.rotation, QUARTER_TURN_Z.T)
    assert np.array_equal(inv.translation, -(QUARTER_TURN_Z.T @ [1.0, 0.0, 0.0]))
    assert np.array_equal((a * inv).homogeneous, np.eye(4))
    # Operands are left as they were.
    assert np.array_equal(a.rotation, QUARTER_TURN_Z) and a.translation.tolist() == [1.0, 0.0, 0.0]


def test_se3_random_placements():
    seen = set()
    for _ in range(200):
        m = SE3.Random()
        t = m.translation
        assert np.all(t >= -1.0) and np.all(t < 1.0)
        r = m.rotation
        assert np.allclose(r.T @ r, np.eye(3), atol=1e-12)
        assert np.linalg.det(r) == pytest.approx(1.0, abs=1e-12)
        # The rotation turns by |w| <= sqrt(3) radians.
        angle = math.acos(max(-1.0, min(1.0, (np.trace(r) - 1) / 2)))
        assert angle <= math.sqrt(3) + 1e-9
        assert np.allclose((m * m.inverse()).homogeneous, np.eye(4), atol=1e-12)
        seen.add(tuple(t))
        SE3(r, t)  # passes the constructor's orthogonality test
    assert len(seen) == 200


def test_se3_copy_is_independent():
    m = SE3(QUARTER_TURN_Z, np.array([1.0, 2.0, 3.0]))
    c = m.copy()
    assert type(c) is SE3 and c is not m and repr(c) == repr(m)
    c.translation = np.array([9.0, 9.0, 9.0])
    assert m.translation.tolist() == [1.0, 2.0, 3.0]
    assert m.inverse() is not m.inverse()


def test_se3_translation_setter():
    m = SE3.Identity()
    m.translation = np.array([1.0, -2.0, 3.5])
    assert m.translation.tolist() == [1.0, -2.0, 3.5]
    m.translation = strided([4.0, 5.0, 6.0])
    assert m.translation.tolist() == [4.0, 5.0, 6.0]
    m.translation = unaligned_copy([7.0, 8.0, 9.0])
    assert m.translation.tolist() == [7.0, 8.0, 9.0]
    source = np.array([1.0, 1.0, 1.0])
    m.translation = source
    source[0] = 5.0  # the object keeps its own copy
    assert m.translation.tolist() == [1.0, 1.0, 1.0]


@pytest.mark.parametrize("value, error", [
    ([1.0, 2.0, 3.0], TypeError), (np.array([1, 2, 3]), TypeError), (np.zeros((1, 3)), TypeError),
    (np.zeros(3, dtype=">f8"), TypeError), (np.zeros(3, dtype=np.float32), TypeError), (None, TypeError),
    (np.zeros(4), ValueError), (np.zeros(2), ValueError), (np.zeros(0), ValueError),
])
def test_se3_failing_translation_setter_keeps_old_value(value, error):
    m = SE3(QUARTER_TURN_Z, np.array([1.0, 2.0, 3.0]))
    with pytest.raises(error) as err:
        m.translation = value
    if error is ValueError:
        assert str(err.value) == f"Invalid input size. Expected a translation of shape (3,), got {len(value)}."
    else:
        assert "translation" in str(err.value)
    assert m.translation.tolist() == [1.0, 2.0, 3.0]


def test_se3_properties_that_cannot_be_set_or_deleted():
    m = SE3.Identity()
    with pytest.raises(AttributeError):
        del m.translation
    for name in ("rotation", "homogeneous"):
        with pytest.raises(AttributeError):
            setattr(m, name, np.eye(3))
        with pytest.raises(AttributeError):
            delattr(m, name)
    with pytest.raises(AttributeError):
        m.scale = 2.0
    assert repr(m) == IDENTITY_REPR


@pytest.mark.parametrize("other", [2.0, 1, None, "a", np.eye(4), Vector3D(1, 2, 3)])
def test_se3_multiplication_with_other_types(other):
    m = SE3.Identity()
    assert m.__mul__(other) is NotImplemented
    with pytest.raises(TypeError):
        m * other
    with pytest.raises(TypeError):
        other * m
    assert m * RightOperand() == "rmul"
    with pytest.raises(TypeError):
        m + m


# --------------------------------------------------------------------------- Symmetric3

def test_symmetric3_matrix_and_items():
    s = Symmetric3(1, 2, 3, 4, 5, 6)
    expected = [[1, 4, 5], [4, 2, 6], [5, 6, 3]]
    for method in (s.matrix, s.to_numpy):
        a = method()
        assert a.dtype == np.float64 and a.shape == (3, 3) and a.flags.c_contiguous
        assert a.tolist() == expected
    for i in range(3):
        for j in range(3):
            assert s[i, j] == expected[i][j] and type(s[i, j]) is float
    assert s[2, 1] == 6.0 and s[1, 2] == 6.0
    assert s[True, False] == 4.0
    a = s.matrix()
    a[0, 0] = 100.0
    assert s.matrix()[0, 0] == 1.0 and s.matrix() is not s.matrix()
    s2 = Symmetric3(m23=6, m13=5, m12=4, m33=3, m22=2, m11=1)
    assert s2.matrix().tolist() == expected


def test_symmetric3_zero_and_identity():
    assert Symmetric3.Zero().matrix().tolist() == np.zeros((3, 3)).tolist()
    assert Symmetric3.Identity().matrix().tolist() == np.eye(3).tolist()


@pytest.mark.parametrize("key", ["a", 1, 1.5, (1,), (1, 2, 3), (1.0, 1), (1, "1"), [1, 1], (None, 0),
                                 (np.float64(1), 0), slice(0, 2), ()])
def test_symmetric3_item_keys_of_wrong_type(key):
    with pytest.raises(TypeError):
        Symmetric3.Identity()[key]


@pytest.mark.parametrize("key, error", [
    ((3, 0), IndexError), ((0, 3), IndexError), ((2 ** 40, 1), IndexError), ((1, 2 ** 63), IndexError),
    ((-1, 0), OverflowError), ((0, -1), OverflowError), ((2 ** 70, 0), OverflowError),
    ((0, -(2 ** 70)), OverflowError),
])
def test_symmetric3_item_indices_out_of_range(key, error):
    s = Symmetric3(1, 2, 3, 4, 5, 6)
    with pytest.raises(error) as err:
        s[key]
    if error is IndexError:
        assert str(err.value) == "Index out of bounds"
    assert s.matrix().tolist() == [[1, 4, 5], [4, 2, 6], [5, 6, 3]]


def test_symmetric3_item_assignment_is_not_supported():
    s = Symmetric3.Identity()
    with pytest.raises(TypeError):
        s[0, 0] = 2.0
    with pytest.raises(TypeError):
        iter(s)


def test_symmetric3_arithmetic():
    a = Symmetric3(1, 2, 3, 4, 5, 6)
    b = Symmetric3(0.5, 0.25, -1, 2, 0, -3)
    assert (a + b).matrix().tolist() == (a.matrix() + b.matrix()).tolist()
    assert (a - b).matrix().tolist() == (a.matrix() - b.matrix()).tolist()
    two_i = 2 * np.eye(3)
    for scaled in (2 * Symmetric3.Identity(), Symmetric3.Identity() * 2, 2.0 * Symmetric3.Identity(),
                   Symmetric3.Identity() * np.float64(2.0), True * (Symmetric3.Identity() * 2)):
        assert type(scaled) is Symmetric3 and scaled.matrix().tolist() == two_i.tolist()

    class Two:
        def __float__(self):
            return 2.0

    assert (a * Two()).matrix().tolist() == (2 * a.matrix()).tolist()
    assert (Two() * a).matrix().tolist() == (2 * a.matrix()).tolist()
    v = a * Vector3D(1, 2, 3)
    assert type(v) is Vector3D
    assert v.to_numpy().tolist() == (a.matrix() @ [1, 2, 3]).tolist()
    assert repr(Symmetric3.Identity() * Vector3D(1, 2, 3)) == "Vector3D(1, 2, 3)"
    # Operands are unchanged.
    assert a.matrix().tolist() == [[1, 4, 5], [4, 2, 6], [5, 6, 3]]


@pytest.mark.parametrize("other", ["a", None, Vector6D(1, 2, 3, 4, 5, 6), SE3.Identity(), [1.0]])
def test_symmetric3_operators_with_other_types(other):
    s = Symmetric3.Identity()
    for op in ("__add__", "__sub__", "__mul__", "__rmul__"):
        assert getattr(s, op)(other) is NotImplemented
    with pytest.raises(TypeError):
        s * other
    with pytest.raises(TypeError):
        s + other


def test_symmetric3_operator_fallbacks():
    s = Symmetric3.Identity()
    with pytest.raises(TypeError):
        Vector3D(1, 2, 3) * s  # no reflected product with a vector
    with pytest.raises(TypeError):
        s * s
    with pytest.raises(TypeError):
        s + 1.0
    with pytest.raises(TypeError):
        1.0 - s
    assert s * RightOperand() == "rmul" and s + RightOperand() == "radd" and s - RightOperand() == "rsub"
    with pytest.raises(OverflowError):
        s * 10 ** 400  # a number too large for a float keeps Python's own error


def test_symmetric3_repr():
    assert repr(Symmetric3.Identity()) == (
        "Symmetric3(\n  [1.0000, 0.0000, 0.0000],\n  [0.0000, 1.0000, 0.0000],\n  [0.0000, 0.0000, 1.0000]\n)")
    text = str(Symmetric3(0.5, -0.0, 1e-5, 0, 0, 0))
    assert text == ("Symmetric3(\n  [0.5000, 0.0000, 0.0000],\n  [0.0000, -0.0000, 0.0000],\n"
                    "  [0.0000, 0.0000, 0.0000]\n)")
    assert repr(Symmetric3(1, 2, 3, 4, 5, 6)).splitlines()[2] == "  [4.0000, 2.0000, 6.0000],"


@pytest.mark.parametrize("args", [(1, 2, 3, 4, 5), (1, 2, 3, 4, 5, 6, 7), (1, 2, 3, 4, 5, "6"),
                                  (1, 2, 3, 4, 5, None), (1, 2, 3, 4, 5, 10 ** 400)])
def test_symmetric3_bad_constructor_arguments(args):
    with pytest.raises(TypeError):
        Symmetric3(*args)
