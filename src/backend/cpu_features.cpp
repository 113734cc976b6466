#include "backend/cpu_features.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tenvira {

namespace {

// CPUID.1:ECX
constexpr unsigned fma_bit = 12;
constexpr unsigned xsave_bit = 26;
constexpr unsigned osxsave_bit = 27;
constexpr unsigned f16c_bit = 29;
// CPUID.(7,0):EBX
constexpr unsigned avx2_bit = 5;
constexpr unsigned avx512f_bit = 16;
// XCR0: the SSE and AVX register state, and the three AVX-512 states
// (opmask, upper halves of ZMM0-15, ZMM16-31).
constexpr std::uint64_t xcr0_avx_state = 0x6;
constexpr std::uint64_t xcr0_avx512_state = 0xE0;
// The first leaf with the structured extended features.
constexpr std::uint32_t extended_features_leaf = 7;

bool bit(std::uint32_t word, unsigned n) noexcept { return (word >> n) & 1u; }

// Whether the operating system saves the extended register state, which
// makes XCR0 readable and meaningful.
bool os_saves_extended_state(std::uint32_t leaf1_ecx) noexcept {
    return bit(leaf1_ecx, xsave_bit) && bit(leaf1_ecx, osxsave_bit);
}

}  // namespace

FeatureSet CpuFeatures::set() const noexcept {
    FeatureSet s;
    if (avx2) s = s | CpuFeature::Avx2;
    if (fma) s = s | CpuFeature::Fma;
    if (avx512f) s = s | CpuFeature::Avx512f;
    return s;
}

CpuFeatures features_from_cpuid(const CpuidWords& w) noexcept {
    CpuFeatures f;
    if (w.max_basic_leaf == 0) return f;

    const bool fma = bit(w.leaf1_ecx, fma_bit);
    const bool f16c = bit(w.leaf1_ecx, f16c_bit);
    const bool extended = w.max_basic_leaf >= extended_features_leaf;
    const bool avx2 = extended && bit(w.leaf7_ebx, avx2_bit);
    const bool avx512f = extended && bit(w.leaf7_ebx, avx512f_bit);

    bool avx_state = false;
    bool avx512_state = false;
    if (os_saves_extended_state(w.leaf1_ecx)) {
        avx_state = (w.xcr0 & xcr0_avx_state) == xcr0_avx_state;
        avx512_state = avx_state && (w.xcr0 & xcr0_avx512_state) == xcr0_avx512_state;
    }

    f.avx2 = avx2 && avx_state;
    f.fma = fma && avx_state;
    f.avx512f = avx512f && avx512_state && fma && f16c;
    return f;
}

CpuidWords read_cpuid() noexcept {
    CpuidWords w;
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid(0, a, b, c, d);
    w.max_basic_leaf = a;
    if (w.max_basic_leaf == 0) return w;
    __cpuid(1, a, b, c, d);
    w.leaf1_ecx = c;
    if (w.max_basic_leaf >= extended_features_leaf) {
        __cpuid_count(extended_features_leaf, 0, a, b, c, d);
        w.leaf7_ebx = b;
    }
    if (os_saves_extended_state(w.leaf1_ecx)) {
        std::uint32_t lo = 0, hi = 0;
        // XGETBV with ECX = 0 reads XCR0. Written as an instruction so that
        // this file needs no ISA flags.
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        w.xcr0 = (static_cast<std::uint64_t>(hi) << 32) | lo;
    }
#endif
    return w;
}

const CpuFeatures& cpu_features() noexcept {
    // Detected on first use; the guard of the static makes it happen once.
    static const CpuFeatures features = features_from_cpuid(read_cpuid());
    return features;
}

bool has_feature(CpuFeature feature) noexcept { return cpu_features().set().contains(feature); }

}  // namespace tenvira
