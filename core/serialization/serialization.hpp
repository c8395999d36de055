// A byte form of the model's values, for sending them to other processes and machines
// (Python's pickle): every number exactly as stored, bit for bit.
//
// Layout: the 8 bytes "VELMORA\0", the format version (u32), the kind of value (u8),
// then the value. Integers are little-endian u64 (u32, u8 where said), doubles and floats
// their IEEE bits as little-endian u64 / u32, strings a u64 byte count and the bytes.
// A reader refuses any version it does not know rather than guess at its layout.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "core/geometry/geometry.hpp"
#include "core/inertia/inertia.hpp"
#include "core/model/frame.hpp"
#include "core/model/model.hpp"
#include "core/spatial/configuration.hpp"
#include "core/spatial/se3.hpp"

namespace velmora::serial {

// The version this build writes, and the only one it reads.
constexpr std::uint32_t kFormatVersion = 1;

enum class Kind : std::uint8_t {
  Model = 1,
  GeometryModel = 2,
  GeometryObject = 3,
  Inertia = 4,
  SE3 = 5,
  Frame = 6,
  Configuration = 7,
  Shape = 8,
};

// Errors: a value that has no byte form (a joint or shape of a kind this format does not
// describe), or bytes that are not a value of this format.
using Bytes = std::expected<std::string, std::string>;

Bytes encode(const Model& model);
Bytes encode(const GeometryModel& model);
Bytes encode(const GeometryObject& object);
Bytes encode(const Inertia& inertia);
Bytes encode(const SE3& placement);
Bytes encode(const Frame& frame);
Bytes encode(const Configuration& configuration);
Bytes encode(const Shape& shape);

using Value = std::variant<Model, GeometryModel, GeometryObject, Inertia, SE3, Frame, Configuration,
                           std::unique_ptr<Shape>>;

// The value the bytes describe; an error says what is wrong (unknown version, wrong
// header, truncated or inconsistent data).
std::expected<Value, std::string> decode(std::string_view bytes);

}  // namespace velmora::serial
