"""The texts printed by the info, fk and dynamics commands."""
from __future__ import annotations

import math
from collections import Counter
from typing import TYPE_CHECKING, List, Optional, Sequence

import numpy as np

from velmora_tools.robot import FRAME_TYPES, SHAPE_TYPES, Robot, format_q, frame_placements, rpy

if TYPE_CHECKING:
    import velmora


def table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool],
          indent: str = "  ") -> str:
    """Columns padded to their widest cell, a rule under the headers; right-aligned where asked."""
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        padded = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)]
        return (indent + "  ".join(padded)).rstrip()

    return "\n".join([line(headers), indent + "  ".join("-" * w for w in widths)] + [line(r) for r in rows])


def num(x: Optional[float], format_spec: str = ".4g") -> str:
    if x is None:
        return "-"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(x, format_spec)
    return "0" if text in ("-0", "-0.0") else text


def fixed(x: float, digits: int = 4) -> str:
    text = f"{x:.{digits}f}"
    return text[1:] if text.startswith("-") and float(text) == 0.0 else text


def _limits(robot: Robot, jid: int) -> str:
    kind = robot.joint_type(jid)
    limit = robot.limits.get(robot.model.joint_names[jid])
    if kind == "fixed" or limit is None:
        return ""
    linear = kind == "prismatic"
    parts = []
    if kind != "continuous" and (limit.lower is not None or limit.upper is not None):
        lower = -math.inf if limit.lower is None else limit.lower
        upper = math.inf if limit.upper is None else limit.upper
        parts.append(f"[{num(lower)}, {num(upper)}] {'m' if linear else 'rad'}")
    if limit.velocity is not None:
        parts.append(f"{num(limit.velocity)} {'m/s' if linear else 'rad/s'}")
    if limit.effort is not None:
        parts.append(f"{num(limit.effort)} {robot.effort_unit(jid)}")
    return ", ".join(parts)


def _shape_counts(geometry_model: velmora.GeometryModel) -> str:
    objects = geometry_model.geometry_objects
    counts = Counter(SHAPE_TYPES[int(o.geometry.shape_type)] for o in objects)
    detail = ", ".join(f"{kind} {counts[kind]}" for kind in SHAPE_TYPES if counts[kind])
    return f"{len(objects)}" + (f" ({detail})" if detail else "")


def info(robot: Robot) -> str:
    model = robot.model
    names = model.joint_names
    moving = sum(1 for jm in model.joint_models if jm.nv > 0)
    out = [f"Robot '{model.name}' from {robot.path}",
           f"  {moving} moving joints, nq = {model.nq}, nv = {model.nv}, {model.nframes} frames",
           "", "Joints (limits as written in the URDF: position, velocity, effort)"]
    rows = []
    for jid, (name, parent, jm) in enumerate(zip(names, model.joint_parents, model.joint_models)):
        kind = "universe" if jid == 0 else robot.joint_type(jid)
        rows.append([str(jid), name, kind, "-" if jid == 0 else names[parent],
                     str(jm.nq), str(jm.nv), _limits(robot, jid)])
    out.append(table(["id", "name", "type", "parent", "nq", "nv", "limits"], rows,
                     [True, False, False, False, True, True, False]))

    out += ["", "Bodies (each joint carries the links it moves; centre of mass in the joint frame)"]
    rows = []
    for jid, inertia in enumerate(model.inertias):
        com = inertia.com
        rows.append([str(jid), names[jid], num(inertia.mass)] + [fixed(c, 4) for c in com])
    out.append(table(["id", "joint", "mass [kg]", "com x", "com y", "com z"], rows,
                     [True, False, True, True, True, True]))
    total = sum(inertia.mass for inertia in model.inertias)
    out.append(f"  total mass: {total:.4g} kg")

    out += ["", "Frames"]
    rows = [[str(fid), f.name, FRAME_TYPES[int(f.frame_type)], f"{f.parent_joint} {names[f.parent_joint]}"]
            for fid, f in enumerate(model.frames)]
    out.append(table(["id", "name", "type", "parent joint"], rows, [True, False, False, False]))

    out += ["", "Geometry",
            f"  collision objects: {_shape_counts(robot.collision)}",
            f"  visual objects:    {_shape_counts(robot.visual)}"]
    return "\n".join(out)


def configuration_line(q: np.ndarray, how: str) -> str:
    if len(q) == 0:
        return "Configuration: empty (the robot has no configuration coordinates)"
    return f"Configuration ({how}): --q {format_q(q)}"


def fk(robot: Robot, data: velmora.Data, q: np.ndarray, how: str) -> str:
    out = [f"Robot '{robot.name}'", configuration_line(q, how), "",
           "World placement of every frame (translation in m; rotation as roll, pitch, yaw in rad,",
           "R = Rz(yaw) Ry(pitch) Rx(roll))"]
    rows = []
    names = robot.model.joint_names
    for fid, (frame, placement) in enumerate(frame_placements(robot, data)):
        x, y, z = placement.translation
        rows.append([str(fid), frame.name, FRAME_TYPES[int(frame.frame_type)], names[frame.parent_joint]]
                    + [fixed(c) for c in (x, y, z)] + [fixed(a) for a in rpy(placement.rotation)])
    out.append(table(["id", "frame", "type", "joint", "x", "y", "z", "roll", "pitch", "yaw"], rows,
                     [True, False, False, False] + [True] * 6))
    return "\n".join(out)


def matrix(labels: List[str], values: np.ndarray) -> str:
    """A square matrix with its rows labelled and its columns numbered like the rows."""
    rows = [[f"{i + 1} {label}"] + [num(x, ".4g") for x in row] for i, (label, row) in enumerate(zip(labels, values))]
    return table([""] + [str(i + 1) for i in range(len(labels))], rows, [False] + [True] * len(labels))


def _clean(values: np.ndarray) -> np.ndarray:
    """Rounding residue (below 1e-12 of the largest entry) shown as 0 rather than as 1.7e-18."""
    scale = max(1.0, float(np.max(np.abs(values)))) if values.size else 1.0
    return np.where(np.abs(values) < 1e-12 * scale, 0.0, values)


def dynamics(robot: Robot, q: np.ndarray, how: str, g: np.ndarray, mass: np.ndarray,
             round_trip: Optional[float]) -> str:
    coords = robot.coordinates("v")
    out = [f"Robot '{robot.name}'", configuration_line(q, how), "",
           "Gravity torques g(q) = rnea(q, v = 0, a = 0): the efforts that hold the robot still"]
    rows = [[str(i + 1), label, num(x, ".6g"), robot.effort_unit(jid, label)]
            for i, ((jid, label), x) in enumerate(zip(coords, _clean(g)))]
    out.append(table(["", "joint", "g", "unit"], rows, [True, False, True, False]))
    out += ["", "Mass matrix M(q), column i = rnea(q, 0, e_i) - g(q)"]
    if len(coords):
        out.append(matrix([label for _, label in coords], _clean(mass)))
        asym = float(np.max(np.abs(mass - mass.T)))
        eig = np.linalg.eigvalsh(0.5 * (mass + mass.T))
        out.append(f"  largest asymmetry {asym:.1e}; eigenvalues from {eig[0]:.4g} to {eig[-1]:.4g}")
    else:
        out.append("  (the robot has no velocity coordinates)")
    if round_trip is not None:
        out += ["", "Forward dynamics: aba(q, v, rnea(q, v, a)) gives back a random a to "
                    f"{round_trip:.1e} (largest difference)"]
    return "\n".join(out)
