#include "event-protocol/events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <thread>

using velko::events::Event;
using velko::events::eventLine;

TEST(EventLine, IsCompactJsonPlusOneLineFeed) {
    EXPECT_EQ(eventLine({{"event", "ready"}}), std::string("{\"event\":\"ready\"}\n"));
    auto line = eventLine({{"event", "input"}, {"processes", Event::array({{{"pid", -42}, {"ok", true}}})}});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->find_first_of(" \t\r"), std::string::npos);
    EXPECT_EQ(line->find('\n'), line->size() - 1);
    EXPECT_NE(line->find("\"pid\":-42"), std::string::npos);
    EXPECT_NE(line->find("\"ok\":true"), std::string::npos);
}

TEST(EventLine, StringsAreEscapedAsJsonRequires) {
    std::string tricky = "quote\" back\\ nl\n tab\t bell\x07 del\x7f \xc3\xa9t\xc3\xa9 \xf0\x9f\x8e\x99";
    auto line = eventLine({{"event", "x"}, {"s", tricky}});
    ASSERT_TRUE(line);
    // Exactly one line, no raw control characters inside it.
    for (std::size_t i = 0; i + 1 < line->size(); ++i) {
        EXPECT_GE(static_cast<unsigned char>((*line)[i]), 0x20u) << "raw control byte at " << i;
    }
    EXPECT_NE(line->find("\\\""), std::string::npos);
    EXPECT_NE(line->find("\\\\"), std::string::npos);
    EXPECT_NE(line->find("\\n"), std::string::npos);
    EXPECT_NE(line->find("\\u0007"), std::string::npos);
    EXPECT_NE(line->find("\xc3\xa9t\xc3\xa9"), std::string::npos); // UTF-8 kept as is
    EXPECT_EQ(Event::parse(*line)["s"], tricky);
}

TEST(EventLine, FloatsRoundTripToTheSameValue) {
    for (double v : {48000.0, 44100.0, 0.1, 1.0 / 3.0, 5e-324, std::numeric_limits<double>::max(), -2.5e-300,
                     16000.000000000002}) {
        auto line = eventLine({{"event", "x"}, {"v", v}});
        ASSERT_TRUE(line);
        EXPECT_EQ(Event::parse(*line)["v"].get<double>(), v) << *line;
    }
}

TEST(EventLine, IntegersKeepTheirFullRange) {
    for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max()}) {
        auto line = eventLine({{"event", "x"}, {"v", v}});
        ASSERT_TRUE(line);
        EXPECT_EQ(Event::parse(*line)["v"].get<std::int64_t>(), v);
    }
}

TEST(EventLine, InvalidUtf8IsReplacedNotDropped) {
    EXPECT_EQ(eventLine({{"event", std::string("\xff")}}), std::string("{\"event\":\"\xef\xbf\xbd\"}\n"));
    EXPECT_EQ(eventLine({{"event", "x"}, {"nested", {{"k", std::string("ok\xc3")}}}}),
              std::string("{\"event\":\"x\",\"nested\":{\"k\":\"ok\xef\xbf\xbd\"}}\n"));
}

TEST(WriteAll, DeliversEverythingThroughASmallPipeInOrder) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string big(1 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
    std::string got;
    std::thread reader([&] {
        char buf[777];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    });
    EXPECT_TRUE(velko::events::writeAll(fds[1], big));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(got, big);
}

TEST(WriteAll, ReportsAFailedWrite) { EXPECT_FALSE(velko::events::writeAll(-1, "x")); }
