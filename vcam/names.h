// Names of V4L2 things: tables of names and their numbers (control types, control ids, colour
// fields), and the fixed-size, zero-padded name fields of the kernel's records.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vcam {

struct NamedValue {
    const char *name;
    uint32_t value;
};

// The entry of `table` with this name, or null.
template <size_t N>
const NamedValue *named(const NamedValue (&table)[N], const std::string &name) {
    for (const NamedValue &e : table) {
        if (name == e.name) return &e;
    }
    return nullptr;
}

// The first entry of `table` with this value, or null.
template <size_t N>
const NamedValue *with_value(const NamedValue (&table)[N], uint32_t value) {
    for (const NamedValue &e : table) {
        if (value == e.value) return &e;
    }
    return nullptr;
}

// Fills a name field of `cap` bytes: as much of `src` as fits before a terminating zero.
inline void copy_name(void *dst, size_t cap, const std::string &src) {
    std::memset(dst, 0, cap);
    std::memcpy(dst, src.data(), std::min(src.size(), cap - 1));
}

}  // namespace vcam
