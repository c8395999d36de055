// Vectors of doubles of any length: configurations, velocities, efforts, limits.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "core/spatial/random.hpp"

namespace velmora {

struct ConfigurationError {
  enum class Kind { ParameterSize, RowUpdate, LengthMismatch, InvalidValue };
  Kind kind;
  std::string name;  // the parameter, for ParameterSize; the whole text for InvalidValue
  std::size_t expected;
  std::size_t got;

  static ConfigurationError parameter_size(std::string name, std::size_t expected, std::size_t got) {
    return {Kind::ParameterSize, std::move(name), expected, got};
  }
  // A configuration of the right size whose values describe no position (a quaternion
  // without direction); `text` says which and why.
  static ConfigurationError invalid_value(std::string text) { return {Kind::InvalidValue, std::move(text), 0, 0}; }
  std::string display() const;
  std::string debug() const { return display(); }
};

// Sampling limits that cannot be drawn from (lower not below upper, NaN, or an
// infinite span).
struct RandomLimitsError {
  std::size_t index;
  double lower, upper;
};

class Configuration {
 public:
  Configuration() = default;
  explicit Configuration(std::vector<double> values) : data_(std::move(values)) {}

  static Configuration zeros(std::size_t n) { return Configuration(std::vector<double>(n, 0.0)); }
  static Configuration from_element(std::size_t n, double value) {
    return Configuration(std::vector<double>(n, value));
  }
  static Configuration from_row_slice(std::span<const double> values) {
    return Configuration(std::vector<double>(values.begin(), values.end()));
  }
  static Configuration concat(std::span<const Configuration> parts);
  // n values drawn uniformly in [lower[i], upper[i]); an infinite bound is replaced by
  // 2 pi of the same sign.
  static std::expected<Configuration, RandomLimitsError> random(
      std::size_t n, Rng& rng, const Configuration& lower, const Configuration& upper);

  std::size_t len() const { return data_.size(); }
  double operator[](std::size_t i) const { return data_[i]; }
  double& operator[](std::size_t i) { return data_[i]; }
  const double* data() const { return data_.data(); }
  double* data() { return data_.data(); }
  std::span<const double> span() const { return data_; }
  const std::vector<double>& values() const { return data_; }

  // Elements start .. start + count - 1; an empty optional-like error when out of range.
  std::expected<Configuration, ConfigurationError> rows(std::size_t start, std::size_t count) const;
  std::expected<void, ConfigurationError> update_rows(std::size_t start, std::span<const double> other);

  std::expected<Configuration, ConfigurationError> operator+(const Configuration& o) const;
  Configuration operator*(double s) const;

  // The multi-line debug layout of the Python representation.
  std::string repr() const;

 private:
  std::vector<double> data_;
};

}  // namespace velmora
