// Whole exchange phases through the phase program builder: every transfer is resolved, placed at
// its earliest offset from 0, appended there, and the phase is finished (every tile's program
// encoded, decoded again and checked against its schedule). Each iteration builds the whole phase.

#include "tarnwick/exchange/phase.hpp"
#include "tarnwick/exchange/transfer.hpp"
#include "tarnwick/topology.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <vector>

namespace {

using tarnwick::exchange::PhaseProgramBuilder;
using tarnwick::exchange::PhysicalTransfer;
using tarnwick::exchange::TransferWidth;

const tarnwick::topology::Topology& v600() {
    static const tarnwick::topology::Topology topology = tarnwick::topology::Topology::v600();
    return topology;
}

constexpr std::uint16_t TILES = 1472;

void stop(const char* what) {
    std::cerr << "phase benchmark: " << what << " failed\n";
    std::abort();
}

// One phase: resolve, search, append and finish.
void run_phase(const std::vector<PhysicalTransfer>& transfers) {
    PhaseProgramBuilder builder(TILES);
    for (const PhysicalTransfer& physical : transfers) {
        const auto transfer = physical.resolve(v600(), std::nullopt);
        if (!transfer) {
            stop("resolve");
        }
        const auto offset = builder.earliest_transfer_offset(*transfer, 0);
        if (!offset) {
            stop("earliest_transfer_offset");
        }
        if (!builder.append_transfer_at(*transfer, *offset)) {
            stop("append_transfer_at");
        }
    }
    auto programs = std::move(builder).finish();
    if (!programs) {
        stop("finish");
    }
    benchmark::DoNotOptimize(programs);
}

void run(benchmark::State& state, const std::vector<PhysicalTransfer>& transfers) {
    for (auto _ : state) {
        run_phase(transfers);
    }
    state.counters["transfers"] = static_cast<double>(transfers.size());
    state.counters["per_transfer"] = benchmark::Counter(
        static_cast<double>(transfers.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// (a) Every logical tile sends 256 words to the next logical tile.
void BM_NeighbourShift(benchmark::State& state) {
    std::vector<PhysicalTransfer> transfers;
    for (std::uint16_t tile = 0; tile < TILES; ++tile) {
        const auto next = static_cast<std::uint16_t>((tile + 1) % TILES);
        transfers.push_back({tile, {0x50000}, {{next, 0x60000}}, 256, TransferWidth::Word32});
    }
    run(state, transfers);
}
BENCHMARK(BM_NeighbourShift)->Unit(benchmark::kMillisecond);

// (b) Streams of 64 words from distinct tiles into tile 0, at consecutive addresses.
void BM_Gather(benchmark::State& state) {
    const auto streams = static_cast<std::uint16_t>(state.range(0));
    std::vector<PhysicalTransfer> transfers;
    for (std::uint16_t stream = 0; stream < streams; ++stream) {
        const auto sender = static_cast<std::uint16_t>(1 + stream * 5);
        transfers.push_back({sender,
                             {0x50000},
                             {{0, static_cast<std::uint32_t>(0x40000 + stream * 64 * 4)}},
                             64,
                             TransferWidth::Word32});
    }
    run(state, transfers);
}
BENCHMARK(BM_Gather)->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);

// (c) 92 senders, each multicasting 128 words to the 16 tiles after it.
void BM_Multicast(benchmark::State& state) {
    std::vector<PhysicalTransfer> transfers;
    for (std::uint16_t group = 0; group < 92; ++group) {
        const auto sender = static_cast<std::uint16_t>(group * 16);
        PhysicalTransfer transfer{sender, {0x50000}, {}, 128, TransferWidth::Word32};
        for (std::uint16_t receiver = 1; receiver <= 16; ++receiver) {
            transfer.destinations.emplace_back(static_cast<std::uint16_t>((sender + receiver) % TILES),
                                               0x60000);
        }
        transfers.push_back(std::move(transfer));
    }
    run(state, transfers);
}
BENCHMARK(BM_Multicast)->Unit(benchmark::kMillisecond);

// (d) 368 paired 64-bit transfers of 128 words: tile 4k sends (its partner 4k + 1 reserved) to the
// pair 4k + 2, 4k + 3.
void BM_Paired(benchmark::State& state) {
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
    run(state, transfers);
}
BENCHMARK(BM_Paired)->Unit(benchmark::kMillisecond);

} // namespace
