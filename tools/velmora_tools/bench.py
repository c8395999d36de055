"""Per-call cost of forward kinematics, inverse dynamics and forward dynamics from Python."""
from __future__ import annotations

import statistics
import sys
import time
from typing import Callable, List, NamedTuple, Optional, TextIO

import numpy as np

from velmora_tools.robot import Robot, ToolError, import_velmora

STATES = 64  # distinct random states the calls cycle through


class Timing(NamedTuple):
    name: str
    best: float    # seconds per call, fastest round
    median: float  # seconds per call, median round


class Progress:
    """Progress on a stream: a bar redrawn in place on a terminal, one line per step otherwise."""

    def __init__(self, stream: TextIO, total: int):
        self.stream, self.total, self.done = stream, total, 0
        self.live = bool(getattr(stream, "isatty", lambda: False)())
        self.label = ""

    def start(self, label: str) -> None:
        self.label = label
        if not self.live:
            self.stream.write(f"bench: timing {label} ...\n")
            self.stream.flush()
        self._draw()

    def advance(self) -> None:
        self.done += 1
        self._draw()

    def finish(self) -> None:
        if self.live:
            self.stream.write("\r\033[K")
            self.stream.flush()

    def _draw(self) -> None:
        if not self.live:
            return
        width = 30
        filled = width * self.done // self.total
        self.stream.write(f"\r\033[Kbench [{'#' * filled}{'.' * (width - filled)}] "
                          f"{100 * self.done // self.total:3d}%  {self.label}")
        self.stream.flush()


def _time_round(call: Callable[[int], object], calls: int) -> float:
    start = time.perf_counter()
    for i in range(calls):
        call(i % STATES)
    return (time.perf_counter() - start) / calls


def run(robot: Robot, calls: int, rounds: int, progress_stream: Optional[TextIO] = None) -> List[Timing]:
    """Times each algorithm over `rounds` rounds of `calls // rounds` calls (at least one call each).

    Progress goes to progress_stream, standard error by default.
    """
    velmora = import_velmora()
    model = robot.model
    data = model.create_data()
    rng = np.random.default_rng()
    try:
        qs = [velmora.random_configuration(model).to_numpy() for _ in range(STATES)]
    except ValueError as exc:
        raise ToolError(f"cannot draw random configurations: {exc}") from None
    vs = [rng.uniform(-1.0, 1.0, model.nv) for _ in range(STATES)]
    accs = [rng.uniform(-1.0, 1.0, model.nv) for _ in range(STATES)]
    taus = [velmora.rnea(model, data, q, v, a).to_numpy() for q, v, a in zip(qs, vs, accs)]
    fk, rnea, aba = velmora.forward_kinematics, velmora.rnea, velmora.aba
    # The batch functions take all the states in one call (on the calling thread only);
    # their figures are per state, the call's cost divided by the number of states.
    Q, V, A, T = (np.array(x).reshape(STATES, -1) for x in (qs, vs, accs, taus))
    rnea_derivatives, aba_derivatives = velmora.rnea_derivatives, velmora.aba_derivatives
    cases = [
        ("forward_kinematics", 1, lambda i: fk(model, data, qs[i])),
        ("rnea", 1, lambda i: rnea(model, data, qs[i], vs[i], accs[i])),
        ("aba", 1, lambda i: aba(model, data, qs[i], vs[i], taus[i])),
        ("rnea_derivatives", 1, lambda i: rnea_derivatives(model, data, qs[i], vs[i], accs[i])),
        ("aba_derivatives", 1, lambda i: aba_derivatives(model, data, qs[i], vs[i], taus[i])),
        ("rnea_batch, per state", STATES, lambda i: velmora.rnea_batch(model, Q, V, A, threads=1)),
        ("aba_batch, per state", STATES, lambda i: velmora.aba_batch(model, Q, V, T, threads=1)),
        ("rnea_derivatives_batch, per state", STATES,
         lambda i: velmora.rnea_derivatives_batch(model, Q, V, A, threads=1)),
        ("aba_derivatives_batch, per state", STATES,
         lambda i: velmora.aba_derivatives_batch(model, Q, V, T, threads=1)),
    ]
    per_round = max(1, calls // rounds)
    progress = Progress(sys.stderr if progress_stream is None else progress_stream, len(cases) * rounds)
    timings = []
    try:
        for name, states, call in cases:
            progress.start(name)
            _time_round(call, max(1, min(per_round, 200) // states))  # warm up caches and the allocator
            samples = []
            for _ in range(rounds):
                samples.append(_time_round(call, max(1, per_round // states)) / states)
                progress.advance()
            timings.append(Timing(name, min(samples), statistics.median(samples)))
    finally:
        progress.finish()
    return timings


def report(robot: Robot, timings: List[Timing], calls: int, rounds: int) -> str:
    model = robot.model
    per_round = max(1, calls // rounds)
    out = [f"Robot '{model.name}': {model.njoints - 1} joints besides the universe, nq = {model.nq}, nv = {model.nv}",
           f"Per-call cost from Python, argument checks and result arrays included "
           f"({rounds} rounds of {per_round} calls, random states):"]
    width = max(len(t.name) for t in timings)
    for t in timings:
        out.append(f"  {t.name:<{width}}  {t.best * 1e6:8.2f} us best  {t.median * 1e6:8.2f} us median"
                   f"  ({1.0 / t.best:,.0f} calls/s)")
    return "\n".join(out)
