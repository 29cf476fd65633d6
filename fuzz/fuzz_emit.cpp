// Code generation: arbitrary `TileProgram`s (exchange steps with their programs and patches,
// kernel calls, halfword copies, repeats with iterated pointers, checkpoints), host programs,
// symbol tables and options through `emit`.
//
// Promises checked: a program that validation refuses is refused by `emit` with the same error;
// every other failure is one of code generation's named errors, never one of those that cannot
// occur through `emit`; on success the code is whole words and ends by jumping to the completion
// routine, every loop exit (brz) lands forward on a word of the code, on the release of the
// loop's frame, and is followed by a jump back to a word of the code before it, one loop per
// repeat and one for several invocations; the exchange rows are unique per address, in ascending
// order, hold every row the program names, and agree wherever two of them overlap.

#include "fuzz_input.hpp"

#include "tarnwick/emit/emit.hpp"
#include "tarnwick/emit/validate.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/program.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace tarnwick;
using namespace tarnwick::fuzz;
using namespace tarnwick::program;
using emit::CodegenError;

constexpr std::uint32_t RET = instruction::RETURN_INSTRUCTION;
constexpr std::uint32_t SYNC = instruction::SYNC_EXCHANGE_INSTRUCTION;
constexpr std::string_view COPY = "tarnwick_static_copy_u16";

// The routines at the reference addresses, the copy and row-patch routines and two kernels.
const SymbolTable& reference_symbols() {
    static const SymbolTable symbols = {
        {"tarnwick_static_worker_barrier", 0x50000}, {"tarnwick_static_complete", 0x50004},
        {"tarnwick_static_host_run", 0x50008},       {"tarnwick_static_repeat_call", 0x5000C},
        {"tarnwick_static_sample_cycle", 0x50010},   {"tarnwick_static_patch_word", 0x50014},
        {"tarnwick_static_patch_row", 0x50018},      {"tarnwick_static_copy_u16", 0x5001C},
        {"gemm", 0x51000},                           {"conv", 0x51100},
    };
    return symbols;
}

std::uint32_t value(FuzzInput& in) {
    switch (in.in_range(0, 3)) {
    case 0: return in.in_range<std::uint32_t>(0, 0x100);
    case 1: return in.in_range<std::uint32_t>(0x60000, 0x70000) & ~3u;
    case 2: return 0x100000u - 2 + in.in_range<std::uint32_t>(0, 3);
    default: return in.integral<std::uint32_t>();
    }
}

// Row addresses from a small pool, so that rows meet, overlap and collide.
std::uint32_t row_address(FuzzInput& in) {
    switch (in.in_range(0, 5)) {
    case 0:
    case 1:
    case 2: return 0x60000u + 8 * in.in_range<std::uint32_t>(0, 5);
    case 3: return 0x61000u + 4 * in.in_range<std::uint32_t>(0, 3);
    case 4: return 0xFFFFFFFCu - 4 * in.in_range<std::uint32_t>(0, 3);
    default: return in.integral<std::uint32_t>();
    }
}

std::vector<std::uint32_t> row_words(FuzzInput& in, std::size_t count) {
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < count; ++i) {
        words.push_back(in.chance(60) ? in.in_range<std::uint32_t>(0, 3) : in.integral<std::uint32_t>());
    }
    return words;
}

StepProfile profile(FuzzInput& in) {
    StepProfile result;
    if (in.chance(15)) {
        result.before = value(in);
    }
    if (in.chance(15)) {
        result.after = value(in);
    }
    return result;
}

ExchangeStep exchange_step(FuzzInput& in, std::optional<std::uint32_t> repeat_count) {
    ExchangeStep step;
    const bool sync = in.chance(20);
    const bool active = in.chance(60);
    if (sync) {
        step.program.words.push_back(SYNC);
    }
    if (active) {
        const std::size_t body = in.in_range<std::size_t>(1, 4);
        for (std::size_t i = 0; i < body; ++i) {
            step.program.words.push_back(in.chance(90) ? in.in_range<std::uint32_t>(0, 0x100) : in.integral<std::uint32_t>());
        }
    }
    step.program.words.push_back(RET);
    step.program.address = row_address(in);
    step.sync_in_program = in.chance(95) ? sync : !sync;
    step.active = in.chance(95) ? active : !active;
    if (in.chance(5)) {
        step.program.words = row_words(in, in.in_range<std::size_t>(0, 4));
    }
    step.incoming_base = value(in);
    step.preserve_base_registers = in.chance(20);
    if (in.chance(40)) {
        step.incoming_mux = in.integral<std::uint16_t>();
    }
    step.incoming_format = in.chance(70) ? std::uint8_t{0} : in.integral<std::uint8_t>();
    if (in.chance(30)) {
        step.incoming_mux_pair = in.integral<std::uint16_t>();
    }
    if (in.chance(50)) {
        step.incoming_dcount = value(in);
    }
    if (in.chance(15)) {
        const std::size_t length = in.in_range<std::size_t>(in.chance(90) ? 1 : 0, 3);
        ExchangeSetupPatch patch;
        patch.offsets = {row_address(in), row_words(in, length)};
        patch.values = {row_address(in), row_words(in, in.chance(90) ? length : in.in_range<std::size_t>(0, 3))};
        step.setup_patch = patch;
    }
    if (in.chance(repeat_count ? 50 : 5)) {
        const std::size_t patches = in.in_range<std::size_t>(1, 2);
        for (std::size_t i = 0; i < patches; ++i) {
            ExchangePatch patch;
            patch.word_offset = in.chance(90) ? in.in_range<std::uint32_t>(0, static_cast<std::uint32_t>(step.program.words.size()))
                                              : in.integral<std::uint32_t>();
            const std::size_t count = repeat_count && in.chance(90) ? *repeat_count : in.in_range<std::size_t>(0, 4);
            patch.values = {row_address(in), row_words(in, std::min<std::size_t>(count, 64))};
            step.repeat_patches.push_back(patch);
        }
    }
    step.profile = profile(in);
    return step;
}

TileAddress tile_address(FuzzInput& in, std::size_t pointers) {
    if (in.chance(pointers > 0 ? 40 : 5)) {
        return TileAddress::RepeatPointer{
            in.chance(90) ? in.in_range<std::uint16_t>(0, static_cast<std::uint16_t>(pointers)) : in.integral<std::uint16_t>(),
            in.chance(50) ? 0u : value(in)};
    }
    return TileAddress::Absolute{value(in)};
}

ComputeStep compute_step(FuzzInput& in, std::size_t pointers) {
    ComputeStep step;
    if (in.chance(40)) {
        // A halfword copy, mergeable unless its addresses or arguments say otherwise.
        step.symbol = std::string(COPY);
        step.output_address = in.chance(90) ? TileAddress::Absolute{value(in)} : tile_address(in, pointers);
        step.input_addresses = {in.chance(90) ? TileAddress::Absolute{value(in)} : tile_address(in, pointers)};
        step.arguments = {in.chance(90) ? 1u : value(in)};
    } else {
        step.symbol = in.pick<std::string_view>({"gemm", "conv", "gemm", "", "absent", "tarnwick_static_copy_u16"});
        step.output_address = tile_address(in, pointers);
        const std::size_t inputs = in.in_range<std::size_t>(0, 5);
        for (std::size_t i = 0; i < inputs; ++i) {
            step.input_addresses.push_back(tile_address(in, pointers));
        }
        const std::size_t arguments = in.in_range<std::size_t>(0, 5);
        for (std::size_t i = 0; i < arguments; ++i) {
            step.arguments.push_back(value(in));
        }
    }
    step.profile = profile(in);
    return step;
}

std::vector<TileStep> steps_of(FuzzInput& in, std::size_t maximum, std::optional<std::size_t> pointers,
                               std::optional<std::uint32_t> repeat_count, int depth);

RepeatStep repeat_step(FuzzInput& in, int depth) {
    RepeatStep step;
    step.count = in.chance(90) ? in.in_range<std::uint32_t>(1, 6) : in.chance(50) ? 0u : in.integral<std::uint32_t>();
    const std::size_t pointers = in.in_range<std::size_t>(0, 3);
    for (std::size_t i = 0; i < pointers; ++i) {
        step.iterated_pointers.push_back({value(in), in.chance(70) ? in.in_range<std::uint32_t>(0, 256) : in.integral<std::uint32_t>()});
    }
    step.body = steps_of(in, 4, pointers, step.count, depth + 1);
    step.profile = profile(in);
    return step;
}

std::vector<TileStep> steps_of(FuzzInput& in, std::size_t maximum, std::optional<std::size_t> pointers,
                               std::optional<std::uint32_t> repeat_count, int depth) {
    std::vector<TileStep> steps;
    const std::size_t count = in.in_range<std::size_t>(0, maximum);
    for (std::size_t i = 0; i < count && !in.empty(); ++i) {
        switch (in.in_range(0, 9)) {
        case 0:
        case 1:
        case 2: steps.emplace_back(exchange_step(in, repeat_count)); break;
        case 3:
        case 4:
        case 5: steps.emplace_back(compute_step(in, pointers.value_or(0))); break;
        case 6:
        case 7:
            if (depth < 2 && (depth == 0 || in.chance(10))) {
                steps.emplace_back(repeat_step(in, depth));
                break;
            }
            [[fallthrough]];
        default:
            steps.emplace_back(CheckpointStep{in.integral<std::uint32_t>(), in.chance(90) ? in.in_range<std::uint8_t>(0, 1) : in.integral<std::uint8_t>(), profile(in)});
            break;
        }
    }
    return steps;
}

std::vector<HostPhase> host_phases(FuzzInput& in) {
    std::vector<HostPhase> phases;
    const std::size_t count = in.chance(70) ? 0 : in.in_range<std::size_t>(1, 4);
    for (std::size_t i = 0; i < count; ++i) {
        HostPhase phase;
        phase.address = in.pick<std::uint32_t>({0x1000, 0x3000, 0x5000});
        phase.address += in.chance(10) ? value(in) : 0u;
        phase.active = in.boolean();
        if (phase.active ? in.chance(90) : in.chance(20)) {
            phase.run_table = value(in);
        }
        phases.push_back(phase);
    }
    return phases;
}

SymbolTable symbols_of(FuzzInput& in) {
    SymbolTable symbols = reference_symbols();
    const std::size_t changes = in.chance(80) ? 0 : in.in_range<std::size_t>(1, 2);
    for (std::size_t i = 0; i < changes; ++i) {
        auto entry = std::next(symbols.begin(), static_cast<std::ptrdiff_t>(in.in_range<std::size_t>(0, symbols.size() - 1)));
        if (in.boolean()) {
            symbols.erase(entry);
        } else {
            entry->second = in.chance(50) ? value(in) : in.integral<std::uint32_t>();
        }
    }
    return symbols;
}

// ---- checks ---------------------------------------------------------------------------------

bool known_failure(const CodegenError& error) {
    if (const ExchangeError* exchange = error.exchange()) {
        const auto* schedule = exchange->get_if<ExchangeError::Schedule>();
        static const std::set<std::string_view> encoder = {
            "setzi operand",     "call operand",      "brz operand",           "branch register",
            "put source register", "ld32 operand",    "st32 operand",          "add immediate operand",
            "add register operand", "shift-left operand"};
        return schedule != nullptr && encoder.contains(schedule->message);
    }
    // Messages of emission and validation; those that validation makes impossible through
    // `emit` (patches outside a repeat, pointers outside a repeat or out of range, kernel
    // register counts, patch offsets beyond the program) are deliberately absent.
    static const std::set<std::string_view> messages = {
        "invocation count must be nonzero",
        "halfword copy table is too large",
        "different exchange rows share an address",
        "exchange phase has an invalid boundary or timed program",
        "exchange participation does not match timed program",
        "exchange setup patch has an invalid shape",
        "exchange patch has invalid shape or address",
        "compute symbol is empty",
        "compute address refers to an unavailable repeat pointer",
        "nested finalized repeats are not yet supported",
        "repeat count must be nonzero",
        "checkpoint breakpoint must be zero or one",
        "repeat frame size overflow",
        "repeat frame is too large",
        "too many repeat pointers",
        "exchange setup patch is too large",
        "exchange patch address overflow",
        "active host phase has no run table",
        "host run overflow",
        "generated code exceeds u32",
        "generated code size overflow",
        "generated code address overflow",
    };
    const std::string_view message = error.message();
    return messages.contains(message) || message.starts_with("missing runtime symbol ") ||
           (message.starts_with("tile ") && message.find(" references missing kernel symbol ") != std::string_view::npos) ||
           (message.starts_with("kernel ") && message.ends_with(" are supported"));
}

// The target of the jump (setzi of m0 in one or three words, then br m0) that starts at `index`,
// and the number of words it takes.
std::optional<std::pair<std::uint32_t, std::size_t>> jump_at(const std::vector<std::uint32_t>& words,
                                                              std::size_t index) {
    const auto is_setzi0 = [](std::uint32_t word) { return (word & 0xFFF00000u) == 0x19000000u; };
    if (index + 1 < words.size() && is_setzi0(words[index]) && words[index + 1] == 0x43000000u) {
        return std::pair{words[index] & 0xFFFFFu, std::size_t{2}};
    }
    if (index + 3 < words.size() && is_setzi0(words[index]) && words[index + 1] == 0x4200A00Cu &&
        (words[index + 2] & 0xFFFFF000u) == 0x22000000u && words[index + 3] == 0x43000000u) {
        return std::pair{(words[index] & 0xFFFFFu) << 12 | (words[index + 2] & 0xFFFu), std::size_t{4}};
    }
    return std::nullopt;
}

std::size_t top_level_repeats(const TileProgram& program) {
    return static_cast<std::size_t>(std::count_if(program.steps.begin(), program.steps.end(),
                                                  [](const TileStep& step) { return step.is<RepeatStep>(); }));
}

// Every row the program names, in the order emission records them.
void named_rows(const std::vector<TileStep>& steps, std::vector<const PlacedExchangeRow*>& rows) {
    for (const TileStep& step : steps) {
        if (const auto* exchange = step.get_if<ExchangeStep>()) {
            rows.push_back(&exchange->program);
            if (exchange->setup_patch) {
                rows.push_back(&exchange->setup_patch->offsets);
                rows.push_back(&exchange->setup_patch->values);
            }
            for (const auto& patch : exchange->repeat_patches) {
                rows.push_back(&patch.values);
            }
        } else if (const auto* repeat = step.get_if<RepeatStep>()) {
            named_rows(repeat->body, rows);
        }
    }
}

// The addresses that calls in the code may go to: every symbol and every exchange program.
std::multiset<std::uint32_t> call_targets(const TileProgram& program, const SymbolTable& symbols) {
    std::multiset<std::uint32_t> targets;
    for (const auto& [name, address] : symbols) {
        targets.insert(address);
    }
    std::vector<const PlacedExchangeRow*> rows;
    named_rows(program.steps, rows);
    for (const auto* row : rows) {
        targets.insert(row->address);
    }
    return targets;
}

// Whether some step calls the copy routine as an ordinary kernel (a copy that cannot be merged).
bool has_unmerged_copy(const std::vector<TileStep>& steps) {
    return std::any_of(steps.begin(), steps.end(), [](const TileStep& step) {
        if (const auto* compute = step.get_if<ComputeStep>()) {
            return compute->symbol == COPY && !emit::absolute_u16_copy(*compute);
        }
        const auto* repeat = step.get_if<RepeatStep>();
        return repeat != nullptr && has_unmerged_copy(repeat->body);
    });
}

std::uint8_t byte_at(const PlacedExchangeRow& row, std::uint64_t address) {
    const std::uint64_t offset = address - row.address;
    return static_cast<std::uint8_t>(row.words[static_cast<std::size_t>(offset / 4)] >> (8 * (offset % 4)));
}

void check_rows(const TileProgram& program, const std::vector<PlacedExchangeRow>& rows) {
    for (std::size_t i = 1; i < rows.size(); ++i) {
        TARNWICK_FUZZ_CHECK(rows[i - 1].address < rows[i].address);
    }
    std::vector<const PlacedExchangeRow*> named;
    named_rows(program.steps, named);
    TARNWICK_FUZZ_CHECK(rows.size() <= named.size());
    for (const auto* row : named) {
        const auto found = std::find_if(rows.begin(), rows.end(), [&](const PlacedExchangeRow& kept) {
            return kept.address == row->address;
        });
        TARNWICK_FUZZ_CHECK(found != rows.end() && found->words == row->words);
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::uint64_t end_i = rows[i].address + 4 * std::uint64_t{rows[i].words.size()};
        for (std::size_t j = i + 1; j < rows.size() && rows[j].address < end_i; ++j) {
            const std::uint64_t end = std::min(end_i, rows[j].address + 4 * std::uint64_t{rows[j].words.size()});
            for (std::uint64_t address = rows[j].address; address < end; ++address) {
                TARNWICK_FUZZ_CHECK(byte_at(rows[i], address) == byte_at(rows[j], address));
            }
        }
    }
}

void check_code(const TileProgram& program, const SymbolTable& symbols, const emit::CodegenOptions& options,
                const std::vector<std::uint8_t>& bytes) {
    TARNWICK_FUZZ_CHECK(bytes.size() % 4 == 0);
    std::vector<std::uint32_t> words(bytes.size() / 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = std::uint32_t{bytes[4 * i]} | std::uint32_t{bytes[4 * i + 1]} << 8 |
                   std::uint32_t{bytes[4 * i + 2]} << 16 | std::uint32_t{bytes[4 * i + 3]} << 24;
    }
    const std::uint32_t complete = symbols.find("tarnwick_static_complete")->second;
    const std::size_t tail = complete < 0x100000 ? 2 : 4;
    TARNWICK_FUZZ_CHECK(words.size() >= tail);
    const auto last = jump_at(words, words.size() - tail);
    TARNWICK_FUZZ_CHECK(last && last->first == complete && last->second == tail);

    // Walk the instructions; the pair table after each call of the copy routine is data. The walk
    // needs to tell those calls apart, so it runs only where no other call has that address.
    const auto copy = symbols.find(COPY);
    if (copy != symbols.end() &&
        (call_targets(program, symbols).count(copy->second) > 1 || has_unmerged_copy(program.steps))) {
        return;
    }
    const std::uint64_t begin = options.code_address;
    const std::uint64_t end = begin + 4 * std::uint64_t{words.size()};
    std::size_t loops = 0;
    std::optional<std::uint32_t> pairs; // m4, as the last setzi left it
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint32_t word = words[i];
        if ((word & 0xFFF00000u) == 0x19400000u) {
            pairs = word & 0xFFFFFu;
        }
        if (copy != symbols.end() && copy->second % 4 == 0 && word == (0x18A00000u | copy->second >> 2)) {
            TARNWICK_FUZZ_CHECK(pairs.has_value());
            TARNWICK_FUZZ_CHECK(i + 2 * std::uint64_t{*pairs} < words.size());
            i += 2 * *pairs;
            continue;
        }
        if ((word & 0xFF000000u) != 0x13000000u) {
            continue;
        }
        // A loop exit: forward to the release of the loop's frame, right after the jump back.
        ++loops;
        const std::uint64_t here = begin + 4 * std::uint64_t{i};
        const std::uint64_t exit = std::uint64_t{word & 0x7FFFFu} << 2;
        TARNWICK_FUZZ_CHECK((word & 0x00F80000u) == 0);
        TARNWICK_FUZZ_CHECK(exit > here && exit < end);
        const auto back = jump_at(words, i + 1);
        TARNWICK_FUZZ_CHECK(back.has_value());
        TARNWICK_FUZZ_CHECK(back->first >= begin && back->first <= here && back->first % 4 == 0);
        TARNWICK_FUZZ_CHECK(exit == here + 4 * (1 + back->second));
        const std::uint32_t release = words[static_cast<std::size_t>((exit - begin) / 4)];
        TARNWICK_FUZZ_CHECK((release & 0xFFFF0000u) == 0x22BB0000u && (release & 0xFFFFu) > 0 &&
                            (release & 0xFFFFu) < 0x8000u);
    }
    TARNWICK_FUZZ_CHECK(loops == top_level_repeats(program) + (options.invocations > 1 ? 1 : 0));
    TARNWICK_FUZZ_NOTE(loops > 0 ? "code walked, with loops" : "code walked");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    TileProgram program;
    program.tile = in.chance(80) ? in.in_range<std::uint16_t>(0, 1471) : in.integral<std::uint16_t>();
    program.steps = steps_of(in, 6, std::nullopt, std::nullopt, 0);
    HostProgram host;
    host.initialize = host_phases(in);
    host.inputs = host_phases(in);
    host.outputs = host_phases(in);
    const SymbolTable symbols = symbols_of(in);
    emit::CodegenOptions options;
    options.code_address = in.chance(80) ? 0x52000u : in.chance(50) ? (in.in_range<std::uint32_t>(0, 0x200000) & ~3u) : in.integral<std::uint32_t>();
    options.invocations = in.chance(90) ? in.in_range<std::uint32_t>(1, 4) : in.chance(50) ? 0u : in.integral<std::uint32_t>();
    if (in.chance(20)) {
        options.initial_profile_address = value(in);
    }
    if (in.chance(20)) {
        options.final_profile_address = value(in);
    }

    const auto generated = emit::emit(program, symbols, host, options);
    if (!generated) {
        const CodegenError& error = generated.error();
        TARNWICK_FUZZ_CHECK(known_failure(error));
        if (options.invocations == 0) {
            TARNWICK_FUZZ_CHECK(error.message() == "invocation count must be nonzero");
        } else if (const auto valid = emit::validate(program); !valid) {
            TARNWICK_FUZZ_CHECK(error == valid.error());
        }
        return 0;
    }
    TARNWICK_FUZZ_NOTE("emitted");
    TARNWICK_FUZZ_CHECK(options.invocations != 0 && emit::validate(program).has_value());
    check_code(program, symbols, options, generated->bytes);
    check_rows(program, generated->exchange_rows);
    return 0;
}
