// The buffer methods of the resampler classes: process_into, finish_into,
// process_array and finish_array. They read numeric buffers in place, write
// output straight into memory, work through long inputs in bounded blocks
// and release the interpreter lock while the engine works on a large call.
// The thread binding and access state are taken by the caller, as for every
// method.
#pragma once

#include "python/resampler_state.hpp"

namespace tenvira::python {

template <typename S>
struct BufferMethods {
    static PyObject* process_into(ResamplerState<S>& st, PyObject* input, PyObject* output);
    static PyObject* finish_into(ResamplerState<S>& st, PyObject* output);
    static PyObject* process_array(ResamplerState<S>& st, PyObject* input);
    static PyObject* finish_array(ResamplerState<S>& st);
};

extern template struct BufferMethods<float>;
extern template struct BufferMethods<std::int16_t>;

}  // namespace tenvira::python
