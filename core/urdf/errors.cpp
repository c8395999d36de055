// Display texts of the loader's errors.
#include "core/urdf/urdf.hpp"

namespace velmora {

std::string ParseError::display() const {
  switch (kind) {
    case Kind::IoError:
      return "IO error: " + a + " (file: " + b + ")";
    case Kind::XmlError:
      return "XML parsing error: " + a;
    case Kind::NoRobotTag:
      return "No <robot> tag found in URDF.";
    case Kind::VisualWithoutGeometry:
      return "the <visual> tag named '" + a + "' does not have a corresponding <geometry> tag.";
    case Kind::GeometryWithoutShape:
      return "the <geometry> tag named '" + a + "' does not have a corresponding shape tag.";
    case Kind::MissingParameter:
      return "Missing required parameter: " + a;
    case Kind::InvalidParameter:
      return "Invalid value for parameter: " + a;
    case Kind::MissingName:
      return "Missing name attribute for " + a + ".";
    case Kind::MaterialWithoutColor:
      return "the <material> tag named '" + a + "' does not have a corresponding <color> tag.";
    case Kind::UnknownJointType:
      return "unknown joint type (" + a + ").";
    case Kind::InvalidModel:
      return "Model error: " + a;
    case Kind::UnknownLinkName:
      return "Unknown link name: " + a;
    case Kind::InvalidFilePath:
      return "Invalid file path: " + a;
    case Kind::MissingInertia:
      return "<inertial> tag in link '" + a + "' missing inertia data.";
    case Kind::MissingMass:
      return "<inertial> tag in link '" + a + "' missing mass data.";
    case Kind::UnknownParentFrame:
      return "Frame references unknown parent: " + a;
    case Kind::LinkReachedTwice:
      return "Link '" + a + "' is reached twice: the joints do not form a tree (a cycle, or a link that is " +
             "the child of two joints).";
    case Kind::DuplicateFixedJoint:
      return "Fixed joint name '" + a + "' is already used by the fixed frame with id " + b + ".";
    case Kind::NotFinite:
      return "Numbers too large: " + a + " is not finite.";
  }
  return "unknown URDF error";
}

}  // namespace velmora
