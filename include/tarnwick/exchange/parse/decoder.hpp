#pragma once

// The exchange program decoder: reads a row of exchange instruction words (a sender or receiver
// row, or a whole timed tile exchange program) back into operations, each with its word offset,
// optional byte address and the cycle window it occupies on a timeline starting at cycle 0.
//
// The decoder understands exactly the words the exchange encoders write. It never rejects an
// unrecognised word: that word decodes as `Unknown`, takes no cycles, and decoding goes on. It
// fails only on a SENDPICP whose payload word is missing and on overflow of the cycle or address
// counters.

#include "tarnwick/error.hpp"
#include "tarnwick/instruction.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

namespace tarnwick::exchange::parse {

// Which incoming multiplexer control of the tile a control addresses.
enum class IncomingControlStream : std::uint8_t {
    Pic = 0,  // incoming pointer or format; 19-bit values
    Xpic = 1, // incoming source selection; 14-bit values
};

[[nodiscard]] std::string_view name(IncomingControlStream stream) noexcept;
std::ostream& operator<<(std::ostream& out, IncomingControlStream stream);

// One incoming-multiplexer control.
struct IncomingControl {
    IncomingControlStream stream = IncomingControlStream::Pic;
    std::uint32_t value = 0;

    friend constexpr bool operator==(const IncomingControl&, const IncomingControl&) = default;
};

std::ostream& operator<<(std::ostream& out, const IncomingControl& control);
[[nodiscard]] std::string to_string(const IncomingControl& control);

// The incoming-multiplexer controls a send carries: none, one or two, held inline (a send never
// carries more), so decoded operations are plain values that copy without allocating.
class IncomingControlList {
public:
    static constexpr std::size_t CAPACITY = 2;

    constexpr IncomingControlList() noexcept = default;
    constexpr IncomingControlList(IncomingControl only) noexcept : controls_{only}, size_(1) {}
    constexpr IncomingControlList(IncomingControl first, IncomingControl second) noexcept
        : controls_{first, second}, size_(2) {}

    [[nodiscard]] constexpr std::size_t size() const noexcept { return size_; }
    [[nodiscard]] constexpr bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] constexpr const IncomingControl* begin() const noexcept { return controls_.data(); }
    [[nodiscard]] constexpr const IncomingControl* end() const noexcept {
        return controls_.data() + size_;
    }
    [[nodiscard]] constexpr const IncomingControl& operator[](std::size_t index) const noexcept {
        return controls_[index];
    }

    friend constexpr bool operator==(const IncomingControlList& left,
                                     const IncomingControlList& right) noexcept {
        return std::ranges::equal(left, right);
    }

private:
    std::array<IncomingControl, CAPACITY> controls_{};
    std::uint8_t size_ = 0;
};

// How a send instruction was encoded.
enum class SendEncoding : std::uint8_t {
    Explicit = 0, // send with a word address
    Offset = 1,   // send with offset, 12-bit count
    Pic = 2,      // SENDPIC: a send carrying one receive control
    PicPair = 3,  // SENDPICP: a two-word send carrying a PIC and an XPIC control
};

[[nodiscard]] std::string_view name(SendEncoding encoding) noexcept;
std::ostream& operator<<(std::ostream& out, SendEncoding encoding);

// One decoded instruction. The alternatives print as themselves: `Delay`, `Return`, `Sync(3)`,
// `Unknown(1098911744)`, `IncomingControl { stream: Xpic, value: 130 }`, `Send { ... }`.
class PlanOperation {
public:
    // An exchange delay: no payload, its length is its cycle window.
    struct Delay {
        friend constexpr bool operator==(const Delay&, const Delay&) = default;
    };
    // A delay that also sets one incoming-multiplexer control when it ends.
    struct IncomingControl {
        parse::IncomingControl control;
        friend constexpr bool operator==(const IncomingControl&, const IncomingControl&) = default;
    };
    // A send of any encoding.
    struct Send {
        SendEncoding encoding = SendEncoding::Explicit;
        // Words covered: the count field plus one; also the cycles the send occupies.
        std::uint32_t words = 0;
        // The operand field as encoded: a word address or offset, or for SENDPIC the control bits.
        std::uint32_t raw_operand = 0;
        // The 3-bit send control (direction) in bits 2..0; absent for SENDPIC, whose low bits
        // carry the control.
        std::optional<std::uint8_t> send_control;
        // The incoming-multiplexer controls carried by the send: none, one or two.
        IncomingControlList controls;
        friend constexpr bool operator==(const Send&, const Send&) = default;
    };
    // A sync instruction and its zone.
    struct Sync {
        std::uint8_t zone = 0;
        friend constexpr bool operator==(const Sync&, const Sync&) = default;
    };
    // The word that ends a row.
    struct Return {
        friend constexpr bool operator==(const Return&, const Return&) = default;
    };
    // Any other word.
    struct Unknown {
        std::uint32_t word = 0;
        friend constexpr bool operator==(const Unknown&, const Unknown&) = default;
    };

    using Variant = std::variant<Delay, IncomingControl, Send, Sync, Return, Unknown>;

    template <class V>
        requires std::is_constructible_v<Variant, V>
    constexpr PlanOperation(V value) noexcept : value_(value) {} // NOLINT: implicit by design

    [[nodiscard]] constexpr const Variant& value() const noexcept { return value_; }

    template <class V>
    [[nodiscard]] constexpr bool is() const noexcept {
        return std::holds_alternative<V>(value_);
    }

    template <class V>
    [[nodiscard]] constexpr const V* get_if() const noexcept {
        return std::get_if<V>(&value_);
    }

    // The alternative's name: "Delay", "Send", ...
    [[nodiscard]] std::string_view name() const noexcept;

    friend constexpr bool operator==(const PlanOperation&, const PlanOperation&) = default;

private:
    Variant value_;
};

std::ostream& operator<<(std::ostream& out, const PlanOperation::Delay& operation);
std::ostream& operator<<(std::ostream& out, const PlanOperation::IncomingControl& operation);
std::ostream& operator<<(std::ostream& out, const PlanOperation::Send& operation);
std::ostream& operator<<(std::ostream& out, const PlanOperation::Sync& operation);
std::ostream& operator<<(std::ostream& out, const PlanOperation::Return& operation);
std::ostream& operator<<(std::ostream& out, const PlanOperation::Unknown& operation);
std::ostream& operator<<(std::ostream& out, const PlanOperation& operation);
[[nodiscard]] std::string to_string(const PlanOperation& operation);

// One decoded instruction placed in its row.
struct DecodedPlanInstruction {
    // Index of the instruction's first word in the row.
    std::uint32_t word_offset = 0;
    // Byte address of that word, when the row's base address was given.
    std::optional<std::uint32_t> address;
    // The cycle window; end_cycle - start_cycle is the instruction's advance.
    std::uint32_t start_cycle = 0;
    std::uint32_t end_cycle = 0;
    PlanOperation operation = PlanOperation::Unknown{};

    friend constexpr bool operator==(const DecodedPlanInstruction&,
                                     const DecodedPlanInstruction&) = default;
};

std::ostream& operator<<(std::ostream& out, const DecodedPlanInstruction& instruction);
[[nodiscard]] std::string to_string(const DecodedPlanInstruction& instruction);

// A whole row, decoded.
struct PlanProgramDiagnostic {
    // Every instruction, in row order; the payload word of a SENDPICP is part of its pair.
    std::vector<DecodedPlanInstruction> instructions;
    // Total cycles of the row: the end of its last instruction, 0 for an empty row.
    std::uint32_t event_cycles = 0;
    // Number of words in the row.
    std::uint32_t row_words = 0;

    friend constexpr bool operator==(const PlanProgramDiagnostic&,
                                     const PlanProgramDiagnostic&) = default;
};

std::ostream& operator<<(std::ostream& out, const PlanProgramDiagnostic& diagnostic);
[[nodiscard]] std::string to_string(const PlanProgramDiagnostic& diagnostic);

namespace detail {

[[nodiscard]] constexpr std::uint32_t send_count_field(std::uint32_t word) noexcept {
    return (word >> 21) & 0x3Fu;
}

[[nodiscard]] constexpr std::uint8_t send_control_field(std::uint32_t word) noexcept {
    return static_cast<std::uint8_t>(word & 7u);
}

} // namespace detail

// Decodes the instruction whose first word is `words[offset]`: its operation, its advance in
// cycles and its width in words (2 for a SENDPICP, else 1). An offset outside the row fails with
// "decode offset outside the row".
[[nodiscard]] constexpr Result<std::tuple<PlanOperation, std::uint32_t, std::size_t>>
decode_operation(std::span<const std::uint32_t> words, std::size_t offset) {
    using Decoded = std::tuple<PlanOperation, std::uint32_t, std::size_t>;
    if (offset >= words.size()) {
        return schedule_error("decode offset outside the row");
    }
    const std::uint32_t word = words[offset];

    if (word == instruction::RETURN_INSTRUCTION) {
        return Decoded{PlanOperation::Return{}, 0u, 1u};
    }
    if (instruction::is_delay(word)) {
        return Decoded{PlanOperation::Delay{}, (word & 0x7FFFFu) + 1u, 1u};
    }
    if (instruction::is_delay_pic(word)) {
        const IncomingControl control{IncomingControlStream::Pic, word & 0x7FFFFu};
        return Decoded{PlanOperation::IncomingControl{control}, ((word >> 19) & 0x7Fu) + 1u, 1u};
    }
    if (instruction::is_delay_xpic(word)) {
        const IncomingControl control{IncomingControlStream::Xpic, word & 0x3FFFu};
        return Decoded{PlanOperation::IncomingControl{control}, ((word >> 14) & 0xFFFu) + 1u, 1u};
    }
    if (instruction::is_send_control_pair(word)) {
        if (offset + 1 >= words.size()) {
            return schedule_error("truncated SENDPICP payload");
        }
        const std::uint32_t payload = words[offset + 1];
        const PlanOperation::Send send{
            .encoding = SendEncoding::PicPair,
            .words = detail::send_count_field(word) + 1u,
            .raw_operand = (word >> 3) & 0x3FFFFu,
            .send_control = detail::send_control_field(word),
            .controls = {IncomingControl{IncomingControlStream::Xpic, payload >> 18},
                         IncomingControl{IncomingControlStream::Pic,
                                         (((word >> 27) & 1u) << 18) | (payload & 0x3FFFFu)}},
        };
        return Decoded{send, send.words, 2u};
    }
    if (instruction::is_send_control(word)) {
        const std::uint32_t selector = (word >> 18) & 3u;
        const IncomingControl control =
            selector < 2u
                ? IncomingControl{IncomingControlStream::Xpic, (selector << 13) | (word & 0x1FFFu)}
                : IncomingControl{IncomingControlStream::Pic,
                                  ((selector - 2u) << 18) | (word & 0x3FFFFu)};
        const PlanOperation::Send send{
            .encoding = SendEncoding::Pic,
            .words = detail::send_count_field(word) + 1u,
            .raw_operand = word & 0x3FFFFu,
            .send_control = std::nullopt,
            .controls = IncomingControlList{control},
        };
        return Decoded{send, send.words, 1u};
    }
    if ((word & instruction::LONG_OPCODE_MASK) == instruction::SEND_OPCODE) {
        const std::uint32_t count = detail::send_count_field(word) + 1u;
        return Decoded{PlanOperation::Send{.encoding = SendEncoding::Explicit,
                                           .words = count,
                                           .raw_operand = (word >> 3) & 0x3FFFFu,
                                           .send_control = detail::send_control_field(word),
                                           .controls = {}},
                       count, 1u};
    }
    if (instruction::is_send_off(word)) {
        const std::uint32_t count =
            ((((word >> 14) & 0x3Fu) << 6) | detail::send_count_field(word)) + 1u;
        return Decoded{PlanOperation::Send{.encoding = SendEncoding::Offset,
                                           .words = count,
                                           .raw_operand = (word >> 3) & 0x7FFu,
                                           .send_control = detail::send_control_field(word),
                                           .controls = {}},
                       count, 1u};
    }
    if (instruction::is_sync(word)) {
        return Decoded{PlanOperation::Sync{static_cast<std::uint8_t>(word & 0xFFu)}, 0u, 1u};
    }
    return Decoded{PlanOperation::Unknown{word}, 0u, 1u};
}

// Decodes a whole row. With a base address, each instruction also gets the byte address of its
// first word.
[[nodiscard]] constexpr Result<PlanProgramDiagnostic>
diagnose_plan_program(std::span<const std::uint32_t> words,
                      std::optional<std::uint32_t> base_address) {
    constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
    if (words.size() > U32_MAX) {
        // Word offsets and the row length are 32-bit; no row comes near this.
        return schedule_error("diagnostic row address overflow");
    }
    PlanProgramDiagnostic diagnostic;
    diagnostic.instructions.reserve(words.size());
    diagnostic.row_words = static_cast<std::uint32_t>(words.size());

    std::uint32_t cycle = 0;
    std::size_t offset = 0;
    while (offset < words.size()) {
        const std::uint32_t start = cycle;
        auto decoded = decode_operation(words, offset);
        if (!decoded) {
            return std::unexpected(decoded.error());
        }
        const auto& [operation, advance, width] = *decoded;
        const std::uint64_t end = std::uint64_t{cycle} + advance;
        if (end > U32_MAX) {
            return schedule_error("diagnostic event horizon overflow");
        }
        cycle = static_cast<std::uint32_t>(end);

        std::optional<std::uint32_t> address;
        if (base_address) {
            const std::uint64_t byte_address = std::uint64_t{*base_address} + 4u * std::uint64_t{offset};
            if (byte_address > U32_MAX) {
                return schedule_error("diagnostic row address overflow");
            }
            address = static_cast<std::uint32_t>(byte_address);
        }
        diagnostic.instructions.push_back(DecodedPlanInstruction{
            .word_offset = static_cast<std::uint32_t>(offset),
            .address = address,
            .start_cycle = start,
            .end_cycle = cycle,
            .operation = operation,
        });
        offset += width;
    }
    diagnostic.event_cycles = cycle;
    return diagnostic;
}

} // namespace tarnwick::exchange::parse
