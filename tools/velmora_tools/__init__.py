"""Command-line companion of velmora: inspect a URDF robot, place it, compute its
dynamics, time the algorithms and draw it.

Run ``velmora --help`` (or ``python -m velmora_tools --help``). Without a URDF path every
command works on the bundled sample robot, :func:`sample_urdf`.
"""
from pathlib import Path

__version__ = "0.1.0"

__all__ = ["__version__", "sample_urdf"]


def sample_urdf() -> str:
    """Path of the bundled sample robot: a six-axis arm with a one-finger gripper."""
    return str(Path(__file__).resolve().parent / "data" / "sample_arm.urdf")
