#include "tarnwick/emit/code.hpp"
#include "tarnwick/emit/error.hpp"
#include "tarnwick/emit/options.hpp"

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tarnwick::emit {
namespace {

using Words = std::vector<std::uint32_t>;

CodegenError schedule(std::string_view message) {
    return ExchangeError::Schedule{message};
}

// ---- CodegenError -------------------------------------------------------------------------------

TEST(CodegenError, WrapsEveryExchangeErrorUnchanged) {
    const ExchangeError errors[] = {
        ExchangeError::Tile{1472},
        ExchangeError::DuplicateTile{},
        ExchangeError::Count{9},
        ExchangeError::ReceiverSet{},
        ExchangeError::Schedule{"call operand"},
        ExchangeError::PlanOffsetRange{5, 0},
        ExchangeError::Address{3},
        ExchangeError::HostPacket{},
    };
    for (const ExchangeError& error : errors) {
        const CodegenError wrapped = error;
        ASSERT_TRUE(wrapped.is<CodegenError::Exchange>());
        EXPECT_EQ(*wrapped.exchange(), error);
        EXPECT_EQ(wrapped, CodegenError(CodegenError::Exchange{error}));
        EXPECT_EQ(wrapped.message(), "");
    }
}

TEST(CodegenError, DebugFormNamesTheVariant) {
    EXPECT_EQ(to_string(invalid("compute symbol is empty")),
              "Invalid(\"compute symbol is empty\")");
    EXPECT_EQ(to_string(schedule("setzi operand")), "Exchange(Schedule(\"setzi operand\"))");
    EXPECT_EQ(to_string(CodegenError(ExchangeError::Tile{3})), "Exchange(Tile(3))");
}

TEST(CodegenError, InvalidComparesByTextWhetherHeldOrOwned) {
    EXPECT_EQ(invalid("host run overflow"), invalid(std::string("host run ") + "overflow"));
    EXPECT_NE(invalid("host run overflow"), invalid("exchange patch offset overflow"));
    EXPECT_NE(invalid("call operand"), schedule("call operand"));
    EXPECT_EQ(invalid(std::string("owned")).message(), "owned");
}

TEST(CodegenError, EncoderResultsConvertIntoCodegenResults) {
    // An encoder's result passes on into code generation with its error wrapped.
    static_assert(std::is_convertible_v<Result<std::uint32_t>, CodegenResult<std::uint32_t>>);
    static_assert(std::is_convertible_v<Status, CodegenStatus>);
    const CodegenResult<std::uint32_t> failed = instruction::encode_setzi_m(16, 0);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), schedule("setzi operand"));
    const CodegenResult<std::uint32_t> word = lift(instruction::encode_setzi_m(2, 0x70000));
    EXPECT_EQ(word, 0x19270000u);
    const CodegenStatus status = lift(Status{schedule_error("sender delay")});
    EXPECT_EQ(status.error(), schedule("sender delay"));
}

// ---- TileCode -----------------------------------------------------------------------------------

struct EmitCase {
    const char* name;
    std::function<CodegenStatus(TileCode&)> emit;
    Words words;
};

TEST(TileCode, AppendsTheEncodedWords) {
    const EmitCase cases[] = {
        {"setzi small", [](TileCode& c) { return c.setzi(2, 0x70000); }, {0x19270000}},
        {"setzi largest short", [](TileCode& c) { return c.setzi(0, 0xFFFFF); }, {0x190FFFFF}},
        {"setzi long",
         [](TileCode& c) { return c.setzi(0, 0x100000); },
         {0x19000100, 0x4200A00C, 0x22000000}},
        {"setzi all ones",
         [](TileCode& c) { return c.setzi(0, 0xFFFFFFFF); },
         {0x190FFFFF, 0x4200A00C, 0x22000FFF}},
        {"setzi m3",
         [](TileCode& c) { return c.setzi(3, 0x12345678); },
         {0x19312345, 0x4233A00C, 0x22330678}},
        {"add_unsigned 0", [](TileCode& c) { return c.add_unsigned(0, 0); }, {}},
        {"add_unsigned 64", [](TileCode& c) { return c.add_unsigned(0, 64); }, {0x22000040}},
        {"add_unsigned 32767", [](TileCode& c) { return c.add_unsigned(0, 32767); }, {0x22007FFF}},
        {"add_unsigned 70000",
         [](TileCode& c) { return c.add_unsigned(0, 70000); },
         {0x22007FFF, 0x22007FFF, 0x22001172}},
        {"jump", [](TileCode& c) { return c.jump(0x52014); }, {0x19052014, 0x43000000}},
        {"jump far",
         [](TileCode& c) { return c.jump(0x100000); },
         {0x19000100, 0x4200A00C, 0x22000000, 0x43000000}},
        {"call", [](TileCode& c) { return c.call(0x50014, 9); }, {0x18914005}},
        {"brz", [](TileCode& c) { return c.brz(0, 0x52050); }, {0x13014814}},
        {"put_special", [](TileCode& c) { return c.put_special(0xA7, 15); }, {0x43F080A7}},
        {"ld32", [](TileCode& c) { return c.ld32(4, 11, 15, 0); }, {0x01B4F000}},
        {"st32", [](TileCode& c) { return c.st32(0, 11, 15, 1); }, {0x4FB0F001}},
        {"add_immediate", [](TileCode& c) { return c.add_immediate(11, 11, -8); }, {0x22BBFFF8}},
    };
    for (const auto& [name, emit, words] : cases) {
        TileCode code;
        ASSERT_TRUE(emit(code)) << name;
        EXPECT_EQ(code.words, words) << name;
    }
}

TEST(TileCode, PassesEncoderErrorsOnUnchanged) {
    const std::pair<std::function<CodegenStatus(TileCode&)>, const char*> cases[] = {
        {[](TileCode& c) { return c.setzi(16, 0); }, "setzi operand"},
        {[](TileCode& c) { return c.setzi(16, 0x100000); }, "setzi operand"},
        {[](TileCode& c) { return c.call(0x50002, 10); }, "call operand"},
        {[](TileCode& c) { return c.call(0x200000, 10); }, "call operand"},
        {[](TileCode& c) { return c.brz(0, 0x200000); }, "brz operand"},
        {[](TileCode& c) { return c.brz(0, 0x52002); }, "brz operand"},
        {[](TileCode& c) { return c.put_special(0xA4, 16); }, "put source register"},
        {[](TileCode& c) { return c.ld32(0, 11, 15, 0x1000); }, "ld32 operand"},
        {[](TileCode& c) { return c.st32(0, 11, 15, 0x1000); }, "st32 operand"},
        {[](TileCode& c) { return c.add_immediate(11, 11, 32768); }, "add immediate operand"},
        {[](TileCode& c) { return c.add_immediate(16, 11, 1); }, "add register operand"},
        {[](TileCode& c) { return c.add_unsigned(16, 1); }, "add register operand"},
    };
    for (const auto& [emit, message] : cases) {
        TileCode code;
        const CodegenStatus status = emit(code);
        ASSERT_FALSE(status) << message;
        EXPECT_EQ(status.error(), schedule(message));
    }
}

TEST(TileCode, AddressCountsFourBytesPerWord) {
    TileCode code;
    EXPECT_EQ(code.address(0x52000), 0x52000u);
    for (int i = 0; i < 5; ++i) {
        code.instruction(0);
    }
    EXPECT_EQ(code.address(0x52000), 0x52014u);
    EXPECT_EQ(code.address(0xFFFFFFEB), 0xFFFFFFFFu);
    EXPECT_EQ(code.address(0xFFFFFFEC).error(), invalid("generated code address overflow"));
    EXPECT_EQ(code.words.size(), 5u);
}

// ---- symbol -------------------------------------------------------------------------------------

TEST(Symbol, LooksUpRuntimeRoutines) {
    const SymbolTable symbols{{"tarnwick_static_patch_word", 0x50014}};
    EXPECT_EQ(symbol(symbols, "tarnwick_static_patch_word"), 0x50014u);
    const auto missing = symbol(symbols, "tarnwick_static_complete");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), invalid("missing runtime symbol tarnwick_static_complete"));
}

// ---- options ------------------------------------------------------------------------------------

TEST(CodegenOptions, Defaults) {
    const CodegenOptions options;
    EXPECT_EQ(options.code_address, 0u);
    EXPECT_EQ(options.invocations, 1u);
    EXPECT_FALSE(options.initial_profile_address);
    EXPECT_FALSE(options.final_profile_address);
    EXPECT_EQ(to_string(options), "CodegenOptions { code_address: 0, invocations: 1, "
                                  "initial_profile_address: None, final_profile_address: None }");
}

TEST(GeneratedProgram, DebugForm) {
    const GeneratedProgram generated{{0x00, 0x00, 0xA0, 0x43}, {{0x60000, {0x43A00000}}}};
    EXPECT_EQ(to_string(generated),
              "GeneratedProgram { bytes: [0, 0, 160, 67], exchange_rows: [PlacedExchangeRow { "
              "address: 393216, words: [1134559232] }] }");
}

} // namespace
} // namespace tarnwick::emit
