// Internal faults: states that the public interface cannot produce.
//
// A fault is not an error value. It is thrown as `InternalFault` and caught at
// the Python call boundary, which raises it as `FaultException` instead of
// letting the process abort.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tenvira {

class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Throws an `InternalFault` carrying `message` unchanged.
[[noreturn]] void fault(std::string message);

// Throws an `InternalFault` with the message
// "internal error: entered unreachable code: " + reason.
[[noreturn]] void unreachable(std::string_view reason);

}  // namespace tenvira
