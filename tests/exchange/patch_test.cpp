#include "tarnwick/exchange/patch.hpp"

#include "tarnwick/exchange/multicast.hpp"
#include "tarnwick/exchange/point_to_point.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/instruction.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <random>
#include <string_view>
#include <vector>

namespace tarnwick::exchange {
namespace {

using instruction::delay;
using instruction::delay_pic;
using instruction::delay_xpic;
using instruction::RETURN_INSTRUCTION;
using instruction::SYNC_EXCHANGE_INSTRUCTION;
using instruction::TILE_MUX_EXCHANGE;
using Tiles = std::vector<std::uint16_t>;

const topology::Topology& v600() {
    static const topology::Topology topology = topology::Topology::v600();
    return topology;
}

std::unexpected<ExchangeError> schedule(std::string_view message) { return schedule_error(message); }
std::unexpected<ExchangeError> address(std::uint32_t byte_address) {
    return std::unexpected(ExchangeError(ExchangeError::Address{byte_address}));
}

// The rows of multicast(0, [274], 65, 0).
constexpr PlanRow MULTICAST_SENDER{0x41800003, 0x40A00016, 0x7FE00001, 0x70000001, 0x43A00000};
constexpr PlanRow MULTICAST_RECEIVER{0x41800003, 0x64000000, 0x61994000, 0x64030640, 0x40A00038,
                                     0x43A00000};

TEST(PatchSenderAddress, WritesTheFirstPlainSendOnly) {
    PlanRow row = MULTICAST_SENDER;
    ASSERT_TRUE(patch_sender_address(row, 0x52040).has_value());
    EXPECT_EQ(row[2] & 0x1FFFF8u, 0xA4080u); // word address 0x14810 in bits 20..3
    EXPECT_EQ(row[2], 0x7FEA4081u);
    PlanRow expected = MULTICAST_SENDER;
    expected[2] = row[2];
    EXPECT_EQ(row, expected); // the send with offset keeps its relative offset

    // Patching again replaces the address.
    ASSERT_TRUE(patch_sender_address(row, 0).has_value());
    EXPECT_EQ(row, MULTICAST_SENDER);
}

TEST(PatchSenderAddress, PairedSendsCountEightByteItems) {
    const PlanRow paired{SYNC_EXCHANGE_INSTRUCTION, 0x40A0001E, 0x7FE00005, RETURN_INSTRUCTION};
    PlanRow row = paired;
    ASSERT_TRUE(patch_sender_address(row, 0x50000).has_value());
    EXPECT_EQ(row[2], 0x7FE50005u); // item address 0xA000
    row = paired;
    EXPECT_EQ(patch_sender_address(row, 0x50004), address(0x50004));
    EXPECT_EQ(row, paired);
}

TEST(PatchSenderAddress, RowWithoutAPlainSendFails) {
    // A send with offset alone does not count.
    PlanRow row{SYNC_EXCHANGE_INSTRUCTION, 0x70000001, RETURN_INSTRUCTION};
    const PlanRow before = row;
    EXPECT_EQ(patch_sender_address(row, 0x100), address(0x100));
    EXPECT_EQ(row, before);
}

TEST(PatchSenderInstruction, AcceptsSendsAndSendingControlPairs) {
    struct Case {
        std::uint32_t word;
        std::uint32_t byte_address;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {0x78400003, 0xFFFFC, 0x785FFFFB},  // largest word address 0x3FFFF
        {0x78400005, 0x1FFFF8, 0x785FFFFD}, // largest item address with 8-byte items
        {0xF0000001, 0x50084, 0xF00A0109},  // SENDPICP with send control 1: word address 0x14021
        {0xF8000006, 0x50000, 0xF8050006},  // SENDPICP with a paired control: 8-byte items
        {0x785FFFFB, 0, 0x78400003},
    };
    for (const auto& [word, byte_address, expected] : cases) {
        std::uint32_t patched = word;
        ASSERT_TRUE(patch_sender_instruction(patched, byte_address).has_value()) << std::hex << word;
        EXPECT_EQ(patched, expected) << std::hex << word;
    }
}

TEST(PatchSenderInstruction, RejectionsLeaveTheWordUnchanged) {
    struct Case {
        std::uint32_t word;
        std::uint32_t byte_address;
    };
    const Case cases[] = {
        {0xF0000000, 0x100},       // SENDPICP without a send control
        {0x70000001, 0x100},       // send with offset
        {0x70B00640, 0x100},       // SENDPIC
        {delay(4), 0x100},         // not a send at all
        {SYNC_EXCHANGE_INSTRUCTION, 0x100},
        {0x78400003, 0x102},       // misaligned words
        {0x78400003, 0x100000},    // word address 0x40000
        {0x78400005, 0x104},       // misaligned items
        {0x78400005, 0x200000},    // item address 0x40000
        {0xF0000004, 0x104},
    };
    for (const auto& [word, byte_address] : cases) {
        std::uint32_t patched = word;
        EXPECT_EQ(patch_sender_instruction(patched, byte_address), address(byte_address))
            << std::hex << word << " " << byte_address;
        EXPECT_EQ(patched, word);
    }
}

TEST(PatchReceiverAddress, WritesTheFirstPointerControl) {
    PlanRow row = MULTICAST_RECEIVER;
    ASSERT_TRUE(patch_receiver_address(row, 0x53080).has_value());
    EXPECT_EQ(row[2] & 0x3FFFFu, 0x14C20u);
    ASSERT_TRUE(patch_receiver_address(row, 0x8F000).has_value());
    EXPECT_EQ(row[2] & 0x3FFFFu, 0x23C00u);
    PlanRow expected = MULTICAST_RECEIVER;
    expected[2] = delay_pic(51, 0, 0x23C00);
    EXPECT_EQ(row, expected);

    const PlanRow before = row;
    EXPECT_EQ(patch_receiver_address(row, 0x100000), address(0x100000));
    EXPECT_EQ(patch_receiver_address(row, 0x53082), address(0x53082));
    EXPECT_EQ(row, before);
    ASSERT_TRUE(patch_receiver_address(row, 0xFFFFC).has_value());
    EXPECT_EQ(row[2] & 0x3FFFFu, 0x3FFFFu);
}

TEST(PatchReceiverAddress, SkipsFormatControlsAndFindsSendpicpPointers) {
    // Format controls first, then a format SENDPICP whose payload reads like a pointer PIC delay,
    // then a pointer SENDPICP.
    const PlanRow row{SYNC_EXCHANGE_INSTRUCTION,
                      delay_pic(52, 1, 1),
                      0xF8200000,
                      delay_pic(0, 0, 0x1234),
                      0xF0200000,
                      0x19014000,
                      delay_pic(3, 0, 0x777),
                      RETURN_INSTRUCTION};
    PlanRow patched = row;
    ASSERT_TRUE(patch_receiver_address(patched, 0x60000).has_value());
    PlanRow expected = row;
    expected[5] = 0x19018000;
    EXPECT_EQ(patched, expected);

    // Only format controls: no pointer.
    PlanRow formats{SYNC_EXCHANGE_INSTRUCTION, delay_pic(52, 1, 1), delay_pic(3, 1, 0), RETURN_INSTRUCTION};
    const PlanRow formats_before = formats;
    EXPECT_EQ(patch_receiver_address(formats, 0x60000), address(0x60000));
    EXPECT_EQ(formats, formats_before);

    // A pointer SENDPICP in the last word has no payload to patch.
    PlanRow truncated{SYNC_EXCHANGE_INSTRUCTION, 0, 0, 0, 0, 0, 0, 0, 0xF0200000};
    const PlanRow truncated_before = truncated;
    EXPECT_EQ(patch_receiver_address(truncated, 0x60000), schedule("truncated SENDPICP payload"));
    EXPECT_EQ(truncated, truncated_before);
}

TEST(FinalizePointReceiver, DropsThePatchIndexAndSelectsTheSender) {
    const auto point = point_to_point(v600(), 274, 1286, 64);
    ASSERT_TRUE(point.has_value());
    const PlanRow& unfinished = point->receivers.at(0);
    const auto finished = finalize_point_receiver(unfinished, 9);
    ASSERT_TRUE(finished.has_value());
    EXPECT_EQ((*finished)[0], SYNC_EXCHANGE_INSTRUCTION);
    EXPECT_EQ((*finished)[1], delay_xpic(112, 0, 9));
    EXPECT_EQ((*finished)[5], RETURN_INSTRUCTION);
    EXPECT_EQ((*finished)[8], 0u);
    for (std::size_t word = 2; word < 8; ++word) {
        EXPECT_EQ((*finished)[word], unfinished[word + 1]);
    }
    EXPECT_EQ(plan_event_cycles(*finished), plan_event_cycles(unfinished));
}

TEST(FinalizePointReceiver, Rejections) {
    PlanRow row{1, SYNC_EXCHANGE_INSTRUCTION, delay_xpic(112, 0, 0), RETURN_INSTRUCTION};
    EXPECT_TRUE(finalize_point_receiver(row, 0x1FFF).has_value());
    EXPECT_EQ(finalize_point_receiver(row, 0x2000), schedule("point receiver patch index"));
    row[0] = 7;
    EXPECT_EQ((*finalize_point_receiver(row, 5))[7], 5u);
    row[0] = 8;
    EXPECT_EQ(finalize_point_receiver(row, 5), schedule("point receiver patch index"));
    row[0] = 0xFFFFFFFF;
    EXPECT_EQ(finalize_point_receiver(row, 5), schedule("point receiver patch index"));
}

TEST(OffsetPlan, InsertsDelaysAfterTheSync) {
    const auto plan = multicast(v600(), 0, Tiles{1, 2}, 4096, 0);
    ASSERT_TRUE(plan.has_value());
    for (const PlanRow& original : {plan->sender, plan->receivers[0]}) {
        PlanRow row = original;
        ASSERT_TRUE(offset_plan(row, 524358).has_value());
        EXPECT_EQ(row[0], SYNC_EXCHANGE_INSTRUCTION);
        EXPECT_EQ(row[1], delay(0x7FFFF));
        EXPECT_EQ(row[2], delay(69));
        EXPECT_TRUE(std::equal(original.begin() + 1, original.end() - 2, row.begin() + 3));
        EXPECT_EQ(*plan_event_cycles(row), *plan_event_cycles(original) + 524358);
    }
}

TEST(OffsetPlan, ZeroCyclesLeavesAnyRowUntouched) {
    PlanRow row{5, 6, 7};
    ASSERT_TRUE(offset_plan(row, 0).has_value());
    EXPECT_EQ(row, (PlanRow{5, 6, 7}));
}

TEST(OffsetPlan, FreeWordsBoundTheOffset) {
    PlanRow full{SYNC_EXCHANGE_INSTRUCTION, delay(1), delay(1), delay(1), delay(1),
                 delay(1), delay(1), delay(1), RETURN_INSTRUCTION};
    const PlanRow full_before = full;
    EXPECT_EQ(offset_plan(full, 1),
              std::unexpected(ExchangeError(ExchangeError::PlanOffsetRange{1, 0})));
    EXPECT_EQ(full, full_before);

    const PlanRow six{SYNC_EXCHANGE_INSTRUCTION, delay(1), delay(1), delay(1), delay(1), delay(1),
                      RETURN_INSTRUCTION};
    PlanRow row = six;
    ASSERT_TRUE(offset_plan(row, 1048576).has_value());
    EXPECT_EQ(row[1], delay(0x7FFFF));
    EXPECT_EQ(row[2], delay(0x7FFFF));
    EXPECT_EQ(row[8], RETURN_INSTRUCTION);
    row = six;
    EXPECT_EQ(offset_plan(row, 1048577),
              std::unexpected(ExchangeError(ExchangeError::PlanOffsetRange{1048577, 1048576})));
    EXPECT_EQ(offset_plan(row, 0xFFFFFFFF),
              std::unexpected(ExchangeError(ExchangeError::PlanOffsetRange{0xFFFFFFFF, 1048576})));
    EXPECT_EQ(row, six);
}

TEST(OffsetPlan, NeedsTheSyncAndTheReturn) {
    PlanRow no_sync{delay(3), RETURN_INSTRUCTION};
    EXPECT_EQ(offset_plan(no_sync, 5), schedule("plan offset entry"));
    EXPECT_EQ(no_sync, (PlanRow{delay(3), RETURN_INSTRUCTION}));
    PlanRow no_return{SYNC_EXCHANGE_INSTRUCTION, delay(3)};
    EXPECT_EQ(offset_plan(no_return, 5), schedule("plan offset return"));
    EXPECT_EQ(no_return, (PlanRow{SYNC_EXCHANGE_INSTRUCTION, delay(3)}));
}

TEST(OffsetPlan, LengthensEveryRowByExactlyTheOffset) {
    std::mt19937 random(0x24);
    std::uniform_int_distribution<std::uint16_t> tile(0, 1471);
    std::uniform_int_distribution<std::uint32_t> count_of(1, 4148);
    for (int sample = 0; sample < 300; ++sample) {
        const std::uint16_t sender = tile(random);
        std::uint16_t receiver = tile(random);
        if (receiver == sender) {
            receiver = static_cast<std::uint16_t>((receiver + 1) % 1472);
        }
        const std::uint32_t count = count_of(random);
        const auto plan = multicast(v600(), sender, Tiles{receiver}, count, 0);
        ASSERT_TRUE(plan.has_value());
        for (const PlanRow& original : {plan->sender, plan->receivers[0]}) {
            const auto end = static_cast<std::size_t>(
                std::ranges::find(original, RETURN_INSTRUCTION) - original.begin());
            const auto capacity = static_cast<std::uint32_t>(8 - end) * 0x80000u;
            std::uniform_int_distribution<std::uint32_t> cycles_of(1, capacity);
            const std::uint32_t cycles = sample % 5 == 0 ? capacity : cycles_of(random);
            PlanRow row = original;
            ASSERT_TRUE(offset_plan(row, cycles).has_value()) << cycles;
            EXPECT_EQ(*plan_event_cycles(row), *plan_event_cycles(original) + cycles);
            row = original;
            EXPECT_EQ(offset_plan(row, capacity + 1),
                      std::unexpected(ExchangeError(ExchangeError::PlanOffsetRange{capacity + 1, capacity})));
        }
    }
}

TEST(NormalizedExchangeAddressWords, ClearsEveryAddressField) {
    const std::uint32_t send = *instruction::encode_send(1, 3, 106568);
    const std::vector<std::uint32_t> row{SYNC_EXCHANGE_INSTRUCTION, send, 0xF0ED0253, 0x19015000,
                                         RETURN_INSTRUCTION};
    EXPECT_EQ(normalized_exchange_address_words(row),
              (std::vector<std::uint32_t>{SYNC_EXCHANGE_INSTRUCTION, send & ~0x1FFFF8u,
                                          0xF0ED0253 & ~0x1FFFF8u, 0x19000000, RETURN_INSTRUCTION}));
}

TEST(NormalizedExchangeAddressWords, KeepsControlsThatAreNotAddresses) {
    const std::vector<std::uint32_t> row{
        0xF8ED0250,             // SENDPICP without send control, format PIC: untouched
        0x19015000,             // its payload: format operand kept
        0x70B94123,             // SENDPIC pointer (selector 2): operand cleared
        0x70BD4123,             // SENDPIC format (selector 3): kept
        0x70B00640,             // SENDPIC XPIC: kept
        delay_pic(3, 0, 0x777), // pointer: cleared
        delay_pic(3, 1, 2),     // format: kept
        delay_xpic(3, 0, 0x25), // selection: kept
        0x70001239,             // send with offset: kept
        0xF0200000,             // pointer SENDPICP in the last word: nothing after it
    };
    EXPECT_EQ(normalized_exchange_address_words(row),
              (std::vector<std::uint32_t>{0xF8ED0250, 0x19015000, 0x70B80000, 0x70BD4123, 0x70B00640,
                                          delay_pic(3, 0, 0), delay_pic(3, 1, 2), delay_xpic(3, 0, 0x25),
                                          0x70001239, 0xF0200000}));
    EXPECT_TRUE(normalized_exchange_address_words({}).empty());
}

TEST(NormalizedExchangeAddressWords, PatchedRowsCompareEqualWithoutAddresses) {
    PlanRow left = MULTICAST_RECEIVER;
    PlanRow right = MULTICAST_RECEIVER;
    ASSERT_TRUE(patch_receiver_address(left, 0x60000).has_value());
    ASSERT_TRUE(patch_receiver_address(right, 0x8F000).has_value());
    EXPECT_NE(left, right);
    EXPECT_EQ(normalized_exchange_address_words(left), normalized_exchange_address_words(right));
    EXPECT_EQ(normalized_exchange_address_words(left)[3], TILE_MUX_EXCHANGE | 0x64030000u);
}

} // namespace
} // namespace tarnwick::exchange
