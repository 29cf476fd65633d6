#include "emit/support.hpp"
#include "tarnwick/emit/validate.hpp"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace tarnwick::emit {
namespace {

using namespace testing;

constexpr const char* BOUNDARY = "exchange phase has an invalid boundary or timed program";
constexpr const char* PARTICIPATION = "exchange participation does not match timed program";
constexpr const char* PATCH_SHAPE = "exchange patch has invalid shape or address";
constexpr const char* SETUP_SHAPE = "exchange setup patch has an invalid shape";
constexpr const char* UNAVAILABLE_POINTER =
    "compute address refers to an unavailable repeat pointer";

ExchangeStep with_sync(ExchangeStep step) {
    step.sync_in_program = true;
    return step;
}

ExchangeStep with_patch(ExchangeStep step, ExchangePatch patch) {
    step.repeat_patches.push_back(std::move(patch));
    return step;
}

ExchangeStep with_setup(ExchangeStep step, Words offsets, Words values) {
    step.setup_patch =
        ExchangeSetupPatch{{0x62000, std::move(offsets)}, {0x63000, std::move(values)}};
    return step;
}

RepeatStep in_repeat(TileStep step, std::uint32_t count = 3, std::size_t pointers = 1) {
    return repeat_step(count, std::vector<RepeatPointer>(pointers, RepeatPointer{0x70000, 64}),
                       {std::move(step)});
}

ComputeStep with_values(std::size_t inputs, std::size_t arguments) {
    return kernel("gemm", absolute(0x70000), std::vector<TileAddress>(inputs, absolute(0x71000)),
                  Words(arguments, 1));
}

struct ValidateCase {
    const char* name;
    std::vector<TileStep> steps;
    std::optional<std::string> message; // absent: the program passes
};

TEST(Validate, AcceptsAndRejectsTilePrograms) {
    const ExchangePatch three_values{0, {0x61000, {1, 2, 3}}};
    const ValidateCase cases[] = {
        {"empty program", {}, std::nullopt},
        {"misaligned empty program", {exchange_step({}, false, 3)}, BOUNDARY},
        {"misaligned program", {exchange_step({RET}, false, 0x60002)}, BOUNDARY},
        {"no final return", {exchange_step({0}, true)}, BOUNDARY},
        {"inactive return only", {inactive_exchange()}, std::nullopt},
        {"active return only", {exchange_step({RET}, true)}, PARTICIPATION},
        {"active program", {active_exchange_step()}, std::nullopt},
        {"inactive program with a body", {exchange_step({0, RET}, false)}, PARTICIPATION},
        {"embedded sync, flagged, inactive",
         {with_sync(exchange_step({SYNC, RET}, false))},
         std::nullopt},
        {"embedded sync, flagged, active",
         {with_sync(exchange_step({SYNC, RET}, true))},
         PARTICIPATION},
        {"embedded sync, unflagged", {exchange_step({SYNC, RET}, false)}, BOUNDARY},
        {"flag without sync", {with_sync(exchange_step({0, RET}, true))}, BOUNDARY},
        {"embedded sync and body", {with_sync(exchange_step({SYNC, 0, RET}, true))}, std::nullopt},
        {"second sync", {with_sync(exchange_step({SYNC, SYNC, RET}, true))}, BOUNDARY},
        {"inactive-phase word", {exchange_step({0x40C00000, RET}, true)}, BOUNDARY},
        {"inactive-phase word after sync",
         {with_sync(exchange_step({SYNC, 0x40C00000, RET}, true))},
         BOUNDARY},
        {"setup patch", {with_setup(active_exchange_step(), {0}, {5})}, std::nullopt},
        {"setup patch without offsets", {with_setup(active_exchange_step(), {}, {})}, SETUP_SHAPE},
        {"setup patch of unequal rows",
         {with_setup(active_exchange_step(), {0, 1}, {5})},
         SETUP_SHAPE},
        {"repeat patch at top level",
         {with_patch(active_exchange_step(), three_values)},
         PATCH_SHAPE},
        {"repeat patch",
         {in_repeat(with_patch(active_exchange_step(), three_values))},
         std::nullopt},
        {"repeat patch one value short",
         {in_repeat(with_patch(active_exchange_step(), {0, {0x61000, {1, 2}}}))},
         PATCH_SHAPE},
        {"repeat patch misaligned",
         {in_repeat(with_patch(active_exchange_step(), {0, {0x61002, {1, 2, 3}}}))},
         PATCH_SHAPE},
        {"repeat patch on the last word",
         {in_repeat(with_patch(active_exchange_step(), {1, {0x61000, {1, 2, 3}}}))},
         std::nullopt},
        {"repeat patch beyond the program",
         {in_repeat(with_patch(active_exchange_step(), {2, {0x61000, {1, 2, 3}}}))},
         PATCH_SHAPE},
        {"empty symbol", {kernel("", absolute(0), {}, {1})}, "compute symbol is empty"},
        {"no kernel values",
         {with_values(0, 0)},
         "kernel gemm needs 0 input/argument registers; 1..=7 are supported"},
        {"seven kernel values", {with_values(3, 4)}, std::nullopt},
        {"eight kernel values",
         {with_values(2, 6)},
         "kernel gemm needs 8 input/argument registers; 1..=7 are supported"},
        {"pointer at top level", {kernel("gemm", pointer(0, 0), {}, {1})}, UNAVAILABLE_POINTER},
        {"pointer input at top level",
         {kernel("gemm", absolute(0), {pointer(0, 0)}, {})},
         UNAVAILABLE_POINTER},
        {"pointer 0 of one",
         {in_repeat(kernel("gemm", absolute(0), {pointer(0, 4)}, {}))},
         std::nullopt},
        {"pointer 1 of one",
         {in_repeat(kernel("gemm", absolute(0), {pointer(1, 0)}, {}))},
         UNAVAILABLE_POINTER},
        {"pointer of a repeat without pointers",
         {in_repeat(kernel("gemm", pointer(0, 0), {}, {1}), 3, 0)},
         UNAVAILABLE_POINTER},
        {"repeat count 0", {in_repeat(CheckpointStep{}, 0)}, "repeat count must be nonzero"},
        {"nested repeat",
         {in_repeat(in_repeat(CheckpointStep{}))},
         "nested finalized repeats are not yet supported"},
        {"nested repeat of count 0",
         {in_repeat(in_repeat(CheckpointStep{}, 0))},
         "nested finalized repeats are not yet supported"},
        {"breakpoint 1", {CheckpointStep{0, 1, {}}}, std::nullopt},
        {"breakpoint 2", {CheckpointStep{0, 2, {}}}, "checkpoint breakpoint must be zero or one"},
        {"first failure in step order",
         {CheckpointStep{0, 2, {}}, kernel("", absolute(0), {}, {1})},
         "checkpoint breakpoint must be zero or one"},
    };
    for (const auto& [name, steps, message] : cases) {
        const CodegenStatus status = validate(TileProgram{7, steps});
        if (message) {
            ASSERT_FALSE(status) << name;
            EXPECT_EQ(status.error(), invalid(std::string(*message))) << name;
        } else {
            EXPECT_TRUE(status) << name << ": " << to_string(status.error());
        }
    }
}

TEST(Validate, DefaultExchangeStepAtAddressThreeFailsWithTheBoundaryMessage) {
    ExchangeStep step;
    step.program.address = 3;
    const CodegenStatus status = validate(TileProgram{0, {step}});
    ASSERT_FALSE(status);
    EXPECT_EQ(to_string(status.error()),
              "Invalid(\"exchange phase has an invalid boundary or timed program\")");
}

TEST(Validate, AddressesNeedAnAvailablePointer) {
    EXPECT_TRUE(validate_address(absolute(5), std::nullopt));
    EXPECT_TRUE(validate_address(pointer(1, 0), 2));
    EXPECT_FALSE(validate_address(pointer(2, 0), 2));
    EXPECT_FALSE(validate_address(pointer(0, 0), std::nullopt));
}

TEST(ActiveExchange, LooksIntoRepeatBodies) {
    EXPECT_TRUE(active_exchange(active_exchange_step()));
    EXPECT_FALSE(active_exchange(inactive_exchange()));
    EXPECT_FALSE(active_exchange(gemm_step()));
    EXPECT_FALSE(active_exchange(CheckpointStep{}));
    EXPECT_TRUE(active_exchange(repeat_step(2, {}, {inactive_exchange(), active_exchange_step()})));
    EXPECT_FALSE(active_exchange(repeat_step(2, {}, {gemm_step(), gemm_step()})));
    EXPECT_TRUE(
        active_exchange(repeat_step(2, {}, {repeat_step(2, {}, {active_exchange_step()})})));
}

} // namespace
} // namespace tarnwick::emit
