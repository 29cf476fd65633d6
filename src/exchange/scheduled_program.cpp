#include "tarnwick/exchange/scheduled_program.hpp"

#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/instruction.hpp"

#include "exchange/scheduled_program_internal.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace tarnwick::exchange {

namespace {

using instruction::Word;

constexpr std::uint32_t INITIAL_SEND_MAX = 64;
constexpr std::uint32_t SEND_OFF_MAX = 4096;
constexpr std::uint32_t SEND_CONTROL_MAX = 64;

constexpr Word SEND_COUNT_SHIFT = 21;
constexpr Word SEND_COUNT_FIELD = 0x3Fu << SEND_COUNT_SHIFT;

[[nodiscard]] constexpr bool is_send(Word word) noexcept {
    return (word & instruction::LONG_OPCODE_MASK) == instruction::SEND_OPCODE;
}

// Appends one payload chunk: the initial send while it has not been written, send-with-offset
// words afterwards.
[[nodiscard]] Status write_chunk(std::vector<std::uint32_t>& words, std::uint32_t& event_cycles,
                                 std::uint32_t initial_instruction, std::uint32_t direction,
                                 std::uint32_t& remaining, std::uint32_t& sent, bool& started,
                                 std::uint32_t chunk) {
    if (!started) {
        const auto resized = resize_send(initial_instruction, chunk);
        if (!resized) {
            return fail(resized.error());
        }
        words.push_back(*resized);
        started = true;
    } else {
        words.push_back(instruction::send_off(chunk - 1, direction, 0));
    }
    // A row whose payload count disagrees with its interval can run past 32 bits: such a
    // message cannot end at its interval's end.
    if (event_cycles > std::numeric_limits<std::uint32_t>::max() - chunk) {
        return schedule_error("sender payload horizon");
    }
    event_cycles += chunk;
    sent += chunk;
    remaining -= chunk;
    return {};
}

[[nodiscard]] std::size_t group_end(std::span<const ReceiveEvent> events, std::size_t first) {
    std::size_t end = first + 1;
    while (end < events.size() && events[end].cycles == events[first].cycles) {
        ++end;
    }
    return end;
}

[[nodiscard]] bool by_start(const ScheduledSenderRow& left, const ScheduledSenderRow& right) {
    return left.start_cycles < right.start_cycles;
}

[[nodiscard]] bool by_cycles(const ReceiveEvent& left, const ReceiveEvent& right) {
    return left.cycles < right.cycles;
}

} // namespace

Result<std::uint32_t> resize_send(std::uint32_t instruction, std::uint32_t words) {
    if (!is_send(instruction) || words < 1 || words > INITIAL_SEND_MAX) {
        return schedule_error("initial send size");
    }
    return (instruction & ~SEND_COUNT_FIELD) | ((words - 1) << SEND_COUNT_SHIFT);
}

Result<std::pair<std::uint32_t, std::uint32_t>> sender_payload(const PlanRow& row) {
    std::optional<std::uint32_t> initial;
    std::uint32_t count = 0;
    for (const std::uint32_t word : row) {
        const bool initial_send = is_send(word);
        if (!initial_send && !instruction::is_send_off(word)) {
            continue;
        }
        if (initial_send) {
            if (initial) {
                return schedule_error("multiple initial sends");
            }
            initial = word;
        }
        const std::uint32_t advance = instruction_advance(word);
        if (count > std::numeric_limits<std::uint32_t>::max() - advance) {
            return schedule_error("sender payload overflow");
        }
        count += advance;
    }
    if (!initial) {
        return schedule_error("sender payload");
    }
    return std::pair{*initial, count};
}

Status emit_sender_words(std::vector<std::uint32_t>& words, std::uint32_t& event_cycles,
                         std::uint32_t initial_instruction, std::uint32_t direction,
                         std::uint32_t& remaining, std::uint32_t& sent, bool& started,
                         std::uint32_t count, std::optional<std::uint32_t> final_word_parity) {
    if (remaining < count) {
        return schedule_error("sender payload overflow");
    }
    const auto parity_of = [&words](std::size_t extra) {
        return static_cast<std::uint32_t>((words.size() + extra) % 2);
    };
    if (count == 0) {
        if (!started) {
            return schedule_error("unencodable initial send control");
        }
        if (final_word_parity && parity_of(0) != *final_word_parity) {
            return schedule_error("SENDPICP instruction alignment");
        }
        return {};
    }

    // The chunks: the first up to 64 words while the initial send is unwritten (else 4,096), then
    // full 4,096-word chunks, then the rest.
    const std::uint32_t first = std::min(count, started ? SEND_OFF_MAX : INITIAL_SEND_MAX);
    const std::uint32_t after_first = count - first;
    const std::uint32_t full = after_first / SEND_OFF_MAX;
    const std::uint32_t tail = after_first % SEND_OFF_MAX;
    const std::size_t chunk_count = 1 + std::size_t{full} + (tail != 0 ? 1 : 0);
    const auto chunk_at = [&](std::size_t index) -> std::uint32_t {
        if (index == 0) {
            return first;
        }
        return index <= full ? SEND_OFF_MAX : tail;
    };

    // With the wrong parity, the last chunk larger than one word is split into one word and the
    // rest, which adds one word.
    std::optional<std::size_t> split;
    if (final_word_parity && parity_of(chunk_count) != *final_word_parity) {
        for (std::size_t index = chunk_count; index-- > 0;) {
            if (chunk_at(index) > 1) {
                split = index;
                break;
            }
        }
        if (!split) {
            return schedule_error("SENDPICP instruction alignment");
        }
    }

    for (std::size_t index = 0; index < chunk_count; ++index) {
        std::uint32_t chunk = chunk_at(index);
        if (split && *split == index) {
            if (const auto status = write_chunk(words, event_cycles, initial_instruction, direction,
                                                remaining, sent, started, 1);
                !status) {
                return status;
            }
            chunk -= 1;
        }
        if (const auto status = write_chunk(words, event_cycles, initial_instruction, direction,
                                            remaining, sent, started, chunk);
            !status) {
            return status;
        }
    }
    if (final_word_parity && parity_of(0) != *final_word_parity) {
        return schedule_error("SENDPICP instruction alignment");
    }
    return {};
}

Status append_sender_message(std::vector<std::uint32_t>& words, std::uint32_t& event_cycles,
                             const ScheduledSenderRow& sender,
                             std::span<const ReceiveEvent> controls) {
    if (const auto status = append_plain_delay(words, event_cycles, sender.start_cycles); !status) {
        return status;
    }
    const auto payload = sender_payload(sender.row);
    if (!payload) {
        return fail(payload.error());
    }
    const std::uint32_t initial_instruction = payload->first;
    const std::uint32_t direction = initial_instruction & 7u;
    const std::uint32_t initial_source = (initial_instruction >> 3) & 0x3FFFFu;
    std::uint32_t remaining = payload->second;
    std::uint32_t sent = 0;
    bool started = false;

    for (std::size_t first = 0; first < controls.size();) {
        const std::size_t end = group_end(controls, first);
        const std::span<const ReceiveEvent> group = controls.subspan(first, end - first);
        const bool pair = group.size() > 1;
        const std::uint32_t cycle = group.front().cycles;

        if (cycle == 0) {
            return schedule_error("send control at phase entry");
        }
        const std::uint32_t control_start = cycle - 1;
        if (control_start < event_cycles) {
            return schedule_error("send control order");
        }
        const std::uint32_t distance = control_start - event_cycles;
        if (distance >= remaining) {
            return schedule_error("send control beyond payload");
        }
        if (const auto status =
                emit_sender_words(words, event_cycles, initial_instruction, direction, remaining,
                                  sent, started, distance,
                                  pair ? std::optional<std::uint32_t>{0} : std::nullopt);
            !status) {
            return status;
        }

        std::uint32_t next_boundary = sender.end_cycles;
        bool next_is_pair = false;
        if (end < controls.size()) {
            const std::uint32_t next_cycle = controls[end].cycles;
            next_boundary = next_cycle == 0 ? 0 : next_cycle - 1;
            next_is_pair = group_end(controls, end) - end > 1;
        }
        if (next_boundary < event_cycles) {
            return schedule_error("send control order");
        }
        std::uint32_t available = next_boundary - event_cycles;
        // Leave a payload word between this control word and a following pair, with which the
        // pair can be set on an even word.
        if (next_is_pair && (words.size() + group.size()) % 2 == 1 && available > 1) {
            available -= 1;
        }
        const std::uint32_t chunk = std::min({available, SEND_CONTROL_MAX, remaining});
        if (chunk == 0) {
            return schedule_error("empty receive-control continuation");
        }
        if (pair) {
            if (initial_source > std::numeric_limits<std::uint32_t>::max() - sent) {
                return schedule_error("SENDPICP source overflow");
            }
            const auto encoded =
                encode_send_control_pair(chunk - 1, initial_source + sent, direction, group);
            if (!encoded) {
                return fail(encoded.error());
            }
            words.push_back(encoded->first);
            words.push_back(encoded->second);
        } else {
            const auto encoded = encode_send_control(chunk - 1, group.front());
            if (!encoded) {
                return fail(encoded.error());
            }
            words.push_back(*encoded);
        }
        event_cycles += chunk; // chunk <= available, so this stays at or below next_boundary
        sent += chunk;
        remaining -= chunk;
        first = end;
    }

    if (!started) {
        const std::uint32_t chunk = std::min(remaining, INITIAL_SEND_MAX);
        if (const auto status = write_chunk(words, event_cycles, initial_instruction, direction,
                                            remaining, sent, started, chunk);
            !status) {
            return status;
        }
    }
    while (remaining > 0) {
        const std::uint32_t chunk = std::min(remaining, SEND_OFF_MAX);
        if (const auto status = write_chunk(words, event_cycles, initial_instruction, direction,
                                            remaining, sent, started, chunk);
            !status) {
            return status;
        }
    }
    if (event_cycles != sender.end_cycles) {
        return schedule_error("sender payload horizon");
    }
    return {};
}

namespace detail {

Status encode_sorted_program(std::vector<std::uint32_t>& words,
                             std::span<const ScheduledSenderRow* const> senders,
                             std::span<const ReceiveEvent> events, std::uint32_t horizon_cycles) {
    for (std::size_t index = 1; index < senders.size(); ++index) {
        if (senders[index]->start_cycles < senders[index - 1]->end_cycles) {
            return schedule_error("overlapping outgoing messages");
        }
    }
    if (const auto status = validate_receive_events(events); !status) {
        return status;
    }
    words.clear();
    std::uint32_t event_cycles = 0;
    std::size_t next = 0;
    for (const ScheduledSenderRow* sender : senders) {
        std::size_t before = next;
        while (before < events.size() && events[before].cycles < sender->start_cycles) {
            ++before;
        }
        if (const auto status = append_receive_events(
                words, event_cycles, events.subspan(next, before - next), sender->start_cycles, true);
            !status) {
            return status;
        }
        std::size_t inside = before;
        while (inside < events.size() && events[inside].cycles <= sender->end_cycles) {
            ++inside;
        }
        if (const auto status = append_sender_message(words, event_cycles, *sender,
                                                      events.subspan(before, inside - before));
            !status) {
            return status;
        }
        next = inside;
    }
    if (const auto status = append_receive_events(words, event_cycles, events.subspan(next),
                                                  horizon_cycles, true);
        !status) {
        return status;
    }
    words.push_back(instruction::RETURN_INSTRUCTION);
    return {};
}

} // namespace detail

Result<std::vector<std::uint32_t>>
build_scheduled_program(std::span<const ScheduledSenderRow> senders,
                        std::span<const ReceiveEvent> receive_events, std::uint32_t horizon_cycles) {
    // Most tiles send a handful of messages: order them without allocating.
    constexpr std::size_t INLINE_SENDERS = 8;
    std::array<const ScheduledSenderRow*, INLINE_SENDERS> inline_order{};
    std::vector<const ScheduledSenderRow*> heap_order;
    std::span<const ScheduledSenderRow*> ordered;
    if (senders.size() <= INLINE_SENDERS) {
        ordered = std::span(inline_order).first(senders.size());
    } else {
        heap_order.resize(senders.size());
        ordered = heap_order;
    }
    for (std::size_t index = 0; index < senders.size(); ++index) {
        ordered[index] = &senders[index];
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const ScheduledSenderRow* left, const ScheduledSenderRow* right) {
                         return by_start(*left, *right);
                     });

    // Events are usually appended in cycle order already; only an unsorted list is copied.
    std::vector<ReceiveEvent> sorted_events;
    std::span<const ReceiveEvent> events = receive_events;
    if (!std::is_sorted(events.begin(), events.end(), by_cycles)) {
        sorted_events.assign(events.begin(), events.end());
        std::stable_sort(sorted_events.begin(), sorted_events.end(), by_cycles);
        events = sorted_events;
    }

    std::vector<std::uint32_t> words;
    words.reserve(8 + 2 * events.size() + 4 * senders.size());
    if (const auto status = detail::encode_sorted_program(words, ordered, events, horizon_cycles);
        !status) {
        return fail(status.error());
    }
    return words;
}

} // namespace tarnwick::exchange
