// The Frame type of camsnap_camera, and the exception every camera failure raises.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "camera/camera.h"

namespace camsnap {

// camsnap_camera.CameraError (an OSError: errno, strerror, filename = the device path).
extern PyObject *camera_error;
// Raises CameraError(err, text + ": " + strerror(err), path); returns nullptr.
PyObject *raise_camera_error(int err, const std::string &text, const std::string &path);

extern PyObject *frame_type;
bool add_frame_type(PyObject *module);

// A new Frame: array (its reference is taken over) and the driver's word on it.
PyObject *new_frame(PyObject *array, const FrameInfo &info, uint32_t fourcc);

}  // namespace camsnap
