// The capture engine behind one aggregate device of the pulse backend: a
// record stream on the microphone and one on the monitor of a sink (the
// system-audio tap), joined by a CycleAligner into IO cycles of equal frame
// counts. Every call is made under the connection's lock; the streams'
// callbacks run on the loop thread, which holds it.
#pragma once

#include "platform/audio/hal.h"
#include "platform/audio/pulse_align.h"
#include "platform/audio/pulse_connection.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velko::audio::pulse {

// The tap mixes what plays down to one channel.
inline constexpr std::uint32_t kTapChannels = 1;

// One IO cycle: a cycle's frames from each side, and when it was taken.
struct Cycle {
    std::vector<float> mic; // interleaved, micChannels a frame
    std::vector<float> tap; // mono
    std::uint32_t micChannels = 0;
    AudioTimeStamp time{};
};

// Where the cycles go.
class CycleSink {
public:
    // Whether cycles are wanted now. While they are not, what the streams
    // deliver is dropped, and a tap opened anew starts corked.
    virtual bool wantsCycles() const = 0;
    // Called on the loop thread, under the lock; must not block.
    virtual void takeCycle(const std::shared_ptr<const Cycle>& cycle) = 0;

protected:
    ~CycleSink() = default;
};

class PulseCapture {
public:
    struct Microphone {
        std::string name; // the source
        std::uint32_t channels = 0;
        pa_channel_map map{};
    };

    // `tapName` names the tap's stream ("" for the default name).
    PulseCapture(Connection& connection, Microphone microphone, std::string tapName, CycleSink& sink);
    ~PulseCapture();
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    // The fragment the streams are read in for a caller that can wait
    // `latencyTolerance` for audio: a quarter of it in whole cycles, from
    // one cycle (10 ms) up to 250 ms. The server then wakes the recorder a
    // few times per chunk, and a chunk waits at most a quarter of its length
    // for its last fragment.
    static pa_usec_t fragmentFor(std::chrono::milliseconds latencyTolerance);

    // Opens both streams anew, corked, at `rate`, read in fragments of
    // fragmentFor(latencyTolerance): first the microphone's,
    // then the tap on the monitor that `findMonitor` names (asked once the
    // microphone's stream is on its way); without one the tap is silence
    // until retarget(). Fails, with nothing left open, when the
    // microphone's stream does not become ready.
    OSStatus open(std::uint32_t rate, std::chrono::milliseconds latencyTolerance,
                  const std::function<std::optional<std::string>()>& findMonitor);
    void close();
    // Whether open() left a microphone stream (ready, or ended since).
    bool isOpen() const { return mic_ != nullptr; }
    bool isReady() const;

    // Uncorks both streams, with nothing buffered from before. False when
    // the microphone's stream did not uncork.
    bool start();
    // Corks both streams, waiting a bounded time for the server, and
    // forgets what is buffered. On the loop thread, which cannot wait for
    // the server, the streams are left as they are.
    void stop();

    // Moves the tap to `monitor`, whose stream is opened anew.
    void retarget(const std::string& monitor);
    // The source the tap records ("" while it records none).
    const std::string& tapMonitor() const { return tapMonitor_; }

    std::uint32_t micChannels() const { return microphone_.channels; }

private:
    pa_stream* openStream(bool microphone, const std::string& source, bool corked);
    pa_buffer_attr bufferAttr(const pa_sample_spec& spec) const;
    std::unique_ptr<CycleAligner> makeAligner() const;
    static void closeStream(pa_stream*& stream);
    // With a deadline, gives up on a server that has not answered by then.
    bool setCorked(bool corked, pa_usec_t deadline = PA_USEC_INVALID);
    void streamReadable(pa_stream* stream);
    void emitCycles();
    static void streamStateChanged(pa_stream* stream, void* capture);
    static void streamRead(pa_stream* stream, std::size_t bytes, void* capture);

    Connection& connection_;
    const Microphone microphone_;
    const std::string tapName_;
    CycleSink& sink_;

    std::uint32_t rate_ = 0;
    pa_usec_t fragmentUsec_ = 0;
    pa_stream* mic_ = nullptr;
    pa_stream* tap_ = nullptr;
    std::string tapMonitor_;
    std::unique_ptr<CycleAligner> aligner_;
    // Counts on across stops and reopenings, as a device's clock does.
    double sampleTime_ = 0;
};

} // namespace velko::audio::pulse
