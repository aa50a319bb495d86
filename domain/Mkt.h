#pragma once
// Mean kinetic temperature: the constant temperature whose Arrhenius-weighted
// effect on stored goods equals that of the series,
//   MKT = (dH/R) / -ln( mean of exp(-(dH/R) / T_i) ),   T in kelvin,
// with the activation energy over the gas constant dH/R (10,000 K unless a
// product's documentation gives another). No Qt, no I/O.

#include <cstdint>
#include <optional>
#include <span>

namespace norvo {

constexpr double kDefaultMktActivation = 10000.0;  // kelvin
constexpr double kZeroCelsius = 273.15;           // kelvin

class MktAccumulator {
 public:
  explicit MktAccumulator(double activation_kelvin = kDefaultMktActivation) : activation_(activation_kelvin) {}
  void Add(double celsius);
  std::int64_t Count() const { return count_; }
  // °C; nullopt without readings.
  std::optional<double> Value() const;

 private:
  // exp(-E/T) of room temperatures is about 1e-15: the terms are summed
  // scaled by exp(E/T0) of the first reading so that a year of readings
  // keeps its precision.
  double activation_;
  double scale_ = 0;  // E / T0 of the first reading
  double sum_ = 0;
  std::int64_t count_ = 0;
};

std::optional<double> MeanKineticTemperature(std::span<const double> celsius,
                                             double activation_kelvin = kDefaultMktActivation);

}  // namespace norvo
