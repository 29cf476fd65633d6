#include "tarnwick/exchange/verify.hpp"

#include "tarnwick/debug.hpp"
#include "tarnwick/exchange/parse/decoder.hpp"
#include "tarnwick/exchange/row_timing.hpp"
#include "tarnwick/instruction.hpp"

#include <algorithm>
#include <limits>
#include <ostream>
#include <sstream>
#include <utility>

namespace tarnwick::exchange {

namespace {

// One past the last cycle of the u32 timeline: the end of a selection that is never released.
constexpr std::uint64_t TIMELINE_END = std::uint64_t{1} << 32;
constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
// The selection operand of an XPIC control: bits 12..0 (bit 13 flags paired controls).
constexpr std::uint32_t SELECTION_MASK = 0x1FFF;
constexpr std::uint32_t NEUTRAL = instruction::TILE_MUX_EXCHANGE;

// A half-open cycle interval [from, to) with a value: a selection, or a required capture.
struct Span {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    std::uint32_t value = 0;
    std::uint32_t transfer = 0;
};

// What the transfers require of one tile, before grouping by tile.
struct TileSpan {
    std::uint16_t tile = 0;
    Span span;
};

// Requirements grouped by tile: the spans of tile t are spans[first[t] .. first[t + 1]).
struct ByTile {
    std::vector<std::size_t> first;
    std::vector<Span> spans;

    [[nodiscard]] std::span<Span> of(std::size_t tile) noexcept {
        return std::span<Span>(spans).subspan(first[tile], first[tile + 1] - first[tile]);
    }
};

ByTile group_by_tile(const std::vector<TileSpan>& items, std::size_t tile_count) {
    ByTile grouped;
    grouped.first.assign(tile_count + 1, 0);
    for (const TileSpan& item : items) {
        ++grouped.first[std::size_t{item.tile} + 1];
    }
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        grouped.first[tile + 1] += grouped.first[tile];
    }
    grouped.spans.resize(items.size());
    std::vector<std::size_t> next(grouped.first.begin(), grouped.first.end() - 1);
    for (const TileSpan& item : items) {
        grouped.spans[next[item.tile]++] = item.span;
    }
    return grouped;
}

// Orders spans by start; spans of one tile arrive in transfer order.
void sort_spans(std::span<Span> spans) {
    std::sort(spans.begin(), spans.end(), [](const Span& left, const Span& right) {
        return left.from != right.from ? left.from < right.from : left.transfer < right.transfer;
    });
}

// The union of spans sorted by start, as disjoint spans; touching spans are merged.
void span_union(std::span<const Span> sorted, std::vector<Span>& out) {
    out.clear();
    for (const Span& span : sorted) {
        if (span.from == span.to) {
            continue;
        }
        if (!out.empty() && span.from <= out.back().to) {
            out.back().to = std::max(out.back().to, span.to);
        } else {
            out.push_back(Span{span.from, span.to, 0, 0});
        }
    }
}

// One tile's replayed program: its non-neutral selections and its payload issues, each as
// disjoint spans in cycle order.
struct Replay {
    std::vector<Span> selections;
    std::vector<Span> issues;

    void clear() noexcept {
        selections.clear();
        issues.clear();
        current_ = NEUTRAL;
        current_from_ = 0;
    }

    // An XPIC control taking effect at `cycle`. Controls arrive in program order, which is
    // strictly increasing effect order: a timed control takes effect at the end of its word, a
    // fused one one cycle after its send starts, and every later word starts no earlier.
    void select(std::uint64_t cycle, std::uint32_t control) {
        const std::uint32_t value = control & SELECTION_MASK;
        if (value == current_) {
            return;
        }
        close(cycle);
        current_ = value;
        current_from_ = cycle;
    }

    void issue(std::uint64_t from, std::uint64_t to) {
        if (!issues.empty() && issues.back().to == from) {
            issues.back().to = to;
        } else {
            issues.push_back(Span{from, to, 0, 0});
        }
    }

    // The selection held after the program's last control lasts until some later phase.
    void finish() { close(TIMELINE_END); }

private:
    void close(std::uint64_t cycle) {
        if (current_ != NEUTRAL && cycle > current_from_) {
            selections.push_back(Span{current_from_, cycle, current_, 0});
        }
    }

    std::uint32_t current_ = NEUTRAL;
    std::uint64_t current_from_ = 0;
};

Status replay_program(std::span<const std::uint32_t> words, Replay& replay) {
    using parse::IncomingControlStream;
    using parse::PlanOperation;
    replay.clear();
    const Result<parse::PlanProgramDiagnostic> diagnostic =
        parse::diagnose_plan_program(words, std::nullopt);
    if (!diagnostic) {
        return fail(diagnostic.error());
    }
    for (const parse::DecodedPlanInstruction& instruction : diagnostic->instructions) {
        if (const auto* control = instruction.operation.get_if<PlanOperation::IncomingControl>()) {
            if (control->control.stream == IncomingControlStream::Xpic) {
                replay.select(instruction.end_cycle, control->control.value);
            }
        } else if (const auto* send = instruction.operation.get_if<PlanOperation::Send>()) {
            for (const parse::IncomingControl& carried : send->controls) {
                if (carried.stream == IncomingControlStream::Xpic) {
                    replay.select(std::uint64_t{instruction.start_cycle} + 1, carried.value);
                }
            }
            // A send with send control 0 transmits nothing; a SENDPIC has no send control field
            // and always transmits.
            if (!send->send_control || *send->send_control != 0) {
                replay.issue(instruction.start_cycle, instruction.end_cycle);
            }
        }
    }
    replay.finish();
    return {};
}

// Collects one tile's violations.
class TileReport {
public:
    explicit TileReport(std::vector<ArrivalViolation>& out) : out_(out) {}

    void start(std::uint16_t tile) noexcept {
        tile_ = tile;
        out_.clear();
    }

    void add(ArrivalViolationKind kind, std::uint64_t from, std::uint64_t to,
             std::optional<std::uint32_t> required, std::optional<std::uint32_t> found,
             std::optional<std::uint32_t> transfer) {
        // Runs end at most at TIMELINE_END and start at or after cycle 0, and only a selection
        // that is never released reaches TIMELINE_END; every other run ends within u32.
        std::optional<std::uint32_t> length;
        if (to < TIMELINE_END) {
            length = static_cast<std::uint32_t>(to - from);
        }
        out_.push_back(ArrivalViolation{
            .kind = kind,
            .tile = tile_,
            .cycle = static_cast<std::uint32_t>(from),
            .length = length,
            .required = required,
            .found = found,
            .transfer = transfer,
        });
    }

private:
    std::vector<ArrivalViolation>& out_;
    std::uint16_t tile_ = 0;
};

// Every cycle of each required span must be covered by an actual span; with `check_value`, by one
// of the required value. No two required spans may share a cycle: the part of a span that an
// earlier one (in start, then transfer order) already claims is a collision. `actual` is
// disjoint and sorted; `required` sorted by start, then transfer.
void check_required(std::span<const Span> required, std::span<const Span> actual, bool check_value,
                    ArrivalViolationKind missing, ArrivalViolationKind collision,
                    TileReport& report) {
    std::size_t first = 0;
    std::uint64_t claimed = 0;
    for (const Span& need : required) {
        std::uint64_t cycle = need.from;
        if (claimed > cycle) {
            cycle = std::min(claimed, need.to);
            report.add(collision, need.from, cycle,
                       check_value ? std::optional(need.value) : std::nullopt, std::nullopt,
                       need.transfer);
        }
        claimed = std::max(claimed, need.to);
        if (cycle == need.to) {
            continue;
        }
        // The start of the unclaimed part never decreases from one span to the next.
        while (first < actual.size() && actual[first].to <= cycle) {
            ++first;
        }
        for (std::size_t index = first; index < actual.size() && actual[index].from < need.to;
             ++index) {
            const Span& have = actual[index];
            if (have.from > cycle) {
                report.add(missing, cycle, have.from,
                           check_value ? std::optional(need.value) : std::nullopt, std::nullopt,
                           need.transfer);
            }
            const std::uint64_t from = std::max(have.from, cycle);
            const std::uint64_t to = std::min(have.to, need.to);
            if (check_value && have.value != need.value) {
                report.add(ArrivalViolationKind::WrongCapture, from, to, need.value, have.value,
                           need.transfer);
            }
            cycle = to;
        }
        if (cycle < need.to) {
            report.add(missing, cycle, need.to,
                       check_value ? std::optional(need.value) : std::nullopt, std::nullopt,
                       need.transfer);
        }
    }
}

// Every cycle of an actual span must lie in the union of the required spans. Both are disjoint
// and sorted.
void check_stray(std::span<const Span> actual, std::span<const Span> allowed, bool with_value,
                 ArrivalViolationKind stray, TileReport& report) {
    std::size_t first = 0;
    for (const Span& have : actual) {
        while (first < allowed.size() && allowed[first].to <= have.from) {
            ++first;
        }
        std::uint64_t cycle = have.from;
        for (std::size_t index = first; cycle < have.to; ++index) {
            if (index >= allowed.size() || allowed[index].from >= have.to) {
                report.add(stray, cycle, have.to, std::nullopt,
                           with_value ? std::optional(have.value) : std::nullopt, std::nullopt);
                break;
            }
            if (allowed[index].from > cycle) {
                report.add(stray, cycle, allowed[index].from, std::nullopt,
                           with_value ? std::optional(have.value) : std::nullopt, std::nullopt);
            }
            cycle = std::max(cycle, allowed[index].to);
        }
    }
}

// The requirements of the phase's transfers on every tile, and the number of captures.
struct Requirements {
    std::vector<TileSpan> captures;
    std::vector<TileSpan> issues;
    std::vector<std::uint8_t> involved;
    std::uint64_t captures_checked = 0;
};

Status check_tile(const topology::Topology& topology, std::size_t tile_count, std::uint16_t tile) {
    if (tile >= topology.tile_count() || tile >= tile_count) {
        return fail(ExchangeError::Tile{tile});
    }
    return {};
}

Status require_transfer(const topology::Topology& topology, std::size_t tile_count,
                        const PlacedTransfer& placed, std::uint32_t index,
                        Requirements& requirements) {
    const ResolvedTransfer& transfer = placed.transfer;
    if (Status status = check_tile(topology, tile_count, transfer.source); !status) {
        return status;
    }
    if (transfer.reserved_source) {
        if (Status status = check_tile(topology, tile_count, *transfer.reserved_source); !status) {
            return status;
        }
    }
    for (const std::uint16_t receiver : transfer.receivers) {
        if (Status status = check_tile(topology, tile_count, receiver); !status) {
            return status;
        }
    }
    const Result<SenderRowTiming> timing = sender_row_timing(transfer.plan.sender, placed.offset);
    if (!timing) {
        return fail(timing.error());
    }

    const std::uint64_t start = timing->start_cycles;
    const std::uint64_t words = transfer.words;
    if (start + words > U32_MAX) {
        return schedule_error("issue cycle overflow");
    }
    requirements.involved[transfer.source] = 1;
    if (transfer.reserved_source) {
        requirements.involved[*transfer.reserved_source] = 1;
    }
    for (const std::uint16_t receiver : transfer.receivers) {
        requirements.involved[receiver] = 1;
    }
    if (words == 0) {
        return {};
    }
    requirements.issues.push_back(TileSpan{transfer.source, Span{start, start + words, 0, index}});

    // Tiles were checked above, so the lookups succeed; their errors are passed on regardless.
    const Result<std::uint16_t> sender = topology.physical(transfer.source);
    if (!sender) {
        return fail(sender.error());
    }
    const bool paired = transfer.reserved_source.has_value();
    for (const std::uint16_t receiver : transfer.receivers) {
        const Result<std::uint16_t> physical = topology.physical(receiver);
        if (!physical) {
            return fail(physical.error());
        }
        std::uint32_t value = *sender;
        if (paired) {
            // Only the early tile of a receiving pair captures; the other selects nothing.
            const Result<bool> early = topology.paired_receiver_is_early(receiver, transfer.source);
            if (!early) {
                return fail(early.error());
            }
            if (!*early) {
                continue;
            }
            value ^= static_cast<std::uint32_t>(*physical) & 2u;
        }
        const std::int64_t arrival =
            static_cast<std::int64_t>(start) + topology::time_to_mux(*sender, *physical) + 1;
        if (arrival < 0) {
            return schedule_error("arrival before phase entry");
        }
        const std::uint64_t from = static_cast<std::uint64_t>(arrival);
        if (from + words > U32_MAX) {
            return schedule_error("arrival cycle overflow");
        }
        if (requirements.captures_checked > std::numeric_limits<std::uint64_t>::max() - words) {
            return schedule_error("capture count overflow");
        }
        requirements.captures_checked += words;
        requirements.captures.push_back(TileSpan{receiver, Span{from, from + words, value, index}});
    }
    return {};
}

void write_cycles(std::ostream& out, const ArrivalViolation& violation) {
    out << "tile " << violation.tile << ", ";
    if (!violation.length) {
        out << "from cycle " << violation.cycle << " on";
    } else if (*violation.length <= 1) {
        out << "cycle " << violation.cycle;
    } else {
        out << "cycles " << violation.cycle << ".."
            << std::uint64_t{violation.cycle} + *violation.length - 1;
    }
}

void write_selection(std::ostream& out, std::optional<std::uint32_t> value) {
    if (!value) {
        out << "none";
    } else if (*value == NEUTRAL) {
        out << "neutral";
    } else {
        out << "physical tile " << *value;
    }
}

void write_transfer(std::ostream& out, std::optional<std::uint32_t> transfer) {
    if (transfer) {
        out << " for transfer " << *transfer;
    }
}

} // namespace

std::ostream& operator<<(std::ostream& out, const PlacedTransfer& placed) {
    debug::Struct(out, "PlacedTransfer")
        .field("transfer", placed.transfer)
        .field("offset", placed.offset)
        .finish();
    return out;
}

std::string to_string(const PlacedTransfer& placed) {
    return debug::to_string(placed);
}

std::string_view name(ArrivalViolationKind kind) noexcept {
    switch (kind) {
    case ArrivalViolationKind::MissingCapture:
        return "MissingCapture";
    case ArrivalViolationKind::WrongCapture:
        return "WrongCapture";
    case ArrivalViolationKind::StraySelection:
        return "StraySelection";
    case ArrivalViolationKind::MissingIssue:
        return "MissingIssue";
    case ArrivalViolationKind::StrayIssue:
        return "StrayIssue";
    case ArrivalViolationKind::CaptureCollision:
        return "CaptureCollision";
    case ArrivalViolationKind::IssueCollision:
        return "IssueCollision";
    }
    return "ArrivalViolationKind(?)";
}

std::ostream& operator<<(std::ostream& out, ArrivalViolationKind kind) {
    return out << name(kind);
}

std::string to_string(ArrivalViolationKind kind) {
    return std::string(name(kind));
}

std::ostream& operator<<(std::ostream& out, const ArrivalViolation& violation) {
    debug::Struct(out, "ArrivalViolation")
        .field("kind", violation.kind)
        .field("tile", violation.tile)
        .field("cycle", violation.cycle)
        .field("length", violation.length)
        .field("required", violation.required)
        .field("found", violation.found)
        .field("transfer", violation.transfer)
        .finish();
    return out;
}

std::string to_string(const ArrivalViolation& violation) {
    return debug::to_string(violation);
}

std::ostream& operator<<(std::ostream& out, const PhaseVerification& verification) {
    debug::Struct(out, "PhaseVerification")
        .field("captures_checked", verification.captures_checked)
        .field("tiles_checked", verification.tiles_checked)
        .field("violations", verification.violations)
        .field("violation_count", verification.violation_count)
        .finish();
    return out;
}

std::string to_string(const PhaseVerification& verification) {
    return debug::to_string(verification);
}

std::string describe(const ArrivalViolation& violation) {
    std::ostringstream out;
    write_cycles(out, violation);
    out << ": ";
    switch (violation.kind) {
    case ArrivalViolationKind::MissingCapture:
        out << "missing capture";
        write_transfer(out, violation.transfer);
        out << ": selection neutral where ";
        write_selection(out, violation.required);
        out << " is required";
        break;
    case ArrivalViolationKind::WrongCapture:
        out << "wrong capture";
        write_transfer(out, violation.transfer);
        out << ": selection ";
        write_selection(out, violation.found);
        out << " where ";
        write_selection(out, violation.required);
        out << " is required";
        break;
    case ArrivalViolationKind::StraySelection:
        out << "stray selection of ";
        write_selection(out, violation.found);
        out << " where no capture is required";
        if (!violation.length) {
            out << ", never released";
        }
        break;
    case ArrivalViolationKind::MissingIssue:
        out << "missing issue";
        write_transfer(out, violation.transfer);
        out << ": no payload word issued inside the transfer's interval";
        break;
    case ArrivalViolationKind::StrayIssue:
        out << "stray issue: payload word issued outside every interval of the tile's transfers";
        break;
    case ArrivalViolationKind::CaptureCollision:
        out << "capture collision";
        write_transfer(out, violation.transfer);
        out << ": another transfer needs a capture at the same cycle (";
        write_selection(out, violation.required);
        out << " required)";
        break;
    case ArrivalViolationKind::IssueCollision:
        out << "issue collision";
        write_transfer(out, violation.transfer);
        out << ": another transfer of the sender needs a payload word at the same cycle";
        break;
    }
    return std::move(out).str();
}

std::string describe(const PhaseVerification& verification) {
    std::ostringstream out;
    if (verification.holds()) {
        out << "phase holds: ";
    } else {
        out << "phase breaks the machine model: " << verification.violation_count
            << (verification.violation_count == 1 ? " violation on " : " violations on ");
    }
    out << verification.tiles_checked << (verification.tiles_checked == 1 ? " tile, " : " tiles, ")
        << verification.captures_checked << " captures checked";
    return std::move(out).str();
}

Result<PhaseVerification> verify_phase(const topology::Topology& topology,
                                       std::span<const PlacedTransfer> transfers,
                                       const PhasePrograms& programs) {
    const std::size_t tile_count = programs.programs.size();
    if (transfers.size() > U32_MAX) {
        return schedule_error("transfer index overflow");
    }

    Requirements requirements;
    requirements.involved.assign(tile_count, 0);
    requirements.issues.reserve(transfers.size());
    std::size_t receivers = 0;
    for (const PlacedTransfer& placed : transfers) {
        receivers += placed.transfer.receivers.size();
    }
    requirements.captures.reserve(receivers);
    for (std::size_t index = 0; index < transfers.size(); ++index) {
        if (Status status = require_transfer(topology, tile_count, transfers[index],
                                             static_cast<std::uint32_t>(index), requirements);
            !status) {
            return fail(status.error());
        }
    }
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        if (programs.programs[tile] && (tile >= topology.tile_count() || tile > 0xFFFF)) {
            return fail(ExchangeError::Tile{
                static_cast<std::uint16_t>(std::min<std::size_t>(tile, 0xFFFF))});
        }
    }

    ByTile captures = group_by_tile(requirements.captures, tile_count);
    ByTile issues = group_by_tile(requirements.issues, tile_count);

    PhaseVerification verification;
    verification.captures_checked = requirements.captures_checked;
    Replay replay;
    std::vector<Span> allowed;
    std::vector<ArrivalViolation> found;
    TileReport report(found);
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
        const auto& program = programs.programs[tile];
        if (!program && requirements.involved[tile] == 0) {
            continue;
        }
        // A tile with a program lies inside the topology (checked above), and so does every
        // tile a transfer names: its number fits in u16.
        ++verification.tiles_checked;
        if (program) {
            if (Status status = replay_program(*program, replay); !status) {
                return fail(status.error());
            }
        } else {
            replay.clear();
        }
        report.start(static_cast<std::uint16_t>(tile));

        const std::span<Span> tile_captures = captures.of(tile);
        sort_spans(tile_captures);
        check_required(tile_captures, replay.selections, true, ArrivalViolationKind::MissingCapture,
                       ArrivalViolationKind::CaptureCollision, report);
        span_union(tile_captures, allowed);
        check_stray(replay.selections, allowed, true, ArrivalViolationKind::StraySelection, report);

        const std::span<Span> tile_issues = issues.of(tile);
        sort_spans(tile_issues);
        check_required(tile_issues, replay.issues, false, ArrivalViolationKind::MissingIssue,
                       ArrivalViolationKind::IssueCollision, report);
        span_union(tile_issues, allowed);
        check_stray(replay.issues, allowed, false, ArrivalViolationKind::StrayIssue, report);

        if (found.empty()) {
            continue;
        }
        std::stable_sort(found.begin(), found.end(),
                         [](const ArrivalViolation& left, const ArrivalViolation& right) {
                             return left.cycle < right.cycle;
                         });
        verification.violation_count += found.size();
        for (const ArrivalViolation& violation : found) {
            if (verification.violations.size() == MAX_REPORTED_VIOLATIONS) {
                break;
            }
            verification.violations.push_back(violation);
        }
    }
    return verification;
}

} // namespace tarnwick::exchange
