// Joins the microphone stream and the system-audio stream, which the server
// delivers in bursts of their own on clocks of their own, into IO cycles of
// equal frame counts.
//
// A cycle goes out when both sides hold a cycle's frames. A side that has
// stopped delivering (its device went away, no sink to listen to) is padded
// with silence once the other is well ahead, so the recording never stalls.
// A side that runs fast (its clock drifts, or it caught up after a pause)
// has a few frames at a time dropped from the front of its backlog, so that
// neither backlog grows without bound; a large jump is dropped at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velko::audio::pulse {

class CycleAligner {
public:
    CycleAligner(std::uint32_t micChannels, std::uint32_t cycleFrames);

    // Appends frames (interleaved floats); nullptr stands for a hole of
    // silence in the stream.
    void pushMic(const float* samples, std::size_t frames);
    void pushTap(const float* samples, std::size_t frames);

    // Takes the next cycle, if one is due: `mic` receives cycleFrames ×
    // micChannels floats, `tap` cycleFrames floats.
    bool nextCycle(std::vector<float>& mic, std::vector<float>& tap);

    // Forgets everything buffered (the streams were stopped).
    void reset();

    std::uint32_t cycleFrames() const { return cycleFrames_; }
    std::size_t micBacklog() const { return mic_.frames(); }
    std::size_t tapBacklog() const { return tap_.frames(); }

    // What was done to keep the sides together, in frames.
    struct Corrections {
        std::uint64_t micDropped = 0, tapDropped = 0, micPadded = 0, tapPadded = 0;
    };
    const Corrections& corrections() const { return corrections_; }

private:
    // A first-in first-out queue of frames: samples from `head` on are
    // waiting; the consumed front is reclaimed when it outgrows the rest.
    struct Side {
        std::uint32_t channels;
        std::vector<float> samples;
        std::size_t head = 0;
        std::size_t largestBurst = 0;
        std::size_t frames() const { return (samples.size() - head) / channels; }
        void push(const float* data, std::size_t frames);
        // Moves up to `frames` frames into `out` and pads the rest with
        // silence; returns the frames padded.
        std::size_t take(std::vector<float>& out, std::size_t frames);
        void drop(std::size_t frames);
        void clear();
    };

    std::size_t burstAllowance(const Side& side) const;
    void dropStaleBacklog();
    void keepTogether();

    std::uint32_t cycleFrames_;
    Side mic_;
    Side tap_;
    Corrections corrections_;
};

} // namespace velko::audio::pulse
