// The process record: its key, its JSON form and the order of a poll's list.
#include "input-sentry/input_process.h"

#include <gtest/gtest.h>

using velko::input_sentry::comparableKey;
using velko::input_sentry::InputProcess;
using velko::input_sentry::KeySet;
using velko::input_sentry::sortByKey;

TEST(InputProcessKey, JoinsBundlePidAndDevice) {
    EXPECT_EQ((InputProcess{"App", 42, "Mic"}.key()), "App:42:Mic");
    EXPECT_EQ((InputProcess{"App", 42, std::nullopt}.key()), "App:42:-");
    EXPECT_EQ((InputProcess{"App", 0, std::nullopt}.key()), "App:0:-");
    EXPECT_EQ((InputProcess{"App", -7, "M"}.key()), "App:-7:M");
    // A UID that is a single "-" names the same pairing as no UID.
    EXPECT_EQ((InputProcess{"App", 42, "-"}.key()), (InputProcess{"App", 42, std::nullopt}.key()));
}

TEST(InputProcessJson, MembersAndTypes) {
    auto withDevice = InputProcess{"com.example.Mic", 4242, "BuiltInMicrophoneDevice"}.json(false);
    EXPECT_EQ(withDevice, (nlohmann::json{{"bundleId", "com.example.Mic"},
                                          {"pid", 4242},
                                          {"preexisting", false},
                                          {"deviceUID", "BuiltInMicrophoneDevice"}}));
    EXPECT_TRUE(withDevice["pid"].is_number_integer());
    EXPECT_TRUE(withDevice["preexisting"].is_boolean());

    auto withoutDevice = InputProcess{"App", 0, std::nullopt}.json(true);
    EXPECT_EQ(withoutDevice.size(), 3u);
    EXPECT_FALSE(withoutDevice.contains("deviceUID"));
    EXPECT_EQ(withoutDevice, (nlohmann::json{{"bundleId", "App"}, {"pid", 0}, {"preexisting", true}}));

    auto negative = InputProcess{"App", -2147483647 - 1, std::nullopt}.json(true);
    EXPECT_EQ(negative["pid"].get<std::int64_t>(), -2147483648LL);
}

namespace {

std::vector<std::string> keysAfterSort(std::vector<InputProcess> processes) {
    sortByKey(processes);
    std::vector<std::string> keys;
    keys.reserve(processes.size());
    for (const auto& p : processes) keys.push_back(p.key());
    return keys;
}

} // namespace

TEST(SortByKey, ComparesWholeKeysAsText) {
    using V = std::vector<std::string>;
    // The pid compares as text: 100 before 99, 1000 before 2.
    EXPECT_EQ(keysAfterSort({{"App", 99, {}}, {"App", 100, {}}}), (V{"App:100:-", "App:99:-"}));
    EXPECT_EQ(keysAfterSort({{"App", 2, {}}, {"App", 1000, {}}}), (V{"App:1000:-", "App:2:-"}));
    // Upper case before lower case.
    EXPECT_EQ(keysAfterSort({{"zoom", 1, {}}, {"Zoom", 1, {}}}), (V{"Zoom:1:-", "zoom:1:-"}));
    // "." sorts before ":", so A.b comes before A.
    EXPECT_EQ(keysAfterSort({{"A", 1, {}}, {"A.b", 1, {}}}), (V{"A.b:1:-", "A:1:-"}));
    // Bundle identifier first, then pid, then device UID.
    EXPECT_EQ(keysAfterSort({{"B", 1, "a"}, {"A", 2, "b"}, {"A", 2, "a"}, {"A", 1, "z"}}),
              (V{"A:1:z", "A:2:a", "A:2:b", "B:1:a"}));
    // Non-ASCII sorts after ASCII, by scalar value.
    EXPECT_EQ(keysAfterSort({{"\xC3\xA9", 1, {}}, {"z", 1, {}}, {"\xEF\xBD\xA1", 1, {}}, {"\xF0\x90\x80\x80", 1, {}}}),
              (V{"z:1:-", "\xC3\xA9:1:-", "\xEF\xBD\xA1:1:-", "\xF0\x90\x80\x80:1:-"}));
    EXPECT_EQ(keysAfterSort({}), V{});
}

TEST(SortByKey, EquivalentKeysAreEqualAndKeepTheirListOrder) {
    // Three spellings of one key (decomposed, precomposed, and precomposed
    // again with another device UID spelling), interleaved with others.
    std::vector<InputProcess> processes = {
        {"Cafe\xCC\x81", 5, "Mic"}, // decomposed
        {"B", 1, {}},               //
        {"Caf\xC3\xA9", 5, "Mic"},  // precomposed: equivalent to the first
        {"Cafe", 5, "Mic"},         // a different key that sorts first
        {"Cafe\xCC\x81", 5, "Mic"}, // decomposed again
    };
    sortByKey(processes);
    ASSERT_EQ(processes.size(), 5u);
    EXPECT_EQ(processes[0].key(), "B:1:-");
    EXPECT_EQ(processes[1].key(), "Cafe:5:Mic");
    // The three equivalent records, in the order the list gave them.
    EXPECT_EQ(processes[2].bundleId, "Cafe\xCC\x81");
    EXPECT_EQ(processes[3].bundleId, "Caf\xC3\xA9");
    EXPECT_EQ(processes[4].bundleId, "Cafe\xCC\x81");
    // The records keep their own spelling; only the comparison normalises.
    KeySet set{comparableKey(processes[2].key()), comparableKey(processes[3].key())};
    EXPECT_EQ(set.size(), 1u);
}

TEST(SortByKey, StaysStableInLongLists) {
    // Long enough that an unstable sort would reorder equal elements: one key
    // in two canonically equivalent spellings, in an irregular pattern,
    // among other keys on both sides of it.
    const std::string spellings[2] = {"Caf\xC3\xA9", "Cafe\xCC\x81"};
    const std::uint64_t pattern = 0x9E3779B97F4A7C15ULL;
    std::vector<InputProcess> processes;
    std::vector<std::string> expected;
    for (int i = 0; i < 64; ++i) {
        const std::string& bundle = spellings[(pattern >> i) & 1];
        processes.push_back({bundle, 7, "Mic"});
        expected.push_back(bundle);
        processes.push_back({i % 2 ? "A" : "D", 64 - i, {}});
    }
    sortByKey(processes);
    std::vector<std::string> group;
    for (const auto& p : processes) {
        if (p.pid == 7 && p.deviceUID == "Mic") group.push_back(p.bundleId);
    }
    EXPECT_EQ(group, expected);
    EXPECT_EQ(processes.front().bundleId, "A");
    EXPECT_EQ(processes.back().bundleId, "D");
}
