#include "resampler/config.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

namespace tenvira {

namespace {

struct CodePointRange {
    char32_t lo;
    char32_t hi;
};

constexpr CodePointRange printable_ranges[] = {
#include "resampler/printable_ranges.inc"
};

// Decodes one UTF-8 sequence starting at text[i]. Returns the code point and
// advances i; an invalid or truncated sequence consumes one byte and yields
// U+FFFD.
char32_t decode_utf8(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        i += 1;
        return b0;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        i += 1;
        return 0xFFFD;
    }
    if (i + len > text.size()) {
        i += 1;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            i += 1;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        i += 1;
        return 0xFFFD;
    }
    i += len;
    return cp;
}

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

constexpr std::array<std::pair<std::string_view, Quality>, 3> accepted_qualities{{
    {"fast", Quality::Fast},
    {"balanced", Quality::Balanced},
    {"best", Quality::Best},
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

std::string ResampleError::message() const {
    switch (kind_) {
        case Kind::InvalidSampleRate:
            return "sample rates must be greater than zero";
        case Kind::InvalidChannelCount:
            return "channel count must be greater than zero";
        case Kind::MisalignedInput:
            return "input has " + std::to_string(samples_) + " samples, which is not divisible by " +
                   std::to_string(channels_) + " channels";
        case Kind::BackendUnavailable:
            return std::string("requested backend is not available: ") + name_;
    }
    return {};
}

bool is_printable_code_point(char32_t cp) noexcept {
    const auto* it = std::upper_bound(std::begin(printable_ranges), std::end(printable_ranges), cp,
                                      [](char32_t c, const CodePointRange& r) { return c < r.lo; });
    if (it == std::begin(printable_ranges)) return false;
    --it;
    return cp <= it->hi;
}

std::string quote_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t begin = i;
        const char32_t cp = decode_utf8(text, i);
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        // An undecodable byte also comes back as U+FFFD, but consumes one byte.
        const bool undecodable = cp == 0xFFFD && i - begin == 1;
        if (!undecodable && is_printable_code_point(cp)) {
            out.append(text.substr(begin, i - begin));
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        }
    }
    out += '"';
    return out;
}

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
