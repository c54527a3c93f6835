// Reading and writing the camera description: JSON to nodes (strictly, naming the node and
// key at fault) and nodes back to JSON; the description CAMSNAP_VCAM_CONFIG carries at load.
#include "config.h"
#include "requests.h"

#include "json.h"
#include "names.h"
#include "pattern.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

namespace vcam {
namespace {

using json::Value;
using Type = Value::Type;

// The names a description gives the colour fields of a format answer (the V4L2 constants'
// names in lower case, without their prefix); a number is taken as the constant itself.
constexpr NamedValue kColorspaces[] = {
    {"default", V4L2_COLORSPACE_DEFAULT},     {"smpte170m", V4L2_COLORSPACE_SMPTE170M},
    {"smpte240m", V4L2_COLORSPACE_SMPTE240M}, {"rec709", V4L2_COLORSPACE_REC709},
    {"bt878", V4L2_COLORSPACE_BT878},         {"470_system_m", V4L2_COLORSPACE_470_SYSTEM_M},
    {"470_system_bg", V4L2_COLORSPACE_470_SYSTEM_BG}, {"jpeg", V4L2_COLORSPACE_JPEG},
    {"srgb", V4L2_COLORSPACE_SRGB},           {"oprgb", V4L2_COLORSPACE_OPRGB},
    {"bt2020", V4L2_COLORSPACE_BT2020},       {"raw", V4L2_COLORSPACE_RAW},
    {"dci_p3", V4L2_COLORSPACE_DCI_P3},
};
constexpr NamedValue kYcbcrEncs[] = {
    {"default", V4L2_YCBCR_ENC_DEFAULT}, {"601", V4L2_YCBCR_ENC_601},       {"709", V4L2_YCBCR_ENC_709},
    {"xv601", V4L2_YCBCR_ENC_XV601},     {"xv709", V4L2_YCBCR_ENC_XV709},   {"sycc", V4L2_YCBCR_ENC_SYCC},
    {"bt2020", V4L2_YCBCR_ENC_BT2020},   {"bt2020_const_lum", V4L2_YCBCR_ENC_BT2020_CONST_LUM},
    {"smpte240m", V4L2_YCBCR_ENC_SMPTE240M},
};
constexpr NamedValue kQuantizations[] = {
    {"default", V4L2_QUANTIZATION_DEFAULT},
    {"full_range", V4L2_QUANTIZATION_FULL_RANGE},
    {"lim_range", V4L2_QUANTIZATION_LIM_RANGE},
};
constexpr NamedValue kXferFuncs[] = {
    {"default", V4L2_XFER_FUNC_DEFAULT},     {"709", V4L2_XFER_FUNC_709},
    {"srgb", V4L2_XFER_FUNC_SRGB},           {"oprgb", V4L2_XFER_FUNC_OPRGB},
    {"smpte240m", V4L2_XFER_FUNC_SMPTE240M}, {"none", V4L2_XFER_FUNC_NONE},
    {"dci_p3", V4L2_XFER_FUNC_DCI_P3},       {"smpte2084", V4L2_XFER_FUNC_SMPTE2084},
};

// One colour field: its key (in a node and in fmt_answer), its names, where it lives and
// the fmt_answer mask bit that replaces it.
struct ColourField {
    const char *key;
    const NamedValue *names;
    size_t count;
    uint32_t Colorimetry::*field;
    uint32_t bit;
};

template <size_t N>
constexpr ColourField colour_field(const char *key, const NamedValue (&names)[N], uint32_t Colorimetry::*field,
                                   uint32_t bit) {
    return ColourField{key, names, N, field, bit};
}

const ColourField kColourFields[] = {
    colour_field("colorspace", kColorspaces, &Colorimetry::colorspace, kColorspace),
    colour_field("ycbcr_enc", kYcbcrEncs, &Colorimetry::ycbcr_enc, kYcbcrEnc),
    colour_field("quantization", kQuantizations, &Colorimetry::quantization, kQuantization),
    colour_field("xfer_func", kXferFuncs, &Colorimetry::xfer_func, kXferFunc),
};

const ColourField *colour_field_named(const std::string &key) {
    for (const ColourField &f : kColourFields) {
        if (key == f.key) return &f;
    }
    return nullptr;
}

// A known name, or any 32-bit number (a constant newer than this table).
bool colour_value(const ColourField &f, const Value &v, uint32_t *out) {
    int64_t x;
    if (v.to_int(0, UINT32_MAX, &x)) {
        *out = uint32_t(x);
        return true;
    }
    for (size_t i = 0; v.is(Type::String) && i < f.count; ++i) {
        if (v.text == f.names[i].name) {
            *out = f.names[i].value;
            return true;
        }
    }
    return false;
}

std::string colour_json(const ColourField &f, uint32_t value) {
    for (size_t i = 0; i < f.count; ++i) {
        if (f.names[i].value == value) return json::quote(f.names[i].name);
    }
    return std::to_string(value);
}

std::string colour_error(const ColourField &f) {
    std::string names;
    for (size_t i = 0; i < f.count; ++i) names += std::string(i ? ", " : "") + f.names[i].name;
    return "must be one of " + names + " or a number";
}

// Everything one node description says, read before any node changes.
struct NodeDescription {
    int n = -1;
    NodeConfig config;
    bool device_caps_given = false;
    Override fmt_answer;
    std::vector<std::string> frames;
    bool hostile = false;
    uint64_t seed = 0;
    double rate = 0.05;
    std::vector<Fault> faults;                  // `at`: the nth call from now
    std::vector<DqbufOverride> dqbuf_overrides;  // likewise
};

// Reads the members of one node; every fault names the node and the key.
class NodeReader {
public:
    NodeReader(NodeDescription *d, std::string *error) : d_(*d), error_(*error) {}

    bool read_fmt_answer(const Value &v) {
        key_ = "fmt_answer";
        return fmt_answer(v);
    }

    bool read(const Value &v) {
        if (!v.is(Type::Object)) return fail("a node is an object");
        const Value *n = v.find("node");
        int64_t number;
        if (!n || !n->to_int(0, INT_MAX, &number)) return fail("\"node\" must be a number from 0");
        d_.n = int(number);
        where_ = "node " + std::to_string(d_.n);
        d_.config.card = "IR cam";
        d_.config.formats = {Format{V4L2_PIX_FMT_Y16, 0, {FrameSize{V4L2_FRMSIZE_TYPE_DISCRETE, 160, 160, 1, 120, 120, 1},
                                               FrameSize{V4L2_FRMSIZE_TYPE_DISCRETE, 640, 640, 1, 480, 480, 1}}}};
        for (const auto &m : v.members) {
            if (m.first == "node") continue;
            key_ = m.first;
            if (!member(m.first, m.second)) return false;
        }
        if (!d_.device_caps_given) d_.config.device_caps = d_.config.capabilities & ~V4L2_CAP_DEVICE_CAPS;
        key_.clear();
        if (d_.config.min_buffers > d_.config.max_buffers) return fail("min_buffers is above max_buffers");
        return true;
    }

private:
    bool fail(const std::string &what) {
        std::string at = where_;
        if (!key_.empty()) at += (at.empty() ? "" : ", ") + std::string("\"") + key_ + "\"";
        error_ = at.empty() ? what : at + ": " + what;
        return false;
    }

    static bool u32(const Value &v, uint32_t *out) {
        int64_t x;
        if (!v.to_int(0, UINT32_MAX, &x)) return false;
        *out = uint32_t(x);
        return true;
    }

    static bool error_number(const Value &v, int *out) {
        int64_t x;
        if (!v.to_int(0, 4095, &x)) return false;
        *out = int(x);
        return true;
    }

    // "Y16 " (four bytes) or the 32-bit code itself.
    static bool fourcc_value(const Value &v, uint32_t *out) {
        if (v.is(Type::String) && v.text.size() == 4) {
            *out = v4l2_fourcc(v.text[0], v.text[1], v.text[2], v.text[3]);
            return true;
        }
        return u32(v, out);
    }

    static bool u32_list(const Value &v, size_t count, uint32_t *out) {
        if (!v.is(Type::Array) || v.items.size() != count) return false;
        for (size_t i = 0; i < count; ++i) {
            if (!u32(v.items[i], &out[i])) return false;
        }
        return true;
    }

    // [w, h], {"stepwise": [min_w, max_w, step_w, min_h, max_h, step_h]} or
    // {"continuous": [min_w, max_w, min_h, max_h]}.
    static bool frame_size(const Value &v, FrameSize *s) {
        uint32_t x[6];
        if (u32_list(v, 2, x)) {
            *s = FrameSize{V4L2_FRMSIZE_TYPE_DISCRETE, x[0], x[0], 1, x[1], x[1], 1};
            return true;
        }
        if (!v.is(Type::Object) || v.members.size() != 1) return false;
        const std::string &kind = v.members[0].first;
        const Value &list = v.members[0].second;
        if (kind == "stepwise" && u32_list(list, 6, x)) {
            *s = FrameSize{V4L2_FRMSIZE_TYPE_STEPWISE, x[0], x[1], x[2], x[3], x[4], x[5]};
        } else if (kind == "continuous" && u32_list(list, 4, x)) {
            *s = FrameSize{V4L2_FRMSIZE_TYPE_CONTINUOUS, x[0], x[1], 1, x[2], x[3], 1};
        } else {
            return false;
        }
        return valid_size(*s);
    }

    bool format(const Value &v, Format *f) {
        if (!v.is(Type::Object)) return fail("a format is an object");
        const Value *code = v.find("fourcc");
        if (!code || !fourcc_value(*code, &f->fourcc)) return fail("a format needs \"fourcc\": four characters or a number");
        for (const auto &m : v.members) {
            if (m.first == "fourcc") continue;
            if (m.first == "pad") {
                if (!u32(m.second, &f->pad)) return fail("\"pad\" must be a number of bytes");
            } else if (m.first == "sizes") {
                if (!m.second.is(Type::Array)) return fail("\"sizes\" must be a list");
                for (const Value &s : m.second.items) {
                    f->sizes.emplace_back();
                    if (!frame_size(s, &f->sizes.back()))
                        return fail("a size is [w, h], {\"stepwise\": [min_w, max_w, step_w, min_h, max_h, step_h]} "
                                    "or {\"continuous\": [min_w, max_w, min_h, max_h]} with min <= max and steps above 0");
                }
            } else {
                return fail("a format has no key \"" + m.first + "\"");
            }
        }
        return true;
    }

    bool fmt_answer(const Value &v) {
        static const struct {
            const char *name;
            uint32_t bit;
            uint32_t PixFormat::*field;
        } fields[] = {{"width", kWidth, &PixFormat::width},
                      {"height", kHeight, &PixFormat::height},
                      {"bytesperline", kBytesperline, &PixFormat::bytesperline},
                      {"sizeimage", kSizeimage, &PixFormat::sizeimage},
                      {"pixelformat", kPixelformat, &PixFormat::pixelformat}};
        if (!v.is(Type::Object)) return fail("must be an object");
        for (const auto &m : v.members) {
            if (const ColourField *c = colour_field_named(m.first)) {
                if (!colour_value(*c, m.second, &(d_.fmt_answer.colour.*c->field)))
                    return fail("\"" + m.first + "\" " + colour_error(*c));
                d_.fmt_answer.mask |= c->bit;
                continue;
            }
            bool known = false;
            for (const auto &f : fields) {
                if (m.first != f.name) continue;
                known = true;
                uint32_t *field = &(d_.fmt_answer.pix.*f.field);
                if (!(f.bit == kPixelformat ? fourcc_value(m.second, field) : u32(m.second, field)))
                    return fail("\"" + m.first + "\" must be a 32-bit number");
                d_.fmt_answer.mask |= f.bit;
            }
            if (!known) return fail("no field \"" + m.first + "\"");
        }
        return true;
    }

    bool fault(const Value &v) {
        Fault f;
        const Value *request = v.find("request"), *nth = v.find("nth"), *err = v.find("errno");
        int64_t at = 1;
        if (!v.is(Type::Object) || !request || !request->is(Type::String) || !request_named(request->text) ||
            (nth && !nth->to_int(1, INT64_MAX, &at)) || !err || !error_number(*err, &f.err) || f.err == 0 ||
            v.members.size() != 2u + (nth != nullptr))
            return fail("a fault is {\"request\": NAME, \"nth\": N from 1, \"errno\": E above 0}");
        f.request = request->text;
        f.at = uint64_t(at);
        d_.faults.push_back(f);
        return true;
    }

    bool dqbuf_override(const Value &v) {
        DqbufOverride o;
        int64_t at = 1;
        if (!v.is(Type::Object)) return fail("a DQBUF override is an object");
        for (const auto &m : v.members) {
            static const struct {
                const char *name;
                uint32_t bit;
                uint32_t DqbufOverride::*field;
            } fields[] = {{"index", kIndex, &DqbufOverride::index},
                          {"flags", kFlags, &DqbufOverride::flags},
                          {"bytesused", kBytesused, &DqbufOverride::bytesused}};
            bool ok = m.first == "nth" && m.second.to_int(1, INT64_MAX, &at);
            for (const auto &f : fields) {
                if (m.first == f.name && u32(m.second, &(o.*f.field))) {
                    o.mask |= f.bit;
                    ok = true;
                }
            }
            if (!ok) return fail("a DQBUF override is {\"nth\": N from 1, \"index\", \"flags\", \"bytesused\": 32-bit numbers}");
        }
        o.at = uint64_t(at);
        d_.dqbuf_overrides.push_back(o);
        return true;
    }

    // {"name": "Gain", "type": "integer", "minimum": 0, "maximum": 255, "step": 1,
    //  "default": 32}; "id" may be left out for a control the kernel names ("Brightness", ...);
    // a menu lists its items by index, null for an index it leaves out.
    bool control(const Value &v, ControlConfig *c) {
        if (!v.is(Type::Object)) return fail("a control is an object");
        const Value *name = v.find("name");
        if (!name || !name->is(Type::String)) return fail("a control needs \"name\"");
        c->name = name->text;
        const std::string what = "control \"" + c->name + "\": ";
        for (const auto &m : v.members) {
            const Value &x = m.second;
            int64_t i = 0;
            const bool number = x.to_int(INT32_MIN, INT32_MAX, &i);
            if (m.first == "name") continue;
            if (m.first == "type") {
                c->type = x.is(Type::String) ? control_type_named(x.text) : 0;
                if (!c->type) return fail(what + "\"type\" is integer, boolean, menu, integer_menu or button");
            } else if (m.first == "id" || m.first == "flags") {
                uint32_t u;
                if (!u32(x, &u)) return fail(what + "\"" + m.first + "\" must be a 32-bit number");
                (m.first == "id" ? c->id : c->flags) = u;
            } else if (m.first == "minimum" || m.first == "maximum" || m.first == "step" || m.first == "default") {
                if (!number) return fail(what + "\"" + m.first + "\" must be a 32-bit number");
                (m.first == "minimum" ? c->minimum : m.first == "maximum" ? c->maximum
                                                   : m.first == "step"    ? c->step
                                                                          : c->default_value) = i;
            } else if (m.first == "menu") {
                if (!x.is(Type::Array)) return fail(what + "\"menu\" must be a list");
                for (const Value &item : x.items) {
                    MenuItem mi;
                    int64_t value;
                    mi.offered = !item.is(Type::Null);
                    if (item.is(Type::String)) mi.name = item.text;
                    else if (item.to_int(INT64_MIN, INT64_MAX, &value)) mi.value = value;
                    else if (mi.offered) return fail(what + "a menu item is text, a number or null");
                    c->menu.push_back(mi);
                }
            } else {
                return fail(what + "no key \"" + m.first + "\"");
            }
        }
        if (!v.find("id")) c->id = standard_control_id(c->name);
        // A menu without a maximum spans its items.
        if (!v.find("maximum") && !c->menu.empty()) c->maximum = int64_t(c->menu.size()) - 1;
        const std::string fault = complete_control(c);
        if (!fault.empty()) return fail(what + (v.find("id") || c->id ? fault : "needs \"id\" (not a name the kernel gives)"));
        for (const ControlConfig &other : d_.config.controls) {
            if (&other != c && other.id == c->id) return fail(what + "another control has its id");
        }
        return true;
    }

    bool card(const Value &v) {
        if (v.is(Type::String)) {
            d_.config.card = v.text;
            return true;
        }
        // Bytes that are not UTF-8 come as a list of byte values.
        if (!v.is(Type::Array)) return fail("must be text or a list of byte values");
        d_.config.card.clear();
        for (const Value &b : v.items) {
            int64_t x;
            if (!b.to_int(0, 255, &x)) return fail("must be text or a list of byte values");
            d_.config.card += char(x);
        }
        return true;
    }

    bool member(const std::string &key, const Value &v) {
        NodeConfig &c = d_.config;
        int64_t i;
        if (key == "card") return card(v);
        if (key == "capabilities") return u32(v, &c.capabilities) || fail("must be a 32-bit number");
        if (key == "device_caps") {
            d_.device_caps_given = !v.is(Type::Null);
            return !d_.device_caps_given || u32(v, &c.device_caps) || fail("must be a 32-bit number or null");
        }
        if (key == "querycap_errno") return error_number(v, &c.querycap_errno) || fail("must be an errno");
        if (key == "open_errno") return error_number(v, &c.open_errno) || fail("must be an errno");
        if (key == "min_buffers") return u32(v, &c.min_buffers) || fail("must be a count");
        if (key == "max_buffers") return u32(v, &c.max_buffers) || fail("must be a count");
        if (key == "fps") return (v.to_double(&c.fps) && c.fps >= 0) || fail("must be a rate from 0");
        if (key == "rates") {
            if (!v.is(Type::Array)) return fail("must be a list of frame rates above 0");
            c.rates.clear();
            for (const Value &r : v.items) {
                double x;
                if (!r.to_double(&x) || !(x > 0)) return fail("must be a list of frame rates above 0");
                c.rates.push_back(x);
            }
            return true;
        }
        if (const ColourField *f = colour_field_named(key))
            return colour_value(*f, v, &(c.colour.*f->field)) || fail(colour_error(*f));
        if (key == "feed") {
            if (v.is(Type::Null)) return true;
            if (!v.is(Type::String) || v.text.empty() || v.text.find('\0') != std::string::npos)
                return fail("must be the path of a FIFO or Unix socket, or null");
            c.feed = v.text;
            return true;
        }
        if (key == "controls") {
            if (!v.is(Type::Array)) return fail("must be a list of controls");
            c.controls.clear();
            c.controls.reserve(v.items.size());
            for (const Value &item : v.items) {
                c.controls.emplace_back();
                if (!control(item, &c.controls.back())) return false;
            }
            return true;
        }
        if (key == "skip") {
            if (!v.is(Type::Array)) return fail("must be a list of sequence numbers");
            c.skip.clear();
            for (const Value &seq : v.items) {
                if (!seq.to_int(0, UINT32_MAX, &i)) return fail("must be a list of sequence numbers");
                c.skip.insert(uint64_t(i));
            }
            return true;
        }
        if (key == "fixed_fps") {
            if (!v.is(Type::Bool)) return fail("must be true or false");
            c.fixed_fps = v.boolean;
            return true;
        }
        if (key == "stop_after") {
            if (!v.is(Type::Null) && !v.to_int(0, INT64_MAX, &i)) return fail("must be a count or null");
            c.stop_after = v.is(Type::Null) ? -1 : i;
            return true;
        }
        if (key == "formats") {
            if (!v.is(Type::Array)) return fail("must be a list");
            c.formats.clear();
            for (const Value &f : v.items) {
                c.formats.emplace_back();
                if (!format(f, &c.formats.back())) return false;
            }
            return true;
        }
        if (key == "fmt_answer") return v.is(Type::Null) || fmt_answer(v);
        if (key == "frames") {
            if (v.is(Type::Null)) return true;
            if (!v.is(Type::Array)) return fail("must be a list of base64 texts");
            for (const Value &f : v.items) {
                d_.frames.emplace_back();
                if (!f.is(Type::String) || !json::base64_decode(f.text, &d_.frames.back()))
                    return fail("must be a list of base64 texts");
            }
            return true;
        }
        if (key == "hostile") {
            d_.hostile = !v.is(Type::Null);
            return !d_.hostile || v.to_u64(&d_.seed) || fail("must be a seed (a number from 0) or null");
        }
        if (key == "hostile_rate")
            return (v.to_double(&d_.rate) && d_.rate >= 0 && d_.rate <= 1) || fail("must be a chance from 0 to 1");
        if (key == "faults" || key == "dqbuf_overrides") {
            if (!v.is(Type::Array)) return fail("must be a list");
            for (const Value &item : v.items) {
                if (!(key == "faults" ? fault(item) : dqbuf_override(item))) return false;
            }
            return true;
        }
        return fail("not a key of a node");
    }

    NodeDescription &d_;
    std::string &error_;
    std::string where_, key_;
};

std::unique_ptr<Node> make_node(const NodeDescription &d) {
    auto node = std::make_unique<Node>(d.config);
    node->set_override(d.fmt_answer);
    node->set_frames(d.frames);
    if (d.hostile) node->set_hostile(d.seed, d.rate);
    for (const Fault &f : d.faults) node->add_fault(f.request, f.at, f.err);
    for (const DqbufOverride &o : d.dqbuf_overrides) node->add_dqbuf_override(o.at, o);
    return node;
}

bool read_node(const Value &v, NodeDescription *d, std::string *error) { return NodeReader(d, error).read(v); }

// Text when the bytes are UTF-8, else the list of byte values.
std::string card_text(const std::string &card) {
    if (json::valid_utf8(card)) return json::quote(card);
    std::string out = "[";
    for (size_t i = 0; i < card.size(); ++i) out += (i ? ", " : "") + std::to_string(uint8_t(card[i]));
    return out + "]";
}

std::string fourcc_json(uint32_t code) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = char((code >> (8 * i)) & 0xff);
        if (c < 0x20 || c > 0x7e) return std::to_string(code);
        s += c;
    }
    return json::quote(s);
}

std::string size_json(const FrameSize &s) {
    std::ostringstream o;
    if (s.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        o << '[' << s.min_w << ", " << s.min_h << ']';
    } else if (s.type == V4L2_FRMSIZE_TYPE_STEPWISE) {
        o << "{\"stepwise\": [" << s.min_w << ", " << s.max_w << ", " << s.step_w << ", " << s.min_h << ", "
          << s.max_h << ", " << s.step_h << "]}";
    } else {
        o << "{\"continuous\": [" << s.min_w << ", " << s.max_w << ", " << s.min_h << ", " << s.max_h << "]}";
    }
    return o.str();
}

template <typename T, typename F>
std::string list_json(const std::vector<T> &items, F &&each) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + each(items[i]);
    return out + "]";
}

std::string control_json(const ControlConfig &c) {
    std::ostringstream o;
    o << "{\"name\": " << json::quote(c.name) << ", \"id\": " << c.id << ", \"type\": \""
      << control_type_name(c.type) << "\", \"minimum\": " << c.minimum << ", \"maximum\": " << c.maximum
      << ", \"step\": " << c.step << ", \"default\": " << c.default_value << ", \"flags\": " << c.flags;
    if (!c.menu.empty()) {
        o << ", \"menu\": " << list_json(c.menu, [&](const MenuItem &m) {
            if (!m.offered) return std::string("null");
            return c.type == V4L2_CTRL_TYPE_MENU ? json::quote(m.name) : std::to_string(m.value);
        });
    }
    o << '}';
    return o.str();
}

std::string node_json(int n, const Node &node) {
    const NodeConfig &c = node.config();
    std::ostringstream o;
    o << "{\"node\": " << n << ", \"card\": " << card_text(c.card) << ", \"capabilities\": " << c.capabilities
      << ", \"device_caps\": " << c.device_caps << ", \"querycap_errno\": " << c.querycap_errno
      << ", \"open_errno\": " << c.open_errno << ", \"formats\": " << list_json(c.formats, [](const Format &f) {
             return "{\"fourcc\": " + fourcc_json(f.fourcc) + ", \"sizes\": " + list_json(f.sizes, size_json) +
                    ", \"pad\": " + std::to_string(f.pad) + "}";
         })
      << ", \"min_buffers\": " << c.min_buffers << ", \"max_buffers\": " << c.max_buffers
      << ", \"fps\": " << json::number(c.fps) << ", \"stop_after\": "
      << (c.stop_after < 0 ? std::string("null") : std::to_string(c.stop_after))
      << ", \"fixed_fps\": " << (c.fixed_fps ? "true" : "false")
      << ", \"rates\": " << list_json(c.rates, [](double r) { return json::number(r); })
      << ", \"skip\": "
      << list_json(std::vector<uint64_t>(c.skip.begin(), c.skip.end()), [](uint64_t s) { return std::to_string(s); });
    for (const ColourField &f : kColourFields) o << ", \"" << f.key << "\": " << colour_json(f, c.colour.*f.field);
    o << ", \"controls\": " << list_json(c.controls, control_json);
    o << ", \"feed\": " << (c.feed.empty() ? std::string("null") : json::quote(c.feed));
    const Override &a = node.fmt_answer();
    if (a.mask) {
        std::vector<std::string> fields;
        if (a.mask & kWidth) fields.push_back("\"width\": " + std::to_string(a.pix.width));
        if (a.mask & kHeight) fields.push_back("\"height\": " + std::to_string(a.pix.height));
        if (a.mask & kBytesperline) fields.push_back("\"bytesperline\": " + std::to_string(a.pix.bytesperline));
        if (a.mask & kSizeimage) fields.push_back("\"sizeimage\": " + std::to_string(a.pix.sizeimage));
        if (a.mask & kPixelformat) fields.push_back("\"pixelformat\": " + fourcc_json(a.pix.pixelformat));
        for (const ColourField &f : kColourFields) {
            if (a.mask & f.bit) fields.push_back("\"" + std::string(f.key) + "\": " + colour_json(f, a.colour.*f.field));
        }
        std::string text = list_json(fields, [](const std::string &f) { return f; });
        o << ", \"fmt_answer\": {" << text.substr(1, text.size() - 2) << '}';
    }
    if (!node.frames().empty())
        o << ", \"frames\": "
          << list_json(node.frames(), [](const std::string &f) { return json::quote(json::base64_encode(f)); });
    uint64_t seed;
    double rate;
    if (node.hostile(&seed, &rate)) o << ", \"hostile\": " << seed << ", \"hostile_rate\": " << json::number(rate);
    const std::vector<Fault> faults = node.pending_faults();
    if (!faults.empty())
        o << ", \"faults\": " << list_json(faults, [](const Fault &f) {
            return "{\"request\": " + json::quote(f.request) + ", \"nth\": " + std::to_string(f.at) +
                   ", \"errno\": " + std::to_string(f.err) + "}";
        });
    const std::vector<DqbufOverride> overrides = node.pending_dqbuf_overrides();
    if (!overrides.empty())
        o << ", \"dqbuf_overrides\": " << list_json(overrides, [](const DqbufOverride &d) {
            std::string s = "{\"nth\": " + std::to_string(d.at);
            if (d.mask & kIndex) s += ", \"index\": " + std::to_string(d.index);
            if (d.mask & kFlags) s += ", \"flags\": " + std::to_string(d.flags);
            if (d.mask & kBytesused) s += ", \"bytesused\": " + std::to_string(d.bytesused);
            return s + "}";
        });
    o << '}';
    return o.str();
}

// The text CAMSNAP_VCAM_CONFIG holds, or the file it names with a leading '@'.
bool description_text(const char *variable, std::string *text, std::string *error) {
    if (variable[0] != '@') {
        *text = variable;
        return true;
    }
    std::ifstream in(variable + 1, std::ios::binary);
    if (!in) {
        *error = std::string("cannot read ") + (variable + 1) + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    *text = content.str();
    return true;
}

// Every process that loads the library with CAMSNAP_VCAM_CONFIG set starts with its cameras.
__attribute__((constructor)) void configure_from_environment() {
    const char *variable = std::getenv("CAMSNAP_VCAM_CONFIG");
    if (!variable || !*variable) return;
    std::string text, error;
    bool ok = description_text(variable, &text, &error);
    if (ok) {
        Registry &reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        ok = configure(reg, text, &error);
    }
    if (!ok) {
        const std::string line = "camsnap_vcam: CAMSNAP_VCAM_CONFIG: " + error + "; no virtual camera\n";
        ssize_t written = write(STDERR_FILENO, line.data(), line.size());
        (void)written;
    }
}

}  // namespace

bool valid_size(const FrameSize &s) {
    if (s.type == V4L2_FRMSIZE_TYPE_DISCRETE) return true;
    if (s.type != V4L2_FRMSIZE_TYPE_CONTINUOUS && s.type != V4L2_FRMSIZE_TYPE_STEPWISE) return false;
    return s.min_w <= s.max_w && s.min_h <= s.max_h && s.step_w && s.step_h;
}

bool configure(Registry &reg, const std::string &text, std::string *error) {
    Value v;
    if (!json::parse(text, &v, error)) return false;
    const Value *nodes = v.find("nodes");
    if (!v.is(Type::Object) || !nodes || !nodes->is(Type::Array) || v.members.size() != 1) {
        *error = "a description is {\"nodes\": [...]}";
        return false;
    }
    std::map<int, std::unique_ptr<Node>> made;
    for (const Value &item : nodes->items) {
        NodeDescription d;
        if (!read_node(item, &d, error)) return false;
        if (made.count(d.n)) {
            *error = "node " + std::to_string(d.n) + " is described twice";
            return false;
        }
        made[d.n] = make_node(d);
    }
    reg.clear();
    reg.nodes = std::move(made);
    g_configured.store(true);
    reg.notify();
    return true;
}

bool configure_node(Registry &reg, const std::string &text, std::string *error) {
    Value v;
    NodeDescription d;
    if (!json::parse(text, &v, error) || !read_node(v, &d, error)) return false;
    reg.replace(d.n, make_node(d));
    g_configured.store(true);
    reg.notify();
    return true;
}

int set_fmt_answer(Registry &reg, int n, const std::string &text, std::string *error) {
    Node *node = reg.node(n);
    if (!node) return -ENOENT;
    Value v;
    NodeDescription d;
    if (!json::parse(text, &v, error) || !NodeReader(&d, error).read_fmt_answer(v)) return -EINVAL;
    node->set_override(d.fmt_answer);
    return 0;
}

std::string describe(const Registry &reg) {
    std::string out = "{\"nodes\": [";
    for (auto it = reg.nodes.begin(); it != reg.nodes.end(); ++it)
        out += (it == reg.nodes.begin() ? "" : ", ") + node_json(it->first, *it->second);
    return out + "]}";
}

}  // namespace vcam
