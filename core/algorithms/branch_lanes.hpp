// Forward kinematics, inverse and forward dynamics and the mass matrix of one state with
// joints of different branches of the tree side by side in the vector lanes: the schedule
// that puts them there, and the passes.
//
// A humanoid's legs, arms and fingers are chains that depend on one another only where
// they meet. The schedule cuts the tree into chains (each joint continues the chain of its
// tallest child) and lays the chains into four lanes, one after another, so that a joint
// runs one step after its parent in the same lane wherever it can; each step then runs
// the articulated-body algorithm for four joints at once, as the batch passes do for four
// states. Each joint is taken in a frame of its own choosing that turns its axis onto z
// (its child frame turned, no translation): the joint then rotates about z or slides
// along it in every lane, and only its constant placement differs from lane to lane. The
// joint accelerations do not depend on those frames, so the results are aba's to rounding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/algorithms/batch_simd.hpp"
#include "core/model/model.hpp"

namespace velmora::lanes {

// Where four lanes take a value from: lane l from lane lane(l) of one of `count` rows,
// row[j] for the lanes of mask[j]. As index pairs of 32-bit halves, perm moves each
// row's lanes into place in one permutation.
struct LaneSources {
  std::int32_t perm[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  std::uint32_t row[4] = {};
  std::uint8_t mask[4] = {};
  std::uint8_t count = 0;
};

// One step: up to four joints, one per lane, each with its parent in an earlier step or
// the world. Rows: 0 is the world, g + 1 step g.
struct BranchGroup {
  std::uint32_t joint[4] = {};        // 0: the lane is empty
  std::uint32_t q[4] = {}, v[4] = {};  // the joint's first entries in q and v (0 when empty)
  std::uint32_t q_sine[4] = {};        // a continuous joint's second entry in q (else q)
  std::uint32_t parent_row[4] = {}, parent_lane[4] = {};
  std::uint8_t real = 0;       // lanes that hold a joint
  std::uint8_t patch = 0;      // real lanes whose parent is not in the previous row's same lane
  std::uint8_t inward = 0;     // real lanes whose parent is a joint in the previous row's same lane
  std::uint8_t elsewhere = 0;  // real lanes whose parent is a joint somewhere else
  std::uint8_t continuous = 0, prismatic = 0;
  std::uint8_t turned = 0;     // real lanes whose axis is not +z (their bodies are turned)
  LaneSources parents;         // where the lanes' parents are (when patch is not zero)
  // The mass matrix: each joint's diagonal entry, and its steps up the ancestors.
  std::uint32_t diagonal[4] = {};
  std::uint32_t walk_begin = 0, walk_end = 0;
};

// One step of a group's joints up their ancestors (the mass matrix): each active lane's
// ancestor, in the same row and lane for all when `common`, and where the entry of the
// ancestor's row and the joint's column lies in the matrix, and of its mirror.
struct BranchWalk {
  LaneSources sources;
  std::uint32_t entry[4], mirror[4];
  std::uint32_t common_row;
  std::uint8_t active;
  bool common;
};

// A step's constants, lane by lane: the joint's placement at zero between the turned
// frames, the rotation that turns its body's axes into its own turned frame, and its
// motion subspace (r e_z; p e_z): r 1 and p 0 for a rotation, r 0 and p the length of
// the stored axis for a slide.
struct alignas(32) BranchConstants {
  double R[9][4];
  double t[3][4];
  double turn[9][4];
  double r[4], p[4];
};

// A step's four bodies in their joints' turned frames: mass, centre of mass and rotational
// inertia about it (an empty lane: unit mass and inertia at the joint, so that nothing of
// it is singular or NaN).
struct alignas(32) BranchBodies {
  double mass[4];
  double com[3][4];
  double inertia[6][4];
};

struct BranchSchedule {
  std::vector<BranchGroup> groups;
  std::vector<BranchConstants> constants;
  std::vector<BranchWalk> walks;
  // Whether the lanes make the mass matrix (within a few steps up per joint).
  bool mass_matrix = false;
  bool prismatic = false;  // a slide somewhere
  // Whether the steps hold enough joints on average for the pass to pay (measured).
  bool worthwhile = false;
  // The bodies step by step (branch_bodies), and the model's inertias they were made of.
  mutable std::vector<BranchBodies> bodies;
  mutable std::vector<Inertia> bodies_of;
};

// Whether the lanes could pay on the model at all: a step holds no two joints of one path,
// so the steps are at least as many as the deepest joint's depth, and the schedule pays
// only with two joints or more a step on average (BranchSchedule::worthwhile). A cheap
// test on the model's records, before any schedule is looked up.
inline bool may_pay(const Model& model) {
  return model.njoints() >= 9 && 2 * model.depth() <= model.njoints() - 1;
}

// The model's schedule, or null when the lanes do not cover the model (see covers) or it
// has a fixed joint. Kept per thread under the model's records stamp: valid until the
// thread asks for the schedules of four other models.
const BranchSchedule* branch_schedule(const Model& model);

// The model's schedule when the lanes are on and pay on the model (may_pay, then
// BranchSchedule::worthwhile); null otherwise, and the single-state passes run.
inline const BranchSchedule* schedule_to_run(const Model& model) {
  if (!may_pay(model) || !available()) return nullptr;
  const BranchSchedule* schedule = branch_schedule(model);
  return schedule && schedule->worthwhile ? schedule : nullptr;
}

// The model's bodies laid out as its schedule (the thread's own schedule), made anew and
// kept there with the inertias they were made of: the passes compare those with the
// model's as they run (InertiaWords) and call this only when they differ.
const BranchBodies* branch_bodies(const Model& model, const BranchSchedule& schedule);

// The model's inertias and the ones a schedule's bodies were made of, `count` doubles
// each, for a pass to compare as it runs instead of before (see the passes'
// InertiaComparison). `same` is the answer, set before the pass writes its results (the
// mass matrix's zeros aside): a pass that finds them different stops there. Nothing to
// compare (count 0): same.
struct InertiaWords {
  const double* now = nullptr;
  const double* kept = nullptr;
  std::size_t count = 0;
  bool same = true;
};

// aba for a consistent model with its schedule and a state of its sizes, into ddq (nv
// values, which may share memory with the inputs: written after every read). False, with
// nothing written, when a joint's articulated inertia is singular or close to it (the
// single-state code then decides). Requires available().
bool aba_branches(const Model& model, const BranchSchedule& schedule, const double* q, const double* v,
                  const double* tau, double* ddq);

// rnea for a consistent model with its schedule and a state of its sizes, into tau (nv
// values, which may share memory with the inputs: written after every read). Requires
// available().
void rnea_branches(const Model& model, const BranchSchedule& schedule, const double* q, const double* v,
                   const double* a, double* tau);

// forward_kinematics for a consistent model with its schedule and a configuration of its
// size, into data (which fits the model): every joint's world placement and its own
// placement at q. Requires available().
void forward_kinematics_branches(const Model& model, const BranchSchedule& schedule, const double* q, Data& data);

// The mass matrix (both triangles, every entry written) for the model with its schedule
// at q, into M (nv x nv). Requires available().
void mass_matrix_branches(const Model& model, const BranchSchedule& schedule, const double* q, double* M);

}  // namespace velmora::lanes
