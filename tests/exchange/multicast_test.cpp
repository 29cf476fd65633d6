#include "tarnwick/exchange/multicast.hpp"

#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/log.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::exchange {
namespace {

using instruction::delay_xpic;
using instruction::TILE_MUX_EXCHANGE;
using topology::Topology;
using Tiles = std::vector<std::uint16_t>;

const Topology& v600() {
    static const Topology topology = Topology::v600();
    return topology;
}

std::unexpected<ExchangeError> schedule(std::string_view message) { return schedule_error(message); }

std::vector<std::uint32_t> used_words(const PlanRow& row) {
    std::vector<std::uint32_t> words(row.begin(), row.end());
    while (!words.empty() && words.back() == 0) {
        words.pop_back();
    }
    return words;
}

struct ReferenceCase {
    std::uint16_t sender;
    Tiles receivers;
    std::uint32_t count;
    std::vector<std::uint32_t> sender_row;
    std::vector<std::vector<std::uint32_t>> receiver_rows;
};

TEST(Multicast, ReferenceRows) {
    const ReferenceCase cases[] = {
        {0,
         {274, 1286},
         3,
         {0x41800003, 0x40A00016, 0x78400003, 0x43A00000},
         {{0x41800003, 0x64000000, 0x64008640, 0x61814000, 0x40A00007, 0x43A00000},
          {0x41800003, 0x64000000, 0x64008640, 0x61814000, 0x40A00007, 0x43A00000}}},
        {736,
         {100, 900},
         52,
         {0x41800003, 0x40A00021, 0x7E600003, 0x43A00000},
         {{0x41800003, 0x6414C020, 0x61D14000, 0x64000640, 0x40A00038, 0x43A00000},
          {0x41800003, 0x64000020, 0x62214000, 0x64000640, 0x40A00038, 0x43A00000}}},
        {0,
         {274},
         65,
         {0x41800003, 0x40A00016, 0x7FE00001, 0x70000001, 0x43A00000},
         {{0x41800003, 0x64000000, 0x61994000, 0x64030640, 0x40A00038, 0x43A00000}}},
    };
    for (const ReferenceCase& reference : cases) {
        const auto plan = multicast(v600(), reference.sender, reference.receivers, reference.count, 0);
        ASSERT_TRUE(plan.has_value()) << reference.count;
        EXPECT_EQ(used_words(plan->sender), reference.sender_row) << reference.count;
        ASSERT_EQ(plan->receivers.size(), reference.receiver_rows.size());
        for (std::size_t index = 0; index < reference.receiver_rows.size(); ++index) {
            EXPECT_EQ(used_words(plan->receivers[index]), reference.receiver_rows[index])
                << reference.count << " receiver " << index;
        }
    }
}

std::uint32_t plan_horizon(const MulticastPlan& plan) {
    std::uint32_t horizon = *plan_event_cycles(plan.sender);
    for (const PlanRow& row : plan.receivers) {
        horizon = std::max(horizon, *plan_event_cycles(row));
    }
    return horizon;
}

TEST(Multicast, EachReceiverFollowsItsOwnRoute) {
    const Tiles receivers{736, 1286};
    const auto one = multicast(v600(), 0, receivers, 1, 0);
    const auto many = multicast(v600(), 0, receivers, 1024, 0);
    ASSERT_TRUE(one.has_value());
    ASSERT_TRUE(many.has_value());
    // Receive cycles 19 and 0.
    EXPECT_EQ(one->receivers[0][1], delay_xpic(19, 0, 0));
    EXPECT_EQ(one->receivers[1][1], delay_xpic(0, 0, 0));
    EXPECT_NE(plan_event_cycles(one->receivers[0]), plan_event_cycles(one->receivers[1]));
    EXPECT_GT(plan_horizon(one.value()), 0u);
    EXPECT_GT(plan_horizon(many.value()), plan_horizon(one.value()));
}

TEST(Multicast, SingleReceiverSendsCarryTheRouteDirection) {
    for (const std::uint16_t receiver : {std::uint16_t{1286}, std::uint16_t{46}}) {
        const std::uint32_t expected = topology::direction(*v600().physical(0), *v600().physical(receiver));
        const auto plan = multicast(v600(), 0, Tiles{receiver}, 4148, 0);
        ASSERT_TRUE(plan.has_value());
        int payload_sends = 0;
        for (const std::uint32_t word : plan->sender) {
            if (instruction::is_payload_send(word)) {
                ++payload_sends;
                EXPECT_EQ(word & 7u, expected);
            }
        }
        EXPECT_EQ(payload_sends, 2);
    }
}

TEST(Multicast, ScheduleOffsetLengthensOnlyTheLeadingDelays) {
    const Tiles receivers{100, 900};
    const auto base = multicast(v600(), 736, receivers, 70, 0);
    const auto later = multicast(v600(), 736, receivers, 70, 1000);
    ASSERT_TRUE(base.has_value());
    ASSERT_TRUE(later.has_value());
    EXPECT_EQ(instruction_advance(later->sender[1]), instruction_advance(base->sender[1]) + 1000);
    EXPECT_TRUE(std::equal(base->sender.begin() + 2, base->sender.end(), later->sender.begin() + 2));
    for (std::size_t index = 0; index < receivers.size(); ++index) {
        const PlanRow& before = base->receivers[index];
        const PlanRow& after = later->receivers[index];
        EXPECT_EQ(instruction_advance(after[1]), instruction_advance(before[1]) + 1000);
        EXPECT_EQ(after[1] & 0x3FFFu, before[1] & 0x3FFFu);
        EXPECT_TRUE(std::equal(before.begin() + 2, before.end(), after.begin() + 2));
    }
}

TEST(Multicast, Rejections) {
    struct Case {
        std::uint16_t sender;
        Tiles receivers;
        std::uint32_t count;
        std::uint32_t offset;
        ExchangeError error;
    };
    const Case cases[] = {
        {0, {1}, 0, 0, ExchangeError::Count{0}},
        {0, {1}, 4149, 0, ExchangeError::Count{4149}},
        {1472, {1}, 1, 0, ExchangeError::Tile{1472}},
        {1472, {}, 0, 0, ExchangeError::Count{0}},
        {0, {}, 1, 0, ExchangeError::ReceiverSet{}},
        {0, {1, 1}, 1, 0, ExchangeError::ReceiverSet{}},
        {0, {1, 2, 1}, 1, 0, ExchangeError::ReceiverSet{}},
        {0, {1, 0}, 1, 0, ExchangeError::ReceiverSet{}},
        {0, {1472}, 1, 0, ExchangeError::ReceiverSet{}},
        {0, {1, 65535}, 1, 0, ExchangeError::ReceiverSet{}},
        // The natural start of 0 -> 274 is 23.
        {0, {274}, 1, 4073, ExchangeError::Schedule{"multicast start cycle"}},
        {0, {274}, 1, 0xFFFFFFFF, ExchangeError::Schedule{"multicast start cycle"}},
        // 1286 -> 0 arrives 7 cycles after the issue, from a start cycle of 4,095.
        {1286, {0}, 1, 4095, ExchangeError::Schedule{"multicast receive cycle"}},
        {1286, {1, 0}, 1, 4095, ExchangeError::Schedule{"multicast receive cycle"}},
    };
    for (const auto& [sender, receivers, count, offset, error] : cases) {
        EXPECT_EQ(multicast(v600(), sender, receivers, count, offset), std::unexpected(error))
            << sender << " " << count << " " << offset;
    }
    EXPECT_TRUE(multicast(v600(), 0, Tiles{274}, 1, 4072).has_value());
    EXPECT_TRUE(multicast(v600(), 1286, Tiles{0}, 1, 4088).has_value());
}

TEST(Multicast, TileNumbersBeyondTheRowFieldsAreRefused) {
    // A table whose tiles do not fit the selection operand or the PIC delay field.
    Topology wide{{0, 39u << 6, 0x2000, 38u << 6}};
    EXPECT_EQ(multicast(wide, 0, Tiles{1}, 1, 0), schedule("receiver phase"));
    EXPECT_EQ(multicast(wide, 2, Tiles{0}, 1, 0), schedule("sender tile operand"));
    const auto last_row = multicast(wide, 0, Tiles{3}, 53, 0);
    ASSERT_TRUE(last_row.has_value());
    EXPECT_EQ(instruction_advance(last_row->receivers[0][2]), 128u);
}

class RecordingSubscriber final : public log::Subscriber {
public:
    bool enabled(log::Level level, std::string_view target) const noexcept override {
        return level <= log::Level::Debug && target == log::EXCHANGE_TARGET;
    }
    void record(const log::Event& event) noexcept override {
        messages.emplace_back(event.message);
        for (const log::Field& field : event.fields) {
            fields.push_back(std::string(field.name) + "=" + field.value);
        }
    }
    std::vector<std::string> messages;
    std::vector<std::string> fields;
};

TEST(Multicast, LogsTheAssembledExchangeOnSuccessOnly) {
    RecordingSubscriber subscriber;
    const log::ScopedSubscriber scope(subscriber);
    ASSERT_TRUE(multicast(v600(), 0, Tiles{274, 1286}, 3, 5).has_value());
    EXPECT_EQ(subscriber.messages, std::vector<std::string>{"assembled multicast exchange"});
    EXPECT_EQ(subscriber.fields,
              (std::vector<std::string>{"sender_logical=0", "receiver_logical=[274, 1286]", "count=3",
                                        "schedule_offset=5"}));
    ASSERT_FALSE(multicast(v600(), 0, Tiles{1, 1}, 3, 0).has_value());
    EXPECT_EQ(subscriber.messages.size(), 1u);
}

// The end cycle of every word of a row, on the event timeline.
std::vector<std::uint32_t> word_end_cycles(const PlanRow& row) {
    std::vector<std::uint32_t> ends;
    std::uint32_t cycles = 0;
    for (const std::uint32_t word : row) {
        cycles += instruction_advance(word);
        ends.push_back(cycles);
    }
    return ends;
}

TEST(Multicast, TimingHoldsForEverySenderAndSampledReceivers) {
    const Topology& topology = v600();
    std::mt19937 random(0x600);
    std::uniform_int_distribution<std::uint16_t> tile(0, 1471);
    std::uniform_int_distribution<std::uint32_t> count_of(1, 4148);
    std::uniform_int_distribution<std::size_t> size_of(1, 4);
    const std::uint32_t edge_counts[] = {1, 51, 52, 53, 64, 65, 4148};
    for (std::uint16_t sender = 0; sender < 1472; ++sender) {
        Tiles receivers;
        const std::size_t size = size_of(random);
        while (receivers.size() < size) {
            const std::uint16_t receiver = tile(random);
            if (receiver != sender && std::ranges::find(receivers, receiver) == receivers.end()) {
                receivers.push_back(receiver);
            }
        }
        const std::uint32_t count =
            sender % 3 == 0 ? edge_counts[(sender / 3) % std::size(edge_counts)] : count_of(random);
        const auto plan = multicast(topology, sender, receivers, count, 0);
        ASSERT_TRUE(plan.has_value()) << sender << " " << count;
        ASSERT_EQ(plan->receivers.size(), receivers.size());

        const std::uint32_t source = *topology.physical(sender);
        std::int32_t minimum_mux = 112;
        for (const std::uint16_t receiver : receivers) {
            minimum_mux = std::min(minimum_mux, topology::time_to_mux(source, *topology.physical(receiver)));
        }
        const auto start = static_cast<std::uint32_t>(std::max(0, -minimum_mux));
        EXPECT_EQ(plan_event_cycles(plan->sender), std::max(6u, start + count)) << sender;
        EXPECT_EQ(plan->sender[0], instruction::SYNC_EXCHANGE_INSTRUCTION);

        for (std::size_t index = 0; index < receivers.size(); ++index) {
            const PlanRow& row = plan->receivers[index];
            const std::uint32_t physical = *topology.physical(receivers[index]);
            const std::uint32_t phase = (physical >> 6) * 2;
            const auto receive_cycle = static_cast<std::uint32_t>(
                static_cast<std::int32_t>(start) + topology::time_to_mux(source, physical));
            const std::uint32_t selected = receive_cycle + 1; // S
            EXPECT_EQ(row[0], instruction::SYNC_EXCHANGE_INSTRUCTION);
            EXPECT_EQ(row[1] & 0x3FFFu, source);
            EXPECT_EQ(plan_event_cycles(row), selected + 57 + phase + count) << sender;

            // Control cycles: the selection at S, then the neutral selection and the pointer.
            const std::vector<std::uint32_t> ends = word_end_cycles(row);
            EXPECT_EQ(ends[1], selected);
            std::uint32_t neutral = 0;
            std::uint32_t pointer = 0;
            for (std::size_t word = 2; word < row.size(); ++word) {
                if (is_neutral_mux_teardown(row[word])) {
                    neutral = ends[word];
                }
                if (instruction::is_delay_pic(row[word])) {
                    pointer = ends[word];
                    EXPECT_EQ(row[word] & 0x7FFFFu, MULTICAST_DEFAULT_POINTER);
                }
            }
            ASSERT_NE(neutral, 0u) << "every receive ends with the neutral selection";
            if (count <= 51) {
                EXPECT_EQ(neutral, selected + count);
                EXPECT_EQ(pointer, selected + 52 + phase);
            } else if (count == 52) {
                EXPECT_EQ(pointer, selected + 51 + phase);
                EXPECT_EQ(neutral, selected + 52 + phase);
            } else {
                EXPECT_EQ(pointer, selected + 52 + phase);
                EXPECT_EQ(neutral, selected + phase + count);
            }
        }
    }
}

} // namespace
} // namespace tarnwick::exchange
