#include "tarnwick/program.hpp"

#include <gtest/gtest.h>
#include <string>

namespace tarnwick::program {
namespace {

TEST(ProgramModel, DefaultsAreEmpty) {
    const StepProfile profile;
    EXPECT_FALSE(profile.before);
    EXPECT_FALSE(profile.after);

    const HostProgram host;
    EXPECT_TRUE(host.initialize.empty());
    EXPECT_TRUE(host.inputs.empty());
    EXPECT_TRUE(host.outputs.empty());

    const ExchangeStep exchange;
    EXPECT_EQ(to_string(exchange),
              "ExchangeStep { active: false, incoming_base: 0, preserve_base_registers: false, "
              "incoming_mux: None, incoming_format: 0, incoming_mux_pair: None, "
              "incoming_dcount: None, sync_in_program: false, program: PlacedExchangeRow { "
              "address: 0, words: [] }, setup_patch: None, repeat_patches: [], profile: "
              "StepProfile { before: None, after: None } }");

    EXPECT_EQ(TileAddress(), TileAddress(TileAddress::Absolute{0}));
    EXPECT_EQ(RepeatStep().count, 0u);
    EXPECT_EQ(to_string(HostPhase()), "HostPhase { address: 0, active: false, run_table: None }");
}

TileProgram sample_program() {
    ComputeStep gemm{.symbol = "gemm",
                     .output_address = TileAddress::Absolute{0x70000},
                     .input_addresses = {TileAddress::RepeatPointer{0, 64}},
                     .arguments = {64},
                     .profile = {.before = 8, .after = std::nullopt}};
    RepeatStep repeat{
        .count = 2,
        .iterated_pointers = {{0x70000, 64}},
        .body = {gemm, CheckpointStep{.operation = 5, .breakpoint = 1, .profile = {}}},
        .profile = {}};
    return TileProgram{.tile = 7, .steps = {repeat, ExchangeStep{}}};
}

TEST(ProgramModel, ComparesMemberWiseThroughRepeatBodies) {
    const TileProgram program = sample_program();
    const TileProgram copy = program; // NOLINT: the copy is the point
    EXPECT_EQ(copy, program);

    TileProgram changed = program;
    auto* repeat = changed.steps[0].get_if<RepeatStep>();
    ASSERT_NE(repeat, nullptr);
    repeat->body[1].get_if<CheckpointStep>()->operation = 6;
    EXPECT_NE(changed, program);

    // Equal payloads under different variants differ.
    EXPECT_NE(TileAddress(TileAddress::Absolute{0}), TileAddress(TileAddress::RepeatPointer{0, 0}));
}

TEST(ProgramModel, DebugFormNamesVariantsAndFields) {
    EXPECT_EQ(to_string(sample_program()),
              "TileProgram { tile: 7, steps: [Repeat(RepeatStep { count: 2, iterated_pointers: "
              "[RepeatPointer { initial_address: 458752, stride_bytes: 64 }], body: "
              "[Compute(ComputeStep { symbol: \"gemm\", output_address: Absolute(458752), "
              "input_addresses: [RepeatPointer { index: 0, offset: 64 }], arguments: [64], "
              "profile: StepProfile { before: Some(8), after: None } }), "
              "Checkpoint(CheckpointStep { operation: 5, breakpoint: 1, profile: StepProfile { "
              "before: None, after: None } })], profile: StepProfile { before: None, after: None "
              "} }), Exchange(ExchangeStep { active: false, incoming_base: 0, "
              "preserve_base_registers: false, incoming_mux: None, incoming_format: 0, "
              "incoming_mux_pair: None, incoming_dcount: None, sync_in_program: false, program: "
              "PlacedExchangeRow { address: 0, words: [] }, setup_patch: None, repeat_patches: "
              "[], profile: StepProfile { before: None, after: None } })] }");
    EXPECT_EQ(to_string(ExchangePatch{1, {0x61000, {7}}}),
              "ExchangePatch { word_offset: 1, values: PlacedExchangeRow { address: 397312, "
              "words: [7] } }");
}

TEST(ProgramModel, StepsAndAddressesAreStandardVariants) {
    const TileStep step = sample_program().steps[0];
    EXPECT_EQ(step.index(), 2u);
    EXPECT_NE(std::get_if<RepeatStep>(&step), nullptr);
    EXPECT_EQ(std::visit([](const auto& payload) { return sizeof(payload) > 0; }, step), true);
    EXPECT_EQ(step.name(), "Repeat");
    EXPECT_TRUE(TileStep().is<ExchangeStep>());

    const TileAddress address = TileAddress::RepeatPointer{1, 4};
    EXPECT_TRUE(std::holds_alternative<TileAddress::RepeatPointer>(address));
    EXPECT_EQ(std::get<TileAddress::RepeatPointer>(address).offset, 4u);
    EXPECT_EQ(address.name(), "RepeatPointer");
}

TEST(SymbolTable, LooksUpWithoutBuildingAKey) {
    const SymbolTable symbols{{"gemm", 0x51000}};
    const std::string_view name = "gemm";
    ASSERT_NE(symbols.find(name), symbols.end()); // heterogeneous lookup
    EXPECT_EQ(symbols.find(name)->second, 0x51000u);
}

} // namespace
} // namespace tarnwick::program
