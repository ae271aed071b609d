// The tessellation on the first usable backend, GPU first, as cvt-volume chooses; one run at a time.
#pragma once

#include "driver/cvt_request.h"
#include "tessellation/tessellation_request.h"

namespace cvt::python {

// Throws cvt::Failure when no backend can run here, or when the calling thread is already inside a
// run (an observer that starts another); a run on another thread is waited for, and when Python's exit
// stopped it, this one is stopped too (RunStopped).
volume::TessellationRun tessellateOnAnyBackend(const volume::DensityView& density,
                                               const volume::TessellationParameters& parameters,
                                               CvtObserver* observer);

}  // namespace cvt::python
