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
//
// Padding and dropping are for one side that misbehaves while the other
// goes on. When the server stalls, both sides go quiet together and then
// deliver their backlogs one after the other: the first backlog must wait
// for the second, not be paired with invented silence or cut, or the
// recording would gain frames it never captured and the channels would
// shift against each other. So the aligner watches when each side delivers
// (the caller passes the monotonic time of each push): a side counts as
// stopped only once it has been quiet for a while longer than the other side
// was quiet before its latest deliveries, and a backlog counts as stale only
// once the other side has been delivering steadily for a while.
//
// How long "a while" is depends on how often the server delivers: a stream
// read in large fragments arrives in large bursts far apart, and the two
// sides may then be a whole fragment out of step in ordinary running. The
// aligner is told the fragment length (in cycles) and widens its rules to
// match; at one cycle per fragment they are the rules stated below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velko::audio::pulse {

class CycleAligner {
public:
    // `cyclesPerFragment`: how many cycles the server is expected to
    // deliver at a time (its fragment); 1 and up.
    CycleAligner(std::uint32_t micChannels, std::uint32_t cycleFrames, std::uint32_t cyclesPerFragment = 1);

    // Appends frames (interleaved floats) delivered at `nowUsec` on a
    // monotonic clock; nullptr stands for a hole of silence in the stream.
    void pushMic(const float* samples, std::size_t frames, std::uint64_t nowUsec);
    void pushTap(const float* samples, std::size_t frames, std::uint64_t nowUsec);

    // Takes the next cycle, if one is due: `mic` receives cycleFrames ×
    // micChannels floats, `tap` cycleFrames floats.
    bool nextCycle(std::vector<float>& mic, std::vector<float>& tap);

    // Forgets everything buffered (the streams were stopped).
    void reset();

    std::uint32_t cycleFrames() const { return cycleFrames_; }
    std::uint64_t runGapUsec() const { return runGapUsec_; }
    std::uint64_t settleUsec() const { return settleUsec_; }
    std::size_t micBacklog() const { return mic_.frames(); }
    std::size_t tapBacklog() const { return tap_.frames(); }

    // What was done to keep the sides together, in frames.
    struct Corrections {
        std::uint64_t micDropped = 0, tapDropped = 0, micPadded = 0, tapPadded = 0;
    };
    const Corrections& corrections() const { return corrections_; }

    // The length of a cycle as the backend hands them out.
    static constexpr std::uint64_t kCycleUsec = 10'000;
    // Deliveries further apart than this break a side's run of steady
    // delivery; with fragments longer than a cycle, three fragments.
    static constexpr std::uint64_t kRunGapUsec = 100'000;
    // How long the evidence must stand before one side is padded or the
    // other's backlog is cut: longer than the second backlog of a stalled
    // server takes to follow the first, and never shorter than the run gap
    // (a quiet spell that does not break a run is not a stop).
    static constexpr std::uint64_t kSettleUsec = 250'000;
    // The largest burst that counts towards the allowance for uneven
    // delivery, in cycles: 8, or two fragments when they are longer.
    static constexpr std::uint32_t kBurstCycles = 8;

private:
    // A first-in first-out queue of frames: samples from `head` on are
    // waiting; the consumed front is reclaimed when it outgrows the rest.
    struct Side {
        std::uint32_t channels;
        std::vector<float> samples;
        std::size_t head = 0;
        std::size_t largestBurst = 0;
        // When it delivered last, when its current run of steady delivery
        // began, and how long it had been quiet before that run; meaningful
        // once `delivered` is set (until then the side counts as quiet
        // since the first delivery of either side).
        bool delivered = false;
        std::uint64_t lastPush = 0;
        std::uint64_t runStart = 0;
        std::uint64_t quietBeforeRun = 0;
        std::size_t frames() const { return (samples.size() - head) / channels; }
        void noteDelivery(std::uint64_t now, std::uint64_t runGap);
        void push(const float* data, std::size_t frames);
        // Moves up to `frames` frames into `out` and pads the rest with
        // silence; returns the frames padded.
        std::size_t take(std::vector<float>& out, std::size_t frames);
        void drop(std::size_t frames);
        void clear();
    };

    std::size_t burstAllowance(const Side& side) const;
    void noteTime(std::uint64_t now);
    std::uint64_t lastPush(const Side& side) const { return side.delivered ? side.lastPush : start_; }
    std::uint64_t runStart(const Side& side) const { return side.delivered ? side.runStart : start_; }
    // `behind` has stopped delivering while `ahead` goes on.
    bool hasStopped(const Side& behind, const Side& ahead) const;
    // `behind` delivers as it should (it has delivered since `ahead` last
    // did, in a run that has gone on for a while): what `ahead` holds beyond
    // it is surplus, not a backlog that `behind` has yet to match.
    bool isSteady(const Side& behind, const Side& ahead) const;
    // The side that holds more frames, the other, and by how many.
    struct Lead {
        Side& ahead;
        const Side& behind;
        std::size_t difference;
    };
    Lead lead();
    // Drops `frames` from the side ahead, and counts them.
    void dropAhead(const Lead& lead, std::size_t frames);
    void dropStaleBacklog();
    void keepTogether();

    std::uint32_t cycleFrames_;
    // The rules above, widened for the fragment length.
    std::size_t largestCountedBurst_;
    std::uint64_t runGapUsec_;
    std::uint64_t settleUsec_;
    Side mic_;
    Side tap_;
    Corrections corrections_;
    bool started_ = false;
    std::uint64_t start_ = 0; // the first delivery of either side
    std::uint64_t now_ = 0;   // the latest delivery of either side
};

} // namespace velko::audio::pulse
