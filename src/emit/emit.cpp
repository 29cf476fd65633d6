#include "tarnwick/emit/emit.hpp"

#include "emit/try.hpp"
#include "tarnwick/emit/validate.hpp"
#include "tarnwick/instruction.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <ostream>
#include <sstream>
#include <string_view>

namespace tarnwick::emit {

namespace {

using program::CheckpointStep;
using program::ComputeStep;
using program::ExchangeStep;
using program::PlacedExchangeRow;
using program::RepeatStep;
using program::TileStep;

constexpr std::string_view COMPLETE_SYMBOL = "tarnwick_static_complete";
constexpr std::string_view WORKER_BARRIER_SYMBOL = "tarnwick_static_worker_barrier";
constexpr std::string_view COPY_U16_SYMBOL = "tarnwick_static_copy_u16";
constexpr std::string_view SAMPLE_CYCLE_SYMBOL = "tarnwick_static_sample_cycle";

// Special registers written before an exchange phase.
constexpr std::uint8_t INCOMING_MUX = 0xA0;
constexpr std::uint8_t INCOMING_MUX_PAIR = 0xA1;
constexpr std::uint8_t INCOMING_FORMAT = 0xA3;
constexpr std::uint8_t INCOMING_BASE = 0xA4;
constexpr std::uint8_t INCOMING_DCOUNT = 0xA6;
constexpr std::uint8_t INCOMING_DELTA = 0xA7;

// The words around an inactive phase: the tile stays out of the exchange but keeps the sync.
constexpr std::uint32_t INACTIVE_PHASE_WORD = 0x40C00000;
constexpr std::uint32_t INACTIVE_PHASE_SYNC = 0x41800001;

constexpr std::uint32_t CHECKPOINT_WORD = instruction::CHECKPOINT_OPCODE;

constexpr std::uint8_t SCRATCH = 0;
constexpr std::uint8_t COPY_PAIRS = 4;
constexpr std::uint8_t BARRIER_RETURN = 7;
constexpr std::uint8_t SPECIAL_VALUE = 8;
constexpr std::uint8_t CALL_RETURN = 10;
constexpr std::uint8_t STACK = 11;
constexpr std::uint8_t FRAME_DELTA = 15;

constexpr std::int32_t INVOCATION_FRAME_BYTES = 8;

bool has_after_sample(const TileStep& step) noexcept {
    const auto profile = step_compute_profile(step);
    return profile && profile->after;
}

// A run of consecutive mergeable halfword copies starting at `index`: one call of the copy
// routine with the pairs inline after it. A `before` sample starts a run, an `after` sample ends
// one. Returns the index after the run.
CodegenResult<std::size_t> emit_copy_run(TileCode& code, std::span<const TileStep> steps,
                                         std::size_t index, const SymbolTable& symbols,
                                         const ComputeStep& first) {
    if (first.profile.before) {
        TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *first.profile.before));
    }
    std::size_t end = index + 1;
    while (end < steps.size() && !has_after_sample(steps[end - 1])) {
        const auto* next = steps[end].get_if<ComputeStep>();
        if (next == nullptr || next->symbol != first.symbol || next->profile.before ||
            !absolute_u16_copy(*next)) {
            break;
        }
        ++end;
    }

    const std::size_t pairs = end - index;
    if (pairs > std::numeric_limits<std::uint32_t>::max()) {
        return fail(invalid("halfword copy table is too large"));
    }
    TARNWICK_EMIT_TRY(code.setzi(COPY_PAIRS, static_cast<std::uint32_t>(pairs)));
    const auto copy = symbol(symbols, COPY_U16_SYMBOL);
    if (!copy) {
        return fail(copy.error());
    }
    TARNWICK_EMIT_TRY(code.call(*copy, CALL_RETURN));
    code.words.reserve(code.words.size() + 2 * pairs);
    for (std::size_t i = index; i < end; ++i) {
        const auto pair = absolute_u16_copy(*steps[i].get_if<ComputeStep>());
        code.instruction(pair->first);
        code.instruction(pair->second);
    }

    const auto& last = *steps[end - 1].get_if<ComputeStep>();
    if (last.profile.after) {
        TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *last.profile.after));
    }
    return end;
}

CodegenStatus emit_exchange(TileCode& code, const ExchangeStep& exchange,
                            const SymbolTable& symbols, std::optional<std::uint32_t> worker_barrier,
                            ExchangeRows& exchange_rows,
                            std::optional<std::uint32_t> repeat_count) {
    if (exchange.profile.before) {
        TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *exchange.profile.before));
    }
    if (exchange.setup_patch) {
        TARNWICK_EMIT_TRY(
            emit_exchange_setup_patch(code, exchange, *exchange.setup_patch, symbols));
    }
    if (!exchange.repeat_patches.empty()) {
        if (!repeat_count) {
            return fail(invalid("exchange patches outside repeat"));
        }
        TARNWICK_EMIT_TRY(emit_exchange_patches(code, exchange, *repeat_count, symbols));
    }

    if (!exchange.preserve_base_registers) {
        TARNWICK_EMIT_TRY(code.setzi(SPECIAL_VALUE, exchange.incoming_base));
        TARNWICK_EMIT_TRY(code.put_special(INCOMING_BASE, SPECIAL_VALUE));
    }
    if (exchange.incoming_mux) {
        TARNWICK_EMIT_TRY(code.setzi(SPECIAL_VALUE, *exchange.incoming_mux));
        TARNWICK_EMIT_TRY(code.put_special(INCOMING_MUX, SPECIAL_VALUE));
    }
    if (exchange.incoming_format != 0) {
        TARNWICK_EMIT_TRY(code.setzi(SPECIAL_VALUE, exchange.incoming_format));
        TARNWICK_EMIT_TRY(code.put_special(INCOMING_FORMAT, SPECIAL_VALUE));
    }
    if (exchange.incoming_mux_pair) {
        TARNWICK_EMIT_TRY(code.setzi(SPECIAL_VALUE, *exchange.incoming_mux_pair));
        TARNWICK_EMIT_TRY(code.put_special(INCOMING_MUX_PAIR, SPECIAL_VALUE));
    }
    if (!exchange.preserve_base_registers) {
        TARNWICK_EMIT_TRY(code.put_special(INCOMING_DELTA, FRAME_DELTA));
    }

    if (exchange.active) {
        if (!worker_barrier) {
            // Only reachable by calling emit_steps directly without the barrier's address.
            return fail(invalid("missing runtime symbol tarnwick_static_worker_barrier"));
        }
        TARNWICK_EMIT_TRY(code.call(*worker_barrier, BARRIER_RETURN));
        if (exchange.incoming_dcount || !exchange.sync_in_program) {
            TARNWICK_EMIT_TRY(code.setzi(SPECIAL_VALUE, exchange.incoming_dcount.value_or(1)));
            TARNWICK_EMIT_TRY(code.put_special(INCOMING_DCOUNT, SPECIAL_VALUE));
        }
        if (!exchange.sync_in_program) {
            code.instruction(instruction::SYNC_EXCHANGE_INSTRUCTION);
        }
    } else {
        code.instruction(INACTIVE_PHASE_WORD);
        code.instruction(INACTIVE_PHASE_SYNC);
    }
    TARNWICK_EMIT_TRY(code.call(exchange.program.address, CALL_RETURN));
    if (exchange.profile.after) {
        TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *exchange.profile.after));
    }

    exchange_rows.record(exchange.program);
    if (exchange.setup_patch) {
        exchange_rows.record(exchange.setup_patch->offsets);
        exchange_rows.record(exchange.setup_patch->values);
    }
    for (const auto& patch : exchange.repeat_patches) {
        exchange_rows.record(patch.values);
    }
    return {};
}

// The byte at `address` of a row that covers it, as the row's little-endian words place it.
std::uint8_t row_byte(const PlacedExchangeRow& row, std::uint64_t address) noexcept {
    const std::uint64_t offset = address - row.address;
    const std::uint32_t word = row.words[static_cast<std::size_t>(offset / 4)];
    return static_cast<std::uint8_t>(word >> (8 * (offset % 4)));
}

std::uint64_t row_end(const PlacedExchangeRow& row) noexcept {
    return std::uint64_t{row.address} + 4 * std::uint64_t{row.words.size()};
}

// True when two rows give different contents to a byte that both cover.
bool rows_conflict(const PlacedExchangeRow& a, const PlacedExchangeRow& b) noexcept {
    const std::uint64_t begin = std::max<std::uint64_t>(a.address, b.address);
    const std::uint64_t end = std::min(row_end(a), row_end(b));
    for (std::uint64_t address = begin; address < end; ++address) {
        if (row_byte(a, address) != row_byte(b, address)) {
            return true;
        }
    }
    return false;
}

} // namespace

CodegenResult<std::vector<PlacedExchangeRow>> ExchangeRows::finish() const {
    const auto by_address = [](const PlacedExchangeRow* a, const PlacedExchangeRow* b) {
        return a->address < b->address;
    };
    // Rows are usually recorded in address order already; sort a copy only when they are not.
    std::vector<const PlacedExchangeRow*> sorted;
    std::span<const PlacedExchangeRow* const> ordered = rows_;
    if (!std::is_sorted(rows_.begin(), rows_.end(), by_address)) {
        sorted = rows_;
        std::stable_sort(sorted.begin(), sorted.end(), by_address);
        ordered = sorted;
    }

    std::vector<PlacedExchangeRow> result;
    result.reserve(ordered.size());
    // Of the rows kept so far, which agree wherever they overlap, the one reaching furthest. Every
    // kept row starts at or before the next row, so each covers a leading part of it, and the
    // furthest one covers all those parts: the next row agrees with every kept row exactly when
    // it agrees with that one.
    const PlacedExchangeRow* furthest = nullptr;
    for (const PlacedExchangeRow* row : ordered) {
        if (!result.empty() && result.back().address == row->address) {
            if (result.back().words != row->words) {
                return fail(invalid("different exchange rows share an address"));
            }
            continue;
        }
        if (furthest != nullptr && rows_conflict(*furthest, *row)) {
            return fail(invalid("different exchange rows share an address"));
        }
        result.push_back(*row);
        if (furthest == nullptr || row_end(*row) > row_end(*furthest)) {
            furthest = row;
        }
    }
    return result;
}

bool operator==(const ExchangeRows& a, const ExchangeRows& b) noexcept {
    return std::ranges::equal(
        a.rows_, b.rows_,
        [](const PlacedExchangeRow* x, const PlacedExchangeRow* y) { return *x == *y; });
}

std::ostream& operator<<(std::ostream& out, const ExchangeRows& rows) {
    out << "ExchangeRows { recorded: [";
    const char* separator = "";
    for (const PlacedExchangeRow* row : rows.recorded()) {
        out << separator << *row;
        separator = ", ";
    }
    out << "] }";
    return out;
}

std::string to_string(const ExchangeRows& rows) {
    std::ostringstream out;
    out << rows;
    return std::move(out).str();
}

CodegenResult<GeneratedProgram> emit(const program::TileProgram& program,
                                     const SymbolTable& symbols, const program::HostProgram& host,
                                     const CodegenOptions& options) {
    if (options.invocations == 0) {
        return fail(invalid("invocation count must be nonzero"));
    }
    TARNWICK_EMIT_TRY(validate(program));
    const auto complete = symbol(symbols, COMPLETE_SYMBOL);
    if (!complete) {
        return fail(complete.error());
    }

    TileCode code;
    code.words.reserve(16 + 12 * program.steps.size());
    TARNWICK_EMIT_TRY(emit_host_phases(code, symbols, host.initialize));

    const bool looped = options.invocations > 1;
    if (looped) {
        TARNWICK_EMIT_TRY(code.add_immediate(STACK, STACK, -INVOCATION_FRAME_BYTES));
        TARNWICK_EMIT_TRY(code.setzi(SCRATCH, options.invocations));
        TARNWICK_EMIT_TRY(code.st32(SCRATCH, STACK, FRAME_DELTA, 0));
    }
    const auto invocation_start = code.address(options.code_address);
    if (!invocation_start) {
        return fail(invocation_start.error());
    }

    TARNWICK_EMIT_TRY(emit_host_phases(code, symbols, host.inputs));
    if (options.initial_profile_address) {
        TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *options.initial_profile_address));
    }

    std::optional<std::uint32_t> worker_barrier;
    if (std::ranges::any_of(program.steps,
                            [](const TileStep& step) { return active_exchange(step); })) {
        const auto barrier = symbol(symbols, WORKER_BARRIER_SYMBOL);
        if (!barrier) {
            return fail(barrier.error());
        }
        worker_barrier = *barrier;
    }

    ExchangeRows exchange_rows;
    exchange_rows.reserve(program.steps.size());
    TARNWICK_EMIT_TRY(emit_steps(code, program.tile, program.steps, symbols, worker_barrier,
                                 exchange_rows, std::nullopt, std::nullopt, options.code_address));

    if (options.final_profile_address) {
        TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *options.final_profile_address));
    }
    TARNWICK_EMIT_TRY(emit_host_phases(code, symbols, host.outputs));

    if (looped) {
        TARNWICK_EMIT_TRY(code.ld32(SCRATCH, STACK, FRAME_DELTA, 0));
        TARNWICK_EMIT_TRY(code.add_immediate(SCRATCH, SCRATCH, -1));
        TARNWICK_EMIT_TRY(code.st32(SCRATCH, STACK, FRAME_DELTA, 0));
        const std::size_t exit_branch = code.words.size();
        TARNWICK_EMIT_TRY(code.brz(SCRATCH, 0));
        TARNWICK_EMIT_TRY(code.jump(*invocation_start));
        const auto done = code.address(options.code_address);
        if (!done) {
            return fail(done.error());
        }
        const auto exit_word = instruction::encode_brz_m_immediate(SCRATCH, *done);
        if (!exit_word) {
            return fail(exit_word.error());
        }
        code.words[exit_branch] = *exit_word;
        TARNWICK_EMIT_TRY(code.add_immediate(STACK, STACK, INVOCATION_FRAME_BYTES));
    }
    TARNWICK_EMIT_TRY(code.jump(*complete));

    auto rows = exchange_rows.finish();
    if (!rows) {
        return fail(std::move(rows).error());
    }

    GeneratedProgram generated;
    if constexpr (std::endian::native == std::endian::little) {
        // The words already sit in memory in the order the bytes must have.
        const auto* first = reinterpret_cast<const std::uint8_t*>(code.words.data());
        generated.bytes.assign(first, first + 4 * code.words.size());
    } else {
        generated.bytes.resize(4 * code.words.size());
        std::uint8_t* out = generated.bytes.data();
        for (const std::uint32_t word : code.words) {
            out[0] = static_cast<std::uint8_t>(word);
            out[1] = static_cast<std::uint8_t>(word >> 8);
            out[2] = static_cast<std::uint8_t>(word >> 16);
            out[3] = static_cast<std::uint8_t>(word >> 24);
            out += 4;
        }
    }
    generated.exchange_rows = *std::move(rows);
    return generated;
}

CodegenStatus emit_steps(TileCode& code, std::uint16_t tile, std::span<const TileStep> steps,
                         const SymbolTable& symbols, std::optional<std::uint32_t> worker_barrier,
                         ExchangeRows& exchange_rows,
                         std::optional<std::size_t> repeat_pointer_count,
                         std::optional<std::uint32_t> repeat_count, std::uint32_t code_address) {
    std::size_t index = 0;
    while (index < steps.size()) {
        const TileStep& step = steps[index];
        if (const auto* compute = step.get_if<ComputeStep>()) {
            if (compute->symbol == COPY_U16_SYMBOL && absolute_u16_copy(*compute)) {
                const auto end = emit_copy_run(code, steps, index, symbols, *compute);
                if (!end) {
                    return fail(end.error());
                }
                index = *end;
                continue;
            }
            if (compute->profile.before) {
                TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *compute->profile.before));
            }
            TARNWICK_EMIT_TRY(emit_compute(code, tile, *compute, symbols, repeat_pointer_count));
            if (compute->profile.after) {
                TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *compute->profile.after));
            }
        } else if (const auto* exchange = step.get_if<ExchangeStep>()) {
            TARNWICK_EMIT_TRY(emit_exchange(code, *exchange, symbols, worker_barrier, exchange_rows,
                                            repeat_count));
        } else if (const auto* repeat = step.get_if<RepeatStep>()) {
            if (repeat->profile.before) {
                TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *repeat->profile.before));
            }
            TARNWICK_EMIT_TRY(emit_repeat(code, tile, *repeat, symbols, worker_barrier,
                                          exchange_rows, code_address));
            if (repeat->profile.after) {
                TARNWICK_EMIT_TRY(emit_cycle_sample(code, symbols, *repeat->profile.after));
            }
        } else if (const auto* checkpoint = step.get_if<CheckpointStep>()) {
            code.instruction(CHECKPOINT_WORD | checkpoint->breakpoint);
        }
        ++index;
    }
    return {};
}

CodegenStatus emit_cycle_sample(TileCode& code, const SymbolTable& symbols, std::uint32_t address) {
    TARNWICK_EMIT_TRY(code.setzi(2, address));
    const auto sample = symbol(symbols, SAMPLE_CYCLE_SYMBOL);
    if (!sample) {
        return fail(sample.error());
    }
    return code.call(*sample, CALL_RETURN);
}

std::optional<std::pair<std::uint32_t, std::uint32_t>>
absolute_u16_copy(const ComputeStep& compute) noexcept {
    if (compute.input_addresses.size() != 1 || compute.arguments.size() != 1 ||
        compute.arguments.front() != 1) {
        return std::nullopt;
    }
    const auto* source = compute.input_addresses.front().get_if<program::TileAddress::Absolute>();
    const auto* destination = compute.output_address.get_if<program::TileAddress::Absolute>();
    if (source == nullptr || destination == nullptr) {
        return std::nullopt;
    }
    return std::pair{source->address, destination->address};
}

std::optional<program::StepProfile> step_compute_profile(const TileStep& step) noexcept {
    if (const auto* compute = step.get_if<ComputeStep>()) {
        return compute->profile;
    }
    return std::nullopt;
}

} // namespace tarnwick::emit
