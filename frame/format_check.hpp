// format_check.hpp: buffer format strings against an element descriptor.
#pragma once

#include "frame/element_type.hpp"

namespace accel::frame {

/// True when `format` (a struct-module format string; null means "B")
/// describes exactly one little-endian 8-byte real. Otherwise raises
/// ValueError with a message naming what was found and returns false.
bool check_format(const char *format, const ElementType &element);

}  // namespace accel::frame
