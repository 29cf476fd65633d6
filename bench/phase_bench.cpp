// Whole exchange phases through the phase program builder: every transfer is resolved, placed at
// its earliest offset from 0, appended there, and the phase is finished (every tile's program
// encoded, decoded again and checked against its schedule). Each iteration builds the whole phase.

#include "tarnwick/exchange/phase.hpp"

#include "phases.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using tarnwick::bench::v600;
using tarnwick::exchange::PhaseProgramBuilder;
using tarnwick::exchange::PhysicalTransfer;

void stop(const char* what) { tarnwick::bench::stop("phase", what); }

// One phase: resolve, search, append and finish.
void run_phase(const std::vector<PhysicalTransfer>& transfers) {
    PhaseProgramBuilder builder(tarnwick::bench::TILES);
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
void BM_NeighbourShift(benchmark::State& state) { run(state, tarnwick::bench::neighbour_shift()); }
BENCHMARK(BM_NeighbourShift)->Unit(benchmark::kMillisecond);

// (b) Streams of 64 words from distinct tiles into tile 0, at consecutive addresses.
void BM_Gather(benchmark::State& state) {
    run(state, tarnwick::bench::gather(static_cast<std::uint16_t>(state.range(0))));
}
BENCHMARK(BM_Gather)->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);

// (c) 92 senders, each multicasting 128 words to the 16 tiles after it.
void BM_Multicast(benchmark::State& state) { run(state, tarnwick::bench::multicast()); }
BENCHMARK(BM_Multicast)->Unit(benchmark::kMillisecond);

// (d) 368 paired 64-bit transfers of 128 words.
void BM_Paired(benchmark::State& state) { run(state, tarnwick::bench::paired()); }
BENCHMARK(BM_Paired)->Unit(benchmark::kMillisecond);

} // namespace
