// Transition laws of a component's state machine.
//
// The engine asks a law for quantile(p, time): p is a uniform draw in [0, 1), time the current
// simulation time in whole time units, and the answer is the delay, in time units from now, after
// which the transition fires. kNever (2147483647.0) means the transition never fires.
//
// pdf and cdf are offered for inspection only; the engine never calls them.
//
// Every law is immutable after construction: quantile, pdf and cdf may be called concurrently from
// any number of threads. The exception is Maintenance::quantile, which draws from the C library's
// process-wide rand() (serialised by glibc, not reproducible across threads).
//
// Ownership: whoever constructs a law owns it. The component model and the engine hold plain
// non-owning pointers for the length of a run.
#pragma once

#include <vector>

// The never value: the largest 32-bit signed integer as a double.
inline constexpr double kNever = 2147483647.0;

// The plain law: a transition that never happens. pdf, cdf and quantile all return kNever.
class Distribution {
public:
    virtual ~Distribution() = default;
    virtual double pdf(double x) const;
    virtual double cdf(double x) const;
    virtual double quantile(double p, int time) const;
};

// Normal law with the given mean and standard deviation (time units). Any stddev is accepted.
class Normal : public Distribution {
public:
    Normal(double mean, double stddev);
    double pdf(double x) const override;
    double cdf(double x) const override;
    // Throws std::out_of_range "p must be in [0,1]" for p <= 0 or p >= 1, and Boost.Math's
    // std::overflow_error for 0 < p <= 2^-55 (where 2p - 1 rounds to -1).
    double quantile(double p, int time) const override;

private:
    double mean;
    double stddev;
};

// Exponential law with rate lambda (per time unit). Any lambda is accepted.
// quantile: kNever for p < 0; p = 1 gives +inf and p > 1 gives NaN.
class Exponential : public Distribution {
public:
    explicit Exponential(double lambda);
    double pdf(double x) const override;
    double cdf(double x) const override;
    double quantile(double p, int time) const override;

private:
    double lambda;
};

// Uniform law on the closed interval [a, b] (time units).
// Throws std::invalid_argument "Lower bound must be less than upper bound" when a >= b.
class Uniform : public Distribution {
public:
    Uniform(double a, double b);
    double pdf(double x) const override;
    double cdf(double x) const override;
    double quantile(double p, int time) const override;

private:
    double a;
    double b;
};

// Weibull law with scale lambda (time units) and shape k.
// Throws std::invalid_argument "Parameters must be positive" when lambda <= 0 or k <= 0.
class Weibull : public Distribution {
public:
    Weibull(double lambda, double k);
    double pdf(double x) const override;
    double cdf(double x) const override;
    double quantile(double p, int time) const override;

private:
    double lambda;
    double k;
};

// Periodic inspection every inspectionTime time units, the first at inspectionTime.
// quantile(p, time) is the delay from time to the next inspection strictly after it (1..period);
// p is ignored. Throws std::invalid_argument "Inspection time must be positive" when
// inspectionTime <= 0.
class Inspection : public Distribution {
public:
    explicit Inspection(int inspectionTime);
    double pdf(double x) const override;
    double cdf(double x) const override;
    double quantile(double p, int time) const override;

private:
    int inspectionTime;
};

// Maintenance whose delay is one of maintenanceTimes, picked with rand() % size (not from the
// history's seed: Discrete, below, picks with the history's own draw).
// The list is copied unchanged. Throws std::invalid_argument "Maintenance times cannot be empty".
// pdf and cdf return kNever.
class Maintenance : public Distribution {
public:
    explicit Maintenance(const std::vector<int>& maintenanceTimes);
    double pdf(double x) const override;
    double cdf(double x) const override;
    double quantile(double p, int time) const override;

private:
    std::vector<int> maintenanceTimes;
};

// Failure at the absolute simulation time failureTime: quantile(p, time) = failureTime - time,
// negative once that time has passed; kNever for p outside [0, 1].
// Throws std::invalid_argument "Failure time must be non-negative" when failureTime < 0.
class InstantaneousFailure : public Distribution {
public:
    explicit InstantaneousFailure(int failureTime);
    double pdf(double x) const override;
    double cdf(double x) const override;
    double quantile(double p, int time) const override;

private:
    int failureTime;
};

// One of a list of delays (whole time units), picked with the engine's own draw: quantile(p, time)
// is values[min(floor(p * n), n - 1)] for 0 <= p <= 1, so each entry has an equal chance and a
// history's seed fixes the pick; kNever for p outside [0, 1] or NaN. time is ignored. pdf(x) is
// the share of entries equal to x, cdf(x) the share of entries <= x (0 for a NaN x).
// The list is copied in the caller's order, duplicates included, values unchecked.
// Throws std::invalid_argument "Discrete values cannot be empty".
class Discrete : public Distribution {
public:
    explicit Discrete(const std::vector<int>& values);
    double pdf(double x) const override;
    double cdf(double x) const override;
    double quantile(double p, int time) const override;

private:
    std::vector<int> values;
    std::vector<int> sorted;  // the same values in increasing order, for pdf and cdf
};

// Lognormal law: the logarithm of the delay is Normal(mu, sigma) (time units); sigma > 0.
// quantile(p, time) = exp(mu + sigma * z_p), z_p the standard normal quantile; 0 for p = 0 and
// kNever for p outside [0, 1) or NaN. time is ignored.
// Throws std::invalid_argument "Lognormal sigma must be positive" when sigma <= 0 or NaN.
class Lognormal : public Distribution {
public:
    Lognormal(double mu, double sigma);
    double pdf(double x) const override;
    double cdf(double x) const override;
    double quantile(double p, int time) const override;

private:
    double mu;
    double sigma;
};
