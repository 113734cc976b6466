// Processor features that decide which kernels may run.
//
// Detected once per process from CPUID leaves 0, 1 and 7 and XCR0, then kept.
// Two threads that ask for the first time at once may both detect and store
// the same word, which is harmless.
#pragma once

#include <cstdint>

namespace tenvira {

enum class CpuFeature : std::uint8_t { Avx2, Fma, Avx512f };

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
