// Python classes Model, Data, Frame and FrameType.
#pragma once

#include <array>
#include <vector>

#include "binding/arrays.hpp"
#include "binding/enums.hpp"
#include "core/model/frame.hpp"
#include "core/model/model.hpp"

namespace velmora::py {

struct PyModel {
  using Native = Model;
  static constexpr const char* name = "Model";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyData {
  using Native = Data;
  static constexpr const char* name = "Data";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyFrame {
  using Native = Frame;
  static constexpr const char* name = "Frame";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyFrameType : vb::Enum<PyFrameType> {
  using Native = FrameType;
  static constexpr const char* name = "FrameType";
  static constexpr bool constructible = false;
  static constexpr const char* doc = nullptr;
  static constexpr std::array<const char*, 5> members = {"Operational", "Joint", "Fixed", "Body", "Sensor"};
};

// Refuses (ValueError, nothing changed) a Data made for a model of another shape.
bool check_data_fits(const Model& model, const Data& data);

// The arguments of the functions taking (model, data, arrays...): in[0] a Model, in[1] a
// Data, the rest float64 arrays of `ndim` dimensions (any number when negative); a
// TypeError naming the first one that is not.
template <std::size_t N>
bool to_model_data_arrays(const char* function, const char* const (&names)[N], vb::Args<N>& in,
                          vb::Object<PyModel>*& model, vb::Object<PyData>*& data, vb::ArrayView (&arrays)[N - 2],
                          int ndim) {
  if (!vb::to_object(in[0], {function, names[0]}, model) || !vb::to_object(in[1], {function, names[1]}, data))
    return false;
  for (std::size_t k = 0; k < N - 2; ++k)
    if (!vb::to_array(in[2 + k], {function, names[2 + k]}, ndim, arrays[k])) return false;
  return true;
}

}  // namespace velmora::py
