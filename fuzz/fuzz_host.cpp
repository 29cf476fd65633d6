// Host exchange: the packet headers, `plan_host_to_tile` and `plan_tile_to_host`, every program
// assembler and every wrapper, on arbitrary tiles, addresses, offsets, byte counts, chunk lists
// and operations.
//
// Promises checked: a header carries exactly its tile, size class, offset, length and window
// address; a successful chunk list starts where the transfer starts, is contiguous on both sides,
// keeps every chunk inside one host page and within the direction's largest packet, sums to the
// transfer and carries each chunk's own header; the programs are made of exactly the sends,
// delays and syncs that their chunks call for, at the addresses they name, and end with
// RETURN_INSTRUCTION; every failure is HostPacket, or a Schedule error with its named message.

#include "fuzz_exchange.hpp"
#include "fuzz_input.hpp"

#include "tarnwick/exchange/host_packet.hpp"
#include "tarnwick/exchange/host_plan.hpp"
#include "tarnwick/exchange/host_program.hpp"
#include "tarnwick/instruction.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using namespace tarnwick;
using namespace tarnwick::fuzz;
using exchange::HostPacketHeader;
using exchange::HostPacketSize;
using exchange::HostTransferChunk;
using instruction::RETURN_INSTRUCTION;

constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t SYNC_ZONE0 = 0x41800000;

bool is_host_packet(const ExchangeError& error) { return error.is<ExchangeError::HostPacket>(); }

std::uint16_t physical_tile(FuzzInput& in) {
    switch (in.in_range(0, 3)) {
    case 0: return in.pick<std::uint16_t>({0, 2, 9, 31, 63, 260, 1409, 1471, 2047, 2048, 4095, 4096});
    case 1: return in.in_range<std::uint16_t>(0, 1791);
    case 2: return in.in_range<std::uint16_t>(0, 4095);
    default: return in.integral<std::uint16_t>();
    }
}

std::uint32_t tile_address(FuzzInput& in) {
    switch (in.in_range(0, 3)) {
    case 0: return in.in_range<std::uint32_t>(0x50000, 0x54000) & ~31u;
    case 1: return in.in_range<std::uint32_t>(0x4FF00, 0x54100) & ~3u;
    case 2: return in.in_range<std::uint32_t>(0, 0x100000) & ~3u;
    default: return in.integral<std::uint32_t>();
    }
}

std::uint32_t host_offset(FuzzInput& in) {
    switch (in.in_range(0, 3)) {
    case 0: return in.in_range<std::uint32_t>(0, 0x3000) & ~3u;
    case 1: {
        const std::uint32_t page_end = 0x1000u * in.in_range<std::uint32_t>(1, 4);
        return page_end - (in.in_range<std::uint32_t>(0, 80) & ~3u);
    }
    case 2: return 0x20000000u - (in.in_range<std::uint32_t>(0, 40) & ~3u);
    default: return in.chance(50) ? UINT32_MAX - in.in_range<std::uint32_t>(0, 5000) : in.integral<std::uint32_t>();
    }
}

std::uint32_t byte_count(FuzzInput& in) {
    switch (in.in_range(0, 3)) {
    case 0: return in.in_range<std::uint32_t>(0, 128);
    case 1: return in.in_range<std::uint32_t>(0, 5000) & ~3u;
    case 2: return in.in_range<std::uint32_t>(0, 70000);
    default: return in.in_range<std::uint32_t>(0, 1u << 20);
    }
}

std::uint32_t packet_address(FuzzInput& in) {
    switch (in.in_range(0, 3)) {
    case 0: return in.in_range<std::uint32_t>(0x50000, 0x54000) & ~7u;
    case 1: return in.in_range<std::uint32_t>(0xFFF00, 0x100100) & ~3u;
    case 2: return UINT32_MAX - in.in_range<std::uint32_t>(0, 64);
    default: return in.integral<std::uint32_t>();
    }
}

std::uint32_t send(std::uint32_t count_minus_one, std::uint32_t base_word) {
    return instruction::SEND_OPCODE | count_minus_one << 21 | base_word << 3 | 3u;
}

// The header's fields read back: offset and byte count from word1, tile from the route parts.
void check_header_fields(const HostPacketHeader& header, std::uint16_t tile, std::uint32_t offset,
                         std::uint32_t bytes) {
    const auto size = exchange::host_packet_size(offset, bytes);
    TARNWICK_FUZZ_CHECK(size.has_value());
    const unsigned shift = *size == HostPacketSize::Long ? 6 : 2;
    const std::uint32_t length = header.word1 & 0xF;
    const std::uint32_t units = length == 0 && *size == HostPacketSize::Long ? 16 : length;
    TARNWICK_FUZZ_CHECK(units << shift == bytes);
    TARNWICK_FUZZ_CHECK(((header.word1 & 0x7FFFFFFFu) >> 4) << shift == offset);
    TARNWICK_FUZZ_CHECK(header.word1 >> 31 == (tile & 1u));
    TARNWICK_FUZZ_CHECK(((header.word0 >> 15) & 0x7FFu) == (tile & 0x7FFu));
    TARNWICK_FUZZ_CHECK(((header.word0 >> 29) & 1u) == (*size == HostPacketSize::Long ? 1u : 0u));
    const auto address_length = exchange::host_address_length(offset, bytes, *size);
    TARNWICK_FUZZ_CHECK(address_length && *address_length == (header.word1 & 0x7FFFFFFFu));
}

void fuzz_headers(FuzzInput& in) {
    const std::uint16_t tile = physical_tile(in);
    const std::uint32_t address = tile_address(in);
    const std::uint32_t offset = host_offset(in);
    const std::uint32_t bytes = byte_count(in);
    const bool valid_tile = tile <= exchange::HOST_MAX_PHYSICAL_TILE;
    const bool in_window = address >= 0x50000 && address < 0x54000 && address % 32 == 0;

    const auto size = exchange::host_packet_size(offset, bytes);
    const auto out = exchange::tile_to_host_packet(tile, offset, bytes);
    const auto into = exchange::host_to_tile_packet(tile, address, offset, bytes);
    TARNWICK_FUZZ_CHECK(out || is_host_packet(out.error()));
    TARNWICK_FUZZ_CHECK(into || is_host_packet(into.error()));
    if (!valid_tile || !size) {
        TARNWICK_FUZZ_CHECK(!out && !into);
    }
    if (!in_window) {
        TARNWICK_FUZZ_CHECK(!into);
    }
    if (out) {
        check_header_fields(*out, tile, offset, bytes);
        TARNWICK_FUZZ_CHECK((out->word0 & ~(0xFFFu << 15) & ~(1u << 29)) == 0x80000000u);
        TARNWICK_FUZZ_CHECK(((out->word0 >> 15) & 0xFFFu) == tile);
    }
    if (into) {
        TARNWICK_FUZZ_NOTE("host-to-tile header");
        check_header_fields(*into, tile, offset, bytes);
        TARNWICK_FUZZ_CHECK((into->word0 & 0x1FFu) == (address - 0x50000) / 32);
        TARNWICK_FUZZ_CHECK((into->word0 & 0xCC000200u) == 0xCC000200u);
        TARNWICK_FUZZ_CHECK((into->word0 & 0x10007C00u) == 0);
        TARNWICK_FUZZ_CHECK(out.has_value());
    }

    const auto zero = exchange::zero_byte_read_packet(tile, address);
    TARNWICK_FUZZ_CHECK(zero.has_value() == (valid_tile && in_window));
    if (zero) {
        TARNWICK_FUZZ_CHECK(zero->word1 == (std::uint32_t{tile} & 1u) << 31);
        TARNWICK_FUZZ_CHECK(zero->word0 == (0xCC000200u | exchange::host_route_word0(tile) | (address - 0x50000) / 32));
    }
    const auto mux = exchange::host_mux_for_tile(tile);
    const auto hierarchy = exchange::host_hierarchy(tile);
    TARNWICK_FUZZ_CHECK(mux.has_value() == valid_tile && hierarchy.has_value() == valid_tile);
    if (mux) {
        TARNWICK_FUZZ_CHECK(*mux >= 0x600 && *mux <= 0x63D);
        TARNWICK_FUZZ_CHECK(hierarchy->target_physical_tile == tile);
        TARNWICK_FUZZ_CHECK(*mux == 0x600u + hierarchy->xreq_physical_tile);
    }
    for (const HostPacketSize kind : {HostPacketSize::Short, HostPacketSize::Long}) {
        const auto address_length = exchange::host_address_length(offset, bytes, kind);
        TARNWICK_FUZZ_CHECK(!address_length || *address_length <= 0x7FFFFFFFu);
        if (!address_length) {
            TARNWICK_FUZZ_CHECK(is_host_packet(address_length.error()));
        }
    }
}

// A chunk list: contiguous from its start, within pages and the largest packet, summing to the
// transfer, each chunk with its own header.
void check_plan(const Result<std::vector<HostTransferChunk>>& plan, std::uint16_t tile,
                std::uint32_t address, std::uint32_t offset, std::uint32_t bytes, bool to_tile) {
    if (!plan) {
        TARNWICK_FUZZ_CHECK(is_host_packet(plan.error()));
        return;
    }
    TARNWICK_FUZZ_NOTE(to_tile ? "planned host to tile" : "planned tile to host");
    TARNWICK_FUZZ_CHECK(!plan->empty());
    const std::uint32_t largest = to_tile ? exchange::HOST_TO_TILE_MAX_BYTES : exchange::TILE_TO_HOST_MAX_BYTES;
    std::uint64_t next_address = address;
    std::uint64_t next_offset = offset;
    std::uint64_t total = 0;
    for (const HostTransferChunk& chunk : *plan) {
        TARNWICK_FUZZ_CHECK(chunk.tile_address == next_address);
        TARNWICK_FUZZ_CHECK(chunk.host_offset == next_offset);
        TARNWICK_FUZZ_CHECK(chunk.bytes >= 4 && chunk.bytes <= largest && chunk.bytes % 4 == 0);
        TARNWICK_FUZZ_CHECK((chunk.host_offset % exchange::HOST_PAGE_BYTES) + chunk.bytes <=
                            exchange::HOST_PAGE_BYTES);
        const auto header = to_tile
                                ? exchange::host_to_tile_packet(tile, chunk.tile_address, chunk.host_offset, chunk.bytes)
                                : exchange::tile_to_host_packet(tile, chunk.host_offset, chunk.bytes);
        TARNWICK_FUZZ_CHECK(header && *header == chunk.header);
        next_address += chunk.bytes;
        next_offset += chunk.bytes;
        total += chunk.bytes;
    }
    TARNWICK_FUZZ_CHECK(total == bytes);
    TARNWICK_FUZZ_CHECK(next_address <= U32_MAX + 1 && next_offset <= U32_MAX + 1);
}

// The instructions of a tile-to-host target program for `chunks`: the count register, then per
// chunk its header send, its payload send and the delay that fills 18 cycles, then the closing
// send, sync zone 0 and the return.
void check_tile_to_host_instructions(const std::vector<std::uint32_t>& words,
                                     std::span<const HostTransferChunk> chunks,
                                     std::uint32_t packet, std::uint32_t close) {
    std::vector<std::uint32_t> expected = {instruction::setzi_m(8, 1), instruction::put_special_from_m8(0xA6)};
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const std::uint64_t header_address = std::uint64_t{packet} + 8 * i;
        TARNWICK_FUZZ_CHECK(header_address / 4 <= 0x3FFFF);
        expected.push_back(send(1, static_cast<std::uint32_t>(header_address / 4)));
        const std::uint32_t events = chunks[i].bytes / 4;
        TARNWICK_FUZZ_CHECK(events >= 1 && events <= 64 && chunks[i].tile_address % 4 == 0);
        expected.push_back(send(events - 1, chunks[i].tile_address / 4));
        if (events < 18) {
            expected.push_back(instruction::delay(18 - events - 1));
        }
    }
    expected.push_back(send(1, close / 4));
    expected.push_back(SYNC_ZONE0);
    expected.push_back(RETURN_INSTRUCTION);
    TARNWICK_FUZZ_CHECK(words == expected);
}

void fuzz_programs(FuzzInput& in) {
    const std::uint16_t tile = physical_tile(in);
    const std::uint32_t address = tile_address(in);
    const std::uint32_t offset = host_offset(in);
    const std::uint32_t bytes = byte_count(in);
    const std::uint32_t packet = packet_address(in);

    const auto into_plan = exchange::plan_host_to_tile(tile, address, offset, bytes);
    check_plan(into_plan, tile, address, offset, bytes, true);
    const auto out_plan = exchange::plan_tile_to_host(tile, address, offset, bytes);
    check_plan(out_plan, tile, address, offset, bytes, false);

    switch (in.in_range(0, 5)) {
    case 0: {
        const auto program = exchange::assemble_host_to_tile_target_program(tile, address, offset, bytes, packet);
        if (!program) {
            TARNWICK_FUZZ_CHECK(is_host_packet(program.error()) ||
                                is_schedule(program.error(), "send instruction operand"));
            return;
        }
        TARNWICK_FUZZ_NOTE("host-to-tile program");
        TARNWICK_FUZZ_CHECK(into_plan.has_value() && packet % 8 == 0);
        const auto& chunks = *into_plan;
        std::vector<std::uint32_t> expected = {instruction::setzi_m(8, bytes / 4),
                                               instruction::put_special_from_m8(0xA6), send(1, packet / 4)};
        for (std::size_t i = 1; i < chunks.size(); ++i) {
            expected.push_back(instruction::send_off(1, 3, 0));
        }
        expected.push_back(SYNC_ZONE0);
        expected.push_back(RETURN_INSTRUCTION);
        TARNWICK_FUZZ_CHECK(program->instructions == expected);
        TARNWICK_FUZZ_CHECK(program->packet_words.size() == 2 * chunks.size());
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const bool last = i + 1 == chunks.size();
            TARNWICK_FUZZ_CHECK(program->packet_words[2 * i] ==
                                (last ? chunks[i].header.word0
                                      : chunks[i].header.word0 & ~exchange::HOST_TO_TILE_STREAM_END_BITS));
            TARNWICK_FUZZ_CHECK(program->packet_words[2 * i + 1] == chunks[i].header.word1);
            // Clearing the stream-end bits leaves the route naming the same tile.
            if (!last) {
                TARNWICK_FUZZ_CHECK(((program->packet_words[2 * i] >> 15) & 0xFFFu) == tile);
            }
        }
        return;
    }
    case 1: {
        const std::uint32_t command = tile_address(in);
        const auto program =
            exchange::assemble_tile_to_host_target_program(tile, address, offset, bytes, packet, command);
        if (!program) {
            TARNWICK_FUZZ_CHECK(is_host_packet(program.error()) ||
                                is_schedule(program.error(), "send instruction operand"));
            return;
        }
        TARNWICK_FUZZ_NOTE("tile-to-host program");
        TARNWICK_FUZZ_CHECK(out_plan.has_value() && packet % 8 == 0);
        const auto& chunks = *out_plan;
        const std::uint64_t close = std::uint64_t{packet} + 8 * chunks.size();
        TARNWICK_FUZZ_CHECK(close <= U32_MAX);
        check_tile_to_host_instructions(program->instructions, chunks, packet, static_cast<std::uint32_t>(close));
        const auto closing = exchange::zero_byte_read_packet(tile, command);
        TARNWICK_FUZZ_CHECK(closing.has_value());
        TARNWICK_FUZZ_CHECK(program->packet_words.size() == 2 * chunks.size() + 2);
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            TARNWICK_FUZZ_CHECK(program->packet_words[2 * i] == chunks[i].header.word0);
            TARNWICK_FUZZ_CHECK(program->packet_words[2 * i + 1] == chunks[i].header.word1);
        }
        TARNWICK_FUZZ_CHECK(program->packet_words[2 * chunks.size()] == closing->word0);
        TARNWICK_FUZZ_CHECK(program->packet_words[2 * chunks.size() + 1] == closing->word1);
        return;
    }
    case 2: {
        // Arbitrary chunk lists, as a caller might hand them over.
        std::vector<HostTransferChunk> chunks;
        if (out_plan && in.chance(50)) {
            chunks = *out_plan;
        }
        const std::size_t extra = in.in_range<std::size_t>(0, 4);
        for (std::size_t i = 0; i < extra; ++i) {
            chunks.push_back(HostTransferChunk{tile_address(in), host_offset(in), byte_count(in) % 300, {}});
        }
        const std::uint32_t close = packet_address(in);
        const auto words = exchange::tile_to_host_target_instructions(chunks, packet, close);
        if (!words) {
            TARNWICK_FUZZ_CHECK(is_host_packet(words.error()) ||
                                is_schedule(words.error(), "send instruction operand"));
            return;
        }
        TARNWICK_FUZZ_NOTE("tile-to-host instructions");
        check_tile_to_host_instructions(*words, chunks, packet, close);
        return;
    }
    case 3: {
        std::vector<std::uint16_t> targets;
        const std::size_t count = in.in_range<std::size_t>(0, 5);
        for (std::size_t i = 0; i < count; ++i) {
            targets.push_back(physical_tile(in));
        }
        const auto program = exchange::assemble_host_xreq_program_for_targets(targets, packet);
        if (!program) {
            TARNWICK_FUZZ_CHECK(is_host_packet(program.error()) ||
                                is_schedule(program.error(), "send instruction operand"));
            return;
        }
        TARNWICK_FUZZ_NOTE("xreq program");
        TARNWICK_FUZZ_CHECK(!targets.empty() && packet % 8 == 0);
        TARNWICK_FUZZ_CHECK((program->instructions == std::vector<std::uint32_t>{send(1, packet / 4), RETURN_INSTRUCTION}));
        TARNWICK_FUZZ_CHECK(program->packet_words.size() == 2);
        TARNWICK_FUZZ_CHECK((program->packet_words[0] & 0xFF000000u) == 0);
        // The request of several targets is the union of their single requests.
        std::uint32_t first = 0;
        std::uint32_t second = 0;
        for (const std::uint16_t target : targets) {
            const auto single = exchange::assemble_host_xreq_program(target, packet);
            TARNWICK_FUZZ_CHECK(single.has_value() && single->instructions == program->instructions);
            TARNWICK_FUZZ_CHECK(std::popcount(single->packet_words[0]) + std::popcount(single->packet_words[1]) == 1);
            first |= single->packet_words[0];
            second |= single->packet_words[1];
        }
        TARNWICK_FUZZ_CHECK(program->packet_words[0] == first && program->packet_words[1] == second);
        return;
    }
    case 4: {
        const std::uint32_t destination = tile_address(in);
        const auto program = exchange::assemble_host_command_read_program(packet, destination, offset);
        if (!program) {
            TARNWICK_FUZZ_CHECK(is_host_packet(program.error()) ||
                                is_schedule(program.error(), "send instruction operand"));
            return;
        }
        const auto request = exchange::host_to_tile_packet(0, destination, offset, 4);
        TARNWICK_FUZZ_NOTE("command read program");
        TARNWICK_FUZZ_CHECK(request.has_value() && packet % 8 == 0);
        TARNWICK_FUZZ_CHECK((program->packet_words == std::vector<std::uint32_t>{1, 0, request->word0, request->word1}));
        TARNWICK_FUZZ_CHECK(program->instructions.size() == 15);
        TARNWICK_FUZZ_CHECK(program->instructions[5] == send(1, packet / 4));
        TARNWICK_FUZZ_CHECK(program->instructions[6] == send(1, (packet + 8) / 4));
        TARNWICK_FUZZ_CHECK(program->instructions[13] == send(0, destination / 4));
        TARNWICK_FUZZ_CHECK(program->instructions.back() == RETURN_INSTRUCTION);
        return;
    }
    default: {
        // The wrappers, on any operation.
        std::vector<std::uint32_t> operation = exchange_words(in, 8);
        if (in.chance(80)) {
            operation.push_back(RETURN_INSTRUCTION);
        }
        const auto mux = exchange::host_mux_for_tile(tile);
        const bool returns = !operation.empty() && operation.back() == RETURN_INSTRUCTION;
        const std::vector<std::uint32_t> body(operation.begin(), operation.end() - (returns ? 1 : 0));
        const std::vector<std::uint32_t> completion = {instruction::SYNC_ALL_INSTRUCTION,
                                                       instruction::setzi_m(8, 0x640),
                                                       instruction::put_special_from_m8(0xA0), RETURN_INSTRUCTION};
        const auto expect_wrapped = [&](const Result<std::vector<std::uint32_t>>& wrapped, std::uint32_t sync,
                                        std::string_view return_message) {
            if (!returns) {
                TARNWICK_FUZZ_CHECK(!wrapped && is_schedule(wrapped.error(), return_message));
                return false;
            }
            if (!mux) {
                TARNWICK_FUZZ_CHECK(!wrapped && is_host_packet(wrapped.error()));
                return false;
            }
            if (!wrapped) {
                return false;
            }
            TARNWICK_FUZZ_CHECK(wrapped->size() >= 7);
            TARNWICK_FUZZ_CHECK((*wrapped)[0] == instruction::setzi_m(8, *mux));
            TARNWICK_FUZZ_CHECK((*wrapped)[1] == instruction::put_special_from_m8(0xA0));
            TARNWICK_FUZZ_CHECK((*wrapped)[2] == sync);
            TARNWICK_FUZZ_CHECK(std::equal(completion.begin(), completion.end(), wrapped->end() - 4));
            return true;
        };
        for (const bool xreq : {true, false}) {
            const auto wrapped = xreq ? exchange::wrap_host_xreq_operation(tile, operation)
                                      : exchange::wrap_host_target_operation(tile, operation);
            const bool ok = expect_wrapped(wrapped, xreq ? instruction::SYNC_HOST_INSTRUCTION
                                                         : instruction::SYNC_ALL_INSTRUCTION,
                                           "host target operation return");
            TARNWICK_FUZZ_CHECK(ok == (returns && mux.has_value()));
            if (ok) {
                TARNWICK_FUZZ_NOTE("wrapped");
                TARNWICK_FUZZ_CHECK(wrapped->size() == body.size() + 7);
                TARNWICK_FUZZ_CHECK(std::equal(body.begin(), body.end(), wrapped->begin() + 3));
            }
        }
        const std::uint32_t xreq_packet = packet_address(in);
        const auto combined = exchange::wrap_combined_host_operation(tile, operation, xreq_packet);
        if (returns && (body.size() < 2 || xreq_packet % 8 != 0)) {
            TARNWICK_FUZZ_CHECK(!combined && is_schedule(combined.error(), "local host operation prefix"));
        } else if (expect_wrapped(combined, instruction::SYNC_HOST_INSTRUCTION, "local host operation return")) {
            TARNWICK_FUZZ_NOTE("combined wrap");
            TARNWICK_FUZZ_CHECK(combined->size() == body.size() + 8);
            TARNWICK_FUZZ_CHECK(std::equal(body.begin(), body.begin() + 2, combined->begin() + 3));
            TARNWICK_FUZZ_CHECK((*combined)[5] == send(1, xreq_packet / 4));
            TARNWICK_FUZZ_CHECK(std::equal(body.begin() + 2, body.end(), combined->begin() + 6));
        } else if (returns && mux && !combined) {
            TARNWICK_FUZZ_CHECK(is_schedule(combined.error(), "send instruction operand"));
        }
        std::vector<std::uint32_t> completed = operation;
        exchange::append_local_host_completion(completed);
        TARNWICK_FUZZ_CHECK(completed.size() == operation.size() + 3);
        TARNWICK_FUZZ_CHECK(std::equal(completion.begin(), completion.end() - 1, completed.end() - 3));
        return;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    if (in.chance(25)) {
        fuzz_headers(in);
    } else {
        fuzz_programs(in);
    }
    return 0;
}
