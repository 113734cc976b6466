// The configuration record and the quality and backend names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tenvira {

// Fast, Balanced and Best are the canonical presets. Hq and Vhq, the
// studio-quality presets, are accepted by name too but are not listed among
// the canonical names.
enum class Quality : std::uint8_t { Fast = 0, Balanced = 1, Best = 2, Hq = 3, Vhq = 4 };

enum class BackendRequest : std::uint8_t { Auto = 0, Scalar = 1, Avx2 = 2, Avx512 = 3, Neon = 4, Rvv = 5 };

// Canonical name lists, in the order callers see them.
inline constexpr const char* quality_names[] = {"fast", "balanced", "best"};
inline constexpr const char* backend_names[] = {"auto", "scalar", "avx2", "avx2+fma", "avx512", "neon", "rvv"};

struct ResamplerConfig {
    std::uint32_t input_rate = 0;
    std::uint32_t output_rate = 0;
    std::uint64_t channels = 0;
    Quality quality = Quality::Balanced;
    BackendRequest backend = BackendRequest::Auto;
    std::optional<std::uint64_t> max_input_frames_per_chunk;
};

// Outcome of matching a name: the parsed value, or the full error message.
template <typename T>
using ParseResult = std::variant<T, std::string>;

// ASCII-case-insensitive, byte-exact match against the accepted names.
// An absent text means the default ("balanced", "auto").
ParseResult<Quality> parse_quality(std::optional<std::string_view> text);
ParseResult<BackendRequest> parse_backend(std::optional<std::string_view> text);

// Parses both names, quality first, and copies the numbers unchanged. Returns
// the first name error message instead of a record.
ParseResult<ResamplerConfig> config_from_parts(std::uint32_t input_rate, std::uint32_t output_rate,
                                               std::uint64_t channels, std::optional<std::string_view> quality,
                                               std::optional<std::string_view> backend,
                                               std::optional<std::uint64_t> max_input_frames_per_chunk);

}  // namespace tenvira
