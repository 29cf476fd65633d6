#pragma once

// Host transfer planning: cuts a transfer between host memory and one tile into packets that
// respect the host page size, the alignment of the two packet size classes and the largest packet
// of the direction, each with its header.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/host_packet.hpp"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace tarnwick::exchange {

// One packet of a planned transfer. Consecutive chunks are contiguous on both sides.
struct HostTransferChunk {
    std::uint32_t tile_address = 0; // tile byte address of the chunk's first byte
    std::uint32_t host_offset = 0;  // host byte offset of the chunk's first byte
    std::uint32_t bytes = 0;        // payload length
    HostPacketHeader header;        // the header of exactly this chunk

    friend constexpr bool operator==(const HostTransferChunk&, const HostTransferChunk&) = default;
};

// No chunk crosses a host page boundary.
inline constexpr std::uint32_t HOST_PAGE_BYTES = 4096;
// Largest chunk of each direction.
inline constexpr std::uint32_t HOST_TO_TILE_MAX_BYTES = 1024;
inline constexpr std::uint32_t TILE_TO_HOST_MAX_BYTES = 256;
// Chunk size while the host offset is not 64-byte aligned and more than 60 bytes are available.
inline constexpr std::uint32_t HOST_UNALIGNED_STEP_BYTES = 32;

// The chunks of a host-to-tile transfer of `bytes` bytes from host offset `host_offset` into
// tile memory at `tile_address`; each header is `host_to_tile_packet` of its chunk.
[[nodiscard]] Result<std::vector<HostTransferChunk>>
plan_host_to_tile(std::uint16_t physical_tile, std::uint32_t tile_address, std::uint32_t host_offset,
                  std::uint32_t bytes);

// The chunks of a tile-to-host transfer of `bytes` bytes from tile memory at `tile_address` to
// host offset `host_offset`; each header is `tile_to_host_packet` of its chunk.
[[nodiscard]] Result<std::vector<HostTransferChunk>>
plan_tile_to_host(std::uint16_t physical_tile, std::uint32_t tile_address, std::uint32_t host_offset,
                  std::uint32_t bytes);

std::ostream& operator<<(std::ostream& out, const HostTransferChunk& chunk);
[[nodiscard]] std::string to_string(const HostTransferChunk& chunk);

} // namespace tarnwick::exchange
