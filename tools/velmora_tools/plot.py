"""A picture of a robot at one configuration: links as segments between joint origins,
collision primitives as wireframes, mesh objects as shaded surfaces, objects in collision
with another highlighted. matplotlib is needed only here (extra "plot")."""
from __future__ import annotations

from typing import TYPE_CHECKING, List, Tuple

import numpy as np

from velmora_tools.robot import FRAME_TYPES, SHAPE_TYPES, Robot, ToolError, format_q, import_velmora

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    import velmora

CIRCLE_POINTS = 33  # closed polyline: the first point repeated at the end


def _circle(radius: float, z: float = 0.0, plane: str = "xy") -> np.ndarray:
    t = np.linspace(0.0, 2.0 * np.pi, CIRCLE_POINTS)
    a, b, c = radius * np.cos(t), radius * np.sin(t), np.full_like(t, z)
    return np.column_stack({"xy": (a, b, c), "yz": (c, a, b), "xz": (a, c, b)}[plane])


def _cuboid(h: np.ndarray) -> List[np.ndarray]:
    corners = np.array([[sx, sy, sz] for sx in (-1, 1) for sy in (-1, 1) for sz in (-1, 1)], float) * h
    edges = [(i, j) for i in range(8) for j in range(i + 1, 8) if bin(i ^ j).count("1") == 1]
    return [corners[[i, j]] for i, j in edges]


def _cylinder(radius: float, half: float) -> List[np.ndarray]:
    lines = [_circle(radius, -half), _circle(radius, half)]
    for angle in np.arange(4) * np.pi / 2:
        x, y = radius * np.cos(angle), radius * np.sin(angle)
        lines.append(np.array([[x, y, -half], [x, y, half]]))
    return lines


def primitive_lines(shape: velmora.tessary.Shape, placement: velmora.SE3) -> List[np.ndarray]:
    """Polylines (n x 3 arrays, world coordinates) outlining one collision shape; none for a mesh."""
    kind = SHAPE_TYPES[int(shape.shape_type)]
    if kind == "cuboid":
        local = _cuboid(np.asarray(shape.half_extents, dtype=np.float64))
    elif kind == "cylinder":
        local = _cylinder(shape.radius, shape.half_length)
    elif kind == "sphere":
        local = [_circle(shape.radius, plane=p) for p in ("xy", "yz", "xz")]
    elif kind == "capsule":
        r, half = shape.radius, shape.half_length
        local = _cylinder(r, half)
        for plane in ("yz", "xz"):
            ring = _circle(r, plane=plane)
            local.append(ring + np.where(ring[:, 2:3] >= 0, half, -half) * np.array([0.0, 0.0, 1.0]))
    elif kind == "cone":
        r, half = shape.radius, shape.half_length
        local = [_circle(r, -half)] + [np.array([[r * np.cos(a), r * np.sin(a), -half], [0.0, 0.0, half]])
                                       for a in np.arange(4) * np.pi / 2]
    else:
        return []
    rotation, translation = np.asarray(placement.rotation), np.asarray(placement.translation)
    return [points @ rotation.T + translation for points in local]


def scene(robot: Robot, q: np.ndarray) -> Tuple[List[Tuple[np.ndarray, np.ndarray]], np.ndarray, List[np.ndarray],
                                              np.ndarray]:
    """What the picture shows: link segments, joint origins, primitive outlines, mesh origins."""
    velmora = import_velmora()
    model = robot.model
    data = model.create_data()
    velmora.forward_kinematics(model, data, q)
    origins = [np.asarray(m.translation) for m in data.oMi]
    segments = [(origins[p], origins[j]) for j, p in enumerate(model.joint_parents) if j > 0]
    # Fixed frames (flanges, tool points) hang from their joint: draw them too so the end of the chain shows.
    for frame in model.frames:
        if FRAME_TYPES[int(frame.frame_type)] == "fixed" and frame.parent_joint > 0:
            world = data.oMi[frame.parent_joint] * frame.placement
            segments.append((origins[frame.parent_joint], np.asarray(world.translation)))
    geometry = robot.collision.create_data(data)
    outlines: List[np.ndarray] = []
    meshes: List[np.ndarray] = []
    for k, obj in enumerate(robot.collision.geometry_objects):
        placement = geometry.get_object_placement(k)
        lines = primitive_lines(obj.geometry, placement)
        if lines:
            outlines.extend(lines)
        else:
            meshes.append(np.asarray(placement.translation))
    return segments, np.array(origins[1:]).reshape(-1, 3), outlines, np.array(meshes).reshape(-1, 3)


MAX_TRIANGLES = 4000  # per mesh drawn; larger meshes are thinned evenly (a picture, not a measurement)


def collision_state(robot: Robot, q: np.ndarray) -> Tuple[List[np.ndarray], List[bool]]:
    """Per collision object: its world triangles (k x 3 x 3, empty for primitives) and whether it
    collides with another object of the self-collision pairs (different joints, not parent and
    child). A mesh file that cannot be read is a ToolError."""
    velmora = import_velmora()
    model, geometry = robot.model, robot.collision
    data = model.create_data()
    velmora.forward_kinematics(model, data, q)
    placed = geometry.create_data(data)
    try:
        geometry.add_all_collision_pairs()
        colliding = velmora.compute_collisions(geometry, placed)
        surfaces: List[np.ndarray] = []
        for k, obj in enumerate(geometry.geometry_objects):
            shape = obj.geometry
            if SHAPE_TYPES[int(shape.shape_type)] != "mesh":
                surfaces.append(np.zeros((0, 3, 3)))
                continue
            corners = shape.mesh_triangles().reshape(-1, 3, 3)
            if len(corners) > MAX_TRIANGLES:
                corners = corners[np.linspace(0, len(corners) - 1, MAX_TRIANGLES).astype(int)]
            m = placed.get_object_placement(k)
            surfaces.append(corners @ np.asarray(m.rotation).T + np.asarray(m.translation))
    except ValueError as exc:
        raise ToolError(str(exc)) from None
    hit = {i for pair in colliding for i in pair}
    return surfaces, [k in hit for k in range(geometry.ngeoms)]


def require_matplotlib() -> type[Figure]:
    """The matplotlib Figure class, or a ToolError saying how to install matplotlib."""
    try:
        import matplotlib  # noqa: F401
        from matplotlib.figure import Figure
        from mpl_toolkits.mplot3d import Axes3D  # type: ignore[import-untyped]  # noqa: F401  (registers the 3d projection)
    except ImportError:
        raise ToolError("the plot command needs matplotlib, which is not installed; "
                        "install it with: pip install 'velmora[plot]'") from None
    return Figure


def draw(robot: Robot, q: np.ndarray, how: str, output: str) -> Tuple[int, int]:
    """Writes the PNG; returns (number of outlined primitives' polylines, number of mesh objects)."""
    Figure = require_matplotlib()
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection  # type: ignore[import-untyped]
    segments, joints, outlines, meshes = scene(robot, q)
    surfaces, colliding = collision_state(robot, q)

    fig = Figure(figsize=(7.5, 7.5), dpi=110)
    ax = fig.add_subplot(projection="3d")
    velmora = import_velmora()
    data = robot.model.create_data()
    velmora.forward_kinematics(robot.model, data, q)
    placed = robot.collision.create_data(data)
    for k, obj in enumerate(robot.collision.geometry_objects):
        if not colliding[k]:
            continue
        for points in primitive_lines(obj.geometry, placed.get_object_placement(k)):
            ax.plot(points[:, 0], points[:, 1], points[:, 2], color="tab:red", linewidth=1.6)
    for points in outlines:
        ax.plot(points[:, 0], points[:, 1], points[:, 2], color="tab:blue", linewidth=0.8, alpha=0.7)
    light = np.array([0.3, -0.5, 0.8]) / np.linalg.norm([0.3, -0.5, 0.8])
    for triangles, hit in zip(surfaces, colliding):
        if not len(triangles):
            continue
        # Shade each face by its angle to a fixed light (Lambert), red for colliding objects.
        normals = np.cross(triangles[:, 1] - triangles[:, 0], triangles[:, 2] - triangles[:, 0])
        lengths = np.linalg.norm(normals, axis=1)
        brightness = 0.35 + 0.65 * np.abs(normals @ light / np.where(lengths > 0, lengths, 1.0))
        base = np.array([0.85, 0.2, 0.15] if hit else [0.6, 0.65, 0.75])
        colours = np.clip(brightness[:, None] * base, 0.0, 1.0)
        ax.add_collection3d(Poly3DCollection(triangles, facecolors=colours, edgecolors="none", alpha=0.9))
    if any(colliding):
        ax.plot([], [], color="tab:red", linewidth=1.6, label="in collision")
    for i, (a, b) in enumerate(segments):
        ax.plot([a[0], b[0]], [a[1], b[1]], [a[2], b[2]], color="black", linewidth=2.5,
                label="links (joint to joint)" if i == 0 else None)
    if len(joints):
        ax.scatter(joints[:, 0], joints[:, 1], joints[:, 2], color="tab:red", s=25, depthshade=False,
                   label="joint origins")
    if len(meshes):
        ax.plot([], [], color=(0.6, 0.65, 0.75), linewidth=6, label="mesh collision objects")
    if outlines:
        ax.plot([], [], color="tab:blue", linewidth=0.8, label="collision primitives")

    everything = ([np.zeros((1, 3)), joints, meshes] + list(outlines) + [np.array(s) for s in segments]
                  + [t.reshape(-1, 3) for t in surfaces if len(t)])
    points = np.vstack([p for p in everything if len(p)])
    low, high = points.min(axis=0), points.max(axis=0)
    centre, half = (low + high) / 2, max(float(np.max(high - low)) / 2 * 1.05, 1e-3)
    ax.set_xlim(centre[0] - half, centre[0] + half)
    ax.set_ylim(centre[1] - half, centre[1] + half)
    ax.set_zlim(centre[2] - half, centre[2] + half)
    ax.set_box_aspect((1, 1, 1))
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    ax.set_zlabel("z [m]")
    ax.view_init(elev=20, azim=-55)
    q_text = format_q(q)
    if len(q_text) > 90:
        q_text = q_text[:87] + "..."
    ax.set_title(f"{robot.name or 'robot'}  ({how} configuration)\nq = {q_text}", fontsize=10)
    if segments or len(meshes) or outlines:
        ax.legend(loc="upper left", fontsize=8)
    try:
        fig.savefig(output, format="png")
    except OSError as exc:
        raise ToolError(f"cannot write {output}: {exc.strerror or exc}") from None
    return len(outlines), len(meshes)
