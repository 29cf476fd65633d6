#pragma once

// Builders shared by the code generation tests.

#include "tarnwick/emit/emit.hpp"
#include "tarnwick/program.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::emit::testing {

using namespace tarnwick::program;
using Words = std::vector<std::uint32_t>;

inline constexpr std::uint32_t RET = 0x43A00000;
inline constexpr std::uint32_t SYNC = 0x41800003;
inline constexpr std::uint32_t CODE_ADDRESS = 0x52000;

// The runtime routines and the kernel "gemm" at the addresses the reference cases use.
inline SymbolTable case_symbols() {
    return {
        {"tarnwick_static_worker_barrier", 0x50000},
        {"tarnwick_static_complete", 0x50004},
        {"tarnwick_static_host_run", 0x50008},
        {"tarnwick_static_repeat_call", 0x5000C},
        {"tarnwick_static_sample_cycle", 0x50010},
        {"tarnwick_static_patch_word", 0x50014},
        {"gemm", 0x51000},
    };
}

inline CodegenOptions case_options() {
    CodegenOptions options;
    options.code_address = CODE_ADDRESS;
    return options;
}

inline ExchangeStep exchange_step(Words words, bool active, std::uint32_t address = 0x60000) {
    ExchangeStep step;
    step.active = active;
    step.program = {address, std::move(words)};
    return step;
}

inline ExchangeStep inactive_exchange() {
    return exchange_step({RET}, false);
}
inline ExchangeStep active_exchange_step() {
    return exchange_step({0, RET}, true);
}

inline ComputeStep kernel(std::string symbol, TileAddress output, std::vector<TileAddress> inputs,
                          Words arguments) {
    ComputeStep step;
    step.symbol = std::move(symbol);
    step.output_address = output;
    step.input_addresses = std::move(inputs);
    step.arguments = std::move(arguments);
    return step;
}

inline TileAddress absolute(std::uint32_t address) {
    return TileAddress::Absolute{address};
}
inline TileAddress pointer(std::uint16_t index, std::uint32_t offset) {
    return TileAddress::RepeatPointer{index, offset};
}

inline ComputeStep gemm_step() {
    return kernel("gemm", absolute(0x70000), {absolute(0x71000), absolute(0x72000)}, {64});
}

inline ComputeStep copy_step(std::uint32_t source, std::uint32_t destination) {
    return kernel("tarnwick_static_copy_u16", absolute(destination), {absolute(source)}, {1});
}

inline RepeatStep repeat_step(std::uint32_t count, std::vector<RepeatPointer> pointers,
                              std::vector<TileStep> body) {
    RepeatStep repeat;
    repeat.count = count;
    repeat.iterated_pointers = std::move(pointers);
    repeat.body = std::move(body);
    return repeat;
}

// The code words of a generated program, read back from its little-endian bytes.
inline Words code_words(const GeneratedProgram& generated) {
    Words words(generated.bytes.size() / 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const auto* b = &generated.bytes[4 * i];
        words[i] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                   std::uint32_t{b[3]} << 24;
    }
    return words;
}

} // namespace tarnwick::emit::testing
