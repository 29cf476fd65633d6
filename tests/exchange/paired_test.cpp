#include "tarnwick/exchange/paired.hpp"

#include "tarnwick/exchange/multicast.hpp"
#include "tarnwick/exchange/patch.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/instruction.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <limits>
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
using topology::Topology;
using Tiles = std::vector<std::uint16_t>;
using Words = std::vector<std::uint32_t>;

const Topology& v600() {
    static const Topology topology = Topology::v600();
    return topology;
}

std::unexpected<ExchangeError> schedule(std::string_view message) { return schedule_error(message); }
std::unexpected<ExchangeError> error(ExchangeError value) { return std::unexpected(value); }

Words used_words(const PlanRow& row) {
    Words words(row.begin(), row.end());
    while (!words.empty() && words.back() == 0) {
        words.pop_back();
    }
    return words;
}

TEST(PairedMulticast, NearPairReferenceRowsAfterPatching) {
    const Tiles receivers{2, 3};
    auto plan = paired_multicast(v600(), 0, receivers, 64);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ(used_words(plan->sender), (Words{0x41800003, 0x40A0001E, 0x7FE00005, 0x43A00000}));
    ASSERT_TRUE(patch_sender_address(plan->sender, 0x50000).has_value());
    for (PlanRow& row : plan->receivers) {
        ASSERT_TRUE(patch_receiver_address(row, 0x60000).has_value());
    }
    EXPECT_EQ(used_words(plan->sender), (Words{0x41800003, 0x40A0001E, 0x7FE50005, 0x43A00000}));
    ASSERT_EQ(plan->receivers.size(), 2u);
    const Words early{0x41800003, 0x64002000, 0x61A40001, 0x60098000,
                      0x64022640, 0x61A40000, 0x40A00006, 0x43A00000};
    EXPECT_EQ(used_words(plan->receivers[0]), early);
    EXPECT_EQ(early, (Words{SYNC_EXCHANGE_INSTRUCTION, delay_xpic(0, 1, 0), delay_pic(52, 1, 1),
                            delay_pic(1, 0, 0x18000), delay_xpic(8, 1, TILE_MUX_EXCHANGE),
                            delay_pic(52, 1, 0), delay(6), RETURN_INSTRUCTION}));
    EXPECT_EQ(plan_event_cycles(plan->receivers[0]), 125u);
    EXPECT_EQ(used_words(plan->receivers[1]),
              (Words{0x41800003, 0x61AC0001, 0x60098000, 0x61EC0000, 0x40A00006, 0x43A00000}));
}

// Whether the row selects a source (has a paired XPIC source control), and that control's operand.
std::optional<std::uint32_t> selected_source(const PlanRow& row) {
    for (const std::uint32_t word : row) {
        if (instruction::is_delay_xpic(word) && !is_neutral_mux_teardown(word)) {
            EXPECT_EQ(word & (1u << 13), 1u << 13) << "paired selections carry flag b";
            return word & 0x1FFFu;
        }
    }
    return std::nullopt;
}

TEST(PairedMulticast, OnlyTheEarlyTileOfEachPairSelectsTheSender) {
    struct Case {
        std::uint16_t sender;
        Tiles receivers;
        std::uint16_t early;
        std::uint32_t source_operand;
    };
    const Case cases[] = {
        {0, {2, 3}, 2, 0},
        {2, {0, 1}, 0, 64},
        {0, {46, 47}, 47, 2}, // the upper tile of the pair: the sender's number with bit 1 set
        {0, {47, 46}, 47, 2},
    };
    for (const auto& [sender, receivers, early, source_operand] : cases) {
        const auto plan = paired_multicast(v600(), sender, receivers, 100);
        ASSERT_TRUE(plan.has_value()) << sender;
        for (std::size_t index = 0; index < receivers.size(); ++index) {
            const std::uint16_t receiver = receivers[index];
            EXPECT_EQ(v600().paired_receiver_is_early(receiver, sender), receiver == early);
            const auto source = selected_source(plan->receivers[index]);
            if (receiver == early) {
                EXPECT_EQ(source, source_operand) << sender << " " << receiver;
            } else {
                EXPECT_FALSE(source.has_value()) << sender << " " << receiver;
            }
        }
    }
}

TEST(PairedMulticast, SendControlIsPairedOnEveryPayloadSend) {
    struct Case {
        std::uint16_t sender;
        Tiles receivers;
        std::uint32_t count;
        std::uint32_t control;
    };
    const Case cases[] = {
        {0, {2, 3}, 4148, 4u | topology::direction(0, 64)},
        {1286, {0, 1}, 100, 4u | topology::direction(53, 0)},
        {0, {2, 3, 47, 46}, 4148, 7},
        {0, {2, 3, 46, 47, 100, 101}, 64, 7},
    };
    for (const auto& [sender, receivers, count, control] : cases) {
        const auto plan = paired_multicast(v600(), sender, receivers, count);
        ASSERT_TRUE(plan.has_value()) << sender;
        EXPECT_EQ(plan->receivers.size(), receivers.size());
        int sends = 0;
        for (const std::uint32_t word : plan->sender) {
            if (instruction::is_payload_send(word)) {
                ++sends;
                EXPECT_EQ(word & 7u, control) << sender;
            }
        }
        EXPECT_EQ(sends, count > 64 ? 2 : 1);
    }
}

TEST(PairedMulticast, EarliestSourceEventIsCycleOne) {
    const Tiles receivers{2, 3, 46, 47, 1000, 1001};
    const auto plan = paired_multicast(v600(), 736, receivers, 300);
    ASSERT_TRUE(plan.has_value());
    std::uint32_t earliest = std::numeric_limits<std::uint32_t>::max();
    for (const PlanRow& row : plan->receivers) {
        if (instruction::is_delay_xpic(row[1]) && !is_neutral_mux_teardown(row[1])) {
            earliest = std::min(earliest, instruction_advance(row[1]));
        }
        EXPECT_EQ(row[0], SYNC_EXCHANGE_INSTRUCTION);
    }
    EXPECT_EQ(earliest, 1u);
}

TEST(PairedMulticast, Rejections) {
    struct Case {
        std::uint16_t sender;
        Tiles receivers;
        std::uint32_t count;
        ExchangeError expected;
    };
    const Case cases[] = {
        {0, {2, 3}, 0, ExchangeError::Count{0}},
        {0, {2, 3}, 4149, ExchangeError::Count{4149}},
        {0, {2, 3}, 63, ExchangeError::Count{63}},
        {0, {}, 64, ExchangeError::ReceiverSet{}},
        {0, {2}, 64, ExchangeError::ReceiverSet{}},
        {0, {2, 2}, 64, ExchangeError::ReceiverSet{}},
        {0, {2, 4}, 64, ExchangeError::ReceiverSet{}},
        {0, {1, 2, 3, 0}, 64, ExchangeError::ReceiverSet{}},
        {0, {2, 3, 1, 0}, 64, ExchangeError::ReceiverSet{}},
        {0, {1, 5}, 64, ExchangeError::ReceiverSet{}}, // the sender's partner
        {0, {2, 1472}, 64, ExchangeError::ReceiverSet{}},
        {1472, {2, 3}, 64, ExchangeError::Tile{1472}},
        {1472, {1472, 3}, 64, ExchangeError::ReceiverSet{}},
    };
    for (const auto& [sender, receivers, count, expected] : cases) {
        EXPECT_EQ(paired_multicast(v600(), sender, receivers, count), error(expected))
            << sender << " " << receivers.size() << " " << count;
    }
}

TEST(PairedMulticast, NeutralSelectionOnTheFormatStartFails) {
    // A count of 51 + 2 x the early receiver's row puts its teardown on its first format control.
    bool found = false;
    for (std::uint16_t logical = 0; logical + 1 < 1472 && !found; logical += 2) {
        const std::uint16_t partner = *v600().paired_logical(logical);
        if (partner == 0 || partner == 1 || logical == 0) {
            continue;
        }
        const std::uint16_t early =
            *v600().paired_receiver_is_early(logical, 0) ? logical : partner;
        const std::uint32_t row = *v600().physical(early) >> 6;
        if (row < 7) {
            continue;
        }
        found = true;
        const Tiles receivers{logical, partner};
        EXPECT_EQ(paired_multicast(v600(), 0, receivers, 51 + 2 * row),
                  schedule("paired receive coincident controls"));
        EXPECT_TRUE(paired_multicast(v600(), 0, receivers, 52 + 2 * row).has_value());
    }
    EXPECT_TRUE(found);
}

TEST(PairedReceiverRow, Rejections) {
    // 0 -> logical 2 (physical 64) has a paired arrival time of -30: without an epoch shift its
    // source event would be negative.
    ASSERT_EQ(topology::paired_time_to_mux(0, 64), -30);
    EXPECT_EQ(paired_receiver_row(v600(), 0, 2, 64, std::numeric_limits<std::int32_t>::max()),
              schedule("paired source timing"));
    EXPECT_EQ(paired_receiver_row(v600(), 0, 2, 64, 1), schedule("paired source timing"));
    EXPECT_TRUE(paired_receiver_row(v600(), 0, 2, 64, -30).has_value());
    // Control cycles beyond the 32-bit timeline.
    EXPECT_EQ(paired_receiver_row(v600(), 0, 2, 0xFFFFFFFF, -30), schedule("paired receive horizon overflow"));
    EXPECT_EQ(paired_receiver_row(v600(), 0, 3, 0xFFFFFFFF, std::numeric_limits<std::int32_t>::min()),
              schedule("paired receive horizon overflow"));
    EXPECT_EQ(paired_receiver_row(v600(), 1472, 2, 64, 0), error(ExchangeError::Tile{1472}));
    EXPECT_EQ(paired_receiver_row(v600(), 0, 1472, 64, 0), error(ExchangeError::Tile{1472}));
    // A count of zero puts the teardown on the selection.
    EXPECT_EQ(paired_receiver_row(v600(), 0, 2, 0, -30), schedule("paired receive coincident controls"));
    // A late epoch needs plain delays before the first control: more words than a row holds.
    EXPECT_EQ(paired_receiver_row(v600(), 0, 2, 64, -600000), schedule("paired receive row capacity"));
    EXPECT_EQ(paired_receiver_row(v600(), 0, 3, 64, std::numeric_limits<std::int32_t>::min()),
              schedule("paired receive row capacity"));
}

TEST(SetSenderControl, ReplacesEverySendControl) {
    const PlanRow row{SYNC_EXCHANGE_INSTRUCTION, delay(3), 0x7FE00003, 0x70000003,
                      0xF0000001, 0x19015000,   0xF0000004, 0x70B00640, RETURN_INSTRUCTION};
    PlanRow patched = row;
    ASSERT_TRUE(set_sender_control(patched, 6).has_value());
    PlanRow expected = row;
    expected[2] = 0x7FE00006;
    expected[3] = 0x70000006;
    expected[4] = 0xF0000006;
    // A SENDPICP whose bits 1..0 are zero, the SENDPIC and the other words keep their bits.
    EXPECT_EQ(patched, expected);
}

TEST(SetSenderControl, RejectionsLeaveTheRowUnchanged) {
    const PlanRow sender{SYNC_EXCHANGE_INSTRUCTION, 0x7FE00003, RETURN_INSTRUCTION};
    for (const std::uint8_t control : {std::uint8_t{0}, std::uint8_t{8}, std::uint8_t{255}}) {
        PlanRow row = sender;
        EXPECT_EQ(set_sender_control(row, control), schedule("send control"));
        EXPECT_EQ(row, sender);
    }
    const PlanRow receiver{SYNC_EXCHANGE_INSTRUCTION, 0xF0000004, 0x19015000, 0x70B00640, RETURN_INSTRUCTION};
    PlanRow row = receiver;
    EXPECT_EQ(set_sender_control(row, 5), schedule("sender payload"));
    EXPECT_EQ(row, receiver);
}

} // namespace
} // namespace tarnwick::exchange
