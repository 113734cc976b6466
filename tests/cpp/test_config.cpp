// Name parsing, the unknown-name messages, error messages and backend
// selection rules.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <variant>

#include "backend/cpu_features.hpp"
#include "backend/fir_backend.hpp"
#include "base/config.hpp"
#include "base/result.hpp"
#include "base/text.hpp"

namespace tenvira {
namespace {

template <typename T>
std::string error_of(const ParseResult<T>& r) {
    return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : std::string("<parsed>");
}

TEST(Config, NamesMatchIgnoringAsciiCase) {
    for (const char* t : {"BEST", "Best", "best"}) EXPECT_EQ(std::get<Quality>(parse_quality(t)), Quality::Best);
    EXPECT_EQ(std::get<Quality>(parse_quality(std::nullopt)), Quality::Balanced);
    EXPECT_EQ(std::get<Quality>(parse_quality("FAST")), Quality::Fast);
    const std::pair<const char*, BackendRequest> backends[] = {
        {"AVX2+FMA", BackendRequest::Avx2}, {"avx2", BackendRequest::Avx2},     {"Avx512F", BackendRequest::Avx512},
        {"AVX512", BackendRequest::Avx512}, {"AUTO", BackendRequest::Auto},     {"Scalar", BackendRequest::Scalar},
        {"neon", BackendRequest::Neon},     {"RVV", BackendRequest::Rvv},
    };
    for (const auto& [text, request] : backends) EXPECT_EQ(std::get<BackendRequest>(parse_backend(text)), request) << text;
    EXPECT_EQ(std::get<BackendRequest>(parse_backend(std::nullopt)), BackendRequest::Auto);
}

TEST(Config, UnknownNameMessagesQuoteTheTextAsGiven) {
    EXPECT_EQ(error_of(parse_quality("Ultra")), "unknown quality \"Ultra\"; expected one of: fast, balanced, best");
    EXPECT_EQ(error_of(parse_quality("")), "unknown quality \"\"; expected one of: fast, balanced, best");
    EXPECT_EQ(error_of(parse_backend(" auto")),
              "unknown backend \" auto\"; expected one of: auto, scalar, avx2, avx2+fma, avx512, neon, rvv");
    EXPECT_EQ(error_of(parse_quality("a\"b\tc")),
              "unknown quality \"a\\\"b\\tc\"; expected one of: fast, balanced, best");
    // Folding is ASCII only: non-ASCII bytes are compared unchanged.
    EXPECT_EQ(error_of(parse_quality("\xC3\x9F")).substr(0, 20), "unknown quality \"\xC3\x9F\"");
    EXPECT_TRUE(std::holds_alternative<std::string>(parse_backend("av\xC4\xB1x2")));
    EXPECT_TRUE(std::holds_alternative<std::string>(parse_quality("best ")));
}

struct QuoteCase {
    std::string text;
    std::string quoted;
};

void PrintTo(const QuoteCase& c, std::ostream* os) { *os << c.quoted; }

class QuoteText : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteText, Escapes) { EXPECT_EQ(quote_text(GetParam().text), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(
    Config, QuoteText,
    ::testing::Values(
        QuoteCase{"plain", "\"plain\""}, QuoteCase{"\\", "\"\\\\\""}, QuoteCase{"\"", "\"\\\"\""},
        QuoteCase{"\t\r\n", "\"\\t\\r\\n\""}, QuoteCase{std::string("a\0b", 3), "\"a\\0b\""},
        QuoteCase{"\x1b", "\"\\u{1b}\""}, QuoteCase{"\x7f", "\"\\u{7f}\""}, QuoteCase{"\x01", "\"\\u{1}\""},
        // Printable non-ASCII stays as it is: letters, symbols, CJK, emoji.
        QuoteCase{"caf\xC3\xA9", "\"caf\xC3\xA9\""}, QuoteCase{"\xE6\xBC\xA2", "\"\xE6\xBC\xA2\""},
        QuoteCase{"\xF0\x9F\x8E\xB5", "\"\xF0\x9F\x8E\xB5\""},
        // Non-printing code points: C1 control, no-break space (a separator
        // other than the ASCII space), zero-width space (format), line
        // separator, private use, unassigned, and a combining acute accent.
        QuoteCase{"\xC2\x85", "\"\\u{85}\""}, QuoteCase{"\xC2\xA0", "\"\\u{a0}\""},
        QuoteCase{"\xE2\x80\x8B", "\"\\u{200b}\""}, QuoteCase{"\xE2\x80\xA8", "\"\\u{2028}\""},
        QuoteCase{"\xEE\x80\x80", "\"\\u{e000}\""}, QuoteCase{"\xF4\x8F\xBF\xBF", "\"\\u{10ffff}\""},
        QuoteCase{"e\xCC\x81", "\"e\\u{301}\""},
        // Bytes that are not UTF-8 (only reachable from C++) are escaped.
        QuoteCase{"\xFF", "\"\\u{fffd}\""}, QuoteCase{"\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""}));

TEST(Config, QualityIsParsedBeforeBackend) {
    auto r = config_from_parts(0, 16000, 0, "bogus", "also bogus", std::nullopt);
    EXPECT_EQ(error_of(r), "unknown quality \"bogus\"; expected one of: fast, balanced, best");
    r = config_from_parts(0, 16000, 0, "best", "bogus", std::nullopt);
    EXPECT_EQ(error_of(r), "unknown backend \"bogus\"; expected one of: auto, scalar, avx2, avx2+fma, avx512, neon, rvv");
}

TEST(Config, RecordCopiesNumbersUnchecked) {
    auto r = config_from_parts(0, 7, 0, std::nullopt, "AVX2", std::uint64_t{0});
    ASSERT_TRUE(std::holds_alternative<ResamplerConfig>(r));
    const auto& c = std::get<ResamplerConfig>(r);
    EXPECT_EQ(c.input_rate, 0u);
    EXPECT_EQ(c.output_rate, 7u);
    EXPECT_EQ(c.channels, 0u);
    EXPECT_EQ(c.quality, Quality::Balanced);
    EXPECT_EQ(c.backend, BackendRequest::Avx2);
    EXPECT_EQ(c.max_input_frames_per_chunk, std::optional<std::uint64_t>(0));
}

TEST(Config, ErrorMessages) {
    EXPECT_EQ(ResampleError::invalid_sample_rate().message(), "sample rates must be greater than zero");
    EXPECT_EQ(ResampleError::invalid_channel_count().message(), "channel count must be greater than zero");
    EXPECT_EQ(ResampleError::misaligned_input(5, 2).message(), "input has 5 samples, which is not divisible by 2 channels");
    EXPECT_EQ(ResampleError::misaligned_input(18446744073709551615u, 1000000).message(),
              "input has 18446744073709551615 samples, which is not divisible by 1000000 channels");
    EXPECT_EQ(ResampleError::backend_unavailable("neon").message(), "requested backend is not available: neon");
}

// CPUID words for the feature rules.
CpuidWords words(bool fma, bool xsave, bool osxsave, bool f16c, bool avx2, bool avx512f, std::uint64_t xcr0,
                 std::uint32_t max_leaf = 13) {
    CpuidWords w;
    w.max_basic_leaf = max_leaf;
    w.leaf1_ecx = (fma ? 1u << 12 : 0) | (xsave ? 1u << 26 : 0) | (osxsave ? 1u << 27 : 0) | (1u << 28) |
                  (f16c ? 1u << 29 : 0);
    w.leaf7_ebx = (avx2 ? 1u << 5 : 0) | (avx512f ? 1u << 16 : 0);
    w.xcr0 = xcr0;
    return w;
}

struct FeatureCase {
    const char* what;
    CpuidWords w;
    bool avx2, fma, avx512f;
    const char* auto_pick;
};

TEST(CpuFeatures, DetectionRulesAndAutoSelection) {
    const FeatureCase cases[] = {
        {"everything", words(true, true, true, true, true, true, 0xE7), true, true, true, "avx512f"},
        {"avx2+fma only", words(true, true, true, true, true, false, 0x07), true, true, false, "avx2+fma"},
        {"avx2 without fma", words(false, true, true, true, true, false, 0x07), true, false, false, "scalar"},
        {"os has not enabled AVX state", words(true, true, true, true, true, true, 0x03), false, false, false, "scalar"},
        {"no OSXSAVE", words(true, true, false, true, true, true, 0xE7), false, false, false, "scalar"},
        {"AVX-512 state off", words(true, true, true, true, true, true, 0x07), true, true, false, "avx2+fma"},
        {"avx512f without f16c", words(true, true, true, false, true, true, 0xE7), true, true, false, "avx2+fma"},
        {"max leaf below 7", words(true, true, true, true, true, true, 0xE7, 6), false, true, false, "scalar"},
        {"max leaf 0", words(true, true, true, true, true, true, 0xE7, 0), false, false, false, "scalar"},
    };
    for (const auto& c : cases) {
        const CpuFeatures f = features_from_cpuid(c.w);
        EXPECT_EQ(f.avx2, c.avx2) << c.what;
        EXPECT_EQ(f.fma, c.fma) << c.what;
        EXPECT_EQ(f.avx512f, c.avx512f) << c.what;
        auto picked = select_backend(BackendRequest::Auto, f);
        ASSERT_TRUE(picked.ok());
        EXPECT_STREQ(backend_name(picked.value()), c.auto_pick) << c.what;
    }
}

TEST(CpuFeatures, ExplicitRequests) {
    const CpuFeatures none{};
    const CpuFeatures avx2_no_fma{true, false, false};
    const CpuFeatures all{true, true, true};
    EXPECT_EQ(select_backend(BackendRequest::Scalar, none).value(), FirBackend::Scalar);
    EXPECT_EQ(select_backend(BackendRequest::Avx2, avx2_no_fma).error().message(),
              "requested backend is not available: avx2+fma");
    EXPECT_EQ(select_backend(BackendRequest::Avx512, none).error().message(),
              "requested backend is not available: avx512f");
    EXPECT_EQ(select_backend(BackendRequest::Avx2, all).value(), FirBackend::Avx2Fma);
    EXPECT_EQ(select_backend(BackendRequest::Avx512, all).value(), FirBackend::Avx512f);
    for (auto [request, name] : {std::pair{BackendRequest::Neon, "neon"}, std::pair{BackendRequest::Rvv, "rvv"}}) {
        EXPECT_EQ(select_backend(request, all).error().message(), std::string("requested backend is not available: ") + name);
    }
}

TEST(CpuFeatures, ThisProcessorAgreesWithItsOwnCpuid) {
    const CpuFeatures expected = features_from_cpuid(read_cpuid());
    EXPECT_EQ(has_feature(CpuFeature::Avx2), expected.avx2);
    EXPECT_EQ(has_feature(CpuFeature::Fma), expected.fma);
    EXPECT_EQ(has_feature(CpuFeature::Avx512f), expected.avx512f);
}

}  // namespace
}  // namespace tenvira
