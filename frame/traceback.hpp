// traceback.hpp: traceback entries for failures inside compiled functions.
#pragma once

#include "frame/module_data.hpp"

#include <cstddef>

namespace accel::frame {

/// Appends one entry (fn's qualified name, its module's source path, `line`)
/// to the traceback of the pending exception. Always returns nullptr, so a
/// failing entry point can `return add_traceback(...)`. If the entry itself
/// cannot be made, the pending exception is left as it was.
std::nullptr_t add_traceback(const TraceFunction &fn, int line) noexcept;

}  // namespace accel::frame
