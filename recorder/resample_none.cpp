// For builds without libsoxr (a link check for a target that lacks it): no
// converter, so frames of a device that changes its rate pass unchanged.
#include "recorder/resample.h"

namespace velko::recorder {

std::unique_ptr<Resampler> Resampler::make(double, double) { return nullptr; }

} // namespace velko::recorder
