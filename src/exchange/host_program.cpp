#include "tarnwick/exchange/host_program.hpp"

#include "exchange/host_wrap.hpp"
#include "tarnwick/debug.hpp"
#include "tarnwick/exchange/host_packet.hpp"
#include "tarnwick/exchange/host_plan.hpp"
#include "tarnwick/instruction.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <ostream>

namespace tarnwick::exchange {

namespace {

using instruction::delay;
using instruction::encode_send;
using instruction::put_special_from_m8;
using instruction::RETURN_INSTRUCTION;
using instruction::send_off;
using instruction::setzi_m;
using instruction::SYNC_ALL_INSTRUCTION;
using instruction::SYNC_EXCHANGE_INSTRUCTION;
using instruction::SYNC_HOST_INSTRUCTION;
using instruction::TILE_MUX_EXCHANGE;

constexpr std::uint8_t M8 = 8;
// Cycles that the command read waits (minus one) between its exchange sync and its reply send.
constexpr std::uint32_t COMMAND_READ_REPLY_DELAY = 72;

[[nodiscard]] constexpr bool is_packet_address(std::uint32_t address) noexcept {
    return address % HOST_PACKET_ALIGNMENT == 0;
}

// A send of the two header words stored at `packet_address`.
[[nodiscard]] constexpr Result<std::uint32_t> header_send(std::uint32_t packet_address) noexcept {
    return encode_send(1, HOST_SEND_DIRECTION, packet_address / 4);
}

// Writes the special register `special` from m8 loaded with `value`.
void set_special(std::vector<std::uint32_t>& words, std::uint8_t special, std::uint32_t value) {
    words.push_back(setzi_m(M8, value));
    words.push_back(put_special_from_m8(special));
}

// The multiplexer prologue and completion that every wrapper puts around a body; `middle` emits
// what goes between the entry words and the completion.
template <class Middle>
[[nodiscard]] Result<std::vector<std::uint32_t>> wrap_with_host_mux(std::uint16_t physical_tile,
                                                                    std::uint32_t entry_sync,
                                                                    const Middle& middle) {
    const auto mux = host_mux_for_tile(physical_tile);
    if (!mux) {
        return fail(mux.error());
    }
    std::vector<std::uint32_t> words;
    set_special(words, HOST_INCOMING_MUX_SPECIAL, *mux);
    words.push_back(entry_sync);
    if (auto status = middle(words); !status) {
        return fail(status.error());
    }
    append_local_host_completion(words);
    words.push_back(RETURN_INSTRUCTION);
    return words;
}

} // namespace

Result<TileToHostProgram> assemble_host_xreq_program(std::uint16_t target_physical_tile,
                                                     std::uint32_t packet_address) {
    const std::array<std::uint16_t, 1> targets{target_physical_tile};
    return assemble_host_xreq_program_for_targets(targets, packet_address);
}

Result<TileToHostProgram>
assemble_host_xreq_program_for_targets(std::span<const std::uint16_t> target_physical_tiles,
                                       std::uint32_t packet_address) {
    if (target_physical_tiles.empty() || !is_packet_address(packet_address)) {
        return fail(ExchangeError::HostPacket{});
    }
    std::array<std::uint32_t, 2> bitmap{};
    for (const std::uint16_t target : target_physical_tiles) {
        if (auto valid = validate_host_tile(target); !valid) {
            return fail(valid.error());
        }
        const std::uint32_t index = host_xreq_bitmap_index(target);
        // The request has no position beyond 55; dropping the target would leave it unserved.
        if (index > HOST_XREQ_MAX_BITMAP_INDEX) {
            return fail(ExchangeError::HostPacket{});
        }
        if (index < HOST_XREQ_FIRST_WORD_POSITIONS) {
            bitmap[0] |= 1u << index;
        } else {
            bitmap[1] |= 1u << (index - HOST_XREQ_FIRST_WORD_POSITIONS);
        }
    }
    const auto send = header_send(packet_address);
    if (!send) {
        return fail(send.error());
    }
    return TileToHostProgram{{*send, RETURN_INSTRUCTION}, {bitmap[0], bitmap[1]}};
}

Result<TileToHostProgram> assemble_host_to_tile_target_program(std::uint16_t physical_tile,
                                                               std::uint32_t tile_address,
                                                               std::uint32_t host_offset,
                                                               std::uint32_t bytes,
                                                               std::uint32_t packet_address) {
    const auto chunks = plan_host_to_tile(physical_tile, tile_address, host_offset, bytes);
    if (!chunks) {
        return fail(chunks.error());
    }
    if (!is_packet_address(packet_address)) {
        return fail(ExchangeError::HostPacket{});
    }
    // Bit 26 of a host-to-tile word0 is both a stream-end bit and tile bit 11 of the route.
    // Clearing the stream-end bits of a tile with bit 11 set would send the headers to another
    // tile, so such a tile cannot take a stream of several packets.
    if (chunks->size() > 1 && (host_route_word0(physical_tile) & HOST_TO_TILE_STREAM_END_BITS) != 0) {
        return fail(ExchangeError::HostPacket{});
    }
    const auto first_send = header_send(packet_address);
    if (!first_send) {
        return fail(first_send.error());
    }

    TileToHostProgram program;
    program.instructions.reserve(chunks->size() + 5);
    // Planning keeps every chunk start inside the 16 KiB window and each chunk at most 1024
    // bytes, so the word count stays far below the 20-bit setzi immediate.
    set_special(program.instructions, HOST_INCOMING_DCOUNT_SPECIAL, bytes / 4);
    program.instructions.push_back(*first_send);
    for (std::size_t i = 1; i < chunks->size(); ++i) {
        program.instructions.push_back(send_off(1, HOST_SEND_DIRECTION, 0));
    }
    program.instructions.push_back(HOST_SYNC_ZONE0_INSTRUCTION);
    program.instructions.push_back(RETURN_INSTRUCTION);

    program.packet_words.reserve(2 * chunks->size());
    for (std::size_t i = 0; i < chunks->size(); ++i) {
        const HostPacketHeader& header = (*chunks)[i].header;
        const bool last = i + 1 == chunks->size();
        program.packet_words.push_back(last ? header.word0
                                            : header.word0 & ~HOST_TO_TILE_STREAM_END_BITS);
        program.packet_words.push_back(header.word1);
    }
    return program;
}

Result<TileToHostProgram> assemble_tile_to_host_target_program(std::uint16_t physical_tile,
                                                               std::uint32_t tile_address,
                                                               std::uint32_t host_offset,
                                                               std::uint32_t bytes,
                                                               std::uint32_t packet_address,
                                                               std::uint32_t command_address) {
    const auto chunks = plan_tile_to_host(physical_tile, tile_address, host_offset, bytes);
    if (!chunks) {
        return fail(chunks.error());
    }
    if (!is_packet_address(packet_address)) {
        return fail(ExchangeError::HostPacket{});
    }
    TileToHostProgram program;
    program.packet_words.reserve(2 * chunks->size() + 2);
    for (const HostTransferChunk& chunk : *chunks) {
        program.packet_words.push_back(chunk.header.word0);
        program.packet_words.push_back(chunk.header.word1);
    }
    const std::uint64_t close_address =
        std::uint64_t{packet_address} + 4 * std::uint64_t{program.packet_words.size()};
    if (close_address > std::numeric_limits<std::uint32_t>::max()) {
        return fail(ExchangeError::HostPacket{});
    }
    const auto close = zero_byte_read_packet(physical_tile, command_address);
    if (!close) {
        return fail(close.error());
    }
    program.packet_words.push_back(close->word0);
    program.packet_words.push_back(close->word1);
    auto instructions = tile_to_host_target_instructions(*chunks, packet_address,
                                                         static_cast<std::uint32_t>(close_address));
    if (!instructions) {
        return fail(instructions.error());
    }
    program.instructions = std::move(*instructions);
    return program;
}

Result<std::vector<std::uint32_t>>
tile_to_host_target_instructions(std::span<const HostTransferChunk> chunks,
                                 std::uint32_t packet_address, std::uint32_t close_address) {
    if (chunks.empty() || !is_packet_address(packet_address)) {
        return fail(ExchangeError::HostPacket{});
    }
    // Checked here rather than trusted: a chunk without a whole word, or a payload or packet
    // address that is not word aligned, would be sent from a truncated address; the headers must
    // fit below 2^32 and the closing packet must be a packet address too.
    for (const HostTransferChunk& chunk : chunks) {
        if (chunk.bytes < 4 || chunk.bytes % 4 != 0 || chunk.tile_address % 4 != 0) {
            return fail(ExchangeError::HostPacket{});
        }
    }
    if (chunks.size() > (std::uint64_t{std::numeric_limits<std::uint32_t>::max()} - packet_address) /
                            HOST_PACKET_ALIGNMENT ||
        !is_packet_address(close_address)) {
        return fail(ExchangeError::HostPacket{});
    }

    std::vector<std::uint32_t> words;
    words.reserve(3 * chunks.size() + 5);
    set_special(words, HOST_INCOMING_DCOUNT_SPECIAL, 1);
    std::uint32_t header_address = packet_address;
    for (const HostTransferChunk& chunk : chunks) {
        const auto header = header_send(header_address);
        if (!header) {
            return fail(header.error());
        }
        const std::uint32_t payload_events = chunk.bytes / 4;
        const auto payload = encode_send(payload_events - 1, HOST_SEND_DIRECTION, chunk.tile_address / 4);
        if (!payload) {
            return fail(payload.error());
        }
        words.push_back(*header);
        words.push_back(*payload);
        if (payload_events < TILE_TO_HOST_MIN_PAYLOAD_CYCLES) {
            words.push_back(delay(TILE_TO_HOST_MIN_PAYLOAD_CYCLES - payload_events - 1));
        }
        // Cannot wrap: the header area was checked to end at or below 2^32 above.
        header_address += HOST_PACKET_ALIGNMENT;
    }
    const auto close = header_send(close_address);
    if (!close) {
        return fail(close.error());
    }
    words.push_back(*close);
    words.push_back(HOST_SYNC_ZONE0_INSTRUCTION);
    words.push_back(RETURN_INSTRUCTION);
    return words;
}

Result<TileToHostProgram> assemble_host_command_read_program(std::uint32_t packet_address,
                                                             std::uint32_t destination_address,
                                                             std::uint32_t host_offset) {
    if (!is_packet_address(packet_address)) {
        return fail(ExchangeError::HostPacket{});
    }
    const auto request = host_to_tile_packet(0, destination_address, host_offset, 4);
    if (!request) {
        return fail(request.error());
    }
    const auto xreq_send = header_send(packet_address);
    if (!xreq_send) {
        return fail(xreq_send.error());
    }
    if (packet_address > std::numeric_limits<std::uint32_t>::max() - HOST_PACKET_ALIGNMENT) {
        return fail(ExchangeError::HostPacket{});
    }
    const auto request_send = header_send(packet_address + HOST_PACKET_ALIGNMENT);
    if (!request_send) {
        return fail(request_send.error());
    }
    const auto reply_send = encode_send(0, HOST_SEND_DIRECTION, destination_address / 4);
    if (!reply_send) {
        return fail(reply_send.error());
    }
    const auto tile0_mux = host_mux_for_tile(0);
    if (!tile0_mux) {
        return fail(tile0_mux.error());
    }

    TileToHostProgram program;
    set_special(program.instructions, HOST_INCOMING_MUX_SPECIAL, *tile0_mux);
    program.instructions.push_back(SYNC_HOST_INSTRUCTION);
    set_special(program.instructions, HOST_INCOMING_DCOUNT_SPECIAL, 1);
    program.instructions.push_back(*xreq_send);
    program.instructions.push_back(*request_send);
    program.instructions.push_back(HOST_SYNC_ZONE0_INSTRUCTION);
    append_local_host_completion(program.instructions);
    program.instructions.push_back(SYNC_EXCHANGE_INSTRUCTION);
    program.instructions.push_back(delay(COMMAND_READ_REPLY_DELAY));
    program.instructions.push_back(*reply_send);
    program.instructions.push_back(RETURN_INSTRUCTION);

    // The exchange request of tile 0 (bitmap position 0), then the request header.
    program.packet_words = {1u << host_xreq_bitmap_index(0), 0, request->word0, request->word1};
    return program;
}

void append_local_host_completion(std::vector<std::uint32_t>& instructions) {
    instructions.push_back(SYNC_ALL_INSTRUCTION);
    set_special(instructions, HOST_INCOMING_MUX_SPECIAL, TILE_MUX_EXCHANGE);
}

Result<std::vector<std::uint32_t>> wrap_host_operation(std::uint16_t physical_tile,
                                                       std::span<const std::uint32_t> operation,
                                                       std::uint32_t entry_sync) {
    if (operation.empty() || operation.back() != RETURN_INSTRUCTION) {
        return schedule_error("host target operation return");
    }
    const auto body = operation.first(operation.size() - 1);
    return wrap_with_host_mux(physical_tile, entry_sync, [body](std::vector<std::uint32_t>& words) {
        words.insert(words.end(), body.begin(), body.end());
        return Status{};
    });
}

Result<std::vector<std::uint32_t>> wrap_host_xreq_operation(std::uint16_t physical_tile,
                                                            std::span<const std::uint32_t> operation) {
    return wrap_host_operation(physical_tile, operation, SYNC_HOST_INSTRUCTION);
}

Result<std::vector<std::uint32_t>>
wrap_host_target_operation(std::uint16_t physical_tile, std::span<const std::uint32_t> operation) {
    return wrap_host_operation(physical_tile, operation, SYNC_ALL_INSTRUCTION);
}

Result<std::vector<std::uint32_t>>
wrap_combined_host_operation(std::uint16_t physical_tile, std::span<const std::uint32_t> operation,
                             std::uint32_t xreq_packet_address) {
    if (operation.empty() || operation.back() != RETURN_INSTRUCTION) {
        return schedule_error("local host operation return");
    }
    const auto body = operation.first(operation.size() - 1);
    if (body.size() < 2 || !is_packet_address(xreq_packet_address)) {
        return schedule_error("local host operation prefix");
    }
    return wrap_with_host_mux(
        physical_tile, SYNC_HOST_INSTRUCTION,
        [body, xreq_packet_address](std::vector<std::uint32_t>& words) -> Status {
            // The xreq packet leaves once the target has set its incoming data count (the first
            // two body words) and before the target's own sends.
            const auto xreq_send = header_send(xreq_packet_address);
            if (!xreq_send) {
                return fail(xreq_send.error());
            }
            words.insert(words.end(), body.begin(), body.begin() + 2);
            words.push_back(*xreq_send);
            words.insert(words.end(), body.begin() + 2, body.end());
            return {};
        });
}

std::ostream& operator<<(std::ostream& out, const TileToHostProgram& program) {
    debug::Struct(out, "TileToHostProgram")
        .field("instructions", program.instructions)
        .field("packet_words", program.packet_words)
        .finish();
    return out;
}

std::string to_string(const TileToHostProgram& program) { return debug::to_string(program); }

} // namespace tarnwick::exchange
