#include "tarnwick/error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

struct DebugFormCase {
    ExchangeError error;
    std::string form;
};

TEST(ExchangeError, DebugFormNamesTheVariantAndItsPayload) {
    const DebugFormCase cases[] = {
        {ExchangeError::Tile{1472}, "Tile(1472)"},
        {ExchangeError::DuplicateTile{}, "DuplicateTile"},
        {ExchangeError::Count{4149}, "Count(4149)"},
        {ExchangeError::ReceiverSet{}, "ReceiverSet"},
        {ExchangeError::Schedule{"sender delay"}, "Schedule(\"sender delay\")"},
        {ExchangeError::PlanOffsetRange{5, 0}, "PlanOffsetRange { cycles: 5, maximum: 0 }"},
        {ExchangeError::Address{3}, "Address(3)"},
        {ExchangeError::HostPacket{}, "HostPacket"},
    };
    for (const auto& [error, form] : cases) {
        EXPECT_EQ(to_string(error), form);
    }
}

TEST(ExchangeError, ComparesMemberWise) {
    EXPECT_EQ(ExchangeError(ExchangeError::Tile{3}), ExchangeError(ExchangeError::Tile{3}));
    EXPECT_NE(ExchangeError(ExchangeError::Tile{3}), ExchangeError(ExchangeError::Tile{4}));
    EXPECT_NE(ExchangeError(ExchangeError::Tile{3}), ExchangeError(ExchangeError::Count{3}));
    EXPECT_NE(ExchangeError(ExchangeError::PlanOffsetRange{5, 0}),
              ExchangeError(ExchangeError::PlanOffsetRange{5, 1}));
    // Messages compare by their text, not by where the literal lives.
    const std::string built = std::string("sender ") + "delay";
    EXPECT_EQ(ExchangeError(ExchangeError::Schedule{"sender delay"}),
              ExchangeError(ExchangeError::Schedule{built}));
}

TEST(ExchangeError, IsSmallAndTriviallyCopyable) {
    static_assert(std::is_trivially_copyable_v<ExchangeError>);
    static_assert(sizeof(ExchangeError) <= 24);
    constexpr Result<int> failed = schedule_error("sender delay");
    static_assert(!failed.has_value());
    static_assert(failed.error() == ExchangeError::Schedule{"sender delay"});
}

} // namespace
} // namespace tarnwick
