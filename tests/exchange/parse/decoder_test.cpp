#include "tarnwick/exchange/parse/decoder.hpp"

#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/instruction.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <type_traits>
#include <vector>

namespace tarnwick::exchange::parse {
namespace {

using instruction::delay;
using instruction::delay_pic;
using instruction::delay_xpic;
using Op = PlanOperation;

constexpr IncomingControl xpic(std::uint32_t value) {
    return IncomingControl{IncomingControlStream::Xpic, value};
}
constexpr IncomingControl pic(std::uint32_t value) {
    return IncomingControl{IncomingControlStream::Pic, value};
}

Op::Send pic_pair(std::uint32_t words, std::uint32_t raw_operand, std::uint8_t send_control,
                  IncomingControl first, IncomingControl second) {
    return Op::Send{SendEncoding::PicPair, words, raw_operand, send_control, {first, second}};
}

// A receiver row of four two-word control sends: each pair decodes as one instruction.
constexpr std::array<std::uint32_t, 11> RECEIVER_ROW{
    0x64000082, 0x40A00032, 0xF6600000, 0x03014048, 0xF6600000, 0x03095000,
    0xF6600000, 0x04016000, 0xF7200000, 0x19017000, 0x43A00000};

// Decoded operations are plain values: copying one never allocates.
static_assert(std::is_trivially_copyable_v<PlanOperation>);

static_assert([] {
    const auto diagnostic = diagnose_plan_program(RECEIVER_ROW, 0x60000u);
    return diagnostic && diagnostic->event_cycles == 266 && diagnostic->row_words == 11 &&
           diagnostic->instructions.size() == 7;
}());

TEST(Decoder, ReceiverRowDecodesIntoSevenTimedInstructions) {
    const auto diagnostic = diagnose_plan_program(RECEIVER_ROW, 0x60000u);
    ASSERT_TRUE(diagnostic.has_value()) << to_string(diagnostic.error());
    const std::vector<DecodedPlanInstruction> expected{
        {0, 0x60000, 0, 1, Op::IncomingControl{xpic(0x82)}},
        {1, 0x60004, 1, 52, Op::Delay{}},
        {2, 0x60008, 52, 104, pic_pair(52, 0, 0, xpic(0xC0), pic(0x14048))},
        {4, 0x60010, 104, 156, pic_pair(52, 0, 0, xpic(0xC2), pic(0x15000))},
        {6, 0x60018, 156, 208, pic_pair(52, 0, 0, xpic(0x100), pic(0x16000))},
        {8, 0x60020, 208, 266, pic_pair(58, 0, 0, xpic(0x640), pic(0x17000))},
        {10, 0x60028, 266, 266, Op::Return{}},
    };
    EXPECT_EQ(diagnostic->instructions, expected);
    EXPECT_EQ(diagnostic->event_cycles, 266u);
    EXPECT_EQ(diagnostic->row_words, 11u);
}

TEST(Decoder, SendControlPairWithoutBaseAddress) {
    const std::array<std::uint32_t, 2> words{0xF54A0109, 0x19015000};
    const auto diagnostic = diagnose_plan_program(words, std::nullopt);
    ASSERT_TRUE(diagnostic.has_value());
    const PlanProgramDiagnostic expected{
        {{0, std::nullopt, 0, 43, pic_pair(43, 0x14021, 1, xpic(0x640), pic(0x15000))}}, 43, 2};
    EXPECT_EQ(*diagnostic, expected);
}

TEST(Decoder, PairKeepsThePicSelectorBit) {
    // The pair encoded from an OrdinarySource delay_xpic(0, 0, 0) and a Format delay_pic(0, 1, 1)
    // at cycle 1: the PIC selector travels in bit 27 of the first word.
    const std::array<ReceiveEvent, 2> events{
        ReceiveEvent{1, delay_xpic(0, 0, 0), ReceiveEventKind::OrdinarySource},
        ReceiveEvent{1, delay_pic(0, 1, 1), ReceiveEventKind::Format}};
    const auto pair = encode_send_control_pair(0, 0, 0, events);
    ASSERT_TRUE(pair.has_value());
    const std::array<std::uint32_t, 2> words{pair->first, pair->second};
    EXPECT_EQ(words, (std::array<std::uint32_t, 2>{0xF8000000, 0x00000001}));
    const auto decoded = decode_operation(words, 0);
    ASSERT_TRUE(decoded.has_value());
    const auto& [operation, advance, width] = *decoded;
    EXPECT_EQ(operation, Op(pic_pair(1, 0, 0, xpic(0), pic(0x40001))));
    EXPECT_EQ(advance, 1u);
    EXPECT_EQ(width, 2u);
}

struct OperationCase {
    std::uint32_t word;
    PlanOperation operation;
    std::uint32_t advance;
};

TEST(Decoder, EveryWordKindDecodesWithItsFieldsAndAdvance) {
    const OperationCase cases[] = {
        {0x43A00000, Op::Return{}, 0},
        {delay(7), Op::Delay{}, 8},
        {delay(0x7FFFF), Op::Delay{}, 524288},
        {delay_pic(48, 0, 0), Op::IncomingControl{pic(0)}, 49},
        {delay_pic(2, 1, 0x3FFFF), Op::IncomingControl{pic(0x7FFFF)}, 3},
        {delay_xpic(112, 0, 0), Op::IncomingControl{xpic(0)}, 113},
        {delay_xpic(0xFFF, 1, 0x640), Op::IncomingControl{xpic(0x2640)}, 4096},
        // SENDPIC: selectors 0 and 1 carry XPIC values, 2 and 3 PIC values.
        {0x70B00640, Op::Send{SendEncoding::Pic, 6, 0x00640, std::nullopt, {xpic(0x640)}}, 6},
        {0x70B42640, Op::Send{SendEncoding::Pic, 6, 0x02640, std::nullopt, {xpic(0x2640)}}, 6},
        {0x70B94000, Op::Send{SendEncoding::Pic, 6, 0x14000, std::nullopt, {pic(0x14000)}}, 6},
        {0x701C0002, Op::Send{SendEncoding::Pic, 1, 0x00002, std::nullopt, {pic(0x40002)}}, 1},
        {0x782A03CB, Op::Send{SendEncoding::Explicit, 2, 82041, 3, {}}, 2},
        {0x7FFFFFFF, Op::Send{SendEncoding::Explicit, 64, 0x3FFFF, 7, {}}, 64},
        // Send with offset: the 12-bit count is split, high bits in 19..14.
        {instruction::send_off(4083, 1, 0), Op::Send{SendEncoding::Offset, 4084, 0, 1, {}}, 4084},
        {instruction::send_off(0, 2, 0x7FF), Op::Send{SendEncoding::Offset, 1, 0x7FF, 2, {}}, 1},
        {0x41800000, Op::Sync{0}, 0},
        {0x41800003, Op::Sync{3}, 0},
        {0x418000FF, Op::Sync{255}, 0},
        {0x41800100, Op::Unknown{0x41800100}, 0},
        {0x41801000, Op::Unknown{0x41801000}, 0},
        {0x00000000, Op::Unknown{0}, 0},
        {0x43000000, Op::Unknown{0x43000000}, 0},
    };
    for (const auto& [word, operation, advance] : cases) {
        const std::array<std::uint32_t, 1> words{word};
        const auto decoded = decode_operation(words, 0);
        ASSERT_TRUE(decoded.has_value()) << std::hex << word;
        EXPECT_EQ(std::get<0>(*decoded), operation) << std::hex << word;
        EXPECT_EQ(std::get<1>(*decoded), advance) << std::hex << word;
        EXPECT_EQ(std::get<2>(*decoded), 1u) << std::hex << word;
    }
}

TEST(Decoder, DecodesAtTheGivenOffset) {
    const std::array<std::uint32_t, 3> words{0x41800003, 0xF54A0109, 0x19015000};
    const auto decoded = decode_operation(words, 1);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(std::get<0>(*decoded), Op(pic_pair(43, 0x14021, 1, xpic(0x640), pic(0x15000))));
    EXPECT_EQ(decode_operation(words, 3).error(),
              ExchangeError::Schedule{"decode offset outside the row"});
}

TEST(Decoder, UnknownWordsTakeNoCyclesAndDecodingGoesOn) {
    const std::array<std::uint32_t, 4> words{0x41801000, delay(4), 0x12345678, 0x43A00000};
    const auto diagnostic = diagnose_plan_program(words, std::nullopt);
    ASSERT_TRUE(diagnostic.has_value());
    ASSERT_EQ(diagnostic->instructions.size(), 4u);
    EXPECT_EQ(diagnostic->instructions[0],
              (DecodedPlanInstruction{0, std::nullopt, 0, 0, Op::Unknown{0x41801000}}));
    EXPECT_EQ(diagnostic->instructions[2],
              (DecodedPlanInstruction{2, std::nullopt, 5, 5, Op::Unknown{0x12345678}}));
    EXPECT_EQ(diagnostic->event_cycles, 5u);
}

TEST(Decoder, EmptyRow) {
    const auto diagnostic = diagnose_plan_program({}, 0x60000u);
    ASSERT_TRUE(diagnostic.has_value());
    EXPECT_EQ(*diagnostic, PlanProgramDiagnostic{});
}

TEST(Decoder, Failures) {
    // A pair whose payload word is missing, anywhere in the row.
    const std::array<std::uint32_t, 3> truncated{0x41800003, delay(3), 0xF54A0109};
    EXPECT_EQ(diagnose_plan_program(truncated, std::nullopt).error(),
              ExchangeError::Schedule{"truncated SENDPICP payload"});
    EXPECT_EQ(decode_operation(truncated, 2).error(),
              ExchangeError::Schedule{"truncated SENDPICP payload"});

    // 8,192 full delays reach exactly 2^32 cycles; one fewer stays at the limit minus 2^19.
    std::vector<std::uint32_t> long_row(8192, delay(0x7FFFF));
    EXPECT_EQ(diagnose_plan_program(long_row, std::nullopt).error(),
              ExchangeError::Schedule{"diagnostic event horizon overflow"});
    long_row.pop_back();
    long_row.push_back(delay(0x7FFFE));
    const auto fits = diagnose_plan_program(long_row, std::nullopt);
    ASSERT_TRUE(fits.has_value());
    EXPECT_EQ(fits->event_cycles, 0xFFFFFFFFu);

    // The second word's byte address passes 2^32 - 1.
    const std::array<std::uint32_t, 2> two{delay(0), delay(0)};
    EXPECT_TRUE(diagnose_plan_program(std::span(two).first(1), 0xFFFFFFFCu).has_value());
    EXPECT_EQ(diagnose_plan_program(two, 0xFFFFFFFCu).error(),
              ExchangeError::Schedule{"diagnostic row address overflow"});
}

TEST(Decoder, AgreesWithTheTimelineOnRandomRows) {
    // Words drawn mostly from the exchange word kinds, some arbitrary; each row either decodes
    // completely or fails only on a pair without its payload word.
    // (fixed bits, free bits) of each kind.
    constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 9> KINDS{{
        {0x40A00000, 0x0007FFFF}, // delay
        {0x60000000, 0x03FFFFFF}, // PIC delay
        {0x64000000, 0x03FFFFFF}, // XPIC delay
        {0x78000000, 0x07FFFFFF}, // send
        {0x70000000, 0x07EFFFFF}, // send with offset
        {0x70100000, 0x07EFFFFF}, // SENDPIC
        {0xF0000000, 0x0FFFFFFF}, // SENDPICP
        {0x41800000, 0x000000FF}, // sync
        {0x43A00000, 0x00000000}, // return
    }};
    std::mt19937 random(20240611);
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<std::uint32_t> words(random() % 12);
        for (std::uint32_t& word : words) {
            const std::uint32_t noise = static_cast<std::uint32_t>(random());
            const auto [fixed, free] = KINDS[random() % KINDS.size()];
            word = random() % 8 == 0 ? noise : fixed | (noise & free);
        }
        const auto diagnostic = diagnose_plan_program(words, 0x1000u);
        if (!diagnostic) {
            EXPECT_EQ(diagnostic.error(), ExchangeError::Schedule{"truncated SENDPICP payload"});
            continue;
        }
        EXPECT_EQ(diagnostic->event_cycles, *plan_event_cycles(words));
        std::uint32_t expected_offset = 0;
        std::uint32_t expected_start = 0;
        for (const DecodedPlanInstruction& decoded : diagnostic->instructions) {
            const std::uint32_t word = words[decoded.word_offset];
            EXPECT_EQ(decoded.word_offset, expected_offset);
            EXPECT_EQ(decoded.address, 0x1000u + 4 * decoded.word_offset);
            EXPECT_EQ(decoded.start_cycle, expected_start);
            EXPECT_EQ(decoded.end_cycle - decoded.start_cycle, instruction_advance(word));
            expected_offset += instruction::is_send_control_pair(word) ? 2u : 1u;
            expected_start = decoded.end_cycle;
        }
        EXPECT_EQ(expected_offset, words.size());
    }
}

TEST(Decoder, DebugFormsAreReadable) {
    EXPECT_EQ(to_string(xpic(130)), "IncomingControl { stream: Xpic, value: 130 }");
    EXPECT_EQ(to_string(Op(Op::Delay{})), "Delay");
    EXPECT_EQ(to_string(Op(Op::Return{})), "Return");
    EXPECT_EQ(to_string(Op(Op::Sync{3})), "Sync(3)");
    EXPECT_EQ(to_string(Op(Op::Unknown{7})), "Unknown(7)");
    EXPECT_EQ(to_string(Op(Op::IncomingControl{pic(5)})),
              "IncomingControl { stream: Pic, value: 5 }");
    EXPECT_EQ(to_string(Op(Op::Send{SendEncoding::Pic, 6, 0x640, std::nullopt, {xpic(0x640)}})),
              "Send { encoding: Pic, words: 6, raw_operand: 1600, send_control: None, "
              "controls: [IncomingControl { stream: Xpic, value: 1600 }] }");
    EXPECT_EQ(to_string(DecodedPlanInstruction{2, 0x60008, 52, 104,
                                               Op::Send{SendEncoding::Explicit, 2, 9, 0, {}}}),
              "DecodedPlanInstruction { word_offset: 2, address: Some(393224), start_cycle: 52, "
              "end_cycle: 104, operation: Send { encoding: Explicit, words: 2, raw_operand: 9, "
              "send_control: Some(0), controls: [] } }");
    EXPECT_EQ(to_string(PlanProgramDiagnostic{}),
              "PlanProgramDiagnostic { instructions: [], event_cycles: 0, row_words: 0 }");
    EXPECT_EQ(Op(Op::Delay{}).name(), "Delay");
    EXPECT_EQ(Op(pic_pair(1, 0, 0, xpic(0), pic(0))).name(), "Send");
}

} // namespace
} // namespace tarnwick::exchange::parse
