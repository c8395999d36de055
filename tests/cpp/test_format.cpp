#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/spatial/configuration.hpp"
#include "core/spatial/format.hpp"
#include "core/spatial/se3.hpp"

using namespace velmora;

TEST(Format, PlainShortestWithoutExponent) {
  EXPECT_EQ(fmt::plain(1.0), "1");
  EXPECT_EQ(fmt::plain(-0.5), "-0.5");
  EXPECT_EQ(fmt::plain(1e20), "100000000000000000000");
  EXPECT_EQ(fmt::plain(1e21), "1000000000000000000000");
  EXPECT_EQ(fmt::plain(-0.0), "-0");
  EXPECT_EQ(fmt::plain(0.1), "0.1");
  EXPECT_EQ(fmt::plain(1e-7), "0.0000001");
  EXPECT_EQ(fmt::plain(123.456), "123.456");
  EXPECT_EQ(fmt::plain(NAN), "NaN");
  EXPECT_EQ(fmt::plain(INFINITY), "inf");
  EXPECT_EQ(fmt::plain(-INFINITY), "-inf");
  EXPECT_EQ(fmt::plain(5e-324), "0." + std::string(323, '0') + "5");
}

TEST(Format, DebugThresholds) {
  EXPECT_EQ(fmt::debug(1.0), "1.0");
  EXPECT_EQ(fmt::debug(0.0), "0.0");
  EXPECT_EQ(fmt::debug(-0.0), "-0.0");
  EXPECT_EQ(fmt::debug(-9.81), "-9.81");
  EXPECT_EQ(fmt::debug(1e-4), "0.0001");
  EXPECT_EQ(fmt::debug(0.00001), "1e-5");
  EXPECT_EQ(fmt::debug(-1.25e-7), "-1.25e-7");
  EXPECT_EQ(fmt::debug(1.5e16), "1.5e16");
  EXPECT_EQ(fmt::debug(1e16), "1e16");
  EXPECT_EQ(fmt::debug(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(fmt::debug(NAN), "NaN");
  EXPECT_EQ(fmt::debug(-INFINITY), "-inf");
}

TEST(Format, FixedDecimals) {
  EXPECT_EQ(fmt::fixed(1.0, 4), "1.0000");
  EXPECT_EQ(fmt::fixed(-0.0, 4), "-0.0000");
  EXPECT_EQ(fmt::fixed(1e-5, 4), "0.0000");
  EXPECT_EQ(fmt::fixed(-1e-5, 4), "-0.0000");
  EXPECT_EQ(fmt::fixed(0.5, 4), "0.5000");
  EXPECT_EQ(fmt::fixed(2.00005, 4), "2.0000");  // 2.00005 is below the half in binary
}

TEST(Format, QuotedEscapes) {
  EXPECT_EQ(fmt::quoted("j1"), "\"j1\"");
  EXPECT_EQ(fmt::quoted("a\"b\\c\n"), "\"a\\\"b\\\\c\\n\"");
  EXPECT_EQ(fmt::quoted(std::string("\x01", 1)), "\"\\u{1}\"");
}

TEST(Format, DebugRenderingsCompactAndPretty) {
  EXPECT_EQ(SE3::identity().debug(),
            "SE3(Isometry { rotation: [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], "
            "translation: [0.0, 0.0, 0.0] })");
  const std::string expected =
      "Configuration(\n    VecStorage {\n        data: [\n            0.0,\n            1.5,\n        ],\n"
      "        nrows: Dyn(\n            2,\n        ),\n        ncols: Const,\n    },\n)";
  EXPECT_EQ(Configuration(std::vector<double>{0.0, 1.5}).repr(), expected);
  EXPECT_NE(Configuration().repr().find("data: [],"), std::string::npos);
}
