#pragma once

// The code buffer of one emission: the growing list of instruction words, and the instruction-level
// operations through which all code generation writes code. Every operation encodes its words with
// the validating encoders and appends them; an encoder's error comes back as
// CodegenError::Exchange. A failing operation may leave the words it appended before the failing
// encoder: callers drop the whole buffer on any error.

#include "tarnwick/emit/error.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/program.hpp"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::emit {

using program::SymbolTable;

struct TileCode {
    // Word i sits at code_address + 4 * i once the code is loaded.
    std::vector<std::uint32_t> words;

    // The address the next word will have when the code is loaded at `base`.
    [[nodiscard]] CodegenResult<std::uint32_t> address(std::uint32_t base) const {
        const std::size_t count = words.size();
        if (count > std::numeric_limits<std::uint32_t>::max()) {
            return fail(invalid("generated code exceeds u32"));
        }
        const auto count32 = static_cast<std::uint32_t>(count);
        if (count32 > std::numeric_limits<std::uint32_t>::max() / 4) {
            return fail(invalid("generated code size overflow"));
        }
        const std::uint32_t bytes = count32 * 4;
        if (bytes > std::numeric_limits<std::uint32_t>::max() - base) {
            return fail(invalid("generated code address overflow"));
        }
        return base + bytes;
    }

    // Appends a word as it is.
    void instruction(std::uint32_t word) { words.push_back(word); }

    // Loads a full 32-bit constant: one setzi below 0x100000, otherwise setzi of the upper 20 bits,
    // a shift left by 12 and an add of the low 12 bits.
    [[nodiscard, gnu::always_inline]] inline CodegenStatus setzi(std::uint8_t register_,
                                                                 std::uint32_t immediate) {
        if (immediate < instruction::SETZI_IMMEDIATE_LIMIT) [[likely]] {
            return append(instruction::encode_setzi_m(register_, immediate));
        }
        return setzi_long(register_, immediate);
    }

    // Loads word `offset` relative to `base` (with delta register `delta`).
    [[nodiscard, gnu::always_inline]] inline CodegenStatus
    ld32(std::uint8_t destination, std::uint8_t base, std::uint8_t delta, std::uint16_t offset) {
        return append(instruction::encode_ld32_m_immediate(destination, base, delta, offset));
    }

    [[nodiscard, gnu::always_inline]] inline CodegenStatus
    st32(std::uint8_t source, std::uint8_t base, std::uint8_t delta, std::uint16_t offset) {
        return append(instruction::encode_st32_m_immediate(source, base, delta, offset));
    }

    [[nodiscard, gnu::always_inline]] inline CodegenStatus
    add_immediate(std::uint8_t destination, std::uint8_t source, std::int32_t immediate) {
        return append(instruction::encode_add_m_immediate(destination, source, immediate));
    }

    // Adds an unsigned amount in steps of at most 32767: nothing for 0, ceil(n / 32767) adds.
    [[nodiscard]] CodegenStatus add_unsigned(std::uint8_t register_, std::uint32_t immediate) {
        constexpr std::uint32_t step = 0x7FFF;
        while (immediate != 0) {
            const std::uint32_t part = immediate < step ? immediate : step;
            if (auto status = add_immediate(register_, register_, static_cast<std::int32_t>(part));
                !status) {
                return status;
            }
            immediate -= part;
        }
        return {};
    }

    // Copies m`register_` into special register `special`.
    [[nodiscard, gnu::always_inline]] inline CodegenStatus put_special(std::uint8_t special,
                                                                       std::uint8_t register_) {
        return append(instruction::encode_put_special_m(special, register_));
    }

    [[nodiscard, gnu::always_inline]] inline CodegenStatus call(std::uint32_t target,
                                                                std::uint8_t return_register) {
        return append(instruction::encode_call_m_immediate(return_register, target));
    }

    [[nodiscard, gnu::always_inline]] inline CodegenStatus brz(std::uint8_t register_,
                                                               std::uint32_t target) {
        return append(instruction::encode_brz_m_immediate(register_, target));
    }

    // An absolute jump through m0, which it overwrites.
    [[nodiscard]] CodegenStatus jump(std::uint32_t target) {
        if (auto status = setzi(0, target); !status) {
            return status;
        }
        return append(instruction::encode_br_m(0));
    }

    friend bool operator==(const TileCode&, const TileCode&) = default;

private:
    [[nodiscard, gnu::always_inline]] inline CodegenStatus
    append(const Result<std::uint32_t>& word) {
        if (word) [[likely]] {
            words.push_back(*word);
            return {};
        }
        return encoder_failure(word.error());
    }

    // An encoder's error as the operation's result, kept out of line so the operations stay small.
    [[nodiscard, gnu::cold, gnu::noinline]] static CodegenStatus
    encoder_failure(const ExchangeError& error);

    // The three-word load of a constant of 0x100000 or more.
    [[nodiscard]] CodegenStatus setzi_long(std::uint8_t register_, std::uint32_t immediate);
};

std::ostream& operator<<(std::ostream& out, const TileCode& code);
[[nodiscard]] std::string to_string(const TileCode& code);

// The address of a tile runtime routine; a missing name is
// Invalid("missing runtime symbol <name>").
[[nodiscard]] CodegenResult<std::uint32_t> symbol(const SymbolTable& symbols,
                                                  std::string_view name);

} // namespace tarnwick::emit
