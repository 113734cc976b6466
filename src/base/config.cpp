#include "base/config.hpp"

#include <array>
#include <iterator>
#include <utility>

#include "base/text.hpp"

namespace tenvira {

namespace {

template <typename T, std::size_t N>
ParseResult<T> match_name(std::optional<std::string_view> text, std::string_view fallback,
                          const std::array<std::pair<std::string_view, T>, N>& accepted, const char* what,
                          const char* const* canonical, std::size_t canonical_count) {
    const std::string_view t = text.value_or(fallback);
    for (const auto& [name, value] : accepted) {
        if (name.size() != t.size()) continue;
        bool same = true;
        for (std::size_t k = 0; k < t.size() && same; ++k) {
            char c = t[k];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            same = c == name[k];
        }
        if (same) return value;
    }
    std::string message = "unknown ";
    message += what;
    message += ' ';
    message += quote_text(t);
    message += "; expected one of: ";
    for (std::size_t k = 0; k < canonical_count; ++k) {
        if (k != 0) message += ", ";
        message += canonical[k];
    }
    return message;
}

constexpr std::array<std::pair<std::string_view, Quality>, 5> accepted_qualities{{
    {"fast", Quality::Fast},
    {"balanced", Quality::Balanced},
    {"best", Quality::Best},
    {"hq", Quality::Hq},
    {"vhq", Quality::Vhq},
}};

constexpr std::array<std::pair<std::string_view, BackendRequest>, 8> accepted_backends{{
    {"auto", BackendRequest::Auto},
    {"scalar", BackendRequest::Scalar},
    {"avx2", BackendRequest::Avx2},
    {"avx2+fma", BackendRequest::Avx2},
    {"avx512", BackendRequest::Avx512},
    {"avx512f", BackendRequest::Avx512},
    {"neon", BackendRequest::Neon},
    {"rvv", BackendRequest::Rvv},
}};

}  // namespace

ParseResult<Quality> parse_quality(std::optional<std::string_view> text) {
    return match_name(text, "balanced", accepted_qualities, "quality", quality_names, std::size(quality_names));
}

ParseResult<BackendRequest> parse_backend(std::optional<std::string_view> text) {
    return match_name(text, "auto", accepted_backends, "backend", backend_names, std::size(backend_names));
}

ParseResult<ResamplerConfig> config_from_parts(std::uint32_t input_rate, std::uint32_t output_rate,
                                               std::uint64_t channels, std::optional<std::string_view> quality,
                                               std::optional<std::string_view> backend,
                                               std::optional<std::uint64_t> max_input_frames_per_chunk) {
    auto q = parse_quality(quality);
    if (auto* message = std::get_if<std::string>(&q)) return std::move(*message);
    auto b = parse_backend(backend);
    if (auto* message = std::get_if<std::string>(&b)) return std::move(*message);

    ResamplerConfig config;
    config.input_rate = input_rate;
    config.output_rate = output_rate;
    config.channels = channels;
    config.quality = std::get<Quality>(q);
    config.backend = std::get<BackendRequest>(b);
    config.max_input_frames_per_chunk = max_input_frames_per_chunk;
    return config;
}

}  // namespace tenvira
