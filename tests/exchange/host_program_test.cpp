#include "tarnwick/exchange/host_program.hpp"

#include "exchange/host_wrap.hpp"
#include "tarnwick/instruction.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace tarnwick::exchange {
namespace {

using Words = std::vector<std::uint32_t>;

constexpr ExchangeError HOST_PACKET = ExchangeError::HostPacket{};
constexpr ExchangeError SEND_OPERAND = ExchangeError::Schedule{"send instruction operand"};

bool is_explicit_send(std::uint32_t word) {
    return (word & instruction::LONG_OPCODE_MASK) == instruction::SEND_OPCODE;
}
bool is_delay(std::uint32_t word) { return (word & 0xFFF80000) == 0x40A00000; }
std::uint32_t send_words(std::uint32_t word) { return ((word >> 21) & 0x3F) + 1; }
std::uint32_t send_address(std::uint32_t word) { return ((word >> 3) & 0x3FFFF) * 4; }

std::vector<std::uint32_t> send_addresses(const Words& words) {
    std::vector<std::uint32_t> addresses;
    for (const std::uint32_t word : words) {
        if (is_explicit_send(word)) {
            addresses.push_back(send_address(word));
        }
    }
    return addresses;
}

template <class T>
T value(Result<T> result) {
    EXPECT_TRUE(result.has_value()) << to_string(result.error());
    return result ? std::move(*result) : T{};
}

TEST(HostXreqProgram, ReferenceWords) {
    EXPECT_EQ(value(assemble_host_xreq_program(260, 0x50120)),
              (TileToHostProgram{{0x782A0243, 0x43A00000}, {0x00000100, 0x00000000}}));

    const struct {
        std::uint16_t target;
        std::uint32_t word0;
        std::uint32_t word1;
    } singles[] = {{31, 0x2, 0x0}, {81, 0x4, 0x0}, {768, 0x0, 0x1}, {1471, 0x0, 0x200000},
                   {0, 0x1, 0x0},  {1791, 0x0, 0x80000000}};
    for (const auto& single : singles) {
        EXPECT_EQ(value(assemble_host_xreq_program(single.target, 0x50120)).packet_words,
                  (Words{single.word0, single.word1}))
            << single.target;
    }
    const std::uint16_t targets[] = {31, 81, 768, 1471, 31};
    const TileToHostProgram together = value(assemble_host_xreq_program_for_targets(targets, 0x50120));
    EXPECT_EQ(together.packet_words, (Words{0x6, 0x200001}));
    EXPECT_EQ(together.instructions, value(assemble_host_xreq_program(31, 0x50120)).instructions);
}

TEST(HostXreqProgram, RejectsTargetsWithoutABitmapPosition) {
    // 1792 is the first tile whose position (56) lies beyond the two request words.
    EXPECT_EQ(host_xreq_bitmap_index(1792), 56u);
    EXPECT_EQ(assemble_host_xreq_program(1792, 0x50120), fail(HOST_PACKET));
    const std::uint16_t mixed[] = {31, 4095};
    EXPECT_EQ(assemble_host_xreq_program_for_targets(mixed, 0x50120), fail(HOST_PACKET));
    const std::uint16_t too_large[] = {31, 4096};
    EXPECT_EQ(assemble_host_xreq_program_for_targets(too_large, 0x50120), fail(HOST_PACKET));
    EXPECT_EQ(assemble_host_xreq_program_for_targets({}, 0x50120), fail(HOST_PACKET));
}

TEST(HostTargetProgram, TileToHostReferenceWords) {
    EXPECT_EQ(value(assemble_tile_to_host_target_program(260, 0x50120, 64, 64, 0x50160, 0x50180)),
              (TileToHostProgram{{0x19800001, 0x438080A6, 0x782A02C3, 0x79EA0243, 0x40A00001,
                                  0x782A02D3, 0x41800000, 0x43A00000},
                                 {0xA0820000, 0x00000011, 0xCC82020C, 0x00000000}}));
}

TEST(HostTargetProgram, HostToTileReferenceWords) {
    EXPECT_EQ(value(assemble_host_to_tile_target_program(260, 0x50120, 64, 64, 0x50170)),
              (TileToHostProgram{{0x19800010, 0x438080A6, 0x782A02E3, 0x41800000, 0x43A00000},
                                 {0xEC820209, 0x00000011}}));
}

TEST(HostTargetProgram, TileToHostOfSeveralLongPackets) {
    const TileToHostProgram program =
        value(assemble_tile_to_host_target_program(2, 0x52000, 0x40, 2048, 0x50160, 0x501A0));
    EXPECT_EQ(program.packet_words.size(), 18u);
    EXPECT_EQ(program.instructions.front(), instruction::setzi_m(8, 1));
    EXPECT_EQ(std::ranges::count_if(program.instructions, is_explicit_send), 17);
    EXPECT_EQ(std::ranges::count_if(program.instructions, is_delay), 0);
    for (std::size_t i = 3; i < 2 + 16; i += 2) {
        EXPECT_EQ(send_words(program.instructions[i]), 64u) << i;
    }
    // The closing packet follows the eight headers and aims at the command address.
    EXPECT_EQ(send_address(program.instructions[program.instructions.size() - 3]), 0x50160u + 64);
    EXPECT_EQ(program.packet_words[16], zero_byte_read_packet(2, 0x501A0)->word0);
}

TEST(HostTargetProgram, HostToTileStreamClearsAllButTheLastStreamEnd) {
    const TileToHostProgram program =
        value(assemble_host_to_tile_target_program(63, 0x50000, 0x40, 4096, 0x54000));
    const auto chunks = value(plan_host_to_tile(63, 0x50000, 0x40, 4096));
    std::vector<std::uint32_t> sizes;
    for (const auto& chunk : chunks) {
        sizes.push_back(chunk.bytes);
    }
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{1024, 1024, 1024, 960, 64}));
    ASSERT_EQ(program.packet_words.size(), 10u);
    for (std::size_t i = 0; i < 5; ++i) {
        const std::uint32_t stream_end = i == 4 ? HOST_TO_TILE_STREAM_END_BITS : 0;
        EXPECT_EQ(program.packet_words[2 * i], (chunks[i].header.word0 & ~HOST_TO_TILE_STREAM_END_BITS) |
                                                   stream_end);
        EXPECT_EQ(program.packet_words[2 * i + 1], chunks[i].header.word1);
    }
    EXPECT_EQ(std::ranges::count(program.instructions, 0x70200003u), 4);
    EXPECT_EQ(program.instructions,
              (Words{instruction::setzi_m(8, 1024), 0x438080A6, *instruction::encode_send(1, 3, 0x54000 / 4),
                     0x70200003, 0x70200003, 0x70200003, 0x70200003, 0x41800000, 0x43A00000}));
}

TEST(HostTargetProgram, HostToTileSinglePacketIsItsHeader) {
    const TileToHostProgram program =
        value(assemble_host_to_tile_target_program(2, 0x50120, 64, 64, 0x50160));
    const HostPacketHeader header = *host_to_tile_packet(2, 0x50120, 64, 64);
    EXPECT_EQ(program.packet_words, (Words{header.word0, header.word1}));
    EXPECT_EQ(send_addresses(program.instructions), (std::vector<std::uint32_t>{0x50160}));
    EXPECT_EQ(program.instructions[program.instructions.size() - 2], 0x41800000u);
    EXPECT_EQ(std::ranges::count(program.instructions, instruction::SYNC_ALL_INSTRUCTION), 0);
    EXPECT_EQ(std::ranges::count(program.instructions, instruction::SYNC_HOST_INSTRUCTION), 0);
}

TEST(HostTargetProgram, TileToHostShortPacketIsPaddedTo18Cycles) {
    const TileToHostProgram program =
        value(assemble_tile_to_host_target_program(2, 0x50120, 64, 64, 0x50160, 0x501A0));
    const HostPacketHeader header = *tile_to_host_packet(2, 64, 64);
    ASSERT_EQ(program.packet_words.size(), 4u);
    EXPECT_EQ(program.packet_words[0], header.word0);
    EXPECT_EQ(program.packet_words[1], header.word1);
    EXPECT_EQ(send_addresses(program.instructions),
              (std::vector<std::uint32_t>{0x50160, 0x50120, 0x50168}));
    EXPECT_EQ(send_words(program.instructions[3]), 16u);
    EXPECT_EQ(program.instructions[4], instruction::delay(1));
    EXPECT_EQ(std::ranges::count(program.instructions, instruction::SYNC_ALL_INSTRUCTION), 0);
    EXPECT_EQ(std::ranges::count(program.instructions, instruction::SYNC_HOST_INSTRUCTION), 0);
}

TEST(HostTargetProgram, HostToTileStreamOfATileSharingTheStreamEndBitIsRejected) {
    // Tile 2048 has route bit 11 in bit 26: a single packet keeps its header unchanged, but a
    // stream could only mark its open packets by rerouting them.
    const auto single = assemble_host_to_tile_target_program(2048, 0x50000, 0, 64, 0x50160);
    ASSERT_TRUE(single.has_value());
    EXPECT_EQ(single->packet_words[0], host_to_tile_packet(2048, 0x50000, 0, 64)->word0);
    EXPECT_EQ(assemble_host_to_tile_target_program(2048, 0x50000, 0, 2048, 0x50160),
              fail(HOST_PACKET));
    EXPECT_TRUE(assemble_host_to_tile_target_program(2047, 0x50000, 0, 2048, 0x50160).has_value());
}

TEST(HostTargetProgram, RandomTileToHostProgramsKeepTheirShape) {
    std::mt19937 random(0x6C39u);
    std::uniform_int_distribution<std::uint32_t> tiles(0, 4095);
    std::uniform_int_distribution<std::uint32_t> words(1, 16384);
    std::uniform_int_distribution<std::uint32_t> addresses(0, 0x20000);
    std::uniform_int_distribution<std::uint32_t> offsets(0, 0x07FFFFFF);
    for (int round = 0; round < 500; ++round) {
        const auto tile = static_cast<std::uint16_t>(tiles(random));
        const std::uint32_t tile_address = 0x60000 + 4 * addresses(random);
        const std::uint32_t host_offset = 4 * offsets(random);
        const std::uint32_t bytes = 4 * words(random);
        const auto chunks = value(plan_tile_to_host(tile, tile_address, host_offset, bytes));
        const TileToHostProgram program = value(assemble_tile_to_host_target_program(
            tile, tile_address, host_offset, bytes, 0x40000, 0x50000));
        const std::size_t n = chunks.size();
        const auto short_chunks = static_cast<std::size_t>(std::ranges::count_if(
            chunks, [](const HostTransferChunk& chunk) { return chunk.bytes / 4 < 18; }));
        ASSERT_EQ(program.instructions.size(), 2 + 2 * n + short_chunks + 3);
        ASSERT_EQ(program.packet_words.size(), 2 * n + 2);
        ASSERT_EQ(std::ranges::count_if(program.instructions, is_explicit_send),
                  static_cast<std::ptrdiff_t>(2 * n + 1));
        // Walk the chunks: header send, payload send, optional delay; together max(events, 18).
        std::size_t at = 2;
        for (std::uint32_t i = 0; i < n; ++i) {
            ASSERT_EQ(program.instructions[at], *instruction::encode_send(1, 3, (0x40000 + 8 * i) / 4));
            const std::uint32_t payload = program.instructions[at + 1];
            ASSERT_EQ(send_address(payload), chunks[i].tile_address);
            std::uint32_t cycles = send_words(payload);
            ASSERT_EQ(cycles, chunks[i].bytes / 4);
            at += 2;
            if (at < program.instructions.size() && is_delay(program.instructions[at])) {
                cycles += (program.instructions[at] & 0x7FFFF) + 1;
                ++at;
            }
            ASSERT_EQ(cycles, std::max(chunks[i].bytes / 4, 18u));
        }
        ASSERT_EQ(send_address(program.instructions[at]), 0x40000 + 8 * n);
    }
}

TEST(HostCommandRead, ReferenceWords) {
    EXPECT_EQ(value(assemble_host_command_read_program(0x50160, 0x50180, 0x1000)),
              (TileToHostProgram{{0x19800600, 0x438080A0, 0x4180000F, 0x19800001, 0x438080A6,
                                  0x782A02C3, 0x782A02D3, 0x41800000, 0x41800007, 0x19800640,
                                  0x438080A0, 0x41800003, 0x40A00048, 0x780A0303, 0x43A00000},
                                 {0x00000001, 0x00000000, 0xCC00020C, 0x00004001}}));
}

TEST(HostCompletion, AppendsSyncAndNeutralMultiplexer) {
    Words words{1};
    append_local_host_completion(words);
    EXPECT_EQ(words, (Words{1, 0x41800007, 0x19800640, 0x438080A0}));
}

TEST(HostWrap, ReferenceWords) {
    const TileToHostProgram xreq = value(assemble_host_xreq_program(260, 0x50120));
    EXPECT_EQ(value(wrap_host_xreq_operation(4, xreq.instructions)),
              (Words{0x19800604, 0x438080A0, 0x4180000F, 0x782A0243, 0x41800007, 0x19800640,
                     0x438080A0, 0x43A00000}));

    const TileToHostProgram target =
        value(assemble_host_to_tile_target_program(260, 0x50120, 64, 64, 0x50170));
    Words expected{0x19800604, 0x438080A0, 0x41800007};
    expected.insert(expected.end(), target.instructions.begin(), target.instructions.end() - 1);
    expected.insert(expected.end(), {0x41800007, 0x19800640, 0x438080A0, 0x43A00000});
    EXPECT_EQ(value(wrap_host_target_operation(260, target.instructions)), expected);
}

TEST(HostWrap, CombinedOperationSendsTheRequestAfterTheCountWrite) {
    const TileToHostProgram target =
        value(assemble_host_to_tile_target_program(0, 0x50120, 64, 64, 0x50168));
    const Words wrapped = value(wrap_combined_host_operation(0, target.instructions, 0x50160));
    EXPECT_EQ(wrapped, (Words{0x19800600, 0x438080A0, 0x4180000F, 0x19800010, 0x438080A6,
                              0x782A02C3, 0x782A02D3, 0x41800000, 0x41800007, 0x19800640,
                              0x438080A0, 0x43A00000}));
    EXPECT_EQ(send_address(wrapped[5]), 0x50160u);
    EXPECT_EQ(value(wrap_combined_host_operation(9, target.instructions, 0x50160)).front(),
              0x19800609u);
}

TEST(HostWrap, Errors) {
    const Words no_return{0x19800010, 0x438080A6, 0x41800000};
    const Words short_body{0x438080A6, 0x43A00000};
    const Words good{0x19800010, 0x438080A6, 0x43A00000};
    const ExchangeError host_return = ExchangeError::Schedule{"host target operation return"};
    const ExchangeError local_return = ExchangeError::Schedule{"local host operation return"};
    const ExchangeError local_prefix = ExchangeError::Schedule{"local host operation prefix"};

    const struct {
        const char* name;
        Result<Words> actual;
        ExchangeError expected;
    } cases[] = {
        {"xreq without return", wrap_host_xreq_operation(4, no_return), host_return},
        {"xreq empty", wrap_host_xreq_operation(4, {}), host_return},
        {"target without return", wrap_host_target_operation(4, no_return), host_return},
        {"target of tile 4096", wrap_host_target_operation(4096, good), HOST_PACKET},
        {"internal wrap without return", wrap_host_operation(4, no_return, 0x4180000F), host_return},
        {"combined without return", wrap_combined_host_operation(0, no_return, 0x50160), local_return},
        {"combined empty", wrap_combined_host_operation(0, {}, 0x50160), local_return},
        {"combined short body", wrap_combined_host_operation(0, short_body, 0x50160), local_prefix},
        {"combined misaligned xreq", wrap_combined_host_operation(0, good, 0x50164), local_prefix},
        {"combined tile 4096", wrap_combined_host_operation(4096, good, 0x50160), HOST_PACKET},
        {"combined xreq out of reach", wrap_combined_host_operation(0, good, 0x100000), SEND_OPERAND},
    };
    for (const auto& [name, actual, expected] : cases) {
        EXPECT_EQ(actual, fail(expected)) << name;
    }
    // The body of a two-word operation is kept as it is.
    EXPECT_EQ(value(wrap_combined_host_operation(0, good, 0x50160)),
              (Words{0x19800600, 0x438080A0, 0x4180000F, 0x19800010, 0x438080A6, 0x782A02C3,
                     0x41800007, 0x19800640, 0x438080A0, 0x43A00000}));
}

TEST(HostProgram, RejectedAssemblies) {
    const struct {
        const char* name;
        Result<TileToHostProgram> actual;
        ExchangeError expected;
    } cases[] = {
        {"xreq misaligned packet", assemble_host_xreq_program(260, 0x50164), HOST_PACKET},
        {"xreq packet out of reach", assemble_host_xreq_program(260, 0x100000), SEND_OPERAND},
        {"host-to-tile misaligned packet",
         assemble_host_to_tile_target_program(260, 0x50120, 64, 64, 0x50164), HOST_PACKET},
        {"host-to-tile planning", assemble_host_to_tile_target_program(260, 0x50124, 64, 64, 0x50160),
         HOST_PACKET},
        {"host-to-tile packet out of reach",
         assemble_host_to_tile_target_program(260, 0x50120, 64, 64, 0x100000), SEND_OPERAND},
        {"tile-to-host misaligned packet",
         assemble_tile_to_host_target_program(260, 0x50120, 64, 64, 0x50164, 0x50180), HOST_PACKET},
        {"tile-to-host planning",
         assemble_tile_to_host_target_program(260, 0x50120, 64, 0, 0x50160, 0x50180), HOST_PACKET},
        {"tile-to-host tile 4096",
         assemble_tile_to_host_target_program(4096, 0x50120, 64, 64, 0x50160, 0x50180), HOST_PACKET},
        {"tile-to-host close outside window",
         assemble_tile_to_host_target_program(260, 0x50120, 64, 64, 0x50160, 0x54000), HOST_PACKET},
        {"tile-to-host close address beyond 32 bits",
         assemble_tile_to_host_target_program(260, 0x50120, 64, 64, 0xFFFFFFF8, 0x50180), HOST_PACKET},
        {"tile-to-host payload out of reach",
         assemble_tile_to_host_target_program(260, 0x100000, 64, 64, 0x50160, 0x50180), SEND_OPERAND},
        {"command read misaligned packet", assemble_host_command_read_program(0x50164, 0x50180, 0),
         HOST_PACKET},
        {"command read destination", assemble_host_command_read_program(0x50160, 0x50184, 0),
         HOST_PACKET},
        {"command read offset", assemble_host_command_read_program(0x50160, 0x50180, 2), HOST_PACKET},
        {"command read packet out of reach",
         assemble_host_command_read_program(0xFFFF8, 0x50180, 0), SEND_OPERAND},
        {"command read packet beyond 32 bits",
         assemble_host_command_read_program(0xFFFFFFF8, 0x50180, 0), SEND_OPERAND},
    };
    for (const auto& [name, actual, expected] : cases) {
        EXPECT_EQ(actual, fail(expected)) << name;
    }
}

TEST(HostProgram, TileToHostInstructionsCheckTheirChunks) {
    const auto chunks = value(plan_tile_to_host(2, 0x50120, 64, 64));
    EXPECT_TRUE(tile_to_host_target_instructions(chunks, 0x50160, 0x50168).has_value());

    auto with = [&](auto change) {
        auto copy = chunks;
        change(copy.front());
        return copy;
    };
    const auto empty_chunk = with([](HostTransferChunk& c) { c.bytes = 0; });
    const auto partial_word = with([](HostTransferChunk& c) { c.bytes = 6; });
    const auto unaligned = with([](HostTransferChunk& c) { c.tile_address = 0x50122; });
    const auto too_long = with([](HostTransferChunk& c) { c.bytes = 260; });
    const std::vector<HostTransferChunk> none;
    const std::vector<HostTransferChunk> two(2, chunks.front());

    EXPECT_EQ(tile_to_host_target_instructions(none, 0x50160, 0x50168), fail(HOST_PACKET));
    EXPECT_EQ(tile_to_host_target_instructions(chunks, 0x50164, 0x50168), fail(HOST_PACKET));
    EXPECT_EQ(tile_to_host_target_instructions(empty_chunk, 0x50160, 0x50168), fail(HOST_PACKET));
    EXPECT_EQ(tile_to_host_target_instructions(partial_word, 0x50160, 0x50168), fail(HOST_PACKET));
    EXPECT_EQ(tile_to_host_target_instructions(unaligned, 0x50160, 0x50168), fail(HOST_PACKET));
    EXPECT_EQ(tile_to_host_target_instructions(chunks, 0x50160, 0x5016C), fail(HOST_PACKET));
    // The headers of two chunks from 0xFFFFFFF0 would end at 2^32.
    EXPECT_EQ(tile_to_host_target_instructions(two, 0xFFFFFFF0, 0x50168), fail(HOST_PACKET));
    // One header there still fits; the send operand check then speaks.
    EXPECT_EQ(tile_to_host_target_instructions(chunks, 0xFFFFFFF0, 0x50168), fail(SEND_OPERAND));
    EXPECT_EQ(tile_to_host_target_instructions(too_long, 0x50160, 0x50168), fail(SEND_OPERAND));
}

TEST(HostProgram, DebugForm) {
    EXPECT_EQ(to_string(TileToHostProgram{{1, 2}, {3}}),
              "TileToHostProgram { instructions: [1, 2], packet_words: [3] }");
}

} // namespace
} // namespace tarnwick::exchange
