#include "core/spatial/configuration.hpp"

#include <cmath>
#include <numbers>

#include "core/spatial/format.hpp"

namespace velmora {

std::string ConfigurationError::display() const {
  switch (kind) {
    case Kind::ParameterSize:
      return "Parameter '" + name + "' expected configuration size " + std::to_string(expected) +
             ", but got " + std::to_string(got);
    case Kind::RowUpdate:
      return "Mismatched sizes when updating configuration rows. Expected size " +
             std::to_string(expected) + ", got " + std::to_string(got) + ".";
    case Kind::InvalidValue:
      return name;
    case Kind::LengthMismatch:
      return "Cannot add configurations of different lengths (" + std::to_string(expected) +
             " and " + std::to_string(got) + ").";
  }
  return {};
}

Configuration Configuration::concat(std::span<const Configuration> parts) {
  std::size_t n = 0;
  for (const auto& p : parts) n += p.len();
  std::vector<double> out;
  out.reserve(n);
  for (const auto& p : parts) out.insert(out.end(), p.data_.begin(), p.data_.end());
  return Configuration(std::move(out));
}

std::expected<Configuration, RandomLimitsError> Configuration::random(
    std::size_t n, Rng& rng, const Configuration& lower, const Configuration& upper) {
  constexpr double two_pi = 2 * std::numbers::pi;
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double given_lo = i < lower.len() ? lower[i] : -INFINITY;
    const double given_hi = i < upper.len() ? upper[i] : INFINITY;
    const double lo = given_lo == -INFINITY ? -two_pi : given_lo;
    const double hi = given_hi == INFINITY ? two_pi : given_hi;
    // A joint locked at one value (lower == upper) stays there; anything that cannot
    // be sampled is reported to the caller.
    if (lo == hi) {
      out[i] = lo;
      continue;
    }
    if (!(lo < hi) || !std::isfinite(hi - lo)) return std::unexpected(RandomLimitsError{i, given_lo, given_hi});
    out[i] = lo + (hi - lo) * rng.uniform();
  }
  return Configuration(std::move(out));
}

std::expected<Configuration, ConfigurationError> Configuration::rows(std::size_t start,
                                                                     std::size_t count) const {
  if (start > len() || count > len() - start)
    return std::unexpected(ConfigurationError{ConfigurationError::Kind::RowUpdate, {}, start + count, len()});
  return Configuration(std::vector<double>(data_.begin() + static_cast<std::ptrdiff_t>(start),
                                           data_.begin() + static_cast<std::ptrdiff_t>(start + count)));
}

std::expected<void, ConfigurationError> Configuration::update_rows(std::size_t start,
                                                                   std::span<const double> other) {
  if (start > len() || other.size() > len() - start)
    return std::unexpected(
        ConfigurationError{ConfigurationError::Kind::RowUpdate, {}, len() - std::min(start, len()), other.size()});
  for (std::size_t k = 0; k < other.size(); ++k) data_[start + k] = other[k];
  return {};
}

std::expected<Configuration, ConfigurationError> Configuration::operator+(const Configuration& o) const {
  if (len() != o.len())
    return std::unexpected(ConfigurationError{ConfigurationError::Kind::LengthMismatch, {}, len(), o.len()});
  std::vector<double> out(len());
  for (std::size_t i = 0; i < len(); ++i) out[i] = data_[i] + o.data_[i];
  return Configuration(std::move(out));
}

Configuration Configuration::operator*(double s) const {
  std::vector<double> out(len());
  for (std::size_t i = 0; i < len(); ++i) out[i] = data_[i] * s;
  return Configuration(std::move(out));
}

std::string Configuration::repr() const {
  fmt::DebugWriter w(true);
  w.tuple("Configuration", [&] {
    w.item([&] {
      w.record("VecStorage", [&] {
        w.field("data", [&] { w.numbers(data_.data(), data_.size()); });
        w.field("nrows", [&] { w.tuple("Dyn", [&] { w.item([&] { w.text(std::to_string(len())); }); }); });
        w.field("ncols", [&] { w.text("Const"); });
      });
    });
  });
  return std::move(w.out());
}

}  // namespace velmora
