#include "tarnwick/exchange/parse/validator.hpp"

#include "tarnwick/exchange/schedule.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/log.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::exchange::parse {
namespace {

using instruction::delay;
using instruction::delay_pic;
using instruction::delay_xpic;
using instruction::RETURN_INSTRUCTION;
using instruction::SYNC_EXCHANGE_INSTRUCTION;
using instruction::TILE_MUX_EXCHANGE;
using Kind = ReceiveEventKind;
using Words = std::vector<std::uint32_t>;

static_assert(control_key(IncomingControl{IncomingControlStream::Pic, 7}) ==
              std::pair<std::uint8_t, std::uint32_t>{0, 7});
static_assert(control_key(IncomingControl{IncomingControlStream::Xpic, 0x640}) ==
              std::pair<std::uint8_t, std::uint32_t>{1, 0x640});

// An outgoing send of `words` words (send control 1).
std::uint32_t send(std::uint32_t words) { return *instruction::encode_send(words - 1, 1, 0); }

// A SENDPICP of `words` cycles carrying an XPIC and a PIC control, with `send_control`.
std::pair<std::uint32_t, std::uint32_t> pair_send(std::uint32_t words, std::uint32_t xpic,
                                                  std::uint32_t pic, std::uint32_t send_control) {
    const std::uint32_t first = 0xF0000000u | (((pic >> 18) & 1u) << 27) | ((words - 1) << 21) |
                                send_control;
    return {first, (xpic << 18) | (pic & 0x3FFFFu)};
}

TileProgramSchedule schedule_of(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> senders,
                                std::vector<ReceiveEvent> events, std::uint32_t event_cycles) {
    TileProgramSchedule schedule;
    for (const auto& [start, end] : senders) {
        schedule.senders.push_back(ScheduledSenderRow{PlanRow{}, start, end});
    }
    schedule.receive_events = std::move(events);
    schedule.event_cycles = event_cycles;
    return schedule;
}

ExchangeError schedule_failure(std::string_view message) { return ExchangeError::Schedule{message}; }

struct RecordedEvent {
    std::string target;
    std::string message;
    std::vector<std::pair<std::string, std::string>> fields;
};

class Recorder final : public log::Subscriber {
public:
    bool enabled(log::Level level, std::string_view target) const noexcept override {
        return level <= log::Level::Debug && target == log::PARSE_TARGET;
    }
    void record(const log::Event& event) noexcept override {
        RecordedEvent recorded{std::string(event.target), std::string(event.message), {}};
        for (const log::Field& field : event.fields) {
            recorded.fields.emplace_back(field.name, field.value);
        }
        events.push_back(std::move(recorded));
    }
    std::vector<RecordedEvent> events;
};

TEST(Validator, EmptyScheduleAndEmptyProgram) {
    const auto diagnostic = validate_tile_program(0, TileProgramSchedule{}, Words{});
    ASSERT_TRUE(diagnostic.has_value());
    EXPECT_EQ(*diagnostic, PlanProgramDiagnostic{});
}

TEST(Validator, ReturnsTheDiagnosticOfAProgramThatMatches) {
    // Source selected at 10, then a 20-word message from 12 to 32 whose second send, a pair,
    // carries the teardown and the pointer at 23; then the return.
    const auto [first, payload] = pair_send(10, TILE_MUX_EXCHANGE, 0x15000, 1);
    const Words words{delay_xpic(9, 0, 0x82), delay(1), send(10), first, payload, RETURN_INSTRUCTION};
    const TileProgramSchedule schedule = schedule_of(
        {{12, 32}},
        {{10, 0x64000082, Kind::OrdinarySource},
         {23, delay_xpic(0, 0, TILE_MUX_EXCHANGE), Kind::OrdinaryNeutral},
         {23, delay_pic(0, 0, 0x15000), Kind::Pointer}},
        32);
    const auto diagnostic = validate_tile_program(3, schedule, words);
    ASSERT_TRUE(diagnostic.has_value()) << to_string(diagnostic.error());
    EXPECT_EQ(diagnostic, diagnose_plan_program(words, std::nullopt));
    EXPECT_EQ(diagnostic->event_cycles, 32u);
}

TEST(Validator, ControlsMatchWhateverWordCarriesThem) {
    // A Format event whose word has the PIC selector set expects Pic 0x40001 at its cycle.
    const ReceiveEvent format{5, 0x60040001, Kind::Format};
    const ReceiveEvent source{5, 0x64000082, Kind::OrdinarySource};
    // Carried by a pair that starts one cycle earlier (its send control 0 sends nothing)...
    const auto [first, payload] = pair_send(1, 0x82, 0x40001, 0);
    EXPECT_TRUE(validate_tile_program(0, schedule_of({}, {source, format}, 10),
                                      Words{delay(3), first, payload, delay(4)})
                    .has_value());
    // ...whatever the order of the simultaneous events in the schedule...
    EXPECT_TRUE(validate_tile_program(0, schedule_of({}, {format, source}, 10),
                                      Words{delay(3), first, payload, delay(4)})
                    .has_value());
    // ...or by a PIC delay that ends at that cycle.
    EXPECT_TRUE(validate_tile_program(0, schedule_of({}, {format}, 10),
                                      Words{delay_pic(4, 1, 1), delay(4)})
                    .has_value());
    // An XPIC delay ending at the event's cycle sets the source.
    EXPECT_TRUE(validate_tile_program(0, schedule_of({}, {{10, 0x64000082, Kind::OrdinarySource}}, 10),
                                      Words{delay_xpic(9, 0, 0x82)})
                    .has_value());
    // A SENDPIC carries its control one cycle after it starts, and is an outgoing send.
    const std::uint32_t sendpic = *encode_send_control(19, source);
    EXPECT_TRUE(validate_tile_program(0, schedule_of({{10, 60}}, {{41, 0x64000082, Kind::OrdinarySource}}, 60),
                                      Words{delay(9), send(30), sendpic})
                    .has_value());
}

struct FailureCase {
    std::string_view name;
    TileProgramSchedule schedule;
    Words words;
    std::string_view message;
};

TEST(Validator, FailsAtTheFirstDisagreement) {
    const ReceiveEvent source10{10, 0x64000082, Kind::OrdinarySource};
    const FailureCase cases[] = {
        {"truncated pair", schedule_of({}, {}, 0), {delay(3), 0xF54A0109}, "truncated SENDPICP payload"},
        {"one cycle too many", schedule_of({}, {source10}, 10), {delay_xpic(9, 0, 0x82), delay(0)},
         "encoded tile horizon mismatch"},
        {"horizon before unknown words", schedule_of({}, {}, 10), {0x41800100, delay(10)},
         "encoded tile horizon mismatch"},
        {"unknown word", schedule_of({}, {}, 10), {0x41800100, delay(9)},
         "unknown encoded exchange instruction"},
        {"control a cycle early", schedule_of({}, {source10}, 10), {delay_xpic(8, 0, 0x82), delay(0)},
         "encoded incoming-control mismatch"},
        {"wrong source", schedule_of({}, {source10}, 10), {delay_xpic(9, 0, 0x83)},
         "encoded incoming-control mismatch"},
        {"control twice", schedule_of({}, {source10}, 20),
         {delay_xpic(9, 0, 0x82), delay_xpic(9, 0, 0x82)}, "encoded incoming-control mismatch"},
        {"missing control", schedule_of({}, {source10}, 10), {delay(9)},
         "encoded incoming-control mismatch"},
        {"gap between sends", schedule_of({{10, 60}}, {}, 60),
         {delay(9), send(30), delay(0), send(19)}, "encoded sender interval mismatch"},
        {"message ends early", schedule_of({{10, 60}}, {}, 60), {delay(9), send(49), delay(0)},
         "encoded sender interval mismatch"},
        {"message starts late", schedule_of({{10, 60}}, {}, 60), {delay(10), send(49)},
         "encoded sender interval mismatch"},
        {"message not sent", schedule_of({{10, 60}}, {}, 60), {delay(59)},
         "encoded sender interval mismatch"},
        {"one send over two messages", schedule_of({{10, 40}, {40, 60}}, {}, 60),
         {delay(9), send(50)}, "encoded sender interval mismatch"},
        {"stray send after the message", schedule_of({{10, 60}}, {}, 80),
         {delay(9), send(50), delay(9), send(10)}, "unexpected encoded outgoing interval"},
        {"stray send control", schedule_of({}, {{1, 0x64000082, Kind::OrdinarySource}}, 1),
         {*encode_send_control(0, source10)}, "unexpected encoded outgoing interval"},
    };
    for (const auto& [name, schedule, words, message] : cases) {
        EXPECT_EQ(validate_tile_program(0, schedule, words).error(), schedule_failure(message))
            << name;
    }
}

TEST(Validator, MessageMayBeSplitIntoAbuttingSends) {
    const TileProgramSchedule schedule = schedule_of({{10, 60}}, {}, 60);
    EXPECT_TRUE(validate_tile_program(0, schedule, Words{delay(9), send(30), send(20)}).has_value());
    // Two messages back to back, each sent whole.
    EXPECT_TRUE(validate_tile_program(0, schedule_of({{10, 40}, {40, 60}}, {}, 60),
                                      Words{delay(9), send(30), send(20)})
                    .has_value());
}

TEST(Validator, ControlMismatchIsReportedWithItsWindows) {
    Recorder recorder;
    const log::ScopedSubscriber scope(recorder);
    // The program sets the source but never tears it down: the actual list is a strict prefix.
    const TileProgramSchedule schedule =
        schedule_of({}, {{10, 0x64000082, Kind::OrdinarySource}, {20, 0x64000640, Kind::OrdinaryNeutral}}, 20);
    EXPECT_EQ(validate_tile_program(17, schedule, Words{delay_xpic(9, 0, 0x82), delay(9)}).error(),
              schedule_failure("encoded incoming-control mismatch"));
    ASSERT_EQ(recorder.events.size(), 1u);
    const RecordedEvent& event = recorder.events.front();
    EXPECT_EQ(event.target, log::PARSE_TARGET);
    EXPECT_EQ(event.message, "encoded incoming controls differ from the phase schedule");
    const std::vector<std::pair<std::string, std::string>> fields{
        {"tile", "17"},
        {"first_mismatch", "1"},
        {"actual_len", "1"},
        {"expected_len", "2"},
        {"actual", "None"},
        {"expected", "Some((20, IncomingControl { stream: Xpic, value: 1600 }))"},
        {"actual_window", "[(10, IncomingControl { stream: Xpic, value: 130 })]"},
        {"expected_window",
         "[(10, IncomingControl { stream: Xpic, value: 130 }), "
         "(20, IncomingControl { stream: Xpic, value: 1600 })]"},
    };
    EXPECT_EQ(event.fields, fields);
}

TEST(Validator, MismatchWindowsSpanThreeBeforeAndThreeAfter) {
    Recorder recorder;
    const log::ScopedSubscriber scope(recorder);
    // Nine sources one cycle apart; the program sets the sixth one a cycle late (index 5).
    std::vector<ReceiveEvent> events;
    Words words;
    for (std::uint32_t index = 0; index < 9; ++index) {
        events.push_back(ReceiveEvent{10 * (index + 1), delay_xpic(0, 0, index), Kind::OrdinarySource});
        words.push_back(delay_xpic(index == 5 ? 10 : index == 6 ? 8 : 9, 0, index));
    }
    EXPECT_EQ(validate_tile_program(2, schedule_of({}, events, 90), words).error(),
              schedule_failure("encoded incoming-control mismatch"));
    ASSERT_EQ(recorder.events.size(), 1u);
    const auto& fields = recorder.events.front().fields;
    ASSERT_EQ(fields.size(), 8u);
    EXPECT_EQ(fields[1].second, "5");
    EXPECT_EQ(fields[4].second, "Some((61, IncomingControl { stream: Xpic, value: 5 }))");
    EXPECT_EQ(fields[5].second, "Some((60, IncomingControl { stream: Xpic, value: 5 }))");
    // Indices 2 to 8: three before the mismatch, the mismatch and three after.
    const std::string& window = fields[6].second;
    EXPECT_EQ(window.find("(30, "), 1u);
    EXPECT_NE(window.find("(90, IncomingControl { stream: Xpic, value: 8 })]"), std::string::npos);
    EXPECT_EQ(std::ranges::count(window, '('), 7);
}

TEST(Validator, ProgramsOfTheScheduleEncoderValidate) {
    // A tile that sends a 40-word message and receives 8 words, before the message or during it
    // (the receive controls are then fused into the message's sends).
    const PlanRow receiver{SYNC_EXCHANGE_INSTRUCTION, delay_xpic(0, 0, 5), delay_pic(2, 0, 0x14000),
                           delay(9), delay_xpic(0, 0, TILE_MUX_EXCHANGE), RETURN_INSTRUCTION};
    const PlanRow sender{SYNC_EXCHANGE_INSTRUCTION, delay(9), send(40), RETURN_INSTRUCTION};
    for (const std::uint32_t requested : {0u, 15u, 30u}) {
        TileProgramSchedule schedule;
        ASSERT_TRUE(schedule.append_sender_at(sender, 0).has_value());
        const auto offset = schedule.earliest_receiver_offset(receiver, 8, requested);
        ASSERT_TRUE(offset.has_value()) << to_string(offset.error());
        ASSERT_TRUE(schedule.append_receiver_at(receiver, *offset, 8).has_value());
        const auto program = schedule.finish();
        ASSERT_TRUE(program.has_value()) << to_string(program.error());
        const auto diagnostic = validate_tile_program(0, schedule, *program);
        ASSERT_TRUE(diagnostic.has_value()) << requested << ": " << to_string(diagnostic.error());
        EXPECT_EQ(diagnostic->event_cycles, schedule.event_cycles);
    }
}

} // namespace
} // namespace tarnwick::exchange::parse
