// The textual form of a fresh random UUID, for the backends that have no
// UUID type of their own: libuuid on Linux, libSystem on macOS.
#include "platform/audio/hal.h"

#include <uuid/uuid.h>

namespace velko::audio {

std::string randomUUIDText() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return text;
}

} // namespace velko::audio
