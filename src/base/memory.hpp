// Allocation guards shared by every large array of the engine.
//
// Linux hands out virtual memory far beyond what the machine can back, so a
// huge request "succeeds" and the process is killed later when the pages are
// touched. Requests that can never be satisfied are refused up front instead:
// a byte size beyond the signed 64-bit range is the fault "capacity overflow",
// and a request larger than the machine's RAM plus swap is `std::bad_alloc`
// (raised to Python as MemoryError).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tenvira {

// RAM plus swap of this machine in bytes, read once.
std::uint64_t allocation_limit() noexcept;

// count × element_size, or the fault "capacity overflow" when the product
// exceeds the largest signed 64-bit value.
std::uint64_t checked_byte_size(std::uint64_t count, std::uint64_t element_size);

// Throws `std::bad_alloc` when `bytes` exceeds `allocation_limit()` (or when
// the allocation gate below refuses it).
void check_allocation(std::uint64_t bytes);

// Whether an allocation of `bytes` that check_allocation guards may go ahead.
// Always true; a test program may define its own (the definition here is
// weak) to make allocations fail on purpose.
bool allocation_gate(std::uint64_t bytes) noexcept;

// calloc of count × element_size bytes with both checks above; never returns
// null (throws `std::bad_alloc` instead). Release with `std::free`.
void* checked_calloc(std::uint64_t count, std::uint64_t element_size);

}  // namespace tenvira
