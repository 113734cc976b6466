// Thread binding and exclusive access of the resampler objects.
//
// Every object belongs to the thread that created it and serialises its
// calls through an atomic access state: 0 idle, -1 one exclusive (mutating)
// call, n > 0 that many shared (read-only) calls. Python code that runs
// inside a call (an element's __float__, say) therefore cannot re-enter the
// engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "base/fault.hpp"
#include "python/boundary.hpp"
#include "python/messages.hpp"

namespace tenvira::python {

// Raises the fault of a call from a thread other than the owner.
inline void check_thread(unsigned long owner, const char* type_path) {
    const unsigned long current = PyThread_get_thread_ident();
    if (current != owner) fault(messages::sent_to_another_thread(type_path, current, owner));
}

// Holds the access state for one call and gives it back when the call ends.
class Access {
public:
    static Access exclusive(std::atomic<std::int64_t>& state) {
        std::int64_t expected = 0;
        if (!state.compare_exchange_strong(expected, -1)) {
            PyErr_SetString(PyExc_RuntimeError, messages::already_borrowed);
            throw_python_error();
        }
        return Access(state, true);
    }

    static Access shared(std::atomic<std::int64_t>& state) {
        std::int64_t current = state.load();
        do {
            if (current == -1) {
                PyErr_SetString(PyExc_RuntimeError, messages::already_mutably_borrowed);
                throw_python_error();
            }
        } while (!state.compare_exchange_weak(current, current + 1));
        return Access(state, false);
    }

    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    Access(Access&& other) noexcept : state_(std::exchange(other.state_, nullptr)), exclusive_(other.exclusive_) {}
    ~Access() {
        if (state_ == nullptr) return;
        if (exclusive_) {
            state_->store(0);
        } else {
            state_->fetch_sub(1);
        }
    }

private:
    Access(std::atomic<std::int64_t>& state, bool exclusive) : state_(&state), exclusive_(exclusive) {}

    std::atomic<std::int64_t>* state_;
    bool exclusive_;
};

}  // namespace tenvira::python
