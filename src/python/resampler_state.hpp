// What a resampler object holds, shared by the files that implement its
// methods.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <vector>

#include "python/access.hpp"
#include "python/messages.hpp"
#include "resampler/core.hpp"

namespace tenvira::python {

template <typename S>
struct ResamplerState {
    ResamplerState(Core<S> engine, std::uint64_t channels)
        : core(std::move(engine)), channels(channels), owner_thread(PyThread_get_thread_ident()) {}

    Core<S> core;
    std::uint64_t channels;
    std::atomic<std::int64_t> borrow_state{0};
    unsigned long owner_thread;
    // Kept between calls so that they do not allocate again: the output of
    // process and finish before it becomes a list, a block of buffer input
    // converted to S, and the stream before the current call, which undoes
    // a call whose result cannot be delivered.
    std::vector<S> output;
    std::vector<S> converted;
    Checkpoint<S> checkpoint;
};

// Instance record; `PyF32Resampler` and `PyI16Resampler`. The state is built
// in place once the engine exists and destroyed with the object on its own
// thread.
template <typename S>
struct PyResampler {
    PyObject_HEAD
    alignas(ResamplerState<S>) unsigned char storage[sizeof(ResamplerState<S>)];
    bool constructed;

    ResamplerState<S>& state() { return *std::launder(reinterpret_cast<ResamplerState<S>*>(storage)); }
};

using PyF32Resampler = PyResampler<float>;
using PyI16Resampler = PyResampler<std::int16_t>;

template <typename S>
ResamplerState<S>& state_of(PyObject* self) {
    return reinterpret_cast<PyResampler<S>*>(self)->state();
}

// The preamble of every method: the owner's thread, then the access state.
template <typename S>
Access exclusive_access(PyObject* self) {
    ResamplerState<S>& st = state_of<S>(self);
    check_thread(st.owner_thread, messages::ClassTexts<S>::type_path);
    return Access::exclusive(st.borrow_state);
}

template <typename S>
Access shared_access(PyObject* self) {
    ResamplerState<S>& st = state_of<S>(self);
    check_thread(st.owner_thread, messages::ClassTexts<S>::type_path);
    return Access::shared(st.borrow_state);
}

// The sample format of each class's buffers.
template <typename S>
inline constexpr char format_code = sizeof(S) == 4 ? 'f' : 'h';

}  // namespace tenvira::python
