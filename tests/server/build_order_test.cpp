#include <gtest/gtest.h>

#include <random>

#include "server/UpdateServerRequest.h"

namespace {

std::vector<std::string> _builds_of(const SortedBuildList& sorted)
{
    std::vector<std::string> builds;
    for (const auto& entry : sorted)
        builds.push_back(entry.first);
    return builds;
}

TEST(SplitTessarineVersion, NeedsExactlyThreeParts)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitTessarineVersion("2.10.3"), (V{"2", "10", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitTessarineVersion("2..3"), (V{"2", "", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitTessarineVersion(".."), (V{"", "", ""}));
    EXPECT_TRUE(UpdateServerRequest::SplitTessarineVersion("2.10").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitTessarineVersion("2.10.3.1").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitTessarineVersion("").empty());
}

TEST(SortBuildsByVersion, NewestVersionFirst)
{
    const BuildList builds{{"115", "2.9.12"}, {"116", "2.10.3"}, {"117", "1.99.0"}};
    const SortedBuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    EXPECT_EQ(_builds_of(sorted), (std::vector<std::string>{"116", "115", "117"}));
    EXPECT_EQ(sorted[0].second, "2.10.3");
}

TEST(SortBuildsByVersion, PartsCountWithTheirLowEightBits)
{
    // 300 counts as 44, so 2.300.0 and 2.44.0 tie, and 2.45.0 beats both.
    const BuildList builds{{"1", "2.300.0"}, {"2", "2.45.0"}, {"3", "2.44.0"}, {"4", "2.43.9"}};
    const auto order = _builds_of(UpdateServerRequest::SortBuildsByVersion(builds));
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], "2");
    EXPECT_TRUE((order[1] == "1" && order[2] == "3") || (order[1] == "3" && order[2] == "1"));
    EXPECT_EQ(order[3], "4");
}

TEST(SortBuildsByVersion, UnreadableVersionsGoLastAndNothingIsLost)
{
    const BuildList builds{{"10", "2..3"},  {"11", "3.0.0"},       {"12", ""},
                           {"13", "x.1.2"}, {"14", " 4.+1.2beta"}, {"15", "1.0"}};
    const auto order = _builds_of(UpdateServerRequest::SortBuildsByVersion(builds));
    EXPECT_EQ(order, (std::vector<std::string>{"14", "11", "10", "12", "13", "15"}));
}

TEST(SortBuildsByVersion, ManyMixedEntriesKeepEveryEntryAndReadableOnesOrdered)
{
    std::mt19937 random(7);
    BuildList builds;
    for (int i = 0; i < 400; ++i) {
        const int kind = random() % 4;
        std::string version = "junk";
        if (kind != 0)
            version = std::to_string(random() % 4) + "." + std::to_string(random() % 20) + "." +
                      std::to_string(random() % 20);
        builds[std::to_string(1000 + i)] = version;
    }
    const SortedBuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());
    bool seen_junk = false;
    std::vector<int> previous;
    for (const auto& [build, version] : sorted) {
        EXPECT_EQ(builds.at(build), version);
        const auto parts = UpdateServerRequest::SplitTessarineVersion(version);
        if (parts.empty()) {
            seen_junk = true;
            continue;
        }
        EXPECT_FALSE(seen_junk) << "readable entry after an unreadable one";
        std::vector<int> current{std::stoi(parts[0]), std::stoi(parts[1]), std::stoi(parts[2])};
        if (!previous.empty()) {
            EXPECT_GE(previous, current);
        }
        previous = current;
    }
}

TEST(Base64, KnownVectorsEncodeAndDecode)
{
    const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"},
                                                           {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& [plain, encoded] : vectors) {
        size_t length = 99;
        char* text = UpdateServerRequest::base64_encode(reinterpret_cast<const unsigned char*>(plain.data()),
                                                        plain.size(), &length);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), encoded);
        EXPECT_EQ(length, encoded.size());
        free(text);

        unsigned char* bytes = UpdateServerRequest::base64_decode(encoded.data(), encoded.size(), &length);
        ASSERT_NE(bytes, nullptr) << encoded;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), length), plain);
        EXPECT_EQ(bytes[length], 0);
        free(bytes);
    }
}

TEST(Base64, RoundTripsEveryLengthAndByte)
{
    std::mt19937 random(1);
    for (size_t n = 0; n < 600; ++n) {
        std::vector<unsigned char> data(n);
        for (auto& byte : data)
            byte = static_cast<unsigned char>(random());
        size_t text_length = 0, length = 0;
        char* text = UpdateServerRequest::base64_encode(data.data(), n, &text_length);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text_length % 4, 0u);
        unsigned char* bytes = UpdateServerRequest::base64_decode(text, text_length, &length);
        ASSERT_NE(bytes, nullptr);
        ASSERT_EQ(length, n);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), bytes));
        // In place: the same bytes over the text.
        ASSERT_TRUE(UpdateServerRequest::base64_decode_in_place(text, text_length, &length));
        ASSERT_EQ(length, n);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), reinterpret_cast<unsigned char*>(text)));
        free(text);
        free(bytes);
    }
}

TEST(Base64, DecoderRejectsWhatIsNotBase64)
{
    size_t length = 0;
    for (const char* text :
         {"Zm9vYmF", "Zm9v\r", "Zm9vYmE=\r", "Zm 9", "Zm9v\nYmFy", "Zg=a", "=Zm9", "Z===", "Zm9vY*Fy", "Zg==Zm9v"}) {
        EXPECT_EQ(UpdateServerRequest::base64_decode(text, strlen(text), &length), nullptr) << text;
        std::string copy = text;
        EXPECT_FALSE(UpdateServerRequest::base64_decode_in_place(copy.data(), copy.size(), &length)) << text;
    }
}

}  // namespace
