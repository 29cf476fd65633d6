#pragma once

// The exchange phases the benchmarks build, on the V600: the same shapes are timed whole (phase
// benchmark) and split into finish and verification (verify benchmark).

#include "tarnwick/exchange/transfer.hpp"
#include "tarnwick/topology.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace tarnwick::bench {

using exchange::PhysicalTransfer;
using exchange::TransferWidth;

inline constexpr std::uint16_t TILES = 1472;

inline const topology::Topology& v600() {
    static const topology::Topology topology = topology::Topology::v600();
    return topology;
}

// A benchmark's phase must build; anything else is a fault worth stopping for.
[[noreturn]] inline void stop(const char* benchmark, const char* what) {
    std::fprintf(stderr, "%s benchmark: %s failed\n", benchmark, what);
    std::abort();
}

// (a) Every logical tile sends 256 words to the next logical tile.
inline std::vector<PhysicalTransfer> neighbour_shift() {
    std::vector<PhysicalTransfer> transfers;
    for (std::uint16_t tile = 0; tile < TILES; ++tile) {
        const auto next = static_cast<std::uint16_t>((tile + 1) % TILES);
        transfers.push_back({tile, {0x50000}, {{next, 0x60000}}, 256, TransferWidth::Word32});
    }
    return transfers;
}

// (b) Streams of 64 words from distinct tiles into tile 0, at consecutive addresses.
inline std::vector<PhysicalTransfer> gather(std::uint16_t streams) {
    std::vector<PhysicalTransfer> transfers;
    for (std::uint16_t stream = 0; stream < streams; ++stream) {
        const auto sender = static_cast<std::uint16_t>(1 + stream * 5);
        transfers.push_back({sender,
                             {0x50000},
                             {{0, static_cast<std::uint32_t>(0x40000 + stream * 64 * 4)}},
                             64,
                             TransferWidth::Word32});
    }
    return transfers;
}

// (c) 92 senders, each multicasting 128 words to the 16 tiles after it.
inline std::vector<PhysicalTransfer> multicast() {
    std::vector<PhysicalTransfer> transfers;
    for (std::uint16_t group = 0; group < 92; ++group) {
        const auto sender = static_cast<std::uint16_t>(group * 16);
        PhysicalTransfer transfer{sender, {0x50000}, {}, 128, TransferWidth::Word32};
        for (std::uint16_t receiver = 1; receiver <= 16; ++receiver) {
            transfer.destinations.emplace_back(
                static_cast<std::uint16_t>((sender + receiver) % TILES), 0x60000);
        }
        transfers.push_back(std::move(transfer));
    }
    return transfers;
}

// (d) 368 paired 64-bit transfers of 128 words: tile 4k sends (its partner 4k + 1 reserved) to the
// pair 4k + 2, 4k + 3.
inline std::vector<PhysicalTransfer> paired() {
    std::vector<PhysicalTransfer> transfers;
    for (std::uint16_t group = 0; group < 368; ++group) {
        const auto sender = static_cast<std::uint16_t>(group * 4);
        transfers.push_back({sender,
                             {0x50000},
                             {{static_cast<std::uint16_t>(sender + 2), 0x60000},
                              {static_cast<std::uint16_t>(sender + 3), 0x60000}},
                             128,
                             TransferWidth::Paired64});
    }
    return transfers;
}

} // namespace tarnwick::bench
