// Python classes Model, Data, Frame and FrameType.
#pragma once

#include <array>
#include <vector>

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

}  // namespace velmora::py
