#pragma once

// Transfer resolution: a caller's description of one transfer of an exchange phase (sender tile and
// address, destination tiles and addresses, word count, width) turned into patched sender and
// receiver rows, with the tiles the transfer occupies.
//
// A 32-bit transfer to a single destination whose address is the receive base the caller arranged
// for that tile is assembled point-to-point; other 32-bit transfers are multicasts; 64-bit
// transfers are paired multicasts and also occupy the sender's pair partner.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/topology.hpp"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::exchange {

enum class TransferWidth : std::uint8_t {
    Word32,   // 32-bit words
    Paired64, // 64-bit items received by tile pairs
};

[[nodiscard]] std::string_view name(TransferWidth width) noexcept;
std::ostream& operator<<(std::ostream& out, TransferWidth width);
[[nodiscard]] std::string to_string(TransferWidth width);

// A logical tile number (first) and a byte address in that tile's memory (second).
using TransferEndpoint = std::pair<std::uint16_t, std::uint32_t>;

// The patched rows of one transfer and the tiles it occupies.
struct ResolvedTransfer {
    std::uint16_t source = 0;
    // For a paired transfer, the sender's pair partner, which the transfer also occupies.
    std::optional<std::uint16_t> reserved_source;
    // The destination tiles, in destination order.
    std::vector<std::uint16_t> receivers;
    // The item count given to assembly: words for 32-bit transfers, words / 2 for paired ones.
    std::uint32_t words = 0;
    MulticastPlan plan;

    friend bool operator==(const ResolvedTransfer&, const ResolvedTransfer&) = default;
};

std::ostream& operator<<(std::ostream& out, const ResolvedTransfer& transfer);
[[nodiscard]] std::string to_string(const ResolvedTransfer& transfer);

struct PhysicalTransfer {
    // Logical tile of the sender.
    std::uint16_t source = 0;
    // Byte addresses on the sender; the payload is sent from the first.
    std::vector<std::uint32_t> source_addresses;
    // Receiving tiles with their receive byte addresses, in receiver order.
    std::vector<TransferEndpoint> destinations;
    // Payload size in 32-bit words.
    std::uint32_t words = 0;
    TransferWidth width = TransferWidth::Word32;

    // The destinations' tiles, in order.
    [[nodiscard]] std::vector<std::uint16_t> destination_tiles() const;

    // The number of items (two words each for Paired64), or nothing for a zero word count or one
    // that is not a whole number of items.
    [[nodiscard]] std::optional<std::uint32_t> item_count() const noexcept;

    // Assembles and patches the rows. `incoming_base` is the receive base address the caller has
    // arranged for the receiving tile, if any.
    //
    // Errors, in this order: Schedule("missing transfer source address");
    // Schedule("unaligned transfer payload"); for Paired64 Tile(source) when the sender has no
    // partner; the assembly errors; the address errors of patching.
    [[nodiscard]] Result<ResolvedTransfer> resolve(const topology::Topology& topology,
                                                   std::optional<std::uint32_t> incoming_base) const;

    friend bool operator==(const PhysicalTransfer&, const PhysicalTransfer&) = default;
};

std::ostream& operator<<(std::ostream& out, const PhysicalTransfer& transfer);
[[nodiscard]] std::string to_string(const PhysicalTransfer& transfer);

} // namespace tarnwick::exchange
