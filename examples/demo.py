"""The main job: load a real robot arm, place it, and compute its dynamics."""
import os
import time

import numpy as np

import velmora

HERE = os.path.dirname(os.path.abspath(__file__))
ROBOT_DIR = os.path.join(HERE, "..", "tests", "robots", "kuka_iiwa")


def main():
    np.set_printoptions(precision=4, suppress=True, linewidth=110)
    model, collision, visual = velmora.build_models_from_urdf(
        os.path.join(ROBOT_DIR, "robot.urdf"), package_dir=ROBOT_DIR)
    print(f"Loaded '{model.name}': {model.njoints - 1} moving joints, nq={model.nq}, nv={model.nv}, "
          f"{model.nframes} frames, {collision.ngeoms} collision and {visual.ngeoms} visual objects")
    total_mass = sum(inertia.mass for inertia in model.inertias)
    print(f"Total mass: {total_mass:.3f} kg")
    for jid, (name, parent) in enumerate(zip(model.joint_names, model.joint_parents)):
        print(f"  joint {jid:2d} {name:<24} parent {parent}")

    data = model.create_data()
    q = velmora.random_configuration(model).to_numpy()
    velmora.forward_kinematics(model, data, q)
    print("\nConfiguration q:", q)
    tip = data.oMi[-1]
    print("Placement of the last joint in the world frame:\n", tip.homogeneous)

    geometry = collision.create_data(data)
    last = collision.ngeoms - 1
    print(f"World position of collision object '{collision.geometry_objects[last].name}':",
          geometry.get_object_placement(last).translation)

    zero = np.zeros(model.nv)
    gravity = velmora.rnea(model, data, q, zero, zero).to_numpy()
    print("\nGravity torques g(q) [N m]:", gravity)
    mass_matrix = np.column_stack([
        velmora.rnea(model, data, q, zero, e).to_numpy() - gravity for e in np.eye(model.nv)])
    print("Mass matrix M(q):\n", mass_matrix)

    v = np.random.default_rng().uniform(-1, 1, model.nv)
    a = np.random.default_rng().uniform(-1, 1, model.nv)
    tau = velmora.rnea(model, data, q, v, a).to_numpy()
    a_back = velmora.aba(model, data, q, v, tau).to_numpy()
    print(f"\nForward dynamics recovers the accelerations to {np.max(np.abs(a_back - a)):.1e}")

    for name, call in [("forward_kinematics", lambda: velmora.forward_kinematics(model, data, q)),
                       ("rnea", lambda: velmora.rnea(model, data, q, v, a)),
                       ("aba", lambda: velmora.aba(model, data, q, v, tau))]:
        n = 20000
        start = time.perf_counter()
        for _ in range(n):
            call()
        print(f"{name:>20}: {1e6 * (time.perf_counter() - start) / n:.2f} us per call from Python")


if __name__ == "__main__":
    main()
