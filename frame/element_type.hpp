// element_type.hpp: what an accepted array must hold.
#pragma once

namespace accel::frame {

/// An element descriptor: an 8-byte IEEE real, named as messages name it.
struct ElementType {
    const char *name;
};

inline constexpr ElementType float64_t_element{"float64_t"};   // ndarray buffers
inline constexpr ElementType double_element{"double"};         // writable views
inline constexpr ElementType const_double_element{"const double"};   // read-only views

}  // namespace accel::frame
