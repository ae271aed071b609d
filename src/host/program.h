// The whole life of cvt on one backend, writing its labelling to `outputFd`; returns the exit status
// (0, or 1 after a one-line message on standard error).
#pragma once

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

int runProgram(int outputFd);

CVT_END_NAMESPACE
