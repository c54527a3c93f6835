// The Y'CbCr variants by name, for test tables; full-range BT.601 first.
#pragma once

#include "convert/ycbcr.h"

namespace camsnap {

struct NamedVariant {
    const char *name;
    YcbcrVariant v;
};

inline constexpr NamedVariant kVariants[] = {
    {"bt601_full", {Encoding::bt601, Quantization::full}},
    {"bt601_limited", {Encoding::bt601, Quantization::limited}},
    {"bt709_full", {Encoding::bt709, Quantization::full}},
    {"bt709_limited", {Encoding::bt709, Quantization::limited}},
};

}  // namespace camsnap
