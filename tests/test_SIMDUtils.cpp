#include "SIMDUtils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {

using AddFn = void (*)(unsigned int*, unsigned int*, unsigned int*, size_t);

struct Path {
    const char* name;
    AddFn add;
    bool (*available)();
    bool needsAlignedDestination;
};

bool always() { return true; }

const Path kPaths[] = {
    {"dispatch", add_arrays, always, false},
    {"avx512", add_arrays_avx512, checkAVX512Support, true},
    {"avx512_unaligned", add_arrays_avx512_unaligned, checkAVX512Support, false},
    {"avx2", add_arrays_avx2, checkAVX2Support, false},
    {"fallback", add_arrays_fallback, always, false},
};

constexpr unsigned int kGuard = 0xDEADBEEFu;
constexpr size_t kGuardCount = 32;

// A 64-byte-aligned block with guard values on both sides of the n elements starting at `offset`
// elements past an aligned boundary.
class GuardedArray {
public:
    GuardedArray(size_t n, size_t offset) : n_(n), offset_(offset) {
        total_ = kGuardCount + offset + n + kGuardCount;
        raw_ = static_cast<unsigned int*>(
            ::operator new[](total_ * sizeof(unsigned int), std::align_val_t(64)));
        for (size_t i = 0; i < total_; ++i) raw_[i] = kGuard;
    }
    ~GuardedArray() { ::operator delete[](raw_, std::align_val_t(64)); }
    GuardedArray(const GuardedArray&) = delete;
    GuardedArray& operator=(const GuardedArray&) = delete;

    unsigned int* data() { return raw_ + kGuardCount + offset_; }
    bool guardsIntact() const {
        for (size_t i = 0; i < kGuardCount + offset_; ++i)
            if (raw_[i] != kGuard) return false;
        for (size_t i = kGuardCount + offset_ + n_; i < total_; ++i)
            if (raw_[i] != kGuard) return false;
        return true;
    }

private:
    size_t n_, offset_, total_;
    unsigned int* raw_;
};

// kGuardCount is a multiple of 16, so offset 0 gives a 64-byte-aligned destination.
static_assert(kGuardCount % 16 == 0);

class AddArraysTest : public ::testing::TestWithParam<std::tuple<Path, size_t>> {
protected:
    void SetUp() override {
        if (!std::get<0>(GetParam()).available()) {
            GTEST_SKIP() << std::get<0>(GetParam()).name << " is not supported by this processor";
        }
    }
};

unsigned int valueA(size_t i) { return static_cast<unsigned int>(i * 2654435761u); }
unsigned int valueB(size_t i) { return static_cast<unsigned int>(i * 40503u + 7u); }

TEST_P(AddArraysTest, SumsEveryElementOnceAndWritesNothingBeyond) {
    const auto& [path, n] = GetParam();
    const std::vector<size_t> destinationOffsets =
        path.needsAlignedDestination ? std::vector<size_t>{0} : std::vector<size_t>{0, 1, 3};
    for (size_t offset : destinationOffsets) {
        GuardedArray a(n, 1), b(n, 2), c(n, offset);
        for (size_t i = 0; i < n; ++i) {
            a.data()[i] = valueA(i);
            b.data()[i] = valueB(i);
        }
        path.add(a.data(), b.data(), c.data(), n);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(c.data()[i], valueA(i) + valueB(i)) << "i=" << i << " offset=" << offset;
        }
        EXPECT_TRUE(c.guardsIntact()) << "offset=" << offset;
        EXPECT_TRUE(a.guardsIntact());
        EXPECT_TRUE(b.guardsIntact());
    }
}

TEST_P(AddArraysTest, InPlaceAccumulationWrapsModulo2To32) {
    const auto& [path, n] = GetParam();
    GuardedArray sum(n, 0), series(n, 1);
    for (size_t i = 0; i < n; ++i) {
        sum.data()[i] = (i % 2 == 0) ? 4294967295u : static_cast<unsigned int>(i);
        series.data()[i] = 1;
    }
    path.add(sum.data(), series.data(), sum.data(), n);
    for (size_t i = 0; i < n; ++i) {
        const unsigned int expected = (i % 2 == 0) ? 0u : static_cast<unsigned int>(i + 1);
        ASSERT_EQ(sum.data()[i], expected) << "i=" << i;
    }
    EXPECT_TRUE(sum.guardsIntact());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AddArraysTest,
    ::testing::Combine(::testing::ValuesIn(kPaths),
                       ::testing::Values<size_t>(0, 1, 5, 7, 8, 9, 15, 16, 17, 33, 1000)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_n" +
               std::to_string(std::get<1>(info.param));
    });

TEST(AddArrays, ZeroLengthTouchesNoMemory) {
    for (const Path& path : kPaths) {
        if (path.available()) path.add(nullptr, nullptr, nullptr, 0);
    }
}

TEST(ReportSIMDSupport, PrintsTheLineOfTheDispatchedPath) {
    const std::string expected = checkAVX512Support() ? "AVX512 support is available.\n"
                                 : checkAVX2Support() ? "AVX2 support is available.\n"
                                                      : "No AVX2 or AVX512 support detected. Using fallback.\n";
    testing::internal::CaptureStdout();
    reportSIMDSupport();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

}  // namespace
