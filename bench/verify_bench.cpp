// The physical check of a finished phase against the cost of finishing it. Each phase is built
// once (resolved, placed at its earliest offsets, appended); then `finish` (every tile's program
// encoded, decoded again and checked against its schedule) and `verify_phase` (every program
// replayed against the route timing model) are timed on their own. `verify_phase` must cost no
// more than `finish`.

#include "tarnwick/exchange/phase.hpp"
#include "tarnwick/exchange/verify.hpp"

#include "phases.hpp"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

using tarnwick::bench::TILES;
using tarnwick::bench::v600;
using tarnwick::exchange::PhaseProgramBuilder;
using tarnwick::exchange::PhysicalTransfer;
using tarnwick::exchange::PlacedTransfer;

void stop(const char* what) { tarnwick::bench::stop("verify", what); }

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

const BuiltPhase& neighbour_shift() {
    static const BuiltPhase phase = place(tarnwick::bench::neighbour_shift());
    return phase;
}

const BuiltPhase& multicast() {
    static const BuiltPhase phase = place(tarnwick::bench::multicast());
    return phase;
}

const BuiltPhase& paired() {
    static const BuiltPhase phase = place(tarnwick::bench::paired());
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
