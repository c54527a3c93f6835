// The requests a node answers, one table as the kernel's v4l2-ioctl.c keeps it: each row
// names a request for records and fault plans, and an ioctl's row gives its code, whether it
// needs priority and the Node method that answers it.
#pragma once

#include "camera.h"

#include <cstdint>
#include <string>

namespace vcam {

struct Request {
    const char *name;
    uint32_t code;        // VIDIOC_*; 0 for calls that are no ioctl (OPEN, CLOSE, POLL, ...)
    bool needs_priority;  // refused with EBUSY below the highest priority (INFO_FL_PRIO)
    int (*answer)(Node &node, int file, void *arg, Args &args);
    // What a call that a fault plan fails shows of its argument, or null.
    void (*inputs)(const void *arg, Args &args);
};

// The row of an ioctl code (the int prototype's sign-extended codes compare as 32 bits), or
// null for a request no node knows.
const Request *request_for(uint32_t code);
// The row named `name`, or null.
const Request *request_named(const std::string &name);
// Every name, space-separated, in the table's order.
std::string request_names();

// ioctl() on descriptor `fd`: *ours false when it is no node's. Answers as ioctl does.
int ioctl_fake(int fd, uint32_t code, void *arg, bool *ours);

}  // namespace vcam
