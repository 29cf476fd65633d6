#pragma once

// Host operation programs: the small exchange programs that tiles run to serve a host read or
// write (the exchange request of an xreq tile, the header and payload sends of a target tile, the
// command read of tile 0), together with the packet words they send, and the wrappers that put the
// host link on the tile's incoming multiplexer around an operation.
//
// Tiles are physical tile numbers. A program's packet words must be stored by the caller at the
// program's packet address, from where the program sends them.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/host_plan.hpp"

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

namespace tarnwick::exchange {

// The result of every host program assembler.
struct TileToHostProgram {
    std::vector<std::uint32_t> instructions; // ends with RETURN_INSTRUCTION
    std::vector<std::uint32_t> packet_words; // stored at the packet address, sent by the program

    friend bool operator==(const TileToHostProgram&, const TileToHostProgram&) = default;
};

// Sync zone 0: closes the sends of every target program and the request of the command read.
inline constexpr std::uint32_t HOST_SYNC_ZONE0_INSTRUCTION = 0x41800000;
// Special registers written from m8: the incoming multiplexer and the incoming data count.
inline constexpr std::uint8_t HOST_INCOMING_MUX_SPECIAL = 0xA0;
inline constexpr std::uint8_t HOST_INCOMING_DCOUNT_SPECIAL = 0xA6;
// The send direction of every host program send.
inline constexpr std::uint32_t HOST_SEND_DIRECTION = 3;
// The payload send of a tile-to-host packet and the delay after it last at least this many cycles.
inline constexpr std::uint32_t TILE_TO_HOST_MIN_PAYLOAD_CYCLES = 18;
// Every packet address is a multiple of this many bytes.
inline constexpr std::uint32_t HOST_PACKET_ALIGNMENT = 8;
// Bitmap positions of the two-word exchange request: 24 in the first word, 32 in the second.
inline constexpr std::uint32_t HOST_XREQ_FIRST_WORD_POSITIONS = 24;
inline constexpr std::uint32_t HOST_XREQ_MAX_BITMAP_INDEX = 55;

// The bitmap position of a target tile in the exchange request: two per row of 64 tiles, one for
// each member of a pair.
[[nodiscard]] constexpr std::uint32_t host_xreq_bitmap_index(std::uint16_t target_physical_tile) noexcept {
    const std::uint32_t tile = target_physical_tile;
    return 2 * (tile >> 6) + ((tile >> 1) & 1u);
}

// The exchange request for one target tile.
[[nodiscard]] Result<TileToHostProgram> assemble_host_xreq_program(std::uint16_t target_physical_tile,
                                                                   std::uint32_t packet_address);

// The exchange request for several target tiles: one send of the two bitmap words.
[[nodiscard]] Result<TileToHostProgram>
assemble_host_xreq_program_for_targets(std::span<const std::uint16_t> target_physical_tiles,
                                       std::uint32_t packet_address);

// The target program of a host-to-tile transfer: sets the incoming data count and sends all
// packet headers as one stream.
[[nodiscard]] Result<TileToHostProgram>
assemble_host_to_tile_target_program(std::uint16_t physical_tile, std::uint32_t tile_address,
                                     std::uint32_t host_offset, std::uint32_t bytes,
                                     std::uint32_t packet_address);

// The target program of a tile-to-host transfer: each packet's header and payload, then a
// zero-byte read aimed at `command_address` that closes the operation.
[[nodiscard]] Result<TileToHostProgram>
assemble_tile_to_host_target_program(std::uint16_t physical_tile, std::uint32_t tile_address,
                                     std::uint32_t host_offset, std::uint32_t bytes,
                                     std::uint32_t packet_address, std::uint32_t command_address);

// The instruction words of a tile-to-host target program whose headers lie at `packet_address`
// (8 bytes per chunk) and whose closing packet lies at `close_address`.
[[nodiscard]] Result<std::vector<std::uint32_t>>
tile_to_host_target_instructions(std::span<const HostTransferChunk> chunks,
                                 std::uint32_t packet_address, std::uint32_t close_address);

// A program for physical tile 0 that requests 4 bytes from host offset `host_offset` into
// `destination_address` and then sends the word found there.
[[nodiscard]] Result<TileToHostProgram>
assemble_host_command_read_program(std::uint32_t packet_address, std::uint32_t destination_address,
                                   std::uint32_t host_offset);

// Appends SYNC_ALL_INSTRUCTION and the restore of the neutral incoming multiplexer.
void append_local_host_completion(std::vector<std::uint32_t>& instructions);

// Wraps an xreq operation: host link on the multiplexer, SYNC_HOST_INSTRUCTION, the operation,
// completion.
[[nodiscard]] Result<std::vector<std::uint32_t>>
wrap_host_xreq_operation(std::uint16_t physical_tile, std::span<const std::uint32_t> operation);

// Wraps a target operation as above, entering with SYNC_ALL_INSTRUCTION.
[[nodiscard]] Result<std::vector<std::uint32_t>>
wrap_host_target_operation(std::uint16_t physical_tile, std::span<const std::uint32_t> operation);

// Wraps a target operation of a tile that issues its own exchange request: the xreq packet at
// `xreq_packet_address` leaves after the operation's first two words.
[[nodiscard]] Result<std::vector<std::uint32_t>>
wrap_combined_host_operation(std::uint16_t physical_tile, std::span<const std::uint32_t> operation,
                             std::uint32_t xreq_packet_address);

std::ostream& operator<<(std::ostream& out, const TileToHostProgram& program);
[[nodiscard]] std::string to_string(const TileToHostProgram& program);

} // namespace tarnwick::exchange
