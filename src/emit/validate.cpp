#include "tarnwick/emit/validate.hpp"

#include "emit/try.hpp"
#include "tarnwick/instruction.hpp"

#include <string>

namespace tarnwick::emit {

namespace {

using program::CheckpointStep;
using program::ComputeStep;
using program::ExchangeStep;
using program::RepeatStep;
using program::TileAddress;
using program::TileStep;

// The words that the generated code places around an inactive phase.
constexpr std::uint32_t INACTIVE_PHASE_WORD = 0x40C00000;

// Kernel inputs and arguments live in m3..m9.
constexpr std::size_t KERNEL_VALUE_REGISTERS = 7;

CodegenStatus validate_exchange_step(const ExchangeStep& exchange,
                                     std::optional<std::uint32_t> repeat_count) {
    TARNWICK_EMIT_TRY(validate_exchange_program(exchange));
    if (const auto& patch = exchange.setup_patch) {
        if (patch->offsets.words.empty() ||
            patch->offsets.words.size() != patch->values.words.size()) {
            return fail(invalid("exchange setup patch has an invalid shape"));
        }
    }
    for (const auto& patch : exchange.repeat_patches) {
        if (!repeat_count || patch.values.words.size() != *repeat_count ||
            patch.word_offset >= exchange.program.words.size() || patch.values.address % 4 != 0) {
            return fail(invalid("exchange patch has invalid shape or address"));
        }
    }
    return {};
}

CodegenStatus validate_compute_step(const ComputeStep& compute,
                                    std::optional<std::size_t> repeat_pointer_count) {
    if (compute.symbol.empty()) {
        return fail(invalid("compute symbol is empty"));
    }
    const std::size_t values = compute.input_addresses.size() + compute.arguments.size();
    if (values == 0 || values > KERNEL_VALUE_REGISTERS) {
        std::string message = "kernel ";
        message += compute.symbol;
        message += " needs ";
        message += std::to_string(values);
        message += " input/argument registers; 1..=";
        message += std::to_string(KERNEL_VALUE_REGISTERS);
        message += " are supported";
        return fail(invalid(std::move(message)));
    }
    TARNWICK_EMIT_TRY(validate_address(compute.output_address, repeat_pointer_count));
    for (const auto& input : compute.input_addresses) {
        TARNWICK_EMIT_TRY(validate_address(input, repeat_pointer_count));
    }
    return {};
}

CodegenStatus validate_repeat_step(const RepeatStep& repeat,
                                   std::optional<std::size_t> repeat_pointer_count) {
    if (repeat_pointer_count) {
        return fail(invalid("nested finalized repeats are not yet supported"));
    }
    if (repeat.count == 0) {
        return fail(invalid("repeat count must be nonzero"));
    }
    return validate_steps(repeat.body, repeat.iterated_pointers.size(), repeat.count);
}

} // namespace

CodegenStatus validate(const program::TileProgram& program) {
    return validate_steps(program.steps, std::nullopt, std::nullopt);
}

CodegenStatus validate_steps(std::span<const TileStep> steps,
                             std::optional<std::size_t> repeat_pointer_count,
                             std::optional<std::uint32_t> repeat_count) {
    for (const TileStep& step : steps) {
        if (const auto* exchange = step.get_if<ExchangeStep>()) {
            TARNWICK_EMIT_TRY(validate_exchange_step(*exchange, repeat_count));
        } else if (const auto* compute = step.get_if<ComputeStep>()) {
            TARNWICK_EMIT_TRY(validate_compute_step(*compute, repeat_pointer_count));
        } else if (const auto* repeat = step.get_if<RepeatStep>()) {
            TARNWICK_EMIT_TRY(validate_repeat_step(*repeat, repeat_pointer_count));
        } else if (const auto* checkpoint = step.get_if<CheckpointStep>()) {
            if (checkpoint->breakpoint > 1) {
                return fail(invalid("checkpoint breakpoint must be zero or one"));
            }
        }
    }
    return {};
}

CodegenStatus validate_exchange_program(const ExchangeStep& exchange) {
    const auto& words = exchange.program.words;
    const bool embedded_sync =
        !words.empty() && words.front() == instruction::SYNC_EXCHANGE_INSTRUCTION;

    bool boundary_ok = exchange.program.address % 4 == 0 && !words.empty() &&
                       words.back() == instruction::RETURN_INSTRUCTION &&
                       embedded_sync == exchange.sync_in_program;
    for (std::size_t i = embedded_sync ? 1 : 0; boundary_ok && i < words.size(); ++i) {
        if (words[i] == INACTIVE_PHASE_WORD || words[i] == instruction::SYNC_EXCHANGE_INSTRUCTION) {
            boundary_ok = false;
        }
    }
    if (!boundary_ok) {
        return fail(invalid("exchange phase has an invalid boundary or timed program"));
    }

    const std::size_t frame_words = embedded_sync ? 2 : 1;
    if (exchange.active != (words.size() > frame_words)) {
        return fail(invalid("exchange participation does not match timed program"));
    }
    return {};
}

CodegenStatus validate_address(const TileAddress& address,
                               std::optional<std::size_t> repeat_pointer_count) {
    if (const auto* pointer = address.get_if<TileAddress::RepeatPointer>()) {
        if (!repeat_pointer_count || pointer->index >= *repeat_pointer_count) {
            return fail(invalid("compute address refers to an unavailable repeat pointer"));
        }
    }
    return {};
}

bool active_exchange(const TileStep& step) noexcept {
    if (const auto* exchange = step.get_if<ExchangeStep>()) {
        return exchange->active;
    }
    if (const auto* repeat = step.get_if<RepeatStep>()) {
        for (const TileStep& inner : repeat->body) {
            if (active_exchange(inner)) {
                return true;
            }
        }
    }
    return false;
}

} // namespace tarnwick::emit
