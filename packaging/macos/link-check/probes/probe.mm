// A program linked exactly as the deliverables are, to show that the link
// check refuses what a Mac would refuse: built as is it links; each macro
// swaps in one thing that no framework exports.
#import <CoreAudio/AudioHardware.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <Foundation/Foundation.h>

#if defined(PROBE_MISSING_FUNCTION)
// Spelt like a CoreAudio call, exported by nothing.
extern "C" OSStatus AudioHardwareCreateProcessTapNow(CATapDescription* description, AudioObjectID* outTap);
#define PROBE_CREATE_TAP AudioHardwareCreateProcessTapNow
#else
#define PROBE_CREATE_TAP AudioHardwareCreateProcessTap
#endif

#if defined(PROBE_MISSING_CLASS)
// Declared like a CoreAudio class, defined by nothing.
@interface CATapDescriptionNow : CATapDescription
@end
#define PROBE_TAP_CLASS CATapDescriptionNow
#else
#define PROBE_TAP_CLASS CATapDescription
#endif

int main() {
    @autoreleasepool {
        CATapDescription* description = [[PROBE_TAP_CLASS alloc] initMonoGlobalTapButExcludeProcesses:@[]];
        AudioObjectID tap = kAudioObjectUnknown;
        OSStatus status = PROBE_CREATE_TAP(description, &tap);
        [description release];
        return status == noErr ? 0 : 1;
    }
}
