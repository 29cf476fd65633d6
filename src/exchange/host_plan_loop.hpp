#pragma once

// The planning loop shared by both host transfer directions.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/host_packet.hpp"
#include "tarnwick/exchange/host_plan.hpp"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <limits>
#include <vector>

namespace tarnwick::exchange {

// Builds the header of one chunk from (tile address, host offset, byte count).
template <class F>
concept HostHeaderBuilder = std::invocable<const F&, std::uint32_t, std::uint32_t, std::uint32_t> &&
                            std::same_as<std::invoke_result_t<const F&, std::uint32_t, std::uint32_t,
                                                              std::uint32_t>,
                                         Result<HostPacketHeader>>;

// Cuts `bytes` bytes into chunks: a 64-aligned host offset with at least 64 bytes available takes
// the largest multiple of 64 up to `long_max_bytes`; 60 bytes or fewer go in one short chunk;
// otherwise the planner steps 32 bytes until the host offset is 64-aligned. No chunk crosses a
// host page. The first error ends planning.
template <HostHeaderBuilder Builder>
[[nodiscard]] Result<std::vector<HostTransferChunk>>
plan_host_transfer(std::uint32_t tile_address, std::uint32_t host_offset, std::uint32_t bytes,
                   std::uint32_t long_max_bytes, const Builder& build_header) {
    std::vector<HostTransferChunk> chunks;
    while (bytes != 0) {
        const std::uint32_t page_bytes = HOST_PAGE_BYTES - (host_offset & (HOST_PAGE_BYTES - 1));
        const std::uint32_t available = std::min(bytes, page_bytes);
        std::uint32_t count = 0;
        if (host_offset % HOST_LONG_UNIT_BYTES == 0 && available >= HOST_LONG_MIN_BYTES) {
            count = std::min(available, long_max_bytes) / HOST_LONG_UNIT_BYTES * HOST_LONG_UNIT_BYTES;
        } else if (available <= HOST_SHORT_MAX_BYTES) {
            count = available;
        } else {
            count = HOST_UNALIGNED_STEP_BYTES;
        }
        if (count == 0) {
            // Only a long maximum below one long unit could get here; no caller passes one.
            return fail(ExchangeError::HostPacket{});
        }
        const auto header = build_header(tile_address, host_offset, count);
        if (!header) {
            return fail(header.error());
        }
        chunks.push_back(HostTransferChunk{tile_address, host_offset, count, *header});
        constexpr std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
        if (tile_address > max - count || host_offset > max - count) {
            return fail(ExchangeError::HostPacket{});
        }
        tile_address += count;
        host_offset += count;
        bytes -= count;
    }
    return chunks;
}

} // namespace tarnwick::exchange
