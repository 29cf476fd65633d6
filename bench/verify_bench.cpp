// The physical check of a finished phase against the cost of finishing it. Each phase is built
// once (resolved, placed at its earliest offsets, appended); then `finish` (every tile's program
// encoded, decoded again and checked against its schedule) and `verify_phase` (every program
// replayed against the route timing model) are timed on their own. `verify_phase` must cost no
// more than `finish`.

#include "tarnwick/exchange/phase.hpp"
#include "tarnwick/exchange/transfer.hpp"
#include "tarnwick/exchange/verify.hpp"
#include "tarnwick/topology.hpp"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <utility>
#include <vector>

namespace {

using tarnwick::exchange::PhaseProgramBuilder;
using tarnwick::exchange::PhysicalTransfer;
using tarnwick::exchange::PlacedTransfer;
using tarnwick::exchange::TransferWidth;

const tarnwick::topology::Topology& v600() {
    static const tarnwick::topology::Topology topology = tarnwick::topology::Topology::v600();
    return topology;
}

constexpr std::uint16_t TILES = 1472;

void stop(const char* what) {
    std::cerr << "verify benchmark: " << what << " failed\n";
    std::abort();
}

struct BuiltPhase {
    PhaseProgramBuilder builder{TILES};
    std::vector<PlacedTransfer> placed;
};

BuiltPhase place(const std::vector<PhysicalTransfer>& transfers) {
    BuiltPhase phase;
    for (const PhysicalTransfer& physical : transfers) {
        auto transfer = physical.resolve(v600(), std::nullopt);
        if (!transfer) {
            stop("resolve");
        }
        const auto offset = phase.builder.earliest_transfer_offset(*transfer, 0);
        if (!offset) {
            stop("earliest_transfer_offset");
        }
        if (!phase.builder.append_transfer_at(*transfer, *offset)) {
            stop("append_transfer_at");
        }
        phase.placed.push_back(PlacedTransfer{std::move(*transfer), *offset});
    }
    return phase;
}

// Every logical tile sends 256 words to the next logical tile.
const BuiltPhase& neighbour_shift() {
    static const BuiltPhase phase = [] {
        std::vector<PhysicalTransfer> transfers;
        for (std::uint16_t tile = 0; tile < TILES; ++tile) {
            const auto next = static_cast<std::uint16_t>((tile + 1) % TILES);
            transfers.push_back({tile, {0x50000}, {{next, 0x60000}}, 256, TransferWidth::Word32});
        }
        return place(transfers);
    }();
    return phase;
}

// 92 senders, each multicasting 128 words to the 16 tiles after it.
const BuiltPhase& multicast() {
    static const BuiltPhase phase = [] {
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
        return place(transfers);
    }();
    return phase;
}

// 368 paired 64-bit transfers of 128 words: tile 4k sends to the pair 4k + 2, 4k + 3.
const BuiltPhase& paired() {
    static const BuiltPhase phase = [] {
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
        return place(transfers);
    }();
    return phase;
}

// `finish` consumes its builder, so each iteration finishes a copy made outside the timing.
void finish(benchmark::State& state, const BuiltPhase& phase) {
    for (auto _ : state) {
        state.PauseTiming();
        PhaseProgramBuilder builder = phase.builder;
        state.ResumeTiming();
        auto programs = std::move(builder).finish();
        if (!programs) {
            stop("finish");
        }
        benchmark::DoNotOptimize(programs);
        state.PauseTiming();
        programs = {};
        state.ResumeTiming();
    }
}

void verify(benchmark::State& state, const BuiltPhase& phase) {
    PhaseProgramBuilder builder = phase.builder;
    const auto programs = std::move(builder).finish();
    if (!programs) {
        stop("finish");
    }
    for (auto _ : state) {
        auto verification = tarnwick::exchange::verify_phase(v600(), phase.placed, *programs);
        if (!verification || !verification->holds()) {
            stop("verify_phase");
        }
        benchmark::DoNotOptimize(verification);
    }
}

void BM_NeighbourShiftFinish(benchmark::State& state) {
    finish(state, neighbour_shift());
}
void BM_NeighbourShiftVerify(benchmark::State& state) {
    verify(state, neighbour_shift());
}
void BM_MulticastFinish(benchmark::State& state) {
    finish(state, multicast());
}
void BM_MulticastVerify(benchmark::State& state) {
    verify(state, multicast());
}
void BM_PairedFinish(benchmark::State& state) {
    finish(state, paired());
}
void BM_PairedVerify(benchmark::State& state) {
    verify(state, paired());
}

BENCHMARK(BM_NeighbourShiftFinish)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NeighbourShiftVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MulticastFinish)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MulticastVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PairedFinish)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PairedVerify)->Unit(benchmark::kMicrosecond);

} // namespace
