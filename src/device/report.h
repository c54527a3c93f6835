// Diagnostic lines: "E:<function>:<line>:<text>", each reported to the device it concerns.
#pragma once

namespace camsnap {

// One formatted write to standard error.
void report_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace camsnap

// Names the function that reports and the line of the report itself; the device
// decides where the line goes (standard error for the module's device).
#define CS_REPORT(device, text, ...) \
    (device).report("E:%s:%d:" text, __func__, __LINE__, ##__VA_ARGS__)
