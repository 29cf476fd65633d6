#pragma once

// Tile instruction words: the one place where the bit layout of a tile instruction is fixed.
//
// Validating encoders (`encode_…`) check every operand and fail with a Schedule message naming the
// instruction. The short unchecked constructors (`delay`, `delay_pic`, `delay_xpic`, `send_off`,
// `setzi_m`, `br_m`, `put_special_from_m8`) are for operands already known to fit: the delay
// constructors and `send_off` mask each operand to its field, `setzi_m` and `br_m` do not.
//
// Everything here is constexpr, so reference words can be checked at compile time.

#include "tarnwick/error.hpp"

#include <cstdint>

namespace tarnwick::instruction {

using Word = std::uint32_t;

// Opcode masks and opcodes.
inline constexpr Word OPCODE_MASK = 0xFC000000; // six-bit major opcode, bits 31..26
inline constexpr Word LONG_OPCODE_MASK = 0xF8000000; // five-bit opcode of the send forms
inline constexpr Word SEND_OPCODE = 0x78000000;
inline constexpr Word DELAY_XPIC_OPCODE = 0x64000000;
inline constexpr Word DELAY_PIC_OPCODE = 0x60000000;

// The neutral incoming multiplexer selection (above every tile number).
inline constexpr Word TILE_MUX_EXCHANGE = 0x640;

inline constexpr Word SYNC_EXCHANGE_INSTRUCTION = 0x41800003; // sync zone 3, opens every row
inline constexpr Word SYNC_ALL_INSTRUCTION = 0x41800007;      // sync zone 7
inline constexpr Word SYNC_HOST_INSTRUCTION = 0x4180000F;     // sync zone 15
inline constexpr Word RETURN_INSTRUCTION = 0x43A00000;        // br m10, closes every row

// Classification masks for the words that carry no dedicated predicate.
inline constexpr Word DELAY_MASK = 0xFFF80000;
inline constexpr Word DELAY_OPCODE = 0x40A00000;
inline constexpr Word SYNC_MASK = 0xFFFFFF00;
inline constexpr Word SYNC_OPCODE = 0x41800000;
inline constexpr Word CHECKPOINT_OPCODE = 0x41801000;
inline constexpr Word SEND_FORM_MASK = 0xF8100000;
inline constexpr Word SEND_OFF_OPCODE = 0x70000000;
inline constexpr Word SEND_CONTROL_OPCODE = 0x70100000;
inline constexpr Word SEND_CONTROL_PAIR_MASK = 0xF0000000;
inline constexpr Word SEND_CONTROL_PAIR_OPCODE = 0xF0000000;

// Largest operands of the fields.
inline constexpr std::uint8_t MAX_REGISTER = 15;
inline constexpr Word SETZI_IMMEDIATE_LIMIT = 1u << 20;   // exclusive
inline constexpr Word CODE_ADDRESS_LIMIT = 0x200000;      // exclusive, call and brz targets
inline constexpr std::uint16_t WORD_OFFSET_LIMIT = 0x1000; // exclusive, ld32/st32/and/shl
inline constexpr Word SEND_COUNT_MINUS_ONE_MAX = 63;
inline constexpr Word SEND_DIRECTION_MAX = 7;
inline constexpr Word SEND_BASE_WORD_MAX = 0x3FFFF;

namespace detail {

[[nodiscard]] constexpr bool is_register(std::uint8_t r) noexcept { return r <= MAX_REGISTER; }
[[nodiscard]] constexpr Word reg(std::uint8_t r, unsigned shift) noexcept {
    return static_cast<Word>(r) << shift;
}
[[nodiscard]] constexpr bool is_code_target(Word address) noexcept {
    return address % 4 == 0 && address < CODE_ADDRESS_LIMIT;
}

} // namespace detail

// ---- unchecked constructors -------------------------------------------------------------------

// setzi: 31..24 = 0x19 | 23..20 register | 19..0 immediate. Operands are not masked.
[[nodiscard]] constexpr Word setzi_m(std::uint8_t register_, Word immediate) noexcept {
    return 0x19000000u | detail::reg(register_, 20) | immediate;
}

// br (branch to register): 31..24 = 0x43 | 23..20 register. Not masked.
[[nodiscard]] constexpr Word br_m(std::uint8_t register_) noexcept {
    return 0x43000000u | detail::reg(register_, 20);
}

// put: copies m8 into the special register numbered `special`.
[[nodiscard]] constexpr Word put_special_from_m8(std::uint8_t special) noexcept {
    return 0x43808000u | special;
}

// delay: 18..0 cycles minus one.
[[nodiscard]] constexpr Word encode_exchange_delay(Word cycles) noexcept {
    return DELAY_OPCODE | (cycles & 0x7FFFF);
}

// PIC delay: 25..19 a (cycles minus one) | 18 b (selector flag) | 17..0 c (incoming operand).
[[nodiscard]] constexpr Word encode_exchange_delay_pic(Word a, Word b, Word c) noexcept {
    return DELAY_PIC_OPCODE | ((a & 0x7F) << 19) | ((b & 1) << 18) | (c & 0x3FFFF);
}

// XPIC delay: 25..14 a (cycles minus one) | 13 b | 12..0 c (incoming multiplexer selection).
[[nodiscard]] constexpr Word encode_exchange_delay_xpic(Word a, Word b, Word c) noexcept {
    return DELAY_XPIC_OPCODE | ((a & 0xFFF) << 14) | ((b & 1) << 13) | (c & 0x1FFF);
}

[[nodiscard]] constexpr Word delay(Word cycles) noexcept { return encode_exchange_delay(cycles); }
[[nodiscard]] constexpr Word delay_pic(Word a, Word b, Word c) noexcept {
    return encode_exchange_delay_pic(a, b, c);
}
[[nodiscard]] constexpr Word delay_xpic(Word a, Word b, Word c) noexcept {
    return encode_exchange_delay_xpic(a, b, c);
}

// send with offset: 26..21 low six bits of count_minus_one | 19..14 its high six bits |
// 13..3 base_word (11 bits) | 2..0 direction.
[[nodiscard]] constexpr Word send_off(Word count_minus_one, Word direction, Word base_word) noexcept {
    return SEND_OFF_OPCODE | ((count_minus_one & 0x3F) << 21) |
           (((count_minus_one >> 6) & 0x3F) << 14) | ((base_word & 0x7FF) << 3) | (direction & 7);
}

// ---- validating encoders ----------------------------------------------------------------------

[[nodiscard]] constexpr Result<Word> encode_setzi_m(std::uint8_t register_, Word immediate) noexcept {
    if (!detail::is_register(register_) || immediate >= SETZI_IMMEDIATE_LIMIT) {
        return schedule_error("setzi operand");
    }
    return setzi_m(register_, immediate);
}

// call: 31..24 = 0x18 | 23..20 return register | 18..0 target byte address / 4.
[[nodiscard]] constexpr Result<Word> encode_call_m_immediate(std::uint8_t return_register,
                                                             Word target_address) noexcept {
    if (!detail::is_register(return_register) || !detail::is_code_target(target_address)) {
        return schedule_error("call operand");
    }
    return 0x18000000u | detail::reg(return_register, 20) | (target_address >> 2);
}

// brz: 31..24 = 0x13 | 23..20 register | 18..0 target byte address / 4.
[[nodiscard]] constexpr Result<Word> encode_brz_m_immediate(std::uint8_t register_,
                                                            Word target_address) noexcept {
    if (!detail::is_register(register_) || !detail::is_code_target(target_address)) {
        return schedule_error("brz operand");
    }
    return 0x13000000u | detail::reg(register_, 20) | (target_address >> 2);
}

[[nodiscard]] constexpr Result<Word> encode_br_m(std::uint8_t register_) noexcept {
    if (!detail::is_register(register_)) {
        return schedule_error("branch register");
    }
    return br_m(register_);
}

// put: 31..24 = 0x43 | 23..20 source register | 19..8 = 0x080 | 7..0 special register number.
[[nodiscard]] constexpr Result<Word> encode_put_special_m(std::uint8_t special,
                                                         std::uint8_t register_) noexcept {
    if (!detail::is_register(register_)) {
        return schedule_error("put source register");
    }
    return 0x43008000u | detail::reg(register_, 20) | special;
}

// ld32: 31..24 = 0x01 | 23..20 base | 19..16 destination | 15..12 delta | 11..0 word offset.
[[nodiscard]] constexpr Result<Word> encode_ld32_m_immediate(std::uint8_t destination,
                                                             std::uint8_t base, std::uint8_t delta,
                                                             std::uint16_t word_offset) noexcept {
    if (!detail::is_register(destination) || !detail::is_register(base) ||
        !detail::is_register(delta) || word_offset >= WORD_OFFSET_LIMIT) {
        return schedule_error("ld32 operand");
    }
    return 0x01000000u | detail::reg(base, 20) | detail::reg(destination, 16) |
           detail::reg(delta, 12) | word_offset;
}

// st32: 31..24 = 0x4F | 23..20 base | 19..16 source | 15..12 delta | 11..0 word offset.
[[nodiscard]] constexpr Result<Word> encode_st32_m_immediate(std::uint8_t source, std::uint8_t base,
                                                             std::uint8_t delta,
                                                             std::uint16_t word_offset) noexcept {
    if (!detail::is_register(source) || !detail::is_register(base) ||
        !detail::is_register(delta) || word_offset >= WORD_OFFSET_LIMIT) {
        return schedule_error("st32 operand");
    }
    return 0x4F000000u | detail::reg(base, 20) | detail::reg(source, 16) | detail::reg(delta, 12) |
           word_offset;
}

// add: 31..24 = 0x22 | 23..20 source | 19..16 destination | 15..0 signed 16-bit immediate.
// A bad immediate is reported before a bad register.
[[nodiscard]] constexpr Result<Word> encode_add_m_immediate(std::uint8_t destination,
                                                            std::uint8_t source,
                                                            std::int32_t immediate) noexcept {
    if (immediate < -32768 || immediate > 32767) {
        return schedule_error("add immediate operand");
    }
    if (!detail::is_register(destination) || !detail::is_register(source)) {
        return schedule_error("add register operand");
    }
    return 0x22000000u | detail::reg(source, 20) | detail::reg(destination, 16) |
           (static_cast<Word>(immediate) & 0xFFFF);
}

// and: 31..24 = 0x42 | 23..20 source | 19..16 destination | 15..12 = 0x0 | 11..0 immediate.
[[nodiscard]] constexpr Result<Word> encode_and_m_immediate(std::uint8_t destination,
                                                            std::uint8_t source,
                                                            std::uint16_t immediate) noexcept {
    if (!detail::is_register(destination) || !detail::is_register(source) ||
        immediate >= WORD_OFFSET_LIMIT) {
        return schedule_error("and operand");
    }
    return 0x42000000u | detail::reg(source, 20) | detail::reg(destination, 16) | immediate;
}

// shl: 31..24 = 0x42 | 23..20 source | 19..16 destination | 15..12 = 0xA | 11..0 immediate.
[[nodiscard]] constexpr Result<Word> encode_shl_m_immediate(std::uint8_t destination,
                                                            std::uint8_t source,
                                                            std::uint16_t immediate) noexcept {
    if (!detail::is_register(destination) || !detail::is_register(source) ||
        immediate >= WORD_OFFSET_LIMIT) {
        return schedule_error("shift-left operand");
    }
    return 0x4200A000u | detail::reg(source, 20) | detail::reg(destination, 16) | immediate;
}

// send: 31..27 = 0b01111 | 26..21 count_minus_one | 20..3 base_word | 2..0 direction.
[[nodiscard]] constexpr Result<Word> encode_send(Word count_minus_one, Word direction,
                                                 Word base_word) noexcept {
    if (count_minus_one > SEND_COUNT_MINUS_ONE_MAX || direction > SEND_DIRECTION_MAX ||
        base_word > SEND_BASE_WORD_MAX) {
        return schedule_error("send instruction operand");
    }
    return SEND_OPCODE | (count_minus_one << 21) | (base_word << 3) | direction;
}

// ---- predicates -------------------------------------------------------------------------------

[[nodiscard]] constexpr bool is_send_off(Word instruction) noexcept {
    return (instruction & SEND_FORM_MASK) == SEND_OFF_OPCODE;
}

// SENDPIC: a send that carries one receive control.
[[nodiscard]] constexpr bool is_send_control(Word instruction) noexcept {
    return (instruction & SEND_FORM_MASK) == SEND_CONTROL_OPCODE;
}

// First word of SENDPICP: a send that carries a pair of receive controls.
[[nodiscard]] constexpr bool is_send_control_pair(Word instruction) noexcept {
    return (instruction & SEND_CONTROL_PAIR_MASK) == SEND_CONTROL_PAIR_OPCODE;
}

[[nodiscard]] constexpr bool is_payload_send(Word instruction) noexcept {
    return (instruction & LONG_OPCODE_MASK) == SEND_OPCODE || is_send_off(instruction);
}

[[nodiscard]] constexpr bool is_delay(Word instruction) noexcept {
    return (instruction & DELAY_MASK) == DELAY_OPCODE;
}
[[nodiscard]] constexpr bool is_delay_pic(Word instruction) noexcept {
    return (instruction & OPCODE_MASK) == DELAY_PIC_OPCODE;
}
[[nodiscard]] constexpr bool is_delay_xpic(Word instruction) noexcept {
    return (instruction & OPCODE_MASK) == DELAY_XPIC_OPCODE;
}
[[nodiscard]] constexpr bool is_sync(Word instruction) noexcept {
    return (instruction & SYNC_MASK) == SYNC_OPCODE;
}

} // namespace tarnwick::instruction
