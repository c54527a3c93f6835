// Diagnostic lines: "E:<function>:<line>:<text>", each reported to the device it
// concerns (Device::report in device/state.h).
#pragma once

// Names the function that reports and the line of the report itself; the device
// decides where the line goes (one write to standard error for the module's device).
#define CS_REPORT(device, text, ...) \
    (device).report("E:%s:%d:" text, __func__, __LINE__, ##__VA_ARGS__)
