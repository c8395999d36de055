// Loading a robot from a URDF document: a kinematic model with its frames and
// inertias, and two geometry models (collision and visual shapes).
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/geometry/geometry.hpp"
#include "core/model/model.hpp"

namespace velmora {

// Every failure of the loader. `a` and `b` hold the values the display text is made of
// (see display()); cases with one value use `a` only.
struct ParseError {
  enum class Kind {
    IoError,                // a: the system's message, b: the file path
    XmlError,               // a: the XML parser's message
    NoRobotTag,             //
    VisualWithoutGeometry,  // a: the geometry object's name
    GeometryWithoutShape,   // a: the geometry object's name
    MissingParameter,       // a: the attribute or element name
    InvalidParameter,       // a: the attribute name
    MissingName,            // a: a rendering of the element
    MaterialWithoutColor,   // a: the material's name
    UnknownJointType,       // a: the "type" text
    InvalidModel,           // a: the model error's display text
    UnknownLinkName,        // a: the requested link name
    InvalidFilePath,        // a: what is wrong with the mesh path
    MissingInertia,         // a: the link's name
    MissingMass,            // a: the link's name
    UnknownParentFrame,     // a: the parent element's name
    LinkReachedTwice,       // a: the link's name (a cycle, or a link with two parents)
    DuplicateFixedJoint,    // a: the joint's name, b: the id of the frame holding it
    NotFinite,              // a: the computed value that overflowed ("the placement of frame 'x'")
  };
  Kind kind;
  std::string a;
  std::string b;

  std::string display() const;
};

// The three results of a successful load.
struct UrdfModels {
  Model model;
  GeometryModel collision_model;
  GeometryModel visual_model;
};

// Reads the file at `filepath` (UTF-8 text) and builds the models. Relative mesh file
// names are resolved against `package_dir`, "package://" names through the
// ROS_PACKAGE_PATH environment variable. With a `root_joint` (copied), the robot's one
// root link hangs from a joint of that model named "root_joint" below the world, at the
// world's origin; without one, every root link is welded to the world.
std::expected<UrdfModels, ParseError> build_models_from_urdf(const std::string& filepath,
                                                             const std::optional<std::string>& package_dir,
                                                             const JointModel* root_joint = nullptr);

// The same for a document held in memory (any bytes: text that is not UTF-8 is refused
// like an unreadable file, with "<string>" as the file name).
std::expected<UrdfModels, ParseError> build_models_from_urdf_string(std::string_view text,
                                                                    const std::optional<std::string>& package_dir,
                                                                    const JointModel* root_joint = nullptr);

// The kinematic model alone: the very model build_models_from_urdf returns for the same
// document, built without reading the <visual> and <collision> elements or the robot's
// materials, so that no mesh file is looked up and a malformed geometry element does
// not matter. Every error of the elements the model is made of is reported as there.
// `root_joint` as for build_models_from_urdf.
std::expected<Model, ParseError> build_model_from_urdf(const std::string& filepath,
                                                       const JointModel* root_joint = nullptr);
std::expected<Model, ParseError> build_model_from_urdf_string(std::string_view text,
                                                              const JointModel* root_joint = nullptr);

}  // namespace velmora
