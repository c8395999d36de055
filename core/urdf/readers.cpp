// Text checks, locale-independent number parsing, element lookups and the attribute
// readers every part of the loader shares.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/spatial/format.hpp"
#include "core/urdf/internal.hpp"

namespace velmora::urdf {

bool is_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    // Runs of ASCII, 32 bytes at a time, then eight.
    while (end - p >= 32) {
      std::uint64_t w[4];
      std::memcpy(w, p, 32);
      if ((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ull) break;
      p += 32;
    }
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t n;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;  // a continuation byte, an overlong lead (C0, C1) or F5..FF
    }
    if (static_cast<std::size_t>(end - p) <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[k] & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    p += n + 1;
  }
  return true;
}

namespace {

bool equals_ignoring_case(std::string_view s, std::string_view lower_word) {
  if (s.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// For a decimal text that from_chars found out of range: true when its magnitude is
// too large (overflow), false when too small (underflow). The decimal exponent of the
// leading significant digit decides; the type's range is far from the boundary at 1.
bool magnitude_overflows(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == '0') ++i;
  long long int_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++int_digits, ++i;
  long long magnitude = int_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    long long zeros = 0;
    while (i < s.size() && s[i] == '0') ++zeros, ++i;
    if (int_digits == 0) magnitude = -zeros;
    while (i < s.size() && is_digit(s[i])) ++i;
  }
  long long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    for (; i < s.size() && is_digit(s[i]); ++i)
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0;
}

// The common short numbers ("0", "0.0022860", "-1.5708", "1.60324e-05") without the
// general parser: an optional sign, at most 19 digits with an optional fraction, an
// optional exponent. When the digits form an integer m of at most 2^53 and the
// power of ten p the text scales m by lies within [-22, 22], m and 10^|p| are both
// exact doubles and one multiplication or division rounds m * 10^p correctly, which is
// the value the text denotes rounded once.
//
// Reads such a number at p and returns the position after it, stopping at the first
// character that cannot continue it (or at `end`; with Bounded false the text is NUL
// terminated and `end` is unused). Null when the text there is not such a number;
// whatever follows the number is for the caller to judge.
template <bool Bounded>
const char* scan_short_decimal(const char* p, const char* end, double& value) {
  static constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const auto more = [&] { return Bounded ? p != end : true; };  // NUL stops every test below
  const auto digit = [&] { return static_cast<unsigned>(static_cast<unsigned char>(*p)) - unsigned{'0'}; };
  bool negative = false;
  if (more() && (*p == '+' || *p == '-')) negative = *p++ == '-';
  // All digits go into m; more than 19 of them (leading zeros included) might not fit,
  // and such rare texts go to the general parser.
  std::uint64_t m = 0;
  const char* first_digit = p;
  while (more() && digit() <= 9) m = m * 10 + digit(), ++p;
  std::size_t digits = static_cast<std::size_t>(p - first_digit);
  int scale = 0;  // minus the number of fraction digits, plus the exponent
  if (more() && *p == '.') {
    ++p;
    const char* first_fraction_digit = p;
    while (more() && digit() <= 9) m = m * 10 + digit(), ++p;
    const std::size_t fraction = static_cast<std::size_t>(p - first_fraction_digit);
    digits += fraction;
    scale = -static_cast<int>(std::min<std::size_t>(fraction, 100));
  }
  if (digits == 0 || digits > 19) return nullptr;
  if (more() && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative_exponent = false;
    if (more() && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
    if (!more() || digit() > 9) return nullptr;
    int exponent = 0;
    for (; more() && digit() <= 9; ++p)
      if (exponent < 1000) exponent = exponent * 10 + static_cast<int>(digit());
    scale += negative_exponent ? -exponent : exponent;
  }
  if (m > (std::uint64_t{1} << 53) || scale < -22 || scale > 22) return nullptr;
  double v = static_cast<double>(m);
  if (scale > 0)
    v *= powers_of_ten[scale];
  else if (scale < 0)
    v /= powers_of_ten[-scale];
  value = negative ? -v : v;
  return p;
}

template <class T>
std::optional<T> parse_number(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return {};
  T value;
  if (is_digit(s[0]) || s[0] == '.') {
    if constexpr (std::is_same_v<T, double>) {
      const char* end = s.data() + s.size();
      if (scan_short_decimal<true>(s.data(), end, value) == end) return negative ? -value : value;
    }
    // Only a plain decimal here: this refuses a second sign, hexadecimal forms and
    // "nan(...)", which from_chars would take.
    const char* end = s.data() + s.size();
    const auto [ptr, ec] = std::from_chars(s.data(), end, value, std::chars_format::general);
    if (ptr != end) return {};
    if (ec == std::errc::result_out_of_range)
      value = magnitude_overflows(s) ? std::numeric_limits<T>::infinity() : T(0);
    else if (ec != std::errc{})
      return {};
  } else if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity")) {
    value = std::numeric_limits<T>::infinity();
  } else if (equals_ignoring_case(s, "nan")) {
    value = std::numeric_limits<T>::quiet_NaN();
  } else {
    return {};
  }
  return negative ? -value : value;
}

// Length of the Unicode white-space character at the start of `s`, 0 when there is none.
std::size_t whitespace_length(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && s.size() >= 2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;  // U+0085, U+00A0
  if (s.size() < 3) return 0;
  if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && b(1) == 0x80 && ((b(2) >= 0x80 && b(2) <= 0x8A) || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF))
    return 3;                                               // U+2000..U+200A, U+2028, U+2029, U+202F
  if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  return 0;
}

}  // namespace

std::optional<double> parse_f64(std::string_view s) { return parse_number<double>(s); }

std::optional<double> parse_f64(const char* text) {
  double value;
  if (const char* after = scan_short_decimal<false>(text, nullptr, value); after && !*after) return value;
  return parse_number<double>(text);
}
std::optional<float> parse_f32(std::string_view s) { return parse_number<float>(s); }

namespace {

inline bool is_ascii_space(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Length of the white-space character at s[pos]; ASCII is decided here, the rest by
// whitespace_length.
inline std::size_t space_at(std::string_view s, std::size_t pos) {
  const unsigned char c = static_cast<unsigned char>(s[pos]);
  if (is_ascii_space(static_cast<char>(c))) return 1;
  if (c < 0x80) return 0;
  return whitespace_length(s.substr(pos));
}

}  // namespace

std::optional<std::string_view> next_piece(std::string_view s, std::size_t& pos) {
  while (pos < s.size()) {
    const std::size_t w = space_at(s, pos);
    if (!w) break;
    pos += w;
  }
  if (pos >= s.size()) return {};
  const std::size_t start = pos;
  while (pos < s.size() && !space_at(s, pos)) ++pos;
  return s.substr(start, pos - start);
}

std::vector<std::string_view> split_whitespace(std::string_view s) {
  std::vector<std::string_view> pieces;
  std::size_t pos = 0;
  while (const auto piece = next_piece(s, pos)) pieces.push_back(*piece);
  return pieces;
}

// ---------------------------------------------------------------------------- elements

std::string render(pugi::xml_node node) {
  std::string s = "<";
  s += node.name();
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    s += ' ';
    s += a.name();
    s += '=';
    s += fmt::quoted(a.value());
  }
  s += '>';
  return s;
}

// ---------------------------------------------------------------------------- readers

// Every number the loader takes from the document passes through the readers below, and
// each of them refuses a NaN or an infinity (written as such, or a decimal beyond the
// type's range) like a text that is not a number at all: such a value would make every
// placement, inertia or effort computed from it NaN without any error.

namespace {

template <class T>
bool all_finite(const T* values, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k)
    if (!std::isfinite(values[k])) return false;
  return true;
}

// What a text holds: numbers (all finite), numbers of which one is not finite, or
// something else.
enum class Scan { Finite, NotFinite, NotNumbers };

template <class T>
Scan scan_number(const char* text, T& value) {
  std::optional<T> v;
  if constexpr (std::is_same_v<T, double>)
    v = parse_f64(text);
  else
    v = parse_f32(std::string_view(text));
  if (!v) return Scan::NotNumbers;
  value = *v;
  return all_finite(&value, 1) ? Scan::Finite : Scan::NotFinite;
}

template <class T>
Result<T> read_number(const char* text, const char* name) {
  if (!text) return fail(ParseError::Kind::MissingParameter, name);
  T value;
  if (scan_number(text, value) != Scan::Finite) return fail(ParseError::Kind::InvalidParameter, name);
  return value;
}

}  // namespace

Result<double> read_f64(const char* text, const char* name) { return read_number<double>(text, name); }
Result<float> read_f32(const char* text, const char* name) { return read_number<float>(text, name); }

Result<std::optional<double>> read_optional_f64(const char* text, const char* name) {
  double value;
  switch (text ? scan_number(text, value) : Scan::NotNumbers) {
    case Scan::Finite:
      return value;
    case Scan::NotFinite:
      return fail(ParseError::Kind::InvalidParameter, name);
    case Scan::NotNumbers:
      break;
  }
  return std::nullopt;
}

Result<std::string_view> read_string(const char* text, const char* name) {
  if (!text) return fail(ParseError::Kind::MissingParameter, name);
  return std::string_view(text);
}

namespace {

// Length of the white-space character at p in a NUL-terminated text (0 for the NUL).
inline std::size_t space_at(const char* p) {
  if (is_ascii_space(*p)) return 1;
  if (static_cast<unsigned char>(*p) < 0x80) return 0;
  return whitespace_length(std::string_view(p, ::strnlen(p, 3)));
}

// Reads exactly N numbers separated by white space into `values`.
template <class T, std::size_t N>
Scan scan_list(const char* text, std::array<T, N>& values) {
  std::size_t count = 0;
  const char* p = text;
  for (;;) {
    while (const std::size_t w = space_at(p)) p += w;
    if (!*p) break;
    if (count == N) return Scan::NotNumbers;
    // A short decimal followed by ASCII white space or the end is a whole piece; any
    // other piece is cut at the next white space and parsed in full.
    if constexpr (std::is_same_v<T, double>) {
      const char* after = scan_short_decimal<false>(p, nullptr, values[count]);
      if (after && (!*after || is_ascii_space(*after))) {
        ++count;
        p = after;
        continue;
      }
    }
    const char* start = p;
    while (*p && !space_at(p)) ++p;
    const auto v = parse_number<T>(std::string_view(start, static_cast<std::size_t>(p - start)));
    if (!v) return Scan::NotNumbers;
    values[count++] = *v;
  }
  if (count != N) return Scan::NotNumbers;
  return all_finite(values.data(), N) ? Scan::Finite : Scan::NotFinite;
}

}  // namespace

template <class T, std::size_t N>
Result<std::array<T, N>> read_list(const char* text, const char* name) {
  if (!text) return fail(ParseError::Kind::MissingParameter, name);
  std::array<T, N> values;
  if (scan_list(text, values) != Scan::Finite) return fail(ParseError::Kind::InvalidParameter, name);
  return values;
}

template <class T, std::size_t N>
Result<std::optional<std::array<T, N>>> read_optional_list(const char* text, const char* name) {
  std::array<T, N> values;
  switch (text ? scan_list(text, values) : Scan::NotNumbers) {
    case Scan::Finite:
      return values;
    case Scan::NotFinite:
      return fail(ParseError::Kind::InvalidParameter, name);
    case Scan::NotNumbers:
      break;
  }
  return std::nullopt;
}

template Result<std::optional<std::array<double, 3>>> read_optional_list<double, 3>(const char*, const char*);
template Result<std::optional<std::array<double, 4>>> read_optional_list<double, 4>(const char*, const char*);
template Result<std::array<double, 3>> read_list<double, 3>(const char*, const char*);
template Result<std::array<double, 4>> read_list<double, 4>(const char*, const char*);
template Result<std::array<float, 3>> read_list<float, 3>(const char*, const char*);

SpatialRotation rotation_from_rpy(const std::array<double, 3>& rpy) {
  // Most origins write rpy="0 0 0". That rotation is computed once, by the same function
  // from the same values, so it is the same to the bit (signed zeros included).
  static const SpatialRotation zero_angles = SpatialRotation::from_euler_angles(0.0, 0.0, 0.0);
  if ((std::bit_cast<std::uint64_t>(rpy[0]) | std::bit_cast<std::uint64_t>(rpy[1]) |
       std::bit_cast<std::uint64_t>(rpy[2])) == 0)
    return zero_angles;
  return SpatialRotation::from_euler_angles(rpy[0], rpy[1], rpy[2]);
}

OriginTexts origin_texts(pugi::xml_node origin) {
  if (!origin) return {};
  const auto [xyz, rpy] = find_attributes<2>(origin, {"xyz", "rpy"});
  return {true, xyz, rpy};
}

Result<SE3> parse_origin(const OriginTexts& origin) {
  if (!origin.present) return SE3::identity();
  const auto xyz = read_list<double, 3>(origin.xyz, "xyz");
  if (!xyz) return std::unexpected(xyz.error());
  SE3 placement;
  placement.translation = {(*xyz)[0], (*xyz)[1], (*xyz)[2]};
  if (origin.rpy) {
    const auto rpy = read_list<double, 3>(origin.rpy, "rpy");
    if (!rpy) return std::unexpected(rpy.error());
    placement.rotation = rotation_from_rpy(*rpy);
  }
  return placement;
}

Result<SE3> parse_origin_element(pugi::xml_node origin) { return parse_origin(origin_texts(origin)); }

}  // namespace velmora::urdf
