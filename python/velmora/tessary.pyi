"""Collision and visual shapes (sizes are stored in single precision)."""

from collections.abc import Sequence
from typing import ClassVar, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh", "Shape", "ShapeType"]


@final
class Capsule:
    """A cylinder with hemispherical ends, along z."""

    def __new__(cls, radius: float, length: float) -> Capsule:
        """``length``: the length of the cylindrical part."""


@final
class Cone:
    """A cone along z."""

    def __new__(cls, radius: float, length: float) -> Cone:
        """``length``: the full length along z."""
    def radius(self) -> float:
        """Returns the radius of the cone."""
    def half_length(self) -> float:
        """Returns the half length of the cone."""


@final
class Cuboid:
    """A box centred on the origin."""

    def __new__(cls, sides: Sequence[float]) -> Cuboid:
        """``sides``: the three side lengths x, y, z (further entries are ignored)."""


@final
class Cylinder:
    """A cylinder along z."""

    def __new__(cls, radius: float, length: float) -> Cylinder:
        """``length``: the full length along z."""
    def radius(self) -> float:
        """Returns the radius of the cylinder."""
    def half_length(self) -> float:
        """Returns the half length of the cylinder."""


@final
class Sphere:
    """A sphere centred on the origin."""

    def __new__(cls, radius: float) -> Sphere: ...


@final
class PyMesh:
    """A Python wrapper for the Mesh type."""

    def __new__(cls, path: str) -> PyMesh:
        """A mesh read from a file."""
    @property
    def mesh_path(self) -> str:
        """The mesh file's path."""


@final
class ShapeType:
    """The kind of a shape."""

    Capsule: ClassVar[ShapeType]
    Cone: ClassVar[ShapeType]
    Cuboid: ClassVar[ShapeType]
    Cylinder: ClassVar[ShapeType]
    Sphere: ClassVar[ShapeType]
    Mesh: ClassVar[ShapeType]
    def __int__(self) -> int:
        """0 Capsule, 1 Cone, 2 Cuboid, 3 Cylinder, 4 Sphere, 5 Mesh."""


@final
class Shape:
    """A Python wrapper for the ShapeWrapper type.

    The shape of a geometry object (``GeometryObject.geometry``), of any kind; a property
    that does not apply to the kind raises ``ValueError``."""

    @property
    def shape_type(self) -> ShapeType:
        """The kind of shape."""
    @property
    def radius(self) -> float:
        """Radius of a sphere, cylinder, cone or capsule."""
    @property
    def half_extents(self) -> NDArray[np.float32]:
        """Half extents (x, y, z) of a cuboid, a new (3,) array in the shapes' single precision."""
    @property
    def half_length(self) -> float:
        """Half length of a cylinder, cone or capsule."""
    @property
    def mesh_path(self) -> str:
        """File path of a mesh."""
    @property
    def mesh_scale(self) -> NDArray[np.float64]:
        """The factors a mesh file's coordinates are multiplied by (x, y, z)."""
    def mesh_triangles(self) -> NDArray[np.float64]:
        """The mesh's triangles, scaled, in the mesh's own frame: shape (3 n, 3), the corners of
        triangle k in rows 3 k to 3 k + 2; ``ValueError`` when the shape is not a mesh or the
        file cannot be read."""
