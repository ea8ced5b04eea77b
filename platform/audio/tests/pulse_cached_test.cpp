#include "platform/audio/pulse_cached.h"

#include <gtest/gtest.h>

namespace velko::audio::pulse {
namespace {

TEST(PulseCached, AsksOnlyAfterAChangeAndNotesChangesDuringTheAnswer) {
    Cached<int> cached;
    int asked = 0;
    auto answer = [&](int value) {
        return [&asked, value](int& into) {
            ++asked;
            into = value;
            return true;
        };
    };
    ASSERT_TRUE(cached.refresh(answer(1)));
    EXPECT_TRUE(cached.refresh(answer(2)));
    EXPECT_EQ(cached.value(), 1);
    EXPECT_EQ(asked, 1);

    // A change announced while the question is out: this answer is taken,
    // but it may predate the change, so the next use asks again.
    cached.markStale();
    ASSERT_TRUE(cached.refresh([&](int& into) {
        ++asked;
        cached.markStale();
        into = 3;
        return true;
    }));
    EXPECT_EQ(cached.value(), 3);
    ASSERT_TRUE(cached.refresh(answer(4)));
    EXPECT_EQ(cached.value(), 4);
    EXPECT_EQ(asked, 3);

    // No answer: the old value stays, and the next use asks again.
    cached.markStale();
    EXPECT_FALSE(cached.refresh([&](int& into) {
        ++asked;
        into = 99;
        return false;
    }));
    EXPECT_EQ(cached.value(), 4);
    ASSERT_TRUE(cached.refresh(answer(5)));
    EXPECT_EQ(cached.value(), 5);
    EXPECT_EQ(asked, 5);
}

} // namespace
} // namespace velko::audio::pulse
