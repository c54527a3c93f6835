// A node's frame feed: records read from a FIFO or a Unix stream socket, each a small header
// and the bytes of one frame, that the node delivers instead of drawing frames.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace vcam {

// The header of a record, little-endian, 24 bytes: "CSVF", the frame's sequence number, its
// timestamp (ns; only differences count), the length of the frame bytes that follow, flags.
struct FeedHeader {
    char magic[4];
    uint32_t sequence;
    uint64_t timestamp_ns;
    uint32_t bytesused;
    uint32_t flags;  // V4L2_BUF_FLAG_ERROR is passed on; other bits are ignored
};
static_assert(sizeof(FeedHeader) == 24, "the record header is 24 bytes");

constexpr char kFeedMagic[4] = {'C', 'S', 'V', 'F'};
// A frame longer than this is taken for a damaged feed rather than allocated.
constexpr uint32_t kFeedFrameLimit = 1u << 28;
// Whole records read ahead of the one due next: a writer held back by a full pipe gets going
// again while frames wait for their time, so a large frame is there when it falls due.
constexpr size_t kFeedAhead = 3;

struct FeedRecord {
    FeedHeader header{};
    std::string frame;
};

class Feed {
public:
    Feed() = default;
    Feed(const Feed &) = delete;
    Feed &operator=(const Feed &) = delete;
    ~Feed() { close(); }

    // Opens `path` for reading without blocking: a FIFO is opened, a Unix socket connected to.
    // 0 or -errno.
    int open(const std::string &path);
    bool is_open() const { return fd_ >= 0; }
    void close();
    // Reads what has arrived (up to kFeedAhead whole records), never blocking. True when a
    // whole record is ready. Once the writer has gone and nothing whole is left, ended() is
    // true; a record that is not one (wrong magic, a frame above kFeedFrameLimit) ends the
    // feed too.
    bool ready();
    const FeedHeader &header() const { return records_.front().header; }  // of the record ready()
    FeedRecord take();
    bool ended() const { return ended_ && records_.empty(); }

private:
    bool read_some();

    int fd_ = -1;
    std::string pending_;  // bytes of the record being read
    std::deque<FeedRecord> records_;  // whole ones, oldest first
    bool heard_ = false;  // a FIFO opened before its writer reads as ended until one comes
    bool ended_ = false;
};

}  // namespace vcam
