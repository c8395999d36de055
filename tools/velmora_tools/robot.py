"""Loading a robot for the command-line tools, and the few computations they share."""
from __future__ import annotations

import math
import types
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    import velmora

from velmora_tools import sample_urdf

# Names of the enumeration values, indexed by int(value).
JOINT_TYPES = ("continuous", "fixed", "prismatic", "revolute", "free_flyer", "planar", "spherical")
# The names of the configuration ("q") and velocity ("v") coordinates of the joints with
# several degrees of freedom (velocities in the child frame).
MULTI_DOF_LABELS = {
    "free_flyer": {"q": ("x", "y", "z", "qw", "qx", "qy", "qz"), "v": ("wx", "wy", "wz", "vx", "vy", "vz")},
    "planar": {"q": ("x", "y", "cos", "sin"), "v": ("wz", "vx", "vy")},
    "spherical": {"q": ("qw", "qx", "qy", "qz"), "v": ("wx", "wy", "wz")},
}
FRAME_TYPES = ("operational", "joint", "fixed", "body", "sensor")
SHAPE_TYPES = ("capsule", "cone", "cuboid", "cylinder", "sphere", "mesh")


class ToolError(Exception):
    """A failure to report to the user as one line, with the process exit status."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status


def import_velmora() -> types.ModuleType:
    try:
        import velmora
    except ImportError as exc:
        raise ToolError(f"cannot import the velmora extension module ({exc}); "
                        "build it (make build) and put build/python on PYTHONPATH, "
                        "or install the package (pip install .)") from None
    return velmora


@dataclass
class UrdfLimits:
    """The <limit> of a URDF joint as written; None where an attribute is absent or unreadable."""
    lower: Optional[float] = None
    upper: Optional[float] = None
    effort: Optional[float] = None
    velocity: Optional[float] = None


@dataclass
class Robot:
    path: str
    model: velmora.Model
    collision: velmora.GeometryModel
    visual: velmora.GeometryModel
    limits: Dict[str, UrdfLimits] = field(default_factory=dict)

    @property
    def name(self) -> str:
        return self.model.name

    def joint_type(self, joint_id: int) -> str:
        return JOINT_TYPES[int(self.model.joint_models[joint_id].joint_type)]

    def coordinates(self, kind: str = "v") -> List[Tuple[int, str]]:
        """(joint id, label) of each configuration ("q") or velocity ("v") coordinate, in order."""
        labels = []
        for jid, (name, jm) in enumerate(zip(self.model.joint_names, self.model.joint_models)):
            n = jm.nq if kind == "q" else jm.nv
            if n == 1:
                labels.append((jid, name))
            elif n == 2 and kind == "q" and self.joint_type(jid) == "continuous":
                labels += [(jid, f"{name}.cos"), (jid, f"{name}.sin")]
            elif self.joint_type(jid) in MULTI_DOF_LABELS:
                labels += [(jid, f"{name}.{part}") for part in MULTI_DOF_LABELS[self.joint_type(jid)][kind]]
            else:
                labels += [(jid, f"{name}[{k}]") for k in range(n)]
        return labels

    def effort_unit(self, joint_id: int, label: str = "") -> str:
        """The unit of a joint's effort; `label` (from coordinates("v")) picks the coordinate of a
        joint with several: forces along the linear velocities of free-flyer and planar joints."""
        linear = label.rsplit(".", 1)[-1] in ("vx", "vy", "vz")
        return "N" if self.joint_type(joint_id) == "prismatic" or linear else "N m"


# The joints the --root-joint option can put between the world and a robot's root link.
ROOT_JOINTS = ("free-flyer", "planar")


def root_joint_model(name: Optional[str]) -> Optional[velmora.JointModel]:
    """The joint model named by --root-joint (one of ROOT_JOINTS), or None to weld the root link."""
    if name is None:
        return None
    module = import_velmora()
    joint: velmora.JointModel = module.JointModelFreeFlyer() if name == "free-flyer" else module.JointModelPlanar()
    return joint


def load(path: Optional[str] = None, package_dir: Optional[str] = None, root_joint: Optional[str] = None) -> Robot:
    """Loads a URDF file (the sample robot when no path is given), its root link on the
    joint `root_joint` names (see ROOT_JOINTS) or welded to the world.

    The loader's own message becomes the ToolError's message.
    """
    velmora = import_velmora()
    path = sample_urdf() if path is None else path
    try:
        model, collision, visual = velmora.build_models_from_urdf(path, package_dir=package_dir,
                                                                  root_joint=root_joint_model(root_joint))
    except ValueError as exc:
        message = str(exc)
        if package_dir is None and "'package_dir' must be provided" in message:
            message += " (pass --package-dir DIR, the folder the relative mesh names start from)"
        elif "ROS_PACKAGE_PATH" in message:
            message += " (package:// mesh names are looked up in ROS_PACKAGE_PATH, folders separated by ':')"
        raise ToolError(message) from None
    return Robot(path, model, collision, visual, read_urdf_limits(path))


def _local_name(tag: object) -> str:
    return tag.rsplit("}", 1)[-1] if isinstance(tag, str) else ""


def _number(element: ET.Element, name: str) -> Optional[float]:
    text = element.get(name)
    if text is None or text != text.strip() or "_" in text:
        return None
    try:
        return float(text)
    except ValueError:
        return None


def read_urdf_limits(path: str) -> Dict[str, UrdfLimits]:
    """The <limit> element of each joint of the file, by joint name (first joint of a name wins).

    The model does not expose limits, so they are read here for display only. Call this
    only on a file the loader has accepted: the loader refuses documents with a document
    type declaration, so no entity expansion can happen here. Anything unreadable simply
    gives no limits.
    """
    try:
        root = ET.parse(path).getroot()
    except (ET.ParseError, OSError, ValueError):
        return {}
    robot = next((e for e in root.iter() if _local_name(e.tag) == "robot"), None)
    limits: Dict[str, UrdfLimits] = {}
    if robot is None:
        return limits
    for joint in robot:
        name = joint.get("name")
        if _local_name(joint.tag) != "joint" or name is None or name in limits:
            continue
        limit = next((c for c in joint if _local_name(c.tag) == "limit"), None)
        if limit is None:
            limits[name] = UrdfLimits()
        else:
            limits[name] = UrdfLimits(*(_number(limit, a) for a in ("lower", "upper", "effort", "velocity")))
    return limits


def parse_q_option(text: str) -> Union[str, List[float]]:
    """Reads --q: "neutral", "random" or a comma-separated list of numbers."""
    word = text.strip().lower()
    if word in ("neutral", "random"):
        return word
    pieces = [p.strip() for p in text.split(",")]
    try:
        values = [float(p) for p in pieces]
    except ValueError:
        raise ValueError(f"expected 'neutral', 'random' or numbers separated by commas, got {text!r}") from None
    bad = [p for p, x in zip(pieces, values) if not math.isfinite(x)]
    if bad:
        raise ValueError(f"expected finite numbers, got {', '.join(bad)}")
    return values


def configuration(robot: Robot, requested: Union[str, Sequence[float], None] = None) -> Tuple[NDArray[np.float64], str]:
    """The configuration asked for by --q (random when not given) and a word saying which it is."""
    velmora = import_velmora()
    model = robot.model
    if requested is None or requested == "random":
        try:
            return velmora.random_configuration(model).to_numpy(), "random"
        except ValueError as exc:
            raise ToolError(f"cannot draw a random configuration: {exc}") from None
    if requested == "neutral":
        return velmora.neutral(model).to_numpy(), "neutral"
    q = np.asarray(requested, dtype=np.float64)
    if q.shape != (model.nq,):
        names = ", ".join(label for _, label in robot.coordinates("q")) or "none"
        raise ToolError(f"--q has {q.size} value{'s' if q.size != 1 else ''}, but robot '{model.name}' "
                        f"has nq = {model.nq} configuration coordinates ({names})", status=2)
    return q, "given"


def format_q(q: Union[Sequence[float], NDArray[np.float64]]) -> str:
    """A configuration written so that it can be passed back to --q."""
    return ",".join(f"{x:.6g}" for x in q)


def frame_placements(robot: Robot, data: velmora.Data) -> List[Tuple[velmora.Frame, velmora.SE3]]:
    """(frame, world placement) of every frame, for the joint placements currently in data."""
    oMi = data.oMi
    return [(frame, oMi[frame.parent_joint] * frame.placement) for frame in robot.model.frames]


def rpy(rotation: NDArray[np.float64]) -> Tuple[float, float, float]:
    """Roll, pitch and yaw of a rotation matrix R = Rz(yaw) Ry(pitch) Rx(roll), the URDF convention.

    At pitch = +-pi/2 only roll + yaw (or roll - yaw) is defined; yaw is then reported as 0.
    """
    r = np.asarray(rotation, dtype=np.float64)
    cos_pitch = math.hypot(r[0, 0], r[1, 0])
    pitch = math.atan2(-r[2, 0], cos_pitch)
    if cos_pitch > 1e-9:
        return math.atan2(r[2, 1], r[2, 2]), pitch, math.atan2(r[1, 0], r[0, 0])
    return math.atan2(-r[1, 2], r[1, 1]), pitch, 0.0


def gravity_and_mass_matrix(robot: Robot, data: velmora.Data,
                            q: NDArray[np.float64]) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Gravity torques g(q) and the mass matrix M(q)."""
    velmora = import_velmora()
    model = robot.model
    return velmora.gravity_torques(model, data, q), velmora.mass_matrix(model, data, q)
