#include <gtest/gtest.h>

#include <unistd.h>

#include <charconv>
#include <clocale>
#include <cstdint>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <unordered_map>

#include "core/urdf/internal.hpp"
#include "core/urdf/urdf.hpp"

using namespace velmora;
using namespace velmora::urdf;
namespace fs = std::filesystem;

TEST(UrdfNumbers, DecimalForms) {
  EXPECT_EQ(parse_f64("1.57"), 1.57);
  EXPECT_EQ(parse_f64("+0.0022860"), 0.0022860);
  EXPECT_EQ(parse_f64(".02"), 0.02);
  EXPECT_EQ(parse_f64("5."), 5.0);
  EXPECT_EQ(parse_f64("-3e-2"), -0.03);
  EXPECT_EQ(parse_f64("1E3"), 1000.0);
  const auto negative_zero = parse_f64("-0");
  ASSERT_TRUE(negative_zero);
  EXPECT_TRUE(std::signbit(*negative_zero));
}

TEST(UrdfNumbers, WordsInAnyCase) {
  for (const char* s : {"inf", "INF", "Infinity", "+inFINity"}) EXPECT_EQ(parse_f64(s), INFINITY) << s;
  EXPECT_EQ(parse_f64("-inf"), -INFINITY);
  for (const char* s : {"nan", "NaN", "-NAN"}) {
    const auto v = parse_f64(s);
    ASSERT_TRUE(v) << s;
    EXPECT_TRUE(std::isnan(*v)) << s;
  }
}

TEST(UrdfNumbers, RefusesWhatIsNotOneWholeNumber) {
  for (const char* s : {"", " 1", "1 ", "+", "-", ".", "e5", "1e", "1e+", "+-1", "-+1", "++1", "0x10", "1,5",
                        "nan(1)", "infin", "1.0.0", "abc", "1f", "\xc2\xa0" "1"})
    EXPECT_FALSE(parse_f64(s)) << '"' << s << '"';
}

TEST(UrdfNumbers, OutOfRangeRoundsToInfinityOrZero) {
  EXPECT_EQ(parse_f64("1e400"), INFINITY);
  EXPECT_EQ(parse_f64("-1e400"), -INFINITY);
  EXPECT_EQ(parse_f64("123456789e301"), INFINITY);
  EXPECT_EQ(parse_f64("1e-400"), 0.0);
  EXPECT_EQ(parse_f64("0.000000000000001e-320"), 0.0);
  EXPECT_EQ(parse_f64("1e-99999999999999999999"), 0.0);
  EXPECT_EQ(parse_f32("1e39"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_f32("-1e-50"), -0.0f);
  // Near the edge of the range values are still exact (the subnormal range included).
  EXPECT_EQ(parse_f64("4.9406564584124654e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(parse_f64("1.7976931348623157e308"), std::numeric_limits<double>::max());
}

TEST(UrdfNumbers, SinglePrecisionRoundsOnce) {
  // Rounded directly to float, not through double (which could round twice).
  EXPECT_EQ(parse_f32("0.1"), 0.1f);
  EXPECT_EQ(parse_f32("1.00000005960464477539062500000001"), 1.0000001192092896f);
}

TEST(UrdfNumbers, ShortDecimalsRoundLikeTheGeneralParser) {
  // Short decimals take a quicker road than other numbers; both must give the correctly
  // rounded value. Random digit strings with the point anywhere and some exponent, and
  // the edges of that road: 2^53 and its neighbours, 19 and 20 significant digits,
  // powers of ten up to 22 and beyond, leading and trailing zeros.
  const auto reference = [](const std::string& s) {
    double v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
  };
  std::vector<std::string> texts = {"9007199254740992",     "9007199254740993",       "9007199254740991.5",
                                    "900719925474099.3",    "1234567890123456789",    "12345678901234567890",
                                    "0.1234567890123456789", "0.0000000000000000000001", "0.00000000000000000000001",
                                    "1.0000000000000000000000", "000000000000000000000000012.5", "0.30000000000000004",
                                    "5e-324",               "123.",                   ".5",
                                    "1.60324e-05",          "9007199254740993e22",    "9007199254740993e23",
                                    "1e-22",                "1e-23",                  "123E+004",
                                    "0e999",                "1.5e0"};
  std::uint64_t state = 12345;
  const auto next = [&] { return state = state * 6364136223846793005ull + 1442695040888963407ull; };
  for (int k = 0; k < 20000; ++k) {
    const std::size_t digits = 1 + next() % 21;
    std::string s;
    for (std::size_t i = 0; i < digits; ++i) s += static_cast<char>('0' + (next() >> 33) % 10);
    s.insert(next() % (digits + 1), ".");
    if (next() % 3 == 0) s += (next() % 2 ? "e-" : "e") + std::to_string(next() % 26);
    texts.push_back(s);
  }
  for (const std::string& s : texts) {
    const auto v = parse_f64(s);
    ASSERT_TRUE(v) << s;
    EXPECT_EQ(*v, reference(s)) << s;
    const auto negative = parse_f64("-" + s);
    ASSERT_TRUE(negative) << s;
    EXPECT_EQ(*negative, -reference(s)) << s;
  }
}

TEST(UrdfNumbers, IndependentOfTheLocale) {
  const char* german = std::setlocale(LC_ALL, "de_DE.UTF-8");
  if (!german) german = std::setlocale(LC_NUMERIC, "de_DE");
  EXPECT_EQ(parse_f64("1.57"), 1.57);
  EXPECT_FALSE(parse_f64("1,57"));
  std::setlocale(LC_ALL, "C");
}

TEST(UrdfText, SplitsOnUnicodeWhiteSpace) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split_whitespace("  1 2\t3\r\n"), (V{"1", "2", "3"}));
  EXPECT_EQ(split_whitespace("0 0 0 "), (V{"0", "0", "0"}));
  // U+00A0, U+2003 and U+3000 separate; U+200B (zero width space) does not.
  EXPECT_EQ(split_whitespace("1\xc2\xa0" "2\xe2\x80\x83" "3\xe3\x80\x80"), (V{"1", "2", "3"}));
  EXPECT_EQ(split_whitespace("1\xe2\x80\x8b" "2"), (V{"1\xe2\x80\x8b" "2"}));
  EXPECT_TRUE(split_whitespace(" \t ").empty());
}

TEST(UrdfText, StrictUtf8) {
  EXPECT_TRUE(is_utf8("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  for (const char* s : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\x80", "\xc3", "\xff"})
    EXPECT_FALSE(is_utf8(s)) << s;
}

TEST(UrdfPaths, Join) {
  EXPECT_EQ(join_path("/data", "meshes/a.stl"), "/data/meshes/a.stl");
  EXPECT_EQ(join_path("/data/", "a.stl"), "/data/a.stl");
  EXPECT_EQ(join_path("", "a.stl"), "a.stl");
  EXPECT_EQ(join_path("/data", "/abs/a.stl"), "/abs/a.stl");
  EXPECT_EQ(join_path("/data", ""), "/data/");
}

class UrdfMeshPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("velmora_urdf_paths_" + std::to_string(::getpid()));
    fs::create_directories(root / "ws/src/robot/meshes");
    std::ofstream(root / "ws/src/robot/meshes/base.stl") << "";
  }
  void TearDown() override { fs::remove_all(root); }

  std::string message(const Result<std::string>& r) { return r ? "ok" : r.error().display(); }

  fs::path root;
};

TEST_F(UrdfMeshPaths, PackageNamesThroughTheSearchPath) {
  const std::string pkg = (root / "ws/src/robot").string();
  const std::string expected = pkg + "/meshes/base.stl";
  const std::string search = "/opt/a:" + pkg;
  EXPECT_EQ(resolve_mesh_path("package://robot/meshes/base.stl", {}, search), expected);
  EXPECT_EQ(resolve_mesh_path("package:///robot/meshes/base.stl", {}, search), expected);
  // A trailing "/" or "/." on the entry still names the package.
  EXPECT_EQ(resolve_mesh_path("package://robot/meshes/base.stl", {}, "/opt/a:" + pkg + "/"), expected);
  EXPECT_EQ(resolve_mesh_path("package://robot/meshes/base.stl", {}, pkg + "/./"),
            pkg + "/./meshes/base.stl");
  // The first matching entry wins, even when the file is only under a later one.
  EXPECT_EQ(message(resolve_mesh_path("package://robot/meshes/base.stl", {}, "/nowhere/robot:" + pkg)),
            "Invalid file path: Mesh file does not exist: /nowhere/robot/meshes/base.stl");
  // Entries without a last component ("", "/", "..") never match.
  EXPECT_EQ(message(resolve_mesh_path("package://robot/x.stl", {}, "::/:" + pkg + "/..")),
            "Invalid file path: Package 'robot' not found in ROS_PACKAGE_PATH");
}

TEST_F(UrdfMeshPaths, OddPaths) {
  // Only valid UTF-8 paths are stored.
  const std::optional<std::string> bad_dir = std::string("/tmp/\xff");
  EXPECT_EQ(message(resolve_mesh_path("a.stl", bad_dir, {})), "Invalid file path: Invalide path: /tmp/\xff/a.stl");
  // A NUL byte must not cut the path short and find the directory before it.
  const std::optional<std::string> nul_dir = root.string() + std::string("/ws\0x", 5);
  EXPECT_NE(message(resolve_mesh_path("", nul_dir, {})), "ok");
  // The empty name names the package directory itself, which passes the existence test.
  const std::optional<std::string> dir = (root / "ws/src").string();
  EXPECT_EQ(resolve_mesh_path("", dir, {}), *dir + "/");
  // An absolute path inside a package replaces the package directory.
  EXPECT_EQ(message(resolve_mesh_path("package://robot//none.stl", {}, "/x/robot")),
            "Invalid file path: Mesh file does not exist: /none.stl");
}

TEST(UrdfBuild, FromTextAndFile) {
  const auto ok = build_models_from_urdf_string(R"(<robot name="r"><link name="a"/></robot>)", std::nullopt);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->model.name, "r");
  EXPECT_EQ(ok->model.nframes(), 2u);

  const auto not_utf8 = build_models_from_urdf_string("<robot name=\"\xff\"/>", std::nullopt);
  ASSERT_FALSE(not_utf8);
  EXPECT_EQ(not_utf8.error().display(), "IO error: stream did not contain valid UTF-8 (file: <string>)");

  const auto missing = build_models_from_urdf("/nonexistent/robot.urdf", std::nullopt);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(),
            "IO error: No such file or directory (os error 2) (file: /nonexistent/robot.urdf)");

  const auto directory = build_models_from_urdf("/", std::nullopt);
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().kind, ParseError::Kind::IoError);

  const std::string with_nul = std::string(VELMORA_ROBOTS_DIR "/r2d2/robot.urdf") + std::string("\0x", 2);
  const auto nul = build_models_from_urdf(with_nul, {});
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().kind, ParseError::Kind::IoError);
}

TEST(UrdfBuild, DeepChainsDoNotExhaustTheStack) {
  // A long chain of links: the walk keeps its own stack.
  std::string text = "<robot name=\"r\"><link name=\"l0\"/>";
  const int n = 3000;
  for (int i = 1; i <= n; ++i) {
    const std::string p = "l" + std::to_string(i - 1), c = "l" + std::to_string(i);
    text += "<link name=\"" + c + "\"/><joint name=\"j" + std::to_string(i) + "\" type=\"fixed\"><parent link=\"" + p +
            "\"/><child link=\"" + c + "\"/><origin xyz=\"0 0 1\"/></joint>";
  }
  text += "</robot>";
  const auto r = build_models_from_urdf_string(text, std::nullopt);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->model.nframes(), 2u + 2u * n);  // world, n + 1 links, n joints
  EXPECT_EQ(r->model.frames.back().placement.translation.z, double(n));

  // Elements nested a million deep: parsed and searched without recursion.
  std::string nested;
  for (int i = 0; i < 1000000; ++i) nested += "<a>";
  nested += "<robot name=\"deep\"/>";
  for (int i = 0; i < 1000000; ++i) nested += "</a>";
  const auto d = build_models_from_urdf_string(nested, std::nullopt);
  ASSERT_TRUE(d) << d.error().display();
  EXPECT_EQ(d->model.name, "deep");
}

TEST(UrdfBuild, LargeTextsLoadAsWhenParsedWhole) {
  // One link or joint a line, about 150 KiB: enough to be parsed in pieces. A character
  // reference (here in a comment on the first line) makes the loader parse the text in
  // one piece; models and errors must not depend on which way it went.
  std::string text = "<robot name=\"r\"><!---->\n<link name=\"l0\"/>\n";
  const int n = 1200;
  for (int i = 1; i <= n; ++i) {
    const std::string p = "l" + std::to_string(i - 1), c = "l" + std::to_string(i);
    text += "<link name=\"" + c + "\"><inertial><mass value=\"" + std::to_string(i) +
            "\"/><inertia ixx=\"1\" ixy=\"0\" ixz=\"0\" iyy=\"1\" iyz=\"0\" izz=\"1\"/></inertial></link>\n"
            "<joint name=\"j" + std::to_string(i) + "\" type=\"revolute\"><parent link=\"" + p +
            "\"/><child link=\"" + c + "\"/><origin xyz=\"0 0 1\"/><limit effort=\"1\" velocity=\"1\"/></joint>\n";
  }
  const auto whole = [](std::string s) { return s.replace(s.find("<!---->"), 7, "<!--&#32;-->"); };
  const auto both = [&](const std::string& body, auto&& check) {
    for (const std::string& s : {body, whole(body)}) check(build_models_from_urdf_string(s, std::nullopt));
  };
  ASSERT_GT(text.size(), 128u * 1024u);

  both(text + "</robot>", [&](const auto& r) {
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->model.njoints(), std::size_t(n + 1));
    double mass = 0.0;
    for (const Inertia& inertia : r->model.inertias) mass += inertia.mass;
    EXPECT_EQ(mass, n * (n + 1) / 2.0);
  });
  // A syntax error near the end, after a material without a colour near the start: the
  // syntax error wins, at its line in the text as it was.
  std::string late = text;
  late.insert(late.find("<link name=\"l3\">"), "<material name=\"m\"/>");
  late += "<a></b></robot>";
  both(late, [&](const auto& r) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "XML parsing error: Start-end tags mismatch at line " + std::to_string(2 * n + 3) +
                                       ", column 6");
  });
  // Without it, the material's error.
  late.replace(late.find("<a></b>"), 7, "");
  both(late, [&](const auto& r) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ParseError::Kind::MaterialWithoutColor);
  });
}

TEST(UrdfBuild, NamesWithEqualStoredHashBuildApart) {
  // Two link names whose hashes agree in the half the model's name indexes keep, and
  // joints named like the links: every frame and joint keeps its own name and id.
  std::unordered_map<std::uint32_t, std::string> seen;
  std::string a, b;
  for (std::size_t i = 0; b.empty(); ++i) {
    std::string name = "n" + std::to_string(i);
    const auto [it, fresh] = seen.emplace(slot_hash(name), name);
    if (!fresh) a = it->second, b = std::move(name);
  }
  const auto joint = [](const std::string& name, const std::string& parent, const std::string& child) {
    return "<joint name=\"" + name + "\" type=\"continuous\"><parent link=\"" + parent + "\"/><child link=\"" + child +
           "\"/></joint>";
  };
  const std::string text = "<robot name=\"r\"><link name=\"base\"/><link name=\"" + a + "\"/><link name=\"" + b +
                           "\"/>" + joint(a, "base", a) + joint(b, a, b) + "</robot>";
  const auto r = build_model_from_urdf_string(text);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->njoints(), 3u);
  EXPECT_EQ(r->get_joint_id(a), 1u);
  EXPECT_EQ(r->get_joint_id(b), 2u);
  EXPECT_EQ(r->joint_parents[2], 1u);
  for (const std::string& name : {a, b}) {
    const auto body = r->get_frame_id(name, FrameType::Body);
    const auto joint_frame = r->get_frame_id(name, FrameType::Joint);
    ASSERT_TRUE(body && joint_frame) << name;
    EXPECT_EQ(r->frames[*body].name, name);
    EXPECT_EQ(r->frames[*joint_frame].name, name);
    EXPECT_EQ(r->frames[*body].parent_joint, r->get_joint_id(name));
  }
  // The same names twice are still refused.
  const auto twice = build_model_from_urdf_string("<robot name=\"r\"><link name=\"base\"/><link name=\"" + a +
                                                  "\"/><link name=\"" + b + "\"/>" + joint(a, "base", a) +
                                                  joint(a, "base", b) + "</robot>");
  ASSERT_FALSE(twice);
}
