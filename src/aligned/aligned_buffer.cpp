#include "aligned/aligned_buffer.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "base/memory.hpp"
#include "base/fault.hpp"

namespace tenvira::aligned_detail {

void* allocate_zeroed(std::size_t count, std::size_t element_size, std::size_t* size_out) {
    constexpr std::uint64_t max_size = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    constexpr std::uint64_t align = 64;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(count), static_cast<std::uint64_t>(element_size), &bytes)) {
        fault("invalid aligned layout");
    }
    const std::uint64_t size = bytes == 0 ? 1 : bytes;
    // The size rounded up to the alignment must stay within the signed range.
    if (size > max_size - (align - 1)) fault("invalid aligned layout");

    check_allocation(size);
    void* p = nullptr;
    if (posix_memalign(&p, align, static_cast<std::size_t>(size)) != 0 || p == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(p, 0, static_cast<std::size_t>(size));
    *size_out = static_cast<std::size_t>(size);
    return p;
}

void release(void* p) noexcept { std::free(p); }

}  // namespace tenvira::aligned_detail
