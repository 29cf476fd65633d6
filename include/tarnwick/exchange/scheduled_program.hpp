#pragma once

// The scheduled program encoder: turns one tile's placed sender rows and receive events into the
// single timed exchange program the tile runs for a phase. The program starts at cycle 0 of the
// phase (no entry sync), ends with RETURN_INSTRUCTION, and its horizon is exactly the requested
// horizon.
//
// Receive events outside every outgoing message become timed PIC/XPIC delays or SENDPICP pairs.
// An outgoing message is re-encoded from its payload count: an initial send, send-with-offset
// words for the rest, and wherever a receive event falls inside the message a send word that also
// carries the control (SENDPIC for one control, SENDPICP for a PIC and an XPIC control at the same
// cycle). Every SENDPICP starts at an even word index of the program.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/schedule.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tarnwick::exchange {

// The whole program of a tile: `senders` and `receive_events` in any order.
[[nodiscard]] Result<std::vector<std::uint32_t>>
build_scheduled_program(std::span<const ScheduledSenderRow> senders,
                        std::span<const ReceiveEvent> receive_events, std::uint32_t horizon_cycles);

// The initial send word of a sender row and the row's payload count in words.
[[nodiscard]] Result<std::pair<std::uint32_t, std::uint32_t>> sender_payload(const PlanRow& row);

// The send `instruction` with its count set to `words` (1 to 64).
[[nodiscard]] Result<std::uint32_t> resize_send(std::uint32_t instruction, std::uint32_t words);

// Appends one outgoing message: delays up to its start, then its payload with `controls` (the
// receive events with start_cycles <= cycles <= end_cycles, sorted by cycle) fused into it.
[[nodiscard]] Status append_sender_message(std::vector<std::uint32_t>& words,
                                           std::uint32_t& event_cycles,
                                           const ScheduledSenderRow& sender,
                                           std::span<const ReceiveEvent> controls);

// Writes the next `count` payload words of a message. `remaining`, `sent` and `started` are the
// message's running state. With `final_word_parity`, the words are split so that afterwards the
// program's word count has that parity (a SENDPICP follows).
[[nodiscard]] Status emit_sender_words(std::vector<std::uint32_t>& words,
                                       std::uint32_t& event_cycles,
                                       std::uint32_t initial_instruction, std::uint32_t direction,
                                       std::uint32_t& remaining, std::uint32_t& sent,
                                       bool& started, std::uint32_t count,
                                       std::optional<std::uint32_t> final_word_parity);

} // namespace tarnwick::exchange
