#include "tarnwick/exchange/row_timing.hpp"

#include "tarnwick/instruction.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick::exchange {
namespace {

using instruction::delay;
using instruction::delay_pic;
using instruction::delay_xpic;
using instruction::RETURN_INSTRUCTION;
using instruction::SYNC_EXCHANGE_INSTRUCTION;
using instruction::TILE_MUX_EXCHANGE;
using Kind = ReceiveEventKind;

constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

// A plan row: the given words, then zeros.
constexpr PlanRow row_of(std::initializer_list<std::uint32_t> words) {
    PlanRow row{};
    std::size_t index = 0;
    for (const std::uint32_t word : words) {
        row[index++] = word;
    }
    return row;
}

constexpr std::uint32_t send(std::uint32_t count_minus_one) {
    return *instruction::encode_send(count_minus_one, 1, 0);
}

ExchangeError schedule(std::string_view message) { return ExchangeError::Schedule{message}; }

// The ordinary receiver row: source at 1, pointer 0x14000 at 4, teardown at 15.
constexpr PlanRow ORDINARY_ROW =
    row_of({SYNC_EXCHANGE_INSTRUCTION, delay_xpic(0, 0, 5), delay_pic(2, 0, 0x14000), delay(9),
            delay_xpic(0, 0, TILE_MUX_EXCHANGE), RETURN_INSTRUCTION});

// The two receiver rows of a paired transfer of 64 items from physical tile 0 to the pair 64/66
// (receive address 0x60000): the early tile selects and tears down the source, the other one only
// sets the format and pointer.
constexpr PlanRow PAIRED_EARLY_ROW = row_of({0x41800003, 0x64002000, 0x61A40001, 0x60098000,
                                             0x64022640, 0x61A40000, 0x40A00006, 0x43A00000});
constexpr PlanRow PAIRED_LATE_ROW =
    row_of({0x41800003, 0x61AC0001, 0x60098000, 0x61EC0000, 0x40A00006, 0x43A00000});

// ---- sender rows ------------------------------------------------------------------------------

constexpr PlanRow SENDER_ROW =
    row_of({SYNC_EXCHANGE_INSTRUCTION, delay(9), send(3), delay(4), RETURN_INSTRUCTION});

static_assert(sender_row_timing(SENDER_ROW, 0) == SenderRowTiming{10, 14, 19});
static_assert(sender_row_timing(SENDER_ROW, 1000) == SenderRowTiming{1010, 1014, 1019});
static_assert(scheduled_sender_timing(SENDER_ROW, 7) == ScheduledSenderTiming{17, 21, 26});

TEST(SenderRowTiming, IntervalRunsFromFirstSendToLastSendEnd) {
    // Two payload sends with a delay between them: the delay lies inside the interval. Words after
    // the return are not part of the body.
    const PlanRow row = row_of({SYNC_EXCHANGE_INSTRUCTION, delay(2), instruction::send_off(99, 2, 0),
                                delay(5), send(63), RETURN_INSTRUCTION, delay(100)});
    EXPECT_EQ(sender_row_timing(row, 50), (SenderRowTiming{53, 53 + 100 + 6 + 64, 53 + 100 + 6 + 64}));
}

TEST(SenderRowTiming, Failures) {
    struct Case {
        PlanRow row;
        std::uint32_t offset;
        std::string_view message;
    };
    const Case cases[] = {
        {row_of({delay(9), send(3), RETURN_INSTRUCTION}), 0, "sender row entry"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, delay(9), send(3)}), 0, "sender row return"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, delay(9), RETURN_INSTRUCTION, send(3)}), 0,
         "sender payload"},
        {SENDER_ROW, U32_MAX - 18, "sender event horizon overflow"},
    };
    for (const auto& [row, offset, message] : cases) {
        EXPECT_EQ(sender_row_timing(row, offset).error(), schedule(message)) << message;
        EXPECT_EQ(scheduled_sender_timing(row, offset).error(), schedule(message)) << message;
    }
    EXPECT_TRUE(sender_row_timing(SENDER_ROW, U32_MAX - 19).has_value());
}

// ---- receiver rows ----------------------------------------------------------------------------

TEST(ReceiveRowTiming, OrdinaryRow) {
    const ReceiveRowTiming expected{
        .mode = ReceiveMode::Ordinary,
        .events = {{1, delay_xpic(0, 0, 5), Kind::OrdinarySource},
                   {4, delay_pic(2, 0, 0x14000), Kind::Pointer},
                   {15, delay_xpic(0, 0, TILE_MUX_EXCHANGE), Kind::OrdinaryNeutral}},
        .neutral_cycles = 15,
        .source_cycles = 1,
        .format_start_cycles = std::nullopt,
        .format_end_cycles = std::nullopt,
        .pointer_cycles = 4,
        .horizon_cycles = 15,
        .pointer_address = 0x50000,
    };
    EXPECT_EQ(receive_row_timing(ORDINARY_ROW, 0), expected);
}

TEST(ReceiveRowTiming, PairedRows) {
    const auto early = receive_row_timing(PAIRED_EARLY_ROW, 0);
    ASSERT_TRUE(early.has_value()) << to_string(early.error());
    EXPECT_EQ(early->mode, ReceiveMode::Paired64);
    const std::vector<ReceiveEvent> early_events{
        {1, 0x64002000, Kind::PairedSource},  {54, 0x61A40001, Kind::Format},
        {56, 0x60098000, Kind::Pointer},      {65, 0x64022640, Kind::PairedNeutral},
        {118, 0x61A40000, Kind::Format},
    };
    EXPECT_EQ(early->events, early_events);
    EXPECT_EQ(early->source_cycles, 1u);
    EXPECT_EQ(early->neutral_cycles, 65u);
    EXPECT_EQ(early->format_start_cycles, 54u);
    EXPECT_EQ(early->format_end_cycles, 118u);
    EXPECT_EQ(early->pointer_cycles, 56u);
    EXPECT_EQ(early->pointer_address, 0x60000u);
    EXPECT_EQ(early->horizon_cycles, 125u);

    const auto late = receive_row_timing(PAIRED_LATE_ROW, 0);
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->mode, ReceiveMode::Paired64);
    EXPECT_EQ(late->events.size(), 3u);
    EXPECT_EQ(late->source_cycles, std::nullopt);
    EXPECT_EQ(late->neutral_cycles, std::nullopt);
    EXPECT_EQ(late->format_start_cycles, 54u);
    EXPECT_EQ(late->format_end_cycles, 118u);
    EXPECT_EQ(late->horizon_cycles, 125u);
}

TEST(ReceiveRowTiming, ControlPairSetsBothControlsOneCycleAfterItStarts) {
    // A source at 1, then at cycle 5 a 43-cycle pair carrying the teardown and the pointer.
    const PlanRow row = row_of({SYNC_EXCHANGE_INSTRUCTION, delay_xpic(0, 0, 5), delay(3),
                                0xF54A0109, 0x19015000, RETURN_INSTRUCTION});
    const auto timing = receive_row_timing(row, 20);
    ASSERT_TRUE(timing.has_value()) << to_string(timing.error());
    const std::vector<ReceiveEvent> events{
        {21, delay_xpic(0, 0, 5), Kind::OrdinarySource},
        {26, delay_xpic(0, 0, TILE_MUX_EXCHANGE), Kind::OrdinaryNeutral},
        {26, delay_pic(0, 0, 0x15000), Kind::Pointer},
    };
    EXPECT_EQ(timing->events, events);
    EXPECT_EQ(timing->pointer_address, 0x54000u);
    EXPECT_EQ(timing->horizon_cycles, 20u + 1 + 4 + 43);

    // The pair's PIC selector (bit 27) makes its PIC control a format control, and the payload's
    // flag bit makes the XPIC control a paired one.
    const PlanRow paired = row_of({SYNC_EXCHANGE_INSTRUCTION, 0xF8000000, 0x80000001, delay(9),
                                   delay_pic(0, 1, 0), RETURN_INSTRUCTION});
    const auto paired_timing = receive_row_timing(paired, 0);
    ASSERT_TRUE(paired_timing.has_value()) << to_string(paired_timing.error());
    EXPECT_EQ(paired_timing->mode, ReceiveMode::Paired64);
    EXPECT_EQ(paired_timing->events[0], (ReceiveEvent{1, delay_xpic(0, 1, 0), Kind::PairedSource}));
    EXPECT_EQ(paired_timing->events[1], (ReceiveEvent{1, delay_pic(0, 1, 1), Kind::Format}));
}

TEST(ReceiveRowTiming, Failures) {
    const std::uint32_t source = delay_xpic(0, 0, 5);
    const std::uint32_t teardown = delay_xpic(0, 0, TILE_MUX_EXCHANGE);
    const std::uint32_t pointer = delay_pic(0, 0, 0x14000);
    struct Case {
        PlanRow row;
        std::uint32_t offset;
        std::string_view message;
    };
    const Case cases[] = {
        {row_of({delay(1), RETURN_INSTRUCTION}), 0, "receive row entry"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, source, teardown}), 0, "receive row return"},
        {ORDINARY_ROW, U32_MAX, "receive event horizon overflow"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, 0xF54A0109, 0x19015000, RETURN_INSTRUCTION}), U32_MAX,
         "receive event horizon overflow"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, source, source, pointer, teardown, RETURN_INSTRUCTION}),
         0, "multiple receive sources"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, source, pointer, teardown, teardown, RETURN_INSTRUCTION}),
         0, "multiple receive teardowns"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, source, pointer, pointer, teardown, RETURN_INSTRUCTION}),
         0, "multiple receive pointers"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, delay_pic(0, 1, 1), delay_pic(0, 1, 2),
                 delay_pic(0, 1, 0), RETURN_INSTRUCTION}),
         0, "multiple paired format starts"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, delay_pic(0, 1, 1), delay_pic(0, 1, 0),
                 delay_pic(0, 1, 0), RETURN_INSTRUCTION}),
         0, "multiple paired format ends"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, source, delay_pic(0, 1, 3), teardown, RETURN_INSTRUCTION}),
         0, "paired receive format value"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, delay_xpic(0, 1, 5), delay_pic(0, 1, 1),
                 RETURN_INSTRUCTION}),
         0, "incomplete paired receive format"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, delay_xpic(0, 1, 5), delay_pic(0, 1, 0),
                 RETURN_INSTRUCTION}),
         0, "incomplete paired receive format"},
        // A format that ends before it starts is never closed (found by fuzzing: its window's
        // source interval came out inverted, from the format start back to the earlier end).
        {row_of({SYNC_EXCHANGE_INSTRUCTION, delay_pic(0, 1, 0), delay_pic(0, 1, 2),
                 delay_xpic(0, 0, 5), RETURN_INSTRUCTION}),
         0, "incomplete paired receive format"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, source, pointer, delay(9), RETURN_INSTRUCTION}), 0,
         "incomplete ordinary receive mux"},
        {row_of({SYNC_EXCHANGE_INSTRUCTION, pointer, teardown, RETURN_INSTRUCTION}), 0,
         "incomplete ordinary receive mux"},
    };
    for (const auto& [row, offset, message] : cases) {
        EXPECT_EQ(receive_row_timing(row, offset).error(), schedule(message)) << message;
    }
}

TEST(ReceiveRowTiming, ShiftingTheBaseEqualsTimingTheRowAtTheOffset) {
    for (const PlanRow& row : {ORDINARY_ROW, PAIRED_EARLY_ROW, PAIRED_LATE_ROW}) {
        const auto base = receive_row_timing(row, 0);
        ASSERT_TRUE(base.has_value());
        for (const std::uint32_t offset : {0u, 1u, 977u, U32_MAX - 125u}) {
            EXPECT_EQ(receive_row_timing_from_base(*base, offset), receive_row_timing(row, offset))
                << offset;
        }
    }
    const auto base = receive_row_timing(ORDINARY_ROW, 0);
    ASSERT_TRUE(base.has_value());
    EXPECT_EQ(receive_row_timing_from_base(*base, U32_MAX).error(),
              schedule("receive offset overflow"));
    EXPECT_EQ(receive_row_timing_from_base(*base, U32_MAX - 14).error(),
              schedule("receive offset overflow"));
    EXPECT_EQ(receive_row_timing_from_base(*base, U32_MAX - 15)->horizon_cycles, U32_MAX);
}

// ---- receive windows --------------------------------------------------------------------------

class ReceiveWindow : public ::testing::Test {
protected:
    void SetUp() override {
        const auto timing = receive_row_timing(ORDINARY_ROW, 0);
        ASSERT_TRUE(timing.has_value());
        ordinary = *timing;
    }
    ReceiveRowTiming ordinary;
};

TEST_F(ReceiveWindow, OrdinaryStreamHoldsItsSourceForItsItems) {
    const ScheduledReceiverWindow expected{
        .events = {{101, delay_xpic(0, 0, 5), Kind::OrdinarySource},
                   {104, delay_pic(2, 0, 0x14000), Kind::Pointer},
                   {109, delay_xpic(0, 0, TILE_MUX_EXCHANGE), Kind::OrdinaryNeutral}},
        .source_start = 101,
        .source_end = 109,
        .payload_start = 104,
        .payload_end = 112,
        .horizon = 115,
        .pointer_address = 0x50000,
    };
    EXPECT_EQ(scheduled_receive_window(ordinary, 100, 8, std::nullopt), expected);
}

TEST_F(ReceiveWindow, TeardownMovesPastThePointerAndEventsStaySorted) {
    // With 40 items the teardown moves from 15 to 41, after the row's own horizon.
    const auto window = scheduled_receive_window(ordinary, 0, 40, std::nullopt);
    ASSERT_TRUE(window.has_value());
    EXPECT_EQ(window->events.back(),
              (ReceiveEvent{41, delay_xpic(0, 0, TILE_MUX_EXCHANGE), Kind::OrdinaryNeutral}));
    EXPECT_EQ(window->payload_end, 44u);
    EXPECT_EQ(window->horizon, 44u);
    // With 2 items the teardown lands before the pointer and is sorted ahead of it.
    const auto short_window = scheduled_receive_window(ordinary, 0, 2, std::nullopt);
    ASSERT_TRUE(short_window.has_value());
    ASSERT_EQ(short_window->events.size(), 3u);
    EXPECT_EQ(short_window->events[1].kind, Kind::OrdinaryNeutral);
    EXPECT_EQ(short_window->events[1].cycles, 3u);
    EXPECT_EQ(short_window->horizon, 15u);
}

TEST_F(ReceiveWindow, PointerIsDroppedOnlyWhereTheOrdinaryStreamContinues) {
    const auto pointer_count = [&](const std::optional<ReceiveStream>& previous) {
        const auto window = scheduled_receive_window(ordinary, 100, 8, previous);
        EXPECT_TRUE(window.has_value());
        return std::ranges::count(window->events, Kind::Pointer, &ReceiveEvent::kind);
    };
    EXPECT_EQ(pointer_count(ReceiveStream{ReceiveMode::Ordinary, 90, 95, 0x50000}), 0);
    EXPECT_EQ(pointer_count(ReceiveStream{ReceiveMode::Paired64, 90, 95, 0x50000}), 1);
    EXPECT_EQ(pointer_count(ReceiveStream{ReceiveMode::Ordinary, 90, 95, 0x50004}), 1);
    EXPECT_EQ(pointer_count(ReceiveStream{ReceiveMode::Ordinary, 90, 95, std::nullopt}), 1);
    EXPECT_EQ(pointer_count(std::nullopt), 1);
    // The payload interval still comes from the row's pointer event.
    const auto window = scheduled_receive_window(
        ordinary, 100, 8, ReceiveStream{ReceiveMode::Ordinary, 90, 95, 0x50000});
    EXPECT_EQ(window->payload_start, 104u);
    EXPECT_EQ(window->payload_end, 112u);
}

TEST_F(ReceiveWindow, PairedStreamSpansItsFormat) {
    const auto early = receive_row_timing(PAIRED_EARLY_ROW, 0);
    const auto late = receive_row_timing(PAIRED_LATE_ROW, 0);
    ASSERT_TRUE(early.has_value() && late.has_value());
    const auto window = scheduled_receive_window(*early, 10, 64, std::nullopt);
    ASSERT_TRUE(window.has_value()) << to_string(window.error());
    EXPECT_EQ(window->source_start, 11u);
    EXPECT_EQ(window->source_end, 128u);
    EXPECT_EQ(window->payload_start, 66u);
    EXPECT_EQ(window->payload_end, 130u);
    EXPECT_EQ(window->horizon, 135u);
    std::vector<std::uint32_t> cycles;
    for (const ReceiveEvent& event : window->events) {
        cycles.push_back(event.cycles);
    }
    EXPECT_EQ(cycles, (std::vector<std::uint32_t>{11, 64, 66, 75, 128}));
    // A paired stream keeps its pointer even after an ordinary stream that ends at its address.
    const auto after = scheduled_receive_window(
        *early, 10, 64, ReceiveStream{ReceiveMode::Ordinary, 5, 5, 0x60000});
    EXPECT_EQ(after, window);

    const auto late_window = scheduled_receive_window(*late, 0, 64, std::nullopt);
    ASSERT_TRUE(late_window.has_value());
    EXPECT_EQ(late_window->source_start, 54u);
    EXPECT_EQ(late_window->source_end, 118u);
    EXPECT_EQ(late_window->horizon, 125u);
}

TEST_F(ReceiveWindow, Failures) {
    const auto no_pointer = receive_row_timing(
        row_of({SYNC_EXCHANGE_INSTRUCTION, delay_xpic(0, 0, 5), delay(9),
                delay_xpic(0, 0, TILE_MUX_EXCHANGE), RETURN_INSTRUCTION}),
        0);
    ASSERT_TRUE(no_pointer.has_value());
    ReceiveRowTiming no_source = ordinary;
    no_source.source_cycles.reset();
    const auto paired = receive_row_timing(PAIRED_EARLY_ROW, 0);
    ASSERT_TRUE(paired.has_value());
    ReceiveRowTiming no_format_start = *paired;
    no_format_start.format_start_cycles.reset();
    ReceiveRowTiming no_format_end = *paired;
    no_format_end.format_end_cycles.reset();

    struct Case {
        const ReceiveRowTiming* base;
        std::uint32_t offset;
        std::uint32_t received_words;
        std::string_view message;
    };
    const Case cases[] = {
        {&ordinary, U32_MAX - 14, 8, "receive offset overflow"},
        {&no_source, 0, 8, "receive source timing"},
        {&ordinary, U32_MAX - 15, 15, "receive source timing overflow"},
        {&ordinary, 0, U32_MAX, "receive source timing overflow"},
        {&ordinary, 0, U32_MAX - 3, "receive payload timing overflow"},
        {&*no_pointer, 0, 8, "receive pointer event"},
        {&no_format_start, 0, 64, "paired receive format start"},
        {&no_format_end, 0, 64, "paired receive format end"},
        // No items: the teardown lands on the source selection.
        {&ordinary, 0, 0, "incompatible simultaneous receive controls"},
    };
    for (const auto& [base, offset, received_words, message] : cases) {
        EXPECT_EQ(scheduled_receive_window(*base, offset, received_words, std::nullopt).error(),
                  schedule(message))
            << message;
    }
}

TEST(RowTimingDebugForms, NameEveryField) {
    EXPECT_EQ(to_string(SenderRowTiming{1, 2, 3}),
              "SenderRowTiming { start_cycles: 1, end_cycles: 2, horizon_cycles: 3 }");
    EXPECT_EQ(to_string(ScheduledSenderTiming{1, 2, 3}),
              "ScheduledSenderTiming { payload_start: 1, payload_end: 2, horizon: 3 }");
    EXPECT_EQ(to_string(ReceiveStream{ReceiveMode::Paired64, 4, 5, std::nullopt}),
              "ReceiveStream { mode: Paired64, source_end_cycles: 4, pointer_end_cycles: 5, "
              "next_address: None }");
    EXPECT_EQ(to_string(ReceiveRowTiming{}),
              "ReceiveRowTiming { mode: Ordinary, events: [], neutral_cycles: None, "
              "source_cycles: None, format_start_cycles: None, format_end_cycles: None, "
              "pointer_cycles: None, horizon_cycles: 0, pointer_address: None }");
    EXPECT_EQ(to_string(ScheduledReceiverWindow{{{3, 0x64000005, Kind::OrdinarySource}}, 3, 4, 5, 6,
                                                7, 0x40}),
              "ScheduledReceiverWindow { events: [ReceiveEvent { cycles: 3, instruction: "
              "1677721605, kind: OrdinarySource }], source_start: 3, source_end: 4, "
              "payload_start: 5, payload_end: 6, horizon: 7, pointer_address: Some(64) }");
}

} // namespace
} // namespace tarnwick::exchange
