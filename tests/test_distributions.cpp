#include "distributions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One expected value of one operation. NaN expectations match NaN results; `ulps` widens the
// comparison for values computed through transcendental functions.
struct Case {
    const char* what;
    std::function<double()> actual;
    double expected;
    double relTolerance = 0.0;
};

void expectCase(const Case& c) {
    const double got = c.actual();
    if (std::isnan(c.expected)) {
        EXPECT_TRUE(std::isnan(got)) << c.what << " gave " << got;
    } else if (c.relTolerance == 0.0) {
        EXPECT_EQ(got, c.expected) << c.what;
        EXPECT_EQ(std::signbit(got), std::signbit(c.expected)) << c.what << " sign";
    } else {
        EXPECT_NEAR(got, c.expected, std::abs(c.expected) * c.relTolerance) << c.what;
    }
}

void expectCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) expectCase(c);
}

template <class Law, class... Args>
void expectInvalid(const std::string& message, Args... args) {
    try {
        Law law(args...);
        ADD_FAILURE() << "accepted parameters that must be rejected";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST(DistributionLaw, EveryOperationAnswersNever) {
    Distribution d;
    expectCases({
        {"pdf(1)", [&] { return d.pdf(1.0); }, kNever},
        {"cdf(1)", [&] { return d.cdf(1.0); }, kNever},
        {"quantile(0.5, 10)", [&] { return d.quantile(0.5, 10); }, kNever},
        {"quantile(NaN, -1)", [&] { return d.quantile(kNaN, -1); }, kNever},
        {"pdf(NaN)", [&] { return d.pdf(kNaN); }, kNever},
    });
    EXPECT_EQ(kNever, 2147483647.0);
}

TEST(NormalLaw, Formulas) {
    Normal n(10, 2);
    expectCases({
        {"pdf(10)", [&] { return n.pdf(10); }, 0.19947114020071635, 1e-15},
        {"pdf(12)", [&] { return n.pdf(12); }, 0.19947114020071635 * std::exp(-0.5), 1e-15},
        {"cdf(10)", [&] { return n.cdf(10); }, 0.5},
        {"cdf(-inf)", [&] { return n.cdf(-kInf); }, 0.0},
        {"quantile(0.5)", [&] { return n.quantile(0.5, 0); }, 10.0},
        {"quantile(0.975)", [&] { return n.quantile(0.975, 0); }, 13.919927969080108, 1e-12},
        {"quantile(0.025)", [&] { return n.quantile(0.025, 77); }, 6.080072030919892, 1e-12},
        {"quantile(NaN)", [&] { return n.quantile(kNaN, 0); }, kNaN},
        {"pdf(NaN)", [&] { return n.pdf(kNaN); }, kNaN},
    });
    // stddev 0 and negative are accepted; the formulas are applied as written.
    Normal degenerate(1, 0);
    EXPECT_TRUE(std::isnan(degenerate.pdf(1)));
    Normal negative(0, -1);
    EXPECT_EQ(negative.quantile(0.5, 0), 0.0);
    EXPECT_LT(negative.quantile(0.9, 0), 0.0);
}

TEST(NormalLaw, QuantileRejectsBothEndsOfP) {
    Normal n(0, 1);
    for (double p : {0.0, 1.0, -0.5, 1.5, -kInf, kInf}) {
        try {
            n.quantile(p, 0);
            ADD_FAILURE() << "p=" << p << " accepted";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "p must be in [0,1]");
        }
    }
}

TEST(NormalLaw, QuantileOverflowsWhereTwoPMinusOneRoundsToMinusOne) {
    Normal n(0, 1);
    const double tiny = std::ldexp(1.0, -55);
    for (double p : {1e-300, tiny, 1e-17}) {
        try {
            n.quantile(p, 0);
            ADD_FAILURE() << "p=" << p << " answered";
        } catch (const std::overflow_error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Error in function boost::math::erf_inv<double>(double, double): Overflow Error");
        }
    }
    // Just above 2^-55 the argument of erf_inv is no longer -1: a finite, very negative delay.
    const double q = n.quantile(std::ldexp(1.0, -53), 0);
    EXPECT_TRUE(std::isfinite(q));
    EXPECT_LT(q, -8.0);
}

TEST(ExponentialLaw, FormulasAndBoundaries) {
    Exponential e(0.5);
    expectCases({
        {"pdf(-1)", [&] { return e.pdf(-1); }, 0.0},
        {"pdf(0)", [&] { return e.pdf(0); }, 0.5},
        {"pdf(2)", [&] { return e.pdf(2); }, 0.5 * std::exp(-1.0)},
        {"cdf(-1)", [&] { return e.cdf(-1); }, 0.0},
        {"cdf(0)", [&] { return e.cdf(0); }, 0.0},
        {"cdf(2)", [&] { return e.cdf(2); }, 1.0 - std::exp(-1.0)},
        {"quantile(0)", [&] { return e.quantile(0.0, 3); }, -0.0},
        {"quantile(-0.01)", [&] { return e.quantile(-0.01, 3); }, kNever},
        {"quantile(1)", [&] { return e.quantile(1.0, 3); }, kInf},
        {"quantile(1.5)", [&] { return e.quantile(1.5, 3); }, kNaN},
        {"quantile(1-e^-1)", [&] { return e.quantile(1.0 - std::exp(-1.0), 3); }, 2.0, 1e-15},
        {"pdf(NaN)", [&] { return e.pdf(kNaN); }, kNaN},
    });
}

TEST(UniformLaw, FormulasAndClosedSupport) {
    Uniform u(2, 4);
    expectCases({
        {"pdf(1.999)", [&] { return u.pdf(1.999); }, 0.0},
        {"pdf(2)", [&] { return u.pdf(2); }, 0.5},
        {"pdf(3)", [&] { return u.pdf(3); }, 0.5},
        {"pdf(4)", [&] { return u.pdf(4); }, 0.5},
        {"pdf(4.000001)", [&] { return u.pdf(4.000001); }, 0.0},
        {"cdf(1)", [&] { return u.cdf(1); }, 0.0},
        {"cdf(2)", [&] { return u.cdf(2); }, 0.0},
        {"cdf(3)", [&] { return u.cdf(3); }, 0.5},
        {"cdf(4)", [&] { return u.cdf(4); }, 1.0},
        {"cdf(5)", [&] { return u.cdf(5); }, 1.0},
        {"quantile(0.25, 0)", [&] { return u.quantile(0.25, 0); }, 2.5},
        {"quantile(0.25, 999)", [&] { return u.quantile(0.25, 999); }, 2.5},
        {"quantile(0)", [&] { return u.quantile(0.0, 0); }, 2.0},
        {"quantile(1)", [&] { return u.quantile(1.0, 0); }, 4.0},
        {"quantile(-0.1)", [&] { return u.quantile(-0.1, 0); }, kNever},
        {"quantile(1.0001)", [&] { return u.quantile(1.0001, 0); }, kNever},
        {"quantile(NaN)", [&] { return u.quantile(kNaN, 0); }, kNaN},
        {"pdf(NaN)", [&] { return u.pdf(kNaN); }, 0.5},
    });
}

TEST(UniformLaw, RejectsEmptyOrReversedInterval) {
    expectInvalid<Uniform>("Lower bound must be less than upper bound", 2.0, 2.0);
    expectInvalid<Uniform>("Lower bound must be less than upper bound", 3.0, 2.0);
    Uniform nanBound(kNaN, 1.0);  // ordered comparison: NaN passes the check
    EXPECT_TRUE(std::isnan(nanBound.quantile(0.5, 0)));
}

TEST(WeibullLaw, ShapeOneIsTheExponentialLaw) {
    Weibull w(2, 1);
    Exponential e(0.5);
    for (double x : {0.0, 0.3, 1.0, 2.0, 7.5}) {
        EXPECT_NEAR(w.cdf(x), e.cdf(x), 1e-15) << x;
        EXPECT_NEAR(w.pdf(x), e.pdf(x), 1e-15) << x;
    }
    expectCases({
        {"cdf(2)", [&] { return w.cdf(2); }, 1.0 - std::exp(-1.0)},
        {"quantile(1-e^-1)", [&] { return w.quantile(1.0 - std::exp(-1.0), 5); }, 2.0, 4e-16},
        {"quantile(0)", [&] { return w.quantile(0.0, 5); }, -0.0},  // -log(1) is -0.0
        {"quantile(1)", [&] { return w.quantile(1.0, 5); }, kInf},
        {"quantile(-0.1)", [&] { return w.quantile(-0.1, 5); }, kNever},
        {"quantile(1.1)", [&] { return w.quantile(1.1, 5); }, kNever},
        {"pdf(-1)", [&] { return w.pdf(-1); }, 0.0},
        {"cdf(-1)", [&] { return w.cdf(-1); }, 0.0},
    });
}

TEST(WeibullLaw, WearOutShape) {
    Weibull w(1000, 2.5);
    // The median of a Weibull law is lambda * ln(2)^(1/k).
    EXPECT_NEAR(w.quantile(0.5, 0), 1000 * std::pow(std::log(2.0), 1 / 2.5), 1e-9);
    EXPECT_NEAR(w.cdf(w.quantile(0.3, 0)), 0.3, 1e-14);
    EXPECT_EQ(w.pdf(0), 0.0);  // k > 1: no density at 0
}

TEST(WeibullLaw, RejectsNonPositiveParameters) {
    for (auto [lambda, k] : {std::pair{0.0, 1.0}, {1.0, 0.0}, {-1.0, 2.0}, {1.0, -0.5}}) {
        expectInvalid<Weibull>("Parameters must be positive", lambda, k);
    }
}

TEST(ParametricLaws, IgnoreTheTime) {
    std::vector<std::unique_ptr<Distribution>> laws;
    laws.push_back(std::make_unique<Normal>(5, 2));
    laws.push_back(std::make_unique<Exponential>(0.01));
    laws.push_back(std::make_unique<Uniform>(-3, 8));
    laws.push_back(std::make_unique<Weibull>(30, 0.7));
    for (const auto& law : laws) {
        for (double p : {0.001, 0.2, 0.5, 0.99}) {
            EXPECT_EQ(law->quantile(p, 0), law->quantile(p, 1000));
        }
    }
}

TEST(InspectionLaw, DelayToTheNextInspection) {
    Inspection i(10);
    struct Row { int time; double expected; };
    for (Row r : {Row{0, 10}, {1, 9}, {9, 1}, {10, 10}, {11, 9}, {25, 5}, {2147483640, 10}}) {
        for (double p : {0.0, 0.5, -3.0, 7.0}) {
            EXPECT_EQ(i.quantile(p, r.time), r.expected) << "time=" << r.time << " p=" << p;
        }
    }
    expectCases({
        {"pdf(10)", [&] { return i.pdf(10); }, 1.0},
        {"pdf(10.5)", [&] { return i.pdf(10.5); }, 0.0},
        {"pdf(20)", [&] { return i.pdf(20); }, 0.0},
        {"cdf(9.99)", [&] { return i.cdf(9.99); }, 0.0},
        {"cdf(10)", [&] { return i.cdf(10); }, 1.0},
        {"cdf(1e9)", [&] { return i.cdf(1e9); }, 1.0},
        {"pdf(NaN)", [&] { return i.pdf(kNaN); }, 0.0},
        {"cdf(NaN)", [&] { return i.cdf(kNaN); }, 0.0},
    });
}

TEST(InspectionLaw, LargePeriodsAndTimesDoNotOverflow) {
    // (time / T + 1) * T exceeds the int range here; the delay is still to the next multiple.
    Inspection big(2000000000);
    EXPECT_EQ(big.quantile(0.5, 0), 2000000000.0);
    EXPECT_EQ(big.quantile(0.5, 2000000000), 2000000000.0);
    EXPECT_EQ(big.quantile(0.5, 2147483647), 1852516353.0);
    Inspection max(2147483647);
    EXPECT_EQ(max.quantile(0.5, 2147483647), 2147483647.0);
    EXPECT_EQ(max.quantile(0.5, 1), 2147483646.0);
}

TEST(InspectionLaw, RejectsNonPositivePeriod) {
    for (int period : {0, -1, -2147483647 - 1}) {
        expectInvalid<Inspection>("Inspection time must be positive", period);
    }
}

TEST(MaintenanceLaw, ReturnsOnlyListedDelays) {
    Maintenance single({3});
    for (int t : {0, 5, 100}) EXPECT_EQ(single.quantile(0.7, t), 3.0);
    Maintenance m({5, 7, 9, -2, 0});
    std::vector<int> seen(5, 0);
    for (int n = 0; n < 5000; ++n) {
        const double q = m.quantile(0.1, n);
        const std::vector<double> listed{5, 7, 9, -2, 0};
        bool found = false;
        for (size_t i = 0; i < listed.size(); ++i) {
            if (q == listed[i]) { ++seen[i]; found = true; }
        }
        ASSERT_TRUE(found) << q;
    }
    for (int count : seen) EXPECT_GT(count, 800);  // expected 1000 each; sd about 28
    EXPECT_EQ(m.pdf(5), kNever);
    EXPECT_EQ(m.cdf(-1e300), kNever);
}

TEST(MaintenanceLaw, RejectsAnEmptyList) {
    expectInvalid<Maintenance>("Maintenance times cannot be empty", std::vector<int>{});
}

TEST(InstantaneousFailureLaw, DelayUntilTheFailureTime) {
    InstantaneousFailure f(100);
    expectCases({
        {"quantile(0.3, 40)", [&] { return f.quantile(0.3, 40); }, 60.0},
        {"quantile(0.3, 100)", [&] { return f.quantile(0.3, 100); }, 0.0},
        {"quantile(0.3, 130)", [&] { return f.quantile(0.3, 130); }, -30.0},
        {"quantile(1.5, 40)", [&] { return f.quantile(1.5, 40); }, kNever},
        {"quantile(-0.2, 40)", [&] { return f.quantile(-0.2, 40); }, kNever},
        {"quantile(1, 40)", [&] { return f.quantile(1.0, 40); }, 60.0},
        {"quantile(0, 40)", [&] { return f.quantile(0.0, 40); }, 60.0},
        {"quantile(NaN, 40)", [&] { return f.quantile(kNaN, 40); }, 60.0},
        {"pdf(100)", [&] { return f.pdf(100); }, 1.0},
        {"pdf(99.5)", [&] { return f.pdf(99.5); }, 0.0},
        {"cdf(99)", [&] { return f.cdf(99); }, 0.0},
        {"cdf(100)", [&] { return f.cdf(100); }, 1.0},
    });
    InstantaneousFailure atZero(0);
    EXPECT_EQ(atZero.quantile(0.5, 0), 0.0);
    EXPECT_EQ(InstantaneousFailure(2147483647).quantile(0.5, -2147483647 - 1), 4294967295.0);
}

TEST(InstantaneousFailureLaw, RejectsNegativeFailureTime) {
    expectInvalid<InstantaneousFailure>("Failure time must be non-negative", -1);
}

}  // namespace
