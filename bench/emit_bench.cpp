// Code generation for every tile of a V600 program: 1,472 tiles of 200 steps each (exchange
// phases, kernel calls, and one repeat of 16 iterations with two iterated pointers and a patched
// exchange step).

#include "tarnwick/emit/emit.hpp"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <vector>

namespace {

using namespace tarnwick;
using namespace tarnwick::program;

constexpr std::uint16_t TILES = 1472;
constexpr std::uint32_t STEPS = 200;
constexpr std::uint32_t REPEAT_COUNT = 16;
constexpr std::uint32_t RET = 0x43A00000;

SymbolTable symbols() {
    return {
        {"tarnwick_static_worker_barrier", 0x50000},
        {"tarnwick_static_complete", 0x50004},
        {"tarnwick_static_host_run", 0x50008},
        {"tarnwick_static_repeat_call", 0x5000C},
        {"tarnwick_static_sample_cycle", 0x50010},
        {"tarnwick_static_patch_word", 0x50014},
        {"tarnwick_static_patch_row", 0x50018},
        {"tarnwick_static_copy_u16", 0x5001C},
        {"gemm", 0x51000},
        {"reduce", 0x51400},
        {"scale", 0x51800},
    };
}

ExchangeStep exchange(std::uint16_t tile, std::uint32_t& row_address, std::uint32_t index) {
    ExchangeStep step;
    step.active = (tile + index) % 4 != 0;
    step.incoming_base = 0x80000 + 0x100 * index;
    if (step.active) {
        step.incoming_mux = static_cast<std::uint16_t>((tile + 1) % TILES);
        step.program.words = {0x64008640, 0x782A03CB, 0x40A00007, 0x61800000, 0x782A03DB, RET};
    } else {
        step.program.words = {RET};
    }
    step.program.address = row_address;
    row_address += 4 * static_cast<std::uint32_t>(step.program.words.size());
    return step;
}

ComputeStep kernel(std::uint32_t index) {
    ComputeStep step;
    step.symbol = index % 3 == 0 ? "gemm" : (index % 3 == 1 ? "reduce" : "scale");
    step.output_address = TileAddress::Absolute{0x90000 + 0x40 * index};
    step.input_addresses = {TileAddress::Absolute{0x98000 + 0x40 * index},
                            TileAddress::Absolute{0x120000 + 0x40 * index}};
    step.arguments = {index, 64};
    return step;
}

TileProgram tile_program(std::uint16_t tile) {
    TileProgram program;
    program.tile = tile;
    std::uint32_t row_address = 0x60000;
    for (std::uint32_t i = 0; i + 1 < STEPS; ++i) {
        if (i % 2 == 0) {
            program.steps.emplace_back(exchange(tile, row_address, i));
        } else {
            program.steps.emplace_back(kernel(i));
        }
    }

    RepeatStep repeat;
    repeat.count = REPEAT_COUNT;
    repeat.iterated_pointers = {{0xA0000, 64}, {0x140000, 256}};
    ExchangeStep patched = exchange(tile, row_address, 1);
    patched.active = true;
    patched.program.words = {0x64008640, 0x782A03CB, 0x40A00007, RET};
    patched.program.address = row_address;
    row_address += 16;
    ExchangePatch patch;
    patch.word_offset = 1;
    patch.values.address = row_address;
    for (std::uint32_t k = 0; k < REPEAT_COUNT; ++k) {
        patch.values.words.push_back(0x782A03CB + 8 * k);
    }
    row_address += 4 * REPEAT_COUNT;
    patched.repeat_patches.push_back(patch);
    ComputeStep inner = kernel(7);
    inner.output_address = TileAddress::RepeatPointer{0, 0};
    inner.input_addresses = {TileAddress::RepeatPointer{1, 0x40}, TileAddress::Absolute{0x9F000}};
    repeat.body = {patched, inner};
    program.steps.emplace_back(std::move(repeat));
    return program;
}

void BM_EmitAllTiles(benchmark::State& state) {
    const SymbolTable table = symbols();
    std::vector<TileProgram> programs;
    programs.reserve(TILES);
    for (std::uint16_t tile = 0; tile < TILES; ++tile) {
        programs.push_back(tile_program(tile));
    }
    const HostProgram host;
    emit::CodegenOptions options;
    options.code_address = 0x4C000;
    options.invocations = 2;

    std::size_t bytes = 0;
    for (auto _ : state) {
        for (const TileProgram& program : programs) {
            auto generated = emit::emit(program, table, host, options);
            if (!generated) {
                state.SkipWithError("emission failed");
                return;
            }
            bytes += generated->bytes.size();
            benchmark::DoNotOptimize(generated);
        }
    }
    state.counters["tiles"] = TILES;
    state.counters["code_bytes_per_tile"] = benchmark::Counter(
        static_cast<double>(bytes) / (static_cast<double>(state.iterations()) * TILES));
}

BENCHMARK(BM_EmitAllTiles)->Unit(benchmark::kMillisecond);

} // namespace
