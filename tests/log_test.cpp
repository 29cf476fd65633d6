#include "tarnwick/log.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace tarnwick::log {
namespace {

struct RecordedEvent {
    Level level;
    std::string target;
    std::string message;
    std::vector<std::pair<std::string, std::string>> fields;
};

class RecordingSubscriber final : public Subscriber {
public:
    RecordingSubscriber(Level maximum, std::string target)
        : maximum_(maximum), target_(std::move(target)) {}

    bool enabled(Level level, std::string_view target) const noexcept override {
        return level <= maximum_ && target == target_;
    }
    void record(const Event& event) noexcept override {
        RecordedEvent recorded{event.level, std::string(event.target), std::string(event.message), {}};
        for (const Field& field : event.fields) {
            recorded.fields.emplace_back(field.name, field.value);
        }
        events.push_back(std::move(recorded));
    }

    std::vector<RecordedEvent> events;

private:
    Level maximum_;
    std::string target_;
};

// Counts how often it is formatted, to prove that a disabled subscriber formats nothing.
struct Expensive {
    int* formatted;
};
std::ostream& operator<<(std::ostream& out, const Expensive& value) {
    ++*value.formatted;
    return out << "expensive";
}

TEST(Log, EnabledSubscriberSeesTheEventWithItsNamedFields) {
    RecordingSubscriber subscriber(Level::Debug, std::string(EXCHANGE_TARGET));
    const ScopedSubscriber scope(subscriber);
    const std::vector<std::uint16_t> receivers{3, 4};
    debug_event(EXCHANGE_TARGET, "assembled multicast exchange", field("sender_logical", 7u),
                field("receiver_logical", receivers), field("count", std::uint32_t{12}));
    ASSERT_EQ(subscriber.events.size(), 1u);
    const RecordedEvent& event = subscriber.events.front();
    EXPECT_EQ(event.level, Level::Debug);
    EXPECT_EQ(event.target, EXCHANGE_TARGET);
    EXPECT_EQ(event.message, "assembled multicast exchange");
    const std::vector<std::pair<std::string, std::string>> expected{
        {"sender_logical", "7"}, {"receiver_logical", "[3, 4]"}, {"count", "12"}};
    EXPECT_EQ(event.fields, expected);
}

TEST(Log, DisabledLevelOrTargetCostsNoFormatting) {
    int formatted = 0;
    RecordingSubscriber info_only(Level::Info, std::string(EXCHANGE_TARGET));
    {
        const ScopedSubscriber scope(info_only);
        debug_event(EXCHANGE_TARGET, "m", field("value", Expensive{&formatted}));
    }
    RecordingSubscriber other_target(Level::Trace, std::string(PARSE_TARGET));
    {
        const ScopedSubscriber scope(other_target);
        debug_event(EXCHANGE_TARGET, "m", field("value", Expensive{&formatted}));
    }
    EXPECT_EQ(formatted, 0);
    EXPECT_TRUE(info_only.events.empty());
    EXPECT_TRUE(other_target.events.empty());

    RecordingSubscriber enabled(Level::Debug, std::string(EXCHANGE_TARGET));
    const ScopedSubscriber scope(enabled);
    debug_event(EXCHANGE_TARGET, "m", field("value", Expensive{&formatted}));
    EXPECT_EQ(formatted, 1);
    ASSERT_EQ(enabled.events.size(), 1u);
    EXPECT_EQ(enabled.events.front().fields.front().second, "expensive");
}

TEST(Log, ScopedSubscriberOverridesAndRestoresTheGlobalOne) {
    RecordingSubscriber global(Level::Debug, std::string(EXCHANGE_TARGET));
    RecordingSubscriber scoped(Level::Debug, std::string(EXCHANGE_TARGET));
    set_global_subscriber(&global);
    {
        const ScopedSubscriber scope(scoped);
        debug_event(EXCHANGE_TARGET, "inner");
    }
    debug_event(EXCHANGE_TARGET, "outer");
    set_global_subscriber(nullptr);
    debug_event(EXCHANGE_TARGET, "dropped");
    ASSERT_EQ(scoped.events.size(), 1u);
    EXPECT_EQ(scoped.events.front().message, "inner");
    ASSERT_EQ(global.events.size(), 1u);
    EXPECT_EQ(global.events.front().message, "outer");
}

} // namespace
} // namespace tarnwick::log
