#pragma once

// The tile layout of the V600 card and the timing of the exchange fabric between its tiles.
//
// Callers name tiles by logical number (0..1471); the route arithmetic, instruction operands and
// host packets use physical numbers. A physical V600 tile number reads as bit fields:
//
//   bits 1..0   lane bits: bit 1 is bit 0 of the logical number, bit 0 the parity of its block
//   bits 5..2   raw column group 0..15 (8..15 mirror 7..0 on the other half of the card)
//   bit  5      the half of the card
//   bits 10..6  row 0..22
//
// Tiles whose physical numbers differ only in bit 1 (number XOR 2) form a pair.
//
// The free functions are pure integer arithmetic on physical numbers. Every intermediate value is
// masked to a few bits first, so they are total on all u32 inputs and never overflow.

#include "tarnwick/error.hpp"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace tarnwick::topology {

// Number of tiles of the V600 card.
inline constexpr std::uint16_t V600_TILE_COUNT = 1472;

// The physical number of V600 logical tile `logical` (meaningful for logical < 1472).
//
// 46 consecutive logical tiles (23 pairs) make a block; blocks 2k and 2k + 1 share column group
// k, the even block taking lane-bit patterns 0 and 2, the odd one 1 and 3. Odd blocks run their
// rows in the opposite order.
[[nodiscard]] constexpr std::uint16_t v600_logical_to_physical(std::uint16_t logical) noexcept {
    const unsigned pair = logical / 2u;
    const unsigned lane = logical % 2u;
    const unsigned block = pair / 23u;
    unsigned row = pair % 23u;
    if (block % 2u == 1u) {
        row = 22u - row;
    }
    const unsigned column = (block / 2u) * 4u + (block % 2u);
    return static_cast<std::uint16_t>(row * 64u + column + lane * 2u);
}

namespace detail {

// The raw column group of a physical tile (bits 5..2).
[[nodiscard]] constexpr std::int32_t raw_column(std::uint32_t tile) noexcept {
    return static_cast<std::int32_t>((tile >> 2) & 0xFu);
}

// Raw values r and 15 - r, one on each half of the card, share a column.
[[nodiscard]] constexpr std::int32_t column_of(std::int32_t raw) noexcept {
    return raw > 7 ? (raw ^ 0xF) : raw;
}

// Four times the column of a raw value.
[[nodiscard]] constexpr std::int32_t edge_of(std::int32_t raw) noexcept {
    return raw > 7 ? ((raw * 4) ^ 0x3C) : raw * 4;
}

} // namespace detail

// The signed route displacement from `source` to `destination` (physical tiles). On the V600 it
// lies in -47..47; its sign chooses the send direction.
[[nodiscard]] constexpr std::int32_t route_displacement(std::uint32_t source,
                                                        std::uint32_t destination) noexcept {
    const std::int32_t source_raw = detail::raw_column(source);
    const std::int32_t destination_raw = detail::raw_column(destination);
    const std::int32_t source_column = detail::column_of(source_raw);
    const std::int32_t destination_column = detail::column_of(destination_raw);
    const std::int32_t source_mux =
        source_column + ((source_raw >> 3) ^ static_cast<std::int32_t>(source & 1u));
    const std::int32_t base = (destination_column - source_mux) * 6;
    const auto destination_lane = static_cast<std::int32_t>(destination & 3u);
    const std::int32_t destination_half = destination_raw >> 3;
    if (destination_lane >= 2) {
        return destination_half == static_cast<std::int32_t>(destination & 1u) ? base + 2
                                                                               : base + 4;
    }
    return destination_half == destination_lane ? base + 1 : base + 5;
}

// The send control of a send from `source` to `destination`: 1 for a positive displacement,
// otherwise 2.
[[nodiscard]] constexpr std::uint32_t direction(std::uint32_t source,
                                                std::uint32_t destination) noexcept {
    return route_displacement(source, destination) > 0 ? 1u : 2u;
}

// The relative time, in cycles, at which a word sent by `source` reaches the incoming multiplexer
// of `destination`. A sender whose first send issues 112 - time_to_mux cycles after its sync
// delivers the word at the same cycle for every pair. On the V600 it lies in -78..112 for
// distinct tiles.
[[nodiscard]] constexpr std::int32_t time_to_mux(std::uint32_t source,
                                                 std::uint32_t destination) noexcept {
    const std::int32_t source_raw = detail::raw_column(source);
    const std::int32_t destination_raw = detail::raw_column(destination);
    const auto source_low = static_cast<std::int32_t>((source >> 2) & 7u);
    const std::int32_t displacement = route_displacement(source, destination);
    const std::int32_t source_edge = detail::edge_of(source_raw);
    const std::int32_t destination_edge = detail::edge_of(destination_raw);
    const auto local = static_cast<std::int32_t>(((source >> 2) & 8u) | ((source >> 3) & 3u));
    const std::int32_t crossing = local - destination_raw + ((source_low >> 1) ^ 3);
    const bool same_region = ((source >> 5) & 1u) == ((destination >> 5) & 1u);
    const std::int32_t turn = same_region ? source_low + 1 : 16 - source_low;
    const std::int32_t group_delta = (static_cast<std::int32_t>((source >> 6) & 0x1Fu) -
                                      static_cast<std::int32_t>((destination >> 6) & 0x1Fu)) *
                                     2;
    const std::int32_t magnitude = displacement < 0 ? -displacement : displacement;
    return crossing + source_edge + turn - destination_edge + group_delta + magnitude - 34;
}

// The time by which a word from `source` has reached both tiles of the pair of `destination`.
[[nodiscard]] constexpr std::int32_t paired_time_to_mux(std::uint32_t source,
                                                        std::uint32_t destination) noexcept {
    const std::int32_t local = time_to_mux(source, destination);
    const std::int32_t partner = time_to_mux(source, destination ^ 2u);
    return local > partner ? local : partner;
}

// The logical-to-physical table of a card. Built once and shared read-only by every assembly
// operation.
struct Topology {
    // Indexed by logical tile number, holding the physical tile number.
    std::vector<std::uint16_t> logical_to_physical;

    // The V600 table: entry l is v600_logical_to_physical(l) for l = 0..1471.
    [[nodiscard]] static Topology v600();

    [[nodiscard]] std::size_t tile_count() const noexcept { return logical_to_physical.size(); }

    // The physical number of `logical`, or Tile(logical) when it is not below the tile count.
    [[nodiscard]] Result<std::uint16_t> physical(std::uint16_t logical) const noexcept;

    // The logical number of the tile whose physical number is physical(logical) XOR 2; the first
    // matching entry is taken. Fails with Tile(logical) when `logical` is out of range or no entry
    // holds the partner.
    [[nodiscard]] Result<std::uint16_t> paired_logical(std::uint16_t logical) const noexcept;

    // Whether a word from the sender reaches this receiver's multiplexer strictly earlier than it
    // reaches its pair partner's. The receiver is looked up first.
    [[nodiscard]] Result<bool>
    paired_receiver_is_early(std::uint16_t receiver_logical,
                             std::uint16_t sender_logical) const noexcept;

    friend bool operator==(const Topology&, const Topology&) = default;
};

// `Topology { logical_to_physical: [0, 2, 64, ...] }`
std::ostream& operator<<(std::ostream& out, const Topology& topology);
[[nodiscard]] std::string to_string(const Topology& topology);

} // namespace tarnwick::topology
