#include "options.h"

#include <stdexcept>

namespace uvccam {

const char kUsage[] =
    "usage: uvccam --format CODE:WxH[,WxH...] [--format ...] [--name NAME] [--fps N]\n"
    "              [--first N] [--unplug-after FRAMES] [--gadget DIR] [--verbose]\n"
    "       uvccam --format ... --dump DIR --count N [--first N]\n"
    "CODE is Y16, BGR3, YU12 or YUYV. The camera runs until SIGTERM/SIGINT, or until it\n"
    "has sent FRAMES frames, then leaves the bus as if unplugged. --dump writes N\n"
    "frames of each format and size to DIR/CODE-WxH-NUMBER.raw instead.\n";

namespace {

unsigned long to_number(const std::string& text, const std::string& what) {
    size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) throw std::invalid_argument("bad " + what + ": " + text);
    return value;
}

FrameSize parse_size(const std::string& text, const PixelFormat& pixel) {
    const size_t x = text.find('x');
    if (x == std::string::npos) throw std::invalid_argument("bad size: " + text);
    const unsigned long w = to_number(text.substr(0, x), "width");
    const unsigned long h = to_number(text.substr(x + 1), "height");
    if (w == 0 || h == 0 || w > 4096 || h > 4096) throw std::invalid_argument("bad size: " + text);
    if (pixel.planar_yuv420 && (w % 2 || h % 2 || w < 32))
        throw std::invalid_argument("YU12 sizes must be even and at least 32 wide: " + text);
    return {uint16_t(w), uint16_t(h)};
}

Format parse_format(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) throw std::invalid_argument("bad format: " + text);
    const PixelFormat* pixel = find_pixel_format(text.substr(0, colon));
    if (!pixel) throw std::invalid_argument("unknown pixel format: " + text.substr(0, colon));
    Format format{pixel, {}};
    for (size_t at = colon + 1; at <= text.size();) {
        const size_t comma = std::min(text.find(',', at), text.size());
        format.sizes.push_back(parse_size(text.substr(at, comma - at), *pixel));
        at = comma + 1;
    }
    return format;
}

std::string ascii_name(const std::string& text) {
    // uvcvideo shows the product string as the card name (32 bytes with NUL).
    if (text.empty() || text.size() > 31) throw std::invalid_argument("name must have 1 to 31 characters");
    for (char c : text)
        if (c < 0x20 || c > 0x7e) throw std::invalid_argument("name must be printable ASCII");
    return text;
}

}  // namespace

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--format") o.formats.push_back(parse_format(value()));
        else if (arg == "--name") o.name = ascii_name(value());
        else if (arg == "--fps") o.fps = unsigned(to_number(value(), "frame rate"));
        else if (arg == "--first") o.first_number = uint32_t(to_number(value(), "first number"));
        else if (arg == "--unplug-after") o.unplug_after = to_number(value(), "frame count");
        else if (arg == "--gadget") o.gadget_dir = value();
        else if (arg == "--dump") o.dump_dir = value();
        else if (arg == "--count") o.dump_count = unsigned(to_number(value(), "count"));
        else if (arg == "--verbose") o.verbose = true;
        else throw std::invalid_argument("unknown argument: " + arg);
    }
    if (o.formats.empty()) throw std::invalid_argument("at least one --format is needed");
    if (o.formats.size() > 255) throw std::invalid_argument("too many formats");
    if (o.fps == 0 || o.fps > 1000) throw std::invalid_argument("frame rate must be 1 to 1000");
    return o;
}

}  // namespace uvccam
