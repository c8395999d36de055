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
    out = np.frombuffer(buf, dtype=np.float64, offset=1, count=values.size).reshape(values.shape)
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


# ----------------------------------------------------------------------------- Vector3D

def test_vector3d_values_repr_and_copies():
    assert repr(Vector3D(1, 2, 3)) == "Vector3D(1, 2, 3)"
    assert str(Vector3D(0.1, -0.0, 1e21)) == "Vector3D(0.1, -0, 1000000000000000000000)"
    assert repr(Vector3D(x=2.5, z=-1, y=True)) == "Vector3D(2.5, 1, -1)"
    assert Vector3D(3, 4, 12).norm() == 13.0
    assert repr(Vector3D(1, 2, 3) * Vector3D(4, 5, 6)) == "Vector3D(4, 10, 18)"
    assert repr(Vector3D(1, 2, 3) - Vector3D(4, 5, 6)) == "Vector3D(-3, -3, -3)"
    assert repr(Vector3D(1, 2, 3) + Vector3D.ones()) == "Vector3D(2, 3, 4)"
    v = Vector3D.zeros()
    a = v.to_numpy()
    assert a.dtype == np.float64 and a.shape == (3,)
    a[0] = 5.0
    assert v.vector().tolist() == [0.0, 0.0, 0.0] and v.to_numpy() is not v.to_numpy()
    for args in [(1, 2), (1, 2, 3, 4), ("1", 2, 3), (None, 2, 3), (1, 2, 10 ** 400)]:
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
        other * v
    assert v + RightOperand() == "radd" and v - RightOperand() == "rsub" and v * RightOperand() == "rmul"


# ----------------------------------------------------------------------------- Vector6D

def test_vector6d_only_constructs():
    v = Vector6D(1, 2, 3, 4, 5, 6)
    assert repr(Vector6D(u=6, v=5, w=4, z=3, y=2, x=1.5)).startswith("<Vector6D object at ")
    assert [m for m in dir(v) if not m.startswith("__")] == []
    for args, kwargs in [((1, 2, 3, 4, 5), {}), ((1, 2, 3, 4, 5, 6, 7), {}), ((1, 2, 3, 4, 5, "6"), {}),
                         ((1, 2, 3, 4, 5), {"x": 1}), ((1, 2, 3, 4, 5, 6), {"t": 1})]:
        with pytest.raises(TypeError):
            Vector6D(*args, **kwargs)
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


NOT_FLOAT64_ARRAYS = {
    "list": lambda shape: np.zeros(shape).tolist(),
    "int64": lambda shape: np.zeros(shape, dtype=np.int64),
    "float32": lambda shape: np.zeros(shape, dtype=np.float32),
    "big-endian": lambda shape: np.zeros(shape, dtype=">f8"),
    "object": lambda shape: np.zeros(shape, dtype=object),
    "None": lambda shape: None,
}


@pytest.mark.parametrize("kind", NOT_FLOAT64_ARRAYS)
def test_se3_constructor_refuses_non_float64_arrays(kind):
    make = NOT_FLOAT64_ARRAYS[kind]
    with pytest.raises(TypeError, match="rotation"):
        SE3(make((3, 3)), np.zeros(3))
    with pytest.raises(TypeError, match="translation"):
        SE3(np.eye(3), make(3))


@pytest.mark.parametrize("args, kwargs", [
    ((np.eye(3)[0], np.zeros(3)), {}), ((np.eye(3)[None], np.zeros(3)), {}),      # rotation not 2-D
    ((np.eye(3), np.zeros((3, 1))), {}), ((np.eye(3), np.float64(0.0)), {}),      # translation not 1-D
    ((np.eye(4), [0.0, 0.0, 0.0]), {}),                # types are checked before shapes
    ((np.eye(3),), {}), ((np.eye(3), np.zeros(3), None), {}), ((np.eye(3), np.zeros(3)), {"scale": 1.0}),
    ((np.eye(3),), {"rotation": np.eye(3)}),
])
def test_se3_constructor_type_errors(args, kwargs):
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


def rotation_with(i, j, value, scale=1.0):
    r = scale * np.eye(3)
    r[i, j] = value
    return r


@pytest.mark.parametrize("rotation, accepted", [
    (np.sqrt(1 + 5e-7) * np.eye(3), True), (np.sqrt(1 + 2e-6) * np.eye(3), False),
    (np.diag([1.0, 1.0, -1.0]), True), (-np.eye(3), True), (QUARTER_TURN_Z, True),
    (rotation_with(2, 2, 1 + 4e-7), True), (rotation_with(0, 1, 1e-3), False), (np.zeros((3, 3)), False),
    (rotation_with(1, 1, np.nan), False), (rotation_with(2, 0, np.nan), False), (np.full((3, 3), np.nan), False),
    (rotation_with(0, 0, np.inf), False), (rotation_with(2, 2, -np.inf), False), (rotation_with(0, 2, np.inf), False),
])
def test_se3_orthogonality_test(rotation, accepted):
    if accepted:
        # Stored as given, not re-orthonormalised; reflections pass.
        assert np.array_equal(SE3(rotation, np.zeros(3)).rotation, rotation)
    else:
        with pytest.raises(ValueError, match=r"^The rotation matrix is not orthogonal\.$"):
            SE3(rotation, np.zeros(3))


def test_se3_reads_any_memory_layout():
    r = np.array([[0.36, 0.48, -0.8], [-0.8, 0.6, 0.0], [0.48, 0.64, 0.6]])
    t = np.array([0.5, -1.5, 2.0])
    expected = SE3(r, t).homogeneous
    big = np.zeros((6, 6))
    big[::2, ::2] = r
    for rotation, translation in [(np.asfortranarray(r), t), (r.T.copy().T, t[::-1].copy()[::-1]),
                                  (strided(r), strided(t)), (big[::2, ::2], t),
                                  (unaligned_copy(r), unaligned_copy(t))]:
        assert np.array_equal(SE3(rotation, translation).homogeneous, expected)


def test_se3_arrays_are_new_copies_with_stated_layout():
    t = np.array([1.0, 2.0, 3.0])
    m = SE3(QUARTER_TURN_Z, t)
    for arr, shape in ((m.rotation, (3, 3)), (m.homogeneous, (4, 4))):
        assert arr.dtype == np.float64 and arr.shape == shape
        assert arr.flags.f_contiguous and not arr.flags.c_contiguous and arr.flags.owndata
    assert m.translation.flags.c_contiguous
    h = np.eye(4)
    h[:3, :3] = QUARTER_TURN_Z
    h[:3, 3] = t
    assert np.array_equal(m.rotation, QUARTER_TURN_Z) and np.array_equal(m.homogeneous, h)
    before = repr(m)
    for name in ("rotation", "translation", "homogeneous"):
        a = getattr(m, name)
        assert a is not getattr(m, name)
        a[...] = 7.0
    assert repr(m) == before and m.translation.tolist() == [1.0, 2.0, 3.0]


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
    assert np.array_equal(a.rotation, QUARTER_TURN_Z) and a.translation.tolist() == [1.0, 0.0, 0.0]


def test_se3_random_placements():
    seen = set()
    for _ in range(200):
        m = SE3.Random()
        t, r = m.translation, m.rotation
        assert np.all(t >= -1.0) and np.all(t < 1.0)
        assert np.allclose(r.T @ r, np.eye(3), atol=1e-12) and np.linalg.det(r) == pytest.approx(1.0)
        # The rotation turns by |w| <= sqrt(3) radians.
        assert math.acos(max(-1.0, min(1.0, (np.trace(r) - 1) / 2))) <= math.sqrt(3) + 1e-9
        assert np.allclose((m * m.inverse()).homogeneous, np.eye(4), atol=1e-12)
        seen.add(tuple(t))
    assert len(seen) == 200


def test_se3_copy_and_translation_setter():
    m = SE3(QUARTER_TURN_Z, np.array([1.0, 2.0, 3.0]))
    c = m.copy()
    assert type(c) is SE3 and c is not m and repr(c) == repr(m)
    for value in (np.array([1.0, -2.0, 3.5]), strided([4.0, 5.0, 6.0]), unaligned_copy([7.0, 8.0, 9.0])):
        c.translation = value
        assert c.translation.tolist() == value.tolist()
        value[...] = 0.0  # the object keeps its own copy
        assert c.translation.tolist() != [0.0, 0.0, 0.0]
    assert m.translation.tolist() == [1.0, 2.0, 3.0]


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


# --------------------------------------------------------------------------- Symmetric3

def test_symmetric3_construction_matrix_and_items():
    s = Symmetric3(1, 2, 3, 4, 5, 6)
    expected = [[1, 4, 5], [4, 2, 6], [5, 6, 3]]
    for a in (s.matrix(), s.to_numpy(), Symmetric3(m23=6, m13=5, m12=4, m33=3, m22=2, m11=1).matrix()):
        assert a.dtype == np.float64 and a.shape == (3, 3) and a.flags.c_contiguous and a.tolist() == expected
    assert [[s[i, j] for j in range(3)] for i in range(3)] == expected and type(s[2, 1]) is float
    assert s[True, False] == 4.0
    a = s.matrix()
    a[0, 0] = 100.0
    assert s.matrix()[0, 0] == 1.0 and s.matrix() is not s.matrix()
    assert Symmetric3.Zero().matrix().tolist() == np.zeros((3, 3)).tolist()
    assert Symmetric3.Identity().matrix().tolist() == np.eye(3).tolist()
    for args in [(1, 2, 3, 4, 5), (1, 2, 3, 4, 5, 6, 7), (1, 2, 3, 4, 5, "6"), (1, 2, 3, 4, 5, 10 ** 400)]:
        with pytest.raises(TypeError):
            Symmetric3(*args)


@pytest.mark.parametrize("key, error", [
    ("a", TypeError), (1, TypeError), ((1,), TypeError), ((1, 2, 3), TypeError), ((1.0, 1), TypeError),
    ((1, "1"), TypeError), ([1, 1], TypeError), ((None, 0), TypeError), (slice(0, 2), TypeError),
    ((3, 0), IndexError), ((0, 3), IndexError), ((2 ** 40, 1), IndexError), ((1, 2 ** 63), IndexError),
    ((-1, 0), OverflowError), ((0, -1), OverflowError), ((2 ** 70, 0), OverflowError),
])
def test_symmetric3_bad_item_keys(key, error):
    s = Symmetric3(1, 2, 3, 4, 5, 6)
    with pytest.raises(error) as err:
        s[key]
    if error is IndexError:
        assert str(err.value) == "Index out of bounds"
    assert s.matrix().tolist() == [[1, 4, 5], [4, 2, 6], [5, 6, 3]]
    with pytest.raises(TypeError):
        s[0, 0] = 2.0


def test_symmetric3_arithmetic():
    a = Symmetric3(1, 2, 3, 4, 5, 6)
    b = Symmetric3(0.5, 0.25, -1, 2, 0, -3)
    assert (a + b).matrix().tolist() == (a.matrix() + b.matrix()).tolist()
    assert (a - b).matrix().tolist() == (a.matrix() - b.matrix()).tolist()

    class Two:
        def __float__(self):
            return 2.0

    for scaled in (2 * a, a * 2, 2.0 * a, a * np.float64(2.0), a * Two(), Two() * a):
        assert type(scaled) is Symmetric3 and scaled.matrix().tolist() == (2 * a.matrix()).tolist()
    v = a * Vector3D(1, 2, 3)
    assert type(v) is Vector3D and v.to_numpy().tolist() == (a.matrix() @ [1, 2, 3]).tolist()
    assert repr(Symmetric3.Identity() * Vector3D(1, 2, 3)) == "Vector3D(1, 2, 3)"
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
    for expression in (lambda: Vector3D(1, 2, 3) * s, lambda: s * s, lambda: s + 1.0, lambda: 1.0 - s):
        with pytest.raises(TypeError):
            expression()
    assert s * RightOperand() == "rmul" and s + RightOperand() == "radd" and s - RightOperand() == "rsub"
    with pytest.raises(OverflowError):
        s * 10 ** 400  # a number too large for a float keeps Python's own error


def test_symmetric3_repr():
    assert repr(Symmetric3.Identity()) == (
        "Symmetric3(\n  [1.0000, 0.0000, 0.0000],\n  [0.0000, 1.0000, 0.0000],\n  [0.0000, 0.0000, 1.0000]\n)")
    assert str(Symmetric3(0.5, -0.0, 1e-5, 0, 0, 0)) == (
        "Symmetric3(\n  [0.5000, 0.0000, 0.0000],\n  [0.0000, -0.0000, 0.0000],\n  [0.0000, 0.0000, 0.0000]\n)")
    assert repr(Symmetric3(1, 2, 3, 4, 5, 6)).splitlines()[2] == "  [4.0000, 2.0000, 6.0000],"
