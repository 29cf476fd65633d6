// Calls that hand work to the tile runtime: exchange-program patches and host phase runs. Every
// operand is loaded into m2..m5 and every call returns through m9.

#include "emit/try.hpp"
#include "tarnwick/emit/emit.hpp"

#include <algorithm>
#include <limits>
#include <string_view>

namespace tarnwick::emit {

namespace {

constexpr std::string_view PATCH_ROW_SYMBOL = "tarnwick_static_patch_row";
constexpr std::string_view PATCH_WORD_SYMBOL = "tarnwick_static_patch_word";
constexpr std::string_view HOST_RUN_SYMBOL = "tarnwick_static_host_run";
constexpr std::string_view REPEAT_CALL_SYMBOL = "tarnwick_static_repeat_call";

constexpr std::uint8_t ROUTINE_RETURN = 9;
constexpr std::uint8_t STACK = 11;
constexpr std::uint8_t FRAME_DELTA = 15;

constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

} // namespace

CodegenStatus emit_exchange_setup_patch(TileCode& code, const program::ExchangeStep& exchange,
                                        const program::ExchangeSetupPatch& patch,
                                        const SymbolTable& symbols) {
    TARNWICK_EMIT_TRY(code.setzi(2, exchange.program.address));
    TARNWICK_EMIT_TRY(code.setzi(3, patch.offsets.address));
    TARNWICK_EMIT_TRY(code.setzi(4, patch.values.address));
    if (patch.values.words.size() > U32_MAX) {
        return fail(invalid("exchange setup patch is too large"));
    }
    TARNWICK_EMIT_TRY(code.setzi(5, static_cast<std::uint32_t>(patch.values.words.size())));
    const auto patch_row = symbol(symbols, PATCH_ROW_SYMBOL);
    if (!patch_row) {
        return fail(patch_row.error());
    }
    return code.call(*patch_row, ROUTINE_RETURN);
}

CodegenStatus emit_exchange_patches(TileCode& code, const program::ExchangeStep& exchange,
                                    std::uint32_t repeat_count, const SymbolTable& symbols) {
    const auto patch_word = symbol(symbols, PATCH_WORD_SYMBOL);
    if (!patch_word) {
        return fail(patch_word.error());
    }
    for (const auto& patch : exchange.repeat_patches) {
        if (patch.word_offset > U32_MAX / 4) {
            return fail(invalid("exchange patch offset overflow"));
        }
        const std::uint32_t byte_offset = patch.word_offset * 4;
        if (byte_offset > U32_MAX - exchange.program.address) {
            return fail(invalid("exchange patch address overflow"));
        }
        TARNWICK_EMIT_TRY(code.setzi(2, exchange.program.address + byte_offset));
        TARNWICK_EMIT_TRY(code.setzi(3, patch.values.address));
        // The iterations not yet completed, from word 0 of the repeat frame.
        TARNWICK_EMIT_TRY(code.ld32(4, STACK, FRAME_DELTA, 0));
        TARNWICK_EMIT_TRY(code.setzi(5, repeat_count));
        TARNWICK_EMIT_TRY(code.call(*patch_word, ROUTINE_RETURN));
    }
    return {};
}

CodegenStatus emit_host_phases(TileCode& code, const SymbolTable& symbols,
                               std::span<const program::HostPhase> phases) {
    if (phases.empty()) {
        return {};
    }
    const auto is_active = [](const program::HostPhase& phase) { return phase.active; };
    std::uint32_t repeat_call = 0;
    std::uint32_t host_run = 0;
    if (!std::ranges::all_of(phases, is_active)) {
        const auto found = symbol(symbols, REPEAT_CALL_SYMBOL);
        if (!found) {
            return fail(found.error());
        }
        repeat_call = *found;
    }
    if (std::ranges::any_of(phases, is_active)) {
        const auto found = symbol(symbols, HOST_RUN_SYMBOL);
        if (!found) {
            return fail(found.error());
        }
        host_run = *found;
    }

    std::size_t index = 0;
    while (index < phases.size()) {
        const program::HostPhase& first = phases[index];
        std::size_t end = index + 1;
        while (end < phases.size() && phases[end].active == first.active &&
               (!first.active || phases[end].address == first.address)) {
            ++end;
        }
        if (end - index > U32_MAX) {
            return fail(invalid("host run overflow"));
        }
        const auto length = static_cast<std::uint32_t>(end - index);

        if (first.active) {
            if (!first.run_table) {
                return fail(invalid("active host phase has no run table"));
            }
            TARNWICK_EMIT_TRY(code.setzi(2, length));
            TARNWICK_EMIT_TRY(code.setzi(3, *first.run_table));
            TARNWICK_EMIT_TRY(code.setzi(4, first.address));
            TARNWICK_EMIT_TRY(code.call(host_run, ROUTINE_RETURN));
        } else {
            TARNWICK_EMIT_TRY(code.setzi(2, length));
            TARNWICK_EMIT_TRY(code.setzi(3, first.address));
            TARNWICK_EMIT_TRY(code.call(repeat_call, ROUTINE_RETURN));
        }
        index = end;
    }
    return {};
}

} // namespace tarnwick::emit
