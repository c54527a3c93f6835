// A small JSON reader and the writing helpers the camera description needs. The library is
// preloaded into programs of every kind, so it carries its own rather than a dependency.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vcam::json {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    std::string text;  // a string's bytes (UTF-8), or a number as it was written
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;  // in the order written

    bool is(Type t) const { return type == t; }
    // The member named `key`, or nullptr.
    const Value *find(const std::string &key) const;
    // A number written as a whole number within range (no fraction, no exponent).
    bool to_int(int64_t lo, int64_t hi, int64_t *out) const;
    bool to_u64(uint64_t *out) const;
    bool to_double(double *out) const;
};

// Parses the whole of `text`; on a fault answers false and says what and where in `error`.
bool parse(const std::string &text, Value *out, std::string *error);

// The JSON string literal for these bytes; bytes that are not UTF-8 must not be passed.
std::string quote(const std::string &s);
bool valid_utf8(const std::string &s);
// The shortest text that reads back as the same double.
std::string number(double v);

std::string base64_encode(const std::string &bytes);
bool base64_decode(const std::string &text, std::string *bytes);

}  // namespace vcam::json
