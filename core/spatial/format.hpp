// Number formats and the debug renderings every text representation is built from.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::fmt {

// Shortest text that reads back to the same double, never with an exponent; integral
// values without a decimal point ("1", "-0", "NaN", "inf").
std::string plain(double x);
// Rounded to `decimals` digits after the point, never with an exponent.
std::string fixed(double x, int decimals);
// Like plain, but with at least one fractional digit, and in exponent form ("1e-5",
// "1.5e16") when the magnitude is non-zero and below 1e-4 or at least 1e16.
std::string debug(double x);
// A string in double quotes with backslash escapes for quotes, backslashes and controls.
std::string quoted(std::string_view s);

// Writes nested records, tuples and lists either on one line ("Name { a: 1, b: [1, 2] }")
// or in the multi-line form: one element per line, four spaces per level, each followed
// by a comma.
class DebugWriter {
 public:
  explicit DebugWriter(bool pretty) : pretty_(pretty) {}

  template <class F> void record(std::string_view name, F&& fields) {
    open(Kind::Record, name);
    fields();
    close();
  }
  template <class F> void tuple(std::string_view name, F&& items) {
    open(Kind::Tuple, name);
    items();
    close();
  }
  template <class F> void list(F&& items) {
    open(Kind::List, {});
    items();
    close();
  }
  template <class F> void field(std::string_view name, F&& value) {
    separate();
    out_ += name;
    out_ += ": ";
    value();
    finish_element();
  }
  template <class F> void item(F&& value) {
    separate();
    value();
    finish_element();
  }
  void number(double x) { out_ += debug(x); }
  void numbers(const double* values, std::size_t n) {
    list([&] {
      for (std::size_t i = 0; i < n; ++i) item([&] { number(values[i]); });
    });
  }
  void text(std::string_view s) { out_ += s; }
  std::string& out() { return out_; }
  bool pretty() const { return pretty_; }

 private:
  enum class Kind { Record, Tuple, List };
  struct Level {
    Kind kind;
    std::size_t count;
  };
  void open(Kind kind, std::string_view name);
  void close();
  void separate();
  void finish_element();
  void newline_indent(std::size_t depth);

  bool pretty_;
  std::string out_;
  std::vector<Level> levels_;
};

}  // namespace velmora::fmt
