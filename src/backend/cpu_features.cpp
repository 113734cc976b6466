#include "backend/cpu_features.hpp"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tenvira {

CpuFeatures features_from_cpuid(const CpuidWords& w) noexcept {
    CpuFeatures f;
    if (w.max_basic_leaf == 0) return f;

    const bool fma = (w.leaf1_ecx >> 12) & 1;
    const bool xsave = (w.leaf1_ecx >> 26) & 1;
    const bool osxsave = (w.leaf1_ecx >> 27) & 1;
    const bool f16c = (w.leaf1_ecx >> 29) & 1;
    const bool avx2 = w.max_basic_leaf >= 7 && ((w.leaf7_ebx >> 5) & 1);
    const bool avx512f = w.max_basic_leaf >= 7 && ((w.leaf7_ebx >> 16) & 1);

    bool avx_state = false;
    bool avx512_state = false;
    if (xsave && osxsave) {
        avx_state = (w.xcr0 & 0x6) == 0x6;
        avx512_state = avx_state && (w.xcr0 & 0xE0) == 0xE0;
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
    if (w.max_basic_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        w.leaf7_ebx = b;
    }
    const bool xsave = (w.leaf1_ecx >> 26) & 1;
    const bool osxsave = (w.leaf1_ecx >> 27) & 1;
    if (xsave && osxsave) {
        std::uint32_t lo = 0, hi = 0;
        // XGETBV with ECX = 0 reads XCR0. Written as an instruction so that
        // this file needs no ISA flags.
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        w.xcr0 = (static_cast<std::uint64_t>(hi) << 32) | lo;
    }
#endif
    return w;
}

namespace {

constexpr std::uint32_t filled_bit = 1u << 31;
std::atomic<std::uint32_t> feature_word{0};

std::uint32_t pack(const CpuFeatures& f) noexcept {
    return filled_bit | (f.avx2 ? 1u : 0u) | (f.fma ? 2u : 0u) | (f.avx512f ? 4u : 0u);
}

std::uint32_t load_features() noexcept {
    std::uint32_t word = feature_word.load(std::memory_order_relaxed);
    if (word & filled_bit) return word;
    word = pack(features_from_cpuid(read_cpuid()));
    feature_word.store(word, std::memory_order_relaxed);
    return word;
}

}  // namespace

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = [] {
        const std::uint32_t w = load_features();
        CpuFeatures f;
        f.avx2 = w & 1u;
        f.fma = w & 2u;
        f.avx512f = w & 4u;
        return f;
    }();
    return features;
}

bool has_feature(CpuFeature feature) noexcept {
    const std::uint32_t w = load_features();
    switch (feature) {
        case CpuFeature::Avx2: return w & 1u;
        case CpuFeature::Fma: return w & 2u;
        case CpuFeature::Avx512f: return w & 4u;
    }
    return false;
}

}  // namespace tenvira
