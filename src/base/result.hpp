// Errors that engine operations return, and the value-or-error type that
// carries them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tenvira {

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

}  // namespace tenvira
