// Reading a frame feed without ever blocking the node: whatever has arrived is kept until a
// whole record is there; the writer is held back by the pipe or socket meanwhile.
#include "feed.h"

#include "libc.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vcam {

int Feed::open(const std::string &path) {
    close();
    struct stat st {};
    if (libc::fstatat(AT_FDCWD, path.c_str(), &st, 0) != 0) return -errno;
    if (S_ISFIFO(st.st_mode)) {
        fd_ = libc::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
        if (fd_ < 0) return -errno;
        // A larger pipe (1 MiB, what an unprivileged process may ask) takes a large frame in
        // fewer reads; the default 64 KiB stays where the system refuses.
        (void)fcntl(fd_, F_SETPIPE_SZ, 1 << 20);
        return 0;
    }
    if (!S_ISSOCK(st.st_mode)) return -EINVAL;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -ENAMETOOLONG;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return -errno;
    // A listening socket takes the connection into its backlog at once.
    if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        const int err = errno;
        close();
        return -err;
    }
    return 0;
}

void Feed::close() {
    if (fd_ >= 0) libc::close(fd_);
    fd_ = -1;
    pending_.clear();
    records_.clear();
    heard_ = false;
    ended_ = false;
}

bool Feed::ready() {
    while (fd_ >= 0 && !ended_ && records_.size() < kFeedAhead && read_some()) {
    }
    return !records_.empty();
}

// Reads toward the record being read; false when nothing more can come now.
bool Feed::read_some() {
    size_t want = sizeof(FeedHeader);
    if (pending_.size() >= want) {
        FeedHeader h;
        std::memcpy(&h, pending_.data(), sizeof h);
        if (std::memcmp(h.magic, kFeedMagic, sizeof h.magic) != 0 || h.bytesused > kFeedFrameLimit) {
            ended_ = true;
            return false;
        }
        want += h.bytesused;
        if (pending_.size() == want) {
            FeedRecord r;
            r.header = h;
            r.frame = pending_.substr(sizeof h);
            records_.push_back(std::move(r));
            pending_.clear();
            return true;
        }
    }
    // Only as much as this record needs: the rest stays with the writer.
    const size_t have = pending_.size();
    pending_.resize(want);
    const ssize_t n = libc::read(fd_, &pending_[have], want - have);
    pending_.resize(have + (n > 0 ? size_t(n) : 0));
    if (n == 0 && !heard_) return false;  // no writer yet
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        ended_ = true;  // every writer has gone (or the socket broke)
        return false;
    }
    if (n < 0) return false;
    heard_ = true;
    return true;
}

FeedRecord Feed::take() {
    FeedRecord r = std::move(records_.front());
    records_.pop_front();
    return r;
}

}  // namespace vcam
