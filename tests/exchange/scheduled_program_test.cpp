#include "tarnwick/exchange/scheduled_program.hpp"

#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/instruction.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick::exchange {
namespace {

using instruction::delay;
using instruction::delay_pic;
using instruction::delay_xpic;
using instruction::RETURN_INSTRUCTION;
using instruction::send_off;
using instruction::SYNC_EXCHANGE_INSTRUCTION;
using instruction::TILE_MUX_EXCHANGE;
using Kind = ReceiveEventKind;
using Words = std::vector<std::uint32_t>;

std::unexpected<ExchangeError> schedule(std::string_view message) { return schedule_error(message); }

std::uint32_t send(std::uint32_t count_minus_one, std::uint32_t direction, std::uint32_t base) {
    return *instruction::encode_send(count_minus_one, direction, base);
}

// A sender row of `count` words from word address `base`, as row assembly writes it.
PlanRow sender_row(std::uint32_t count, std::uint32_t direction = 1, std::uint32_t base = 0x14000) {
    PlanRow row{};
    std::size_t cursor = 0;
    row[cursor++] = SYNC_EXCHANGE_INSTRUCTION;
    row[cursor++] = delay(20);
    row[cursor++] = send((count < 64 ? count : 64) - 1, direction, base);
    for (std::uint32_t rest = count < 64 ? 0 : count - 64; rest > 0;) {
        const std::uint32_t chunk = rest < 4096 ? rest : 4096;
        row[cursor++] = send_off(chunk - 1, direction, 0);
        rest -= chunk;
    }
    row[cursor] = RETURN_INSTRUCTION;
    return row;
}

ScheduledSenderRow message(std::uint32_t start, std::uint32_t count, std::uint32_t direction = 1,
                           std::uint32_t base = 0x14000) {
    return ScheduledSenderRow{sender_row(count, direction, base), start, start + count};
}

ReceiveEvent source(std::uint32_t cycles) {
    return ReceiveEvent{cycles, delay_xpic(0, 0, 0x25), Kind::OrdinarySource};
}
ReceiveEvent teardown(std::uint32_t cycles) {
    return ReceiveEvent{cycles, delay_xpic(0, 0, TILE_MUX_EXCHANGE), Kind::OrdinaryNeutral};
}
ReceiveEvent pointer(std::uint32_t cycles) {
    return ReceiveEvent{cycles, delay_pic(0, 0, 0x15000), Kind::Pointer};
}

Result<Words> build(std::vector<ScheduledSenderRow> senders, std::vector<ReceiveEvent> events,
                    std::uint32_t horizon) {
    return build_scheduled_program(senders, events, horizon);
}

TEST(ResizeSend, ReplacesOnlyTheCount) {
    EXPECT_EQ(resize_send(send(63, 3, 0x14000), 9), send(8, 3, 0x14000));
    EXPECT_EQ(resize_send(send(0, 5, 0x3FFFF), 64), send(63, 5, 0x3FFFF));
    for (const auto& [word, words] : {std::pair{send(3, 1, 0), 0u}, std::pair{send(3, 1, 0), 65u},
                                      std::pair{send_off(3, 1, 0), 4u}, std::pair{delay(3), 4u}}) {
        EXPECT_EQ(resize_send(word, words), schedule("initial send size")) << std::hex << word;
    }
}

TEST(SenderPayload, CountsTheInitialSendAndItsContinuations) {
    EXPECT_EQ(sender_payload(sender_row(100, 2, 7)), (std::pair{send(63, 2, 7), 100u}));
    EXPECT_EQ(sender_payload(sender_row(3)), (std::pair{send(2, 1, 0x14000), 3u}));

    PlanRow twice = sender_row(3);
    twice[4] = send(0, 1, 0);
    twice[5] = RETURN_INSTRUCTION;
    EXPECT_EQ(sender_payload(twice), schedule("multiple initial sends"));

    const PlanRow no_send{SYNC_EXCHANGE_INSTRUCTION, send_off(4095, 1, 0), RETURN_INSTRUCTION};
    EXPECT_EQ(sender_payload(no_send), schedule("sender payload"));

    PlanRow huge{};
    huge[0] = send(0, 1, 0);
    for (std::size_t index = 1; index < huge.size(); ++index) {
        huge[index] = send_off(4095, 1, 0);
    }
    EXPECT_EQ(sender_payload(huge), (std::pair{send(0, 1, 0), 1u + 8u * 4096u}));
}

TEST(BuildScheduledProgram, WithoutSendersOrEventsIsDelaysToTheHorizon) {
    EXPECT_EQ(build({}, {}, 0), (Words{RETURN_INSTRUCTION}));
    EXPECT_EQ(build({}, {}, 1), (Words{delay(0), RETURN_INSTRUCTION}));
    EXPECT_EQ(build({}, {}, 600'000), (Words{delay(0x7FFFF), delay(600'000 - 524'288 - 1),
                                             RETURN_INSTRUCTION}));
}

TEST(BuildScheduledProgram, MessageWithoutControlsIsAnInitialSendAndContinuations) {
    const auto program = build({message(30, 5000, 2, 0x100)}, {}, 5040);
    EXPECT_EQ(program, (Words{delay(29), send(63, 2, 0x100), send_off(4095, 2, 0),
                              send_off(839, 2, 0), delay(9), RETURN_INSTRUCTION}));
}

TEST(BuildScheduledProgram, SingleControlInsideAMessageRidesOnASendpic) {
    constexpr std::uint32_t start = 20;
    const ReceiveEvent control = source(start + 10);
    const auto program = build({message(start, 100)}, {control}, start + 100);
    EXPECT_EQ(program, (Words{delay(start - 1), send(8, 1, 0x14000), *encode_send_control(63, control),
                              send_off(26, 1, 0), RETURN_INSTRUCTION}));
    EXPECT_EQ(plan_event_cycles(*program), start + 100);
}

TEST(BuildScheduledProgram, ControlPairInsideAMessageStartsOnAnEvenWord) {
    const std::vector<ReceiveEvent> pair{source(10), pointer(10)};
    // From cycle 0 the nine words before the pair would leave it on word 1: they are split.
    const auto at_entry = build({message(0, 100)}, pair, 100);
    const auto words_at_entry = *encode_send_control_pair(63, 0x14000 + 9, 1, pair);
    EXPECT_EQ(at_entry, (Words{send(0, 1, 0x14000), send_off(7, 1, 0), words_at_entry.first,
                               words_at_entry.second, send_off(26, 1, 0), RETURN_INSTRUCTION}));

    // After one delay word the nine words fit in one send.
    const std::vector<ReceiveEvent> later{source(30), pointer(30)};
    const auto after_delay = build({message(20, 100)}, later, 120);
    const auto words_after_delay = *encode_send_control_pair(63, 0x14000 + 9, 1, later);
    EXPECT_EQ(after_delay, (Words{delay(19), send(8, 1, 0x14000), words_after_delay.first,
                                  words_after_delay.second, send_off(26, 1, 0), RETURN_INSTRUCTION}));
}

TEST(BuildScheduledProgram, ControlsAtTheEdgesOfAMessage) {
    constexpr std::uint32_t start = 20;
    constexpr std::uint32_t end = start + 100;
    EXPECT_EQ(build({message(start, 100)}, {source(start + 1)}, end),
              schedule("unencodable initial send control"));
    EXPECT_EQ(build({message(start, 100)}, {source(start)}, end), schedule("send control order"));

    // At the end cycle: the control word, issued one cycle earlier, carries the last payload word.
    const auto at_end = build({message(start, 100)}, {teardown(end)}, end);
    EXPECT_EQ(at_end, (Words{delay(start - 1), send(63, 1, 0x14000), send_off(34, 1, 0),
                             *encode_send_control(0, teardown(end)), RETURN_INSTRUCTION}));

    // One cycle later it is an ordinary timed word after the message.
    const auto after = build({message(start, 100)}, {teardown(end + 1)}, end + 5);
    EXPECT_EQ(after, (Words{delay(start - 1), send(63, 1, 0x14000), send_off(35, 1, 0),
                            delay_xpic(0, 0, TILE_MUX_EXCHANGE), delay(3), RETURN_INSTRUCTION}));
}

TEST(BuildScheduledProgram, SortsItsInputs) {
    const std::vector<ScheduledSenderRow> senders{message(300, 70, 2), message(100, 80, 1)};
    const std::vector<ReceiveEvent> events{teardown(250), source(130), pointer(130), source(10)};
    const std::vector<ScheduledSenderRow> sorted_senders{senders[1], senders[0]};
    const std::vector<ReceiveEvent> sorted_events{source(10), source(130), pointer(130),
                                                  teardown(250)};
    const auto program = build(senders, events, 400);
    ASSERT_TRUE(program.has_value()) << program.error();
    EXPECT_EQ(program, build(sorted_senders, sorted_events, 400));
    EXPECT_EQ(plan_event_cycles(*program), 400u);
    EXPECT_EQ(program->back(), RETURN_INSTRUCTION);
}

TEST(BuildScheduledProgram, RefusesWhatCannotBeEncoded) {
    EXPECT_EQ(build({message(100, 50), message(149, 10)}, {}, 200),
              schedule("overlapping outgoing messages"));
    EXPECT_EQ(build({}, {source(5), teardown(5)}, 10),
              schedule("incompatible simultaneous receive controls"));
    // A payload interval longer than the row's payload.
    EXPECT_EQ(build({ScheduledSenderRow{sender_row(10), 0, 11}}, {}, 20),
              schedule("sender payload horizon"));
    EXPECT_EQ(build({message(10, 10)}, {}, 15), schedule("plan delay order"));
    // A control needs at least one payload word after it: here the row holds 10 words while its
    // interval claims 20.
    EXPECT_EQ(build({ScheduledSenderRow{sender_row(10), 10, 30}}, {source(25)}, 40),
              schedule("send control beyond payload"));
    EXPECT_EQ(build({message(10, 100, 1, 0x3FFF0)}, {source(30), pointer(30)}, 110),
              schedule("SENDPICP operand"));
}

TEST(AppendSenderMessage, ControlAtPhaseEntry) {
    Words words;
    std::uint32_t cycles = 0;
    EXPECT_EQ(append_sender_message(words, cycles, message(0, 10), std::vector{source(0)}),
              schedule("send control at phase entry"));
}

TEST(AppendSenderMessage, LeavesRoomToAlignAFollowingPair) {
    // A single control at 30, a pair at 40: the SENDPIC stops one word early when the pair would
    // otherwise start on an odd word.
    const std::vector<ReceiveEvent> controls{teardown(30), source(40), pointer(40)};
    Words words{delay(19)};
    std::uint32_t cycles = 20;
    ASSERT_TRUE(append_sender_message(words, cycles, message(20, 100), controls).has_value());
    EXPECT_EQ(cycles, 120u);
    const auto pair = *encode_send_control_pair(63, 0x14000 + 19, 1,
                                                std::vector{source(40), pointer(40)});
    EXPECT_EQ(words, (Words{delay(19), send(8, 1, 0x14000), *encode_send_control(8, teardown(30)),
                            send_off(0, 1, 0), pair.first, pair.second, send_off(16, 1, 0)}));
}

struct EmitCase {
    std::size_t words_before;
    bool started;
    std::uint32_t count;
    std::optional<std::uint32_t> parity;
    std::vector<std::uint32_t> chunks; // payload counts of the written words, in order
};

TEST(EmitSenderWords, SplitsIntoSendsOfTheirBudgets) {
    const std::vector<EmitCase> cases{
        {0, false, 64, std::nullopt, {64}},
        {0, false, 65, std::nullopt, {64, 1}},
        {0, false, 5000, std::nullopt, {64, 4096, 840}},
        {0, true, 5000, std::nullopt, {4096, 904}},
        {0, false, 9, 0u, {1, 8}},
        {1, false, 9, 0u, {9}},
        {0, false, 65, 1u, {1, 63, 1}},
        {0, true, 4097, 0u, {4096, 1}},
        {0, true, 4097, 1u, {1, 4095, 1}},
        {1, true, 0, 1u, {}},
    };
    const std::uint32_t initial = send(63, 2, 0x100);
    for (const EmitCase& c : cases) {
        Words words(c.words_before, delay(0));
        std::uint32_t cycles = 1000;
        std::uint32_t remaining = 10'000;
        std::uint32_t sent = 0;
        bool started = c.started;
        ASSERT_TRUE(emit_sender_words(words, cycles, initial, 2, remaining, sent, started, c.count,
                                      c.parity)
                        .has_value())
            << c.count;
        Words expected(c.words_before, delay(0));
        bool initial_written = c.started;
        for (const std::uint32_t chunk : c.chunks) {
            expected.push_back(initial_written ? send_off(chunk - 1, 2, 0) : send(chunk - 1, 2, 0x100));
            initial_written = true;
        }
        EXPECT_EQ(words, expected) << c.count;
        EXPECT_EQ(cycles, 1000 + c.count);
        EXPECT_EQ(sent, c.count);
        EXPECT_EQ(remaining, 10'000 - c.count);
        EXPECT_EQ(started, c.started || c.count > 0);
    }
}

TEST(EmitSenderWords, Failures) {
    const std::uint32_t initial = send(63, 2, 0x100);
    const auto emit = [&](std::size_t words_before, bool started, std::uint32_t remaining,
                          std::uint32_t count, std::optional<std::uint32_t> parity) {
        Words words(words_before, delay(0));
        std::uint32_t cycles = 0;
        std::uint32_t sent = 0;
        auto status = emit_sender_words(words, cycles, initial, 2, remaining, sent, started, count,
                                        parity);
        return status;
    };
    EXPECT_EQ(emit(0, true, 5, 6, std::nullopt), schedule("sender payload overflow"));
    EXPECT_EQ(emit(0, false, 5, 0, std::nullopt), schedule("unencodable initial send control"));
    EXPECT_EQ(emit(0, true, 5, 0, 1u), schedule("SENDPICP instruction alignment"));
    // Every chunk is one word: nothing to split.
    EXPECT_EQ(emit(0, true, 5, 1, 0u), schedule("SENDPICP instruction alignment"));
}

} // namespace
} // namespace tarnwick::exchange
