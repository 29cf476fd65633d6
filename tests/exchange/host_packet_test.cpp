#include "tarnwick/exchange/host_packet.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tarnwick::exchange {
namespace {

constexpr ExchangeError HOST_PACKET = ExchangeError::HostPacket{};

// Reference headers, checked at compile time.
static_assert(*tile_to_host_packet(0, 64, 64) == HostPacketHeader{0xA0000000, 0x00000011});
static_assert(*host_to_tile_packet(0, 0x50120, 64, 64) == HostPacketHeader{0xEC000209, 0x00000011});
static_assert(*zero_byte_read_packet(2, 0x50180) == HostPacketHeader{0xCC01020C, 0x00000000});
static_assert(*tile_to_host_packet(1409, 64, 64) == HostPacketHeader{0xA2C08000, 0x80000011});
static_assert(host_route_word0(1409) == 1409u << 15);
static_assert(host_route_word0(4095) == 4095u << 15);
static_assert(host_route_word1(1409) == 0x80000000 && host_route_word1(1408) == 0);
static_assert(*host_mux_for_tile(116) == 0x634);
static_assert(*host_mux_for_tile(582) == 0x604);
static_assert(*host_mux_for_tile(1173) == 0x615);
static_assert(*host_hierarchy(260) == HostHierarchy{4, 260});
static_assert(*host_hierarchy(31) == HostHierarchy{29, 31});

struct HeaderCase {
    const char* name;
    Result<HostPacketHeader> actual;
    HostPacketHeader expected;
};

TEST(HostPacket, HeadersMatchTheirReferenceWords) {
    const HeaderCase cases[] = {
        {"smallest short", tile_to_host_packet(0, 4, 4), {0x80000000, 0x00000011}},
        {"largest short", tile_to_host_packet(0, 0, 60), {0x80000000, 0x0000000F}},
        {"1024 bytes encode length 0", tile_to_host_packet(0, 0x400, 1024), {0xA0000000, 0x00000100}},
        {"short at the last short offset", tile_to_host_packet(0, 0x1FFFFFFC, 4),
         {0x80000000, 0x7FFFFFF1}},
        {"long at the last long offset", tile_to_host_packet(0, 0xFFFFFFC0, 64),
         {0xA0000000, 0x3FFFFFF1}},
        {"last window granule", host_to_tile_packet(0, 0x53FE0, 0, 4), {0xCC0003FF, 0x00000001}},
        {"largest tile, bit 11 shares the stream-end bit", host_to_tile_packet(4095, 0x50000, 0, 4),
         {0xCC000200 | (4095u << 15), 0x80000001}},
        {"tile-to-host of the largest tile", tile_to_host_packet(4095, 0, 4),
         {0x80000000 | (4095u << 15), 0x80000001}},
        {"zero-byte read of an odd tile", zero_byte_read_packet(1409, 0x50000),
         {0xCC000200 | (1409u << 15), 0x80000000}},
    };
    for (const auto& [name, actual, expected] : cases) {
        ASSERT_TRUE(actual.has_value()) << name;
        EXPECT_EQ(*actual, expected) << name;
    }
}

TEST(HostPacket, SizeClassDoesNotFallBackBetweenAlignments) {
    EXPECT_EQ(host_packet_size(4, 60), HostPacketSize::Short);
    EXPECT_EQ(host_packet_size(64, 64), HostPacketSize::Long);
    EXPECT_EQ(host_packet_size(0, 1024), HostPacketSize::Long);
    EXPECT_EQ(host_packet_size(0, 60), HostPacketSize::Short);
    // A 64-byte multiple at an offset that is only 4-aligned is rejected, not split.
    EXPECT_EQ(host_packet_size(4, 64), fail(HOST_PACKET));
    EXPECT_EQ(host_packet_size(2, 4), fail(HOST_PACKET));
    EXPECT_EQ(host_packet_size(0, 0), fail(HOST_PACKET));
    EXPECT_EQ(host_packet_size(0, 1028), fail(HOST_PACKET));
    EXPECT_EQ(host_packet_size(0, 96), fail(HOST_PACKET));
}

TEST(HostPacket, RejectedInputsYieldHostPacket) {
    const Result<HostPacketHeader> rejected[] = {
        tile_to_host_packet(0, 2, 4),
        tile_to_host_packet(0, 0, 0),
        tile_to_host_packet(0, 0, 1028),
        tile_to_host_packet(0x1000, 0, 4),
        tile_to_host_packet(0xFFFF, 0, 4),
        tile_to_host_packet(0, 0x20000000, 4),
        host_to_tile_packet(0, 0x50124, 0x40, 64),
        host_to_tile_packet(0, 0x54000, 0x40, 64),
        host_to_tile_packet(0, 0x4FFE0, 0x40, 64),
        host_to_tile_packet(0x1000, 0x50000, 0x40, 64),
        host_to_tile_packet(0, 0x50000, 0x40, 6),
        zero_byte_read_packet(0, 0x50010),
        zero_byte_read_packet(0, 0x54000),
        zero_byte_read_packet(0, 0x4FFE0),
        zero_byte_read_packet(4096, 0x50000),
    };
    for (std::size_t i = 0; i < std::size(rejected); ++i) {
        EXPECT_EQ(rejected[i], fail(HOST_PACKET)) << "case " << i;
    }
    EXPECT_EQ(validate_host_tile(4096), fail(HOST_PACKET));
    EXPECT_TRUE(validate_host_tile(4095).has_value());
    EXPECT_EQ(host_mux_for_tile(4096), fail(HOST_PACKET));
    EXPECT_EQ(host_hierarchy(4096), fail(HOST_PACKET));
}

TEST(HostPacket, AddressLengthRejectsCountsOutsideTheGivenSizeClass) {
    EXPECT_EQ(host_address_length(64, 64, HostPacketSize::Long), 0x11u);
    EXPECT_EQ(host_address_length(64, 60, HostPacketSize::Short), 0x10Fu);
    EXPECT_EQ(host_address_length(0x1FFFFFFC, 4, HostPacketSize::Short), 0x7FFFFFF1u);
    EXPECT_EQ(host_address_length(0x20000000, 4, HostPacketSize::Short), fail(HOST_PACKET));
    // These would spill the length into the offset field or truncate the offset or count.
    EXPECT_EQ(host_address_length(0, 2000, HostPacketSize::Long), fail(HOST_PACKET));
    EXPECT_EQ(host_address_length(0, 64, HostPacketSize::Short), fail(HOST_PACKET));
    EXPECT_EQ(host_address_length(0, 32, HostPacketSize::Long), fail(HOST_PACKET));
    EXPECT_EQ(host_address_length(4, 64, HostPacketSize::Long), fail(HOST_PACKET));
    EXPECT_EQ(host_address_length(2, 4, HostPacketSize::Short), fail(HOST_PACKET));
    EXPECT_EQ(host_address_length(0, 6, HostPacketSize::Short), fail(HOST_PACKET));
}

TEST(HostPacket, DebugForms) {
    EXPECT_EQ(to_string(HostPacketHeader{1, 17}), "HostPacketHeader { word0: 1, word1: 17 }");
    EXPECT_EQ(to_string(HostPacketSize::Short), "Short");
    EXPECT_EQ(to_string(HostPacketSize::Long), "Long");
    EXPECT_EQ(to_string(HostHierarchy{4, 260}),
              "HostHierarchy { xreq_physical_tile: 4, target_physical_tile: 260 }");
}

} // namespace
} // namespace tarnwick::exchange
