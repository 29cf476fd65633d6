#include "tarnwick/exchange/patch.hpp"

#include "tarnwick/instruction.hpp"

#include <algorithm>

namespace tarnwick::exchange {

namespace {

using instruction::is_send_control;
using instruction::is_send_control_pair;

constexpr std::uint32_t ADDRESS_FIELD_MAX = 0x3FFFF;
constexpr std::uint32_t SEND_SOURCE_MASK = 0x001FFFF8;  // bits 20..3
constexpr std::uint32_t PIC_OPERAND_MASK = 0x0003FFFF;  // bits 17..0
constexpr std::uint32_t XPIC_OPERAND_MASK = 0x00001FFF; // bits 12..0
constexpr std::uint32_t PIC_FORMAT_BIT = 1u << 18;
constexpr std::uint32_t SENDPICP_FORMAT_BIT = 1u << 27;
constexpr std::uint32_t DELAY_WORD_CYCLES = 0x80000;

[[nodiscard]] constexpr bool is_plain_send(std::uint32_t word) noexcept {
    return (word & instruction::LONG_OPCODE_MASK) == instruction::SEND_OPCODE;
}

[[nodiscard]] constexpr bool is_pointer_pic_delay(std::uint32_t word) noexcept {
    return instruction::is_delay_pic(word) && (word & PIC_FORMAT_BIT) == 0;
}

} // namespace

Status patch_sender_address(PlanRow& row, std::uint32_t byte_address) noexcept {
    const auto send = std::ranges::find_if(row, is_plain_send);
    if (send == row.end()) {
        return fail(ExchangeError::Address{byte_address});
    }
    return patch_sender_instruction(*send, byte_address);
}

Status patch_sender_instruction(std::uint32_t& instruction, std::uint32_t byte_address) noexcept {
    const bool patchable =
        is_plain_send(instruction) || (is_send_control_pair(instruction) && (instruction & 7u) != 0);
    if (!patchable) {
        return fail(ExchangeError::Address{byte_address});
    }
    const unsigned item_shift = (instruction & 4u) != 0 ? 3u : 2u;
    const std::uint32_t item_mask = (1u << item_shift) - 1u;
    if ((byte_address & item_mask) != 0 || (byte_address >> item_shift) > ADDRESS_FIELD_MAX) {
        return fail(ExchangeError::Address{byte_address});
    }
    const std::uint32_t item_address = byte_address >> item_shift;
    instruction = (instruction & ~SEND_SOURCE_MASK) | (item_address << 3);
    return {};
}

Status patch_receiver_address(PlanRow& row, std::uint32_t byte_address) noexcept {
    if (byte_address % 4 != 0 || (byte_address >> 2) > ADDRESS_FIELD_MAX) {
        return fail(ExchangeError::Address{byte_address});
    }
    const std::uint32_t word_address = byte_address >> 2;
    std::size_t cursor = 0;
    while (cursor < row.size()) {
        const std::uint32_t word = row[cursor];
        if (is_send_control_pair(word)) {
            if ((word & SENDPICP_FORMAT_BIT) == 0) {
                if (cursor + 1 >= row.size()) {
                    return schedule_error("truncated SENDPICP payload");
                }
                std::uint32_t& payload = row[cursor + 1];
                payload = (payload & ~PIC_OPERAND_MASK) | word_address;
                return {};
            }
            cursor += 2;
        } else if (is_pointer_pic_delay(word)) {
            row[cursor] = (word & ~PIC_OPERAND_MASK) | word_address;
            return {};
        } else {
            cursor += 1;
        }
    }
    return fail(ExchangeError::Address{byte_address});
}

Result<PlanRow> finalize_point_receiver(const PlanRow& row, std::uint16_t source_physical) noexcept {
    const std::uint32_t patch_index = row[0];
    if (patch_index >= PLAN_ROW_WORDS - 1 || source_physical > XPIC_OPERAND_MASK) {
        return schedule_error("point receiver patch index");
    }
    PlanRow finished{};
    std::copy(row.begin() + 1, row.end(), finished.begin());
    std::uint32_t& selection = finished[patch_index];
    selection = (selection & ~XPIC_OPERAND_MASK) | source_physical;
    return finished;
}

Status offset_plan(PlanRow& row, std::uint32_t cycles) noexcept {
    if (cycles == 0) {
        return {};
    }
    if (row[0] != instruction::SYNC_EXCHANGE_INSTRUCTION) {
        return schedule_error("plan offset entry");
    }
    const auto return_word = std::ranges::find(row, instruction::RETURN_INSTRUCTION);
    if (return_word == row.end()) {
        return schedule_error("plan offset return");
    }
    const auto end = static_cast<std::size_t>(return_word - row.begin());
    const std::size_t available = PLAN_ROW_WORDS - 1 - end;
    const std::uint32_t delay_count =
        cycles / DELAY_WORD_CYCLES + (cycles % DELAY_WORD_CYCLES != 0 ? 1u : 0u);
    if (delay_count > available) {
        // At most seven free words, so the maximum stays far below the u32 range.
        const auto maximum = static_cast<std::uint32_t>(available) * DELAY_WORD_CYCLES;
        return fail(ExchangeError::PlanOffsetRange{cycles, maximum});
    }
    // Words 1..end (the return included) move up by delay_count places.
    std::copy_backward(row.begin() + 1, row.begin() + static_cast<std::ptrdiff_t>(end + 1),
                       row.begin() + static_cast<std::ptrdiff_t>(end + 1 + delay_count));
    std::uint32_t remaining = cycles;
    for (std::size_t slot = 1; slot <= delay_count; ++slot) {
        const std::uint32_t chunk = std::min(remaining, DELAY_WORD_CYCLES);
        row[slot] = instruction::delay(chunk - 1u);
        remaining -= chunk;
    }
    return {};
}

std::vector<std::uint32_t> normalized_exchange_address_words(std::span<const std::uint32_t> row) {
    std::vector<std::uint32_t> words(row.begin(), row.end());
    std::size_t cursor = 0;
    while (cursor < words.size()) {
        std::uint32_t& word = words[cursor];
        if (is_send_control_pair(word)) {
            if ((word & 7u) != 0) {
                word &= ~SEND_SOURCE_MASK;
            }
            if ((word & SENDPICP_FORMAT_BIT) == 0 && cursor + 1 < words.size()) {
                words[cursor + 1] &= ~PIC_OPERAND_MASK;
            }
            cursor += 2;
            continue;
        }
        if (is_plain_send(word)) {
            word &= ~SEND_SOURCE_MASK;
        } else if ((is_send_control(word) && ((word >> 18) & 3u) == 2) ||
                   is_pointer_pic_delay(word)) {
            word &= ~PIC_OPERAND_MASK;
        }
        cursor += 1;
    }
    return words;
}

} // namespace tarnwick::exchange
