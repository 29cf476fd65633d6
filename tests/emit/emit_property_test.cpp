// Random tile programs mixing every step kind (fixed seeds), emitted and then run on a small
// simulator of the tile core with a stand-in runtime. The trace of what the code hands to kernels,
// exchange programs and runtime routines must match the meaning of the program, and every branch
// must land on an instruction of the code.

#include "emit/support.hpp"
#include "tarnwick/emit/emit.hpp"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>

namespace tarnwick::emit {
namespace {

using namespace testing;

constexpr std::uint32_t COPY_ROUTINE = 0x50020;
constexpr std::uint32_t PATCH_ROW = 0x50018;
constexpr std::uint32_t KERNELS = 0x51000; // kernel kN (N values) at KERNELS + 0x100 * N
constexpr std::uint32_t STACK_TOP = 0x1F0000;

SymbolTable property_symbols() {
    SymbolTable symbols = case_symbols();
    symbols.emplace("tarnwick_static_copy_u16", COPY_ROUTINE);
    symbols.emplace("tarnwick_static_patch_row", PATCH_ROW);
    for (std::uint32_t n = 1; n <= 7; ++n) {
        symbols.emplace("k" + std::to_string(n), KERNELS + 0x100 * n);
    }
    return symbols;
}

std::string hex(std::uint32_t value) {
    std::ostringstream out;
    out << std::hex << value;
    return out.str();
}

// ---- the meaning of a program -------------------------------------------------------------------

struct Specials {
    std::map<std::uint8_t, std::uint32_t> values;
    std::string describe() const {
        std::string text;
        for (const auto& [special, value] : values) {
            text += " " + hex(special) + "=" + hex(value);
        }
        return text;
    }
};

class Expectation {
public:
    std::vector<std::string> trace;

    void program(const TileProgram& program, const HostProgram& host,
                 const CodegenOptions& options) {
        host_phases(host.initialize);
        for (std::uint32_t invocation = 0; invocation < options.invocations; ++invocation) {
            host_phases(host.inputs);
            sample(options.initial_profile_address);
            steps(program.steps, nullptr, 0);
            sample(options.final_profile_address);
            host_phases(host.outputs);
        }
    }

private:
    Specials specials_;

    void sample(std::optional<std::uint32_t> address) {
        if (address) {
            trace.push_back("sample " + hex(*address));
        }
    }

    void host_phases(const std::vector<HostPhase>& phases) {
        for (const auto& phase : phases) {
            trace.push_back(phase.active ? "host active " + hex(phase.address) : "host inactive");
        }
    }

    static std::uint32_t value(const TileAddress& address, const RepeatStep* repeat,
                               std::uint32_t iteration) {
        if (const auto* absolute = address.get_if<TileAddress::Absolute>()) {
            return absolute->address;
        }
        const auto& pointer = *address.get_if<TileAddress::RepeatPointer>();
        const auto& frame = repeat->iterated_pointers.at(pointer.index);
        return frame.initial_address + iteration * frame.stride_bytes + pointer.offset;
    }

    void steps(const std::vector<TileStep>& list, const RepeatStep* repeat,
               std::uint32_t iteration) {
        for (const TileStep& step : list) {
            if (const auto* exchange = step.get_if<ExchangeStep>()) {
                exchange_step(*exchange, repeat, iteration);
            } else if (const auto* compute = step.get_if<ComputeStep>()) {
                sample(compute->profile.before);
                if (compute->symbol == "tarnwick_static_copy_u16") {
                    const auto pair = absolute_u16_copy(*compute);
                    trace.push_back("copy " + hex(pair->first) + " " + hex(pair->second));
                } else {
                    std::string call = "kernel " + compute->symbol + " " +
                                       hex(value(compute->output_address, repeat, iteration));
                    for (const auto& input : compute->input_addresses) {
                        call += " " + hex(value(input, repeat, iteration));
                    }
                    for (const std::uint32_t argument : compute->arguments) {
                        call += " " + hex(argument);
                    }
                    trace.push_back(call);
                }
                sample(compute->profile.after);
            } else if (const auto* inner = step.get_if<RepeatStep>()) {
                sample(inner->profile.before);
                for (std::uint32_t k = 0; k < inner->count; ++k) {
                    steps(inner->body, inner, k);
                }
                sample(inner->profile.after);
            } else if (const auto* checkpoint = step.get_if<CheckpointStep>()) {
                trace.push_back("checkpoint " + std::to_string(checkpoint->breakpoint));
            }
        }
    }

    void exchange_step(const ExchangeStep& exchange, const RepeatStep* repeat,
                       std::uint32_t iteration) {
        sample(exchange.profile.before);
        if (const auto& patch = exchange.setup_patch) {
            trace.push_back("patch row " + hex(exchange.program.address) + " " +
                            hex(patch->offsets.address) + " " + hex(patch->values.address) + " " +
                            hex(static_cast<std::uint32_t>(patch->values.words.size())));
        }
        for (const auto& patch : exchange.repeat_patches) {
            trace.push_back("patch word " + hex(exchange.program.address + 4 * patch.word_offset) +
                            " " + hex(patch.values.address) + " iteration " +
                            std::to_string(iteration) + " of " + std::to_string(repeat->count));
        }
        if (!exchange.preserve_base_registers) {
            specials_.values[0xA4] = exchange.incoming_base;
            specials_.values[0xA7] = 0; // m15
        }
        if (exchange.incoming_mux) {
            specials_.values[0xA0] = *exchange.incoming_mux;
        }
        if (exchange.incoming_format != 0) {
            specials_.values[0xA3] = exchange.incoming_format;
        }
        if (exchange.incoming_mux_pair) {
            specials_.values[0xA1] = *exchange.incoming_mux_pair;
        }
        if (exchange.active) {
            trace.push_back("barrier");
            if (exchange.incoming_dcount || !exchange.sync_in_program) {
                specials_.values[0xA6] = exchange.incoming_dcount.value_or(1);
            }
            if (!exchange.sync_in_program) {
                trace.push_back("sync 3");
            }
        } else {
            trace.push_back("inactive phase");
            trace.push_back("sync 1");
        }
        trace.push_back("exchange " + hex(exchange.program.address) + specials_.describe());
        sample(exchange.profile.after);
    }
};

// ---- the simulated tile -------------------------------------------------------------------------

struct Simulation {
    std::vector<std::string> trace;
    std::set<std::uint32_t> executed; // addresses of the instructions that ran
    std::set<std::uint32_t> data;     // addresses of inline copy tables
    std::vector<std::uint32_t> branch_targets;
    std::string failure;
    std::uint32_t final_stack = 0;
};

Simulation simulate(const Words& words, std::uint32_t code_address, const SymbolTable& symbols,
                    const std::set<std::uint32_t>& exchange_programs) {
    Simulation sim;
    std::array<std::uint32_t, 16> m{};
    m[11] = STACK_TOP;
    std::map<std::uint32_t, std::uint32_t> memory;
    Specials specials;
    std::map<std::uint32_t, std::string> kernels;
    for (const auto& [name, address] : symbols) {
        if (name.starts_with("k")) {
            kernels[address] = name;
        }
    }
    const std::uint32_t complete = symbols.at("tarnwick_static_complete");
    const std::uint32_t end = code_address + 4 * static_cast<std::uint32_t>(words.size());

    std::uint32_t pc = code_address;
    for (std::size_t steps = 0; steps < 1'000'000; ++steps) {
        if (pc < code_address || pc >= end || pc % 4 != 0) {
            sim.failure = "pc left the code at " + hex(pc);
            return sim;
        }
        sim.executed.insert(pc);
        const std::uint32_t w = words[(pc - code_address) / 4];
        const auto r1 = static_cast<std::uint8_t>((w >> 20) & 0xF);
        const auto r2 = static_cast<std::uint8_t>((w >> 16) & 0xF);
        std::uint32_t next = pc + 4;
        const std::uint32_t opcode = w >> 24;

        auto frame_address = [&] { return m[r1] + 4 * (w & 0xFFF); };
        if (opcode == 0x19) {
            m[r1] = w & 0xFFFFF;
        } else if (opcode == 0x42 && ((w >> 12) & 0xF) == 0xA) {
            m[r2] = m[r1] << (w & 0xFFF);
        } else if (opcode == 0x22) {
            m[r2] = m[r1] + static_cast<std::uint32_t>(static_cast<std::int16_t>(w & 0xFFFF));
        } else if (opcode == 0x01) {
            if (!memory.contains(frame_address())) {
                sim.failure = "load of an unwritten frame word at " + hex(pc);
                return sim;
            }
            m[r2] = memory[frame_address()];
        } else if (opcode == 0x4F) {
            memory[frame_address()] = m[r2];
        } else if (opcode == 0x43 && (w & 0xFFF00) == 0x08000) {
            specials.values[static_cast<std::uint8_t>(w & 0xFF)] = m[r1];
        } else if (opcode == 0x43 && (w & 0xFFFFF) == 0) {
            if (m[r1] == complete && r1 == 0) {
                sim.final_stack = m[11];
                return sim;
            }
            sim.branch_targets.push_back(m[r1]);
            next = m[r1];
        } else if (opcode == 0x13) {
            const std::uint32_t target = (w & 0x7FFFF) * 4;
            sim.branch_targets.push_back(target);
            if (m[r1] == 0) {
                next = target;
            }
        } else if (w == 0x41800003 || w == 0x41800001) {
            sim.trace.push_back("sync " + std::to_string(w & 0xFF));
        } else if (w == 0x40C00000) {
            sim.trace.push_back("inactive phase");
        } else if ((w & 0xFFFFFF00) == 0x41801000) {
            sim.trace.push_back("checkpoint " + std::to_string(w & 0xFF));
        } else if (opcode == 0x18) {
            const std::uint32_t target = (w & 0x7FFFF) * 4;
            const std::uint8_t link = r1;
            auto expect_link = [&](std::uint8_t wanted) {
                if (link != wanted) {
                    sim.failure =
                        "call of " + hex(target) + " returns through m" + std::to_string(link);
                }
            };
            m[link] = next; // the callee returns to the address in its return register
            if (kernels.contains(target)) {
                expect_link(10);
                const std::string& name = kernels[target];
                const int values = name[1] - '0';
                std::string call = "kernel " + name;
                for (int i = 0; i <= values; ++i) {
                    call += " " + hex(m[static_cast<std::size_t>(2 + i)]);
                }
                sim.trace.push_back(call);
            } else if (exchange_programs.contains(target)) {
                expect_link(10);
                sim.trace.push_back("exchange " + hex(target) + specials.describe());
            } else if (target == symbols.at("tarnwick_static_worker_barrier")) {
                expect_link(7);
                sim.trace.push_back("barrier");
            } else if (target == symbols.at("tarnwick_static_sample_cycle")) {
                expect_link(10);
                sim.trace.push_back("sample " + hex(m[2]));
            } else if (target == COPY_ROUTINE) {
                expect_link(10);
                // The pairs follow the call; the routine resumes after them.
                for (std::uint32_t i = 0; i < m[4]; ++i) {
                    const std::uint32_t at = next + 8 * i;
                    if (at + 8 > end) {
                        sim.failure = "copy table runs past the code";
                        return sim;
                    }
                    sim.data.insert(at);
                    sim.data.insert(at + 4);
                    sim.trace.push_back("copy " + hex(words[(at - code_address) / 4]) + " " +
                                        hex(words[(at - code_address) / 4 + 1]));
                }
                m[link] = next + 8 * m[4];
            } else if (target == symbols.at("tarnwick_static_patch_word")) {
                expect_link(9);
                sim.trace.push_back("patch word " + hex(m[2]) + " " + hex(m[3]) + " iteration " +
                                    std::to_string(m[5] - m[4]) + " of " + std::to_string(m[5]));
            } else if (target == PATCH_ROW) {
                expect_link(9);
                sim.trace.push_back("patch row " + hex(m[2]) + " " + hex(m[3]) + " " + hex(m[4]) +
                                    " " + hex(m[5]));
            } else if (target == symbols.at("tarnwick_static_host_run")) {
                expect_link(9);
                for (std::uint32_t i = 0; i < m[2]; ++i) {
                    sim.trace.push_back("host active " + hex(m[4]));
                }
            } else if (target == symbols.at("tarnwick_static_repeat_call")) {
                expect_link(9);
                for (std::uint32_t i = 0; i < m[2]; ++i) {
                    sim.trace.push_back("host inactive");
                }
            } else {
                sim.failure = "call of an unknown routine " + hex(target);
            }
            if (!sim.failure.empty()) {
                return sim;
            }
            next = m[link];
        } else {
            sim.failure = "unknown instruction " + hex(w) + " at " + hex(pc);
            return sim;
        }
        pc = next;
    }
    sim.failure = "the code does not finish";
    return sim;
}

// ---- random programs ----------------------------------------------------------------------------

class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    TileProgram program() {
        TileProgram program;
        program.tile = static_cast<std::uint16_t>(below(1472));
        const std::uint32_t steps = 1 + below(12);
        for (std::uint32_t i = 0; i < steps; ++i) {
            add_step(program.steps, nullptr);
        }
        return program;
    }

    HostProgram host() {
        HostProgram host;
        for (auto* list : {&host.initialize, &host.inputs, &host.outputs}) {
            const std::uint32_t phases = below(4);
            for (std::uint32_t i = 0; i < phases; ++i) {
                const bool active = chance(2);
                list->push_back(
                    {0x3000 + 0x100 * below(2), active,
                     active ? std::optional<std::uint32_t>(0x4000 + 4 * below(8)) : std::nullopt});
            }
        }
        return host;
    }

    CodegenOptions options() {
        CodegenOptions options;
        const std::uint32_t addresses[] = {0x52000, 0xFFFF0, 0x100000, 0x1A0000};
        options.code_address = addresses[below(4)];
        options.invocations = 1 + below(3);
        options.initial_profile_address = maybe(0x8000 + 4 * below(16));
        options.final_profile_address = maybe(large());
        return options;
    }

    std::set<std::uint32_t> exchange_programs;

private:
    std::mt19937 random_;
    std::uint32_t next_row_ = 0x60000;

    std::uint32_t below(std::uint32_t n) { return any() % n; }
    bool chance(std::uint32_t n) { return below(n) == 0; }
    std::uint32_t any() { return static_cast<std::uint32_t>(random_()); }
    // Values on both sides of the one-word setzi limit.
    std::uint32_t large() { return chance(2) ? below(0x100000) : any(); }
    std::optional<std::uint32_t> maybe(std::uint32_t value) {
        return chance(3) ? std::optional(value) : std::nullopt;
    }
    StepProfile profile() { return {maybe(large()), maybe(large())}; }

    std::uint32_t row_address(std::size_t words) {
        const std::uint32_t address = next_row_;
        next_row_ += 4 * static_cast<std::uint32_t>(words) + 4 * below(3);
        return address;
    }

    ExchangeStep exchange(const RepeatStep* repeat) {
        ExchangeStep step;
        step.active = !chance(3);
        step.sync_in_program = chance(3);
        Words words;
        if (step.sync_in_program) {
            words.push_back(SYNC);
        }
        if (step.active) {
            for (std::uint32_t i = 0, n = 1 + below(3); i < n; ++i) {
                words.push_back(0x40A00000 + below(8));
            }
        }
        words.push_back(RET);
        step.program = {row_address(words.size()), words};
        exchange_programs.insert(step.program.address);

        step.incoming_base = large();
        step.preserve_base_registers = chance(4);
        if (chance(2)) {
            step.incoming_mux = static_cast<std::uint16_t>(any());
        }
        step.incoming_format = static_cast<std::uint8_t>(chance(2) ? 0 : any());
        if (chance(3)) {
            step.incoming_mux_pair = static_cast<std::uint16_t>(any());
        }
        step.incoming_dcount = maybe(large());
        if (chance(4)) {
            const std::size_t n = 1 + below(3);
            ExchangeSetupPatch patch;
            patch.offsets = {row_address(n), Words(n, 0)};
            patch.values = {row_address(n), Words(n, 7)};
            step.setup_patch = patch;
        }
        if (repeat != nullptr) {
            for (std::uint32_t i = 0, n = below(3); i < n; ++i) {
                ExchangePatch patch;
                patch.word_offset = below(static_cast<std::uint32_t>(words.size()));
                patch.values = {row_address(repeat->count), Words(repeat->count, any())};
                step.repeat_patches.push_back(patch);
            }
        }
        step.profile = profile();
        return step;
    }

    TileAddress address(const RepeatStep* repeat) {
        if (repeat != nullptr && !repeat->iterated_pointers.empty() && chance(2)) {
            const auto pointers = static_cast<std::uint32_t>(repeat->iterated_pointers.size());
            const std::uint32_t offsets[] = {0, 4, 0x40, 70000};
            return TileAddress::RepeatPointer{static_cast<std::uint16_t>(below(pointers)),
                                              offsets[below(4)]};
        }
        return TileAddress::Absolute{large()};
    }

    ComputeStep compute(const RepeatStep* repeat) {
        if (chance(3)) {
            ComputeStep copy = copy_step(large(), large());
            copy.profile = {chance(4) ? maybe(large()) : std::nullopt,
                            chance(4) ? maybe(large()) : std::nullopt};
            return copy;
        }
        const std::uint32_t values = 1 + below(7);
        const std::uint32_t inputs = below(values + 1);
        ComputeStep step;
        step.symbol = "k" + std::to_string(values);
        step.output_address = address(repeat);
        for (std::uint32_t i = 0; i < inputs; ++i) {
            step.input_addresses.push_back(address(repeat));
        }
        for (std::uint32_t i = inputs; i < values; ++i) {
            step.arguments.push_back(large());
        }
        step.profile = profile();
        return step;
    }

    void add_step(std::vector<TileStep>& steps, RepeatStep* repeat) {
        switch (below(repeat == nullptr ? 5 : 4)) {
        case 0:
            steps.emplace_back(exchange(repeat));
            break;
        case 1:
        case 2:
            steps.emplace_back(compute(repeat));
            break;
        case 3:
            steps.emplace_back(CheckpointStep{any(), static_cast<std::uint8_t>(below(2)), {}});
            break;
        default: {
            RepeatStep inner;
            inner.count = 1 + below(5);
            const std::uint32_t strides[] = {0, 4, 64, 70000, 100000};
            for (std::uint32_t i = 0, n = below(4); i < n; ++i) {
                inner.iterated_pointers.push_back({large(), strides[below(5)]});
            }
            for (std::uint32_t i = 0, n = 1 + below(5); i < n; ++i) {
                add_step(inner.body, &inner);
            }
            inner.profile = profile();
            steps.emplace_back(std::move(inner));
        }
        }
    }
};

TEST(EmitProperty, RandomProgramsRunAsTheyMean) {
    const SymbolTable symbols = property_symbols();
    for (std::uint32_t seed = 1; seed <= 300; ++seed) {
        Generator generator(seed);
        const TileProgram program = generator.program();
        const HostProgram host = generator.host();
        const CodegenOptions options = generator.options();
        const auto generated = emit(program, symbols, host, options);
        ASSERT_TRUE(generated) << "seed " << seed << ": " << to_string(generated.error()) << "\n"
                               << to_string(options) << "\n"
                               << to_string(program);
        const Words words = code_words(*generated);

        const Simulation sim =
            simulate(words, options.code_address, symbols, generator.exchange_programs);
        ASSERT_EQ(sim.failure, "") << "seed " << seed;
        EXPECT_EQ(sim.final_stack, STACK_TOP) << "seed " << seed;

        Expectation expected;
        expected.program(program, host, options);
        ASSERT_EQ(sim.trace, expected.trace) << "seed " << seed;

        // No copy table's data runs as an instruction; when every loop goes round at least
        // twice, every other word runs. Every branch lands on an instruction.
        const bool every_loop_repeats =
            options.invocations > 1 && std::ranges::all_of(program.steps, [](const TileStep& step) {
                const auto* repeat = step.get_if<RepeatStep>();
                return repeat == nullptr || repeat->count > 1;
            });
        const std::uint32_t end =
            options.code_address + 4 * static_cast<std::uint32_t>(words.size());
        for (std::uint32_t address = options.code_address; address < end; address += 4) {
            EXPECT_FALSE(sim.executed.contains(address) && sim.data.contains(address))
                << "seed " << seed << " at " << hex(address);
            if (every_loop_repeats) {
                EXPECT_TRUE(sim.executed.contains(address) || sim.data.contains(address))
                    << "seed " << seed << " at " << hex(address);
            }
        }
        for (const std::uint32_t target : sim.branch_targets) {
            EXPECT_TRUE(sim.executed.contains(target)) << "seed " << seed << " to " << hex(target);
        }

        // Rows: one per address, ascending, and every exchange program among them.
        const auto& rows = generated->exchange_rows;
        for (std::size_t i = 1; i < rows.size(); ++i) {
            EXPECT_LT(rows[i - 1].address, rows[i].address) << "seed " << seed;
        }
        for (const std::uint32_t address : generator.exchange_programs) {
            EXPECT_TRUE(std::ranges::any_of(
                rows, [&](const PlacedExchangeRow& row) { return row.address == address; }))
                << "seed " << seed;
        }
    }
}

TEST(EmitProperty, CodeLengthOfARepeatDoesNotDependOnItsCount) {
    const SymbolTable symbols = property_symbols();
    std::optional<std::size_t> length;
    for (std::uint32_t count = 1; count <= 200; count += 7) {
        ExchangeStep exchange = active_exchange_step();
        exchange.repeat_patches = {{0, {0x61000, Words(count, 5)}}};
        const TileStep repeat = repeat_step(count, {{0x70000, 64}}, {exchange, gemm_step()});
        const auto generated = emit(TileProgram{0, {repeat}}, symbols, {}, case_options());
        ASSERT_TRUE(generated);
        if (length) {
            EXPECT_EQ(generated->bytes.size(), *length) << count;
        }
        length = generated->bytes.size();
    }
}

} // namespace
} // namespace tarnwick::emit
