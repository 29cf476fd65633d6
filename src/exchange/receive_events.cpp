#include "tarnwick/exchange/receive_events.hpp"

#include "tarnwick/debug.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/instruction.hpp"

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <vector>

namespace tarnwick::exchange {

namespace {

// Largest count field of a SENDPIC or SENDPICP (64 words).
constexpr std::uint32_t SEND_CONTROL_COUNT_MAX = 63;
// A control pair covers at most one full SENDPICP send.
constexpr std::uint32_t CONTROL_PAIR_MAX_ADVANCE = 64;

// The end of the run of events starting at `first` whose cycles equal those of events[first].
std::size_t group_end(std::span<const ReceiveEvent> events, std::size_t first) noexcept {
    std::size_t end = first + 1;
    while (end < events.size() && events[end].cycles == events[first].cycles) {
        ++end;
    }
    return end;
}

// A single event as a timed word whose advance ends exactly at the event's cycle.
Status append_timed_event(std::vector<std::uint32_t>& words, std::uint32_t& event_cycles,
                          const ReceiveEvent& event) {
    if (event.cycles < event_cycles) {
        return schedule_error("receive event order");
    }
    if (event.cycles == event_cycles) {
        return schedule_error("receive control issue interval");
    }
    const auto maximum_advance = maximum_timed_instruction_advance(event.instruction);
    if (!maximum_advance) {
        return schedule_error("receive timed event");
    }
    if (event.cycles - event_cycles > *maximum_advance) {
        if (auto status = append_plain_delay(words, event_cycles, event.cycles - *maximum_advance);
            !status) {
            return status;
        }
    }
    std::uint32_t word = event.instruction;
    if (auto status = set_instruction_advance(word, event.cycles - event_cycles); !status) {
        return status;
    }
    words.push_back(word);
    event_cycles = event.cycles;
    return {};
}

// Moves every word from index `split` on one index later without changing any cycle: the plain
// delay or timed word there gives one cycle to a one-cycle delay inserted before it. Only a word
// after the last SENDPICP of the program is split, so no pair leaves its even index; none that
// can give a cycle (advance 2 or more): nothing found.
[[nodiscard]] bool shift_by_one_word(std::vector<std::uint32_t>& words) {
    std::size_t after_last_pair = 0;
    for (std::size_t cursor = 0; cursor < words.size();) {
        const bool pair = instruction::is_send_control_pair(words[cursor]);
        cursor += pair ? 2 : 1;
        if (pair) {
            after_last_pair = cursor;
        }
    }
    for (std::size_t index = words.size(); index > after_last_pair; --index) {
        std::uint32_t word = words[index - 1];
        const bool splittable = instruction::is_delay(word) || instruction::is_delay_pic(word) ||
                                instruction::is_delay_xpic(word);
        const std::uint32_t advance = instruction_advance(word);
        if (!splittable || advance < 2 || !set_instruction_advance(word, advance - 1)) {
            continue;
        }
        words[index - 1] = word;
        words.insert(words.begin() + static_cast<std::ptrdiff_t>(index - 1), instruction::delay(0));
        return true;
    }
    return false;
}

// Fills up to `instruction_start` so that the pair issued there starts at an even word index.
// When the gap cannot hold the extra delay word that the parity needs (a timed word ends just
// where the pair is issued, say), an earlier word after the last pair gives up one cycle to a new
// delay word instead, which keeps every cycle and fixes the parity. Otherwise a placement whose
// gap only allows the wrong number of delay words could never be encoded, and the phase search
// would try every later offset up to the next change of that number, up to 2^19 of them.
[[nodiscard]] Status fill_to_aligned_pair(std::vector<std::uint32_t>& words,
                                          std::uint32_t& event_cycles,
                                          std::uint32_t instruction_start) {
    const Status aligned = append_plain_delay_aligned(words, event_cycles, instruction_start, 0);
    const auto* failure = aligned ? nullptr : aligned.error().get_if<ExchangeError::Schedule>();
    if (failure == nullptr || failure->message != "SENDPICP instruction alignment") {
        return aligned;
    }
    // The aligned fill checks before it appends: nothing was written.
    if (const Status filled = append_plain_delay(words, event_cycles, instruction_start); !filled) {
        return filled;
    }
    if (words.size() % 2 != 0 && !shift_by_one_word(words)) {
        return aligned;
    }
    return {};
}

} // namespace

std::string_view name(ReceiveEventKind kind) noexcept {
    switch (kind) {
    case ReceiveEventKind::OrdinarySource: return "OrdinarySource";
    case ReceiveEventKind::OrdinaryNeutral: return "OrdinaryNeutral";
    case ReceiveEventKind::PairedSource: return "PairedSource";
    case ReceiveEventKind::PairedNeutral: return "PairedNeutral";
    case ReceiveEventKind::Pointer: return "Pointer";
    case ReceiveEventKind::Format: return "Format";
    }
    return "ReceiveEventKind(?)";
}

std::ostream& operator<<(std::ostream& out, ReceiveEventKind kind) { return out << name(kind); }

std::string to_string(ReceiveEventKind kind) { return std::string(name(kind)); }

std::ostream& operator<<(std::ostream& out, const ReceiveEvent& event) {
    debug::Struct(out, "ReceiveEvent")
        .field("cycles", event.cycles)
        .field("instruction", event.instruction)
        .field("kind", event.kind)
        .finish();
    return out;
}

std::string to_string(const ReceiveEvent& event) { return debug::to_string(event); }

Status validate_receive_events(std::span<const ReceiveEvent> events) noexcept {
    std::size_t first = 0;
    while (first < events.size()) {
        const std::size_t end = group_end(events, first);
        const std::size_t size = end - first;
        if (size > 2 ||
            (size == 2 && !receive_events_can_share_instruction(events[first], events[first + 1]))) {
            return schedule_error("incompatible simultaneous receive controls");
        }
        first = end;
    }
    return {};
}

Result<std::uint32_t> encode_send_control(std::uint32_t count_minus_one,
                                          const ReceiveEvent& event) noexcept {
    if (count_minus_one > SEND_CONTROL_COUNT_MAX) {
        return schedule_error("SENDPIC count");
    }
    std::uint32_t selector = 0;
    std::uint32_t operand = 0;
    if (is_xpic(event.kind)) {
        selector = (event.instruction >> 13) & 1u;
        operand = event.instruction & 0x1FFFu;
    } else {
        selector = 2u + ((event.instruction >> 18) & 1u);
        operand = event.instruction & 0x3FFFFu;
    }
    return instruction::SEND_CONTROL_OPCODE | (count_minus_one << 21) | (selector << 18) | operand;
}

Result<std::pair<std::uint32_t, std::uint32_t>>
encode_send_control_pair(std::uint32_t count_minus_one, std::uint32_t source_word_address,
                         std::uint32_t send_control, std::span<const ReceiveEvent> events) noexcept {
    if (count_minus_one > SEND_CONTROL_COUNT_MAX || source_word_address > 0x3FFFFu ||
        send_control > 7 || events.size() != 2) {
        return schedule_error("SENDPICP operand");
    }
    const auto pic = std::ranges::find_if(
        events, [](const ReceiveEvent& event) { return is_pic(event.kind); });
    if (pic == events.end()) {
        return schedule_error("SENDPICP PIC control");
    }
    const auto xpic = std::ranges::find_if(
        events, [](const ReceiveEvent& event) { return is_xpic(event.kind); });
    if (xpic == events.end()) {
        return schedule_error("SENDPICP XPIC control");
    }
    if (pic->cycles != xpic->cycles) {
        return schedule_error("SENDPICP event time");
    }
    const std::uint32_t pic_flag = (pic->instruction >> 18) & 1u;
    const std::uint32_t first = instruction::SEND_CONTROL_PAIR_OPCODE | (pic_flag << 27) |
                                (count_minus_one << 21) | (source_word_address << 3) | send_control;
    const std::uint32_t payload = ((xpic->instruction & 0x3FFFu) << 18) | (pic->instruction & 0x3FFFFu);
    return std::pair{first, payload};
}

Status append_receive_events(std::vector<std::uint32_t>& words, std::uint32_t& event_cycles,
                             std::span<const ReceiveEvent> events, std::uint32_t horizon_cycles,
                             bool align_control_pairs) {
    std::size_t cursor = 0;
    while (cursor < events.size()) {
        const std::size_t end = group_end(events, cursor);
        const std::span<const ReceiveEvent> group = events.subspan(cursor, end - cursor);
        const std::uint32_t event = group.front().cycles;
        if (group.size() == 1) {
            if (auto status = append_timed_event(words, event_cycles, group.front()); !status) {
                return status;
            }
            cursor = end;
            continue;
        }
        // A control pair (a larger group is refused by the pair encoder below): one SENDPICP
        // issued one cycle before the event.
        if (event == 0) {
            return schedule_error("receive control at phase entry");
        }
        const std::uint32_t instruction_start = event - 1;
        const Status filled = align_control_pairs
                                  ? fill_to_aligned_pair(words, event_cycles, instruction_start)
                                  : append_plain_delay(words, event_cycles, instruction_start);
        if (!filled) {
            return filled;
        }
        std::uint32_t next_start = horizon_cycles;
        if (end < events.size()) {
            next_start = events[end].cycles == 0 ? 0 : events[end].cycles - 1;
        }
        if (next_start < event_cycles) {
            return schedule_error("receive control order");
        }
        const std::uint32_t advance = std::min(next_start - event_cycles, CONTROL_PAIR_MAX_ADVANCE);
        if (advance == 0) {
            return schedule_error("empty SENDPICP interval");
        }
        const auto pair = encode_send_control_pair(advance - 1, 0, 0, group);
        if (!pair) {
            return fail(pair.error());
        }
        words.push_back(pair->first);
        words.push_back(pair->second);
        event_cycles += advance;
        cursor = end;
    }
    return append_plain_delay(words, event_cycles, horizon_cycles);
}

} // namespace tarnwick::exchange
