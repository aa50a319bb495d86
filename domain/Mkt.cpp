#include "Mkt.h"

#include <cmath>

namespace norvo {

void MktAccumulator::Add(double celsius) {
  const double e_over_t = activation_ / (celsius + kZeroCelsius);
  if (count_ == 0) scale_ = e_over_t;
  sum_ += std::exp(scale_ - e_over_t);
  ++count_;
}

std::optional<double> MktAccumulator::Value() const {
  if (count_ == 0) return std::nullopt;
  // -ln(mean of exp(-E/T)) = scale - ln(sum / n)
  const double neg_ln_mean = scale_ - std::log(sum_ / static_cast<double>(count_));
  return activation_ / neg_ln_mean - kZeroCelsius;
}

std::optional<double> MeanKineticTemperature(std::span<const double> celsius, double activation_kelvin) {
  MktAccumulator mkt(activation_kelvin);
  for (double c : celsius) mkt.Add(c);
  return mkt.Value();
}

}  // namespace norvo
