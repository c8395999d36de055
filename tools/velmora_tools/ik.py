"""Inverse kinematics: a frame to a target position (and orientation) by damped least squares.

Each iteration solves (J^T J + lambda I) dq = J^T e for the frame's Jacobian J in MIXED
coordinates and the error e (the rotation vector that turns the frame onto the target's
orientation, then the target position minus the frame's origin), moves q by dq, and
projects the result onto the joint limits. The damping lambda adapts as in
Levenberg-Marquardt: a step that lowers the error is kept and the damping shrinks; one
that does not is undone and the damping grows, so the solver takes Gauss-Newton steps
near the solution and short gradient-like steps far from it.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from velmora_tools.robot import JOINT_TYPES, UrdfLimits

if TYPE_CHECKING:
    import velmora

Array = NDArray[np.float64]

# Continuous joints hold (cos, sin) in q; their kind's number in velmora.JointType.
_CONTINUOUS = JOINT_TYPES.index("continuous")


@dataclass
class IkResult:
    q: Array
    position_error: float       # metres: distance of the frame's origin from the target
    orientation_error: float    # radians: angle between the frame and the target orientation (0 when not asked)
    iterations: int             # damped least-squares steps, over all starts
    converged: bool
    restarts: int = 0           # fresh starts after local minima


def rotation_log(R: Array) -> Array:
    """The rotation vector w of R (R = exp([w]x)), also accurate near angles 0 and pi."""
    cos_angle = max(-1.0, min(1.0, (np.trace(R) - 1.0) / 2.0))
    axis_sin = np.array([R[2, 1] - R[1, 2], R[0, 2] - R[2, 0], R[1, 0] - R[0, 1]]) / 2.0
    sin_angle = np.linalg.norm(axis_sin)
    angle = math.atan2(sin_angle, cos_angle)
    if sin_angle > 1e-6:
        return np.asarray(axis_sin * (angle / sin_angle), dtype=np.float64)
    if cos_angle > 0:
        return axis_sin  # small angle: sin(angle) ~ angle
    # Near pi the skew part vanishes; the axis is the dominant column of R + I.
    B = (R + np.eye(3)) / 2.0
    k = int(np.argmax(np.diag(B)))
    axis = B[:, k] / math.sqrt(max(B[k, k], 1e-300))
    if axis @ axis_sin < 0:
        axis = -axis
    return np.asarray(axis / np.linalg.norm(axis) * angle, dtype=np.float64)


def rpy_matrix(roll: float, pitch: float, yaw: float) -> Array:
    """R = Rz(yaw) Ry(pitch) Rx(roll), the URDF convention."""
    cr, sr, cp, sp, cy, sy = (math.cos(roll), math.sin(roll), math.cos(pitch), math.sin(pitch),
                              math.cos(yaw), math.sin(yaw))
    return np.array([[cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr],
                     [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr],
                     [-sp, cp * sr, cp * cr]])


def velocity_limits(model: velmora.Model, limits: Optional[Dict[str, UrdfLimits]]) -> Tuple[Array, Array]:
    """Lower and upper bound of each velocity coordinate's joint position (infinite where there is none).

    `limits` maps joint names to objects with `lower` and `upper` (None when absent), as
    velmora_tools.robot.read_urdf_limits gives them; continuous joints are never bounded.
    """
    lower, upper = np.full(model.nv, -np.inf), np.full(model.nv, np.inf)
    index = 0
    for name, joint in zip(model.joint_names, model.joint_models):
        limit = limits.get(name) if limits else None
        if joint.nv == 1 and joint.nq == 1 and limit is not None and limit.lower is not None \
                and limit.upper is not None and limit.lower <= limit.upper:
            lower[index], upper[index] = limit.lower, limit.upper
        index += joint.nv
    return lower, upper


def integrate(model: velmora.Model, q: Array, dq: Array) -> Array:
    """q moved by dq: added to one-coordinate joints, turned for continuous (cos, sin) joints."""
    out, iq, iv = q.copy(), 0, 0
    for joint in model.joint_models:
        if joint.nq == 2 and joint.nv == 1 and int(joint.joint_type) == _CONTINUOUS:
            angle = math.atan2(q[iq + 1], q[iq]) + dq[iv]
            out[iq:iq + 2] = math.cos(angle), math.sin(angle)
        elif joint.nq == joint.nv:
            out[iq:iq + joint.nq] += dq[iv:iv + joint.nv]
        else:
            raise ValueError(f"inverse kinematics does not handle joint kind {joint.joint_type!r}")
        iq, iv = iq + joint.nq, iv + joint.nv
    return out


def clamp(model: velmora.Model, q: Array, lower: Array, upper: Array) -> Array:
    """q with every bounded one-coordinate joint brought inside its limits."""
    out, iq, iv = q.copy(), 0, 0
    for joint in model.joint_models:
        if joint.nq == 1 and joint.nv == 1:
            out[iq] = min(max(out[iq], lower[iv]), upper[iv])
        iq, iv = iq + joint.nq, iv + joint.nv
    return out


def solve(model: velmora.Model, frame_id: int, position: Sequence[float], rotation: Optional[Array] = None,
          q0: Optional[Array] = None, limits: Optional[Dict[str, UrdfLimits]] = None, tolerance: float = 1e-10,
          max_iterations: int = 3000, max_restarts: int = 50, seed: int = 0) -> IkResult:
    """Moves frame `frame_id` to `position` (and `rotation`, a 3x3 matrix, when given).

    Converged means the position error is below `tolerance` metres and the orientation
    error below `tolerance` radians. When the descent stops at a local minimum, it starts
    again (at most `max_restarts` times) from random configurations within the limits,
    drawn from a generator seeded with `seed`.
    """
    import velmora

    mixed = velmora.Representation.MIXED
    data = model.create_data()
    target_p = np.asarray(position, dtype=np.float64)
    target_R = None if rotation is None else np.asarray(rotation, dtype=np.float64)
    rows = slice(0, 6) if target_R is not None else slice(3, 6)
    lower, upper = velocity_limits(model, limits)
    q = clamp(model, velmora.neutral(model).to_numpy() if q0 is None else np.asarray(q0, dtype=np.float64),
              lower, upper)

    def error(config: Array) -> Array:
        velmora.forward_kinematics(model, data, config)
        placement = velmora.frame_placement(model, data, frame_id)
        e_p = target_p - placement.translation
        e_r = rotation_log(target_R @ placement.rotation.T) if target_R is not None else np.zeros(3)
        return np.concatenate([e_r, e_p])[rows]

    def result(config: Array, e: Array, iterations: int, restarts: int = 0) -> IkResult:
        e_r, e_p = (e[:3], e[3:]) if target_R is not None else (np.zeros(3), e)
        p_err, r_err = float(np.linalg.norm(e_p)), float(np.linalg.norm(e_r))
        return IkResult(config, p_err, r_err, iterations, p_err < tolerance and r_err < tolerance, restarts)

    def descend(q: Array, iteration: int) -> Tuple[Array, Array, int]:
        """Damped least-squares steps from q until convergence, a local minimum or the iteration budget."""
        e = error(q)
        cost = float(e @ e)
        damping = 1e-3
        # The cost some steps ago: a descent that no longer halves it in that many steps
        # creeps along a limit towards a local minimum, and starting again is cheaper.
        checkpoint, since = cost, 0
        while iteration < max_iterations and not result(q, e, iteration).converged:
            iteration += 1
            since += 1
            if since == 25:
                if cost > 0.5 * checkpoint:
                    break
                checkpoint, since = cost, 0
            J = velmora.frame_jacobian(model, data, q, frame_id, mixed)[rows]
            step = np.linalg.solve(J.T @ J + damping * np.eye(model.nv), J.T @ e)
            # Coordinates at a limit that the step would push further are held, and the
            # step is solved again without them, so the others make up for them.
            held = ((q_v(q) <= lower) & (step < 0)) | ((q_v(q) >= upper) & (step > 0))
            if held.any():
                J[:, held] = 0.0
                step = np.linalg.solve(J.T @ J + damping * np.eye(model.nv), J.T @ e)
            candidate = clamp(model, integrate(model, q, np.asarray(step, dtype=np.float64)), lower, upper)
            e_new = error(candidate)
            cost_new = float(e_new @ e_new)
            if cost_new < cost:
                q, e, cost = candidate, e_new, cost_new
                damping = max(damping / 3.0, 1e-12)
            else:
                damping *= 5.0
                if damping > 1e8:  # no step lowers the error
                    break
        return q, e, iteration

    def q_v(config: Array) -> Array:
        """The position of each velocity coordinate's joint (NaN for joints without limits)."""
        out, iq, iv = np.full(model.nv, np.nan), 0, 0
        for joint in model.joint_models:
            if joint.nq == 1 and joint.nv == 1:
                out[iv] = config[iq]
            iq, iv = iq + joint.nq, iv + joint.nv
        return out

    rng = np.random.default_rng(seed)
    finite = np.isfinite(lower) & np.isfinite(upper)
    iteration, restarts = 0, 0
    while True:
        q, e, iteration = descend(q, iteration)
        outcome: IkResult = result(q, e, iteration, restarts)
        if outcome.converged or iteration >= max_iterations or restarts >= max_restarts:
            return outcome
        # A local minimum (often a joint held at a limit on the wrong side): start again
        # from a random configuration within the limits.
        restarts += 1
        start = velmora.neutral(model).to_numpy()
        base, span = np.where(finite, lower, -np.pi), np.where(finite, upper - lower, 2 * np.pi)
        sample = base + span * rng.uniform(size=model.nv)
        q = clamp(model, integrate(model, start, sample), lower, upper)
