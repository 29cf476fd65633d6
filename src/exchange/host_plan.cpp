#include "tarnwick/exchange/host_plan.hpp"

#include "exchange/host_plan_loop.hpp"
#include "tarnwick/debug.hpp"

#include <ostream>

namespace tarnwick::exchange {

Result<std::vector<HostTransferChunk>> plan_host_to_tile(std::uint16_t physical_tile,
                                                         std::uint32_t tile_address,
                                                         std::uint32_t host_offset,
                                                         std::uint32_t bytes) {
    if (bytes == 0 || bytes % HOST_SHORT_UNIT_BYTES != 0 ||
        tile_address % HOST_EXCHANGE_GRANULE_BYTES != 0 || host_offset % HOST_SHORT_UNIT_BYTES != 0) {
        return fail(ExchangeError::HostPacket{});
    }
    return plan_host_transfer(
        tile_address, host_offset, bytes, HOST_TO_TILE_MAX_BYTES,
        [physical_tile](std::uint32_t chunk_address, std::uint32_t chunk_offset,
                        std::uint32_t chunk_bytes) {
            return host_to_tile_packet(physical_tile, chunk_address, chunk_offset, chunk_bytes);
        });
}

Result<std::vector<HostTransferChunk>> plan_tile_to_host(std::uint16_t physical_tile,
                                                         std::uint32_t tile_address,
                                                         std::uint32_t host_offset,
                                                         std::uint32_t bytes) {
    if (bytes == 0 || bytes % HOST_SHORT_UNIT_BYTES != 0 || tile_address % 4 != 0 ||
        host_offset % HOST_SHORT_UNIT_BYTES != 0) {
        return fail(ExchangeError::HostPacket{});
    }
    return plan_host_transfer(
        tile_address, host_offset, bytes, TILE_TO_HOST_MAX_BYTES,
        [physical_tile](std::uint32_t, std::uint32_t chunk_offset, std::uint32_t chunk_bytes) {
            return tile_to_host_packet(physical_tile, chunk_offset, chunk_bytes);
        });
}

std::ostream& operator<<(std::ostream& out, const HostTransferChunk& chunk) {
    debug::Struct(out, "HostTransferChunk")
        .field("tile_address", chunk.tile_address)
        .field("host_offset", chunk.host_offset)
        .field("bytes", chunk.bytes)
        .field("header", chunk.header)
        .finish();
    return out;
}

std::string to_string(const HostTransferChunk& chunk) { return debug::to_string(chunk); }

} // namespace tarnwick::exchange
