// Test names and failure messages show a kernel by its name, not its bytes.
#pragma once

#include "convert/kernels.h"

#include <ostream>

namespace camsnap {

inline void PrintTo(const Yu12RgbKernel &k, std::ostream *os) { *os << k.name; }

}  // namespace camsnap
