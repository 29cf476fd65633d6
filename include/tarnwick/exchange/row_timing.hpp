#pragma once

// Row timing analysis: when a sender row's payload leaves the tile, and what a receiver row does
// to its tile's incoming multiplexer and pointer and when, read out of the rows' words and placed
// at a schedule offset (the number of cycles by which a row is placed later on the phase
// timeline). A receiver row is analysed once at offset 0; the offset searches then shift that
// analysis for every candidate offset and turn it into the receive window of one incoming stream,
// taking account of the stream the tile received before it.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/instruction.hpp"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::exchange {

// The activity of a sender row.
struct SenderRowTiming {
    std::uint32_t start_cycles = 0;   // where the first payload send starts
    std::uint32_t end_cycles = 0;     // where the last payload send ends
    std::uint32_t horizon_cycles = 0; // the horizon of the row's body

    friend constexpr bool operator==(const SenderRowTiming&, const SenderRowTiming&) = default;
};

std::ostream& operator<<(std::ostream& out, const SenderRowTiming& timing);
[[nodiscard]] std::string to_string(const SenderRowTiming& timing);

// The same facts under the names the phase builder reports them by.
struct ScheduledSenderTiming {
    std::uint32_t payload_start = 0;
    std::uint32_t payload_end = 0;
    std::uint32_t horizon = 0;

    friend constexpr bool operator==(const ScheduledSenderTiming&,
                                     const ScheduledSenderTiming&) = default;
};

std::ostream& operator<<(std::ostream& out, const ScheduledSenderTiming& timing);
[[nodiscard]] std::string to_string(const ScheduledSenderTiming& timing);

enum class ReceiveMode : std::uint8_t {
    Ordinary = 0, // 32-bit words
    Paired64 = 1, // paired 64-bit items
};

[[nodiscard]] std::string_view name(ReceiveMode mode) noexcept;
std::ostream& operator<<(std::ostream& out, ReceiveMode mode);

// What a receiver row does. Cycle values include the schedule offset.
struct ReceiveRowTiming {
    ReceiveMode mode = ReceiveMode::Ordinary;
    // Every receive event of the row, in row order (non-decreasing cycles).
    std::vector<ReceiveEvent> events;
    std::optional<std::uint32_t> neutral_cycles;      // the teardown
    std::optional<std::uint32_t> source_cycles;       // the source selection
    std::optional<std::uint32_t> format_start_cycles; // the Format event with operand 1 or 2
    std::optional<std::uint32_t> format_end_cycles;   // the Format event with operand 0
    std::optional<std::uint32_t> pointer_cycles;      // the Pointer event
    std::uint32_t horizon_cycles = 0;                 // the horizon of the row's body
    // Byte address of the incoming pointer: 4 x the Pointer event's 18-bit operand.
    std::optional<std::uint32_t> pointer_address;

    friend bool operator==(const ReceiveRowTiming&, const ReceiveRowTiming&) = default;
};

std::ostream& operator<<(std::ostream& out, const ReceiveRowTiming& timing);
[[nodiscard]] std::string to_string(const ReceiveRowTiming& timing);

// The stream a tile received last, as the next stream sees it.
struct ReceiveStream {
    ReceiveMode mode = ReceiveMode::Ordinary;
    std::uint32_t source_end_cycles = 0;  // end of its source interval
    std::uint32_t pointer_end_cycles = 0; // end of its payload interval
    // The byte address just after its last received item; absent when its row set no pointer.
    std::optional<std::uint32_t> next_address;

    friend constexpr bool operator==(const ReceiveStream&, const ReceiveStream&) = default;
};

std::ostream& operator<<(std::ostream& out, const ReceiveStream& stream);
[[nodiscard]] std::string to_string(const ReceiveStream& stream);

// One incoming stream placed at a schedule offset.
struct ScheduledReceiverWindow {
    // The events the stream needs, ordered by cycles and valid (one event per cycle, or one PIC
    // and one XPIC event).
    std::vector<ReceiveEvent> events;
    // The incoming multiplexer belongs to this stream during [source_start, source_end).
    std::uint32_t source_start = 0;
    std::uint32_t source_end = 0;
    // The incoming pointer receives this stream's items during [payload_start, payload_end).
    std::uint32_t payload_start = 0;
    std::uint32_t payload_end = 0;
    // The end of the stream's activity, the row's tail after it included.
    std::uint32_t horizon = 0;
    std::optional<std::uint32_t> pointer_address;

    friend bool operator==(const ScheduledReceiverWindow&,
                           const ScheduledReceiverWindow&) = default;
};

std::ostream& operator<<(std::ostream& out, const ScheduledReceiverWindow& window);
[[nodiscard]] std::string to_string(const ScheduledReceiverWindow& window);

namespace detail {

// Index of the first RETURN_INSTRUCTION of a row, if any.
[[nodiscard]] constexpr std::optional<std::size_t> find_row_return(const PlanRow& row) noexcept {
    for (std::size_t index = 0; index < row.size(); ++index) {
        if (row[index] == instruction::RETURN_INSTRUCTION) {
            return index;
        }
    }
    return std::nullopt;
}

} // namespace detail

// The payload interval and horizon of a sender row placed at `schedule_offset`. The row opens
// with SYNC_EXCHANGE_INSTRUCTION; its body runs up to the first RETURN_INSTRUCTION and holds at
// least one payload send. Words between two payload sends lie inside the interval.
[[nodiscard]] constexpr Result<SenderRowTiming> sender_row_timing(const PlanRow& row,
                                                                  std::uint32_t schedule_offset) {
    if (row[0] != instruction::SYNC_EXCHANGE_INSTRUCTION) {
        return schedule_error("sender row entry");
    }
    const std::optional<std::size_t> return_index = detail::find_row_return(row);
    if (!return_index) {
        return schedule_error("sender row return");
    }
    std::uint32_t cycles = schedule_offset;
    std::optional<std::uint32_t> start;
    std::optional<std::uint32_t> end;
    // One word at a time: the body of a sender row is delays and sends.
    for (std::size_t index = 1; index < *return_index; ++index) {
        const std::uint32_t word = row[index];
        const std::uint32_t advance = instruction_advance(word);
        if (advance > std::numeric_limits<std::uint32_t>::max() - cycles) {
            return schedule_error("sender event horizon overflow");
        }
        if (instruction::is_payload_send(word)) {
            if (!start) {
                start = cycles;
            }
            cycles += advance;
            end = cycles;
        } else {
            cycles += advance;
        }
    }
    if (!start) {
        return schedule_error("sender payload");
    }
    return SenderRowTiming{*start, *end, cycles};
}

[[nodiscard]] constexpr Result<ScheduledSenderTiming>
scheduled_sender_timing(const PlanRow& row, std::uint32_t schedule_offset) {
    const Result<SenderRowTiming> timing = sender_row_timing(row, schedule_offset);
    if (!timing) {
        return std::unexpected(timing.error());
    }
    return ScheduledSenderTiming{timing->start_cycles, timing->end_cycles, timing->horizon_cycles};
}

// The receive events and event cycles of a receiver row placed at `schedule_offset`, and its mode:
// Paired64 when it starts a paired format or selects or tears down a paired source (it then needs
// a format start and a format end), else Ordinary (which needs a source and a teardown).
[[nodiscard]] Result<ReceiveRowTiming> receive_row_timing(const PlanRow& row,
                                                          std::uint32_t schedule_offset);

// `base` with every cycle value moved `offset` cycles later. Shifting the offset-0 timing of a row
// by d gives the timing of the row at offset d.
[[nodiscard]] Result<ReceiveRowTiming> receive_row_timing_from_base(const ReceiveRowTiming& base,
                                                                    std::uint32_t offset);

// The window of a stream of `received_words` items (one per cycle) whose row has the offset-0
// timing `base`, placed at `schedule_offset` after the `previous` stream of the tile. The
// teardown moves to the end of the source interval; the pointer event is dropped when an
// ordinary stream continues exactly where the previous ordinary stream left the pointer.
[[nodiscard]] Result<ScheduledReceiverWindow>
scheduled_receive_window(const ReceiveRowTiming& base, std::uint32_t schedule_offset,
                         std::uint32_t received_words,
                         const std::optional<ReceiveStream>& previous);

} // namespace tarnwick::exchange
