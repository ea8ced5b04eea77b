#include "platform/audio/pulse_cached.h"

#include <gtest/gtest.h>

#include <functional>

namespace velko::audio::pulse {
namespace {

TEST(PulseCached, AsksOnlyAfterAChangeAndNotesChangesDuringTheAnswer) {
    Cached<int> cached;
    int asked = 0;
    // A server that answers `value` (or does not answer), with `meanwhile`
    // happening while the answer is on its way.
    auto server = [&](int value, bool answers = true, const std::function<void()>& meanwhile = {}) {
        return [&asked, value, answers, meanwhile](int& into) {
            ++asked;
            if (meanwhile) meanwhile();
            into = value;
            return answers;
        };
    };
    ASSERT_TRUE(cached.refresh(server(1)));
    EXPECT_TRUE(cached.refresh(server(2)));
    EXPECT_EQ(cached.value(), 1);
    EXPECT_EQ(asked, 1);

    // A change announced while the question is out: this answer is taken,
    // but it may predate the change, so the next use asks again.
    cached.markStale();
    ASSERT_TRUE(cached.refresh(server(3, true, [&] { cached.markStale(); })));
    EXPECT_EQ(cached.value(), 3);
    ASSERT_TRUE(cached.refresh(server(4)));
    EXPECT_EQ(cached.value(), 4);
    EXPECT_EQ(asked, 3);

    // No answer: the old value stays, and the next use asks again.
    cached.markStale();
    EXPECT_FALSE(cached.refresh(server(99, false)));
    EXPECT_EQ(cached.value(), 4);
    ASSERT_TRUE(cached.refresh(server(5)));
    EXPECT_EQ(cached.value(), 5);
    EXPECT_EQ(asked, 5);
}

} // namespace
} // namespace velko::audio::pulse
