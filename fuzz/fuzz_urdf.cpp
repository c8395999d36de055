// libFuzzer target: any bytes handed to the URDF loader must end in a model or an
// error, never a crash or a hang; a model it returns must be consistent.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
  for (const velmora::GeometryModel* g : {&m.collision_model, &m.visual_model})
    for (const velmora::GeometryObject& o : g->objects) {
      check(o.geometry != nullptr, "shape present");
      check(o.parent_joint < n && o.parent_frame < model.nframes(), "geometry object attached to existing ids");
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
  return 0;
}
