#include "base/memory.hpp"

#include <sys/sysinfo.h>

#include <cstdlib>
#include <limits>
#include <new>

#include "base/fault.hpp"

namespace tenvira {

std::uint64_t allocation_limit() noexcept {
    static const std::uint64_t limit = [] {
        struct sysinfo info {};
        if (sysinfo(&info) != 0) return std::numeric_limits<std::uint64_t>::max();
        const std::uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
        std::uint64_t total = 0;
        std::uint64_t ram = 0;
        std::uint64_t swap = 0;
        if (__builtin_mul_overflow(static_cast<std::uint64_t>(info.totalram), unit, &ram) ||
            __builtin_mul_overflow(static_cast<std::uint64_t>(info.totalswap), unit, &swap) ||
            __builtin_add_overflow(ram, swap, &total)) {
            return std::numeric_limits<std::uint64_t>::max();
        }
        return total;
    }();
    return limit;
}

std::uint64_t checked_byte_size(std::uint64_t count, std::uint64_t element_size) {
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(count, element_size, &bytes) ||
        bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        fault("capacity overflow");
    }
    return bytes;
}

__attribute__((weak)) bool allocation_gate(std::uint64_t) noexcept { return true; }

void check_allocation(std::uint64_t bytes) {
    if (bytes > allocation_limit() || !allocation_gate(bytes)) throw std::bad_alloc();
}

void* checked_calloc(std::uint64_t count, std::uint64_t element_size) {
    const std::uint64_t bytes = checked_byte_size(count, element_size);
    check_allocation(bytes);
    void* p = std::calloc(static_cast<std::size_t>(count == 0 ? 1 : count), static_cast<std::size_t>(element_size));
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace tenvira
