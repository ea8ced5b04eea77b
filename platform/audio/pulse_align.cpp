#include "platform/audio/pulse_align.h"

#include <algorithm>

namespace velko::audio::pulse {

namespace {

// Three fragments, as a time.
std::uint64_t threeFragments(std::uint32_t cyclesPerFragment) {
    return 3 * std::uint64_t{std::max<std::uint32_t>(cyclesPerFragment, 1)} * CycleAligner::kCycleUsec;
}

} // namespace

CycleAligner::CycleAligner(std::uint32_t micChannels, std::uint32_t cycleFrames, std::uint32_t cyclesPerFragment)
    : cycleFrames_(std::max<std::uint32_t>(cycleFrames, 1)),
      largestCountedBurst_(
          std::size_t{cycleFrames_} *
          std::max<std::size_t>(kBurstCycles, 2 * std::size_t{std::max<std::uint32_t>(cyclesPerFragment, 1)})),
      runGapUsec_(std::max(kRunGapUsec, threeFragments(cyclesPerFragment))),
      settleUsec_(std::max(kSettleUsec, runGapUsec_)), mic_{std::max<std::uint32_t>(micChannels, 1), {}}, tap_{1, {}} {}

void CycleAligner::Side::push(const float* data, std::size_t count) {
    largestBurst = std::max(largestBurst, count);
    if (head > 0 && head >= samples.size() - head) {
        // More consumed than waiting: move the rest to the front, so the
        // buffer stays about as large as the backlog.
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
    if (data == nullptr) {
        samples.insert(samples.end(), count * channels, 0.0f);
    } else {
        samples.insert(samples.end(), data, data + count * channels);
    }
}

std::size_t CycleAligner::Side::take(std::vector<float>& out, std::size_t count) {
    std::size_t have = std::min(frames(), count) * channels;
    out.assign(count * channels, 0.0f);
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(head), have, out.begin());
    head += have;
    return count - have / channels;
}

void CycleAligner::Side::drop(std::size_t count) { head += std::min(frames(), count) * channels; }

void CycleAligner::Side::clear() {
    samples.clear();
    head = 0;
    largestBurst = 0;
    delivered = false;
}

void CycleAligner::Side::noteDelivery(std::uint64_t now, std::uint64_t runGap) {
    if (!delivered || now - lastPush > runGap) {
        quietBeforeRun = delivered ? now - lastPush : 0;
        runStart = now;
    }
    delivered = true;
    lastPush = now;
}

void CycleAligner::noteTime(std::uint64_t now) {
    if (!started_) {
        started_ = true;
        start_ = now;
    }
    // A clock that steps back is held where it was.
    now_ = std::max(now_, now);
}

void CycleAligner::pushMic(const float* samples, std::size_t frames, std::uint64_t nowUsec) {
    noteTime(nowUsec);
    mic_.noteDelivery(now_, runGapUsec_);
    mic_.push(samples, frames);
}

void CycleAligner::pushTap(const float* samples, std::size_t frames, std::uint64_t nowUsec) {
    noteTime(nowUsec);
    tap_.noteDelivery(now_, runGapUsec_);
    tap_.push(samples, frames);
}

void CycleAligner::reset() {
    mic_.clear();
    tap_.clear();
    started_ = false;
    now_ = 0;
}

bool CycleAligner::hasStopped(const Side& behind, const Side& ahead) const {
    const std::uint64_t quiet = now_ - lastPush(behind);
    // When the side ahead came back from a quiet spell of its own after the
    // side behind last delivered, both were quiet together (the server
    // stalled): the side behind is only late with its backlog until it has
    // been quiet a while longer than that.
    std::uint64_t shared = 0;
    if (ahead.delivered && runStart(ahead) > lastPush(behind)) shared = ahead.quietBeforeRun;
    return quiet >= shared + settleUsec_;
}

bool CycleAligner::isSteady(const Side& behind, const Side& ahead) const {
    return behind.delivered && lastPush(behind) >= lastPush(ahead) && now_ - runStart(behind) >= settleUsec_;
}

// How far a side may fall behind the other before that counts as drift
// rather than the ordinary unevenness of bursts: a couple of cycles, or of
// its largest bursts when it delivers in bigger pieces than a cycle.
std::size_t CycleAligner::burstAllowance(const Side& side) const {
    // One freak burst (a backlog delivered after a pause) must not make
    // the allowance, and with it the wait for a stalled side, huge.
    std::size_t burst = std::min(side.largestBurst, largestCountedBurst_);
    return 2 * std::max<std::size_t>(cycleFrames_, burst);
}

bool CycleAligner::nextCycle(std::vector<float>& mic, std::vector<float>& tap) {
    const std::size_t c = cycleFrames_;
    dropStaleBacklog();
    bool micReady = mic_.frames() >= c;
    bool tapReady = tap_.frames() >= c;
    // One side short: wait for it while the other is ahead by less than
    // twice what drift correction tolerates (so drift never gets here), and
    // while it may only be late (see hasStopped); then go on without it.
    if (micReady && !tapReady && (mic_.frames() < c + 2 * burstAllowance(tap_) || !hasStopped(tap_, mic_))) {
        return false;
    }
    if (tapReady && !micReady && (tap_.frames() < c + 2 * burstAllowance(mic_) || !hasStopped(mic_, tap_))) {
        return false;
    }
    if (!micReady && !tapReady) return false;
    std::size_t padded = mic_.take(mic, c) + tap_.take(tap, c);
    (micReady ? corrections_.tapPadded : corrections_.micPadded) += padded;
    // Against a side that delivers nothing there is no drift to correct:
    // the live side's backlog is bounded by the wait above.
    if (padded == 0) keepTogether();
    return true;
}

CycleAligner::Lead CycleAligner::lead() {
    const std::size_t m = mic_.frames();
    const std::size_t t = tap_.frames();
    if (m > t) return Lead{mic_, tap_, m - t};
    return Lead{tap_, mic_, t - m};
}

void CycleAligner::dropAhead(const Lead& lead, std::size_t frames) {
    lead.ahead.drop(frames);
    (&lead.ahead == &mic_ ? corrections_.micDropped : corrections_.tapDropped) += frames;
}

void CycleAligner::dropStaleBacklog() {
    // A side that delivers far more at once than the other has had time
    // to (its stream paused, then caught up) carries audio from a time the
    // other side has already filled: keep only the newest part.
    const Lead lead = this->lead();
    std::size_t allowance = burstAllowance(lead.behind);
    if (lead.difference <= cycleFrames_ + 4 * allowance) return;
    // Only against a side that delivers as it should: right after a stall
    // the side behind may still have its own backlog on the way.
    if (!isSteady(lead.behind, lead.ahead)) return;
    dropAhead(lead, lead.difference - allowance);
}

void CycleAligner::keepTogether() {
    const Lead lead = this->lead();
    std::size_t tolerated = burstAllowance(lead.behind);
    if (lead.difference <= tolerated || !isSteady(lead.behind, lead.ahead)) return;
    // Drift: a few frames a cycle, too few to hear.
    std::size_t excess = lead.difference - tolerated;
    dropAhead(lead, std::min(excess, std::max<std::size_t>(2, cycleFrames_ / 64)));
}

} // namespace velko::audio::pulse
