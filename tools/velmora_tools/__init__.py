"""Command-line companion of velmora: inspect a URDF robot, place it, compute its
dynamics, time the algorithms and draw it.

Run ``velmora --help`` (or ``python -m velmora_tools --help``). Without a URDF path every
command works on the bundled sample robot, :func:`sample_urdf`.
"""
from pathlib import Path

__all__ = ["__version__", "sample_urdf"]


def __getattr__(name: str) -> str:
    # __version__ is the velmora module's own (written once, in pyproject.toml), read on first
    # use so that importing the tools does not load the extension.
    if name == "__version__":
        from velmora_tools.robot import import_velmora
        version: str = import_velmora().__version__
        return version
    raise AttributeError(f"module 'velmora_tools' has no attribute {name!r}")


def sample_urdf() -> str:
    """Path of the bundled sample robot: a six-axis arm with a one-finger gripper."""
    return str(Path(__file__).resolve().parent / "data" / "sample_arm.urdf")
