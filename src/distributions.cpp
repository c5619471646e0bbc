#include "distributions.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include <boost/math/special_functions/erf.hpp>

// Every test below is an ordered comparison, so a NaN argument fails it and falls through to the
// general formula.

namespace {
constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt2Pi = 2.5066282746310002;
}  // namespace

// ---- Distribution: the transition that never happens ----

double Distribution::pdf(double) const { return kNever; }
double Distribution::cdf(double) const { return kNever; }
double Distribution::quantile(double, int) const { return kNever; }

// ---- Normal ----

Normal::Normal(double mean, double stddev) : mean(mean), stddev(stddev) {}

double Normal::pdf(double x) const {
    const double z = (x - mean) / stddev;
    return (1.0 / (stddev * kSqrt2Pi)) * std::exp(-0.5 * z * z);
}

double Normal::cdf(double x) const {
    return 0.5 * (1.0 + std::erf((x - mean) / (kSqrt2 * stddev)));
}

double Normal::quantile(double p, int) const {
    if (p <= 0.0 || p >= 1.0) {
        throw std::out_of_range("p must be in [0,1]");
    }
    // For 0 < p <= 2^-55, 2p - 1 rounds to -1 and erf_inv raises its overflow error, which is
    // left to reach the caller.
    const double e = boost::math::erf_inv(2.0 * p - 1.0);
    return mean + e * (kSqrt2 * stddev);
}

// ---- Exponential ----

Exponential::Exponential(double lambda) : lambda(lambda) {}

double Exponential::pdf(double x) const {
    if (x < 0.0) return 0.0;
    return lambda * std::exp(-lambda * x);
}

double Exponential::cdf(double x) const {
    if (x < 0.0) return 0.0;
    return 1.0 - std::exp(-lambda * x);
}

double Exponential::quantile(double p, int) const {
    // Only the lower end is tested: p = 1 gives +inf and p > 1 gives NaN.
    if (p < 0.0) return kNever;
    return -std::log(1.0 - p) / lambda;
}

// ---- Uniform ----

Uniform::Uniform(double a, double b) : a(a), b(b) {
    if (a >= b) {
        throw std::invalid_argument("Lower bound must be less than upper bound");
    }
}

double Uniform::pdf(double x) const {
    if (x < a || x > b) return 0.0;
    return 1.0 / (b - a);
}

double Uniform::cdf(double x) const {
    if (x < a) return 0.0;
    if (x > b) return 1.0;
    return (x - a) / (b - a);
}

double Uniform::quantile(double p, int) const {
    if (p < 0.0 || p > 1.0) return kNever;
    return a + p * (b - a);
}

// ---- Weibull ----

Weibull::Weibull(double lambda, double k) : lambda(lambda), k(k) {
    if (lambda <= 0.0 || k <= 0.0) {
        throw std::invalid_argument("Parameters must be positive");
    }
}

double Weibull::pdf(double x) const {
    if (x < 0.0) return 0.0;
    return (k / lambda) * std::pow(x / lambda, k - 1.0) * std::exp(-std::pow(x / lambda, k));
}

double Weibull::cdf(double x) const {
    if (x < 0.0) return 0.0;
    return 1.0 - std::exp(-std::pow(x / lambda, k));
}

double Weibull::quantile(double p, int) const {
    if (p < 0.0 || p > 1.0) return kNever;
    return lambda * std::pow(-std::log(1.0 - p), 1.0 / k);
}

// ---- Inspection ----

Inspection::Inspection(int inspectionTime) : inspectionTime(inspectionTime) {
    // A period of 0 would divide by zero in quantile; a negative one has no schedule.
    if (inspectionTime <= 0) {
        throw std::invalid_argument("Inspection time must be positive");
    }
}

double Inspection::pdf(double x) const {
    return x == static_cast<double>(inspectionTime) ? 1.0 : 0.0;
}

double Inspection::cdf(double x) const {
    return x >= static_cast<double>(inspectionTime) ? 1.0 : 0.0;
}

double Inspection::quantile(double, int time) const {
    // The next multiple of the period strictly after `time`, in 64 bits: (q + 1) * T can exceed
    // the int range for large periods and times.
    const std::int64_t period = inspectionTime;
    const std::int64_t now = time;
    const std::int64_t next = (now / period + 1) * period;
    if (now >= next) return 0.0;
    return static_cast<double>(next - now);
}

// ---- Maintenance ----

Maintenance::Maintenance(const std::vector<int>& maintenanceTimes)
    : maintenanceTimes(maintenanceTimes) {
    if (this->maintenanceTimes.empty()) {
        throw std::invalid_argument("Maintenance times cannot be empty");
    }
}

double Maintenance::pdf(double) const { return kNever; }
double Maintenance::cdf(double) const { return kNever; }

double Maintenance::quantile(double, int) const {
    // rand() is the C library's process-wide generator; glibc serialises concurrent calls.
    const auto index = static_cast<std::size_t>(std::rand()) % maintenanceTimes.size();
    return static_cast<double>(maintenanceTimes[index]);
}

// ---- InstantaneousFailure ----

InstantaneousFailure::InstantaneousFailure(int failureTime) : failureTime(failureTime) {
    if (failureTime < 0) {
        throw std::invalid_argument("Failure time must be non-negative");
    }
}

double InstantaneousFailure::pdf(double x) const {
    return x == static_cast<double>(failureTime) ? 1.0 : 0.0;
}

double InstantaneousFailure::cdf(double x) const {
    return x >= static_cast<double>(failureTime) ? 1.0 : 0.0;
}

double InstantaneousFailure::quantile(double p, int time) const {
    if (p < 0.0 || p > 1.0) return kNever;
    // failureTime >= 0 and time >= 0 cannot overflow; computed in 64 bits so that no time the
    // caller passes can.
    return static_cast<double>(static_cast<std::int64_t>(failureTime) - time);
}

// ---- Discrete ----

Discrete::Discrete(const std::vector<int>& values) : values(values), sorted(values) {
    if (this->values.empty()) {
        throw std::invalid_argument("Discrete values cannot be empty");
    }
    std::sort(sorted.begin(), sorted.end());
}

double Discrete::pdf(double x) const {
    if (std::isnan(x)) return 0.0;
    const auto range = std::equal_range(sorted.begin(), sorted.end(), x,
                                        [](auto left, auto right) {
                                            return static_cast<double>(left) <
                                                   static_cast<double>(right);
                                        });
    return static_cast<double>(range.second - range.first) / static_cast<double>(sorted.size());
}

double Discrete::cdf(double x) const {
    if (std::isnan(x)) return 0.0;
    const auto end = std::upper_bound(sorted.begin(), sorted.end(), x,
                                      [](double value, int entry) {
                                          return value < static_cast<double>(entry);
                                      });
    return static_cast<double>(end - sorted.begin()) / static_cast<double>(sorted.size());
}

double Discrete::quantile(double p, int) const {
    if (!(p >= 0.0 && p <= 1.0)) return kNever;
    const double n = static_cast<double>(values.size());
    const auto index = std::min(static_cast<std::size_t>(std::floor(p * n)), values.size() - 1);
    return static_cast<double>(values[index]);
}

// ---- Lognormal ----

Lognormal::Lognormal(double mu, double sigma) : mu(mu), sigma(sigma) {
    if (!(sigma > 0.0)) throw std::invalid_argument("Lognormal sigma must be positive");
}

double Lognormal::pdf(double x) const {
    if (!(x > 0.0)) return 0.0;
    const double z = (std::log(x) - mu) / sigma;
    return std::exp(-0.5 * z * z) / (x * sigma * kSqrt2Pi);
}

double Lognormal::cdf(double x) const {
    if (!(x > 0.0)) return 0.0;
    return 0.5 * std::erfc(-(std::log(x) - mu) / (kSqrt2 * sigma));
}

double Lognormal::quantile(double p, int) const {
    if (!(p >= 0.0 && p < 1.0)) return kNever;
    if (p == 0.0) return 0.0;
    // erfc_inv keeps its precision for small p, where erf_inv(2p - 1) would lose it.
    const double z = -kSqrt2 * boost::math::erfc_inv(2.0 * p);
    return std::exp(mu + sigma * z);
}
