// uvccam: a USB camera made in user space on gadgetfs, for testing against the
// kernel's uvcvideo driver (see README.md).
#include <sched.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "camera.h"
#include "format.h"
#include "options.h"

namespace {

volatile bool g_quit = false;

void on_termination(int) { g_quit = true; }

void install_termination_handlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_termination;  // no SA_RESTART: the ep0 read must return
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// gadgetfs completes a control OUT transfer (SET_CUR) before we have read its
// data, and the host's next request takes the data's place: the ep0 reader
// must run as soon as the request arrives, before the driver goes on.
void raise_priority() {
    sched_param param{};
    param.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
        std::fprintf(stderr, "uvccam: no real-time priority (%s); control requests may be lost\n",
                     std::strerror(errno));
}

bool dump_frames(const uvccam::Options& options) {
    std::vector<uint8_t> frame;
    for (const uvccam::Format& format : options.formats) {
        for (uvccam::FrameSize size : format.sizes) {
            for (unsigned i = 0; i < options.dump_count; ++i) {
                const uint32_t number = options.first_number + i;
                uvccam::fill_frame(*format.pixel, size, number, frame);
                const std::string path = options.dump_dir + "/" + format.pixel->name + "-" +
                                         std::to_string(size.width) + "x" +
                                         std::to_string(size.height) + "-" +
                                         std::to_string(number) + ".raw";
                std::ofstream out(path, std::ios::binary);
                out.write(reinterpret_cast<const char*>(frame.data()), std::streamsize(frame.size()));
                if (!out) {
                    std::fprintf(stderr, "uvccam: cannot write %s\n", path.c_str());
                    return false;
                }
            }
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    uvccam::Options options;
    try {
        options = uvccam::parse_options(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "uvccam: %s\n%s", e.what(), uvccam::kUsage);
        return 2;
    }
    if (!options.dump_dir.empty()) return dump_frames(options) ? 0 : 1;
    install_termination_handlers();
    raise_priority();
    uvccam::Camera camera(options);
    return camera.run(g_quit) ? 0 : 1;
}
