#include "tarnwick/exchange/timeline.hpp"

#include <gtest/gtest.h>

#include <array>
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

// Advances of every word kind.
static_assert(instruction_advance(delay(7)) == 8);
static_assert(instruction_advance(delay_pic(48, 0, 0)) == 49);
static_assert(instruction_advance(delay_xpic(112, 0, 0)) == 113);
static_assert(instruction_advance(0x782A03CB) == 2);       // send of two words
static_assert(instruction_advance(send_off(4083, 1, 0)) == 4084);
static_assert(instruction_advance(0xF54A0109) == 43);      // SENDPICP first word
static_assert(instruction_advance(0x70B00640) == 6);       // SENDPIC
static_assert(instruction_advance(SYNC_EXCHANGE_INSTRUCTION) == 0);
static_assert(instruction_advance(RETURN_INSTRUCTION) == 0);
static_assert(instruction_advance(0) == 0);
static_assert(instruction_advance(delay(0x7FFFF)) == 0x80000);
static_assert(instruction_advance(delay_xpic(0xFFF, 1, 5)) == 4096);
static_assert(instruction_advance(send_off(0xFFF, 3, 0x7FF)) == 4096);

static_assert(maximum_timed_instruction_advance(delay_pic(3, 1, 2)) == 128u);
static_assert(maximum_timed_instruction_advance(delay_xpic(3, 1, 2)) == 4096u);
static_assert(!maximum_timed_instruction_advance(delay(3)).has_value());
static_assert(!maximum_timed_instruction_advance(0x782A03CB).has_value());

static_assert(is_neutral_mux_teardown(delay_xpic(2, 0, TILE_MUX_EXCHANGE)));
static_assert(is_neutral_mux_teardown(delay_xpic(0, 1, TILE_MUX_EXCHANGE)));
static_assert(!is_neutral_mux_teardown(delay_xpic(2, 0, 9)));
static_assert(!is_neutral_mux_teardown(delay_pic(2, 0, TILE_MUX_EXCHANGE)));

std::unexpected<ExchangeError> schedule(std::string_view message) { return schedule_error(message); }

TEST(PlanEventCycles, SkipsTheSendpicpPayloadWords) {
    const std::vector<std::uint32_t> row{0x64000082, 0x40A00032, 0xF6600000, 0x03014048,
                                         0xF6600000, 0x03095000, 0xF6600000, 0x04016000,
                                         0xF7200000, 0x19017000, 0x43A00000};
    EXPECT_EQ(plan_event_cycles(row), 266u); // 1 + 51 + 3 x 52 + 58
}

TEST(PlanEventCycles, PayloadShapedLikeADelayIsStillSkipped) {
    // The payload word reads as delay(99) but belongs to the SENDPICP before it.
    const std::array<std::uint32_t, 3> row{0xF0000000, delay(99), delay(1)};
    EXPECT_EQ(plan_event_cycles(row), 1u + 2u);
    // A SENDPICP first word in the last position ends the walk.
    const std::array<std::uint32_t, 2> last{delay(1), 0xF0200000};
    EXPECT_EQ(plan_event_cycles(last), 2u + 2u);
}

TEST(PlanEventCycles, ZeroTailDoesNotChangeTheHorizon) {
    const std::array<std::uint32_t, 9> row{SYNC_EXCHANGE_INSTRUCTION, delay(22), 0x78400003,
                                           RETURN_INSTRUCTION};
    EXPECT_EQ(plan_event_cycles(row), plan_event_cycles(std::span(row).first(4)));
    EXPECT_EQ(plan_event_cycles(row), 26u);
    EXPECT_EQ(plan_event_cycles(std::span<const std::uint32_t>{}), 0u);
}

TEST(PlanEventCycles, HorizonBeyondThirtyTwoBitsFails) {
    // 8,192 full delays reach exactly 2^32 cycles.
    std::vector<std::uint32_t> row(8191, delay(0x7FFFF));
    row.push_back(delay(0x7FFFE));
    EXPECT_EQ(plan_event_cycles(row), 0xFFFFFFFFu);
    row.push_back(delay(0));
    EXPECT_EQ(plan_event_cycles(row), schedule("plan event horizon overflow"));
}

TEST(SetInstructionAdvance, RewritesOnlyTheAdvanceField) {
    struct Case {
        std::uint32_t word;
        std::uint32_t advance;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {delay_pic(0, 1, 0x3FFFF), 128, delay_pic(127, 1, 0x3FFFF)},
        {delay_xpic(0, 1, 0x1FFF), 4096, delay_xpic(4095, 1, 0x1FFF)},
        {delay_xpic(5, 0, 0x25), 10, 0x64024025},
        {delay(0), 524288, delay(0x7FFFF)},
        {delay(0x7FFFF), 1, delay(0)},
    };
    for (const auto& [word, advance, expected] : cases) {
        std::uint32_t rewritten = word;
        ASSERT_TRUE(set_instruction_advance(rewritten, advance).has_value()) << advance;
        EXPECT_EQ(rewritten, expected);
        EXPECT_EQ(instruction_advance(rewritten), advance);
    }
}

TEST(SetInstructionAdvance, FailuresLeaveTheWordUnchanged) {
    struct Case {
        std::uint32_t word;
        std::uint32_t advance;
        std::string_view message;
    };
    const Case cases[] = {
        {delay_pic(3, 0, 7), 129, "PIC delay advance overflow"},
        {delay_xpic(3, 0, 7), 4097, "XPIC delay advance overflow"},
        {delay(3), 524289, "delay advance overflow"},
        {delay(3), 0, "zero event advance"},
        {SYNC_EXCHANGE_INSTRUCTION, 0, "zero event advance"},
        {0x782A03CB, 2, "scheduled offset truncates a send"},
        {send_off(100, 1, 0), 2, "scheduled offset truncates a send"},
        {0x70B00640, 2, "scheduled offset truncates a send"},
        {0xF54A0109, 2, "first scheduled event is not a delay"},
        {SYNC_EXCHANGE_INSTRUCTION, 5, "first scheduled event is not a delay"},
        {RETURN_INSTRUCTION, 5, "first scheduled event is not a delay"},
        {0xFFFFFFFF, 0xFFFFFFFF, "first scheduled event is not a delay"},
    };
    for (const auto& [word, advance, message] : cases) {
        std::uint32_t rewritten = word;
        EXPECT_EQ(set_instruction_advance(rewritten, advance), schedule(message)) << message;
        EXPECT_EQ(rewritten, word);
    }
}

TEST(AppendPlainDelay, SplitsLongGapsIntoFullDelays) {
    std::vector<std::uint32_t> words;
    std::uint32_t cycles = 0;
    ASSERT_TRUE(append_plain_delay(words, cycles, 524289).has_value());
    EXPECT_EQ(words, (std::vector<std::uint32_t>{0x40A7FFFF, 0x40A00000}));
    EXPECT_EQ(cycles, 524289u);
    EXPECT_EQ(plan_event_cycles(words), cycles);
}

TEST(AppendPlainDelay, ReachesTheLargestCycle) {
    std::vector<std::uint32_t> words{SYNC_EXCHANGE_INSTRUCTION};
    std::uint32_t cycles = 0;
    ASSERT_TRUE(append_plain_delay(words, cycles, 0xFFFFFFFF).has_value());
    EXPECT_EQ(cycles, 0xFFFFFFFFu);
    EXPECT_EQ(words.size(), 1u + 8192u);
    EXPECT_EQ(plan_event_cycles(words), 0xFFFFFFFFu);
}

TEST(AppendPlainDelay, EmptyGapAndBackwardsTarget) {
    std::vector<std::uint32_t> words{7};
    std::uint32_t cycles = 10;
    ASSERT_TRUE(append_plain_delay(words, cycles, 10).has_value());
    EXPECT_EQ(words, std::vector<std::uint32_t>{7});
    EXPECT_EQ(append_plain_delay(words, cycles, 9), schedule("plan delay order"));
    EXPECT_EQ(words, std::vector<std::uint32_t>{7});
    EXPECT_EQ(cycles, 10u);
}

TEST(AppendPlainDelayAligned, ChoosesTheWordCountParity) {
    struct Case {
        std::size_t initial_words;
        std::uint32_t distance;
        std::uint32_t parity;
        std::vector<std::uint32_t> appended;
    };
    const Case cases[] = {
        {0, 0, 0, {}},
        {0, 5, 1, {delay(4)}},
        {0, 5, 0, {delay(3), delay(0)}},
        {1, 5, 0, {delay(4)}},
        {1, 2, 1, {delay(0), delay(0)}},
        {0, 524289, 0, {delay(0x7FFFF), delay(0)}},
        // Three words: the first leaves one cycle for each of the two still to come.
        {0, 524289, 1, {delay(0x7FFFE), delay(0), delay(0)}},
        {0, 524288, 0, {delay(0x7FFFE), delay(0)}},
    };
    for (const auto& [initial_words, distance, parity, appended] : cases) {
        std::vector<std::uint32_t> words(initial_words, SYNC_EXCHANGE_INSTRUCTION);
        std::uint32_t cycles = 100;
        const auto status = append_plain_delay_aligned(words, cycles, 100 + distance, parity);
        ASSERT_TRUE(status.has_value()) << distance << " " << parity;
        const std::vector<std::uint32_t> tail(words.begin() + static_cast<long>(initial_words),
                                              words.end());
        EXPECT_EQ(tail, appended) << distance << " " << parity;
        EXPECT_EQ(cycles, 100 + distance);
        EXPECT_EQ(words.size() % 2, parity);
    }
}

TEST(AppendPlainDelayAligned, FailuresAppendNothing) {
    struct Case {
        std::size_t initial_words;
        std::uint32_t event_cycles;
        std::uint32_t target;
        std::uint32_t parity;
        std::string_view message;
    };
    const Case cases[] = {
        {0, 0, 0, 1, "SENDPICP instruction alignment"},
        {1, 0, 0, 0, "SENDPICP instruction alignment"},
        {0, 0, 1, 0, "SENDPICP instruction alignment"},
        {0, 10, 9, 0, "plan delay order"},
        {0, 0, 10, 2, "SENDPICP instruction alignment"},
    };
    for (const auto& [initial_words, event_cycles, target, parity, message] : cases) {
        std::vector<std::uint32_t> words(initial_words, SYNC_EXCHANGE_INSTRUCTION);
        std::uint32_t cycles = event_cycles;
        EXPECT_EQ(append_plain_delay_aligned(words, cycles, target, parity), schedule(message));
        EXPECT_EQ(words.size(), initial_words);
        EXPECT_EQ(cycles, event_cycles);
    }
}

} // namespace
} // namespace tarnwick::exchange
