#include "container/layout.h"

#include <gtest/gtest.h>

#include "support/kvrb_builder.h"

namespace marlune::container {
namespace {

Header headerOf(const testing::Bytes& bytes) {
    Header header{};
    std::copy(bytes.begin(), bytes.begin() + headerSize, header.begin());
    return header;
}

TEST(Layout, OnlyTheTwoMagicsAsWrittenAreContainers) {
    for (const char* magic : {"KVRB", "fx30"}) {
        EXPECT_TRUE(hasContainerMagic(headerOf(testing::KvrbBuilder().magic(magic).build()))) << magic;
    }
    for (const char* magic : {"kvrb", "KVRb", "FX30", "fX30", "KVRA", "LVRB", "fx31", "ex30", "", "RIFF"}) {
        EXPECT_FALSE(hasContainerMagic(headerOf(testing::KvrbBuilder().magic(magic).build()))) << magic;
    }
}

TEST(Layout, ZeroAndNegativeLengthModesSelectFixedLengthChunks) {
    for (std::int16_t mode : {0, -1, -32768, -330}) {
        EXPECT_TRUE(isFixedLength(headerOf(testing::KvrbBuilder().lengthMode(mode).build()))) << mode;
    }
    for (std::int16_t mode : {1, 2, 330, 32767}) {
        EXPECT_FALSE(isFixedLength(headerOf(testing::KvrbBuilder().lengthMode(mode).build()))) << mode;
    }
    EXPECT_EQ(lengthMode(headerOf(testing::KvrbBuilder().lengthMode(-32768).build())), -32768);
}

TEST(Layout, DataOffsetIsUnsignedLittleEndian) {
    EXPECT_EQ(dataOffset(headerOf(testing::KvrbBuilder().dataOffset(0xFEDCBA98u).build())), 0xFEDCBA98u);
    EXPECT_EQ(dataOffset(headerOf(testing::KvrbBuilder().preamble(10).build())), 92u);
}

using ChunkHeader = std::array<std::uint8_t, chunkHeaderSize>;

TEST(Layout, ChunkLengthReadsAndWritesOffsetTwo) {
    ChunkHeader chunk{1, 2, 0x34, 0x12, 5, 6, 7, 8};
    EXPECT_EQ(chunkLength(chunk.data()), 0x1234);
    setChunkLength(chunk.data(), 0xFFFF);
    EXPECT_EQ(chunk, (ChunkHeader{1, 2, 0xFF, 0xFF, 5, 6, 7, 8}));
    setChunkLength(chunk.data(), 330);
    EXPECT_EQ(chunk, (ChunkHeader{1, 2, 0x4A, 0x01, 5, 6, 7, 8}));
}

TEST(Layout, EffectivePayloadLengthIs330InFixedLengthMode) {
    const ChunkHeader chunk{0, 0, 0x10, 0x00, 0, 0, 0, 0};
    EXPECT_EQ(effectivePayloadLength(true, chunk.data()), 330);
    EXPECT_EQ(effectivePayloadLength(false, chunk.data()), 16);
}

}  // namespace
}  // namespace marlune::container
