// Audio buffer lists in the platform's layout: a count, then that many
// AudioBuffers laid out from mBuffers[0] on. The struct itself declares a
// single buffer, so a list of any other length is built in storage of its
// own; these are the one way the backends build them.
#pragma once

#include "platform/audio/hal.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace velko::audio {

// The bytes a list of `buffers` buffers takes.
constexpr std::size_t bufferListSize(std::size_t buffers) {
    return offsetof(AudioBufferList, mBuffers) + buffers * sizeof(AudioBuffer);
}

// Writes the count and `buffers` to `out`, which holds at least
// bufferListSize(buffers.size()) bytes; `out` need not be aligned.
inline void writeBufferList(std::byte* out, std::span<const AudioBuffer> buffers) {
    auto count = static_cast<std::uint32_t>(buffers.size());
    std::memcpy(out + offsetof(AudioBufferList, mNumberBuffers), &count, sizeof count);
    if (!buffers.empty()) std::memcpy(out + offsetof(AudioBufferList, mBuffers), buffers.data(), buffers.size_bytes());
}

// A list of N buffers in storage of its own: no allocation, for the IO
// cycles of a fixed shape.
template <std::size_t N> class FixedBufferList {
public:
    explicit FixedBufferList(const std::array<AudioBuffer, N>& buffers) { writeBufferList(storage_, buffers); }
    const AudioBufferList* list() const { return reinterpret_cast<const AudioBufferList*>(storage_); }

private:
    alignas(AudioBufferList) std::byte storage_[std::max(bufferListSize(N), sizeof(AudioBufferList))]{};
};

// A list of any number of buffers. Its storage never falls short of the
// struct, so a reader that looks at mBuffers[0] of an empty list stays
// within it.
class BufferList {
public:
    BufferList() { assign({}); }
    explicit BufferList(std::span<const AudioBuffer> buffers) { assign(buffers); }

    void assign(std::span<const AudioBuffer> buffers) {
        std::size_t bytes = std::max(bufferListSize(buffers.size()), sizeof(AudioBufferList));
        words_.assign((bytes + sizeof(Word) - 1) / sizeof(Word), Word{});
        writeBufferList(reinterpret_cast<std::byte*>(words_.data()), buffers);
    }
    const AudioBufferList* list() const { return reinterpret_cast<const AudioBufferList*>(words_.data()); }

private:
    struct alignas(AudioBufferList) Word {
        std::byte bytes[alignof(AudioBufferList)];
    };
    std::vector<Word> words_;
};

// A device's stream configuration as property bytes: one buffer per entry
// of `channels`, holding no data.
inline std::vector<std::uint8_t> streamConfigurationBytes(const std::vector<std::uint32_t>& channels) {
    std::vector<AudioBuffer> buffers;
    buffers.reserve(channels.size());
    for (std::uint32_t count : channels) buffers.push_back(AudioBuffer{count, 0, nullptr});
    std::vector<std::uint8_t> bytes(bufferListSize(buffers.size()), 0);
    writeBufferList(reinterpret_cast<std::byte*>(bytes.data()), buffers);
    return bytes;
}

} // namespace velko::audio
