// RGBA display colours of geometry objects.
#pragma once

#include <array>
#include <string>

namespace velmora {

struct Color {
  std::array<double, 4> rgba{0.0, 0.0, 0.0, 1.0};
  const double* as_slice() const { return rgba.data(); }
  bool operator==(const Color&) const = default;
};

}  // namespace velmora
