// module.hpp: what the parts of the rebin module share.
#pragma once

#include "frame/module_data.hpp"

namespace accel::rebin {

extern frame::ModuleData module_data;

/// Names the function looks up or passes to NumPy, interned at import.
namespace name {
extern frame::InternedName np, zeros, asarray, dtype, float64;
}

}  // namespace accel::rebin
