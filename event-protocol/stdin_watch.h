// The stdin-closure watch: the host ends a helper by closing its standard
// input. Whatever it writes there is read and ignored.
#pragma once

#include "platform/dispatch/dispatch.h"

#include <memory>

namespace velko::events {

// The sentries' form: a read source on descriptor 0 on the main queue. Each
// handler run reads what is waiting, up to a block: end of file exits with
// status 0 at once, bytes are discarded, a read error is ignored. The source is resumed and
// must be kept for the life of the process.
std::unique_ptr<dispatch::Source> installStdinReadSource();

// The recorder's form: a blocking reader on the global queue that discards
// what it reads and, at end of file, submits `onEnd` to the main queue.
void watchStdinInBackground(dispatch::Work onEnd);

} // namespace velko::events
