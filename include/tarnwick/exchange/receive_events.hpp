#pragma once

// Receive events: one change of a tile's incoming multiplexer selection (XPIC control) or of its
// incoming pointer or paired receive format (PIC control) at a cycle of the exchange timeline.
//
// Events are encoded in one of three ways:
//   - a single event becomes a timed word, its own PIC or XPIC delay, issued so that its advance
//     ends exactly at the event's cycle;
//   - two simultaneous events, one PIC and one XPIC, become one SENDPICP issued one cycle before;
//   - an event inside an outgoing message of the same tile rides on the send itself, as a SENDPIC
//     (one control) or a SENDPICP (two controls).

#include "tarnwick/error.hpp"

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::exchange {

// Which control an event sets.
enum class ReceiveEventKind : std::uint8_t {
    OrdinarySource = 0,  // XPIC: select the source tile of an ordinary (32-bit) receive
    OrdinaryNeutral = 1, // XPIC: back to the neutral selection after an ordinary receive
    PairedSource = 2,    // XPIC: select the source of a paired 64-bit receive
    PairedNeutral = 3,   // XPIC: teardown after a paired 64-bit receive
    Pointer = 4,         // PIC: set the incoming pointer
    Format = 5,          // PIC: start or end the paired 64-bit receive format
};

[[nodiscard]] constexpr bool is_xpic(ReceiveEventKind kind) noexcept {
    return static_cast<std::uint8_t>(kind) <= 3;
}
[[nodiscard]] constexpr bool is_pic(ReceiveEventKind kind) noexcept {
    return kind == ReceiveEventKind::Pointer || kind == ReceiveEventKind::Format;
}

[[nodiscard]] std::string_view name(ReceiveEventKind kind) noexcept;
std::ostream& operator<<(std::ostream& out, ReceiveEventKind kind);
[[nodiscard]] std::string to_string(ReceiveEventKind kind);

// One control change. `instruction` is the PIC or XPIC delay word that carries the control: its
// selector and operand fields are the control, its advance field has no meaning here and is
// rewritten when the event is encoded as a timed word. The kind must agree with the word (an XPIC
// kind with an XPIC delay, a PIC kind with a PIC delay).
struct ReceiveEvent {
    std::uint32_t cycles = 0; // the event cycles at which the control takes effect
    std::uint32_t instruction = 0;
    ReceiveEventKind kind = ReceiveEventKind::OrdinarySource;

    friend constexpr bool operator==(const ReceiveEvent&, const ReceiveEvent&) = default;
};

std::ostream& operator<<(std::ostream& out, const ReceiveEvent& event);
[[nodiscard]] std::string to_string(const ReceiveEvent& event);

// Whether two events can be carried by one SENDPICP: same cycle, one PIC and one XPIC.
[[nodiscard]] constexpr bool receive_events_can_share_instruction(const ReceiveEvent& left,
                                                                  const ReceiveEvent& right) noexcept {
    return left.cycles == right.cycles &&
           ((is_pic(left.kind) && is_xpic(right.kind)) || (is_xpic(left.kind) && is_pic(right.kind)));
}

// Checks a list ordered by cycles: every run of events with equal cycles holds one event, or two
// that can share an instruction.
[[nodiscard]] Status validate_receive_events(std::span<const ReceiveEvent> events) noexcept;

// The SENDPIC word that sends `count_minus_one` + 1 words and carries `event`'s control.
[[nodiscard]] Result<std::uint32_t> encode_send_control(std::uint32_t count_minus_one,
                                                        const ReceiveEvent& event) noexcept;

// The two SENDPICP words (first word, payload word) that send `count_minus_one` + 1 words from
// `source_word_address` with `send_control` and carry the PIC and the XPIC control of `events`,
// two simultaneous events in either order.
[[nodiscard]] Result<std::pair<std::uint32_t, std::uint32_t>>
encode_send_control_pair(std::uint32_t count_minus_one, std::uint32_t source_word_address,
                         std::uint32_t send_control, std::span<const ReceiveEvent> events) noexcept;

// Appends the encoding of `events` (a list that passed validate_receive_events) to `words`,
// advancing `event_cycles`, then plain delays up to `horizon_cycles`. Pairs are SENDPICPs of at
// most 64 cycles; with `align_control_pairs` each starts at an even word index.
//
// Appends as it goes: after a failure `words` and `event_cycles` hold the part encoded so far, and
// the caller discards them.
[[nodiscard]] Status append_receive_events(std::vector<std::uint32_t>& words,
                                           std::uint32_t& event_cycles,
                                           std::span<const ReceiveEvent> events,
                                           std::uint32_t horizon_cycles, bool align_control_pairs);

} // namespace tarnwick::exchange
