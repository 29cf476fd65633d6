// Row analysis and patching: `sender_row_timing`, `receive_row_timing` (and its shift),
// `scheduled_receive_window`, `plan_event_cycles`, `offset_plan`, the `patch_…` functions,
// `finalize_point_receiver`, `set_sender_control` and `normalized_exchange_address_words` on
// arbitrary rows, offsets and addresses.
//
// Promises checked: a timing at an offset is the timing at 0 moved by the offset (or an overflow);
// a receive window is ordered, valid and inside its horizon; an in-place operation that fails
// leaves its row bit-identical, and one that succeeds changes only the field it names; a row
// delayed by `offset_plan` times exactly as the original placed that much later.

#include "fuzz_exchange.hpp"
#include "fuzz_input.hpp"

#include "tarnwick/exchange/paired.hpp"
#include "tarnwick/exchange/patch.hpp"
#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/row_timing.hpp"
#include "tarnwick/exchange/timeline.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace {

using namespace tarnwick;
using namespace tarnwick::fuzz;
using exchange::PlanRow;

constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

std::optional<std::size_t> return_index(const PlanRow& row) {
    const auto found = std::find(row.begin(), row.end(), instruction::RETURN_INSTRUCTION);
    if (found == row.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - row.begin());
}

// Indices at which two rows differ.
std::vector<std::size_t> changed_words(const PlanRow& before, const PlanRow& after) {
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (before[i] != after[i]) {
            changed.push_back(i);
        }
    }
    return changed;
}

std::uint32_t address(FuzzInput& in) {
    switch (in.in_range(0, 3)) {
    case 0: return in.in_range<std::uint32_t>(0x50000, 0x70000) & ~7u;
    case 1: return in.in_range<std::uint32_t>(0, 0x100000);
    case 2: return 0x100000u - in.in_range<std::uint32_t>(0, 16);
    default: return in.integral<std::uint32_t>();
    }
}

void check_sender_timing(const PlanRow& row, std::uint32_t offset) {
    const auto at_zero = exchange::sender_row_timing(row, 0);
    const auto at_offset = exchange::sender_row_timing(row, offset);
    const auto scheduled = exchange::scheduled_sender_timing(row, offset);
    TARNWICK_FUZZ_CHECK(scheduled.has_value() == at_offset.has_value());
    if (!at_zero) {
        TARNWICK_FUZZ_CHECK(is_schedule(at_zero.error(), {"sender row entry", "sender row return",
                                                          "sender event horizon overflow",
                                                          "sender payload"}));
        TARNWICK_FUZZ_CHECK(!at_offset);
        TARNWICK_FUZZ_CHECK(at_offset.error() == at_zero.error() ||
                            is_schedule(at_offset.error(), "sender event horizon overflow"));
        return;
    }
    TARNWICK_FUZZ_NOTE("sender timing");
    TARNWICK_FUZZ_CHECK(at_zero->start_cycles < at_zero->end_cycles);
    TARNWICK_FUZZ_CHECK(at_zero->end_cycles <= at_zero->horizon_cycles);
    if (std::uint64_t{at_zero->horizon_cycles} + offset > U32_MAX) {
        TARNWICK_FUZZ_CHECK(!at_offset && is_schedule(at_offset.error(), "sender event horizon overflow"));
        return;
    }
    TARNWICK_FUZZ_CHECK(at_offset.has_value());
    TARNWICK_FUZZ_CHECK(at_offset->start_cycles == at_zero->start_cycles + offset);
    TARNWICK_FUZZ_CHECK(at_offset->end_cycles == at_zero->end_cycles + offset);
    TARNWICK_FUZZ_CHECK(at_offset->horizon_cycles == at_zero->horizon_cycles + offset);
    TARNWICK_FUZZ_CHECK(scheduled->payload_start == at_offset->start_cycles);
    TARNWICK_FUZZ_CHECK(scheduled->payload_end == at_offset->end_cycles);
    TARNWICK_FUZZ_CHECK(scheduled->horizon == at_offset->horizon_cycles);
}

void check_receive_timing_shape(const exchange::ReceiveRowTiming& timing) {
    using exchange::ReceiveEventKind;
    std::uint32_t previous = 0;
    for (const auto& event : timing.events) {
        TARNWICK_FUZZ_CHECK(event.cycles >= previous);
        TARNWICK_FUZZ_CHECK(event.cycles <= timing.horizon_cycles);
        previous = event.cycles;
    }
    const auto only = [&](auto matches) -> std::optional<std::uint32_t> {
        std::optional<std::uint32_t> found;
        for (const auto& event : timing.events) {
            if (matches(event)) {
                TARNWICK_FUZZ_CHECK(!found);
                found = event.cycles;
            }
        }
        return found;
    };
    TARNWICK_FUZZ_CHECK(timing.source_cycles == only([](const exchange::ReceiveEvent& event) {
                            return event.kind == ReceiveEventKind::OrdinarySource ||
                                   event.kind == ReceiveEventKind::PairedSource;
                        }));
    TARNWICK_FUZZ_CHECK(timing.neutral_cycles == only([](const exchange::ReceiveEvent& event) {
                            return event.kind == ReceiveEventKind::OrdinaryNeutral ||
                                   event.kind == ReceiveEventKind::PairedNeutral;
                        }));
    TARNWICK_FUZZ_CHECK(timing.pointer_cycles == only([](const exchange::ReceiveEvent& event) {
                            return event.kind == ReceiveEventKind::Pointer;
                        }));
    TARNWICK_FUZZ_CHECK(timing.pointer_cycles.has_value() == timing.pointer_address.has_value());
    if (timing.mode == exchange::ReceiveMode::Paired64) {
        TARNWICK_FUZZ_CHECK(timing.format_start_cycles && timing.format_end_cycles);
    } else {
        TARNWICK_FUZZ_CHECK(timing.source_cycles && timing.neutral_cycles);
        TARNWICK_FUZZ_CHECK(!timing.format_start_cycles);
    }
}

void check_receive_timing(const PlanRow& row, std::uint32_t offset, FuzzInput& in) {
    const auto at_zero = exchange::receive_row_timing(row, 0);
    const auto at_offset = exchange::receive_row_timing(row, offset);
    if (!at_zero) {
        TARNWICK_FUZZ_CHECK(at_zero.error().is<ExchangeError::Schedule>());
        TARNWICK_FUZZ_CHECK(!at_offset);
        TARNWICK_FUZZ_CHECK(at_offset.error() == at_zero.error() ||
                            is_schedule(at_offset.error(), "receive event horizon overflow"));
        return;
    }
    TARNWICK_FUZZ_NOTE("receive timing");
    check_receive_timing_shape(*at_zero);
    const auto shifted = exchange::receive_row_timing_from_base(*at_zero, offset);
    // Shifting the offset-0 timing gives the timing at the offset, and both overflow together.
    TARNWICK_FUZZ_CHECK(shifted.has_value() == at_offset.has_value());
    if (!at_offset) {
        TARNWICK_FUZZ_CHECK(is_schedule(at_offset.error(), "receive event horizon overflow"));
        TARNWICK_FUZZ_CHECK(is_schedule(shifted.error(), "receive offset overflow"));
        TARNWICK_FUZZ_CHECK(std::uint64_t{at_zero->horizon_cycles} + offset > U32_MAX);
    } else {
        TARNWICK_FUZZ_CHECK(*shifted == *at_offset);
        TARNWICK_FUZZ_CHECK(at_offset->horizon_cycles == at_zero->horizon_cycles + offset);
    }

    // The window of one stream after an optional previous stream.
    std::optional<exchange::ReceiveStream> previous;
    if (in.boolean()) {
        exchange::ReceiveStream stream;
        stream.mode = in.boolean() ? exchange::ReceiveMode::Ordinary : exchange::ReceiveMode::Paired64;
        stream.source_end_cycles = cycles(in);
        stream.pointer_end_cycles = cycles(in);
        if (in.chance(70)) {
            stream.next_address = in.chance(60) && at_zero->pointer_address ? *at_zero->pointer_address
                                                                            : in.integral<std::uint32_t>();
        }
        previous = stream;
    }
    const std::uint32_t received = in.chance(80) ? in.in_range<std::uint32_t>(0, 600) : cycles(in);
    const exchange::ReceiveRowTiming base_copy = *at_zero;
    const auto window = exchange::scheduled_receive_window(*at_zero, offset, received, previous);
    TARNWICK_FUZZ_CHECK(*at_zero == base_copy);
    if (!window) {
        TARNWICK_FUZZ_CHECK(window.error().is<ExchangeError::Schedule>());
        return;
    }
    TARNWICK_FUZZ_NOTE(previous ? "receive window after a stream" : "receive window");
    TARNWICK_FUZZ_CHECK(at_offset.has_value());
    TARNWICK_FUZZ_CHECK(window->source_start <= window->source_end);
    TARNWICK_FUZZ_CHECK(window->payload_start <= window->payload_end);
    TARNWICK_FUZZ_CHECK(window->payload_end - window->payload_start == received);
    TARNWICK_FUZZ_CHECK(window->horizon >= window->source_end);
    TARNWICK_FUZZ_CHECK(window->horizon >= window->payload_end);
    TARNWICK_FUZZ_CHECK(window->horizon >= at_offset->horizon_cycles);
    TARNWICK_FUZZ_CHECK(window->pointer_address == at_zero->pointer_address);
    TARNWICK_FUZZ_CHECK(exchange::validate_receive_events(window->events).has_value());
    std::uint32_t last = 0;
    for (const auto& event : window->events) {
        TARNWICK_FUZZ_CHECK(event.cycles >= last && event.cycles <= window->horizon);
        last = event.cycles;
        if (event.kind == exchange::ReceiveEventKind::OrdinaryNeutral) {
            TARNWICK_FUZZ_CHECK(event.cycles == window->source_end);
        }
    }
    // Every event of the row is kept, except a pointer that the previous stream carries over.
    const auto pointers = [](const std::vector<exchange::ReceiveEvent>& events) {
        return std::count_if(events.begin(), events.end(), [](const exchange::ReceiveEvent& event) {
            return event.kind == exchange::ReceiveEventKind::Pointer;
        });
    };
    const auto dropped = pointers(at_offset->events) - pointers(window->events);
    TARNWICK_FUZZ_CHECK(dropped == 0 || dropped == 1);
    TARNWICK_FUZZ_CHECK(window->events.size() + static_cast<std::size_t>(dropped) ==
                        at_offset->events.size());
    if (dropped == 1) {
        TARNWICK_FUZZ_CHECK(previous && previous->mode == exchange::ReceiveMode::Ordinary &&
                            at_zero->mode == exchange::ReceiveMode::Ordinary &&
                            previous->next_address == at_zero->pointer_address);
    }
}

void check_offset_plan(const PlanRow& row, std::uint32_t delay) {
    PlanRow delayed = row;
    const auto status = exchange::offset_plan(delayed, delay);
    if (!status) {
        TARNWICK_FUZZ_CHECK(delayed == row);
        const auto end = return_index(row);
        if (row[0] != instruction::SYNC_EXCHANGE_INSTRUCTION) {
            TARNWICK_FUZZ_CHECK(is_schedule(status.error(), "plan offset entry"));
        } else if (!end) {
            TARNWICK_FUZZ_CHECK(is_schedule(status.error(), "plan offset return"));
        } else {
            const std::uint64_t available = 8 - *end;
            const std::uint64_t needed = (std::uint64_t{delay} + 0x7FFFF) / 0x80000;
            TARNWICK_FUZZ_CHECK(needed > available);
            TARNWICK_FUZZ_CHECK((status.error() ==
                                 ExchangeError::PlanOffsetRange{
                                     delay, static_cast<std::uint32_t>(std::min(available * 0x80000, U32_MAX))}));
        }
        return;
    }
    if (delay == 0) {
        TARNWICK_FUZZ_CHECK(delayed == row);
        return;
    }
    TARNWICK_FUZZ_NOTE("plan offset");
    TARNWICK_FUZZ_CHECK(delayed[0] == instruction::SYNC_EXCHANGE_INSTRUCTION);
    const auto before_end = return_index(row);
    const auto after_end = return_index(delayed);
    TARNWICK_FUZZ_CHECK(before_end && after_end);
    const std::size_t inserted = *after_end - *before_end;
    TARNWICK_FUZZ_CHECK(inserted == (std::uint64_t{delay} + 0x7FFFF) / 0x80000);
    std::uint64_t total = 0;
    for (std::size_t i = 1; i <= inserted; ++i) {
        TARNWICK_FUZZ_CHECK(instruction::is_delay(delayed[i]));
        total += exchange::instruction_advance(delayed[i]);
    }
    TARNWICK_FUZZ_CHECK(total == delay);
    TARNWICK_FUZZ_CHECK(std::equal(row.begin() + 1, row.begin() + static_cast<std::ptrdiff_t>(*before_end) + 1,
                                   delayed.begin() + static_cast<std::ptrdiff_t>(inserted) + 1));
    // The delayed row, read at 0, is the original row read `delay` cycles later.
    TARNWICK_FUZZ_CHECK(exchange::sender_row_timing(delayed, 0) == exchange::sender_row_timing(row, delay));
    TARNWICK_FUZZ_CHECK(exchange::receive_row_timing(delayed, 0) == exchange::receive_row_timing(row, delay));
}

void check_patches(const PlanRow& row, std::uint32_t byte_address, FuzzInput& in) {
    constexpr std::uint32_t SOURCE_FIELD = 0x001FFFF8;
    constexpr std::uint32_t POINTER_FIELD = 0x0003FFFF;

    // patch_sender_address: the first plain send gets the item address in bits 20..3.
    {
        PlanRow patched = row;
        const auto status = exchange::patch_sender_address(patched, byte_address);
        const auto changed = changed_words(row, patched);
        if (!status) {
            TARNWICK_FUZZ_CHECK(patched == row);
            TARNWICK_FUZZ_CHECK((status.error() == ExchangeError::Address{byte_address}));
        } else {
            TARNWICK_FUZZ_NOTE("sender address patched");
            const auto first_send = std::find_if(row.begin(), row.end(), [](std::uint32_t word) {
                return (word & instruction::LONG_OPCODE_MASK) == instruction::SEND_OPCODE;
            });
            TARNWICK_FUZZ_CHECK(first_send != row.end());
            const auto index = static_cast<std::size_t>(first_send - row.begin());
            TARNWICK_FUZZ_CHECK(changed.empty() || (changed.size() == 1 && changed[0] == index));
            const unsigned shift = (row[index] & 4u) != 0 ? 3u : 2u;
            TARNWICK_FUZZ_CHECK((byte_address & ((1u << shift) - 1)) == 0);
            TARNWICK_FUZZ_CHECK(((patched[index] & SOURCE_FIELD) >> 3) == byte_address >> shift);
            TARNWICK_FUZZ_CHECK((patched[index] & ~SOURCE_FIELD) == (row[index] & ~SOURCE_FIELD));
        }
    }
    // patch_sender_instruction on any one word.
    {
        const std::uint32_t word = row[in.in_range<std::size_t>(0, row.size() - 1)];
        std::uint32_t patched = word;
        const auto status = exchange::patch_sender_instruction(patched, byte_address);
        if (!status) {
            TARNWICK_FUZZ_CHECK(patched == word);
            TARNWICK_FUZZ_CHECK((status.error() == ExchangeError::Address{byte_address}));
        } else {
            const bool plain = (word & instruction::LONG_OPCODE_MASK) == instruction::SEND_OPCODE;
            TARNWICK_FUZZ_CHECK(plain || (instruction::is_send_control_pair(word) && (word & 7u) != 0));
            const unsigned shift = (word & 4u) != 0 ? 3u : 2u;
            TARNWICK_FUZZ_CHECK(((patched & SOURCE_FIELD) >> 3) == byte_address >> shift);
            TARNWICK_FUZZ_CHECK((std::uint64_t{byte_address >> shift} << shift) == byte_address);
            TARNWICK_FUZZ_CHECK((patched & ~SOURCE_FIELD) == (word & ~SOURCE_FIELD));
        }
    }
    // patch_receiver_address: the first pointer control gets the word address in bits 17..0;
    // nothing that normalisation keeps is touched.
    {
        PlanRow patched = row;
        const auto status = exchange::patch_receiver_address(patched, byte_address);
        if (!status) {
            TARNWICK_FUZZ_CHECK(patched == row);
            TARNWICK_FUZZ_CHECK((status.error() == ExchangeError::Address{byte_address}) ||
                                is_schedule(status.error(), "truncated SENDPICP payload"));
        } else {
            TARNWICK_FUZZ_NOTE("receiver address patched");
            TARNWICK_FUZZ_CHECK(byte_address % 4 == 0 && byte_address <= 0xFFFFF);
            const auto changed = changed_words(row, patched);
            TARNWICK_FUZZ_CHECK(changed.size() <= 1);
            for (const std::size_t index : changed) {
                TARNWICK_FUZZ_CHECK((patched[index] & POINTER_FIELD) == byte_address >> 2);
                TARNWICK_FUZZ_CHECK((patched[index] & ~POINTER_FIELD) == (row[index] & ~POINTER_FIELD));
            }
            TARNWICK_FUZZ_CHECK(exchange::normalized_exchange_address_words(patched) ==
                                exchange::normalized_exchange_address_words(row));
        }
    }
    // finalize_point_receiver: the patch index dropped and its XPIC operand set.
    {
        const auto source = in.chance(90) ? in.in_range<std::uint16_t>(0, 0x1FFF) : in.integral<std::uint16_t>();
        const PlanRow copy = row;
        const auto finished = exchange::finalize_point_receiver(row, source);
        TARNWICK_FUZZ_CHECK(copy == row);
        if (!finished) {
            TARNWICK_FUZZ_CHECK(is_schedule(finished.error(), "point receiver patch index"));
            TARNWICK_FUZZ_CHECK(row[0] >= 8 || source > 0x1FFF);
        } else {
            TARNWICK_FUZZ_CHECK(row[0] < 8 && source <= 0x1FFF);
            TARNWICK_FUZZ_CHECK((*finished)[8] == 0);
            for (std::size_t i = 0; i < 8; ++i) {
                const std::uint32_t expected =
                    i == row[0] ? ((row[i + 1] & ~0x1FFFu) | source) : row[i + 1];
                TARNWICK_FUZZ_CHECK((*finished)[i] == expected);
            }
        }
    }
    // set_sender_control: only send controls change.
    {
        const auto control = in.in_range<std::uint8_t>(0, 9);
        PlanRow changed_row = row;
        const auto status = exchange::set_sender_control(changed_row, control);
        if (!status) {
            TARNWICK_FUZZ_CHECK(changed_row == row);
            TARNWICK_FUZZ_CHECK(is_schedule(status.error(), {"send control", "sender payload"}));
        } else {
            TARNWICK_FUZZ_CHECK(control >= 1 && control <= 7);
            for (const std::size_t index : changed_words(row, changed_row)) {
                TARNWICK_FUZZ_CHECK((changed_row[index] & ~7u) == (row[index] & ~7u));
                TARNWICK_FUZZ_CHECK((changed_row[index] & 7u) == control);
            }
            TARNWICK_FUZZ_CHECK(exchange::sender_row_timing(changed_row, 0) ==
                                exchange::sender_row_timing(row, 0));
        }
    }
}

void check_normalized(std::span<const std::uint32_t> words) {
    const auto normalized = exchange::normalized_exchange_address_words(words);
    TARNWICK_FUZZ_CHECK(normalized.size() == words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        // Only address bits are cleared; nothing is set.
        TARNWICK_FUZZ_CHECK((normalized[i] & ~words[i]) == 0);
    }
    TARNWICK_FUZZ_CHECK(exchange::normalized_exchange_address_words(normalized) == normalized);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const PlanRow row = plan_row(in);
    const std::uint32_t offset = cycles(in);

    check_sender_timing(row, offset);
    check_receive_timing(row, offset, in);
    check_offset_plan(row, in.chance(70) ? in.in_range<std::uint32_t>(0, 0x180000) : cycles(in));
    check_patches(row, address(in), in);
    check_normalized(row);
    check_normalized(exchange_words(in, 12));

    const auto horizon = exchange::plan_event_cycles(row);
    if (!horizon) {
        TARNWICK_FUZZ_CHECK(is_schedule(horizon.error(), "plan event horizon overflow"));
    }
    return 0;
}
