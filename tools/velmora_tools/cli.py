"""The `velmora` command: inspect, place, weigh, time and draw a URDF robot."""
from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import TYPE_CHECKING, List, Optional, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    import velmora

from velmora_tools import bench, ik, plot, report, sample_urdf
from velmora_tools.robot import (FRAME_TYPES, ROOT_JOINTS, Robot, ToolError, configuration, format_q,
                                 gravity_and_mass_matrix, import_velmora, load, parse_q_option, read_urdf_limits,
                                 root_joint_model)

DESCRIPTION = """\
Kinematics and dynamics of a URDF robot with velmora. Every command takes the URDF path
(default: the bundled sample arm) and --package-dir, the folder relative mesh names
start from."""

EPILOG = """\
examples:
  velmora info
  velmora fk --q 0,0.5,1.2,0,0.6,0,0.04
  velmora dynamics path/to/robot.urdf --package-dir path/to --q neutral
  velmora info path/to/quadruped.urdf --root-joint free-flyer
  velmora bench --calls 200000
  velmora collide --q neutral
  velmora plot --q random -o arm.png
  velmora ik --frame tcp --target 0.35,-0.2,0.6 --rpy 3.1416,0,0"""


def _q_type(text: str) -> Union[str, List[float]]:
    try:
        return parse_q_option(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return value


def _vector3(text: str) -> List[float]:
    values = parse_q_option(text) if text.strip().lower() not in ("neutral", "random") else None
    if not isinstance(values, list) or len(values) != 3:
        raise argparse.ArgumentTypeError(f"expected three numbers separated by commas, got {text!r}")
    return values


def _add_ik_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser], robot: argparse.ArgumentParser,
                   config: argparse.ArgumentParser) -> None:
    ik_cmd = commands.add_parser(
        "ik", parents=[robot, config], help="joint positions that put a frame at a target",
        description="Inverse kinematics: damped least squares, within the joint limits of the URDF, from "
                    "--q (default: the neutral configuration; random restarts after a local minimum). "
                    "Prints the solution, the residual and the iterations; exits with status 1 when it "
                    "does not converge.")
    ik_cmd.add_argument("--frame", default=None, metavar="NAME",
                        help="the frame to place (default: the model's last frame)")
    ik_cmd.add_argument("--target", type=_vector3, required=True, metavar="X,Y,Z",
                        help="world position of the frame's origin, in metres")
    ik_cmd.add_argument("--rpy", type=_vector3, default=None, metavar="R,P,Y",
                        help="world orientation of the frame as roll, pitch, yaw (URDF convention); "
                             "position only when not given")
    ik_cmd.add_argument("--tolerance", type=float, default=1e-10, metavar="TOL",
                        help="largest residual accepted, in metres and radians (default 1e-10)")
    ik_cmd.add_argument("--max-iterations", type=_positive, default=3000, metavar="N",
                        help="damped least-squares steps over all starts (default 3000)")


def _version_text() -> str:
    """The version of the velmora module these commands would use."""
    try:
        return f"velmora {import_velmora().__version__}"
    except ToolError as exc:
        return f"velmora (unknown version: {exc})"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="velmora", description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=_version_text())

    robot = argparse.ArgumentParser(add_help=False)
    robot.add_argument("urdf", nargs="?", default=None,
                       help=f"URDF file (default: the sample arm, {os.path.basename(sample_urdf())})")
    robot.add_argument("--package-dir", default=None, metavar="DIR",
                       help="folder that relative mesh file names are resolved against")
    floating = argparse.ArgumentParser(add_help=False)
    floating.add_argument("--root-joint", choices=ROOT_JOINTS, default=None,
                          help="hang the root link from this joint (named root_joint) instead of welding it to "
                               "the world: free-flyer for a legged robot or humanoid, planar for a mobile base")
    config = argparse.ArgumentParser(add_help=False)
    config.add_argument("--q", type=_q_type, default=None, metavar="Q",
                        help="configuration: nq numbers separated by commas (a continuous joint "
                             "takes cos,sin), 'neutral' or 'random' (the default)")

    commands = parser.add_subparsers(dest="command", metavar="command")
    commands.add_parser("info", parents=[robot, floating], help="joints, bodies and mass, frames, geometry counts",
                        description="Print the model as tables: joints with their limits, the bodies "
                                    "and total mass, the frames, the collision and visual objects.")
    commands.add_parser("fk", parents=[robot, floating, config], help="world placement of every frame",
                        description="Forward kinematics: the world placement of every frame.")
    commands.add_parser("dynamics", parents=[robot, floating, config], help="gravity torques and mass matrix",
                        description="Gravity torques g(q) and the mass matrix M(q), from inverse "
                                    "dynamics, and a forward-dynamics round trip.")
    bench_cmd = commands.add_parser("bench", parents=[robot, floating], help="per-call cost of the algorithms",
                                    description="Time forward kinematics, inverse dynamics (rnea), "
                                                "forward dynamics (aba) and their derivatives called from Python.")
    bench_cmd.add_argument("--calls", type=_positive, default=50000, help="calls per algorithm (default 50000)")
    bench_cmd.add_argument("--rounds", type=_positive, default=5, help="rounds the calls are split into (default 5)")
    collide_cmd = commands.add_parser(
        "collide", parents=[robot, config], help="colliding pairs and the closest pair",
        description="Self-collision at a configuration: every pair of collision objects on different joints "
                    "that are not parent and child (less the pairs an SRDF file disables) is checked; lists the "
                    "colliding pairs with their penetration depth, and the closest pair that does not collide.")
    collide_cmd.add_argument("--srdf", default=None, metavar="FILE",
                             help="SRDF file whose <disable_collisions> entries are left out")
    collide_cmd.add_argument("--convex", action="store_true", help="read meshes as their convex hulls")
    plot_cmd = commands.add_parser("plot", parents=[robot, config],
                                   help="draw the robot into a PNG (needs matplotlib)",
                                   description="Draw the robot at a configuration: links as segments between "
                                               "joint origins, collision primitives as wireframes, meshes as "
                                               "shaded surfaces, objects in collision in red. Needs "
                                               "matplotlib (pip install 'velmora[plot]').")
    plot_cmd.add_argument("-o", "--output", default=None, metavar="PNG",
                          help="file to write (default: <robot name>.png in the current folder)")
    _add_ik_parser(commands, robot, config)
    return parser


def _negative_number(text: str) -> bool:
    return text.startswith("-") and (text[1:2].isdigit() or text[1:2] == ".")


# Options whose value is a list of numbers, which may start with a minus sign.
NUMBER_LIST_OPTIONS = ("--q", "--target", "--rpy")


def _join_negative_q(argv: List[str]) -> List[str]:
    """Lets `--q -1,0.5` through: argparse would take the value for an option because of its '-'."""
    out = []
    i = 0
    while i < len(argv):
        if argv[i] in NUMBER_LIST_OPTIONS and i + 1 < len(argv) and _negative_number(argv[i + 1]):
            out.append(argv[i] + "=" + argv[i + 1])
            i += 2
        else:
            out.append(argv[i])
            i += 1
    return out


def _load_for_model(args: argparse.Namespace) -> Robot:
    """The robot, for a command that needs only its model. When the geometry cannot be
    loaded (a mesh file not on disk, a malformed <geometry>) but the model can, says why
    on one line of stderr and goes on with the model and empty geometry models."""
    root_joint = getattr(args, "root_joint", None)  # the commands that offer --root-joint
    try:
        return load(args.urdf, args.package_dir, root_joint)
    except ToolError as exc:
        velmora = import_velmora()
        path = sample_urdf() if args.urdf is None else args.urdf
        try:
            model = velmora.build_model_from_urdf(path, root_joint=root_joint_model(root_joint))
        except ValueError as model_exc:
            raise ToolError(str(model_exc)) from None
        print(f"velmora {args.command}: geometry not loaded ({exc}); going on with the model alone", file=sys.stderr)
        return Robot(path, model, velmora.GeometryModel(), velmora.GeometryModel(), read_urdf_limits(path))


def _info(args: argparse.Namespace) -> None:
    print(report.info(_load_for_model(args)))


def _fk(args: argparse.Namespace) -> None:
    velmora = import_velmora()
    robot = _load_for_model(args)
    q, how = configuration(robot, args.q)
    data = robot.model.create_data()
    velmora.forward_kinematics(robot.model, data, q)
    print(report.fk(robot, data, q, how))


def _dynamics(args: argparse.Namespace) -> None:
    velmora = import_velmora()
    robot = _load_for_model(args)
    model = robot.model
    q, how = configuration(robot, args.q)
    data = model.create_data()
    g, mass = gravity_and_mass_matrix(robot, data, q)
    round_trip = None
    if model.nv:
        rng = np.random.default_rng()
        v, a = rng.uniform(-1.0, 1.0, model.nv), rng.uniform(-1.0, 1.0, model.nv)
        tau = velmora.rnea(model, data, q, v, a).to_numpy()
        round_trip = float(np.max(np.abs(velmora.aba(model, data, q, v, tau).to_numpy() - a)))
    print(report.dynamics(robot, q, how, g, mass, round_trip))


def _bench(args: argparse.Namespace) -> None:
    robot = _load_for_model(args)
    timings = bench.run(robot, args.calls, args.rounds)
    print(bench.report(robot, timings, args.calls, args.rounds))


def _collide(args: argparse.Namespace) -> None:
    velmora = import_velmora()
    robot = load(args.urdf, args.package_dir)
    q, how = configuration(robot, args.q)
    geometry = robot.collision
    try:
        geometry.add_all_collision_pairs()
        if args.srdf:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                geometry.remove_collision_pairs_from_srdf(args.srdf)
            for w in caught:
                print(f"velmora collide: warning: {w.message}", file=sys.stderr)
        geometry.load_meshes(convex=args.convex)
        data = robot.model.create_data()
        placed = geometry.create_data(data)
        # Forward kinematics, the shapes placed and the check in one call; the distances
        # then read the same placements.
        colliding = velmora.compute_collisions(robot.model, data, geometry, placed, q)
        results = velmora.compute_distances(geometry, placed)
    except ValueError as exc:
        raise ToolError(str(exc)) from None
    print(_collision_report(robot, q, how, colliding, results))


def _collision_report(robot: Robot, q: np.ndarray, how: str, colliding: List[Tuple[int, int]],
                      results: List[velmora.DistanceResult]) -> str:
    names = [o.name for o in robot.collision.geometry_objects]
    depth = {r.pair: -r.distance for r in results}
    out = [f"Robot '{robot.name}'", report.configuration_line(q, how),
           f"{len(names)} collision objects, {len(results)} pairs checked", ""]
    if colliding:
        out.append(f"Colliding pairs ({len(colliding)}), penetration depth in m:")
        rows = [[names[i], names[j], report.fixed(max(depth[(i, j)], 0.0), 6)] for i, j in colliding]
        out.append(report.table(["object", "object", "depth"], rows, [False, False, True]))
    else:
        out.append("No colliding pairs.")
    apart = [r for r in results if r.pair not in set(colliding)]
    if apart:
        r = min(apart, key=lambda r: r.distance)
        i, j = r.pair
        out += ["", f"Closest pair not colliding: {names[i]} - {names[j]} at {report.fixed(r.distance, 6)} m",
                f"  points {format_q(r.point_i)} and {format_q(r.point_j)}"]
    return "\n".join(out)


def _plot(args: argparse.Namespace) -> None:
    plot.require_matplotlib()  # a missing matplotlib is reported before any work
    robot = load(args.urdf, args.package_dir)
    q, how = configuration(robot, args.q)
    output = args.output or f"{robot.name or 'robot'}.png"
    outlines, meshes = plot.draw(robot, q, how, output)
    print(f"Robot '{robot.name}'\n{report.configuration_line(q, how)}")
    print(f"Wrote {output}: {len(robot.model.joint_names) - 1} joints, "
          f"{robot.collision.ngeoms} collision objects ({meshes} meshes)")


def _find_frame(model: velmora.Model, name: Optional[str]) -> int:
    """The id of the frame called `name` (a body frame first where a joint frame shares the name)."""
    frames = model.frames
    if name is None:
        return len(frames) - 1
    matches = [i for i, f in enumerate(frames) if f.name == name]
    if not matches:
        raise ToolError(f"robot '{model.name}' has no frame named {name!r} (see velmora info)", status=2)
    bodies = [i for i in matches if int(frames[i].frame_type) == FRAME_TYPES.index("body")]
    return (bodies or matches)[0]


def _ik(args: argparse.Namespace) -> None:
    robot = _load_for_model(args)
    model = robot.model
    frame_id = _find_frame(model, args.frame)
    q0, how = configuration(robot, args.q if args.q is not None else "neutral")
    rotation = ik.rpy_matrix(*args.rpy) if args.rpy is not None else None
    try:
        result = ik.solve(model, frame_id, args.target, rotation, q0, robot.limits, args.tolerance,
                          args.max_iterations)
    except ValueError as exc:
        raise ToolError(str(exc)) from None
    frame = model.frames[frame_id].name
    residual = f"{result.position_error:.3g} m" + (f", {result.orientation_error:.3g} rad" if rotation is not None else "")
    if not result.converged:
        raise ToolError(f"no configuration puts frame '{frame}' at the target within {args.tolerance:g} "
                        f"(best residual {residual} after {result.iterations} iterations and "
                        f"{result.restarts} restarts): the target may be out of reach or outside the joint limits")
    target = ",".join(f"{x:g}" for x in args.target) + (f" rpy {','.join(f'{x:g}' for x in args.rpy)}"
                                                         if args.rpy is not None else "")
    print(f"Robot '{model.name}', frame '{frame}' (id {frame_id}) at {target}, starting from the {how} configuration")
    print(f"solution q: {','.join(repr(float(x)) for x in result.q)}")
    print(f"residual: {residual}")
    print(f"iterations: {result.iterations} ({result.restarts} restarts)")


COMMANDS = {"info": _info, "fk": _fk, "dynamics": _dynamics, "bench": _bench, "collide": _collide, "plot": _plot,
            "ik": _ik}


def main(argv: Optional[List[str]] = None) -> int:
    """Runs one command; returns the exit status (0 success, 1 failure, 2 bad usage)."""
    parser = build_parser()
    argv = _join_negative_q(list(sys.argv[1:] if argv is None else argv))
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else 2
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        COMMANDS[args.command](args)
        sys.stdout.flush()  # a closed pipe shows here, not at interpreter exit
    except ToolError as exc:
        print(f"velmora {args.command}: error: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        print("velmora: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`velmora info | head`): stop quietly, without a second error at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    return 0
