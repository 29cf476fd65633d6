#include "tarnwick/exchange/point_to_point.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/log.hpp"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::exchange {
namespace {

using namespace instruction;

static_assert(validate_count(1).has_value());
static_assert(validate_count(4148).has_value());
static_assert(validate_count(0).error() == ExchangeError{ExchangeError::Count{0}});
static_assert(validate_count(4149).error() == ExchangeError{ExchangeError::Count{4149}});
static_assert(validate_count(0xFFFFFFFF).error() ==
              ExchangeError{ExchangeError::Count{0xFFFFFFFF}});

const topology::Topology& v600() {
    static const topology::Topology topology = topology::Topology::v600();
    return topology;
}

PlanRow row(std::initializer_list<std::uint32_t> words) {
    PlanRow result{};
    std::ranges::copy(words, result.begin());
    return result;
}

struct ReferenceCase {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::uint32_t count;
    PlanRow sender_row;
    PlanRow receiver_row;
};

TEST(PointToPoint, ReferenceRows) {
    const ReferenceCase cases[] = {
        {0, 1286, 3, row({0x41800003, 0x40A00086, 0x78400001, 0x43A00000}),
         row({0x00000001, 0x41800003, 0x641C0000, 0x64008640, 0x61800000, 0x40A00007, 0x43A00000})},
        {736, 100, 52, row({0x41800003, 0x40A0003E, 0x7E600002, 0x43A00000}),
         row({0x00000001, 0x41800003, 0x641C0000, 0x61D00000, 0x64000640, 0x40A00038, 0x43A00000})},
        {1286, 1471, 65, row({0x41800003, 0x40A0007D, 0x7FE00002, 0x70000002, 0x43A00000}),
         row({0x00000001, 0x41800003, 0x641C0000, 0x61980000, 0x64030640, 0x40A00038, 0x43A00000})},
        {32, 0, 4148, row({0x41800003, 0x40A0006C, 0x7FE00001, 0x766FC001, 0x43A00000}),
         row({0x00000001, 0x41800003, 0x641C0000, 0x61980000, 0x67FFC640, 0x40A00038, 0x43A00000})},
    };
    for (const ReferenceCase& c : cases) {
        const Result<MulticastPlan> plan = point_to_point(v600(), c.sender, c.receiver, c.count);
        ASSERT_TRUE(plan.has_value()) << c.sender << " -> " << c.receiver;
        EXPECT_EQ(*plan, (MulticastPlan{c.sender_row, {c.receiver_row}}))
            << c.sender << " -> " << c.receiver << " count " << c.count;
    }
}

struct ErrorCase {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::uint32_t count;
    ExchangeError error;
};

TEST(PointToPoint, ErrorsInTheirOrder) {
    const ErrorCase cases[] = {
        {0, 1, 0, ExchangeError::Count{0}},
        {0, 1, 4149, ExchangeError::Count{4149}},
        {5, 5, 0, ExchangeError::Count{0}},
        {5, 5, 3, ExchangeError::DuplicateTile{}},
        {1472, 1472, 1, ExchangeError::DuplicateTile{}},
        {0, 1472, 1, ExchangeError::Tile{1472}},
        {1472, 0, 1, ExchangeError::Tile{1472}},
        {1473, 1472, 1, ExchangeError::Tile{1473}},
        {0xFFFF, 0, 1, ExchangeError::Tile{0xFFFF}},
    };
    for (const ErrorCase& c : cases) {
        const Result<MulticastPlan> plan = point_to_point(v600(), c.sender, c.receiver, c.count);
        ASSERT_FALSE(plan.has_value()) << c.sender << " -> " << c.receiver << " " << c.count;
        EXPECT_EQ(plan.error(), c.error) << c.sender << " -> " << c.receiver << " " << c.count;
    }
    EXPECT_TRUE(point_to_point(v600(), 1471, 1470, 4148).has_value());
    EXPECT_TRUE(point_to_point(v600(), 0, 1471, 1).has_value());
}

TEST(PointToPoint, ReceiverRowsBeyondThePicDelayFieldAreRefused) {
    // Physical row 38 gives a receiver phase of 76, the last that fits the 7-bit PIC delay field.
    const topology::Topology rows{{0, 38 * 64, 39 * 64}};
    const Result<MulticastPlan> fits = point_to_point(rows, 0, 1, 53);
    ASSERT_TRUE(fits.has_value());
    EXPECT_EQ(fits->receivers.front()[3], delay_pic(127, 0, 0));
    EXPECT_EQ(point_to_point(rows, 0, 2, 53).error(),
              ExchangeError{ExchangeError::Schedule{"receiver phase"}});
}

// Cycles occupied by a timed word: a delay-type word with field n lasts n + 1, a send one per word.
std::uint32_t cycles(std::uint32_t word) {
    if (is_delay(word)) {
        return (word & 0x7FFFF) + 1;
    }
    if (is_delay_pic(word)) {
        return ((word >> 19) & 0x7F) + 1;
    }
    if (is_delay_xpic(word)) {
        return ((word >> 14) & 0xFFF) + 1;
    }
    if (is_send_off(word)) {
        return (((word >> 21) & 0x3F) | (((word >> 14) & 0x3F) << 6)) + 1;
    }
    if (is_payload_send(word)) {
        return ((word >> 21) & 0x3F) + 1;
    }
    return 0;
}

std::uint32_t row_cycles(const PlanRow& row, std::size_t first) {
    std::uint32_t total = 0;
    for (std::size_t i = first; i < row.size(); ++i) {
        total += cycles(row[i]);
    }
    return total;
}

TEST(PointToPoint, RowsTakeTheirTimedLengthsForEveryCount) {
    // Pairs with a time to multiplexer of 112 (no sender delay word), -78 and a few between.
    const std::pair<std::uint16_t, std::uint16_t> pairs[] = {
        {780, 0}, {90, 136}, {0, 1286}, {1286, 1471}, {32, 0}};
    for (const auto& [sender_logical, receiver_logical] : pairs) {
        const std::uint32_t sender = *v600().physical(sender_logical);
        const std::uint32_t receiver = *v600().physical(receiver_logical);
        const std::int32_t sender_delay = 111 - topology::time_to_mux(sender, receiver);
        const std::uint32_t receiver_phase = (receiver >> 6) * 2;
        for (std::uint32_t count = 1; count <= 4148; ++count) {
            const Result<MulticastPlan> plan =
                point_to_point(v600(), sender_logical, receiver_logical, count);
            ASSERT_TRUE(plan.has_value());
            ASSERT_EQ(plan->receivers.size(), 1u);
            const PlanRow& sender_row = plan->sender;
            const PlanRow& receiver_row = plan->receivers.front();
            const auto sender_end = std::ranges::find(sender_row, RETURN_INSTRUCTION);
            const auto receiver_end = std::ranges::find(receiver_row, RETURN_INSTRUCTION);
            ASSERT_NE(sender_end, sender_row.end());
            ASSERT_NE(receiver_end, receiver_row.end());
            ASSERT_TRUE(
                std::all_of(sender_end + 1, sender_row.end(), [](auto w) { return w == 0; }));
            ASSERT_TRUE(
                std::all_of(receiver_end + 1, receiver_row.end(), [](auto w) { return w == 0; }));
            ASSERT_EQ(sender_row[0], SYNC_EXCHANGE_INSTRUCTION);
            ASSERT_EQ(receiver_row[0], 1u);
            ASSERT_EQ(receiver_row[1], SYNC_EXCHANGE_INSTRUCTION);
            ASSERT_EQ(receiver_row[2], delay_xpic(112, 0, 0));

            // The first send issues 112 - time_to_mux cycles after the sync.
            const std::size_t first_send = sender_delay >= 0 ? 2 : 1;
            ASSERT_TRUE(is_payload_send(sender_row[first_send]) &&
                        !is_send_off(sender_row[first_send]));
            ASSERT_EQ(sender_delay + 1,
                      static_cast<std::int32_t>(row_cycles(sender_row, 0)) -
                          static_cast<std::int32_t>(row_cycles(sender_row, first_send)));
            ASSERT_EQ(sender_row[first_send] & 7u, topology::direction(sender, receiver));
            ASSERT_EQ(row_cycles(sender_row, 0),
                      static_cast<std::uint32_t>(
                          std::max(6, sender_delay + 1 + static_cast<std::int32_t>(count))))
                << sender_logical << " -> " << receiver_logical << " count " << count;
            ASSERT_EQ(row_cycles(receiver_row, 1), 170 + receiver_phase + count)
                << sender_logical << " -> " << receiver_logical << " count " << count;
        }
    }
}

TEST(PointToPoint, SendSplitsAfterSixtyFourWords) {
    const PlanRow at_64 = point_to_point(v600(), 0, 1286, 64)->sender;
    EXPECT_EQ(std::ranges::count_if(at_64, is_send_off), 0);
    EXPECT_EQ(at_64[2], *encode_send(63, 1, 0));
    const PlanRow at_65 = point_to_point(v600(), 0, 1286, 65)->sender;
    EXPECT_EQ(at_65[2], *encode_send(63, 1, 0));
    EXPECT_EQ(at_65[3], send_off(0, 1, 0));
}

struct RecordedEvent {
    std::string target;
    std::string message;
    std::vector<std::pair<std::string, std::string>> fields;
};

class RecordingSubscriber final : public log::Subscriber {
public:
    explicit RecordingSubscriber(log::Level maximum) : maximum_(maximum) {}
    bool enabled(log::Level level, std::string_view) const noexcept override {
        return level <= maximum_;
    }
    void record(const log::Event& event) noexcept override {
        RecordedEvent recorded{std::string(event.target), std::string(event.message), {}};
        for (const log::Field& field : event.fields) {
            recorded.fields.emplace_back(field.name, field.value);
        }
        events.push_back(std::move(recorded));
    }
    std::vector<RecordedEvent> events;

private:
    log::Level maximum_;
};

TEST(PointToPoint, LogsTheAssemblyForAnEnabledSubscriberOnly) {
    RecordingSubscriber debug(log::Level::Debug);
    {
        const log::ScopedSubscriber scope(debug);
        ASSERT_TRUE(point_to_point(v600(), 736, 100, 52).has_value());
        ASSERT_FALSE(point_to_point(v600(), 5, 5, 3).has_value());
    }
    ASSERT_EQ(debug.events.size(), 1u);
    EXPECT_EQ(debug.events[0].target, log::EXCHANGE_TARGET);
    EXPECT_EQ(debug.events[0].message, "assembled point-to-point exchange");
    const std::vector<std::pair<std::string, std::string>> fields{
        {"sender_logical", "736"}, {"receiver_logical", "100"}, {"count", "52"}};
    EXPECT_EQ(debug.events[0].fields, fields);

    RecordingSubscriber info(log::Level::Info);
    {
        const log::ScopedSubscriber scope(info);
        ASSERT_TRUE(point_to_point(v600(), 736, 100, 52).has_value());
    }
    EXPECT_TRUE(info.events.empty());
}

} // namespace
} // namespace tarnwick::exchange
