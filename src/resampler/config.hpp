// The configuration record, the quality and backend names, and the error kinds
// that engine operations return.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tenvira {

enum class Quality : std::uint8_t { Fast = 0, Balanced = 1, Best = 2 };

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

class ResampleError {
public:
    enum class Kind : std::uint8_t { InvalidSampleRate, InvalidChannelCount, MisalignedInput, BackendUnavailable };

    static ResampleError invalid_sample_rate() { return ResampleError(Kind::InvalidSampleRate); }
    static ResampleError invalid_channel_count() { return ResampleError(Kind::InvalidChannelCount); }
    static ResampleError misaligned_input(std::uint64_t samples, std::uint64_t channels) {
        ResampleError e(Kind::MisalignedInput);
        e.samples_ = samples;
        e.channels_ = channels;
        return e;
    }
    static ResampleError backend_unavailable(const char* name) {
        ResampleError e(Kind::BackendUnavailable);
        e.name_ = name;
        return e;
    }

    Kind kind() const noexcept { return kind_; }
    std::uint64_t samples() const noexcept { return samples_; }
    std::uint64_t channels() const noexcept { return channels_; }
    const char* name() const noexcept { return name_; }

    // The display form: the message the caller sees.
    std::string message() const;

private:
    explicit ResampleError(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::uint64_t samples_ = 0;
    std::uint64_t channels_ = 0;
    const char* name_ = "";
};

// A value or a `ResampleError`.
template <typename T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ResampleError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const ResampleError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, ResampleError> v_;
};

// Outcome of matching a name: the parsed value, or the full error message.
template <typename T>
using ParseResult = std::variant<T, std::string>;

// Writes `text` (UTF-8) between double quotes with the escapes of the
// unknown-name messages: \" \\ \t \r \n \0, and \u{hex} for every other
// character that is not printable.
std::string quote_text(std::string_view text);

// Whether a code point appears unescaped in quoted text. Printable means what
// Python's str.isprintable() accepts (Unicode 14.0, as in CPython 3.11),
// except that combining marks (categories Mn, Mc, Me) are escaped too, since
// they would attach to the quote or the previous character.
bool is_printable_code_point(char32_t cp) noexcept;

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
