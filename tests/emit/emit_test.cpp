#include "emit/support.hpp"
#include "tarnwick/emit/emit.hpp"
#include "tarnwick/emit/validate.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>

namespace tarnwick::emit {
namespace {

using namespace testing;

constexpr std::uint32_t COPY_ROUTINE = 0x50020; // an address of our own for the copy routine

CodegenError schedule(std::string_view message) {
    return ExchangeError::Schedule{message};
}

CodegenResult<GeneratedProgram> emit_case(std::vector<TileStep> steps, CodegenOptions options,
                                          std::uint16_t tile = 7,
                                          const SymbolTable& symbols = case_symbols(),
                                          const HostProgram& host = {}) {
    return emit(TileProgram{tile, std::move(steps)}, symbols, host, options);
}

Words emitted_words(std::vector<TileStep> steps, CodegenOptions options = case_options(),
                    const SymbolTable& symbols = case_symbols(), const HostProgram& host = {}) {
    const auto generated = emit_case(std::move(steps), options, 7, symbols, host);
    EXPECT_TRUE(generated) << to_string(generated.error());
    return generated ? code_words(*generated) : Words{};
}

CodegenError emit_error(std::vector<TileStep> steps, CodegenOptions options = case_options(),
                        const SymbolTable& symbols = case_symbols(), const HostProgram& host = {}) {
    const auto generated = emit_case(std::move(steps), options, 7, symbols, host);
    EXPECT_FALSE(generated);
    return generated ? invalid("unexpected success") : generated.error();
}

// ---- complete emissions -------------------------------------------------------------------------

TEST(Emit, InactiveExchangeAndKernelCall) {
    const auto generated = emit_case({inactive_exchange(), gemm_step()}, case_options());
    ASSERT_TRUE(generated) << to_string(generated.error());
    EXPECT_EQ(
        code_words(*generated),
        (Words{0x19800000, 0x438080A4, 0x43F080A7, 0x40C00000, 0x41800001, 0x18A18000, 0x19270000,
               0x19371000, 0x19472000, 0x19500040, 0x18A14400, 0x19050004, 0x43000000}));
    EXPECT_EQ(generated->bytes.size(), 52u);
    // Little-endian whatever the host: the first word 0x19800000 is 00 00 80 19.
    EXPECT_EQ((std::vector<std::uint8_t>(generated->bytes.begin(), generated->bytes.begin() + 8)),
              (std::vector<std::uint8_t>{0x00, 0x00, 0x80, 0x19, 0xA4, 0x80, 0x80, 0x43}));
    EXPECT_EQ(generated->exchange_rows, (std::vector<PlacedExchangeRow>{{0x60000, {RET}}}));
}

TEST(Emit, InvocationLoopRunsTheBodyThreeTimes) {
    CodegenOptions options = case_options();
    options.invocations = 3;
    EXPECT_EQ(emitted_words({inactive_exchange(), gemm_step()}, options),
              (Words{0x22BBFFF8, 0x19000003, 0x4FB0F000, // prologue
                     0x19800000, 0x438080A4, 0x43F080A7, 0x40C00000, 0x41800001, 0x18A18000,
                     0x19270000, 0x19371000, 0x19472000, 0x19500040, 0x18A14400, // body
                     0x01B0F000, 0x2200FFFF, 0x4FB0F000, 0x13014814, 0x1905200C, 0x43000000,
                     0x22BB0008, 0x19050004, 0x43000000}));
}

TileStep patched_repeat(std::uint32_t count) {
    ExchangeStep exchange = active_exchange_step();
    exchange.incoming_base = 0x70000;
    Words values(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        values[i] = 0xA5000000 + i * 3;
    }
    exchange.repeat_patches.push_back({0, {0x61000, values}});
    return repeat_step(count, {{0x70000, 64}}, {exchange});
}

TEST(Emit, RepeatedPatchedExchangeHasTheSameCodeForEveryCount) {
    for (const std::uint32_t n : {2u, 3u, 16u, 100u, 128u}) {
        const auto generated = emit_case({patched_repeat(n)}, case_options(), 0);
        ASSERT_TRUE(generated) << n << ": " << to_string(generated.error());
        const Words words = code_words(*generated);
        EXPECT_EQ(
            words,
            (Words{0x22BBFFF8, 0x19000000 + n, 0x4FB0F000,     0x19070000, 0x4FB0F001, 0x19260000,
                   0x19361000, 0x01B4F000,     0x19500000 + n, 0x18914005, 0x19870000, 0x438080A4,
                   0x43F080A7, 0x18714000,     0x19800001,     0x438080A6, 0x41800003, 0x18A18000,
                   0x01B0F001, 0x22000040,     0x4FB0F001,     0x01B0F000, 0x2200FFFF, 0x4FB0F000,
                   0x1301481B, 0x19052014,     0x43000000,     0x22BB0008, 0x19050004, 0x43000000}))
            << n;
        EXPECT_EQ(std::ranges::count(words, SYNC), 1);
        const TileStep repeat = patched_repeat(n);
        const auto& exchange = *repeat.get_if<RepeatStep>()->body[0].get_if<ExchangeStep>();
        ASSERT_EQ(generated->exchange_rows.size(), 2u);
        EXPECT_EQ(generated->exchange_rows[0], (PlacedExchangeRow{0x60000, {0, RET}}));
        EXPECT_EQ(generated->exchange_rows[1], exchange.repeat_patches[0].values);
    }
}

TEST(Emit, ExchangeSequenceWritesTheReceiveState) {
    ExchangeStep exchange = active_exchange_step();
    exchange.incoming_base = 0x123456; // three words to load
    exchange.incoming_mux = 0x640;
    exchange.incoming_format = 2;
    exchange.incoming_mux_pair = 5;
    exchange.incoming_dcount = 9;
    exchange.profile = {0x8000, 0x8004};
    EXPECT_EQ(emitted_words({exchange}),
              (Words{0x19208000, 0x18A14004,                         // before sample
                     0x19800123, 0x4288A00C, 0x22880456, 0x438080A4, // base
                     0x19800640, 0x438080A0, 0x19800002, 0x438080A3, // mux, format
                     0x19800005, 0x438080A1, 0x43F080A7,             // mux pair, delta
                     0x18714000, 0x19800009, 0x438080A6, SYNC,       // barrier, count, sync
                     0x18A18000, 0x19208004, 0x18A14004,             // call, after sample
                     0x19050004, 0x43000000}));

    // Preserved base registers, a sync of its own and no count: only the barrier and the call.
    ExchangeStep quiet = exchange_step({SYNC, 0, RET}, true);
    quiet.sync_in_program = true;
    quiet.preserve_base_registers = true;
    EXPECT_EQ(emitted_words({quiet}), (Words{0x18714000, 0x18A18000, 0x19050004, 0x43000000}));

    // A count given with an embedded sync is still written.
    quiet.incoming_dcount = 4;
    EXPECT_EQ(emitted_words({quiet}),
              (Words{0x18714000, 0x19800004, 0x438080A6, 0x18A18000, 0x19050004, 0x43000000}));
}

TEST(Emit, CheckpointIsOneWord) {
    EXPECT_EQ(emitted_words({CheckpointStep{42, 1, {0x8000, 0x8004}}}),
              (Words{0x41801001, 0x19050004, 0x43000000}));
}

TEST(Emit, InvocationSamplesAndHostPhasesSurroundTheBody) {
    CodegenOptions options = case_options();
    options.initial_profile_address = 0x9000;
    options.final_profile_address = 0x9004;
    options.invocations = 2;
    HostProgram host;
    host.initialize = {{0x1000, false, std::nullopt}};
    host.inputs = {{0x2000, true, 0x2100}};
    host.outputs = {{0x3000, false, std::nullopt}};
    EXPECT_EQ(emitted_words({CheckpointStep{}}, options, case_symbols(), host),
              (Words{0x19200001, 0x19301000, 0x18914003,             // initialize
                     0x22BBFFF8, 0x19000002, 0x4FB0F000,             // prologue
                     0x19200001, 0x19302100, 0x19402000, 0x18914002, // inputs (loop start)
                     0x19209000, 0x18A14004, 0x41801000, 0x19209004, 0x18A14004,
                     0x19200001, 0x19303000, 0x18914003, // outputs
                     0x01B0F000, 0x2200FFFF, 0x4FB0F000, 0x13014818, 0x19052018,
                     0x43000000, 0x22BB0008, 0x19050004, 0x43000000}));
}

// ---- halfword copies ----------------------------------------------------------------------------

SymbolTable copy_symbols() {
    SymbolTable symbols = case_symbols();
    symbols.emplace("tarnwick_static_copy_u16", COPY_ROUTINE);
    return symbols;
}

TEST(Emit, MergesConsecutiveHalfwordCopies) {
    EXPECT_EQ(
        emitted_words({copy_step(0x1000, 0x2000), copy_step(0x1004, 0x2004)}, case_options(),
                      copy_symbols()),
        (Words{0x19400002, 0x18A14008, 0x1000, 0x2000, 0x1004, 0x2004, 0x19050004, 0x43000000}));
}

TEST(Emit, SamplesSplitHalfwordCopyRuns) {
    const Words split{0x19400001, 0x18A14008, 0x1000, 0x2000, 0x19208000, 0x18A14004,
                      0x19400001, 0x18A14008, 0x1004, 0x2004, 0x19050004, 0x43000000};
    ComputeStep first = copy_step(0x1000, 0x2000);
    ComputeStep second = copy_step(0x1004, 0x2004);
    first.profile.after = 0x8000;
    EXPECT_EQ(emitted_words({first, second}, case_options(), copy_symbols()), split);
    first.profile.after.reset();
    second.profile.before = 0x8000;
    EXPECT_EQ(emitted_words({first, second}, case_options(), copy_symbols()), split);

    // The group takes the first step's before sample and the last step's after sample.
    first.profile.before = 0x8010;
    second.profile = {std::nullopt, 0x8020};
    EXPECT_EQ(emitted_words({first, second, CheckpointStep{}}, case_options(), copy_symbols()),
              (Words{0x19208010, 0x18A14004, 0x19400002, 0x18A14008, 0x1000, 0x2000, 0x1004, 0x2004,
                     0x19208020, 0x18A14004, 0x41801000, 0x19050004, 0x43000000}));
}

TEST(Emit, UnmergeableCopyIsAKernelCall) {
    // Two arguments: not a halfword copy, so the copy routine is called as a kernel.
    const ComputeStep wide =
        kernel("tarnwick_static_copy_u16", absolute(0x2000), {absolute(0x1000)}, {1, 2});
    EXPECT_EQ(emitted_words({wide}, case_options(), copy_symbols()),
              (Words{0x19202000, 0x19301000, 0x19400001, 0x19500002, 0x18A14008, 0x19050004,
                     0x43000000}));
    EXPECT_EQ(emit_error({wide}),
              invalid("tile 7 references missing kernel symbol tarnwick_static_copy_u16"));
    EXPECT_EQ(emit_error({copy_step(0x1000, 0x2000)}),
              invalid("missing runtime symbol tarnwick_static_copy_u16"));
}

TEST(AbsoluteU16Copy, NeedsOneAbsoluteInputAnAbsoluteOutputAndArgumentOne) {
    EXPECT_EQ(absolute_u16_copy(copy_step(0x1000, 0x2000)), std::pair(0x1000u, 0x2000u));
    EXPECT_FALSE(absolute_u16_copy(kernel("c", absolute(2), {absolute(1)}, {2})));
    EXPECT_FALSE(absolute_u16_copy(kernel("c", absolute(2), {absolute(1), absolute(3)}, {1})));
    EXPECT_FALSE(absolute_u16_copy(kernel("c", absolute(2), {pointer(0, 0)}, {1})));
    EXPECT_FALSE(absolute_u16_copy(kernel("c", pointer(0, 0), {absolute(1)}, {1})));
    EXPECT_FALSE(absolute_u16_copy(kernel("c", absolute(2), {}, {1})));
    EXPECT_EQ(step_compute_profile(TileStep{kernel("c", absolute(0), {}, {1})}), StepProfile{});
    EXPECT_FALSE(step_compute_profile(TileStep{CheckpointStep{}}));
}

// ---- kernel calls and repeats -------------------------------------------------------------------

TEST(EmitCompute, LoadsArgumentsAfterTheInputs) {
    const SymbolTable symbols = case_symbols();
    TileCode code;
    ASSERT_TRUE(emit_compute(code, 7, kernel("gemm", absolute(0x70000), {}, {5, 6}), symbols,
                             std::nullopt));
    EXPECT_EQ(code.words, (Words{0x19270000, 0x19300005, 0x19400006, 0x18A14400}));

    code.words.clear();
    ASSERT_TRUE(emit_compute(code, 7, gemm_step(), symbols, std::nullopt));
    EXPECT_EQ(code.words, (Words{0x19270000, 0x19371000, 0x19472000, 0x19500040, 0x18A14400}));

    code.words.clear();
    const ComputeStep relative =
        kernel("gemm", absolute(0x70000), {pointer(0, 0x40), pointer(0, 0)}, {});
    ASSERT_TRUE(emit_compute(code, 7, relative, symbols, 1));
    EXPECT_EQ(code.words, (Words{0x19270000, 0x01B3F001, 0x22330040, 0x01B4F001, 0x18A14400}));

    const auto missing = emit_compute(code, 7, gemm_step(), SymbolTable{}, std::nullopt);
    EXPECT_EQ(missing.error(), invalid("tile 7 references missing kernel symbol gemm"));
}

TEST(EmitCompute, RejectsWhatValidationWouldHaveCaught) {
    const SymbolTable symbols = case_symbols();
    TileCode code;
    EXPECT_EQ(emit_address(code, 3, pointer(0, 0), std::nullopt).error(),
              invalid("repeat pointer used outside repeat body"));
    EXPECT_EQ(emit_address(code, 3, pointer(1, 0), 1).error(),
              invalid("repeat pointer index is out of range"));
    // Pointer 0xFFFF has no frame word the load can reach.
    EXPECT_EQ(emit_address(code, 3, pointer(0xFFFF, 0), 0x10000).error(), schedule("ld32 operand"));
    // Thirteen arguments fill m3..m15; a fourteenth has no register.
    EXPECT_EQ(
        emit_compute(code, 7, kernel("gemm", absolute(0), {}, Words(14, 1)), symbols, std::nullopt)
            .error(),
        schedule("setzi operand"));
    EXPECT_EQ(
        emit_compute(code, 7,
                     kernel("gemm", absolute(0), std::vector<TileAddress>(253, absolute(0)), {}),
                     symbols, std::nullopt)
            .error(),
        invalid("kernel input register overflow"));
    EXPECT_EQ(
        emit_compute(code, 7,
                     kernel("gemm", absolute(0), std::vector<TileAddress>(256, absolute(0)), {}),
                     symbols, std::nullopt)
            .error(),
        invalid("kernel input count exceeds u8"));
}

Words repeat_words(std::vector<RepeatPointer> pointers, std::vector<TileStep> body = {}) {
    const SymbolTable symbols = case_symbols();
    TileCode code;
    ExchangeRows rows;
    const RepeatStep repeat = repeat_step(4, std::move(pointers), std::move(body));
    const auto status = emit_repeat(code, 0, repeat, symbols, std::nullopt, rows, CODE_ADDRESS);
    EXPECT_TRUE(status) << to_string(status.error());
    return code.words;
}

TEST(EmitRepeat, FrameHoldsTheCounterAndThePointers) {
    EXPECT_EQ(repeat_words({}, {CheckpointStep{}}),
              (Words{0x22BBFFF8, 0x19000004, 0x4FB0F000, 0x41801000, 0x01B0F000, 0x2200FFFF,
                     0x4FB0F000, 0x1301480A, 0x1905200C, 0x43000000, 0x22BB0008}));
    EXPECT_EQ(
        repeat_words({{0x70000, 64}, {0x100000, 4}}),
        (Words{0x22BBFFF0, 0x19000004, 0x4FB0F000, 0x19070000, 0x4FB0F001, 0x19000100, 0x4200A00C,
               0x22000000, 0x4FB0F002, // frame
               0x01B0F001, 0x22000040, 0x4FB0F001, 0x01B0F002, 0x22000004, 0x4FB0F002, 0x01B0F000,
               0x2200FFFF, 0x4FB0F000, 0x13014815, 0x19052024, 0x43000000, 0x22BB0010}));
    EXPECT_EQ(repeat_words({{0, 1}, {0, 1}, {0, 1}})[0], 0x22BBFFF0u);
    EXPECT_EQ(repeat_words({{0, 1}, {0, 1}, {0, 1}, {0, 1}})[0], 0x22BBFFE8u);

    const Words wide = repeat_words({{0x70000, 70000}});
    const Words advance{0x01B0F001, 0x22007FFF, 0x22007FFF, 0x22001172, 0x4FB0F001};
    EXPECT_NE(std::ranges::search(wide, advance).begin(), wide.end());
}

TEST(EmitRepeat, LoopExitMustBeAddressable) {
    CodegenOptions options = case_options();
    options.code_address = 0x52002;
    EXPECT_EQ(emit_error({repeat_step(2, {}, {CheckpointStep{}})}, options),
              schedule("brz operand"));
    options.code_address = 0x1FFFF0;
    EXPECT_EQ(emit_error({repeat_step(2, {}, {CheckpointStep{}})}, options),
              schedule("brz operand"));
    // Without a loop the code address is not used.
    options.code_address = 0x52002;
    EXPECT_TRUE(emit_case({CheckpointStep{}}, options));
}

TEST(EmitRepeat, TooManyPointersForTheFrame) {
    // 8191 pointers need a 32768-byte frame: reserved, but the frame word 4096 is out of reach.
    std::vector<RepeatPointer> pointers(8191, RepeatPointer{0, 4});
    EXPECT_EQ(emit_error({repeat_step(2, pointers, {CheckpointStep{}})}), schedule("st32 operand"));
    pointers.push_back({0, 4});
    EXPECT_EQ(emit_error({repeat_step(2, pointers, {CheckpointStep{}})}),
              schedule("add immediate operand"));
}

// ---- patches and host phases --------------------------------------------------------------------

TEST(EmitPatches, RepeatPatchCallsTheWordPatchRoutine) {
    ExchangeStep exchange = active_exchange_step();
    exchange.repeat_patches = {{0, {0x61000, {1, 2, 3}}}, {1, {0x61100, {4, 5, 6}}}};
    TileCode code;
    ASSERT_TRUE(emit_exchange_patches(code, exchange, 3, case_symbols()));
    EXPECT_EQ(code.words, (Words{0x19260000, 0x19361000, 0x01B4F000, 0x19500003, 0x18914005,
                                 0x19260004, 0x19361100, 0x01B4F000, 0x19500003, 0x18914005}));
    EXPECT_EQ(emit_exchange_patches(code, exchange, 3, SymbolTable{}).error(),
              invalid("missing runtime symbol tarnwick_static_patch_word"));

    exchange.repeat_patches = {{0x40000000, {0x61000, {1}}}};
    EXPECT_EQ(emit_exchange_patches(code, exchange, 1, case_symbols()).error(),
              invalid("exchange patch offset overflow"));
}

TEST(EmitPatches, PatchedWordBeyondTheAddressSpaceFailsBeforeTheCall) {
    ExchangeStep exchange = exchange_step({0, RET}, true, 0xFFFFFFFC);
    exchange.repeat_patches = {{1, {0x61000, {1, 2}}}};
    const TileProgram program{0, {repeat_step(2, {}, {exchange})}};
    ASSERT_TRUE(validate(program));
    EXPECT_EQ(emit(program, case_symbols(), {}, case_options()).error(),
              invalid("exchange patch address overflow"));
}

TEST(EmitPatches, SetupPatchCallsTheRowPatchRoutine) {
    ExchangeStep exchange = active_exchange_step();
    exchange.setup_patch = ExchangeSetupPatch{{0x62000, {0, 1}}, {0x63000, {7, 8}}};
    EXPECT_EQ(emit_error({exchange}), invalid("missing runtime symbol tarnwick_static_patch_row"));

    SymbolTable symbols = case_symbols();
    symbols.emplace("tarnwick_static_patch_row", 0x50018);
    const auto generated = emit_case({exchange}, case_options(), 7, symbols);
    ASSERT_TRUE(generated);
    const Words words = code_words(*generated);
    ASSERT_GE(words.size(), 5u);
    EXPECT_EQ(Words(words.begin(), words.begin() + 6),
              (Words{0x19260000, 0x19362000, 0x19463000, 0x19500002, 0x18914006, 0x19800000}));
    EXPECT_EQ(generated->exchange_rows,
              (std::vector<PlacedExchangeRow>{
                  {0x60000, {0, RET}}, {0x62000, {0, 1}}, {0x63000, {7, 8}}}));
}

TEST(EmitHostPhases, OneCallPerRun) {
    const std::vector<HostPhase> phases{{0x1000, false, std::nullopt},
                                        {0x2000, false, std::nullopt},
                                        {0x3000, true, 0x4000},
                                        {0x3000, true, std::nullopt}, // only a run's first counts
                                        {0x5000, true, 0x6000}};
    TileCode code;
    ASSERT_TRUE(emit_host_phases(code, case_symbols(), phases));
    EXPECT_EQ(code.words, (Words{0x19200002, 0x19301000, 0x18914003,             //
                                 0x19200002, 0x19304000, 0x19403000, 0x18914002, //
                                 0x19200001, 0x19306000, 0x19405000, 0x18914002}));

    code.words.clear();
    const std::vector<HostPhase> split{
        {0x1000, false, std::nullopt}, {0x1000, true, 0x4000}, {0x1000, false, std::nullopt}};
    ASSERT_TRUE(emit_host_phases(code, case_symbols(), split));
    EXPECT_EQ(code.words, (Words{0x19200001, 0x19301000, 0x18914003,             //
                                 0x19200001, 0x19304000, 0x19401000, 0x18914002, //
                                 0x19200001, 0x19301000, 0x18914003}));
}

TEST(EmitHostPhases, LooksUpOnlyTheRoutinesItNeeds) {
    TileCode code;
    EXPECT_TRUE(emit_host_phases(code, SymbolTable{}, {}));
    EXPECT_TRUE(code.words.empty());

    SymbolTable host_run_only{{"tarnwick_static_host_run", 0x50008}};
    EXPECT_TRUE(
        emit_host_phases(code, host_run_only, std::vector<HostPhase>{{0x3000, true, 0x4000}}));
    EXPECT_EQ(
        emit_host_phases(code, host_run_only, std::vector<HostPhase>{{0x3000, false, std::nullopt}})
            .error(),
        invalid("missing runtime symbol tarnwick_static_repeat_call"));
    EXPECT_EQ(
        emit_host_phases(code, case_symbols(), std::vector<HostPhase>{{0x3000, true, std::nullopt}})
            .error(),
        invalid("active host phase has no run table"));
}

// ---- failures of the whole emission -------------------------------------------------------------

TEST(Emit, FailsWithoutPartialResults) {
    CodegenOptions options = case_options();
    options.invocations = 0;
    EXPECT_EQ(emit_error({CheckpointStep{0, 9, {}}}, options),
              invalid("invocation count must be nonzero"));

    SymbolTable symbols = case_symbols();
    symbols.erase("tarnwick_static_complete");
    EXPECT_EQ(emit_error({}, case_options(), symbols),
              invalid("missing runtime symbol tarnwick_static_complete"));
    // Validation comes first.
    EXPECT_EQ(emit_error({CheckpointStep{0, 2, {}}}, case_options(), symbols),
              invalid("checkpoint breakpoint must be zero or one"));

    symbols = case_symbols();
    symbols.erase("tarnwick_static_worker_barrier");
    EXPECT_TRUE(emit_case({inactive_exchange()}, case_options(), 7, symbols));
    EXPECT_EQ(emit_error({repeat_step(2, {}, {active_exchange_step()})}, case_options(), symbols),
              invalid("missing runtime symbol tarnwick_static_worker_barrier"));

    EXPECT_EQ(emit_error({gemm_step()}, case_options(), {{"tarnwick_static_complete", 0x50004}}),
              invalid("tile 7 references missing kernel symbol gemm"));

    ComputeStep sampled = gemm_step();
    sampled.profile.before = 0x8000;
    symbols = case_symbols();
    symbols.erase("tarnwick_static_sample_cycle");
    EXPECT_EQ(emit_error({sampled}, case_options(), symbols),
              invalid("missing runtime symbol tarnwick_static_sample_cycle"));

    // Encoder errors pass through unchanged.
    EXPECT_EQ(emit_error({exchange_step({RET}, false, 0x200000)}), schedule("call operand"));
    symbols = case_symbols();
    symbols["gemm"] = 0x51002;
    EXPECT_EQ(emit_error({gemm_step()}, case_options(), symbols), schedule("call operand"));
}

// ---- exchange rows ------------------------------------------------------------------------------

TEST(ExchangeRows, OneRowPerAddressInAscendingOrder) {
    const auto generated =
        emit_case({exchange_step({0, RET}, true, 0x64000), inactive_exchange(),
                   exchange_step({0, RET}, true, 0x64000), exchange_step({RET}, false, 0x60010)},
                  case_options());
    ASSERT_TRUE(generated);
    EXPECT_EQ(
        generated->exchange_rows,
        (std::vector<PlacedExchangeRow>{{0x60000, {RET}}, {0x60010, {RET}}, {0x64000, {0, RET}}}));

    EXPECT_EQ(emit_error({inactive_exchange(), exchange_step({0, RET}, true)}),
              invalid("different exchange rows share an address"));
}

TEST(ExchangeRows, OverlappingRowsMustAgree) {
    // A program overlapping a patch table that gives its words other values cannot sit in memory.
    ExchangeStep exchange = exchange_step({0, 1, RET}, true, 0x60000);
    exchange.repeat_patches = {{0, {0x60004, {1, 2}}}};
    EXPECT_EQ(emit_error({repeat_step(2, {}, {exchange})}),
              invalid("different exchange rows share an address"));

    // Overlapping rows that agree byte for byte are both kept, each at its own address.
    exchange.repeat_patches = {{0, {0x60004, {1, RET}}}};
    const auto generated = emit_case({repeat_step(2, {}, {exchange})}, case_options());
    ASSERT_TRUE(generated);
    EXPECT_EQ(generated->exchange_rows.size(), 2u);

    // Byte-level overlap at an unaligned address.
    ExchangeStep setup = active_exchange_step();
    setup.setup_patch = ExchangeSetupPatch{{0x62000, {0x11223344}}, {0x62002, {0x55661122}}};
    SymbolTable symbols = case_symbols();
    symbols.emplace("tarnwick_static_patch_row", 0x50018);
    EXPECT_TRUE(emit_case({setup}, case_options(), 7, symbols));
    setup.setup_patch->values.words = {0x55661123};
    EXPECT_EQ(emit_case({setup}, case_options(), 7, symbols).error(),
              invalid("different exchange rows share an address"));
}

TEST(ExchangeRows, ALongRowIsCheckedAgainstEveryRowItCovers) {
    const PlacedExchangeRow long_row{0x60000, {1, 2, 3, 4, 5, 6, 7, 8}};
    const PlacedExchangeRow inside{0x60004, {2}};
    const PlacedExchangeRow later_agreeing{0x60014, {6, 7}};
    const PlacedExchangeRow later_conflicting{0x6001C, {9}}; // only the long row reaches it
    const PlacedExchangeRow after{0x60020, {9}};

    ExchangeRows rows;
    for (const auto* row : {&after, &later_agreeing, &long_row, &inside}) {
        rows.record(*row);
    }
    const auto kept = rows.finish();
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, (std::vector<PlacedExchangeRow>{long_row, inside, later_agreeing, after}));

    rows.record(later_conflicting);
    EXPECT_EQ(rows.finish().error(), invalid("different exchange rows share an address"));
}

} // namespace
} // namespace tarnwick::emit
