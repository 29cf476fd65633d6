#include "tarnwick/exchange/point_to_point.hpp"

#include "tarnwick/instruction.hpp"
#include "tarnwick/log.hpp"
#include "exchange/row_writer.hpp"

#include <algorithm>
#include <cstddef>

namespace tarnwick::exchange {

using detail::MAX_PIC_DELAY_FIELD;
using detail::RowWriter;
using detail::SEND_WORDS;

namespace {

// The largest value of a delay field (19 bits).
constexpr std::int64_t MAX_DELAY_FIELD = 0x7FFFF;

} // namespace

Result<MulticastPlan> point_to_point(const topology::Topology& topology,
                                     std::uint16_t sender_logical, std::uint16_t receiver_logical,
                                     std::uint32_t count) {
    using namespace instruction;

    if (const Status valid = validate_count(count); !valid) {
        return fail(valid.error());
    }
    if (sender_logical == receiver_logical) {
        return fail(ExchangeError::DuplicateTile{});
    }
    const Result<std::uint16_t> sender = topology.physical(sender_logical);
    if (!sender) {
        return fail(sender.error());
    }
    const Result<std::uint16_t> receiver = topology.physical(receiver_logical);
    if (!receiver) {
        return fail(receiver.error());
    }

    const std::uint32_t send_direction = topology::direction(*sender, *receiver);
    const std::int32_t mux_time = topology::time_to_mux(*sender, *receiver);
    // Twice the receiver's row.
    const std::uint32_t receiver_phase = (static_cast<std::uint32_t>(*receiver) >> 6) * 2u;

    // The first send issues sender_delay + 1 = 112 - mux_time cycles after the sync, so the first
    // word reaches the receiver's multiplexer at cycle 112 for every pair of tiles. At -1 no delay
    // word is written.
    const std::int64_t sender_delay = std::int64_t{111} - mux_time;
    if (sender_delay < -1 || sender_delay > MAX_DELAY_FIELD) {
        return schedule_error("sender delay");
    }

    // The receiver row's PIC delay fields go up to receiver_phase + 51. Every V600 row
    // fits; a table with physical rows beyond 38 would have its phase cut by the field.
    if (receiver_phase + 51u > MAX_PIC_DELAY_FIELD) {
        return schedule_error("receiver phase");
    }

    RowWriter sender_row;
    sender_row.push(SYNC_EXCHANGE_INSTRUCTION);
    if (sender_delay >= 0) {
        sender_row.push(delay(static_cast<std::uint32_t>(sender_delay)));
    }
    const std::uint32_t first_packet = std::min(count, SEND_WORDS);
    const Result<std::uint32_t> first_send = encode_send(first_packet - 1u, send_direction, 0);
    if (!first_send) {
        return fail(first_send.error());
    }
    sender_row.push(*first_send);
    if (count > SEND_WORDS) {
        // The remaining count - 64 words; validate_count keeps count - 65 below 4096.
        sender_row.push(send_off(count - (SEND_WORDS + 1u), send_direction, 0));
    }
    // Pads the sender row to at least six cycles.
    const std::int64_t trailing_delay = std::int64_t{4} - sender_delay - std::int64_t{count};
    if (trailing_delay >= 0) {
        sender_row.push(delay(static_cast<std::uint32_t>(trailing_delay)));
    }
    sender_row.push(RETURN_INSTRUCTION);

    // Controls take effect at the end of their word: the sender is selected at cycle 113 after
    // the sync; the neutral selection follows the last word and the PIC control sits at
    // 165 + receiver_phase. At 52 words both would fall on the same cycle, so that row moves the
    // PIC control one cycle earlier.
    RowWriter receiver_row;
    receiver_row.push(1); // patch index of the XPIC delay below, counted without this word
    receiver_row.push(SYNC_EXCHANGE_INSTRUCTION);
    receiver_row.push(delay_xpic(112, 0, 0)); // its tile operand becomes the sender's
    if (count <= 51) {
        receiver_row.push(delay_xpic(count - 1u, 0, TILE_MUX_EXCHANGE));
        receiver_row.push(delay_pic(51u - count + receiver_phase, 0, 0));
        receiver_row.push(delay(count + 4u));
    } else if (count == 52) {
        receiver_row.push(delay_pic(receiver_phase + 50u, 0, 0));
        receiver_row.push(delay_xpic(0, 0, TILE_MUX_EXCHANGE));
        receiver_row.push(delay(56));
    } else {
        receiver_row.push(delay_pic(receiver_phase + 51u, 0, 0));
        receiver_row.push(delay_xpic(count - 53u, 0, TILE_MUX_EXCHANGE));
        receiver_row.push(delay(56));
    }
    receiver_row.push(RETURN_INSTRUCTION);

    MulticastPlan plan{sender_row.row(), {receiver_row.row()}};
    log::debug_event(log::EXCHANGE_TARGET, "assembled point-to-point exchange",
                     log::field("sender_logical", sender_logical),
                     log::field("receiver_logical", receiver_logical), log::field("count", count));
    return plan;
}

} // namespace tarnwick::exchange
