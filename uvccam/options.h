#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "format.h"

namespace uvccam {

struct Options {
    std::string name = "uvccam";
    std::string manufacturer = "camsnap";
    std::vector<Format> formats;
    unsigned fps = 30;
    uint32_t first_number = 1;
    uint64_t unplug_after = 0;  // frames sent in all; 0: never
    std::string gadget_dir = "/dev/gadget";
    std::string dump_dir;  // write frames there instead of being a device
    unsigned dump_count = 0;
    bool verbose = false;
};

// Throws std::invalid_argument with a message for the user.
Options parse_options(int argc, char** argv);

extern const char kUsage[];

}  // namespace uvccam
