#pragma once

// An independent physical check of a finished exchange phase.
//
// The phase builder proves each tile's program against the schedule it was built from; this check
// shares none of that bookkeeping. It replays every tile's program with the decoder and compares
// what the tile's incoming multiplexer selects, and when the tile issues payload words, with what
// the machine model requires of the phase's transfers:
//
// - A tile's selection is the 13-bit operand (bits 12..0) of its XPIC controls; it is neutral
//   (TILE_MUX_EXCHANGE) until the first XPIC control and holds until the next one. A control
//   carried by a timed delay takes effect at the end of the delay, one carried by a SENDPIC or
//   SENDPICP one cycle after that word starts.
// - A transfer placed at offset o issues its item k (0 <= k < words) at start + k, where start is
//   the payload start of its sender row at o. The sender's program issues payload words (sends
//   with a non-zero send control, and SENDPIC words) at exactly those cycles of the transfers it
//   sends, and at no other cycle.
// - An ordinary receiver r captures item k at start + k + time_to_mux(sender, r) + 1 and must
//   select the sender's physical number then. A paired 64-bit transfer (one with a reserved
//   source, whose `words` count 64-bit items) is captured by the early tile e of each receiving
//   pair, at start + k + time_to_mux(sender, e) + 1, selecting the sender's physical number XOR
//   (e's physical number AND 2); the pair's other tile selects nothing for it.
// - On every tile, the cycles with a non-neutral selection are exactly the capture cycles that
//   the transfers require of it, each with the required value. A tile captures one item a cycle
//   and issues one word a cycle, so two transfers may not need it at the same cycle.
//
// Everything works on intervals: the cost is linear in the number of program words and
// transfers (apart from ordering each tile's few requirements by cycle), whatever the word counts.
//
//     std::vector<PlacedTransfer> placed;   // each resolved transfer with the offset it got
//     const auto programs = std::move(builder).finish();
//     const auto report = verify_phase(topology, placed, *programs);
//     if (report && !report->holds()) { std::cerr << describe(*report) << '\n'; }

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/phase.hpp"
#include "tarnwick/exchange/transfer.hpp"
#include "tarnwick/topology.hpp"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::exchange {

// A resolved transfer and the schedule offset at which it was appended to its phase.
struct PlacedTransfer {
    ResolvedTransfer transfer;
    std::uint32_t offset = 0;

    friend bool operator==(const PlacedTransfer&, const PlacedTransfer&) = default;
};

std::ostream& operator<<(std::ostream& out, const PlacedTransfer& placed);
[[nodiscard]] std::string to_string(const PlacedTransfer& placed);

// What went wrong at a tile.
enum class ArrivalViolationKind : std::uint8_t {
    // A required capture cycle at which the tile's selection is neutral.
    MissingCapture = 0,
    // A required capture cycle at which the tile selects another value.
    WrongCapture = 1,
    // A non-neutral selection at a cycle at which no transfer requires a capture of the tile.
    StraySelection = 2,
    // A cycle of a transfer's payload interval at which its sender issues no payload word.
    MissingIssue = 3,
    // A payload word issued at a cycle outside every payload interval of the tile's transfers.
    StrayIssue = 4,
    // A cycle at which two transfers need a capture of the tile: it selects one source a cycle.
    CaptureCollision = 5,
    // A cycle of two payload intervals of the same sender: it issues one word a cycle.
    IssueCollision = 6,
};

[[nodiscard]] std::string_view name(ArrivalViolationKind kind) noexcept;
std::ostream& operator<<(std::ostream& out, ArrivalViolationKind kind);
[[nodiscard]] std::string to_string(ArrivalViolationKind kind);

// One run of consecutive cycles of one tile at which the phase breaks the model in the same way.
struct ArrivalViolation {
    ArrivalViolationKind kind = ArrivalViolationKind::MissingCapture;
    // The tile (logical number).
    std::uint16_t tile = 0;
    // The first cycle of the run, on the phase timeline.
    std::uint32_t cycle = 0;
    // The number of cycles of the run; absent for a selection that is never released.
    std::optional<std::uint32_t> length;
    // The selection required (MissingCapture, WrongCapture, CaptureCollision).
    std::optional<std::uint32_t> required;
    // The selection found (WrongCapture, StraySelection).
    std::optional<std::uint32_t> found;
    // The index, in the placed transfers, of the transfer concerned (every kind but the strays;
    // for a collision, the transfer that starts later, or is listed later).
    std::optional<std::uint32_t> transfer;

    friend constexpr bool operator==(const ArrivalViolation&, const ArrivalViolation&) = default;
};

std::ostream& operator<<(std::ostream& out, const ArrivalViolation& violation);
[[nodiscard]] std::string to_string(const ArrivalViolation& violation);

// How many violations a report keeps.
inline constexpr std::size_t MAX_REPORTED_VIOLATIONS = 64;

// The outcome of checking one phase.
struct PhaseVerification {
    // One per item and capturing tile: a multicast counts once per receiver, a paired transfer
    // once per receiving pair.
    std::uint64_t captures_checked = 0;
    // Tiles that have a program or take part in a transfer.
    std::uint32_t tiles_checked = 0;
    // The first MAX_REPORTED_VIOLATIONS violations, in tile then cycle order.
    std::vector<ArrivalViolation> violations;
    // All violations, kept or not.
    std::uint64_t violation_count = 0;

    // Whether the phase moves every word where it must.
    [[nodiscard]] bool holds() const noexcept { return violation_count == 0; }

    friend bool operator==(const PhaseVerification&, const PhaseVerification&) = default;
};

std::ostream& operator<<(std::ostream& out, const PhaseVerification& verification);
[[nodiscard]] std::string to_string(const PhaseVerification& verification);

// One readable line: "tile 12, cycles 140..143: missing capture for transfer 3: selection neutral
// where physical tile 130 is required". Tiles are logical numbers, selections physical ones.
[[nodiscard]] std::string describe(const ArrivalViolation& violation);

// One readable line: "phase holds: 1472 tiles, 376832 captures checked" or "phase breaks the
// machine model: 3 violations on 1472 tiles, 376832 captures checked".
[[nodiscard]] std::string describe(const PhaseVerification& verification);

// Checks a finished phase: `transfers` are the phase's transfers with the offsets they were
// appended at, `programs` what the builder's `finish` returned. Tiles are logical numbers indexing
// both the topology and `programs.programs`.
//
// Fails only on malformed input, with the first of these in this order: for each transfer in
// order, Tile(n) for its source, reserved source or a receiver outside the topology or the
// programs, the error of `sender_row_timing` for its sender row at its offset, or
// Schedule("arrival before phase entry") / Schedule("arrival cycle overflow") /
// Schedule("issue cycle overflow") when its cycles fall outside the u32 timeline; then, in tile
// order, Tile(n) for a program of a tile outside the topology (n saturating at 65535) and the
// decoder's error for a program it rejects.
[[nodiscard]] Result<PhaseVerification> verify_phase(const topology::Topology& topology,
                                                     std::span<const PlacedTransfer> transfers,
                                                     const PhasePrograms& programs);

} // namespace tarnwick::exchange
