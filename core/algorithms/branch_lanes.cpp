// The schedule of branch_lanes.hpp: chains of the tree laid into four lanes.
#include "core/algorithms/branch_lanes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <queue>

#include "core/algorithms/batch_simd.hpp"

namespace velmora::lanes {

namespace {

// A rotation whose third column is the unit vector a (a signed permutation when a is a
// coordinate axis, so that turning by it is exact).
SpatialRotation turning_z_to(const JointMotion& motion) {
  const Vector3D a = motion.rotates() ? motion.axis : motion.axis * (1.0 / motion.axis.norm());
  Vector3D x;
  const int k = motion.rotates() ? motion.coordinate_axis : -1;
  if (k >= 0) {
    x = k == 0 ? Vector3D{0, 1, 0} : k == 1 ? Vector3D{0, 0, 1} : Vector3D{1, 0, 0};
  } else {
    // Crossed with the coordinate axis a leans on least.
    const double ax = std::abs(a.x), ay = std::abs(a.y), az = std::abs(a.z);
    const Vector3D helper = ax <= ay && ax <= az ? Vector3D{1, 0, 0} : ay <= az ? Vector3D{0, 1, 0} : Vector3D{0, 0, 1};
    x = cross(helper, a);
    x = x * (1.0 / x.norm());
  }
  const Vector3D y = cross(a, x);
  SpatialRotation r;
  for (int i = 0; i < 3; ++i) r(i, 0) = x[i], r(i, 1) = y[i], r(i, 2) = a[i];
  return r;
}

// The sources of lanes `used` (the others may hold anything): lane l from lane lane[l] of
// row row[l].
LaneSources sources_of(const std::uint32_t (&row)[kWidth], const std::uint32_t (&lane)[kWidth], unsigned used) {
  LaneSources s;
  for (std::size_t l = 0; l < kWidth; ++l) {
    if (!(used >> l & 1)) continue;
    s.perm[2 * l] = static_cast<std::int32_t>(2 * lane[l]), s.perm[2 * l + 1] = static_cast<std::int32_t>(2 * lane[l] + 1);
    std::size_t j = 0;
    while (j < s.count && s.row[j] != row[l]) ++j;
    if (j == s.count) s.row[s.count++] = row[l];
    s.mask[j] |= static_cast<std::uint8_t>(1u << l);
  }
  return s;
}

void set_lane(double (&to)[9][4], const SpatialRotation& r, int lane) {
  for (int k = 0; k < 9; ++k) to[k][lane] = r.m[k];
}

std::unique_ptr<BranchSchedule> make_schedule(const Model& model) {
  if (!covers(model)) return nullptr;
  const std::vector<JointStep>& steps = model.steps();
  const std::size_t n = steps.size();
  for (std::size_t i = 1; i < n; ++i) {
    if (steps[i].motion.kind == JointType::Fixed) return nullptr;
    // A slide along a zero axis has no direction to turn onto z (and no acceleration).
    if (!steps[i].motion.rotates() && !(steps[i].motion.axis.norm() > 0)) return nullptr;
  }

  // Each joint continues the chain of its tallest child (the first one of that height).
  std::vector<std::uint32_t> height(n, 1), tallest(n, 0);
  for (std::size_t i = n - 1; i >= 1; --i) {
    const std::size_t p = steps[i].parent;
    if (p == 0) continue;
    if (height[i] + 1 >= height[p]) height[p] = height[i] + 1, tallest[p] = static_cast<std::uint32_t>(i);
  }
  // The chains by their first joint; those hanging from each joint.
  std::vector<std::uint32_t> tops;
  std::vector<std::vector<std::uint32_t>> hanging(n);
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t p = steps[i].parent;
    if (p == 0 || tallest[p] != i) hanging[p].push_back(static_cast<std::uint32_t>(i));
  }

  // Chains ready (their parent placed) go first by the earliest step they can start at,
  // then longest first (then in joint order); each into the lane where it starts soonest,
  // of those the fullest.
  struct Ready {
    std::uint32_t earliest, length, top;
    bool operator<(const Ready& o) const {  // the priority queue's top is the greatest
      if (earliest != o.earliest) return earliest > o.earliest;
      if (length != o.length) return length < o.length;
      return top > o.top;
    }
  };
  std::priority_queue<Ready> ready;
  for (const std::uint32_t top : hanging[0]) ready.push({0, height[top], top});
  std::vector<std::uint32_t> group_of(n, 0), lane_of(n, 0);
  std::array<std::uint32_t, kWidth> end{};
  while (!ready.empty()) {
    const Ready chain = ready.top();
    ready.pop();
    std::size_t lane = 0;
    for (std::size_t l = 1; l < kWidth; ++l) {
      const std::uint32_t start = std::max(end[l], chain.earliest), best_start = std::max(end[lane], chain.earliest);
      if (start < best_start || (start == best_start && end[l] > end[lane])) lane = l;
    }
    std::uint32_t g = std::max(end[lane], chain.earliest);
    for (std::uint32_t j = chain.top; j != 0; j = tallest[j], ++g) {
      group_of[j] = g, lane_of[j] = static_cast<std::uint32_t>(lane);
      for (const std::uint32_t top : hanging[j]) ready.push({g + 1, height[top], top});
    }
    end[lane] = g;
  }
  const std::size_t groups = *std::max_element(end.begin(), end.end());
  // Worth it only when the steps hold two joints or more on average; nothing more is laid
  // out otherwise.
  auto schedule = std::make_unique<BranchSchedule>();
  schedule->worthwhile = n >= 9 && 2 * groups <= n - 1;
  if (!schedule->worthwhile) return schedule;

  schedule->groups.resize(groups);
  schedule->constants.resize(groups);
  std::vector<SpatialRotation> turn(n, SpatialRotation::identity());
  for (std::size_t i = 1; i < n; ++i) turn[i] = turning_z_to(steps[i].motion);
  for (std::size_t g = 0; g < groups; ++g) {
    BranchGroup& grp = schedule->groups[g];
    BranchConstants& k = schedule->constants[g];
    for (std::size_t l = 0; l < kWidth; ++l) {
      // Empty lanes: a joint at the origin rotating about z, parent the same lane a row
      // up, an inertia of their own (see aba_branches); nothing of theirs is kept.
      grp.parent_row[l] = static_cast<std::uint32_t>(g), grp.parent_lane[l] = static_cast<std::uint32_t>(l);
      set_lane(k.R, SpatialRotation::identity(), static_cast<int>(l));
      set_lane(k.turn, SpatialRotation::identity(), static_cast<int>(l));
      for (int e = 0; e < 3; ++e) k.t[e][l] = 0;
      k.r[l] = 1, k.p[l] = 0;
    }
  }
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    const std::uint32_t g = group_of[i], l = lane_of[i];
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << l);
    BranchGroup& grp = schedule->groups[g];
    BranchConstants& k = schedule->constants[g];
    grp.joint[l] = static_cast<std::uint32_t>(i);
    grp.q[l] = static_cast<std::uint32_t>(step.idx_q), grp.v[l] = static_cast<std::uint32_t>(step.idx_v);
    grp.q_sine[l] = static_cast<std::uint32_t>(step.idx_q + (step.motion.kind == JointType::Continuous));
    grp.real |= bit;
    const std::size_t p = step.parent;
    grp.parent_row[l] = p == 0 ? 0 : group_of[p] + 1;
    grp.parent_lane[l] = p == 0 ? l : lane_of[p];
    const bool same = grp.parent_row[l] == g && grp.parent_lane[l] == l;
    if (!same) grp.patch |= bit;
    if (p != 0) (same ? grp.inward : grp.elsewhere) |= bit;
    if (step.motion.kind == JointType::Continuous) grp.continuous |= bit;
    if (step.motion.kind == JointType::Prismatic) {
      grp.prismatic |= bit;
      schedule->prismatic = true;
      k.r[l] = 0, k.p[l] = step.motion.axis.norm();
    }
    if (!(turn[i] == SpatialRotation::identity())) grp.turned |= bit;
    // The placement between the turned frames: turn[p]^T placement turn[i].
    const SpatialRotation back = turn[p].transpose();
    set_lane(k.R, back * step.placement.rotation * turn[i], static_cast<int>(l));
    const Vector3D t = back * step.placement.translation;
    for (int e = 0; e < 3; ++e) k.t[e][l] = t[e];
    set_lane(k.turn, turn[i].transpose(), static_cast<int>(l));
  }
  for (BranchGroup& grp : schedule->groups) grp.parents = sources_of(grp.parent_row, grp.parent_lane, grp.real);
  const std::size_t nv = model.nv;

  // The mass matrix: each joint's diagonal entry, then its ancestors one by one, as long as
  // the steps up stay within a few per joint (a step's are as many as its deepest joint
  // has ancestors) and the entries' places fit the records.
  std::vector<std::uint32_t> depth(n, 0);
  std::size_t walk_steps = 0;
  for (std::size_t i = 1; i < n; ++i) depth[i] = depth[steps[i].parent] + 1;
  for (const BranchGroup& grp : schedule->groups) {
    std::uint32_t deepest = 0;
    for (std::size_t l = 0; l < kWidth; ++l) deepest = std::max(deepest, grp.real >> l & 1 ? depth[grp.joint[l]] : 0);
    walk_steps += deepest;
  }
  if (walk_steps > 16 * n || nv >= 0x10000) return schedule;
  schedule->mass_matrix = true;
  for (std::size_t g = 0; g < groups; ++g) {
    BranchGroup& grp = schedule->groups[g];
    std::uint32_t row[kWidth], lane[kWidth];
    std::uint8_t active = grp.inward | grp.elsewhere;
    for (std::size_t l = 0; l < kWidth; ++l) {
      grp.diagonal[l] = static_cast<std::uint32_t>(grp.v[l] * (nv + 1));
      row[l] = grp.parent_row[l], lane[l] = grp.parent_lane[l];
    }
    grp.walk_begin = static_cast<std::uint32_t>(schedule->walks.size());
    while (active) {
      BranchWalk w{};
      w.active = active;
      w.common = true;
      std::uint32_t common_row = 0;
      for (std::size_t l = 0; l < kWidth; ++l) {
        if (!(active >> l & 1)) continue;
        const BranchGroup& up = schedule->groups[row[l] - 1];
        const std::size_t ancestor = up.v[lane[l]], joint = grp.v[l];
        w.entry[l] = static_cast<std::uint32_t>(ancestor + nv * joint);
        w.mirror[l] = static_cast<std::uint32_t>(joint + nv * ancestor);
        if (lane[l] != l || (common_row && row[l] != common_row)) w.common = false;
        common_row = row[l];
      }
      w.common_row = common_row;
      w.sources = sources_of(row, lane, active);
      for (std::size_t l = 0; l < kWidth; ++l) {
        if (!(active >> l & 1)) continue;
        const BranchGroup& up = schedule->groups[row[l] - 1];
        row[l] = up.parent_row[lane[l]], lane[l] = up.parent_lane[lane[l]];
        if (row[l] == 0) active &= static_cast<std::uint8_t>(~(1u << l));
      }
      schedule->walks.push_back(w);
    }
    grp.walk_end = static_cast<std::uint32_t>(schedule->walks.size());
  }
  return schedule;
}

}  // namespace

const BranchSchedule* branch_schedule(const Model& model) {
  struct Entry {
    std::uint64_t stamp = 0;
    std::unique_ptr<BranchSchedule> schedule;
  };
  thread_local std::array<Entry, 4> cache;
  thread_local std::size_t next = 0;
  const std::uint64_t stamp = model.records_stamp();
  for (const Entry& e : cache)
    if (e.stamp == stamp) return e.schedule.get();
  Entry& e = cache[next++ % cache.size()];
  e.schedule = make_schedule(model);
  e.stamp = stamp;
  return e.schedule.get();
}

const BranchBodies* branch_bodies(const Model& model, const BranchSchedule& schedule) {
  const std::vector<Inertia>& inertias = model.inertias;
  static const Inertia empty{1.0, Vector3D{}, Symmetric3{{1, 1, 1, 0, 0, 0}}};
  schedule.bodies.resize(schedule.groups.size());
  for (std::size_t g = 0; g < schedule.groups.size(); ++g) {
    const BranchGroup& grp = schedule.groups[g];
    BranchBodies& b = schedule.bodies[g];
    for (std::size_t l = 0; l < kWidth; ++l) {
      const Inertia& I = grp.real >> l & 1 ? inertias[grp.joint[l]] : empty;
      SpatialRotation turn;
      for (int e = 0; e < 9; ++e) turn.m[e] = schedule.constants[g].turn[e][l];
      const Vector3D com = turn * I.com;
      const Symmetric3 inertia = I.inertia.rotate(turn);
      b.mass[l] = I.mass;
      for (int e = 0; e < 3; ++e) b.com[e][l] = com[e];
      for (int e = 0; e < 6; ++e) b.inertia[e][l] = inertia.data[e];
    }
  }
  schedule.bodies_of = inertias;
  return schedule.bodies.data();
}

}  // namespace velmora::lanes
