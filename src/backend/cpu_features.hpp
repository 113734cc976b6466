// Processor features that decide which kernels may run.
//
// Detected once per process from CPUID leaves 0, 1 and 7 and XCR0, then kept
// for the life of the process.
#pragma once

#include <cstdint>

namespace tenvira {

enum class CpuFeature : std::uint8_t { Avx2, Fma, Avx512f };

// A set of features, one bit per CpuFeature.
class FeatureSet {
public:
    constexpr FeatureSet() = default;
    constexpr FeatureSet(CpuFeature f) : bits_(bit(f)) {}  // NOLINT: a feature is a one-element set
    // A requirement no x86-64 processor meets: the kernels of other
    // architectures.
    static constexpr FeatureSet unavailable() { return FeatureSet(never_bit); }

    constexpr bool contains(FeatureSet other) const noexcept { return (bits_ & other.bits_) == other.bits_; }
    friend constexpr FeatureSet operator|(FeatureSet a, FeatureSet b) noexcept { return FeatureSet(a.bits_ | b.bits_); }

private:
    static constexpr std::uint32_t never_bit = 1u << 31;
    static constexpr std::uint32_t bit(CpuFeature f) { return 1u << static_cast<unsigned>(f); }
    constexpr explicit FeatureSet(std::uint32_t bits) : bits_(bits) {}

    std::uint32_t bits_ = 0;
};

// Raw words that feature detection reads. `xcr0` is meaningful only when
// leaf 1 reports XSAVE and OSXSAVE.
struct CpuidWords {
    std::uint32_t max_basic_leaf = 0;
    std::uint32_t leaf1_ecx = 0;
    std::uint32_t leaf7_ebx = 0;
    std::uint64_t xcr0 = 0;
};

struct CpuFeatures {
    bool avx2 = false;
    bool fma = false;
    bool avx512f = false;

    FeatureSet set() const noexcept;
};

// The decision rules alone, separated from the instructions so that every
// combination can be tested.
CpuFeatures features_from_cpuid(const CpuidWords& words) noexcept;

// Reads CPUID and XCR0 of this processor.
CpuidWords read_cpuid() noexcept;

// The process-wide record, detected on first use.
const CpuFeatures& cpu_features() noexcept;

bool has_feature(CpuFeature feature) noexcept;

}  // namespace tenvira
