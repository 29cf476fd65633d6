#include "tarnwick/exchange/host_plan.hpp"

#include "exchange/host_plan_loop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace tarnwick::exchange {
namespace {

constexpr ExchangeError HOST_PACKET = ExchangeError::HostPacket{};

std::vector<std::uint32_t> sizes_of(const std::vector<HostTransferChunk>& chunks) {
    std::vector<std::uint32_t> sizes;
    for (const auto& chunk : chunks) {
        sizes.push_back(chunk.bytes);
    }
    return sizes;
}

// What a header says, read back from its bit layout alone.
struct DecodedHeader {
    bool host_to_tile;
    std::uint32_t tile;
    std::uint32_t tile_address; // host-to-tile only
    std::uint32_t host_offset;
    std::uint32_t bytes;
};

DecodedHeader decode(const HostPacketHeader& header) {
    const std::uint32_t word0 = header.word0;
    const std::uint32_t word1 = header.word1;
    const bool host_to_tile = (word0 >> 30) == 3;
    const bool is_long = ((word0 >> 29) & 1) != 0;
    const unsigned shift = is_long ? 6 : 2;
    // Tile bits 1 to 10 in bits 16 to 25, bit 0 in bit 15 (and again in bit 31 of word1); tile
    // bit 11 shares bit 26 with a stream-end bit in host-to-tile headers, so the decoder only
    // reads it from tile-to-host headers.
    std::uint32_t tile = (((word0 >> 16) & 0x3FF) << 1) | ((word0 >> 15) & 1);
    if (!host_to_tile) {
        tile |= ((word0 >> 26) & 1) << 11;
    }
    const std::uint32_t length = word1 & 0xF;
    return DecodedHeader{
        host_to_tile,
        tile,
        host_to_tile ? 0x50000 + 32 * (word0 & 0x1FF) : 0,
        ((word1 >> 4) & 0x7FFFFFF) << shift,
        (is_long && length == 0) ? 1024 : length << shift,
    };
}

void expect_well_formed(const std::vector<HostTransferChunk>& chunks, bool host_to_tile,
                        std::uint32_t tile, std::uint32_t tile_address, std::uint32_t host_offset,
                        std::uint32_t bytes) {
    const std::uint32_t largest = host_to_tile ? 1024 : TILE_TO_HOST_MAX_BYTES;
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.front().tile_address, tile_address);
    EXPECT_EQ(chunks.front().host_offset, host_offset);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const HostTransferChunk& chunk = chunks[i];
        total += chunk.bytes;
        ASSERT_GE(chunk.bytes, 4u);
        ASSERT_LE(chunk.bytes, largest);
        ASSERT_EQ(chunk.host_offset / HOST_PAGE_BYTES,
                  (chunk.host_offset + chunk.bytes - 1) / HOST_PAGE_BYTES)
            << "chunk " << i << " crosses a page";
        if (i + 1 < chunks.size()) {
            ASSERT_EQ(chunk.tile_address + chunk.bytes, chunks[i + 1].tile_address);
            ASSERT_EQ(chunk.host_offset + chunk.bytes, chunks[i + 1].host_offset);
        }
        const DecodedHeader decoded = decode(chunk.header);
        ASSERT_EQ(decoded.host_to_tile, host_to_tile);
        ASSERT_EQ(decoded.tile, tile);
        ASSERT_EQ(decoded.host_offset, chunk.host_offset);
        ASSERT_EQ(decoded.bytes, chunk.bytes);
        if (host_to_tile) {
            ASSERT_EQ(decoded.tile_address, chunk.tile_address);
            ASSERT_EQ(chunk.header.word0 & HOST_TO_TILE_STREAM_END_BITS, HOST_TO_TILE_STREAM_END_BITS);
        } else {
            ASSERT_EQ(chunk.header.word0 & 0x7FFF, 0u);
        }
    }
    EXPECT_EQ(total, bytes);
}

TEST(HostPlan, TileToHostFromAnUnalignedOffsetStepsIn32ByteChunks) {
    const auto chunks = plan_tile_to_host(2, 0x60004, 4, 2200);
    ASSERT_TRUE(chunks.has_value());
    ASSERT_EQ(chunks->size(), 68u);
    for (std::size_t i = 0; i + 1 < chunks->size(); ++i) {
        EXPECT_EQ((*chunks)[i].bytes, 32u);
    }
    EXPECT_EQ(chunks->back().bytes, 56u);
    expect_well_formed(*chunks, false, 2, 0x60004, 4, 2200);
}

TEST(HostPlan, TileToHostStopsAtThePageEnd) {
    const auto chunks = plan_tile_to_host(0, 0x60000, 64, 4096);
    ASSERT_TRUE(chunks.has_value());
    std::vector<std::uint32_t> expected(15, 256);
    expected.push_back(192);
    expected.push_back(64);
    EXPECT_EQ(sizes_of(*chunks), expected);
    for (std::size_t i = 0; i < 15; ++i) {
        EXPECT_EQ((*chunks)[i].host_offset, 0x40 + 0x100 * i);
    }
    EXPECT_EQ((*chunks)[15].host_offset, 0xF40u);
    EXPECT_EQ((*chunks)[16].host_offset, 0x1000u);
    expect_well_formed(*chunks, false, 0, 0x60000, 64, 4096);
}

TEST(HostPlan, HostToTileChunksKeepTheTileAddressAligned) {
    const auto chunks = plan_host_to_tile(1409, 0x50000, 4, 100);
    ASSERT_TRUE(chunks.has_value());
    EXPECT_EQ(sizes_of(*chunks), (std::vector<std::uint32_t>{32, 32, 36}));
    EXPECT_EQ((*chunks)[0].tile_address, 0x50000u);
    EXPECT_EQ((*chunks)[1].tile_address, 0x50020u);
    EXPECT_EQ((*chunks)[2].tile_address, 0x50040u);
    EXPECT_EQ((*chunks)[2].tile_address + (*chunks)[2].bytes, 0x50064u);
    EXPECT_EQ((*chunks)[0].header, *host_to_tile_packet(1409, 0x50000, 4, 32));
    expect_well_formed(*chunks, true, 1409, 0x50000, 4, 100);
}

TEST(HostPlan, HostToTileWholePageIsFourLongPackets) {
    const auto chunks = plan_host_to_tile(0, 0x50000, 0, 4096);
    ASSERT_TRUE(chunks.has_value());
    ASSERT_EQ(chunks->size(), 4u);
    for (const auto& chunk : *chunks) {
        EXPECT_EQ(chunk.bytes, 1024u);
        EXPECT_EQ(chunk.header.word0 & 0xE0000000, 0xE0000000) << "long host-to-tile";
        EXPECT_EQ(chunk.header.word1 & 0xF, 0u);
    }
    expect_well_formed(*chunks, true, 0, 0x50000, 0, 4096);
}

TEST(HostPlan, OnlyTheChunkStartIsComparedWithTheWindow) {
    const auto chunks = plan_host_to_tile(0, 0x53FE0, 0, 64);
    ASSERT_TRUE(chunks.has_value());
    EXPECT_EQ(sizes_of(*chunks), (std::vector<std::uint32_t>{64}));
}

TEST(HostPlan, RejectedTransfers) {
    const Result<std::vector<HostTransferChunk>> rejected[] = {
        plan_host_to_tile(0, 0x50004, 0, 4),     // tile address not 32-byte aligned
        plan_host_to_tile(0, 0x50000, 0xFF0, 100), // page end leaves the next chunk at 0x50010
        plan_host_to_tile(0, 0x50000, 0, 0),
        plan_host_to_tile(0, 0x50000, 0, 6),
        plan_host_to_tile(0, 0x50000, 2, 4),
        plan_host_to_tile(0, 0x4FFE0, 0, 4),       // below the window
        plan_host_to_tile(0, 0x53FE0, 0, 1088),    // second chunk starts past the window
        plan_host_to_tile(4096, 0x50000, 0, 4),
        plan_tile_to_host(0, 0x60002, 0, 4),
        plan_tile_to_host(0, 0x60000, 2, 4),
        plan_tile_to_host(0, 0x60000, 0, 0),
        plan_tile_to_host(0, 0x60000, 0, 6),
        plan_tile_to_host(4096, 0x60000, 0, 4),
        plan_tile_to_host(0, 0x60000, 0x1FFFFFFC, 8), // second short chunk at 0x20000000
        plan_tile_to_host(0, 0xFFFFFF00, 0, 256),     // tile address passes 2^32 - 1
        plan_tile_to_host(0, 0x60000, 0xFFFFFF00, 256), // host offset passes 2^32 - 1
    };
    for (std::size_t i = 0; i < std::size(rejected); ++i) {
        EXPECT_EQ(rejected[i], fail(HOST_PACKET)) << "case " << i;
    }
}

TEST(HostPlan, EntryChecksComeBeforeAnyHeader) {
    int calls = 0;
    const auto counting = [&calls](std::uint32_t, std::uint32_t, std::uint32_t) {
        ++calls;
        return Result<HostPacketHeader>(HostPacketHeader{});
    };
    // The loop itself builds one header per chunk and stops at the first failing one.
    EXPECT_TRUE(plan_host_transfer(0, 0, 4096, 1024, counting).has_value());
    EXPECT_EQ(calls, 4);
    calls = 0;
    const auto failing = [&calls](std::uint32_t, std::uint32_t offset, std::uint32_t) {
        ++calls;
        return offset >= 64 ? Result<HostPacketHeader>(fail(ExchangeError::Schedule{"x"}))
                            : Result<HostPacketHeader>(HostPacketHeader{});
    };
    EXPECT_EQ(plan_host_transfer(0, 0, 256, 64, failing), fail(ExchangeError::Schedule{"x"}));
    EXPECT_EQ(calls, 2);
}

TEST(HostPlan, RandomTileToHostTransfersAreWellFormed) {
    std::mt19937 random(0x4A17u);
    std::uniform_int_distribution<std::uint32_t> tiles(0, 4095);
    std::uniform_int_distribution<std::uint32_t> words(1, 16384);
    std::uniform_int_distribution<std::uint32_t> addresses(0, 0x3FFFF);
    std::uniform_int_distribution<std::uint32_t> offsets(0, 0x07FFFFFF);
    for (int round = 0; round < 2000; ++round) {
        const auto tile = static_cast<std::uint16_t>(tiles(random));
        const std::uint32_t tile_address = 4 * addresses(random);
        const std::uint32_t host_offset = 4 * offsets(random);
        const std::uint32_t bytes = 4 * words(random);
        const auto chunks = plan_tile_to_host(tile, tile_address, host_offset, bytes);
        ASSERT_TRUE(chunks.has_value()) << tile_address << " " << host_offset << " " << bytes;
        expect_well_formed(*chunks, false, tile, tile_address, host_offset, bytes);
        if (HasFatalFailure()) {
            FAIL() << "tile " << tile << " address " << tile_address << " offset " << host_offset
                   << " bytes " << bytes;
        }
    }
}

TEST(HostPlan, RandomHostToTileTransfersAreWellFormed) {
    std::mt19937 random(0x5B28u);
    std::uniform_int_distribution<std::uint32_t> tiles(0, 2047);
    std::uniform_int_distribution<std::uint32_t> granules(0, 511);
    std::uniform_int_distribution<std::uint32_t> offsets(0, 0x3FFFFFF);
    std::uniform_int_distribution<std::uint32_t> words(1, 16384);
    std::uniform_int_distribution<int> alignment(0, 2);
    int planned = 0;
    for (int round = 0; round < 2000; ++round) {
        const auto tile = static_cast<std::uint16_t>(tiles(random));
        const std::uint32_t granule = granules(random);
        const std::uint32_t tile_address = 0x50000 + 32 * granule;
        // Mix 64-aligned, 32-aligned and merely 4-aligned host offsets.
        const std::uint32_t unit = std::array<std::uint32_t, 3>{64, 32, 4}[static_cast<std::size_t>(
            alignment(random))];
        const std::uint32_t host_offset = (4 * offsets(random)) & ~(unit - 1);
        const std::uint32_t bytes = 4 * std::min(words(random), (0x54000 - tile_address) / 4);
        const auto chunks = plan_host_to_tile(tile, tile_address, host_offset, bytes);
        if (!chunks) {
            ASSERT_EQ(chunks.error(), HOST_PACKET);
            continue;
        }
        ++planned;
        expect_well_formed(*chunks, true, tile, tile_address, host_offset, bytes);
        if (HasFatalFailure()) {
            FAIL() << "tile " << tile << " address " << tile_address << " offset " << host_offset
                   << " bytes " << bytes;
        }
    }
    EXPECT_GT(planned, 1000);
}

TEST(HostPlan, DebugForm) {
    EXPECT_EQ(to_string(HostTransferChunk{0x50000, 4, 32, HostPacketHeader{1, 2}}),
              "HostTransferChunk { tile_address: 327680, host_offset: 4, bytes: 32, header: "
              "HostPacketHeader { word0: 1, word1: 2 } }");
}

} // namespace
} // namespace tarnwick::exchange
