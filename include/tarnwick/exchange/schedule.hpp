#pragma once

// One tile's share of an exchange phase: the sender rows it sends, the receive events of the
// streams it takes in, and its horizon. Rows are placed at a schedule offset on the tile's phase
// timeline; placements the tile cannot execute are refused, the earliest placement that fits can
// be searched for, and `finish` encodes the whole into the tile's timed exchange program.
//
// A tile sends one message at a time, has one incoming multiplexer and one incoming pointer, and
// fuses receive controls into its own sends except on a message's first payload cycle and the
// cycle after it (a fused control is issued one cycle before it takes effect, and the initial send
// cannot carry one).

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/row_timing.hpp"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick::exchange {

// A sender row placed on a tile's timeline, with its payload interval [start_cycles, end_cycles).
struct ScheduledSenderRow {
    PlanRow row{};
    std::uint32_t start_cycles = 0;
    std::uint32_t end_cycles = 0;

    friend bool operator==(const ScheduledSenderRow&, const ScheduledSenderRow&) = default;
};

std::ostream& operator<<(std::ostream& out, const ScheduledSenderRow& sender);
[[nodiscard]] std::string to_string(const ScheduledSenderRow& sender);

// A plain value: copied whole when a placement is tried. The fields are public so that the
// validator and tests can read (and build) schedules directly; the methods keep them consistent.
struct TileProgramSchedule {
    // The placed sender rows, in the order they were appended.
    std::vector<ScheduledSenderRow> senders;
    // The events of every appended receive window, in append order (the encoder sorts them).
    std::vector<ReceiveEvent> receive_events;
    // The tile's horizon so far: the largest horizon of any appended sender row or receive window.
    std::uint32_t event_cycles = 0;
    // The stream appended last; absent before the first.
    std::optional<ReceiveStream> receive_stream;

    // The smallest offset >= `requested` at which `append_sender_at` accepts `row`.
    [[nodiscard]] Result<std::uint32_t> earliest_sender_offset(const PlanRow& row,
                                                               std::uint32_t requested) const;

    // The smallest offset >= `requested` at which the stream's events collide with no event of
    // the tile and touch no message start, its source interval starts no earlier than the
    // previous stream's source end, and its payload no earlier than the previous payload end.
    [[nodiscard]] Result<std::uint32_t> earliest_receiver_offset(const PlanRow& row,
                                                                 std::uint32_t received_words,
                                                                 std::uint32_t requested) const;

    // Places a sender row; changes nothing on failure.
    [[nodiscard]] Status append_sender_at(const PlanRow& row, std::uint32_t schedule_offset);

    // Places a receiver row taking `received_words` items; changes nothing on failure.
    [[nodiscard]] Result<ScheduledReceiverWindow>
    append_receiver_at(const PlanRow& row, std::uint32_t schedule_offset,
                       std::uint32_t received_words);

    // The tile's timed exchange program for the phase.
    [[nodiscard]] Result<std::vector<std::uint32_t>> finish() const;

    friend bool operator==(const TileProgramSchedule&, const TileProgramSchedule&) = default;
};

std::ostream& operator<<(std::ostream& out, const TileProgramSchedule& schedule);
[[nodiscard]] std::string to_string(const TileProgramSchedule& schedule);

} // namespace tarnwick::exchange
