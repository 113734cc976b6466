#include "base/fault.hpp"

namespace tenvira {

void fault(std::string message) { throw InternalFault(std::move(message)); }

void unreachable(std::string_view reason) {
    std::string message = "internal error: entered unreachable code: ";
    message.append(reason);
    throw InternalFault(std::move(message));
}

}  // namespace tenvira
