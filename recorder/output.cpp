// Chunked PCM output: whole chunks are cut from the front of `pending` and
// written, in order, by `outputQueue`, so that capture never waits for the
// reader of standard output. The stream is plain s16le frames with no
// framing; chunk boundaries are only write boundaries.
#include "event-protocol/events.h"
#include "recorder/recorder.h"

#include <bit>
#include <cerrno>
#include <utility>

namespace velko::recorder {
namespace {

// Writes one chunk as little-endian bytes in one write request (resumed
// until complete). A reader that has gone ends the process by SIGPIPE. Any
// other failure (a full disk, say) is the end of the stream: the first one
// stops the recorder, and no later chunk is written.
void writeChunk(Recorder& state, std::vector<std::int16_t>& chunk) {
    if (state.outputError.load(std::memory_order_relaxed) != 0) return;
    if constexpr (std::endian::native == std::endian::big) {
        for (auto& sample : chunk) {
            auto u = static_cast<std::uint16_t>(sample);
            sample = static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 8) | (u << 8)));
        }
    }
    if (events::writeAll(state.outputFd, std::string_view(reinterpret_cast<const char*>(chunk.data()),
                                                          chunk.size() * sizeof(std::int16_t)))) {
        return;
    }
    int expected = 0;
    const int error = errno != 0 ? errno : EIO;
    if (state.outputError.compare_exchange_strong(expected, error)) {
        dispatch::Queue::main().async([&state] { stopOnOutputFailure(state); });
    }
}

} // namespace

void flush(Recorder& state, bool force) {
    const auto s = static_cast<std::size_t>(2 * state.chunkFrames);
    auto& pending = state.pending;
    while (pending.size() >= s || (force && !pending.empty())) {
        const std::size_t take = force ? pending.size() : s;
        std::vector<std::int16_t> chunk(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(take));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(take));
        state.outputQueue->async([&state, chunk = std::move(chunk)]() mutable { writeChunk(state, chunk); });
    }
}

} // namespace velko::recorder
