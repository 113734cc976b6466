#include "base/result.hpp"

#include <string>

namespace tenvira {

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

}  // namespace tenvira
