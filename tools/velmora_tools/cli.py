"""The `velmora` command: inspect, place, weigh, time and draw a URDF robot."""
from __future__ import annotations

import argparse
import os
import sys
from typing import List, Optional

import numpy as np

from velmora_tools import __version__, bench, plot, report, sample_urdf
from velmora_tools.robot import (ToolError, configuration, gravity_and_mass_matrix, import_velmora, load,
                                 parse_q_option)

DESCRIPTION = """\
Kinematics and dynamics of a URDF robot with velmora. Every command takes the URDF path
(default: the bundled sample arm) and --package-dir, the folder relative mesh names
start from."""

EPILOG = """\
examples:
  velmora info
  velmora fk --q 0,0.5,1.2,0,0.6,0,0.04
  velmora dynamics path/to/robot.urdf --package-dir path/to --q neutral
  velmora bench --calls 200000
  velmora plot --q random -o arm.png"""


def _q_type(text: str):
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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="velmora", description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"velmora tools {__version__}")

    robot = argparse.ArgumentParser(add_help=False)
    robot.add_argument("urdf", nargs="?", default=None,
                       help=f"URDF file (default: the sample arm, {os.path.basename(sample_urdf())})")
    robot.add_argument("--package-dir", default=None, metavar="DIR",
                       help="folder that relative mesh file names are resolved against")
    config = argparse.ArgumentParser(add_help=False)
    config.add_argument("--q", type=_q_type, default=None, metavar="Q",
                        help="configuration: nq numbers separated by commas (a continuous joint "
                             "takes cos,sin), 'neutral' or 'random' (the default)")

    commands = parser.add_subparsers(dest="command", metavar="command")
    commands.add_parser("info", parents=[robot], help="joints, bodies and mass, frames, geometry counts",
                        description="Print the model as tables: joints with their limits, the bodies "
                                    "and total mass, the frames, the collision and visual objects.")
    commands.add_parser("fk", parents=[robot, config], help="world placement of every frame",
                        description="Forward kinematics: the world placement of every frame.")
    commands.add_parser("dynamics", parents=[robot, config], help="gravity torques and mass matrix",
                        description="Gravity torques g(q) and the mass matrix M(q), from inverse "
                                    "dynamics, and a forward-dynamics round trip.")
    bench_cmd = commands.add_parser("bench", parents=[robot], help="per-call cost of the algorithms",
                                    description="Time forward kinematics, inverse dynamics (rnea), "
                                                "forward dynamics (aba) and their derivatives called from Python.")
    bench_cmd.add_argument("--calls", type=_positive, default=50000, help="calls per algorithm (default 50000)")
    bench_cmd.add_argument("--rounds", type=_positive, default=5, help="rounds the calls are split into (default 5)")
    plot_cmd = commands.add_parser("plot", parents=[robot, config],
                                   help="draw the robot into a PNG (needs matplotlib)",
                                   description="Draw the robot at a configuration: links as segments between "
                                               "joint origins, collision primitives as wireframes. Needs "
                                               "matplotlib (pip install 'velmora[plot]').")
    plot_cmd.add_argument("-o", "--output", default=None, metavar="PNG",
                          help="file to write (default: <robot name>.png in the current folder)")
    return parser


def _negative_number(text: str) -> bool:
    return text.startswith("-") and (text[1:2].isdigit() or text[1:2] == ".")


def _join_negative_q(argv: List[str]) -> List[str]:
    """Lets `--q -1,0.5` through: argparse would take the value for an option because of its '-'."""
    out = []
    i = 0
    while i < len(argv):
        if argv[i] == "--q" and i + 1 < len(argv) and _negative_number(argv[i + 1]):
            out.append("--q=" + argv[i + 1])
            i += 2
        else:
            out.append(argv[i])
            i += 1
    return out


def _info(args) -> None:
    print(report.info(load(args.urdf, args.package_dir)))


def _fk(args) -> None:
    velmora = import_velmora()
    robot = load(args.urdf, args.package_dir)
    q, how = configuration(robot, args.q)
    data = robot.model.create_data()
    velmora.forward_kinematics(robot.model, data, q)
    print(report.fk(robot, data, q, how))


def _dynamics(args) -> None:
    velmora = import_velmora()
    robot = load(args.urdf, args.package_dir)
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


def _bench(args) -> None:
    robot = load(args.urdf, args.package_dir)
    timings = bench.run(robot, args.calls, args.rounds)
    print(bench.report(robot, timings, args.calls, args.rounds))


def _plot(args) -> None:
    plot.require_matplotlib()  # a missing matplotlib is reported before any work
    robot = load(args.urdf, args.package_dir)
    q, how = configuration(robot, args.q)
    output = args.output or f"{robot.name or 'robot'}.png"
    outlines, meshes = plot.draw(robot, q, how, output)
    print(f"Robot '{robot.name}'\n{report.configuration_line(q, how)}")
    print(f"Wrote {output}: {len(robot.model.joint_names) - 1} joints, "
          f"{robot.collision.ngeoms} collision objects ({meshes} meshes shown by their origin)")


COMMANDS = {"info": _info, "fk": _fk, "dynamics": _dynamics, "bench": _bench, "plot": _plot}


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
