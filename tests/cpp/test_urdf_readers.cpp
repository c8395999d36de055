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

template <class R>
bool refused_as(const R& r, const char* name) {
  return !r && r.error().kind == ParseError::Kind::InvalidParameter && r.error().a == name;
}

}  // namespace

TEST(UrdfReaders, NonFiniteNumbersRefusedAloneAndInLists) {
  for (const char* bad : kNonFinite) {
    EXPECT_TRUE(refused_as(read_f64(bad, "value"), "value")) << bad;
    EXPECT_TRUE(refused_as(read_f32(bad, "radius"), "radius")) << bad;
    EXPECT_TRUE(refused_as(read_optional_f64(bad, "upper"), "upper")) << bad;
    // In any position, next to pieces the quick decimal path takes.
    for (const std::string& text : {std::string(bad) + " 0 0", "0 " + std::string(bad) + " 0",
                                    "0.5 0.25 " + std::string(bad)}) {
      EXPECT_TRUE(refused_as(read_list<double, 3>(text.c_str(), "xyz"), "xyz")) << text;
      EXPECT_TRUE(refused_as(read_list<float, 3>(text.c_str(), "size"), "size")) << text;
      EXPECT_TRUE(refused_as(read_optional_list<double, 3>(text.c_str(), "rpy"), "rpy")) << text;
    }
  }
  // The edges of the ranges are finite and kept exactly; underflow rounds to zero.
  EXPECT_EQ(read_f64("-1.7976931348623157e308", "value").value(), -DBL_MAX);
  EXPECT_EQ(read_f64("1e-400", "value").value(), 0.0);
  const auto big = read_list<double, 4>("1.7976931348623157e308 4.9406564584124654e-324 0 1", "rgba");
  ASSERT_TRUE(big);
  EXPECT_EQ((*big)[0], DBL_MAX);
  EXPECT_EQ((*big)[1], std::numeric_limits<double>::denorm_min());
  // Single precision has its own range: what rounds beyond it is infinite.
  EXPECT_EQ(read_f32("3.4028234663852886e38", "radius").value(), FLT_MAX);
  EXPECT_TRUE(refused_as(read_f32("3.5e38", "radius"), "radius"));
  EXPECT_TRUE(refused_as(read_list<float, 3>("1 1.7976931348623157e308 1", "size"), "size"));
  // Absent is still missing, and text that is not a number still invalid.
  EXPECT_EQ(read_f64(nullptr, "value").error().kind, ParseError::Kind::MissingParameter);
  EXPECT_TRUE(refused_as(read_f64("1,5", "value"), "value"));
}

TEST(UrdfReaders, OptionalAttributesKeepTheirDefaultOnlyForText) {
  // Absent, or not a number: nothing, and the caller keeps its default.
  for (const char* text : {static_cast<const char*>(nullptr), "abc", "", "1 2"})
    EXPECT_EQ(read_optional_f64(text, "lower").value(), std::nullopt);
  EXPECT_EQ(read_optional_f64("-0.5", "lower").value(), -0.5);
  // A list that is not three numbers is text, whatever else it holds.
  for (const char* text : {static_cast<const char*>(nullptr), "0 1", "a b c", "nan nan", "nan x 0", "0 0 0 nan"})
    EXPECT_EQ((read_optional_list<double, 3>(text, "xyz").value()), std::nullopt) << (text ? text : "null");
  const auto rgba = read_optional_list<double, 4>("0.25 0.5 0.75 1", "rgba");
  ASSERT_TRUE(rgba && *rgba);
  EXPECT_EQ((**rgba)[2], 0.75);
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
