// velko-recorder: records the default microphone and a mono mix of all
// system audio through a private aggregate device, and writes them as one
// two-channel s16le PCM stream on standard output. Event lines go to
// standard error.
//
// The program is a set of free functions around `Recorder`, the program-wide
// state that `run` sets up in a fixed order and keeps for the life of the
// process. Nothing is locked: `pending` and the capture scratch belong to
// `ioQueue` while the device runs, and to the main thread only once
// `shutdown` has stopped the device and drained `ioQueue`.
#pragma once

#include "event-protocol/profiles.h"
#include "platform/audio/hal.h"
#include "platform/dispatch/dispatch.h"
#include "recorder/resample.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velko::recorder {

using audio::AudioBuffer;
using audio::AudioBufferList;
using audio::AudioObjectID;
using audio::AudioObjectPropertyAddress;
using audio::OSStatus;

struct InputDevice {
    AudioObjectID id = audio::kUnknownObject;
    std::string uid;
};

// Per-cycle working arrays of `captureBlock`, kept between cycles so that the
// steady state allocates nothing but the chunk copies. Touched on `ioQueue`
// only.
struct CaptureScratch {
    std::vector<float> mic;
    std::vector<float> tap;
};

// The capture's two channels, in frame order.
enum class Channel : int { microphone = 0, systemAudio = 1 };

// One channel's run of exact zeros as the capture path counts it.
struct SilenceRun {
    std::int64_t zeros = 0; // zero samples in a row, up to the latest frame
    bool silent = false;    // handed over as silent, and no sound since
};

// What the recording's health watch keeps: runs of digital silence per
// channel, and the device's own rate against the announced one. The capture
// path hands changes to the main queue, which alone writes notices; the
// main queue hands the device's rate to the capture path through an atomic.
// Neither ever waits for the other.
struct Health {
    // Zero samples in a row that make a channel silent (5 s at the announced
    // rate); 0 leaves silence unwatched, as in a recorder that never started.
    std::int64_t silenceFrames = 0;
    SilenceRun runs[2];                       // ioQueue only
    bool announcedSilent[2] = {false, false}; // main queue only

    // The device's nominal rate as the main queue last read it.
    std::atomic<double> deviceRate{0.0};
    double noticedRate = 0.0; // main queue only
    // ioQueue only: the converter in use, the rate it converts from, and
    // its output arrays (kept, so that they grow once).
    std::unique_ptr<Resampler> resampler;
    double resamplerRate = 0.0;
    std::vector<float> outMic;
    std::vector<float> outTap;

    // Where the notices go: standard error, or a test's collector.
    std::function<void(const events::Event&)> emit = [](const events::Event& line) { events::recorder::emit(line); };
};
static_assert(std::atomic<double>::is_always_lock_free);

struct Recorder {
    explicit Recorder(audio::Hal& platform) : hal(platform) {}

    audio::Hal& hal;

    double sampleRate = 48000.0;
    std::int64_t chunkMs = 200;
    std::vector<std::string> args;

    InputDevice mic;
    std::string micUID;

    audio::TapDescription tapDescription;
    AudioObjectID tapID = audio::kUnknownObject;
    OSStatus tapStatus = audio::kNoErr;

    std::string aggregateUID;
    audio::AggregateDescription description;
    AudioObjectID aggregateID = audio::kUnknownObject;
    OSStatus aggregateStatus = audio::kNoErr;

    double requestedRate = 0.0;
    AudioObjectPropertyAddress rateAddress{};
    double actualRate = 0.0;

    std::vector<std::int64_t> bufferChannels;
    std::int64_t tapBufferIndex = 0;

    std::int64_t chunkFrames = 1;
    std::unique_ptr<dispatch::Queue> outputQueue;
    std::vector<std::int16_t> pending;
    std::unique_ptr<dispatch::Queue> ioQueue;

    std::optional<audio::IOProcID> ioProcID;
    OSStatus ioStatus = audio::kNoErr;
    OSStatus startStatus = audio::kNoErr;

    std::unique_ptr<dispatch::Source> sigintSource;
    std::unique_ptr<dispatch::Source> sigtermSource;
    AudioObjectPropertyAddress deviceAliveAddress{};
    AudioObjectPropertyAddress defaultInputAddress{};

    CaptureScratch scratch;
    Health health;
    // Where the chunk writers write: standard output, or a test's sink.
    int outputFd = STDOUT_FILENO;
    // The errno of the first write to `outputFd` that failed, 0 while none
    // has. Set on `outputQueue`; once set, no chunk is written any more, so
    // the stream never joins audio from before a gap to audio after it.
    std::atomic<int> outputError{0};
    // Main thread only: the "output_failed" line has been written.
    bool outputFailureReported = false;
};

// --- Start-up (startup.cpp, flags.cpp, devices.cpp) -------------------------

inline constexpr const char* kSampleRateMessage = "--sample-rate needs a positive number";
inline constexpr const char* kChunkMsMessage = "--chunk-ms needs an integer between 10 and 5000";

// The largest chunk, in frames (64 MiB of PCM). Only absurd rates reach it
// (5000 ms at more than 3.3 MHz); without it an enormous rate would overflow
// the conversion to an integer.
inline constexpr std::int64_t kMaxChunkFrames = std::int64_t{1} << 24;
// The most samples reserved in `pending` up front (16 MiB: two 5-second
// chunks at 400 kHz). The reservation is only a hint; larger chunks grow the
// list as they fill.
inline constexpr std::int64_t kMaxPendingReserve = std::int64_t{1} << 23;

// Reads `state.args` into `sampleRate` and `chunkMs`. Returns the refusal
// message, or nothing when the command line was accepted.
std::optional<std::string> readRecorderFlags(Recorder& state);

// Frames per chunk for a chunk length and the rate the device runs at:
// truncated toward zero, at least 1, at most kMaxChunkFrames.
std::int64_t computeChunkFrames(std::int64_t chunkMs, double actualRate);

// The default input device and its UID; ends the process on failure.
InputDevice defaultInputDevice(audio::Hal& hal);
// The channel count of each buffer of a device's input stream configuration;
// empty when it cannot be read.
std::vector<std::int64_t> inputBufferChannels(audio::Hal& hal, AudioObjectID device);

// The aggregate description for a microphone and a tap.
audio::AggregateDescription makeAggregateDescription(const std::string& aggregateUID, const std::string& micUID,
                                                     const std::string& tapUUID);

// Start-up steps; each ends the process through `fail` (after tearing down
// what exists) when it fails.
void createTap(Recorder& state);
void createAggregateDevice(Recorder& state);
void setAndReadSampleRate(Recorder& state); // never fails
void checkLayout(Recorder& state);
void installCaptureCallback(Recorder& state);
void startDevice(Recorder& state);
// The device steps of start-up, from the default microphone to the running
// capture callback, each failure ending the process as documented.
void startCapture(Recorder& state);
void emitReady(const Recorder& state);
// Destroys the aggregate device, then the tap, ignoring both results.
void cleanup(Recorder& state);

// The whole program: start-up, then the main run loop. Never returns.
[[noreturn]] void run(std::vector<std::string> args, audio::Hal& hal);

// --- Capture (capture.cpp) --------------------------------------------------

// One IO cycle: downmixes the microphone buffers and the tap buffer,
// interleaves them as 16-bit frames onto `pending`, and flushes.
void captureBlock(Recorder& state, const AudioBufferList* input);
// The mean of a buffer's channels for the first `frames` frames; zeros where
// the buffer has no data.
std::vector<float> monoDownmix(const AudioBuffer& buffer, std::int64_t frames);
std::int16_t clampToInt16(float sample);

// --- Output (output.cpp) ----------------------------------------------------

// Cuts whole chunks (with `force`, everything) from the front of `pending`
// and hands each to `outputQueue` to be written.
void flush(Recorder& state, bool force = false);

// --- Recording health (health.cpp) -------------------------------------------

// Zero samples in a row after which a channel counts as silent: 5 s at
// `actualRate`, truncated to whole frames, at least 1000 and at most 9e15.
std::int64_t computeSilenceFrames(double actualRate);
// Sets the silence threshold and takes the announced rate as the device's.
// Before the device starts.
void prepareHealth(Recorder& state);
// Watches the aggregate device's nominal rate on the main queue (and reads
// it once, for a change made before the watch was in place).
void installRateListener(Recorder& state);

// Frames of one cycle at the announced rate: the device's own arrays, or
// the converter's output.
struct RateFrames {
    const float* mic;
    const float* tap;
    std::size_t count;
};
// The capture path's rate step: converts a cycle from the device's rate to
// the announced one while they differ, and drains the converter into the
// first cycle after they agree again, so the stream has neither gap nor
// overlap. ioQueue only.
RateFrames convertRate(Recorder& state, const float* mic, const float* tap, std::size_t frames);
// Converts one cycle's mono signals to 16-bit frames, interleaves them onto
// `pending` and watches them for silence (capture.cpp).
void appendFrames(Recorder& state, const RateFrames& frames);
// The capture path's silence step over the frames just appended: counts the
// trailing zeros per channel and hands each change between silence and
// sound to the main queue. ioQueue only.
void watchSilence(Recorder& state, const std::int16_t* frames, std::size_t count);
// At the stop, once `ioQueue` is drained: appends what the converter still
// holds back, so that the stream covers the time captured.
void finishRateConversion(Recorder& state);

// --- Watch and shutdown (watch.cpp) ------------------------------------------

void installSignalSources(Recorder& state);
void installDeviceListeners(Recorder& state);
void startStdinWatch(Recorder& state);
// Stops capture and writes out everything captured (steps that precede the
// "stopped" line): stop, destroy the callback, cleanup, drain `ioQueue`,
// forced flush, drain `outputQueue`.
void stopCapture(Recorder& state);
// The orderly stop: everything captured reaches standard output, then
// "stopped", then the process exits with `status` (1 when a write to
// standard output failed).
[[noreturn]] void shutdown(Recorder& state, int status);
// On the main queue after the first failed write: the "output_failed" error
// line, then the stop of shutdown(1).
[[noreturn]] void stopOnOutputFailure(Recorder& state);
// Writes the "output_failed" line once, naming the system's error.
void reportOutputFailure(Recorder& state);

} // namespace velko::recorder
