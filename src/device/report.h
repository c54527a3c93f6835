// Diagnostic lines: "E:<function>:<line>:<text>", one write to standard error.
#pragma once

namespace camsnap {

void report_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace camsnap

// Names the function that reports and the line of the report itself.
#define CS_REPORT(text, ...) \
    ::camsnap::report_line("E:%s:%d:" text, __func__, __LINE__, ##__VA_ARGS__)
