// Kernel calls and counted repeats: the kernel calling convention and the repeat frame.

#include "emit/try.hpp"
#include "tarnwick/emit/emit.hpp"
#include "tarnwick/instruction.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace tarnwick::emit {

namespace {

constexpr std::uint8_t SCRATCH = 0;
constexpr std::uint8_t OUTPUT_REGISTER = 2;
constexpr std::uint8_t FIRST_INPUT_REGISTER = 3;
constexpr std::uint8_t CALL_RETURN = 10;
constexpr std::uint8_t STACK = 11;
constexpr std::uint8_t FRAME_DELTA = 15;

constexpr std::size_t U8_LIMIT = std::numeric_limits<std::uint8_t>::max();
constexpr std::size_t U16_LIMIT = std::numeric_limits<std::uint16_t>::max();

// Frame word of iterated pointer `index` (word 0 is the counter).
CodegenResult<std::uint16_t> pointer_slot(std::size_t index) {
    if (index >= U16_LIMIT) {
        return fail(invalid("too many repeat pointers"));
    }
    return static_cast<std::uint16_t>(index + 1);
}

// The run-time value of `address` into `register_`.
CodegenStatus load_address(TileCode& code, std::uint8_t register_,
                           const program::TileAddress& address,
                           std::optional<std::size_t> repeat_pointer_count) {
    if (const auto* absolute = address.get_if<program::TileAddress::Absolute>()) {
        return code.setzi(register_, absolute->address);
    }
    const auto& pointer = *address.get_if<program::TileAddress::RepeatPointer>();
    if (!repeat_pointer_count) {
        return fail(invalid("repeat pointer used outside repeat body"));
    }
    if (pointer.index >= *repeat_pointer_count) {
        return fail(invalid("repeat pointer index is out of range"));
    }
    // Frame word 1 + index; an index of 0xFFFF has no u16 slot, and any slot beyond the word
    // offset field is rejected by the load itself, so the slot saturates rather than wrapping.
    const auto slot = static_cast<std::uint16_t>(
        std::min<std::size_t>(std::size_t{pointer.index} + 1, U16_LIMIT));
    TARNWICK_EMIT_TRY(code.ld32(register_, STACK, FRAME_DELTA, slot));
    return code.add_unsigned(register_, pointer.offset);
}

} // namespace

CodegenStatus emit_compute(TileCode& code, std::uint16_t tile, const program::ComputeStep& compute,
                           const SymbolTable& symbols,
                           std::optional<std::size_t> repeat_pointer_count) {
    const std::size_t inputs = compute.input_addresses.size();
    if (inputs > U8_LIMIT) {
        return fail(invalid("kernel input count exceeds u8"));
    }
    if (inputs + FIRST_INPUT_REGISTER > U8_LIMIT) {
        return fail(invalid("kernel input register overflow"));
    }
    const auto argument_base = static_cast<std::uint8_t>(inputs + FIRST_INPUT_REGISTER);

    TARNWICK_EMIT_TRY(
        load_address(code, OUTPUT_REGISTER, compute.output_address, repeat_pointer_count));
    for (std::size_t i = 0; i < inputs; ++i) {
        // inputs + 3 <= 255, so every input register fits in u8.
        const auto register_ = static_cast<std::uint8_t>(FIRST_INPUT_REGISTER + i);
        TARNWICK_EMIT_TRY(
            load_address(code, register_, compute.input_addresses[i], repeat_pointer_count));
    }
    for (std::size_t j = 0; j < compute.arguments.size(); ++j) {
        if (j > U8_LIMIT || argument_base + j > U8_LIMIT) {
            // A register beyond u8 is beyond every register the encoders accept.
            return fail(invalid("kernel argument count exceeds u8"));
        }
        const auto register_ = static_cast<std::uint8_t>(argument_base + j);
        TARNWICK_EMIT_TRY(code.setzi(register_, compute.arguments[j]));
    }

    const auto kernel = symbols.find(std::string_view{compute.symbol});
    if (kernel == symbols.end()) {
        std::string message = "tile ";
        message += std::to_string(tile);
        message += " references missing kernel symbol ";
        message += compute.symbol;
        return fail(invalid(std::move(message)));
    }
    return code.call(kernel->second, CALL_RETURN);
}

CodegenStatus emit_address(TileCode& code, std::uint8_t register_,
                           const program::TileAddress& address,
                           std::optional<std::size_t> repeat_pointer_count) {
    return load_address(code, register_, address, repeat_pointer_count);
}

CodegenStatus emit_repeat(TileCode& code, std::uint16_t tile, const program::RepeatStep& repeat,
                          const SymbolTable& symbols, std::optional<std::uint32_t> worker_barrier,
                          ExchangeRows& exchange_rows, std::uint32_t code_address) {
    const std::size_t pointers = repeat.iterated_pointers.size();
    if (pointers == std::numeric_limits<std::size_t>::max()) {
        return fail(invalid("repeat frame size overflow"));
    }
    const std::size_t words = pointers + 1;
    // 4 * words rounded up to a multiple of 8, within a signed 32-bit integer.
    constexpr std::size_t frame_limit = std::numeric_limits<std::int32_t>::max();
    if (words > frame_limit / 4 - 1) {
        return fail(invalid("repeat frame is too large"));
    }
    const std::size_t frame_bytes = (4 * words + 7) / 8 * 8;
    const auto frame = static_cast<std::int32_t>(frame_bytes);

    TARNWICK_EMIT_TRY(code.add_immediate(STACK, STACK, -frame));
    TARNWICK_EMIT_TRY(code.setzi(SCRATCH, repeat.count));
    TARNWICK_EMIT_TRY(code.st32(SCRATCH, STACK, FRAME_DELTA, 0));
    for (std::size_t i = 0; i < pointers; ++i) {
        const auto slot = pointer_slot(i);
        if (!slot) {
            return fail(slot.error());
        }
        TARNWICK_EMIT_TRY(code.setzi(SCRATCH, repeat.iterated_pointers[i].initial_address));
        TARNWICK_EMIT_TRY(code.st32(SCRATCH, STACK, FRAME_DELTA, *slot));
    }

    const auto loop_start = code.address(code_address);
    if (!loop_start) {
        return fail(loop_start.error());
    }
    TARNWICK_EMIT_TRY(emit_steps(code, tile, repeat.body, symbols, worker_barrier, exchange_rows,
                                 pointers, repeat.count, code_address));

    for (std::size_t i = 0; i < pointers; ++i) {
        const auto slot = pointer_slot(i);
        if (!slot) {
            return fail(slot.error());
        }
        TARNWICK_EMIT_TRY(code.ld32(SCRATCH, STACK, FRAME_DELTA, *slot));
        TARNWICK_EMIT_TRY(code.add_unsigned(SCRATCH, repeat.iterated_pointers[i].stride_bytes));
        TARNWICK_EMIT_TRY(code.st32(SCRATCH, STACK, FRAME_DELTA, *slot));
    }

    TARNWICK_EMIT_TRY(code.ld32(SCRATCH, STACK, FRAME_DELTA, 0));
    TARNWICK_EMIT_TRY(code.add_immediate(SCRATCH, SCRATCH, -1));
    TARNWICK_EMIT_TRY(code.st32(SCRATCH, STACK, FRAME_DELTA, 0));
    const std::size_t exit_branch = code.words.size();
    TARNWICK_EMIT_TRY(code.brz(SCRATCH, 0));
    TARNWICK_EMIT_TRY(code.jump(*loop_start));
    const auto done = code.address(code_address);
    if (!done) {
        return fail(done.error());
    }
    const auto exit_word = instruction::encode_brz_m_immediate(SCRATCH, *done);
    if (!exit_word) {
        return fail(exit_word.error());
    }
    code.words[exit_branch] = *exit_word;

    return code.add_immediate(STACK, STACK, frame);
}

} // namespace tarnwick::emit
