#include "tarnwick/instruction.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace tarnwick::instruction {
namespace {

// Reference words, checked when this file compiles.
static_assert(encode_setzi_m(15, 0xFFFFF).value() == 0x19FFFFFF);
static_assert(encode_put_special_m(0xA6, 8).value() == 0x438080A6);
static_assert(put_special_from_m8(0xA6) == 0x438080A6);
static_assert(encode_br_m(10).value() == RETURN_INSTRUCTION);
static_assert(br_m(10) == RETURN_INSTRUCTION);
static_assert(encode_call_m_immediate(10, 0x4C100).value() == 0x18A13040);
static_assert(encode_brz_m_immediate(0, 0x4C100).value() == 0x13013040);
static_assert(encode_ld32_m_immediate(8, 11, 15, 1).value() == 0x01B8F001);
static_assert(encode_st32_m_immediate(2, 11, 15, 0).value() == 0x4FB2F000);
static_assert(encode_add_m_immediate(11, 11, -32).value() == 0x22BBFFE0);
static_assert(encode_and_m_immediate(0, 8, 1).value() == 0x42800001);
static_assert(encode_shl_m_immediate(10, 7, 2).value() == 0x427AA002);
static_assert(encode_send(1, 3, 82041).value() == 0x782A03CB);
static_assert(encode_send(1, 3, 82043).value() == 0x782A03DB);
static_assert(send_off(4083, 1, 0) == 0x766FC001);
static_assert(delay_xpic(112, 0, 0) == 0x641C0000);
static_assert(delay_xpic(2, 0, TILE_MUX_EXCHANGE) == 0x64008640);
static_assert(delay_pic(48, 0, 0) == 0x61800000);
static_assert(delay(7) == 0x40A00007);

// The short delay names are the same constructors as the long ones.
static_assert(delay(0x7FFFF) == encode_exchange_delay(0x7FFFF));
static_assert(delay_pic(0x7F, 1, 0x3FFFF) == encode_exchange_delay_pic(0x7F, 1, 0x3FFFF));
static_assert(delay_xpic(0xFFF, 1, 0x1FFF) == encode_exchange_delay_xpic(0xFFF, 1, 0x1FFF));

// The classifications agree with the constructors.
static_assert(is_delay(delay(5)) && is_delay_pic(delay_pic(1, 0, 2)) &&
              is_delay_xpic(delay_xpic(1, 0, 2)));
static_assert(is_sync(SYNC_EXCHANGE_INSTRUCTION) && is_sync(SYNC_ALL_INSTRUCTION) &&
              is_sync(SYNC_HOST_INSTRUCTION) && !is_sync(CHECKPOINT_OPCODE));
static_assert(is_send_off(send_off(4083, 1, 0)) && is_payload_send(send_off(0, 0, 0)));
static_assert(is_payload_send(encode_send(0, 1, 0).value()));
static_assert(!is_payload_send(0x70100000) && is_send_control(0x70100000));
static_assert(is_send_control_pair(0xF54A0109) && !is_send_control_pair(0x782A03CB));

TEST(Instruction, SendControlPairReferenceWords) {
    // SENDPICP: count_minus_one 42, source word 0x14021, send control 1, the neutral XPIC control
    // of delay_xpic(0, 0, TILE_MUX_EXCHANGE) and the PIC operand of delay_pic(0, 0, 0x15000).
    const Word xpic = delay_xpic(0, 0, TILE_MUX_EXCHANGE) & 0x3FFF;
    const Word pic = delay_pic(0, 0, 0x15000) & 0x3FFFF;
    const Word word0 = SEND_CONTROL_PAIR_OPCODE | (42u << 21) | (0x14021u << 3) | 1u;
    const Word word1 = (xpic << 18) | pic;
    EXPECT_EQ(word0, 0xF54A0109u);
    EXPECT_EQ(word1, 0x19015000u);
}

struct RejectCase {
    std::string_view call;
    Result<Word> result;
    std::string_view message;
};

TEST(Instruction, ValidatingEncodersRejectOutOfRangeOperandsWithOneMessage) {
    const RejectCase cases[] = {
        {"encode_setzi_m(16, 0)", encode_setzi_m(16, 0), "setzi operand"},
        {"encode_setzi_m(0, 1 << 20)", encode_setzi_m(0, 1u << 20), "setzi operand"},
        {"encode_put_special_m(0, 16)", encode_put_special_m(0, 16), "put source register"},
        {"encode_br_m(16)", encode_br_m(16), "branch register"},
        {"encode_call_m_immediate(16, 0)", encode_call_m_immediate(16, 0), "call operand"},
        {"encode_call_m_immediate(0, 2)", encode_call_m_immediate(0, 2), "call operand"},
        {"encode_call_m_immediate(0, 1 << 21)", encode_call_m_immediate(0, 1u << 21),
         "call operand"},
        {"encode_brz_m_immediate(16, 0)", encode_brz_m_immediate(16, 0), "brz operand"},
        {"encode_brz_m_immediate(0, 0x200000)", encode_brz_m_immediate(0, 0x200000),
         "brz operand"},
        {"encode_brz_m_immediate(0, 6)", encode_brz_m_immediate(0, 6), "brz operand"},
        {"encode_ld32_m_immediate(16, 0, 0, 0)", encode_ld32_m_immediate(16, 0, 0, 0),
         "ld32 operand"},
        {"encode_ld32_m_immediate(0, 0, 16, 0)", encode_ld32_m_immediate(0, 0, 16, 0),
         "ld32 operand"},
        {"encode_ld32_m_immediate(0, 0, 0, 0x1000)", encode_ld32_m_immediate(0, 0, 0, 0x1000),
         "ld32 operand"},
        {"encode_st32_m_immediate(0, 16, 0, 0)", encode_st32_m_immediate(0, 16, 0, 0),
         "st32 operand"},
        {"encode_st32_m_immediate(0, 0, 0, 0x1000)", encode_st32_m_immediate(0, 0, 0, 0x1000),
         "st32 operand"},
        {"encode_add_m_immediate(0, 0, 32768)", encode_add_m_immediate(0, 0, 32768),
         "add immediate operand"},
        {"encode_add_m_immediate(0, 0, -32769)", encode_add_m_immediate(0, 0, -32769),
         "add immediate operand"},
        // A bad immediate is named even when a register is bad too.
        {"encode_add_m_immediate(16, 0, 40000)", encode_add_m_immediate(16, 0, 40000),
         "add immediate operand"},
        {"encode_add_m_immediate(16, 0, 0)", encode_add_m_immediate(16, 0, 0),
         "add register operand"},
        {"encode_add_m_immediate(0, 16, 0)", encode_add_m_immediate(0, 16, 0),
         "add register operand"},
        {"encode_and_m_immediate(0, 0, 0x1000)", encode_and_m_immediate(0, 0, 0x1000),
         "and operand"},
        {"encode_and_m_immediate(16, 0, 0)", encode_and_m_immediate(16, 0, 0), "and operand"},
        {"encode_shl_m_immediate(0, 0, 1 << 12)", encode_shl_m_immediate(0, 0, 1u << 12),
         "shift-left operand"},
        {"encode_shl_m_immediate(0, 16, 0)", encode_shl_m_immediate(0, 16, 0),
         "shift-left operand"},
        {"encode_send(64, 3, 0)", encode_send(64, 3, 0), "send instruction operand"},
        {"encode_send(1, 8, 0)", encode_send(1, 8, 0), "send instruction operand"},
        {"encode_send(1, 3, 0x40000)", encode_send(1, 3, 0x40000), "send instruction operand"},
    };
    for (const RejectCase& c : cases) {
        ASSERT_FALSE(c.result.has_value()) << c.call;
        EXPECT_EQ(c.result.error(), ExchangeError::Schedule{c.message}) << c.call;
    }
}

struct AcceptCase {
    std::string_view call;
    Result<Word> result;
    Word word;
};

TEST(Instruction, ValidatingEncodersAcceptTheLargestOperands) {
    const AcceptCase cases[] = {
        {"encode_setzi_m(15, 0xFFFFF)", encode_setzi_m(15, 0xFFFFF), 0x19FFFFFF},
        {"encode_call_m_immediate(15, 0x1FFFFC)", encode_call_m_immediate(15, 0x1FFFFC),
         0x18F7FFFF},
        {"encode_brz_m_immediate(15, 0x1FFFFC)", encode_brz_m_immediate(15, 0x1FFFFC), 0x13F7FFFF},
        {"encode_ld32_m_immediate(15, 15, 15, 0xFFF)", encode_ld32_m_immediate(15, 15, 15, 0xFFF),
         0x01FFFFFF},
        {"encode_st32_m_immediate(15, 15, 15, 0xFFF)", encode_st32_m_immediate(15, 15, 15, 0xFFF),
         0x4FFFFFFF},
        {"encode_add_m_immediate(15, 15, 32767)", encode_add_m_immediate(15, 15, 32767),
         0x22FF7FFF},
        {"encode_add_m_immediate(0, 0, -32768)", encode_add_m_immediate(0, 0, -32768), 0x22008000},
        {"encode_and_m_immediate(15, 15, 0xFFF)", encode_and_m_immediate(15, 15, 0xFFF),
         0x42FF0FFF},
        {"encode_shl_m_immediate(15, 15, 0xFFF)", encode_shl_m_immediate(15, 15, 0xFFF),
         0x42FFAFFF},
        {"encode_put_special_m(0xFF, 15)", encode_put_special_m(0xFF, 15), 0x43F080FF},
        {"encode_send(63, 7, 0x3FFFF)", encode_send(63, 7, 0x3FFFF), 0x7FFFFFFF},
    };
    for (const AcceptCase& c : cases) {
        ASSERT_TRUE(c.result.has_value()) << c.call;
        EXPECT_EQ(*c.result, c.word) << c.call;
    }
}

TEST(Instruction, UncheckedConstructorsMaskOrSpillAsDocumented) {
    // The delay constructors and send_off mask each operand to its field.
    EXPECT_EQ(delay(0xFFFFFFFF), 0x40A00000u | 0x7FFFFu);
    EXPECT_EQ(delay_pic(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), 0x63FFFFFFu);
    EXPECT_EQ(delay_xpic(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), 0x67FFFFFFu);
    EXPECT_EQ(send_off(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), 0x77EFFFFFu);
    // setzi_m and br_m do not: an out-of-range operand spills into the neighbouring bits.
    EXPECT_EQ(setzi_m(0x40, 0), 0x1D000000u);
    EXPECT_EQ(setzi_m(0, 1u << 20), 0x19100000u);
    EXPECT_EQ(br_m(0x40), 0x47000000u);
}

TEST(Instruction, SendWithOffsetSplitsTheCountOverTwoFields) {
    for (Word count_minus_one = 0; count_minus_one < 4096; count_minus_one += 17) {
        const Word word = send_off(count_minus_one, 2, 0x7FF);
        EXPECT_TRUE(is_send_off(word));
        const Word low = (word >> 21) & 0x3F;
        const Word high = (word >> 14) & 0x3F;
        EXPECT_EQ(low | (high << 6), count_minus_one);
        EXPECT_EQ((word >> 3) & 0x7FF, 0x7FFu);
        EXPECT_EQ(word & 7, 2u);
    }
}

} // namespace
} // namespace tarnwick::instruction
