#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/cobs.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes& in)
{
    static const uint8_t none = 0;
    Bytes out(cobs_max_encoded(in.size()));
    out.resize(cobs_encode(in.empty() ? &none : in.data(), in.size(), out.data()));
    return out;
}

Bytes decode(const Bytes& in)
{
    Bytes out(in.size() + 1);
    out.resize(cobs_decode(in.data(), in.size(), out.data()));
    return out;
}

TEST(Cobs, EncodeExamples)
{
    EXPECT_EQ(encode({}), (Bytes{0x01}));
    EXPECT_EQ(encode({0x00}), (Bytes{0x01, 0x01}));
    EXPECT_EQ(encode({0x11, 0x22, 0x00, 0x33}), (Bytes{0x03, 0x11, 0x22, 0x02, 0x33}));
    EXPECT_EQ(encode({0x00, 0x00}), (Bytes{0x01, 0x01, 0x01}));
    Bytes run(254, 0x5A);
    Bytes encoded = encode(run);
    ASSERT_EQ(encoded.size(), 256u);
    EXPECT_EQ(encoded.front(), 0xFF);
    EXPECT_EQ(encoded.back(), 0x01);
    EXPECT_EQ(decode(encoded), run);
}

TEST(Cobs, DecodeExamplesAndMalformed)
{
    EXPECT_EQ(decode({0x03, 0x11, 0x22, 0x02, 0x33}), (Bytes{0x11, 0x22, 0x00, 0x33}));
    EXPECT_EQ(decode({0x01, 0x01}), (Bytes{0x00}));
    Bytes out(8, 0xEE);
    const uint8_t pastEnd[] = {0x05, 0x11, 0x22};
    EXPECT_EQ(cobs_decode(pastEnd, 3, out.data()), 0u);
    const uint8_t zeroCode[] = {0x02, 0x11, 0x00, 0x01};
    EXPECT_EQ(cobs_decode(zeroCode, 4, out.data()), 0u);
}

TEST(Cobs, RoundTripRandomBlocksAndInPlace)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 500; round++) {
        size_t length = rng() % 700;
        Bytes data(length);
        for (auto& b : data)
            b = (rng() % 4 == 0) ? 0 : static_cast<uint8_t>(rng());
        Bytes encoded = encode(data);
        for (uint8_t b : encoded)
            ASSERT_NE(b, 0);
        ASSERT_EQ(decode(encoded), data);

        Bytes inPlace = data;
        inPlace.resize(cobs_max_encoded(length));
        size_t n = cobs_encode_inplace(inPlace.data(), length);
        ASSERT_EQ(n, encoded.size());
        inPlace.resize(n);
        ASSERT_EQ(inPlace, encoded);
        inPlace.resize(cobs_decode_inplace(inPlace.data(), n));
        ASSERT_EQ(inPlace, data);
    }
}

TEST(Cobs, InPlaceRunsOfNonZero)
{
    Bytes data(600, 0x77);
    Bytes buffer = data;
    buffer.resize(cobs_max_encoded(600));
    size_t n = cobs_encode_inplace(buffer.data(), 600);
    buffer.resize(n);
    EXPECT_EQ(buffer, encode(data));
}

TEST(CobsDeath, NullPointersStop)
{
    uint8_t b = 0;
    EXPECT_DEATH(cobs_encode(nullptr, 1, &b), "cobs.*inputData != NULL");
    EXPECT_DEATH(cobs_decode(&b, 1, nullptr), "cobs.*outputData != NULL");
    EXPECT_DEATH(cobs_decode_inplace(nullptr, 1), "cobs.*data != NULL");
}

}  // namespace
