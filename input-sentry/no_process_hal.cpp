#include "input-sentry/no_process_hal.h"

namespace velko::inputsentry {
namespace {

bool isProcessList(audio::AudioObjectID object, const audio::AudioObjectPropertyAddress& address) {
    return object == audio::kSystemObject &&
           address.mSelector == audio::selector::kAudioHardwarePropertyProcessObjectList &&
           address.mScope == audio::selector::kAudioObjectPropertyScopeGlobal;
}

} // namespace

audio::OSStatus NoProcessObjectsHal::getPropertyDataSize(audio::AudioObjectID object,
                                                         const audio::AudioObjectPropertyAddress& address,
                                                         std::uint32_t& outSize) {
    if (!isProcessList(object, address)) return audio::kAudioHardwareBadObjectError;
    outSize = 0;
    return audio::kNoErr;
}

audio::OSStatus NoProcessObjectsHal::getPropertyData(audio::AudioObjectID object,
                                                     const audio::AudioObjectPropertyAddress& address,
                                                     std::uint32_t& ioDataSize, void*) {
    if (!isProcessList(object, address)) return audio::kAudioHardwareBadObjectError;
    ioDataSize = 0;
    return audio::kNoErr;
}

audio::OSStatus NoProcessObjectsHal::setPropertyData(audio::AudioObjectID, const audio::AudioObjectPropertyAddress&,
                                                     std::uint32_t, const void*) {
    return audio::kAudioHardwareBadObjectError;
}

audio::OSStatus NoProcessObjectsHal::getStringProperty(audio::AudioObjectID, const audio::AudioObjectPropertyAddress&,
                                                       std::optional<std::string>&) {
    return audio::kAudioHardwareBadObjectError;
}

audio::OSStatus NoProcessObjectsHal::addPropertyListener(audio::AudioObjectID, const audio::AudioObjectPropertyAddress&,
                                                         dispatch::Queue&, audio::PropertyListener) {
    return audio::kAudioHardwareBadObjectError;
}

} // namespace velko::inputsentry
