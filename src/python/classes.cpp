#include "python/classes.hpp"

namespace tenvira::python {

std::span<const ModuleClass> module_classes() {
    // The resampler classes and ProcessStats are listed here, in module order.
    return {};
}

}  // namespace tenvira::python
