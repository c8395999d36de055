// libFuzzer target: any bytes handed to the URDF loader must end in a model or an
// error, never a crash or a hang; a model it returns must be consistent and hold only
// finite numbers. The model-only loader gets the same bytes: it must accept whatever
// the full loader accepts and build the very same model, and refuse only what the full
// loader refuses too.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/urdf/internal.hpp"
#include "core/urdf/urdf.hpp"

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "inconsistent result: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) broken(what);
}

bool finite(double x) { return std::isfinite(x); }
template <class T, std::size_t N>
bool finite(const std::array<T, N>& values) {
  for (const T x : values)
    if (!std::isfinite(x)) return false;
  return true;
}
bool finite(const velmora::Vector3D& v) { return finite(v.x) && finite(v.y) && finite(v.z); }
bool finite(const velmora::SE3& m) { return finite(m.rotation.m) && finite(m.translation); }
bool finite(const velmora::Inertia& i) { return finite(i.mass) && finite(i.com) && finite(i.inertia.data); }

// Limits are finite, apart from the unbounded defaults of those a file does not give:
// lower -inf, upper, effort and velocity +inf. NaN never.
void check_limits(const velmora::JointLimits& l) {
  const auto all = [](const velmora::Configuration& c, auto ok) {
    for (std::size_t k = 0; k < c.len(); ++k)
      if (!ok(c[k])) return false;
    return true;
  };
  const auto finite_or = [](double unbounded) { return [=](double x) { return finite(x) || x == unbounded; }; };
  check(all(l.lower, finite_or(-INFINITY)) && all(l.upper, finite_or(INFINITY)) &&
            all(l.effort, finite_or(INFINITY)) && all(l.velocity, finite_or(INFINITY)),
        "limits finite or unbounded by default");
}

void check_finite(const velmora::Model& model) {
  for (std::size_t i = 0; i < model.njoints(); ++i) {
    check(finite(model.joint_placements[i]), "joint placement finite");
    check(finite(model.inertias[i]), "joint inertia finite");
    check(finite(model.steps()[i].placement) && finite(model.steps()[i].motion.axis), "joint record finite");
    for (const velmora::SpatialMotion& axis : model.joint_models[i]->get_axis())
      check(finite(axis.rotation) && finite(axis.translation), "joint axis finite");
    if (const velmora::JointLimits* limits = model.joint_models[i]->limits()) check_limits(*limits);
  }
  for (const velmora::Frame& f : model.frames) {
    check(finite(f.placement), "frame placement finite");
    check(finite(f.inertia), "frame inertia finite");
  }
  check(finite(model.gravity), "gravity finite");
}

// Bit for bit: both loaders run the same walk over the same numbers.
bool same_bits(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }
bool same(const velmora::SE3& a, const velmora::SE3& b) {
  return same_bits(a.rotation.m.data(), b.rotation.m.data(), sizeof a.rotation.m) &&
         same_bits(&a.translation, &b.translation, sizeof a.translation);
}
bool same(const velmora::Inertia& a, const velmora::Inertia& b) {
  return same_bits(&a.mass, &b.mass, sizeof a.mass) && same_bits(&a.com, &b.com, sizeof a.com) &&
         same_bits(a.inertia.data.data(), b.inertia.data.data(), sizeof a.inertia.data);
}
bool same(const velmora::Configuration& a, const velmora::Configuration& b) {
  if (a.len() != b.len()) return false;
  for (std::size_t k = 0; k < a.len(); ++k) {
    const double x = a[k], y = b[k];
    if (!same_bits(&x, &y, sizeof x)) return false;
  }
  return true;
}

void check_same_model(const velmora::Model& a, const velmora::Model& b) {
  check(a.name == b.name && a.njoints() == b.njoints() && a.nframes() == b.nframes() && a.nq == b.nq &&
            a.nv == b.nv && a.idx_q == b.idx_q && a.idx_v == b.idx_v,
        "model-only: same sizes");
  check(a.joint_names == b.joint_names && a.joint_parents == b.joint_parents, "model-only: same joints");
  for (std::size_t i = 0; i < a.njoints(); ++i) {
    check(same(a.joint_placements[i], b.joint_placements[i]) && same(a.inertias[i], b.inertias[i]),
          "model-only: same joint placements and inertias");
    const velmora::JointModel& ja = *a.joint_models[i];
    const velmora::JointModel& jb = *b.joint_models[i];
    check(ja.get_joint_type() == jb.get_joint_type() && ja.nq() == jb.nq() && ja.nv() == jb.nv(),
          "model-only: same joint kinds");
    const velmora::SpatialMotion sa = ja.motion_subspace(), sb = jb.motion_subspace();
    check(same_bits(&sa, &sb, sizeof sa), "model-only: same joint axes");
    const velmora::JointLimits* la = ja.limits();
    const velmora::JointLimits* lb = jb.limits();
    check(!la == !lb, "model-only: limits on the same joints");
    if (la)
      check(same(la->lower, lb->lower) && same(la->upper, lb->upper) && same(la->effort, lb->effort) &&
                same(la->velocity, lb->velocity),
            "model-only: same limits");
    check(a.get_joint_id(a.joint_names[i]) == b.get_joint_id(a.joint_names[i]), "model-only: same joint lookup");
  }
  for (std::size_t i = 0; i < a.nframes(); ++i) {
    const velmora::Frame& fa = a.frames[i];
    const velmora::Frame& fb = b.frames[i];
    check(fa.name == fb.name && fa.parent_joint == fb.parent_joint && fa.parent_frame == fb.parent_frame &&
              fa.frame_type == fb.frame_type && same(fa.placement, fb.placement) && same(fa.inertia, fb.inertia),
          "model-only: same frames");
  }
}

void check_models(const velmora::UrdfModels& m) {
  const velmora::Model& model = m.model;
  const std::size_t n = model.njoints();
  check(n >= 1 && model.nframes() >= 1, "universe joint and world frame");
  check(model.joint_parents.size() == n && model.joint_placements.size() == n && model.joint_models.size() == n &&
            model.inertias.size() == n,
        "per-joint lists of one length");
  std::size_t nq = 0, nv = 0;
  for (std::size_t i = 0; i < n; ++i) {
    check(i == 0 ? model.joint_parents[i] == 0 : model.joint_parents[i] < i, "parents before children");
    check(model.joint_models[i] != nullptr, "joint model present");
    nq += model.joint_models[i]->nq();
    nv += model.joint_models[i]->nv();
    check(velmora::urdf::is_utf8(model.joint_names[i]), "joint name is UTF-8");
  }
  check(nq == model.nq && nv == model.nv, "nq and nv are the sums over the joints");
  for (const velmora::Frame& f : model.frames) {
    check(f.parent_joint < n, "frame parent joint exists");
    check(f.parent_frame < model.nframes(), "frame parent frame exists");
    check(velmora::urdf::is_utf8(f.name), "frame name is UTF-8");
  }
  check_finite(model);
  for (const velmora::GeometryModel* g : {&m.collision_model, &m.visual_model})
    for (const velmora::GeometryObject& o : g->objects) {
      check(o.geometry != nullptr, "shape present");
      check(o.parent_joint < n && o.parent_frame < model.nframes(), "geometry object attached to existing ids");
      check(finite(o.placement) && finite(o.mesh_color.rgba), "geometry placement and colour finite");
      if (const auto r = o.geometry->get_radius()) check(std::isfinite(*r), "shape radius finite");
      if (const auto h = o.geometry->get_half_extents()) check(finite(*h), "shape extents finite");
      if (const auto l = o.geometry->get_half_length()) check(std::isfinite(*l), "shape length finite");
    }
  // The copy of a loaded model is what Python hands out: it must copy cleanly too.
  const velmora::Model copy = model;
  check(copy.njoints() == n, "model copies");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Relative mesh names resolve against "/", so both existing and missing files occur.
  const auto result = velmora::build_models_from_urdf_string(text, std::string("/"));
  if (result)
    check_models(*result);
  else
    check(!result.error().display().empty(), "error has a text");
  const auto model = velmora::build_model_from_urdf_string(text);
  if (result) {
    check(model.has_value(), "model-only accepts what the full loader accepts");
    check_same_model(*model, result->model);
  } else if (!model) {
    check(!model.error().display().empty(), "model-only error has a text");
  } else {
    check_finite(*model);
  }
  return 0;
}
