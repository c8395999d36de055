// The attribute readers every number of the loader passes through: finite values as
// written, NaN, infinities and overflowing decimals refused, optional attributes that
// keep their default only when the text is not a number.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "core/urdf/internal.hpp"
#include "core/urdf/urdf.hpp"

using namespace velmora;
using namespace velmora::urdf;

namespace {

constexpr const char* kNonFinite[] = {"nan", "NaN", "-nan", "inf", "-inf", "+Infinity", "1e999", "-1e400",
                                      "123456789e301"};

bool refused_as(const ParseError& e, const char* name) {
  return e.kind == ParseError::Kind::InvalidParameter && e.a == name;
}

}  // namespace

TEST(UrdfReaders, SingleNumbers) {
  for (const char* text : kNonFinite) {
    const auto d = read_f64(text, "value");
    ASSERT_FALSE(d) << text;
    EXPECT_TRUE(refused_as(d.error(), "value")) << text;
    const auto f = read_f32(text, "radius");
    ASSERT_FALSE(f) << text;
    EXPECT_TRUE(refused_as(f.error(), "radius")) << text;
  }
  EXPECT_EQ(read_f64("1.7976931348623157e308", "value").value(), DBL_MAX);
  EXPECT_EQ(read_f64("-1.7976931348623157e308", "value").value(), -DBL_MAX);
  EXPECT_EQ(read_f64("4.9406564584124654e-324", "value").value(), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(read_f64("1e-400", "value").value(), 0.0);  // underflow rounds to zero, a finite value
  // Single precision: its own largest value loads; anything rounding beyond it is infinite.
  EXPECT_EQ(read_f32("3.4028234663852886e38", "radius").value(), FLT_MAX);
  EXPECT_TRUE(refused_as(read_f32("3.5e38", "radius").error(), "radius"));
  EXPECT_TRUE(refused_as(read_f32("1.7976931348623157e308", "radius").error(), "radius"));
  // Absent is still missing, and text that is not a number still invalid.
  EXPECT_EQ(read_f64(nullptr, "value").error().kind, ParseError::Kind::MissingParameter);
  EXPECT_TRUE(refused_as(read_f64("1,5", "value").error(), "value"));
}

TEST(UrdfReaders, Lists) {
  for (const char* bad : kNonFinite) {
    // In any position, in the short-decimal path's neighbourhood or alone.
    for (const std::string& text : {std::string(bad) + " 0 0", "0 " + std::string(bad) + " 0",
                                   "0.5 0.25 " + std::string(bad)}) {
      const auto d = read_list<double, 3>(text.c_str(), "xyz");
      ASSERT_FALSE(d) << text;
      EXPECT_TRUE(refused_as(d.error(), "xyz")) << text;
      const auto f = read_list<float, 3>(text.c_str(), "size");
      ASSERT_FALSE(f) << text;
      EXPECT_TRUE(refused_as(f.error(), "size")) << text;
    }
  }
  const auto big = read_list<double, 4>("1.7976931348623157e308 -1.7976931348623157e308 0 1", "rgba");
  ASSERT_TRUE(big);
  EXPECT_EQ((*big)[0], DBL_MAX);
  EXPECT_EQ((*big)[1], -DBL_MAX);
  EXPECT_TRUE(refused_as(read_list<float, 3>("1 1e39 1", "size").error(), "size"));
}

TEST(UrdfReaders, OptionalAttributesKeepTheirDefaultOnlyForText) {
  // Absent, or not a number: nothing, and the caller keeps its default.
  EXPECT_EQ(read_optional_f64(nullptr, "lower").value(), std::nullopt);
  EXPECT_EQ(read_optional_f64("abc", "lower").value(), std::nullopt);
  EXPECT_EQ(read_optional_f64("", "lower").value(), std::nullopt);
  EXPECT_EQ(read_optional_f64("-0.5", "lower").value(), -0.5);
  EXPECT_EQ(read_optional_f64("1.7976931348623157e308", "upper").value(), DBL_MAX);
  for (const char* text : kNonFinite) EXPECT_TRUE(refused_as(read_optional_f64(text, "upper").error(), "upper"));

  EXPECT_EQ((read_optional_list<double, 3>(nullptr, "xyz").value()), std::nullopt);
  EXPECT_EQ((read_optional_list<double, 3>("0 1", "rpy").value()), std::nullopt);
  EXPECT_EQ((read_optional_list<double, 3>("a b c", "xyz").value()), std::nullopt);
  // A list that is not three numbers is text, whatever else it holds.
  EXPECT_EQ((read_optional_list<double, 3>("nan nan", "xyz").value()), std::nullopt);
  EXPECT_EQ((read_optional_list<double, 3>("nan x 0", "xyz").value()), std::nullopt);
  EXPECT_TRUE(refused_as(read_optional_list<double, 3>("0 nan 0", "xyz").error(), "xyz"));
  EXPECT_TRUE(refused_as(read_optional_list<double, 4>("1 0 0 1e400", "rgba").error(), "rgba"));
  const auto rgba = read_optional_list<double, 4>("0.25 0.5 0.75 1", "rgba");
  ASSERT_TRUE(rgba && *rgba);
  EXPECT_EQ((**rgba)[2], 0.75);
}

TEST(UrdfReaders, OriginsRefuseNonFiniteNumbers) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(R"(<a><o xyz="0 0 inf"/><p xyz="0 0 0" rpy="nan 0 0"/><q xyz="0 0 1e308"/></a>)"));
  const pugi::xml_node a = doc.child("a");
  EXPECT_TRUE(refused_as(parse_origin_element(a.child("o")).error(), "xyz"));
  EXPECT_TRUE(refused_as(parse_origin_element(a.child("p")).error(), "rpy"));
  EXPECT_EQ(parse_origin_element(a.child("q")).value().translation.z, 1e308);
}

TEST(UrdfModelOnly, SameModelAsTheFullLoaderWithoutGeometry) {
  const std::string text = R"(<robot name="r">
    <material name="m"/>
    <link name="base"><inertial><origin xyz="0 0 0.5" rpy="0 0.3 0"/><mass value="2"/>
      <inertia ixx="1" ixy="0.1" ixz="0" iyy="2" iyz="0" izz="3"/></inertial>
      <visual><geometry><mesh filename="nowhere.stl"/></geometry></visual></link>
    <link name="arm"><collision><geometry><box size="1 2"/></geometry></collision></link>
    <link name="tool"><inertial><mass value="1"/><inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/>
      </inertial></link>
    <joint name="j" type="revolute"><parent link="base"/><child link="arm"/><origin xyz="0 0 1" rpy="0 0 0.5"/>
      <axis xyz="0 1 0"/><limit lower="-1" upper="1" effort="5" velocity="2"/></joint>
    <joint name="f" type="fixed"><parent link="arm"/><child link="tool"/><origin xyz="1 0 0"/></joint>
  </robot>)";
  // The geometry is broken three ways (material without colour, missing mesh, box of two).
  EXPECT_FALSE(build_models_from_urdf_string(text, std::string("/")));
  const auto alone = build_model_from_urdf_string(text);
  ASSERT_TRUE(alone) << alone.error().display();

  std::string clean = text;
  for (const std::string& cut : {std::string(R"(<material name="m"/>)"),
                                std::string(R"(<visual><geometry><mesh filename="nowhere.stl"/></geometry></visual>)"),
                                std::string(R"(<collision><geometry><box size="1 2"/></geometry></collision>)")})
    clean.erase(clean.find(cut), cut.size());
  const auto full = build_models_from_urdf_string(clean, std::nullopt);
  ASSERT_TRUE(full) << full.error().display();
  const Model& a = *alone;
  const Model& b = full->model;
  ASSERT_EQ(a.joint_names, b.joint_names);
  ASSERT_EQ(a.nframes(), b.nframes());
  for (std::size_t i = 0; i < a.njoints(); ++i) {
    EXPECT_EQ(a.joint_placements[i].rotation.m, b.joint_placements[i].rotation.m);
    EXPECT_EQ(a.inertias[i].mass, b.inertias[i].mass);
    EXPECT_EQ(a.inertias[i].inertia.data, b.inertias[i].inertia.data);
  }
  for (std::size_t i = 0; i < a.nframes(); ++i) {
    EXPECT_EQ(a.frames[i].name, b.frames[i].name);
    EXPECT_EQ(a.frames[i].placement.translation.x, b.frames[i].placement.translation.x);
    EXPECT_EQ(a.frames[i].inertia.com.z, b.frames[i].inertia.com.z);
  }
  // Both bodies end up in the revolute joint: 1 kg at (1, 0, 0), nothing else below it.
  EXPECT_EQ(a.inertias[1].mass, 1.0);
  EXPECT_EQ(a.inertias[1].com.x, 1.0);
  EXPECT_EQ(a.inertias[0].mass, 2.0);
}

TEST(UrdfParseErrors, PositionsCountedInTheTextAsWritten) {
  // Values with line breaks and CR LF line ends before the error: the parser rewrites
  // those in its buffer, the position is still that of the text as written.
  const std::string text = "<robot name=\"a\nb\"\r\n  x=\"1&amp;\n2\">\n<link name=\"q\r\n\"/>\n <bad\n";
  const std::string expected = "XML parsing error: Error parsing start element tag at line 7, column 6";
  const auto from_string = build_model_from_urdf_string(text);
  ASSERT_FALSE(from_string);
  EXPECT_EQ(from_string.error().display(), expected);
  EXPECT_EQ(build_models_from_urdf_string(text, std::nullopt).error().display(), expected);

  char path[] = "/tmp/velmora_urdf_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<::ssize_t>(text.size()));
  ::close(fd);
  EXPECT_EQ(build_model_from_urdf(path).error().display(), expected);
  EXPECT_EQ(build_models_from_urdf(path, std::nullopt).error().display(), expected);
  ::unlink(path);
}
