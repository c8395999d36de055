"""Kinematics and dynamics of articulated rigid-body robots, with a C++ core.

Vectors and matrices are exchanged as NumPy float64 arrays: inputs must already be
float64 ``ndarray`` objects (lists and other dtypes raise ``TypeError``), results are new
arrays owned by the caller. Getters return copies; a model changes only through its own
methods and setters.
"""

from collections.abc import Sequence
from typing import ClassVar, final, overload

import numpy as np
from numpy.typing import NDArray

from velmora import tessary as tessary

__version__: str
"""The package version."""

__all__ = [
    "Configuration", "Model", "Data", "Frame", "FrameType", "JointModel", "GeometryModel",
    "GeometryData", "GeometryObject", "neutral", "random_configuration", "build_models_from_urdf",
    "WORLD_ID", "STANDARD_GRAVITY", "Inertia", "JointType", "JointModelRX", "JointModelRY",
    "JointModelRZ", "SE3", "SE3", "Vector3D", "Vector6D", "Symmetric3", "forward_kinematics",
    "forward_dynamics", "aba", "inverse_dynamics", "rnea", "Representation", "update_frame_placements",
    "frame_placement", "joint_jacobian", "frame_jacobian", "frame_velocity", "frame_acceleration",
    "frame_jacobian_time_derivative", "total_mass", "center_of_mass", "center_of_mass_jacobian",
    "kinetic_energy", "potential_energy", "mass_matrix", "bias_forces", "gravity_torques",
    "coriolis_matrix", "inverse_mass_matrix", "centroidal_momentum", "centroidal_momentum_matrix",
    "mass_matrix_factor", "MassMatrixFactor", "build_model_from_urdf", "compute_collisions",
    "compute_distances", "compute_distance", "DistanceResult", "update_geometry_placements", "JointModelPX", "JointModelPY",
    "JointModelPZ", "JointModelRevolute", "JointModelPrismatic", "JointModelContinuous", "JointModelSpherical",
    "JointModelFreeFlyer", "JointModelPlanar", "integrate", "difference", "interpolate", "normalize", "tessary",
    "forward_kinematics_batch", "rnea_batch", "aba_batch", "mass_matrix_batch", "frame_jacobian_batch",
    "rnea_derivatives", "aba_derivatives", "rnea_derivatives_batch", "aba_derivatives_batch",
]

WORLD_ID: int
"""Identifier of the universe joint, 0: the parent of a robot's root joints."""

STANDARD_GRAVITY: NDArray[np.float64]
"""The default gravity of a new model, (0, 0, -9.81) m/s^2, as a new array of shape (3,).

Changing its elements changes nothing else."""

# Spatial algebra


@final
class Vector3D:
    """A 3-vector of float64: positions, translations, axes."""

    def __new__(cls, x: float, y: float, z: float) -> Vector3D: ...
    @staticmethod
    def zeros() -> Vector3D:
        """The vector (0, 0, 0)."""
    @staticmethod
    def ones() -> Vector3D:
        """The vector (1, 1, 1)."""
    def to_numpy(self) -> NDArray[np.float64]:
        """A new array of shape (3,): [x, y, z]."""
    def vector(self) -> NDArray[np.float64]:
        """The same as :meth:`to_numpy`."""
    def norm(self) -> float:
        """The Euclidean length."""
    def __add__(self, value: Vector3D, /) -> Vector3D:
        """Component-wise sum."""
    def __sub__(self, value: Vector3D, /) -> Vector3D:
        """Component-wise difference."""
    def __mul__(self, value: Vector3D, /) -> Vector3D:
        """Component-wise product (a scalar factor is refused)."""


@final
class Vector6D:
    """Python wrapper for spatial motion vectors (`Vector6D`).

    Holds six floats, elements 0 to 5 in the order of the constructor's arguments; it has
    no methods and no function takes it as an argument."""

    def __new__(cls, x: float, y: float, z: float, w: float, v: float, u: float) -> Vector6D: ...


@final
class SE3:
    """Python wrapper for the SE(3) group.

    A rigid placement: rotation R and translation t, mapping a point p of the child frame
    to R p + t in the parent frame."""

    def __new__(cls, rotation: NDArray[np.float64], translation: NDArray[np.float64]) -> SE3:
        """From a (3, 3) rotation and a (3,) translation.

        Raises ``ValueError`` for other shapes or when the rotation is not orthogonal
        (to 1e-6); a reflection is accepted. Nothing is re-normalised."""
    @staticmethod
    def Identity() -> SE3:
        """The identity placement."""
    @staticmethod
    def Random() -> SE3:
        """A random placement: translation uniform in [-1, 1)^3, rotation by a random rotation
        vector drawn uniformly from [-1, 1)^3 (not uniform over rotations)."""
    def inverse(self) -> SE3:
        """The inverse placement, (R^T, -R^T t)."""
    def copy(self) -> SE3:
        """A new placement with the same value."""
    @property
    def rotation(self) -> NDArray[np.float64]:
        """The rotation matrix, a new (3, 3) array."""
    @property
    def translation(self) -> NDArray[np.float64]:
        """The translation, a new (3,) array; set it with a float64 array of length 3."""
    @translation.setter
    def translation(self, value: NDArray[np.float64]) -> None: ...
    @property
    def homogeneous(self) -> NDArray[np.float64]:
        """The 4x4 homogeneous matrix [[R, t], [0, 0, 0, 1]], a new array."""
    def __mul__(self, value: SE3, /) -> SE3:
        """Composition: ``a * b`` applies b first, then a."""


@final
class Symmetric3:
    """A symmetric 3x3 matrix, stored by its six independent entries."""

    def __new__(cls, m11: float, m22: float, m33: float, m12: float, m13: float, m23: float) -> Symmetric3: ...
    @staticmethod
    def Zero() -> Symmetric3:
        """The zero matrix."""
    @staticmethod
    def Identity() -> Symmetric3:
        """The identity matrix."""
    def matrix(self) -> NDArray[np.float64]:
        """The full matrix, a new (3, 3) array."""
    def to_numpy(self) -> NDArray[np.float64]:
        """The same as :meth:`matrix`."""
    def __getitem__(self, key: tuple[int, int], /) -> float:
        """Entry [i, j] of the full matrix."""
    def __add__(self, value: Symmetric3, /) -> Symmetric3:
        """Entry-wise sum."""
    def __sub__(self, value: Symmetric3, /) -> Symmetric3:
        """Entry-wise difference."""
    @overload
    def __mul__(self, value: float, /) -> Symmetric3:
        """Every entry times a scalar."""
    @overload
    def __mul__(self, value: Vector3D, /) -> Vector3D:
        """The matrix-vector product."""
    def __rmul__(self, value: float, /) -> Symmetric3:
        """Every entry times a scalar."""


# Configurations, inertia, joints


@final
class Configuration:
    """Python wrapper for the `Configuration` struct.

    A vector of float64 returned by the algorithms (configurations, velocities, efforts,
    accelerations); :meth:`to_numpy` gives it as an array."""

    def to_numpy(self) -> NDArray[np.float64]:
        """The values, a new array of shape (n,)."""
    def __add__(self, value: Configuration, /) -> Configuration:
        """Element-wise sum."""
    def __mul__(self, value: float, /) -> Configuration:
        """Every element times a scalar."""


@final
class Inertia:
    """A Python wrapper for the [`Inertia`] struct.

    Mass, centre of mass and rotational inertia about the centre of mass, in the axes of
    the body's frame."""

    def __new__(cls, mass: float, com: NDArray[np.float64], inertia: NDArray[np.float64]) -> Inertia:
        """From a mass, a (3,) centre of mass and a symmetric (3, 3) matrix (checked exactly)."""
    @staticmethod
    def FromSphere(mass: float, radius: float) -> Inertia:
        """A solid sphere centred on the origin; ``ValueError`` unless both are positive."""
    @staticmethod
    def zeros() -> Inertia:
        """Zero mass, zero centre of mass and zero matrix."""
    @property
    def mass(self) -> float:
        """The mass."""
    @property
    def com(self) -> NDArray[np.float64]:
        """The centre of mass, a new (3,) array."""
    @property
    def lever(self) -> NDArray[np.float64]:
        """Returns the lever (center of mass) of the inertia.

        This is an alias for the `com` property."""
    @property
    def inertia(self) -> NDArray[np.float64]:
        """The rotational inertia about the centre of mass, a new (3, 3) array."""
    def __add__(self, value: Inertia, /) -> Inertia:
        """The inertia of both bodies rigidly joined (both given in the same frame)."""


@final
class JointType:
    """Enum representing the type of joint."""

    Continuous: ClassVar[JointType]
    """Unbounded revolute joint: two entries in q, (cos, sin), one in v."""
    Fixed: ClassVar[JointType]
    """No motion."""
    Prismatic: ClassVar[JointType]
    """Translation along the axis."""
    Revolute: ClassVar[JointType]
    """Rotation about the axis, within limits."""
    FreeFlyer: ClassVar[JointType]
    """Any rigid motion: q (x, y, z, qw, qx, qy, qz), v (angular; linear) in the child frame."""
    Planar: ClassVar[JointType]
    """Motion in the parent's x-y plane: q (x, y, cos, sin), v (wz, vx, vy) in the child frame."""
    Spherical: ClassVar[JointType]
    """Any rotation: q a quaternion (qw, qx, qy, qz), v the angular velocity in the child frame."""
    def __int__(self) -> int:
        """0 Continuous, 1 Fixed, 2 Prismatic, 3 Revolute, 4 FreeFlyer, 5 Planar, 6 Spherical."""


@final
class JointModel:
    """A Python wrapper for the `JointWrapper` type.

    The static description of one joint; made by :func:`JointModelRX` and its siblings or
    read from :attr:`Model.joint_models`."""

    @property
    def joint_type(self) -> JointType:
        """The kind of joint."""
    @property
    def nq(self) -> int:
        """Number of configuration entries."""
    @property
    def nv(self) -> int:
        """Number of velocity entries (degrees of freedom)."""
    @property
    def lower_limit(self) -> NDArray[np.float64]:
        """Lower position limits, one per configuration entry (nq); empty for the fixed joint."""
    @lower_limit.setter
    def lower_limit(self, value: NDArray[np.float64]) -> None:
        """Sets them from a float64 array of length nq; free-flyer and planar translations default to -1 m."""
    @property
    def upper_limit(self) -> NDArray[np.float64]:
        """Upper position limits, one per configuration entry (nq); empty for the fixed joint."""
    @upper_limit.setter
    def upper_limit(self, value: NDArray[np.float64]) -> None:
        """Sets them from a float64 array of length nq; free-flyer and planar translations default to 1 m."""


def JointModelRX() -> JointModel:
    """Creates a new revolute joint model with `x` as axis of rotation."""

def JointModelRY() -> JointModel:
    """Creates a new revolute joint model with `y` as axis of rotation."""

def JointModelRZ() -> JointModel:
    """Creates a new revolute joint model with `z` as axis of rotation."""

def JointModelPX() -> JointModel:
    """Creates a new prismatic joint model with `x` as axis of translation."""

def JointModelPY() -> JointModel:
    """Creates a new prismatic joint model with `y` as axis of translation."""

def JointModelPZ() -> JointModel:
    """Creates a new prismatic joint model with `z` as axis of translation."""

def JointModelRevolute(axis: Vector3D | NDArray[np.float64]) -> JointModel:
    """A revolute joint turning about `axis` (finite, non-zero; its direction is used). ValueError otherwise."""

def JointModelPrismatic(axis: Vector3D | NDArray[np.float64]) -> JointModel:
    """A prismatic joint sliding by `axis` * q (finite, non-zero). ValueError otherwise."""

def JointModelContinuous(axis: Vector3D | NDArray[np.float64]) -> JointModel:
    """An unbounded revolute joint about `axis`: q (cos, sin), one velocity."""

def JointModelSpherical() -> JointModel:
    """A ball joint: q a quaternion (qw, qx, qy, qz), v the angular velocity in the child frame."""

def JointModelFreeFlyer() -> JointModel:
    """Any rigid motion: q (x, y, z, qw, qx, qy, qz), v (wx, wy, wz, vx, vy, vz) in the child frame."""

def JointModelPlanar() -> JointModel:
    """Motion in the parent's x-y plane: q (x, y, cos, sin), v (wz, vx, vy) in the child frame."""


# Model, frames, data


@final
class FrameType:
    """The kind of a frame."""

    Operational: ClassVar[FrameType]
    """A frame of interest, such as a tool centre point."""
    Joint: ClassVar[FrameType]
    """The frame of a joint."""
    Fixed: ClassVar[FrameType]
    """The frame of a fixed joint, merged into its parent body."""
    Body: ClassVar[FrameType]
    """The frame of a body (a URDF link)."""
    Sensor: ClassVar[FrameType]
    """The frame of a sensor."""
    def __int__(self) -> int:
        """0 Operational, 1 Joint, 2 Fixed, 3 Body, 4 Sensor."""


@final
class Frame:
    """A named placement attached to a joint, optionally carrying an inertia."""

    def __new__(cls, name: str, parent_joint: int, parent_frame: int, placement: SE3, frame_type: FrameType,
                inertia: Inertia) -> Frame:
        """``placement`` is relative to the parent joint's frame; all arguments are copied."""
    @property
    def name(self) -> str:
        """The frame's name."""
    @property
    def parent_joint(self) -> int:
        """Identifier of the joint the frame is attached to."""
    @property
    def parent_frame(self) -> int:
        """Identifier of the frame it hangs from."""
    @property
    def frame_type(self) -> FrameType:
        """The kind of frame."""
    @property
    def placement(self) -> SE3:
        """Placement relative to the parent joint's frame (a copy)."""
    @property
    def inertia(self) -> Inertia:
        """The inertia the frame carries (a copy)."""


@final
class Model:
    """A [`Model`] is a data structure that contains the information about the robot model,
    including the joints models, placements, the link inertias, and the frames."""

    def __new__(cls) -> Model:
        """An empty model: the universe joint 0 only, standard gravity."""
    def add_joint(self, parent_id: int, joint_model: JointModel, placement: SE3, name: str) -> int:
        """Adds a joint to the model.

        ``placement`` is the joint's placement in its parent joint's frame. Returns the new
        joint's identifier; ``ValueError`` for an unknown parent or a name already used."""
    def get_joint_id(self, name: str) -> int | None:
        """Identifier of the joint with that name, or None."""
    def create_data(self) -> Data:
        """A new work space for the algorithms on this model."""
    def add_frame(self, frame: Frame, append_inertia: bool) -> int:
        """Adds a frame; with ``append_inertia`` its inertia is folded into its parent joint's body.

        Returns the frame's identifier; ``ValueError`` for an unknown parent joint."""
    @property
    def name(self) -> str:
        """The model's name (writable)."""
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def nq(self) -> int:
        """Size of a configuration vector q."""
    @property
    def nv(self) -> int:
        """Size of velocity, acceleration and effort vectors (degrees of freedom)."""
    @property
    def njoints(self) -> int:
        """Number of joints, the universe joint 0 included."""
    @property
    def nframes(self) -> int:
        """Number of frames."""
    @property
    def gravity(self) -> NDArray[np.float64]:
        """The gravity acceleration, a new (3,) array."""
    @gravity.setter
    def gravity(self, value: Vector3D | NDArray[np.float64]) -> None:
        """Sets the gravity every algorithm uses: a Vector3D or a float64 array of shape (3,)."""
    @property
    def joint_names(self) -> list[str]:
        """The joints' names, in joint order."""
    @property
    def joint_parents(self) -> list[int]:
        """The parent joint of each joint."""
    @property
    def joint_placements(self) -> list[SE3]:
        """Each joint's placement in its parent joint's frame (copies)."""
    @property
    def joint_models(self) -> list[JointModel]:
        """Each joint's model (copies)."""
    @property
    def inertias(self) -> list[Inertia]:
        """The inertia of the body each joint carries, in that joint's frame (copies)."""
    @property
    def frames(self) -> list[Frame]:
        """The model's frames (copies)."""


@final
class Data:
    """A Python wrapper for the `Data` struct.

    The work space of the algorithms for one model; holds the results of the last forward
    kinematics call."""

    def __new__(cls, model: Model) -> Data:
        """The same as ``model.create_data()``."""
    @property
    def joint_placements(self) -> list[SE3]:
        """Returns the placements of the joints in the world frame."""
    @property
    def oMi(self) -> list[SE3]:
        """Returns the placements of the joints in the world frame.

        This is an alias for `joint_placements`."""
    @property
    def oMf(self) -> list[SE3]:
        """World placements of the frames, from :func:`update_frame_placements`."""
    @property
    def v(self) -> NDArray[np.float64]:
        """(njoints, 6): each joint's spatial velocity in its own frame, from forward kinematics with v."""
    @property
    def a(self) -> NDArray[np.float64]:
        """(njoints, 6): each joint's spatial acceleration in its own frame, from forward kinematics with a."""


def neutral(model: Model) -> Configuration:
    """Python wrapper for the `neutral` function.

    The neutral configuration (zero angles; (1, 0) for continuous joints), of length nq."""

def random_configuration(model: Model) -> Configuration:
    """A random configuration within the joints' limits, of length nq."""


# Algorithms


def forward_kinematics(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64] | None = None,
                       a: NDArray[np.float64] | None = None) -> None:
    """World placements of all joints for configuration q, stored in ``data.oMi``; with v
    (and a) also each joint's velocity (and acceleration) in its own frame, in ``data.v``
    (and ``data.a``).

    ``ValueError`` unless ``len(q) == model.nq`` (and v, a of length ``model.nv``)."""

def inverse_dynamics(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64],
                     a: NDArray[np.float64]) -> Configuration:
    """Joint efforts tau = M(q) a + C(q, v) v + g(q) (recursive Newton-Euler)."""

def rnea(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64],
         a: NDArray[np.float64]) -> Configuration:
    """The same as :func:`inverse_dynamics`."""

def forward_dynamics(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64],
                     tau: NDArray[np.float64]) -> Configuration:
    """Joint accelerations produced by efforts tau (articulated-body algorithm)."""

def aba(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64],
        tau: NDArray[np.float64]) -> Configuration:
    """The same as :func:`forward_dynamics`."""

def rnea_derivatives(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64],
                     a: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """(dtau_dq, dtau_dv, M), each (nv, nv): the partial derivatives of inverse dynamics, by q
    along the tangent space (a continuous joint by its angle), and the mass matrix dtau/da."""

def aba_derivatives(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64],
                    tau: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """(dddq_dq, dddq_dv, Minv), each (nv, nv): the partial derivatives of forward dynamics, and
    the inverse mass matrix dddq/dtau. ``ValueError`` where the mass matrix is singular."""


# Geometry

_Primitive = tessary.Capsule | tessary.Cone | tessary.Cuboid | tessary.Cylinder | tessary.Sphere


@final
class GeometryObject:
    """A Python wrapper for the `GeometryObject` struct.

    A named shape attached to a joint, with its placement in that joint's frame."""

    def __new__(cls, name: str, parent_joint: int, parent_frame: int, geometry: _Primitive, placement: SE3,
                /) -> GeometryObject:
        """All five arguments by position; ``geometry`` and ``placement`` are copied."""
    @property
    def name(self) -> str:
        """The object's name."""
    @property
    def geometry(self) -> tessary.Shape:
        """The shape (a copy)."""
    @property
    def placement(self) -> SE3:
        """Placement in the parent joint's frame (a copy)."""
    @property
    def parent_joint(self) -> int:
        """Identifier of the joint the object moves with."""
    @property
    def parent_frame(self) -> int:
        """Identifier of the frame the object belongs to."""
    @property
    def disable_collision(self) -> bool:
        """Whether collision checks skip this object."""
    @property
    def mesh_color(self) -> NDArray[np.float64]:
        """Display colour (r, g, b, a), a new (4,) array; set it with a float64 array of length 4."""
    @mesh_color.setter
    def mesh_color(self, value: NDArray[np.float64]) -> None: ...


@final
class GeometryModel:
    """A Python wrapper for the [`GeometryModel`] struct.

    A list of geometry objects (collision or visual)."""

    def __new__(cls) -> GeometryModel: ...
    def add_geometry_object(self, object: GeometryObject) -> int:
        """Adds a new geometry model to the list of models; returns its index."""
    def load_meshes(self, convex: bool = False) -> None:
        """Reads every mesh file now (otherwise the first collision or distance query does), as
        triangle sets or, with ``convex``, as their convex hulls; ``ValueError`` naming the file
        and the object when one cannot be read."""
    def add_all_collision_pairs(self, model: Model | None = None) -> None:
        """Adds every pair of objects on different joints, except pairs whose joints are parent
        and child and objects with ``disable_collision``."""
    def add_collision_pair(self, i: int, j: int) -> None:
        """Adds the pair of objects i and j (in either order)."""
    def remove_collision_pair(self, i: int, j: int) -> None:
        """Removes the pair of objects i and j; ``ValueError`` when it is not listed."""
    def remove_collision_pairs_from_srdf(self, path: str, model: Model | None = None) -> int:
        """Removes the pairs of each ``<disable_collisions link1 link2>`` entry of an SRDF file;
        returns how many were removed (unknown link names: one ``UserWarning``)."""
    @property
    def collision_pairs(self) -> list[tuple[int, int]]:
        """The collision pairs, a list of (i, j) with i < j."""
    def get_geometry_id(self, name: str) -> int | None:
        """Returns the ID of the geometry object with the given name, if it exists."""
    def create_data(self, data: Data) -> GeometryData:
        """Creates a new `GeometryData` object based on the provided model and data."""
    @property
    def geometry_objects(self) -> list[GeometryObject]:
        """Returns the list of geometry objects in the model."""
    @property
    def ngeoms(self) -> int:
        """Number of geometry objects."""


@final
class GeometryData:
    """A Python wrapper for the `GeometryData` struct.

    World placements of a geometry model's objects for the joint placements of a ``Data``."""

    def __new__(cls, data: Data, geom_model: GeometryModel) -> GeometryData: ...
    def get_object_placement(self, object_index: int) -> SE3:
        """Returns the placement of the object of given index in the world frame (``KeyError`` past the end)."""
    def update_geometry_data(self, data: Data, geom_model: GeometryModel) -> None:
        """Updates the geometry data using the updated model data and geometry model."""


def build_models_from_urdf(filepath: str, package_dir: str | None = None,
                           root_joint: JointModel | None = None) -> tuple[Model, GeometryModel, GeometryModel]:
    """A Python wrapper for the `build_models_from_urdf` function.

    Loads a URDF file; returns the model, the collision model and the visual model.
    Relative mesh file names are resolved against ``package_dir``. With ``root_joint``
    (e.g. ``JointModelFreeFlyer()``) the root link hangs from a copy of that joint, named
    "root_joint", attached to the world. ``ValueError`` with the reason for a file that
    cannot be read or is refused."""


def build_model_from_urdf(filepath: str, root_joint: JointModel | None = None) -> Model:
    """The kinematic model of a URDF file alone: the same model as :func:`build_models_from_urdf`,
    without reading geometry elements or looking up mesh files."""


# Frames, velocities, Jacobians, centre of mass


@final
class Representation:
    """The coordinates of a frame's velocity, acceleration or Jacobian (rows: angular 0..2, linear 3..5)."""

    WORLD: ClassVar[Representation]
    """The velocity of the body point passing through the world origin, in world coordinates."""
    BODY: ClassVar[Representation]
    """Angular velocity and origin velocity in the frame's own coordinates."""
    MIXED: ClassVar[Representation]
    """Angular velocity and origin velocity in world-aligned axes."""
    def __int__(self) -> int:
        """0 WORLD, 1 BODY, 2 MIXED."""


def update_frame_placements(model: Model, data: Data) -> None:
    """Fills ``data.oMf`` with the world placement of every frame, from the last forward kinematics."""

def frame_placement(model: Model, data: Data, frame_id: int) -> SE3:
    """The world placement of one frame, from the joint placements of the last forward kinematics."""

def joint_jacobian(model: Model, data: Data, q: NDArray[np.float64], joint_id: int,
                   rep: Representation | None = None, out: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """The (6, nv) Jacobian of a joint's frame at q, in representation rep (None: BODY); written into out when given."""

def frame_jacobian(model: Model, data: Data, q: NDArray[np.float64], frame_id: int,
                   rep: Representation | None = None, out: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """The (6, nv) Jacobian of a frame at q, in representation rep (None: BODY); written into out when given."""

def frame_velocity(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64], frame_id: int,
                   rep: Representation | None = None) -> NDArray[np.float64]:
    """The frame's velocity J v, (6,), in representation rep (None: BODY)."""

def frame_acceleration(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64], a: NDArray[np.float64],
                       frame_id: int, rep: Representation | None = None) -> NDArray[np.float64]:
    """The time derivative of :func:`frame_velocity` in the same representation, (6,)."""

def frame_jacobian_time_derivative(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64],
                                   frame_id: int, rep: Representation | None = None) -> NDArray[np.float64]:
    """The (6, nv) time derivative of the frame Jacobian along v: d/dt (J v) = J a + Jdot v."""

def total_mass(model: Model) -> float:
    """The sum of the bodies' masses."""

def center_of_mass(model: Model, data: Data, q: NDArray[np.float64]) -> NDArray[np.float64]:
    """The centre of mass at q in world coordinates, (3,)."""

def center_of_mass_jacobian(model: Model, data: Data, q: NDArray[np.float64]) -> NDArray[np.float64]:
    """The (3, nv) Jacobian of the centre of mass at q."""

def kinetic_energy(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64]) -> float:
    """1/2 v^T M(q) v."""

def potential_energy(model: Model, data: Data, q: NDArray[np.float64]) -> float:
    """-sum_i m_i gravity . c_i: zero when the centre of mass is at the world origin."""


# The terms of the equation of motion M(q) a + C(q, v) v + g(q) = tau


def mass_matrix(model: Model, data: Data, q: NDArray[np.float64],
                out: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """The joint-space mass matrix M(q), (nv, nv), by the composite-rigid-body algorithm; written into
    ``out`` (a C-contiguous float64 (nv, nv) array) when given, and that array returned."""

def bias_forces(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64]) -> NDArray[np.float64]:
    """C(q, v) v + g(q), (nv,)."""

def gravity_torques(model: Model, data: Data, q: NDArray[np.float64]) -> NDArray[np.float64]:
    """g(q), the efforts that balance gravity, (nv,)."""

def coriolis_matrix(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64]) -> NDArray[np.float64]:
    """C(q, v) with C v the velocity-product efforts and dM/dt = C + C^T, (nv, nv)."""

def inverse_mass_matrix(model: Model, data: Data, q: NDArray[np.float64]) -> NDArray[np.float64]:
    """M(q)^-1, (nv, nv), without forming M; ``ValueError`` where M is singular."""

def centroidal_momentum(model: Model, data: Data, q: NDArray[np.float64], v: NDArray[np.float64]) -> NDArray[np.float64]:
    """The momentum about the centre of mass in world-aligned axes, angular first, (6,)."""

def centroidal_momentum_matrix(model: Model, data: Data, q: NDArray[np.float64]) -> NDArray[np.float64]:
    """A(q) with centroidal momentum A(q) v, (6, nv)."""


@final
class MassMatrixFactor:
    """M(q) factorised along the tree: solve(b) and logdet."""

    def solve(self, b: NDArray[np.float64]) -> NDArray[np.float64]:
        """M^-1 b for b of shape (nv,) or (nv, k), as a new array."""
    @property
    def logdet(self) -> float:
        """The natural logarithm of det M(q)."""


def mass_matrix_factor(model: Model, data: Data, q: NDArray[np.float64]) -> MassMatrixFactor:
    """M(q) = L^T D L along the tree, with solve(b) and logdet; ``ValueError`` where M is singular."""


# Collision and distance queries


@final
class DistanceResult:
    """The distance between two geometry objects."""

    @property
    def distance(self) -> float:
        """Distance; minus the penetration depth when the objects overlap."""
    @property
    def point_i(self) -> NDArray[np.float64]:
        """World point on object i."""
    @property
    def point_j(self) -> NDArray[np.float64]:
        """World point on object j."""
    @property
    def normal(self) -> NDArray[np.float64]:
        """Unit vector from object i towards object j."""
    @property
    def pair(self) -> tuple[int, int]:
        """The two object indices (i, j)."""


@overload
def compute_collisions(geometry_model: GeometryModel, geometry_data: GeometryData,
                       stop_at_first: bool = False) -> list[tuple[int, int]]:
    """The collision pairs whose objects touch or overlap at the placements ``geometry_data`` holds."""
@overload
def compute_collisions(model: Model, data: Data, geometry_model: GeometryModel, geometry_data: GeometryData,
                       q: NDArray[np.float64], stop_at_first: bool = False) -> list[tuple[int, int]]:
    """The same after placing the shapes for joint positions ``q`` (forward kinematics into ``data``, the
    objects' placements into ``geometry_data``)."""

@overload
def compute_distances(geometry_model: GeometryModel, geometry_data: GeometryData) -> list[DistanceResult]:
    """A :class:`DistanceResult` for every collision pair, in list order."""
@overload
def compute_distances(model: Model, data: Data, geometry_model: GeometryModel, geometry_data: GeometryData,
                      q: NDArray[np.float64]) -> list[DistanceResult]:
    """The same after placing the shapes for joint positions ``q``."""

def update_geometry_placements(model: Model, data: Data, geometry_model: GeometryModel, geometry_data: GeometryData,
                               q: NDArray[np.float64] | None = None) -> None:
    """Forward kinematics for ``q`` when given, then every object's world placement into ``geometry_data``."""

def compute_distance(geometry_model: GeometryModel, geometry_data: GeometryData, i: int, j: int) -> DistanceResult:
    """The :class:`DistanceResult` of objects i and j, whether or not they form a collision pair."""


# Configuration space


def integrate(model: Model, q: NDArray[np.float64], v: NDArray[np.float64]) -> NDArray[np.float64]:
    """The configuration reached from q at velocity v in unit time, each joint by its exact exponential, (nq,)."""

def difference(model: Model, q0: NDArray[np.float64], q1: NDArray[np.float64]) -> NDArray[np.float64]:
    """The velocity v with integrate(model, q0, v) == q1, rotations the shorter way, (nv,)."""

def interpolate(model: Model, q0: NDArray[np.float64], q1: NDArray[np.float64], t: float) -> NDArray[np.float64]:
    """integrate(model, q0, t * difference(model, q0, q1)), (nq,)."""

def normalize(model: Model, q: NDArray[np.float64]) -> NDArray[np.float64]:
    """q with every quaternion and (cos, sin) pair scaled to unit length, (nq,)."""


# Many states per call: states are the rows of 2-D float64 arrays; the interpreter lock is
# released while they are computed; threads=None uses every core the process may run on.

def forward_kinematics_batch(model: Model, Q: NDArray[np.float64], frame_ids: Sequence[int] | None = None,
                             threads: int | None = None, out: NDArray[np.float64] | None = None
                             ) -> NDArray[np.float64]:
    """World placements of the frames (all when None) for every row of Q, (N, F, 4, 4)."""

def rnea_batch(model: Model, Q: NDArray[np.float64], V: NDArray[np.float64], A: NDArray[np.float64],
               threads: int | None = None, out: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """Inverse dynamics for every row of (Q, V, A), (N, nv)."""

def aba_batch(model: Model, Q: NDArray[np.float64], V: NDArray[np.float64], TAU: NDArray[np.float64],
              threads: int | None = None, out: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """Forward dynamics for every row of (Q, V, TAU), (N, nv); ``ValueError`` names the first singular row."""

def mass_matrix_batch(model: Model, Q: NDArray[np.float64], threads: int | None = None,
                      out: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """The mass matrix M(q) for every row of Q, (N, nv, nv)."""

def frame_jacobian_batch(model: Model, Q: NDArray[np.float64], frame_id: int, rep: Representation | None = None,
                         threads: int | None = None, out: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """The Jacobian of a frame for every row of Q in representation rep (None: BODY), (N, 6, nv)."""

_Matrices = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]

def rnea_derivatives_batch(model: Model, Q: NDArray[np.float64], V: NDArray[np.float64], A: NDArray[np.float64],
                           threads: int | None = None, out: Sequence[NDArray[np.float64]] | None = None
                           ) -> _Matrices:
    """rnea_derivatives for every row of (Q, V, A): (dtau_dq, dtau_dv, M), each (N, nv, nv)."""

def aba_derivatives_batch(model: Model, Q: NDArray[np.float64], V: NDArray[np.float64], TAU: NDArray[np.float64],
                          threads: int | None = None, out: Sequence[NDArray[np.float64]] | None = None
                          ) -> _Matrices:
    """aba_derivatives for every row of (Q, V, TAU): (dddq_dq, dddq_dv, Minv), each (N, nv, nv);
    ``ValueError`` names the first row whose mass matrix is singular."""
