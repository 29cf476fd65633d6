#pragma once

// Host packet headers: the two words that open every packet travelling between host memory and a
// tile over the exchange, and the two facts that host programs derive from a physical tile number
// (the host-link multiplexer value and the tile that issues exchange requests for it).
//
// Tiles here are physical tile numbers; nothing consults a topology. Every failure is
// ExchangeError::HostPacket.

#include "tarnwick/error.hpp"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace tarnwick::exchange {

// The two header words, in the order in which they travel.
struct HostPacketHeader {
    std::uint32_t word0 = 0;
    std::uint32_t word1 = 0;

    friend constexpr bool operator==(const HostPacketHeader&, const HostPacketHeader&) = default;
};

// The size class of a packet: Short carries 4 to 60 bytes in 4-byte units, Long 64 to 1024 bytes
// in 64-byte units.
enum class HostPacketSize : std::uint8_t { Short = 0, Long = 1 };

// The tile that sends the exchange request to the host, and the tile whose memory is served.
struct HostHierarchy {
    std::uint16_t xreq_physical_tile = 0;
    std::uint16_t target_physical_tile = 0;

    friend constexpr bool operator==(const HostHierarchy&, const HostHierarchy&) = default;
};

// ---- format constants -------------------------------------------------------------------------

// Largest physical tile number a packet can name (12 bits).
inline constexpr std::uint16_t HOST_MAX_PHYSICAL_TILE = 4095;
// The host exchange window of tile memory: 16 KiB addressed in 32-byte granules (0 to 511).
inline constexpr std::uint32_t HOST_EXCHANGE_WINDOW_BEGIN = 0x50000;
inline constexpr std::uint32_t HOST_EXCHANGE_WINDOW_END = 0x54000; // exclusive
inline constexpr std::uint32_t HOST_EXCHANGE_GRANULE_BYTES = 32;
// Byte counts of the two size classes.
inline constexpr std::uint32_t HOST_SHORT_MIN_BYTES = 4;
inline constexpr std::uint32_t HOST_SHORT_MAX_BYTES = 60;
inline constexpr std::uint32_t HOST_SHORT_UNIT_BYTES = 4;
inline constexpr std::uint32_t HOST_LONG_MIN_BYTES = 64;
inline constexpr std::uint32_t HOST_LONG_MAX_BYTES = 1024;
inline constexpr std::uint32_t HOST_LONG_UNIT_BYTES = 64;
// Opcode bits of word0.
inline constexpr std::uint32_t HOST_TO_TILE_SHORT_BITS = 0xCC000200;
inline constexpr std::uint32_t HOST_TO_TILE_LONG_BITS = 0xEC000200;
inline constexpr std::uint32_t TILE_TO_HOST_SHORT_BITS = 0x80000000;
inline constexpr std::uint32_t TILE_TO_HOST_LONG_BITS = 0xA0000000;
// The two stream-end bits (27 and 26) of a host-to-tile word0. Bit 26 is shared with tile bit 11
// of the route part.
inline constexpr std::uint32_t HOST_TO_TILE_STREAM_END_BITS = 0x0C000000;
// The host multiplexer value is HOST_MUX_BASE plus the tile's position (tile AND mask); the same
// mask gives the xreq tile of a target.
inline constexpr std::uint32_t HOST_MUX_BASE = 0x600;
inline constexpr std::uint16_t HOST_POSITION_MASK = 0x3D;

// ---- operations -------------------------------------------------------------------------------

[[nodiscard]] constexpr Status validate_host_tile(std::uint16_t physical_tile) noexcept {
    if (physical_tile > HOST_MAX_PHYSICAL_TILE) {
        return fail(ExchangeError::HostPacket{});
    }
    return {};
}

// The route part of word0: tile bit 0 in bit 15, tile bits 1 to 11 in bits 16 to 26. Unchecked.
[[nodiscard]] constexpr std::uint32_t host_route_word0(std::uint16_t physical_tile) noexcept {
    const std::uint32_t tile = physical_tile;
    return ((tile >> 1) << 16) | ((tile & 1u) << 15);
}

// The route part of word1: tile bit 0 in bit 31. Unchecked.
[[nodiscard]] constexpr std::uint32_t host_route_word1(std::uint16_t physical_tile) noexcept {
    return (static_cast<std::uint32_t>(physical_tile) & 1u) << 31;
}

// Short when 4..60 bytes at a 4-aligned offset, else Long when 64..1024 bytes at a 64-aligned
// offset; anything else has no size class.
[[nodiscard]] constexpr Result<HostPacketSize> host_packet_size(std::uint32_t host_offset,
                                                                std::uint32_t bytes) noexcept {
    if (bytes >= HOST_SHORT_MIN_BYTES && bytes <= HOST_SHORT_MAX_BYTES &&
        host_offset % HOST_SHORT_UNIT_BYTES == 0 && bytes % HOST_SHORT_UNIT_BYTES == 0) {
        return HostPacketSize::Short;
    }
    if (bytes >= HOST_LONG_MIN_BYTES && bytes <= HOST_LONG_MAX_BYTES &&
        host_offset % HOST_LONG_UNIT_BYTES == 0 && bytes % HOST_LONG_UNIT_BYTES == 0) {
        return HostPacketSize::Long;
    }
    return fail(ExchangeError::HostPacket{});
}

// Bits 0 to 30 of word1: the host offset in units above a four-bit length in units (a Long packet
// of 1024 bytes has length 0). The offset and byte count must belong to the given size class: a
// count outside it would spill its length into the offset field, a misaligned offset or count
// would be truncated to a different packet.
[[nodiscard]] constexpr Result<std::uint32_t> host_address_length(std::uint32_t host_offset,
                                                                  std::uint32_t bytes,
                                                                  HostPacketSize size) noexcept {
    const bool is_long = size == HostPacketSize::Long;
    const std::uint32_t unit = is_long ? HOST_LONG_UNIT_BYTES : HOST_SHORT_UNIT_BYTES;
    const std::uint32_t minimum = is_long ? HOST_LONG_MIN_BYTES : HOST_SHORT_MIN_BYTES;
    const std::uint32_t maximum = is_long ? HOST_LONG_MAX_BYTES : HOST_SHORT_MAX_BYTES;
    if (bytes < minimum || bytes > maximum || bytes % unit != 0 || host_offset % unit != 0) {
        return fail(ExchangeError::HostPacket{});
    }
    const unsigned shift = is_long ? 6u : 2u;
    const std::uint32_t units = bytes >> shift;
    const std::uint32_t length = (is_long && bytes == HOST_LONG_MAX_BYTES) ? 0u : units;
    const std::uint64_t value =
        (static_cast<std::uint64_t>(host_offset >> shift) << 4) | static_cast<std::uint64_t>(length);
    if (value > 0x7FFFFFFFu) {
        return fail(ExchangeError::HostPacket{});
    }
    return static_cast<std::uint32_t>(value);
}

namespace detail {

// The granule number of a tile address inside the host exchange window.
[[nodiscard]] constexpr Result<std::uint32_t> host_exchange_address(std::uint32_t tile_address) noexcept {
    if (tile_address < HOST_EXCHANGE_WINDOW_BEGIN || tile_address % HOST_EXCHANGE_GRANULE_BYTES != 0 ||
        tile_address >= HOST_EXCHANGE_WINDOW_END) {
        return fail(ExchangeError::HostPacket{});
    }
    return (tile_address - HOST_EXCHANGE_WINDOW_BEGIN) / HOST_EXCHANGE_GRANULE_BYTES;
}

} // namespace detail

// The header of a packet that carries `bytes` bytes from host offset `host_offset` into tile
// memory at `tile_address` (inside the host exchange window, 32-byte aligned).
[[nodiscard]] constexpr Result<HostPacketHeader>
host_to_tile_packet(std::uint16_t physical_tile, std::uint32_t tile_address,
                    std::uint32_t host_offset, std::uint32_t bytes) noexcept {
    if (auto valid = validate_host_tile(physical_tile); !valid) {
        return fail(valid.error());
    }
    const auto exchange_address = detail::host_exchange_address(tile_address);
    if (!exchange_address) {
        return fail(exchange_address.error());
    }
    const auto size = host_packet_size(host_offset, bytes);
    if (!size) {
        return fail(size.error());
    }
    const auto address_length = host_address_length(host_offset, bytes, *size);
    if (!address_length) {
        return fail(address_length.error());
    }
    const std::uint32_t opcode =
        *size == HostPacketSize::Long ? HOST_TO_TILE_LONG_BITS : HOST_TO_TILE_SHORT_BITS;
    return HostPacketHeader{opcode | host_route_word0(physical_tile) | *exchange_address,
                            host_route_word1(physical_tile) | *address_length};
}

// The header of a packet that carries `bytes` bytes from the tile to host offset `host_offset`.
// It names no tile address: the tile sends the payload itself.
[[nodiscard]] constexpr Result<HostPacketHeader> tile_to_host_packet(std::uint16_t physical_tile,
                                                                     std::uint32_t host_offset,
                                                                     std::uint32_t bytes) noexcept {
    if (auto valid = validate_host_tile(physical_tile); !valid) {
        return fail(valid.error());
    }
    const auto size = host_packet_size(host_offset, bytes);
    if (!size) {
        return fail(size.error());
    }
    const auto address_length = host_address_length(host_offset, bytes, *size);
    if (!address_length) {
        return fail(address_length.error());
    }
    const std::uint32_t opcode =
        *size == HostPacketSize::Long ? TILE_TO_HOST_LONG_BITS : TILE_TO_HOST_SHORT_BITS;
    return HostPacketHeader{opcode | host_route_word0(physical_tile),
                            host_route_word1(physical_tile) | *address_length};
}

// A Short host-to-tile header of zero length at host offset 0, aimed at `dummy_tile_address`: the
// closing packet of a tile-to-host operation.
[[nodiscard]] constexpr Result<HostPacketHeader>
zero_byte_read_packet(std::uint16_t physical_tile, std::uint32_t dummy_tile_address) noexcept {
    if (auto valid = validate_host_tile(physical_tile); !valid) {
        return fail(valid.error());
    }
    const auto exchange_address = detail::host_exchange_address(dummy_tile_address);
    if (!exchange_address) {
        return fail(exchange_address.error());
    }
    return HostPacketHeader{HOST_TO_TILE_SHORT_BITS | host_route_word0(physical_tile) |
                                *exchange_address,
                            host_route_word1(physical_tile)};
}

// The incoming-multiplexer value with which the tile listens to the host link.
[[nodiscard]] constexpr Result<std::uint32_t> host_mux_for_tile(std::uint16_t physical_tile) noexcept {
    if (auto valid = validate_host_tile(physical_tile); !valid) {
        return fail(valid.error());
    }
    return HOST_MUX_BASE + (static_cast<std::uint32_t>(physical_tile) & HOST_POSITION_MASK);
}

// The xreq tile of a target: the tile of the lowest row at the target's position, with bit 1
// (the pair bit) cleared.
[[nodiscard]] constexpr Result<HostHierarchy> host_hierarchy(std::uint16_t target_physical_tile) noexcept {
    if (auto valid = validate_host_tile(target_physical_tile); !valid) {
        return fail(valid.error());
    }
    return HostHierarchy{static_cast<std::uint16_t>(target_physical_tile & HOST_POSITION_MASK),
                         target_physical_tile};
}

std::ostream& operator<<(std::ostream& out, const HostPacketHeader& header);
std::ostream& operator<<(std::ostream& out, HostPacketSize size);
std::ostream& operator<<(std::ostream& out, const HostHierarchy& hierarchy);
[[nodiscard]] std::string to_string(const HostPacketHeader& header);
[[nodiscard]] std::string to_string(HostPacketSize size);
[[nodiscard]] std::string to_string(const HostHierarchy& hierarchy);

} // namespace tarnwick::exchange
