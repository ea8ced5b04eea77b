#include "platform/audio/buffer_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace velko::audio {
namespace {

// Reads `bytes` back the way a client of the property does: a copy in
// aligned storage, viewed as the platform's struct.
std::vector<std::uint32_t> channelsOf(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::max_align_t> block((bytes.size() + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t) + 1);
    std::memcpy(block.data(), bytes.data(), bytes.size());
    const auto* list = reinterpret_cast<const AudioBufferList*>(block.data());
    std::vector<std::uint32_t> channels;
    for (std::uint32_t i = 0; i < list->mNumberBuffers; ++i) {
        EXPECT_EQ(list->mBuffers[i].mDataByteSize, 0u);
        EXPECT_EQ(list->mBuffers[i].mData, nullptr);
        channels.push_back(list->mBuffers[i].mNumberChannels);
    }
    return channels;
}

TEST(BufferList, StreamConfigurationHoldsExactlyTheListedBuffers) {
    const std::vector<std::vector<std::uint32_t>> cases{{}, {2}, {2, 1}, {1, 6, 1}};
    for (const auto& channels : cases) {
        auto bytes = streamConfigurationBytes(channels);
        EXPECT_EQ(bytes.size(), bufferListSize(channels.size())) << channels.size() << " buffers";
        EXPECT_EQ(channelsOf(bytes), channels) << channels.size() << " buffers";
    }
    // The platform's own sizes: the count padded to the buffers' alignment.
    EXPECT_EQ(bufferListSize(1), sizeof(AudioBufferList));
    EXPECT_EQ(bufferListSize(0), offsetof(AudioBufferList, mBuffers));
}

TEST(BufferList, ListsPointAtTheirBuffersInOrder) {
    float mic[4] = {}, tap[2] = {}, third[1] = {};
    FixedBufferList<2> fixed({{{2, sizeof mic, mic}, {1, sizeof tap, tap}}});
    std::vector<AudioBuffer> buffers{{2, sizeof mic, mic}, {1, sizeof tap, tap}, {5, 3, third}};
    BufferList dynamic(buffers);
    for (const AudioBufferList* list : {fixed.list(), dynamic.list()}) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(list) % alignof(AudioBufferList), 0u);
        ASSERT_GE(list->mNumberBuffers, 2u);
        EXPECT_EQ(list->mBuffers[0].mNumberChannels, 2u);
        EXPECT_EQ(list->mBuffers[0].mDataByteSize, sizeof mic);
        EXPECT_EQ(list->mBuffers[0].mData, mic);
        EXPECT_EQ(list->mBuffers[1].mNumberChannels, 1u);
        EXPECT_EQ(list->mBuffers[1].mData, tap);
    }
    EXPECT_EQ(fixed.list()->mNumberBuffers, 2u);
    ASSERT_EQ(dynamic.list()->mNumberBuffers, 3u);
    EXPECT_EQ(dynamic.list()->mBuffers[2].mNumberChannels, 5u);
    EXPECT_EQ(dynamic.list()->mBuffers[2].mDataByteSize, 3u);
    EXPECT_EQ(dynamic.list()->mBuffers[2].mData, third);

    // Emptied again: no buffers, and the first slot is still storage of its own.
    dynamic.assign({});
    EXPECT_EQ(dynamic.list()->mNumberBuffers, 0u);
    EXPECT_EQ(dynamic.list()->mBuffers[0].mData, nullptr);
}

} // namespace
} // namespace velko::audio
