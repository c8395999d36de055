"""Velmora against the engines a user would otherwise pick: MuJoCo, pybullet, DART and KDL.

Nine operations per robot, timed per call from Python in one interleaved run:

  fk    forward kinematics: world placement of every joint frame for a configuration
  jac   frame Jacobian at a new configuration: the (6, nv) Jacobian, angular rows then
        the velocity of the frame's origin, world-aligned axes, of the last link (the
        child link of the model's last moving joint)
  id    inverse dynamics: joint torques for (q, v, a), gravity (0, 0, -9.81)
  fd    forward dynamics: joint accelerations for (q, v, tau)
  M     mass matrix: the joint-space inertia matrix M(q), both triangles
  bias  bias forces C(q, v) v + g(q): the efforts at zero acceleration
  Minv  inverse mass matrix M(q)^-1
  did   inverse dynamics derivatives: dtau/dq and dtau/dv at (q, v, a) (only MuJoCo
        among the peers has a call for them, by finite differences)
  load  reading the robot file into a model

Robots: every robot of tests/robots that has reference values (their 25 random states
are the ones timed) and the sample arm of velmora_tools when it is there (states drawn
here, seeded). Every engine reads the same dynamics-only copy of each URDF: links keep
their <inertial> (a link without one gets an explicit zero inertial, since the engines
default to different masses), joints keep origin, parent, child, axis and limit; visual
and collision geometry, <dynamics> (damping, friction), <mimic>, transmissions and
plugins are dropped, so that every engine models the same rigid-body system.

Before timing, each engine's numbers are checked against velmora's on every state
(joints matched by name, continuous joints given as angles to the peers); velmora's own
numbers are checked against the stored reference values. A peer that does not agree on
a robot and operation is reported and not timed there, and the script then exits with
status 1. The table gives medians over rounds and the ratio peer / velmora. Times are
the process's CPU time per call unless --clock wall is given: on a shared machine this
leaves out the time spent waiting for other processes.

What each engine's call does (the fastest agreeing path is timed where there are two):
  velmora   forward_kinematics / frame_jacobian (MIXED; the faster of a new array and out=, a
            prepared array, as MuJoCo and KDL write into one) / rnea / aba / mass_matrix (the
            same two ways, as MuJoCo's mj_fullM writes into a prepared array) / bias_forces /
            inverse_mass_matrix / rnea_derivatives / build_models_from_urdf
  MuJoCo    fk: qpos, mj_kinematics.  id: qpos, qvel, qacc, then either mj_kinematics,
            mj_comPos, mj_comVel, mj_rne(flg_acc=1), or mj_inverse.  jac: qpos,
            mj_kinematics, mj_comPos, mj_jacBody.  fd: qpos, qvel,
            qfrc_applied, mj_forward (constraints disabled), or the chain mj_kinematics,
            mj_comPos, mj_crb, mj_factorM, mj_comVel, mj_rne(flg_acc=0), mj_solveM.
            M: qpos, mj_kinematics, mj_comPos, mj_crb, mj_fullM.  bias: qpos, qvel,
            mj_kinematics, mj_comPos, mj_comVel, mj_rne(flg_acc=0).  Minv: qpos,
            mj_kinematics, mj_comPos, mj_crb, mj_factorM, mj_solveM on the identity.
            did: qpos, qvel, qacc, mjd_inverseFD (its own step, 1e-6, no actuation).
            load: MjModel.from_xml_path (static bodies fused when that agrees).
  pybullet  fk: resetJointStatesMultiDof (or one resetJointState per joint), then
            getLinkStates(computeForwardKinematics=1).  jac: calculateJacobian at the
            link frame's origin.
            id: calculateInverseDynamics.
            fd: pybullet has no forward-dynamics call that takes a state; stepping
            integrates and adds its constraint solver, so it is not the same work. What
            is timed is the solve a user writes: calculateMassMatrix(q),
            calculateInverseDynamics(q, v, 0) for the bias torques h, and
            numpy.linalg.solve(M, tau - h).  M: calculateMassMatrix(q).  bias:
            calculateInverseDynamics(q, v, 0).  Minv: numpy.linalg.inv of
            calculateMassMatrix(q).  load: loadURDF(useFixedBase,
            URDF_USE_INERTIA_FROM_FILE) in a DIRECT client (removeBody outside the timing).
  KDL       jac only (PyKDL from Debian's python3-pykdl, when installed): the chain from
            the root link to the last link, ChainJntToJacSolver.JntToJac on a JntArray
            made beforehand, or filled from the NumPy configuration in the call.
  DART      fk: setPositions, computeForwardKinematics(transforms only).  jac:
            setPositions, the skeleton's getWorldJacobian of the link's body node.  id:
            setPositions, setVelocities, setAccelerations, computeInverseDynamics,
            getForces.  fd: setPositions, setVelocities, setForces,
            computeForwardDynamics, getAccelerations.  M: setPositions,
            getMassMatrix.  bias: setPositions, setVelocities, getCoriolisAndGravityForces.
            Minv: setPositions, getInvMassMatrix, or numpy.linalg.inv(getMassMatrix) where
            getInvMassMatrix disagrees with it (bodies of zero mass: the Panda).  load: DartLoader.parseSkeleton with
            a fixed root joint.

    PYTHONPATH=build/python .venv/bin/python benchmarks/peers.py [--rounds 21] [--batch-ms 8]
        [--robots kuka_iiwa,nao] [--ops fk,id] [--clock cpu|wall] [--json results.json]
"""
import argparse
import contextlib
import gc
import json
import math
import os
import statistics
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from pathlib import Path

# One BLAS thread: the matrices here are small, and on a machine with few cores the
# worker threads' busy waiting would take time from the timed calls of every engine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velmora as vm  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
ROBOTS_DIR = ROOT / "tests" / "robots"
# The sample arm shipped with velmora_tools; it has no stored reference values, so its
# states are drawn here and velmora's numbers on them are only compared with the peers.
SAMPLE_ROBOT = ROOT / "tools" / "velmora_tools" / "data" / "sample_arm.urdf"
OPS = ("fk", "jac", "id", "fd", "M", "bias", "Minv", "did", "load")
OP_TITLES = {"fk": "forward kinematics", "jac": "frame Jacobian", "id": "inverse dynamics", "fd": "forward dynamics",
             "M": "mass matrix", "bias": "bias forces", "Minv": "inverse mass matrix",
             "did": "inverse dynamics derivatives", "load": "URDF load"}
GRAVITY = (0.0, 0.0, -9.81)
TARGET_RATIO = 5.0
# The derivatives against a peer that differentiates numerically: at least ten times faster.
TARGET_RATIOS = {"did": 10.0}

# Agreement tolerances. fk: largest absolute difference of the 4x4 world placements of
# the links both sides expose (metres and rotation entries). jac, id, fd, M, bias, Minv: largest
# absolute difference divided by max(1, largest magnitude of velmora's result); fd's and
# Minv's bounds also grow with the condition number of the mass matrix (cond * 1e-15), since every solver
# loses that many digits on it.
# did: dtau/dq and dtau/dv side by side; MuJoCo differentiates with forward differences of
# step 1e-6, which agree to a few 1e-6.
TOLERANCE = {"fk": 1e-9, "jac": 1e-9, "id": 1e-9, "fd": 1e-9, "M": 1e-9, "bias": 1e-9, "Minv": 1e-9, "did": 2e-5}
# pybullet hands link placements back in single precision (getLinkState rounds them to
# float32), whatever its internal precision: six digits is what it can agree to.
PEER_TOLERANCE = {("pybullet", "fk"): 2e-6}


# ----------------------------------------------------------------------------- helpers

class Refused(Exception):
    """An engine cannot represent this robot (said before any number is compared)."""


@contextlib.contextmanager
def quiet():
    """Sends what the engines' C and C++ code prints (loader chatter, warnings about
    zero masses and axes) to /dev/null for the duration."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, null):
            os.close(fd)


def dynamics_only_urdf(source, extra=None):
    """The URDF text of `source` reduced to what the dynamics read (see the module
    docstring). `extra` is an element appended to the robot element."""
    root = ET.parse(source).getroot()
    out = ET.Element("robot", name=root.get("name", "robot"))
    for element in root:
        if element.tag == "link":
            link = ET.SubElement(out, "link", name=element.get("name"))
            inertial = element.find("inertial")
            if inertial is None:
                inertial = ET.fromstring('<inertial><mass value="0"/>'
                                         '<inertia ixx="0" ixy="0" ixz="0" iyy="0" iyz="0" izz="0"/></inertial>')
            link.append(inertial)
        elif element.tag == "joint":
            joint = ET.SubElement(out, "joint", dict(element.attrib))
            for child in element:
                if child.tag in ("origin", "parent", "child", "axis", "limit"):
                    joint.append(child)
    # Some files write lists with trailing spaces ("0 0 0 "); not every parser takes that.
    for element in out.iter():
        for key in ("xyz", "rpy"):
            if key in element.attrib:
                element.set(key, " ".join(element.get(key).split()))
    if extra is not None:
        out.append(extra)
    return ET.tostring(out, encoding="unicode")


def joint_limits(urdf_path):
    """name -> (lower, upper) of the revolute and prismatic joints that state them."""
    limits = {}
    for joint in ET.parse(urdf_path).getroot().iter("joint"):
        limit = joint.find("limit")
        if limit is not None and "lower" in limit.attrib and "upper" in limit.attrib:
            limits[joint.get("name")] = (float(limit.get("lower")), float(limit.get("upper")))
    return limits


class Layout:
    """Velmora's coordinates: per velocity coordinate the joint name, its kind and its
    offsets in q and v (single-coordinate joints only, which is all URDF joints give)."""

    def __init__(self, model):
        self.names, self.kinds, self.iq, self.iv = [], [], [], []
        iq = iv = 0
        for name, joint in zip(model.joint_names, model.joint_models):
            if joint.nv == 1:
                self.names.append(name)
                self.kinds.append(str(joint.joint_type).rsplit(".", 1)[-1])
                self.iq.append(iq)
                self.iv.append(iv)
            elif joint.nv > 1:
                raise ValueError(f"joint {name!r} has {joint.nv} velocity coordinates")
            iq += joint.nq
            iv += joint.nv
        self.nq, self.nv = iq, iv

    def q_from_angles(self, theta):
        q = np.zeros(self.nq)
        for kind, iq, iv in zip(self.kinds, self.iq, self.iv):
            if kind == "Continuous":
                q[iq], q[iq + 1] = math.cos(theta[iv]), math.sin(theta[iv])
            else:
                q[iq] = theta[iv]
        return q


class Robot:
    """One robot: its dynamics-only file, velmora's model and the states to time."""

    def __init__(self, name, source, workdir, reference=None, samples=25, seed=7):
        self.name, self.source = name, source
        self.path = workdir / f"{name}.urdf"
        self.path.write_text(dynamics_only_urdf(source))
        self.workdir = workdir
        self.model, _, _ = vm.build_models_from_urdf(str(self.path))
        self.data = self.model.create_data()
        self.layout = Layout(self.model)
        if reference is not None:
            ref = np.load(reference / "reference.npz")
            self.reference = ref, json.loads((reference / "reference.json").read_text())
            self.theta, self.q = ref["theta"], ref["q"]
            self.v, self.a, self.tau = ref["v"], ref["a"], ref["tau_fd"]
        else:
            self.reference = None
            rng = np.random.default_rng(seed)
            limits = joint_limits(source)
            theta = np.empty((samples, self.layout.nv))
            for k, (name_k, kind) in enumerate(zip(self.layout.names, self.layout.kinds)):
                low, high = limits.get(name_k, (-math.pi, math.pi)) if kind != "Continuous" else (-math.pi, math.pi)
                if not (np.isfinite(low) and np.isfinite(high)) or high - low > 2 * math.pi:
                    low, high = -math.pi, math.pi
                theta[:, k] = rng.uniform(low, high, samples)
            self.theta = theta
            self.q = np.array([self.layout.q_from_angles(t) for t in theta])
            self.v = rng.uniform(-2, 2, (samples, self.layout.nv))
            self.a = rng.uniform(-2, 2, (samples, self.layout.nv))
            self.tau = rng.uniform(-5, 5, (samples, self.layout.nv))
        self.samples = len(self.q)
        self.q = [np.ascontiguousarray(x) for x in self.q]
        self.v = [np.ascontiguousarray(x) for x in self.v]
        self.a = [np.ascontiguousarray(x) for x in self.a]
        self.tau = [np.ascontiguousarray(x) for x in self.tau]
        self.body_frames = {f.name: f for f in self.model.frames if str(f.frame_type).endswith("Body")}
        # The last link: the child link of the last moving joint, whose body frame is the
        # first one on that joint (the links welded to it by fixed joints come after).
        last_joint = max(i for i, j in enumerate(self.model.joint_models) if j.nv > 0)
        self.last_link_frame = next(i for i, f in enumerate(self.model.frames)
                                    if f.parent_joint == last_joint and str(f.frame_type).endswith("Body"))
        self.last_link = self.model.frames[self.last_link_frame].name
        self._truth()

    def mass_matrix(self, k):
        """Column j is rnea(q, 0, e_j) - rnea(q, 0, 0)."""
        q, nv = self.q[k], self.layout.nv
        zero = np.zeros(nv)
        g = vm.rnea(self.model, self.data, q, zero, zero).to_numpy()
        return np.column_stack([vm.rnea(self.model, self.data, q, zero, e).to_numpy() - g for e in np.eye(nv)])

    def _truth(self):
        """Velmora's numbers on every state: what the peers are compared with."""
        self.placements, self.tau_id, self.ddq, self.fd_tolerance, self.M = [], [], [], [], []
        self.bias, self.Minv, self.did = [], [], []
        self.fd_error = None
        self.jacobians = [vm.frame_jacobian(self.model, self.data, q, self.last_link_frame, vm.Representation.MIXED)
                          for q in self.q]
        for k in range(self.samples):
            vm.forward_kinematics(self.model, self.data, self.q[k])
            self.placements.append({name: (self.data.oMi[f.parent_joint] * f.placement).homogeneous
                                    for name, f in self.body_frames.items()})
            self.tau_id.append(vm.rnea(self.model, self.data, self.q[k], self.v[k], self.a[k]).to_numpy())
            # The mass matrix from inverse dynamics, column by column: what every engine's
            # mass matrix, velmora's own included, is checked against.
            self.M.append(self.mass_matrix(k))
            zero = np.zeros(self.layout.nv)
            self.bias.append(vm.rnea(self.model, self.data, self.q[k], self.v[k], zero).to_numpy())
            self.did.append(derivative_pair(vm.rnea_derivatives(self.model, self.data, self.q[k], self.v[k],
                                                                self.a[k])))
            cond = np.linalg.cond(self.M[k]) if self.layout.nv else 1.0
            self.Minv.append(np.linalg.inv(self.M[k]) if cond < 1e14 else None)
            self.fd_tolerance.append(max(TOLERANCE["fd"], cond * 1e-15))
            try:
                self.ddq.append(vm.aba(self.model, self.data, self.q[k], self.v[k], self.tau[k]).to_numpy())
            except ValueError as e:  # a singular mass matrix: no accelerations to compare
                self.fd_error = str(e)
                self.ddq.append(None)

    def check_reference(self):
        """Velmora on the dynamics-only copy against the values stored with the original
        file: the copy must describe the same system. Returns a list of failures."""
        if self.reference is None:
            return []
        ref, meta = self.reference
        tol = meta.get("suggested_tolerance", {})
        failures = []
        worst = {"oMl": 0.0, "J": 0.0, "tau": 0.0, "ddq": 0.0, "M": 0.0}
        link_index = meta["link_names"].index(self.last_link)
        for k in range(self.samples):
            worst["J"] = max(worst["J"], relative(self.jacobians[k], ref["J"][k, link_index]))
            for l, link in enumerate(meta["link_names"]):
                if link in self.placements[k]:
                    worst["oMl"] = max(worst["oMl"], np.abs(self.placements[k][link] - ref["oMl"][k, l]).max())
            worst["tau"] = max(worst["tau"], relative(self.tau_id[k], ref["tau"][k]))
            worst["M"] = max(worst["M"], relative(vm.mass_matrix(self.model, self.data, self.q[k]), ref["M"][k]))
            if self.ddq[k] is not None and meta.get("forward_dynamics_defined", True):
                worst["ddq"] = max(worst["ddq"], relative(self.ddq[k], ref["ddq"][k]))
        for key, value in worst.items():
            if value > tol.get(key, 1e-9):
                failures.append(f"{self.name}: velmora {key} differs from the reference values by {value:.1e}")
        return failures


def derivative_pair(result):
    """dtau/dq and dtau/dv of one state as one flat vector, in velmora's coordinate order."""
    return np.concatenate([result[0].ravel(), result[1].ravel()])


def no_call(op):
    """Why an engine's cell is empty when the engine has no call for the operation."""
    return f"no {OP_TITLES[op]} call through this interface"


def relative(x, truth):
    return float(np.abs(np.asarray(x) - truth).max() / max(1.0, np.abs(truth).max())) if len(truth) else 0.0


def placement_error(got, truth):
    common = [name for name in got if name in truth]
    if not common:
        return math.inf
    return max(float(np.abs(got[name] - truth[name]).max()) for name in common)


# ------------------------------------------------------------------------------ engines
#
# An engine opens a robot into an instance. An instance offers, per operation, one or
# more candidates (label, call, per-state argument tuples, extract): `call(*args)` is
# what is timed; `extract(k, returned)` turns what the call left behind into velmora's
# layout (a torque or acceleration vector, or link name -> 4x4 placement) for the check.

class Velmora:
    name = "velmora"
    variants = ("default",)

    def load(self, robot, variant):
        return vm.build_models_from_urdf, str(robot.path), None

    def open(self, robot, variant):
        m, d = robot.model, robot.data
        n = range(robot.samples)
        frames = robot.body_frames
        jacobian = np.empty((6, m.nv))
        mass = np.empty((m.nv, m.nv))

        def placements(k, _):
            return {name: (d.oMi[f.parent_joint] * f.placement).homogeneous for name, f in frames.items()}

        return {
            "fk": [("forward_kinematics", vm.forward_kinematics, [(m, d, robot.q[k]) for k in n], placements)],
            # Timed both ways, as KDL and MuJoCo are timed writing into a Jacobian made once.
            "jac": [("frame_jacobian", vm.frame_jacobian,
                     [(m, d, robot.q[k], robot.last_link_frame, vm.Representation.MIXED) for k in n],
                     lambda k, r: r),
                    ("frame_jacobian into a prepared array (out=)", vm.frame_jacobian,
                     [(m, d, robot.q[k], robot.last_link_frame, vm.Representation.MIXED, jacobian) for k in n],
                     lambda k, r: r.copy())],
            "id": [("rnea", vm.rnea, [(m, d, robot.q[k], robot.v[k], robot.a[k]) for k in n],
                    lambda k, r: r.to_numpy())],
            "fd": [("aba", vm.aba, [(m, d, robot.q[k], robot.v[k], robot.tau[k]) for k in n],
                    lambda k, r: r.to_numpy())],
            # Both ways too: MuJoCo's mj_fullM writes into a matrix made once.
            "M": [("mass_matrix", vm.mass_matrix, [(m, d, robot.q[k]) for k in n], lambda k, r: r),
                  ("mass_matrix into a prepared array (out=)", vm.mass_matrix,
                   [(m, d, robot.q[k], mass) for k in n], lambda k, r: r.copy())],
            "bias": [("bias_forces", vm.bias_forces, [(m, d, robot.q[k], robot.v[k]) for k in n], lambda k, r: r)],
            "Minv": [("inverse_mass_matrix", vm.inverse_mass_matrix, [(m, d, robot.q[k]) for k in n],
                      lambda k, r: r)],
            "did": [("rnea_derivatives", vm.rnea_derivatives,
                     [(m, d, robot.q[k], robot.v[k], robot.a[k]) for k in n], lambda k, r: derivative_pair(r))],
        }


class MuJoCo:
    name = "MuJoCo"
    load_label = "MjModel.from_xml_path"
    # Fusing the bodies welded by fixed joints is MuJoCo's default for URDF and makes its
    # passes shorter, but the fusion drops the rotational inertia of a massless body (the
    # Panda's link8): where the fused model does not agree, the unfused one is used.
    variants = ("fused", "unfused")

    def __init__(self):
        import mujoco
        self.mj = mujoco

    def _file(self, robot, variant):
        path = robot.workdir / f"{robot.name}.mujoco-{variant}.urdf"
        if not path.exists():
            extra = ET.Element("mujoco")
            ET.SubElement(extra, "compiler", discardvisual="true",
                          fusestatic="true" if variant == "fused" else "false")
            path.write_text(dynamics_only_urdf(robot.source, extra))
        return str(path)

    def load(self, robot, variant):
        return self.mj.MjModel.from_xml_path, self._file(robot, variant), None

    def open(self, robot, variant):
        mj = self.mj
        try:
            m = mj.MjModel.from_xml_path(self._file(robot, variant))
        except ValueError as e:
            raise Refused(f"the compiler refuses the file: {str(e).splitlines()[0]}") from None
        m.opt.gravity[:] = GRAVITY
        m.opt.disableflags |= int(mj.mjtDisableBit.mjDSBL_CONSTRAINT)
        if m.dof_damping.any() or m.dof_armature.any() or m.dof_frictionloss.any():
            raise Refused("damping, armature or friction loss left on a joint")
        d = mj.MjData(m)
        qadr = np.array([m.jnt_qposadr[m.joint(name).id] for name in robot.layout.names], dtype=int)
        dadr = np.array([m.jnt_dofadr[m.joint(name).id] for name in robot.layout.names], dtype=int)
        if m.nq != len(qadr) or m.nv != len(dadr):
            raise Refused(f"{m.nq} positions and {m.nv} velocities for {len(qadr)} joints")

        def place(x, adr, size):
            y = np.zeros(size)
            y[adr] = x
            return y

        n = range(robot.samples)
        Q = [place(robot.theta[k], qadr, m.nq) for k in n]
        V = [place(robot.v[k], dadr, m.nv) for k in n]
        A = [place(robot.a[k], dadr, m.nv) for k in n]
        T = [place(robot.tau[k], dadr, m.nv) for k in n]
        out = np.zeros(m.nv)
        bodies = [(b, m.body(b).name) for b in range(1, m.nbody)]

        def fk(q):
            d.qpos[:] = q
            mj.mj_kinematics(m, d)

        def fk_extract(k, _):
            result = {}
            for b, name in bodies:
                h = np.eye(4)
                h[:3, :3] = d.xmat[b].reshape(3, 3)
                h[:3, 3] = d.xpos[b]
                result[name] = h
            return result

        def id_chain(q, v, a):
            d.qpos[:] = q
            d.qvel[:] = v
            d.qacc[:] = a
            mj.mj_kinematics(m, d)
            mj.mj_comPos(m, d)
            mj.mj_comVel(m, d)
            mj.mj_rne(m, d, 1, out)

        def id_inverse(q, v, a):
            d.qpos[:] = q
            d.qvel[:] = v
            d.qacc[:] = a
            mj.mj_inverse(m, d)

        def fd_forward(q, v, tau):
            d.qpos[:] = q
            d.qvel[:] = v
            d.qfrc_applied[:] = tau
            mj.mj_forward(m, d)

        bias = np.zeros(m.nv)
        acc = np.zeros((1, m.nv))  # mj_solveM solves for rows of a matrix

        def fd_chain(q, v, tau):
            d.qpos[:] = q
            d.qvel[:] = v
            mj.mj_kinematics(m, d)
            mj.mj_comPos(m, d)
            mj.mj_crb(m, d)
            mj.mj_factorM(m, d)
            mj.mj_comVel(m, d)
            mj.mj_rne(m, d, 0, bias)
            np.subtract(tau, bias, out=acc[0])
            mj.mj_solveM(m, d, acc, acc)

        full = np.zeros((m.nv, m.nv))

        def mass_matrix(q):
            d.qpos[:] = q
            mj.mj_kinematics(m, d)
            mj.mj_comPos(m, d)
            mj.mj_crb(m, d)
            mj.mj_fullM(m, d, full)

        def bias_chain(q, v):
            d.qpos[:] = q
            d.qvel[:] = v
            mj.mj_kinematics(m, d)
            mj.mj_comPos(m, d)
            mj.mj_comVel(m, d)
            mj.mj_rne(m, d, 0, bias)

        identity = np.eye(m.nv)
        inverse = np.zeros((m.nv, m.nv))

        def inverse_mass_matrix(q):
            d.qpos[:] = q
            mj.mj_kinematics(m, d)
            mj.mj_comPos(m, d)
            mj.mj_crb(m, d)
            mj.mj_factorM(m, d)
            mj.mj_solveM(m, d, inverse, identity)

        jacp, jacr = np.zeros((3, m.nv)), np.zeros((3, m.nv))
        last = m.body(robot.last_link).id

        def jac(q):
            d.qpos[:] = q
            mj.mj_kinematics(m, d)
            mj.mj_comPos(m, d)
            mj.mj_jacBody(m, d, jacp, jacr, last)

        # MuJoCo's derivative matrices are transposed: DfDq[i, j] = d force_j / d qpos_i.
        dfdq, dfdv = np.zeros((m.nv, m.nv)), np.zeros((m.nv, m.nv))
        block = np.ix_(dadr, dadr)

        def did_call(q, v, a):
            d.qpos[:] = q
            d.qvel[:] = v
            d.qacc[:] = a
            mj.mjd_inverseFD(m, d, 1e-6, False, dfdq, dfdv, None, None, None, None, None)

        d.qfrc_applied[:] = 0
        return {
            "fk": [("mj_kinematics", fk, [(Q[k],) for k in n], fk_extract)],
            "jac": [("mj_kinematics + mj_comPos + mj_jacBody", jac, [(Q[k],) for k in n],
                     lambda k, _: np.vstack([jacr, jacp])[:, dadr])],
            "id": [("mj_rne chain", id_chain, [(Q[k], V[k], A[k]) for k in n], lambda k, _: out[dadr].copy()),
                   ("mj_inverse", id_inverse, [(Q[k], V[k], A[k]) for k in n],
                    lambda k, _: d.qfrc_inverse[dadr].copy())],
            "fd": [("mj_forward", fd_forward, [(Q[k], V[k], T[k]) for k in n], lambda k, _: d.qacc[dadr].copy()),
                   ("mj_solveM chain", fd_chain, [(Q[k], V[k], T[k]) for k in n], lambda k, _: acc[0, dadr].copy())],
            "M": [("mj_crb + mj_fullM", mass_matrix, [(Q[k],) for k in n], lambda k, _: full[np.ix_(dadr, dadr)])],
            "bias": [("mj_rne(flg_acc=0)", bias_chain, [(Q[k], V[k]) for k in n], lambda k, _: bias[dadr].copy())],
            "Minv": [("mj_factorM + mj_solveM", inverse_mass_matrix, [(Q[k],) for k in n],
                      lambda k, _: inverse[np.ix_(dadr, dadr)])],
            "did": [("mjd_inverseFD", did_call, [(Q[k], V[k], A[k]) for k in n],
                     lambda k, _: np.concatenate([dfdq.T[block].ravel(), dfdv.T[block].ravel()]))],
        }


class PyBullet:
    name = "pybullet"
    load_label = "loadURDF"
    variants = ("default",)

    def __init__(self):
        with quiet():
            import pybullet
        self.pb = pybullet
        self.client = pybullet.connect(pybullet.DIRECT)
        pybullet.setGravity(*GRAVITY, physicsClientId=self.client)

    def _load(self, path):
        return self.pb.loadURDF(path, useFixedBase=True, flags=self.pb.URDF_USE_INERTIA_FROM_FILE,
                                physicsClientId=self.client)

    def load(self, robot, variant):
        return self._load, str(robot.path), lambda body: self.pb.removeBody(body, physicsClientId=self.client)

    def open(self, robot, variant):
        pb, c = self.pb, self.client
        body = self._load(str(robot.path))
        joints = [pb.getJointInfo(body, i, physicsClientId=c) for i in range(pb.getNumJoints(body, physicsClientId=c))]
        moving = [i for i, info in enumerate(joints) if info[2] != pb.JOINT_FIXED]
        if any(joints[i][2] not in (pb.JOINT_REVOLUTE, pb.JOINT_PRISMATIC) for i in moving):
            raise Refused("a joint kind other than revolute or prismatic")
        # calculateInverseDynamics and calculateMassMatrix take the moving joints' values
        # in joint index order.
        dof_of_joint = {info[1].decode(): moving.index(i) for i, info in enumerate(joints) if i in moving}
        missing = [name for name in robot.layout.names if name not in dof_of_joint]
        if missing or len(moving) != robot.layout.nv:
            raise Refused(f"joints do not match by name ({missing[:3]})")
        perm = np.array([dof_of_joint[name] for name in robot.layout.names], dtype=int)
        link_names = [info[12].decode() for info in joints]
        links = list(range(len(joints)))

        def place(x):
            y = np.zeros(len(moving))
            y[perm] = x
            return y

        n = range(robot.samples)
        Q = [place(robot.theta[k]).tolist() for k in n]
        V = [place(robot.v[k]).tolist() for k in n]
        A = [place(robot.a[k]).tolist() for k in n]
        T = [place(robot.tau[k]) for k in n]
        zeros = [0.0] * len(moving)
        targets = [[[x] for x in Q[k]] for k in n]
        get_link_states, reset_multi, reset_one = pb.getLinkStates, pb.resetJointStatesMultiDof, pb.resetJointState
        inverse_dynamics, mass_matrix, solve = pb.calculateInverseDynamics, pb.calculateMassMatrix, np.linalg.solve
        inv = np.linalg.inv

        def fk_multi(target):
            reset_multi(body, moving, target, physicsClientId=c)
            return get_link_states(body, links, computeForwardKinematics=1, physicsClientId=c)

        def fk_single(q):
            for j, x in zip(moving, q):
                reset_one(body, j, x, physicsClientId=c)
            return get_link_states(body, links, computeForwardKinematics=1, physicsClientId=c)

        def fk_extract(k, states):
            result = {}
            for name, state in zip(link_names, states):
                h = np.eye(4)
                h[:3, :3] = np.reshape(pb.getMatrixFromQuaternion(state[5]), (3, 3))
                h[:3, 3] = state[4]
                result[name] = h
            return result

        # calculateJacobian's point is given in the link's frame: its origin is (0, 0, 0).
        last = link_names.index(robot.last_link)
        origin = [0.0, 0.0, 0.0]
        calculate_jacobian = pb.calculateJacobian

        def jac_call(q):
            return calculate_jacobian(body, last, origin, q, zeros, zeros, physicsClientId=c)

        def id_call(q, v, a):
            return inverse_dynamics(body, q, v, a, physicsClientId=c)

        def fd_call(q, v, tau):
            h = inverse_dynamics(body, q, v, zeros, physicsClientId=c)
            return solve(mass_matrix(body, q, physicsClientId=c), tau - np.array(h))

        return {
            "fk": [("resetJointStatesMultiDof + getLinkStates", fk_multi, [(targets[k],) for k in n], fk_extract),
                   ("resetJointState + getLinkStates", fk_single, [(Q[k],) for k in n], fk_extract)],
            "jac": [("calculateJacobian", jac_call, [(Q[k],) for k in n],
                     lambda k, r: np.vstack([np.array(r[1]), np.array(r[0])])[:, perm])],
            "id": [("calculateInverseDynamics", id_call, [(Q[k], V[k], A[k]) for k in n],
                    lambda k, r: np.array(r)[perm])],
            "fd": [("M^-1 (tau - h)", fd_call, [(Q[k], V[k], T[k]) for k in n], lambda k, r: r[perm])],
            "M": [("calculateMassMatrix", lambda q: mass_matrix(body, q, physicsClientId=c), [(Q[k],) for k in n],
                   lambda k, r: np.array(r)[np.ix_(perm, perm)])],
            "bias": [("calculateInverseDynamics(q, v, 0)", id_call, [(Q[k], V[k], zeros) for k in n],
                      lambda k, r: np.array(r)[perm])],
            "Minv": [("numpy.linalg.inv(calculateMassMatrix)", lambda q: inv(mass_matrix(body, q, physicsClientId=c)),
                      [(Q[k],) for k in n], lambda k, r: r[np.ix_(perm, perm)])],
        }


class Dart:
    name = "DART"
    load_label = "DartLoader.parseSkeleton"
    variants = ("default",)

    def __init__(self):
        import dartpy
        self.dart = dartpy
        loader = dartpy.utils.DartLoader()
        options = loader.getOptions()
        options.mDefaultRootJointType = dartpy.utils.DartLoader.RootJointType.FIXED
        loader.setOptions(options)
        self.loader = loader

    def load(self, robot, variant):
        return self.loader.parseSkeleton, str(robot.path), None

    def open(self, robot, variant):
        skel = self.loader.parseSkeleton(str(robot.path))
        if skel is None:
            raise Refused("the loader returned no skeleton")
        skel.setGravity(np.array(GRAVITY))
        dof_index = {skel.getDof(i).getName(): i for i in range(skel.getNumDofs())}
        missing = [name for name in robot.layout.names if name not in dof_index]
        if missing or skel.getNumDofs() != robot.layout.nv:
            raise Refused(f"joints do not match by name ({missing[:3]})")
        perm = np.array([dof_index[name] for name in robot.layout.names], dtype=int)
        for i in range(skel.getNumJoints()):
            joint = skel.getJoint(i)
            for j in range(joint.getNumDofs()):
                if joint.getDampingCoefficient(j) or joint.getSpringStiffness(j) or joint.getCoulombFriction(j):
                    raise Refused(f"damping, spring or friction left on joint {joint.getName()!r}")
        nodes = [skel.getBodyNode(i) for i in range(skel.getNumBodyNodes())]

        def place(x):
            y = np.zeros(skel.getNumDofs())
            y[perm] = x
            return y

        n = range(robot.samples)
        Q = [place(robot.theta[k]) for k in n]
        V = [place(robot.v[k]) for k in n]
        A = [place(robot.a[k]) for k in n]
        T = [place(robot.tau[k]) for k in n]

        def fk(q):
            skel.setPositions(q)
            skel.computeForwardKinematics(True, False, False)

        def fk_extract(k, _):
            return {node.getName(): node.getWorldTransform().matrix() for node in nodes}

        # The skeleton's Jacobian of a body node has a column for every coordinate (the
        # body node's own has columns only for the coordinates it depends on).
        last, no_offset, world_jacobian = skel.getBodyNode(robot.last_link), np.zeros(3), skel.getWorldJacobian

        def jac_call(q):
            skel.setPositions(q)
            return world_jacobian(last, no_offset)

        def id_call(q, v, a):
            skel.setPositions(q)
            skel.setVelocities(v)
            skel.setAccelerations(a)
            skel.computeInverseDynamics(False, False, False)
            return skel.getForces()

        def fd_call(q, v, tau):
            skel.setPositions(q)
            skel.setVelocities(v)
            skel.setForces(tau)
            skel.computeForwardDynamics()
            return skel.getAccelerations()

        def mass_matrix(q):
            skel.setPositions(q)
            return skel.getMassMatrix()

        def bias_call(q, v):
            skel.setPositions(q)
            skel.setVelocities(v)
            return skel.getCoriolisAndGravityForces()

        def inverse_mass_matrix(q):
            skel.setPositions(q)
            return skel.getInvMassMatrix()

        def inverted_mass_matrix(q):
            skel.setPositions(q)
            return np.linalg.inv(skel.getMassMatrix())

        return {
            "fk": [("setPositions + computeForwardKinematics", fk, [(Q[k],) for k in n], fk_extract)],
            "jac": [("setPositions + getWorldJacobian", jac_call, [(Q[k],) for k in n], lambda k, r: r[:, perm])],
            "id": [("computeInverseDynamics", id_call, [(Q[k], V[k], A[k]) for k in n], lambda k, r: r[perm])],
            "fd": [("computeForwardDynamics", fd_call, [(Q[k], V[k], T[k]) for k in n], lambda k, r: r[perm])],
            "M": [("getMassMatrix", mass_matrix, [(Q[k],) for k in n], lambda k, r: np.asarray(r)[np.ix_(perm, perm)])],
            "bias": [("getCoriolisAndGravityForces", bias_call, [(Q[k], V[k]) for k in n],
                      lambda k, r: np.asarray(r)[perm])],
            "Minv": [("getInvMassMatrix", inverse_mass_matrix, [(Q[k],) for k in n],
                      lambda k, r: np.asarray(r)[np.ix_(perm, perm)]),
                     ("numpy.linalg.inv(getMassMatrix)", inverted_mass_matrix, [(Q[k],) for k in n],
                      lambda k, r: r[np.ix_(perm, perm)])],
        }


class Kdl:
    """Orocos KDL through PyKDL (Debian's python3-pykdl), for the frame Jacobian only:
    KDL has no URDF reader of its own, and its chain solvers do not cover trees, so the
    chain from the root link to the last link is built here from the URDF's joints."""
    name = "KDL"
    load_label = None
    variants = ("default",)

    def __init__(self):
        try:
            import PyKDL
        except ImportError:
            # Debian installs it for the system interpreter; its module fits this one
            # when the versions match.
            sys.path.append("/usr/lib/python3/dist-packages")
            try:
                import PyKDL
            finally:
                sys.path.remove("/usr/lib/python3/dist-packages")
        self.kdl = PyKDL

    def open(self, robot, variant):
        K = self.kdl
        root = ET.fromstring(robot.path.read_text())
        joint_of_child = {j.find("child").get("link"): j for j in root.findall("joint")}
        path, link = [], robot.last_link
        while link in joint_of_child:
            path.append(joint_of_child[link])
            link = joint_of_child[link].find("parent").get("link")
        chain, names = K.Chain(), []
        for joint in reversed(path):
            origin = joint.find("origin")
            xyz = [float(x) for x in (origin.get("xyz", "0 0 0") if origin is not None else "0 0 0").split()]
            rpy = [float(x) for x in (origin.get("rpy", "0 0 0") if origin is not None else "0 0 0").split()]
            frame = K.Frame(K.Rotation.RPY(*rpy), K.Vector(*xyz))
            kind = joint.get("type")
            if kind == "fixed":
                kdl_joint = K.Joint(joint.get("name"), K.Joint.Fixed)
            elif kind in ("revolute", "continuous", "prismatic"):
                axis_element = joint.find("axis")
                axis = np.array([float(x) for x in (axis_element.get("xyz") if axis_element is not None
                                                    else "1 0 0").split()])
                # Axes are unit vectors for rotations; a slide moves by the axis as written.
                if kind != "prismatic":
                    axis /= np.linalg.norm(axis)
                world_axis = frame.M * K.Vector(*axis)
                kdl_kind = K.Joint.TransAxis if kind == "prismatic" else K.Joint.RotAxis
                scale = np.linalg.norm(axis) if kind == "prismatic" else 1.0
                if scale != 1.0:
                    world_axis = world_axis / scale
                kdl_joint = K.Joint(joint.get("name"), frame.p, world_axis, kdl_kind, scale)
                names.append(joint.get("name"))
            else:
                raise Refused(f"joint kind {kind!r}")
            chain.addSegment(K.Segment(joint.get("name"), kdl_joint, frame))
        columns = np.array([robot.layout.names.index(name) for name in names], dtype=int)
        solver = K.ChainJntToJacSolver(chain)
        n = range(robot.samples)
        arrays = []
        for k in n:
            q = K.JntArray(len(names))
            for i, c in enumerate(columns):
                q[i] = robot.theta[k][c]
            arrays.append(q)
        jacobian = K.Jacobian(len(names))

        def jac_call(q, chain=chain):  # the solver refers to the chain: keep it alive with the call
            return solver.JntToJac(q, jacobian)

        joint_positions = K.JntArray(len(names))
        slots = list(enumerate(columns.tolist()))

        def jac_from_numpy(theta, chain=chain):
            for i, c in slots:
                joint_positions[i] = theta[c]
            return solver.JntToJac(joint_positions, jacobian)

        def jac_extract(k, _):
            full = np.zeros((6, robot.layout.nv))
            for c, column in enumerate(columns):
                for r in range(6):
                    # KDL's rows are the linear velocity, then the angular one.
                    full[(r + 3) % 6, column] = jacobian[r, c]
            return full

        # Timed both on a JntArray made beforehand (KDL's own input, as pybullet's lists
        # are made beforehand) and from the NumPy configuration the other engines take.
        return {"jac": [("JntToJac on a prepared JntArray", jac_call, [(arrays[k],) for k in n], jac_extract),
                        ("JntArray from NumPy + JntToJac", jac_from_numpy, [(robot.theta[k],) for k in n],
                         jac_extract)]}


# ------------------------------------------------------------------------------ checking

def candidate_error(robot, op, call, argsets, extract):
    """Largest error over the states and, for fd, whether every state is within its
    condition-scaled bound (returned as error / bound, so 1 is the limit)."""
    worst, worst_scaled = 0.0, 0.0
    for k, args in enumerate(argsets):
        got = extract(k, call(*args))
        if op == "fk":
            error = placement_error(got, robot.placements[k])
            scaled = error
        elif op == "id":
            error = scaled = relative(got, robot.tau_id[k])
        elif op == "did":
            error = scaled = relative(got, robot.did[k])
        elif op == "M":
            error = scaled = relative(got, robot.M[k])
        elif op == "bias":
            error = scaled = relative(got, robot.bias[k])
        elif op == "Minv":
            if robot.Minv[k] is None:
                continue
            error = relative(got, robot.Minv[k])
            scaled = error * TOLERANCE["Minv"] / robot.fd_tolerance[k]
        elif op == "jac":
            truth = robot.jacobians[k]
            error = scaled = float(np.abs(np.asarray(got) - truth).max() / max(1.0, np.abs(truth).max()))
        else:
            if robot.ddq[k] is None:
                continue
            error = relative(got, robot.ddq[k])
            scaled = error * TOLERANCE["fd"] / robot.fd_tolerance[k]
        if not np.isfinite(error):
            return math.inf, math.inf
        worst, worst_scaled = max(worst, error), max(worst_scaled, scaled)
    return worst, worst_scaled


class Cell:
    """One engine on one robot and operation: what was checked and what was timed."""

    def __init__(self):
        self.status = "ok"     # ok, refused, disagrees, failed
        self.reason = ""
        self.error = None      # worst agreement error
        self.label = ""        # the call that is timed
        self.variant = ""
        self.timer = None      # (call, argsets, cleanup) for the timing loop
        self.samples = []


def check_engine(engine, robot, ops):
    """Opens `robot` in `engine`, trying its variants in order, and returns op -> Cell.
    The first variant that agrees on every checked operation is kept; otherwise the
    first variant's cells are reported."""
    # The load is timed only on a file that reads into the model that agrees, so asking
    # for it alone still checks the other operations.
    wanted = ops
    if "load" in ops:
        ops = list(dict.fromkeys(list(ops) + ["fk", "jac", "id", "fd"]))
    first = None
    for variant in engine.variants:
        cells = {op: Cell() for op in ops}
        try:
            with quiet():
                instance = engine.open(robot, variant)
        except Refused as e:
            for cell in cells.values():
                cell.status, cell.reason = "refused", str(e)
            if first is None:
                first = cells
            continue
        except Exception as e:  # noqa: BLE001 -- any loader failure is a finding to report
            for cell in cells.values():
                cell.status, cell.reason = "failed", f"{type(e).__name__}: {str(e).splitlines()[0] if str(e) else ''}"
            first = first or cells
            continue
        for op in ops:
            if op == "load":
                continue
            cell = cells[op]
            if op not in instance:
                cell.status, cell.reason = "refused", no_call(op)
                continue
            if op in ("fd", "Minv") and all(x is None for x in robot.ddq):
                cell.status, cell.reason = "refused", "velmora finds the mass matrix singular"
                continue
            tolerance = PEER_TOLERANCE.get((engine.name, op), TOLERANCE[op])
            agreeing = []
            for label, call, argsets, extract in instance[op]:
                try:
                    with quiet():
                        error, scaled = candidate_error(robot, op, call, argsets, extract)
                except Exception as e:  # noqa: BLE001
                    error = scaled = math.inf
                    cell.reason = f"{label}: {type(e).__name__}: {e}"
                cell.error = error if cell.error is None else min(cell.error, error)
                if scaled <= tolerance:
                    agreeing.append((label, call, argsets))
            if agreeing:
                cell.timer = [(label, call, argsets, None) for label, call, argsets in agreeing]
            else:
                cell.status = "disagrees"
                cell.reason = cell.reason or f"differs by {cell.error:.1e} (tolerance {tolerance:.0e})"
            cell.variant = variant
        if "load" in cells:
            # The file reads into the same model when the operations computed on it agree.
            dynamics = [cells[op] for op in ("fk", "jac", "id", "fd") if op in cells]
            load = cells["load"]
            load.variant = variant
            bad = [c for c in dynamics if c.status not in ("ok", "refused")]
            if engine.load_label is None:
                load.status, load.reason = "refused", "no URDF reader"
            elif bad:
                load.status, load.reason = "disagrees", "the loaded model does not agree (see the other operations)"
            else:
                call, path, cleanup = engine.load(robot, variant)
                label = engine.load_label + (f", {variant} model" if len(engine.variants) > 1 else "")
                load.timer = [(label, call, [(path,)], cleanup)]
        if all(c.status in ("ok", "refused") for c in cells.values()):
            return {op: cells[op] for op in wanted}
        first = first or cells
    return {op: first[op] for op in wanted}


def velmora_cells(engine, robot, ops):
    """Velmora's own numbers are the yardstick: nothing to check beyond the reference
    values, but forward dynamics is left out where its mass matrix is singular."""
    cells = {op: Cell() for op in ops}
    instance = engine.open(robot, "default")
    for op in ops:
        if op == "load":
            call, path, cleanup = engine.load(robot, "default")
            cells[op].timer = [("build_models_from_urdf", call, [(path,)], cleanup)]
        elif op in ("fd", "Minv") and any(x is None for x in robot.ddq):
            cells[op].status, cells[op].reason = "refused", robot.fd_error
        else:
            # Where velmora has two ways to the same result, the faster one is timed, as for the peers.
            cells[op].timer = [(label, call, argsets, None) for label, call, argsets, _ in instance[op]]
    return cells


# ------------------------------------------------------------------------------- timing

# The clock the batches are timed with. The process's CPU time by default: on a shared
# machine it leaves out the time the process waits while others run, which elapsed time
# would add to whichever engine happened to be running. Every engine runs in this process
# (pybullet in DIRECT mode), so none of their work escapes it. --clock wall times elapsed.
CLOCKS = {"cpu": time.process_time_ns, "wall": time.perf_counter_ns}
clock = CLOCKS["cpu"]


def batch_ns(call, argsets, calls, cleanup):
    """Nanoseconds per call, over `calls` calls cycling through the states."""
    if cleanup is None:
        work = [argsets[i % len(argsets)] for i in range(calls)]
        start = clock()
        for args in work:
            call(*args)
        return (clock() - start) / calls
    total = 0
    for i in range(calls):
        args = argsets[i % len(argsets)]
        start = clock()
        handle = call(*args)
        total += clock() - start
        cleanup(handle)
        handle = None
    return total / calls


def calibrate(call, argsets, cleanup, target_ns):
    batch_ns(call, argsets, 1, cleanup)  # first call: lazy set-up inside the engines
    per_call = batch_ns(call, argsets, 3, cleanup)
    return max(1, min(200_000, int(target_ns / max(per_call, 1.0))))


def time_robot(robot, cells_by_engine, ops, rounds, target_ns):
    """Interleaved timing: every round runs one batch per engine, in an order rotated
    from round to round; the medians over rounds are stored in the cells."""
    for op in ops:
        active = [(name, cells[op]) for name, cells in cells_by_engine.items() if cells[op].timer]
        if not active:
            continue
        runs = []
        with quiet():
            for name, cell in active:
                # Two agreeing calls: a short interleaved trial picks the faster one.
                if len(cell.timer) > 1:
                    trial = {}
                    for label, call, argsets, cleanup in cell.timer:
                        n = calibrate(call, argsets, cleanup, target_ns / 4)
                        trial[label] = statistics.median(batch_ns(call, argsets, n, cleanup) for _ in range(3))
                    cell.timer = [min(cell.timer, key=lambda t: trial[t[0]])]
                label, call, argsets, cleanup = cell.timer[0]
                cell.label = label
                runs.append((cell, call, argsets, cleanup, calibrate(call, argsets, cleanup, target_ns)))
            gc_was_enabled = gc.isenabled()
            gc.disable()
            try:
                for r in range(rounds):
                    shift = r % len(runs)
                    for cell, call, argsets, cleanup, calls in runs[shift:] + runs[:shift]:
                        cell.samples.append(batch_ns(call, argsets, calls, cleanup))
            finally:
                if gc_was_enabled:
                    gc.enable()


# ------------------------------------------------------------------------------- report

def format_time(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.0f} ns"


def agreement_table(robots, results, peers, ops, out):
    out.write("\n## Agreement with velmora (worst over the states)\n\n")
    out.write("fk: max abs difference of link placements; jac, id, fd, bias, did: max abs difference"
              " / max(1, |velmora|);"
              " M, Minv: the same against velmora's rnea columns and their inverse.\n\n")
    out.write("| robot | " + " | ".join(f"{p} {op}" for p in peers for op in ops) + " |\n")
    out.write("|---|" + "---:|" * (len(peers) * len(ops)) + "\n")
    for robot in robots:
        row = [robot.name]
        for name in peers:
            for op in ops:
                cell = results[robot.name][name][op]
                if cell.error is None:
                    row.append(cell.status)
                else:
                    row.append(f"{cell.error:.0e}" + ("" if cell.status == "ok" else f" ({cell.status})"))
        out.write("| " + " | ".join(row) + " |\n")


def report(robots, results, engine_names, ops, out):
    peers = [name for name in engine_names if name != "velmora"]
    out.write("\n## Median time per call, and peer / velmora\n\n")
    out.write("| robot | nv | operation | velmora | " + " | ".join(peers) + " | fastest peer / velmora |\n")
    out.write("|---|---:|---|---:|" + "---:|" * len(peers) + "---:|\n")
    short_of_target = []
    for robot in robots:
        for op in ops:
            cells = {name: results[robot.name][name][op] for name in engine_names}
            ours = cells["velmora"]
            if not ours.samples:
                continue
            base = statistics.median(ours.samples)
            row = [robot.name, str(robot.layout.nv), OP_TITLES[op], format_time(base)]
            ratios = {}
            for name in peers:
                cell = cells[name]
                if cell.samples:
                    median = statistics.median(cell.samples)
                    ratios[name] = median / base
                    row.append(f"{format_time(median)} ({ratios[name]:.1f}x)")
                else:
                    row.append(f"— ({cell.status})")
            if ratios:
                fastest = min(ratios, key=ratios.get)
                target = TARGET_RATIOS.get(op, TARGET_RATIO)
                mark = "" if ratios[fastest] >= target else f" **below {target:.0f}x**"
                row.append(f"{ratios[fastest]:.2f}x ({fastest}){mark}")
                if ratios[fastest] < target:
                    short_of_target.append((robot.name, op, fastest, ratios[fastest]))
            else:
                row.append("—")
            out.write("| " + " | ".join(row) + " |\n")

    checked = [op for op in ops if op != "load"]
    if checked:
        agreement_table(robots, results, peers, checked, out)
    out.write("\nTolerances: " + ", ".join(f"{op} {tol:.0e}" for op, tol in TOLERANCE.items())
              + " (fd, Minv: or cond(M) * 1e-15 where larger); "
              + ", ".join(f"{e} {op} {tol:.0e}" for (e, op), tol in PEER_TOLERANCE.items()) + ".\n")

    notes = []
    for robot in robots:
        for name in peers:
            for op in ops:
                cell = results[robot.name][name][op]
                if cell.status != "ok" and cell.reason != no_call(op):
                    notes.append(f"- {name} on {robot.name}, {OP_TITLES[op]}: {cell.status}: {cell.reason}")
    variants = sorted({(name, r.name, cell.variant) for r in robots for name in peers
                       for cell in results[r.name][name].values() if cell.variant})
    out.write("\n## Calls timed\n\n")
    for name in ["velmora"] + list(peers):
        for op in ops:
            by_label = {}
            for r in robots:
                label = results[r.name][name][op].label
                if label:
                    by_label.setdefault(label, []).append(r.name)
            if len(by_label) == 1:
                out.write(f"- {name} {OP_TITLES[op]}: {next(iter(by_label))}\n")
            elif by_label:
                out.write(f"- {name} {OP_TITLES[op]}: "
                          + "; ".join(f"{label} ({', '.join(names)})" for label, names in by_label.items()) + "\n")
    for name, robot_name, variant in variants:
        if variant != ENGINES[name].variants[0]:
            out.write(f"- {name} on {robot_name}: {variant} model (the {ENGINES[name].variants[0]} one disagrees)\n")
    for op in ops:
        without = [name for name in peers if any(results[r.name][name][op].reason == no_call(op) for r in robots)]
        if without:
            notes.append(f"- {', '.join(without)}: no call for {OP_TITLES[op]}")
    if notes:
        out.write("\n## Not timed\n\n" + "\n".join(notes) + "\n")
    if short_of_target:
        out.write(f"\n## Below the target ratio to the fastest peer ({TARGET_RATIO:.0f}x; "
                  + ", ".join(f"{OP_TITLES[op]} {t:.0f}x" for op, t in TARGET_RATIOS.items()) + ")\n\n")
        for robot_name, op, fastest, ratio in short_of_target:
            out.write(f"- {robot_name} {OP_TITLES[op]}: {fastest} at {ratio:.2f}x\n")


ENGINES = {}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21, help="interleaved rounds per robot and operation")
    parser.add_argument("--batch-ms", type=float, default=8.0, help="length of one timed batch")
    parser.add_argument("--robots", default="", help="comma-separated robot names (default: all)")
    parser.add_argument("--ops", default=",".join(OPS), help="comma-separated operations among " + ", ".join(OPS))
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: CPU time of the process (default); wall: elapsed time")
    parser.add_argument("--json", default="", help="also write the medians and errors to this file")
    args = parser.parse_args()
    ops = [op for op in args.ops.split(",") if op]
    if any(op not in OPS for op in ops):
        parser.error(f"operations are among {', '.join(OPS)}")
    wanted = set(filter(None, args.robots.split(",")))
    global clock
    clock = CLOCKS[args.clock]
    out = sys.stdout

    ENGINES["velmora"] = Velmora()
    missing_peers = []
    for cls, module in ((MuJoCo, "mujoco"), (PyBullet, "pybullet"), (Dart, "dartpy"), (Kdl, "PyKDL")):
        try:
            ENGINES[cls.name] = cls()
        except ImportError:
            missing_peers.append(module)
    if missing_peers:
        out.write(f"Not installed: {', '.join(missing_peers)} (pip install -r benchmarks/requirements-peers.txt)\n")
        if len(ENGINES) == 1:
            return 2

    sources = [(d.name, d / "robot.urdf", d) for d in sorted(ROBOTS_DIR.iterdir())
               if (d / "reference.npz").exists() and (d / "robot.urdf").exists()]
    if SAMPLE_ROBOT.exists():
        sources.append(("sample_arm", SAMPLE_ROBOT, None))
    else:
        out.write(f"Sample arm not found at {SAMPLE_ROBOT.relative_to(ROOT)}: not benchmarked.\n")
    if wanted:
        sources = [s for s in sources if s[0] in wanted]
        if not sources:
            parser.error("no robot of that name")

    failures = []
    results, robots = {}, []
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="velmora-peers-") as tmp:
        for name, source, reference in sources:
            robot = Robot(name, source, Path(tmp), reference)
            failures += robot.check_reference()
            robots.append(robot)
            results[name] = {}
            for engine_name, engine in ENGINES.items():
                if engine_name == "velmora":
                    cells = velmora_cells(engine, robot, ops)
                else:
                    cells = check_engine(engine, robot, ops)
                    failures += [f"{engine_name} on {name}, {OP_TITLES[op]}: {c.status}: {c.reason}"
                                 for op, c in cells.items() if c.status in ("disagrees", "failed")]
                results[name][engine_name] = cells
            time_robot(robot, results[name], ops, args.rounds, args.batch_ms * 1e6)
            out.write(f"{name}: checked and timed ({time.perf_counter() - started:.0f} s)\n")
            out.flush()

    out.write(f"\nvelmora ({os.path.relpath(vm.__file__, ROOT)}) against "
              + ", ".join(f"{n} {v}" for n, v in peer_versions().items())
              + f"; {args.rounds} rounds, batches of about {args.batch_ms:g} ms, {args.clock} clock;"
              + f" Python {sys.version.split()[0]}.\n")
    report(robots, results, list(ENGINES), ops, out)
    if args.json:
        dump = {r.name: {e: {op: {"median_ns": statistics.median(c.samples) if c.samples else None,
                                  "status": c.status, "reason": c.reason, "error": c.error, "call": c.label}
                             for op, c in cells.items()} for e, cells in results[r.name].items()} for r in robots}
        Path(args.json).write_text(json.dumps(dump, indent=1))
    if failures:
        out.write("\nFAILED: a peer or velmora disagrees beyond tolerance:\n" + "\n".join(f"  {f}" for f in failures) + "\n")
        return 1
    return 0


def debian_version(module):
    """The version of the Debian package that installed `module` (PyKDL), or "?"."""
    import subprocess
    try:
        found = subprocess.run(["dpkg", "-S", f"/usr/lib/python3/dist-packages/{module}.*"], capture_output=True,
                               text=True).stdout.split(":")[0].strip()
        if found:
            return subprocess.run(["dpkg-query", "-W", "-f=${Version}", found], capture_output=True,
                                  text=True).stdout.strip() or "?"
    except OSError:
        pass
    return "?"


def peer_versions():
    versions = {}
    for name, module in (("MuJoCo", "mujoco"), ("pybullet", "pybullet"), ("DART", "dartpy"), ("KDL", "PyKDL")):
        if name in ENGINES:
            try:
                from importlib.metadata import version
                versions[name] = version(module)
            except Exception:  # noqa: BLE001
                versions[name] = debian_version(module)
    return versions


if __name__ == "__main__":
    sys.exit(main())
