// The camera description's JSON: a strict reader, string quoting, locale-independent numbers
// and base64 for exact frames.
#include "json.h"

#include <locale.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vcam::json {
namespace {

// Deep enough for any description; bounds the recursion on hostile input.
constexpr int kMaxDepth = 64;

class Parser {
public:
    explicit Parser(const std::string &text) : s_(text) {}

    bool document(Value *out, std::string *error) {
        skip_space();
        bool ok = value(out, 0);
        skip_space();
        if (ok && pos_ != s_.size()) ok = fault("text after the end of the value");
        if (!ok) *error = error_;
        return ok;
    }

private:
    bool fault(const char *what) {
        if (error_.empty()) error_ = std::string(what) + " at offset " + std::to_string(pos_);
        return false;
    }

    // Whether the next character is one of `chars`.
    bool at(const char *chars) const { return pos_ < s_.size() && s_[pos_] && std::strchr(chars, s_[pos_]); }

    // Steps over the next character when it is one of `chars`.
    bool take(const char *chars) { return at(chars) && ++pos_; }

    // Steps over the characters of `chars` that come next; answers whether there were any.
    bool skip(const char *chars) {
        const size_t from = pos_;
        while (take(chars)) {
        }
        return pos_ > from;
    }

    void skip_space() { skip(" \t\n\r"); }

    bool literal(const char *word) {
        const size_t n = std::strlen(word);
        if (s_.compare(pos_, n, word) != 0) return fault("unknown word");
        pos_ += n;
        return true;
    }

    bool value(Value *v, int depth) {
        if (depth > kMaxDepth) return fault("nesting too deep");
        if (pos_ >= s_.size()) return fault("value missing");
        switch (s_[pos_]) {
        case '{': return object(v, depth);
        case '[': return array(v, depth);
        case '"': v->type = Value::Type::String; return string(&v->text);
        case 't': v->type = Value::Type::Bool; v->boolean = true; return literal("true");
        case 'f': v->type = Value::Type::Bool; v->boolean = false; return literal("false");
        case 'n': v->type = Value::Type::Null; return literal("null");
        default: return number(v);
        }
    }

    // The items of an object or array, up to `close`: `item` reads one (a member, a value).
    template <typename Item>
    bool items(const char *close, const char *expected, Item &&item) {
        ++pos_;
        skip_space();
        if (take(close)) return true;
        do {
            skip_space();
            if (!item()) return false;
            skip_space();
        } while (take(","));
        return take(close) || fault(expected);
    }

    bool object(Value *v, int depth) {
        v->type = Value::Type::Object;
        return items("}", "',' or '}' expected", [&] {
            if (!at("\"")) return fault("member name expected");
            std::string key;
            if (!string(&key)) return false;
            skip_space();
            if (!take(":")) return fault("':' expected");
            skip_space();
            v->members.emplace_back(std::move(key), Value{});
            return value(&v->members.back().second, depth + 1);
        });
    }

    bool array(Value *v, int depth) {
        v->type = Value::Type::Array;
        return items("]", "',' or ']' expected", [&] {
            v->items.emplace_back();
            return value(&v->items.back(), depth + 1);
        });
    }

    bool number(Value *v) {
        const size_t start = pos_;
        auto digits = [&] { return skip("0123456789"); };
        take("-");
        if (!digits()) return fault("value expected");
        if (take(".") && !digits()) return fault("digits expected after '.'");
        if (take("eE")) {
            take("+-");
            if (!digits()) return fault("digits expected in the exponent");
        }
        v->type = Value::Type::Number;
        v->text = s_.substr(start, pos_ - start);
        return true;
    }

    bool hex4(uint32_t *out) {
        if (pos_ + 4 > s_.size()) return fault("short \\u escape");
        static const char hex[] = "0123456789abcdef0123456789ABCDEF";
        *out = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s_[pos_++];
            const char *p = c ? std::strchr(hex, c) : nullptr;
            if (!p) return fault("bad \\u escape");
            *out = *out << 4 | uint32_t((p - hex) % 16);
        }
        return true;
    }

    static void append_utf8(std::string *out, uint32_t cp) {
        if (cp < 0x80) {
            *out += char(cp);
            return;
        }
        // How many continuation bytes follow the lead byte, which says so in its high bits.
        static const uint8_t lead[] = {0, 0xC0, 0xE0, 0xF0};
        const int more = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        *out += char(lead[more] | (cp >> (6 * more)));
        for (int k = more - 1; k >= 0; --k) *out += char(0x80 | ((cp >> (6 * k)) & 0x3F));
    }

    bool escape(std::string *out) {
        if (pos_ >= s_.size()) return fault("unterminated string");
        const char c = s_[pos_++];
        static const char plain[] = "\"\\/bfnrt", meant[] = "\"\\/\b\f\n\r\t";
        if (const char *p = std::strchr(plain, c); p && c) {
            *out += meant[p - plain];
            return true;
        }
        if (c != 'u') return fault("bad escape");
        uint32_t cp = 0;
        if (!hex4(&cp)) return false;
        if (cp >= 0xD800 && cp < 0xDC00) {
            uint32_t low = 0;
            if (s_.compare(pos_, 2, "\\u") != 0) return fault("lone surrogate");
            pos_ += 2;
            if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF) return fault("lone surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        } else if (cp >= 0xDC00 && cp < 0xE000) {
            return fault("lone surrogate");
        }
        append_utf8(out, cp);
        return true;
    }

    bool string(std::string *out) {
        ++pos_;  // the opening quote
        for (;;) {
            if (pos_ >= s_.size()) return fault("unterminated string");
            const unsigned char c = s_[pos_];
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return fault("control character in a string");
            ++pos_;
            if (c == '\\') {
                if (!escape(out)) return false;
            } else {
                *out += char(c);
            }
        }
    }

    const std::string &s_;
    size_t pos_ = 0;
    std::string error_;
};

// JSON numbers have a '.', whatever LC_NUMERIC the program chose (a de_DE program's
// strtod stops at the '.' of 7.5 and its printf writes 7,5): the thread reads and writes
// them in the C locale meanwhile.
class CLocale {
public:
    CLocale() : previous_(uselocale(c_locale())) {}
    ~CLocale() { uselocale(previous_); }
    CLocale(const CLocale &) = delete;
    CLocale &operator=(const CLocale &) = delete;

private:
    static locale_t c_locale() {
        static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
        return c;
    }
    locale_t previous_;
};

bool whole_number(const std::string &text) {
    return !text.empty() && text.find_first_of(".eE") == std::string::npos;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

const Value *Value::find(const std::string &key) const {
    for (const auto &m : members) {
        if (m.first == key) return &m.second;
    }
    return nullptr;
}

bool Value::to_int(int64_t lo, int64_t hi, int64_t *out) const {
    if (!is(Type::Number) || !whole_number(text)) return false;
    errno = 0;
    char *end;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool Value::to_u64(uint64_t *out) const {
    if (!is(Type::Number) || !whole_number(text) || text[0] == '-') return false;
    errno = 0;
    char *end;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno || *end) return false;
    *out = v;
    return true;
}

bool Value::to_double(double *out) const {
    if (!is(Type::Number)) return false;
    const CLocale c;
    const double v = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool parse(const std::string &text, Value *out, std::string *error) {
    *out = Value{};
    return Parser(text).document(out, error);
}

bool valid_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = s[i];
        size_t more;  // continuation bytes after the lead
        unsigned char lo = 0x80, hi = 0xBF;  // the range of the first continuation byte
        if (c < 0x80) more = 0;
        else if (c >= 0xC2 && c <= 0xDF) more = 1;
        else if (c >= 0xE0 && c <= 0xEF) more = 2;
        else if (c >= 0xF0 && c <= 0xF4) more = 3;
        else return false;
        // No overlong forms, surrogates or code points past U+10FFFF.
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
        if (s.size() - i <= more) return false;
        for (size_t k = 1; k <= more; ++k) {
            const unsigned char b = s[i + k];
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return false;
        }
        i += more + 1;
    }
    return true;
}

std::string quote(const std::string &s) {
    std::string out = "\"";
    for (const char ch : s) {
        const unsigned char c = ch;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string number(double v) {
    const CLocale c;
    char text[32];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    return text;
}

std::string base64_encode(const std::string &bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) v |= uint8_t(bytes[i + 2]);
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kBase64[v & 63] : '=';
    }
    return out;
}

bool base64_decode(const std::string &text, std::string *bytes) {
    if (text.size() % 4) return false;
    bytes->clear();
    bytes->reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            const char *p = c ? std::strchr(kBase64, c) : nullptr;
            // '=' only at the end, and at most two of them
            if (c == '=' && i + 4 == text.size() && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                ++pad;
                v <<= 6;
            } else if (p && !pad) {
                v = v << 6 | uint32_t(p - kBase64);
            } else {
                return false;
            }
        }
        *bytes += char(v >> 16);
        if (pad < 2) *bytes += char((v >> 8) & 0xFF);
        if (pad < 1) *bytes += char(v & 0xFF);
    }
    return true;
}

}  // namespace vcam::json
