#include "core/spatial/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace velmora::fmt {
namespace {

// Shortest round-trip decimal digits of |x| (no sign) and the decimal exponent of the
// first digit: |x| = 0.d1d2d3... * 10^(exp10 + 1).
struct Digits {
  std::string digits;
  int exp10;
};

Digits shortest_digits(double x) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  const auto e = s.find('e');
  Digits d{{}, std::atoi(std::string(s.substr(e + 1)).c_str())};
  for (char c : s.substr(0, e))
    if (c != '.') d.digits += c;
  return d;
}

// Writes the digits positionally; `min_fraction` is the least number of fractional
// digits (0 for plain, 1 for debug).
std::string positional(double x, int min_fraction) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  std::string out = std::signbit(x) ? "-" : "";
  if (x == 0) {
    out += min_fraction > 0 ? "0.0" : "0";
    return out;
  }
  const Digits d = shortest_digits(x);
  const int n = static_cast<int>(d.digits.size());
  const int int_len = d.exp10 + 1;  // digits before the point
  std::string integral, fraction;
  if (int_len <= 0) {
    integral = "0";
    fraction = std::string(static_cast<std::size_t>(-int_len), '0') + d.digits;
  } else if (int_len >= n) {
    integral = d.digits + std::string(static_cast<std::size_t>(int_len - n), '0');
  } else {
    integral = d.digits.substr(0, static_cast<std::size_t>(int_len));
    fraction = d.digits.substr(static_cast<std::size_t>(int_len));
  }
  if (static_cast<int>(fraction.size()) < min_fraction)
    fraction.append(static_cast<std::size_t>(min_fraction) - fraction.size(), '0');
  out += integral;
  if (!fraction.empty()) out += "." + fraction;
  return out;
}

}  // namespace

std::string plain(double x) { return positional(x, 0); }

std::string fixed(double x, int decimals) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, decimals);
  std::string out(buf, res.ptr);
  // to_chars drops the sign of a negative zero; keep it, as the other formats do.
  if (std::signbit(x) && out[0] != '-') out.insert(out.begin(), '-');
  return out;
}

std::string debug(double x) {
  const double a = std::fabs(x);
  if (std::isfinite(x) && x != 0 && (a < 1e-4 || a >= 1e16)) {
    const Digits d = shortest_digits(x);
    std::string out = std::signbit(x) ? "-" : "";
    out += d.digits.substr(0, 1);
    if (d.digits.size() > 1) out += "." + d.digits.substr(1);
    out += "e" + std::to_string(d.exp10);
    return out;
  }
  return positional(x, 1);
}

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void DebugWriter::newline_indent(std::size_t depth) {
  out_ += '\n';
  out_.append(4 * depth, ' ');
}

void DebugWriter::open(Kind kind, std::string_view name) {
  out_ += name;
  out_ += kind == Kind::Record ? " {" : kind == Kind::Tuple ? "(" : "[";
  levels_.push_back({kind, 0});
}

void DebugWriter::separate() {
  Level& level = levels_.back();
  if (pretty_)
    newline_indent(levels_.size());
  else if (level.count > 0)
    out_ += ", ";
  else if (level.kind == Kind::Record)
    out_ += ' ';
}

void DebugWriter::finish_element() {
  if (pretty_) out_ += ',';
  ++levels_.back().count;
}

void DebugWriter::close() {
  const Level level = levels_.back();
  levels_.pop_back();
  const char closing = level.kind == Kind::Record ? '}' : level.kind == Kind::Tuple ? ')' : ']';
  if (pretty_ && level.count > 0)
    newline_indent(levels_.size());
  else if (level.kind == Kind::Record && level.count > 0)
    out_ += ' ';
  out_ += closing;
}

}  // namespace velmora::fmt
