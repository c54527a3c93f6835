// The description of the cameras: the JSON that CAMSNAP_VCAM_CONFIG carries into every
// process that loads the library, and that camsnap_vcam reads and writes. One description
// makes the same nodes wherever it is loaded; each process keeps its own state for them.
#pragma once

#include "registry.h"

#include <string>

namespace vcam {

// Replaces every node by those of a description ({"nodes": [...]}). Callers hold the lock.
// On a fault nothing changes and *error says what is wrong, naming the node.
bool configure(Registry &reg, const std::string &text, std::string *error);
// Adds (or replaces) the one node a node description ({"node": N, ...}) describes.
bool configure_node(Registry &reg, const std::string &text, std::string *error);
// Makes node n's S_FMT answer the fields of `text`, a description's "fmt_answer" object:
// 0, -ENOENT for no node n, -EINVAL with *error saying why for a text it refuses.
int set_fmt_answer(Registry &reg, int n, const std::string &text, std::string *error);
// The description of the nodes as they are now: configuration, frame rate, fault plans.
std::string describe(const Registry &reg);

bool valid_size(const FrameSize &s);

}  // namespace vcam
