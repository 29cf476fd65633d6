#pragma once

// The exchange event timeline.
//
// Every exchange word a tile executes during an exchange phase occupies a fixed number of
// consecutive cycles, its *advance*. The timeline of a phase starts at cycle 0 with the first
// word of the row or program; a word starts at the sum of the advances of the words before it
// (the *event cycles* of its position), and the total advance of a row is its *horizon*.
//
// The timed words, the PIC delay and the XPIC delay, carry one receive-multiplexer control that
// takes effect at the end of the word; their advance field can be rewritten here. The append
// functions move a program's event cycles forward with plain delay words; both check everything
// before they append, so a failure leaves the program and its event cycles as they were.

#include "tarnwick/error.hpp"
#include "tarnwick/instruction.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarnwick::exchange {

// Cycles covered by one delay word (its 19-bit field plus one).
inline constexpr std::uint32_t MAXIMUM_DELAY_ADVANCE = 0x80000;
// Largest advance of a timed word.
inline constexpr std::uint32_t MAXIMUM_PIC_ADVANCE = 128;
inline constexpr std::uint32_t MAXIMUM_XPIC_ADVANCE = 4096;

// The number of cycles `instruction` occupies on the timeline. Sync, return and zero words (and
// any word that is not an exchange word) advance 0.
[[nodiscard]] constexpr std::uint32_t instruction_advance(std::uint32_t instruction) noexcept {
    using namespace instruction;
    if (is_delay(instruction)) {
        return (instruction & 0x7FFFFu) + 1u;
    }
    if (is_delay_pic(instruction)) {
        return ((instruction >> 19) & 0x7Fu) + 1u;
    }
    if (is_delay_xpic(instruction)) {
        return ((instruction >> 14) & 0xFFFu) + 1u;
    }
    if ((instruction & LONG_OPCODE_MASK) == SEND_OPCODE || is_send_control_pair(instruction) ||
        is_send_control(instruction)) {
        return ((instruction >> 21) & 0x3Fu) + 1u;
    }
    if (is_send_off(instruction)) {
        const std::uint32_t low = (instruction >> 21) & 0x3Fu;
        const std::uint32_t high = (instruction >> 14) & 0x3Fu;
        return ((high << 6) | low) + 1u;
    }
    return 0;
}

// 128 for a PIC delay, 4,096 for an XPIC delay, nothing for every other word.
[[nodiscard]] constexpr std::optional<std::uint32_t>
maximum_timed_instruction_advance(std::uint32_t instruction) noexcept {
    if (instruction::is_delay_pic(instruction)) {
        return MAXIMUM_PIC_ADVANCE;
    }
    if (instruction::is_delay_xpic(instruction)) {
        return MAXIMUM_XPIC_ADVANCE;
    }
    return std::nullopt;
}

// An XPIC delay that returns the incoming multiplexer to the neutral selection, whatever its
// advance and flag.
[[nodiscard]] constexpr bool is_neutral_mux_teardown(std::uint32_t instruction) noexcept {
    return instruction::is_delay_xpic(instruction) &&
           (instruction & 0x1FFFu) == instruction::TILE_MUX_EXCHANGE;
}

// Rewrites the advance field of a delay, PIC delay or XPIC delay so that the word advances exactly
// `advance` cycles; every other bit stays. On failure the word is unchanged.
[[nodiscard]] constexpr Status set_instruction_advance(std::uint32_t& instruction,
                                                       std::uint32_t advance) noexcept {
    using namespace instruction;
    if (advance == 0) {
        return schedule_error("zero event advance");
    }
    const std::uint32_t immediate = advance - 1u;
    if (is_delay(instruction)) {
        if (immediate > 0x7FFFFu) {
            return schedule_error("delay advance overflow");
        }
        instruction = (instruction & ~0x7FFFFu) | immediate;
        return {};
    }
    if (is_delay_pic(instruction)) {
        if (immediate > 0x7Fu) {
            return schedule_error("PIC delay advance overflow");
        }
        instruction = (instruction & ~(0x7Fu << 19)) | (immediate << 19);
        return {};
    }
    if (is_delay_xpic(instruction)) {
        if (immediate > 0xFFFu) {
            return schedule_error("XPIC delay advance overflow");
        }
        instruction = (instruction & ~(0xFFFu << 14)) | (immediate << 14);
        return {};
    }
    if (is_payload_send(instruction) || is_send_control(instruction)) {
        return schedule_error("scheduled offset truncates a send");
    }
    return schedule_error("first scheduled event is not a delay");
}

// The horizon of a row or program: the sum of its words' advances. The payload word after a
// SENDPICP first word is consumed with it and never measured.
[[nodiscard]] constexpr Result<std::uint32_t>
plan_event_cycles(std::span<const std::uint32_t> row) noexcept {
    std::uint32_t cycles = 0;
    std::size_t cursor = 0;
    while (cursor < row.size()) {
        const std::uint32_t word = row[cursor];
        const std::uint32_t advance = instruction_advance(word);
        if (advance > UINT32_MAX - cycles) {
            return schedule_error("plan event horizon overflow");
        }
        cycles += advance;
        cursor += instruction::is_send_control_pair(word) ? std::size_t{2} : std::size_t{1};
    }
    return cycles;
}

// Appends delay words until `event_cycles` reaches `target_cycles`: ceil(gap / 524,288) words,
// each full except the last. A gap of 0 appends nothing.
[[nodiscard]] Status append_plain_delay(std::vector<std::uint32_t>& words,
                                        std::uint32_t& event_cycles, std::uint32_t target_cycles);

// The same, with a number of delay words chosen so that afterwards the word count of `words` is
// even for `word_parity` 0 and odd for 1 (a SENDPICP must start at an even word index). Earlier
// words take as many cycles as they can while leaving one cycle for every word still to come.
[[nodiscard]] Status append_plain_delay_aligned(std::vector<std::uint32_t>& words,
                                                std::uint32_t& event_cycles,
                                                std::uint32_t target_cycles,
                                                std::uint32_t word_parity);

} // namespace tarnwick::exchange
