#include "tarnwick/exchange/parse/decoder.hpp"
#include "tarnwick/exchange/phase.hpp"
#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/row_timing.hpp"
#include "tarnwick/exchange/transfer.hpp"
#include "tarnwick/exchange/verify.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/topology.hpp"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::exchange {
namespace {

using instruction::RETURN_INSTRUCTION;
using instruction::TILE_MUX_EXCHANGE;
using Kind = ArrivalViolationKind;
using Words = std::vector<std::uint32_t>;

constexpr std::uint16_t V600_TILES = 1472;

const topology::Topology& v600() {
    static const topology::Topology topology = topology::Topology::v600();
    return topology;
}

std::uint32_t physical(std::uint16_t logical) {
    return *v600().physical(logical);
}

// One transfer of a phase to be built: its description, the receive base of its one destination
// (point-to-point), and whether it must wait for the transfer before it (a relay forwards what it
// has received).
struct Request {
    Request(PhysicalTransfer transfer_, std::optional<std::uint32_t> incoming_base_ = std::nullopt,
            bool after_previous_ = false)
        : transfer(std::move(transfer_)), incoming_base(incoming_base_),
          after_previous(after_previous_) {}

    PhysicalTransfer transfer;
    std::optional<std::uint32_t> incoming_base;
    bool after_previous = false;
};

struct Phase {
    std::vector<PlacedTransfer> placed;
    std::vector<PhaseTransferTiming> timings;
    PhasePrograms programs;
    // The captures the model counts: items times receivers, or times receiving pairs.
    std::uint64_t captures = 0;
};

PhysicalTransfer word_transfer(std::uint16_t source, std::vector<TransferEndpoint> destinations,
                               std::uint32_t words) {
    return PhysicalTransfer{
        source, {0x40000}, std::move(destinations), words, TransferWidth::Word32};
}

PhysicalTransfer paired_transfer(std::uint16_t source, std::vector<TransferEndpoint> destinations,
                                 std::uint32_t words) {
    return PhysicalTransfer{
        source, {0x40000}, std::move(destinations), words, TransferWidth::Paired64};
}

// Resolves, places at the earliest offset and appends every request, then finishes the phase.
// Requests whose rows cannot be assembled are skipped; every other step must succeed.
Phase build_phase(const std::vector<Request>& requests) {
    Phase phase;
    PhaseProgramBuilder builder(V600_TILES);
    for (const Request& request : requests) {
        auto resolved = request.transfer.resolve(v600(), request.incoming_base);
        if (!resolved) {
            continue;
        }
        const std::uint32_t requested =
            request.after_previous && !phase.timings.empty() ? phase.timings.back().horizon : 0;
        const auto offset = builder.earliest_transfer_offset(*resolved, requested);
        EXPECT_TRUE(offset.has_value()) << offset.error() << " for " << request.transfer;
        if (!offset) {
            continue;
        }
        auto timing = builder.append_transfer_at(*resolved, *offset);
        EXPECT_TRUE(timing.has_value()) << timing.error() << " for " << request.transfer;
        if (!timing) {
            continue;
        }
        const std::uint64_t capturing = request.transfer.width == TransferWidth::Paired64
                                            ? resolved->receivers.size() / 2
                                            : resolved->receivers.size();
        phase.captures += std::uint64_t{resolved->words} * capturing;
        phase.placed.push_back(PlacedTransfer{std::move(*resolved), *offset});
        phase.timings.push_back(std::move(*timing));
    }
    auto programs = std::move(builder).finish();
    EXPECT_TRUE(programs.has_value()) << programs.error();
    if (programs) {
        phase.programs = std::move(*programs);
    }
    return phase;
}

PhaseVerification verify(const Phase& phase) {
    auto verification = verify_phase(v600(), phase.placed, phase.programs);
    EXPECT_TRUE(verification.has_value()) << verification.error();
    return verification ? *verification : PhaseVerification{};
}

std::uint32_t active_tiles(const PhasePrograms& programs) {
    return static_cast<std::uint32_t>(std::ranges::count_if(
        programs.programs, [](const auto& program) { return program.has_value(); }));
}

// Where each receiving tile of a placed transfer captures its first item, and the selection it
// needs then, straight from the route timing.
struct Capture {
    std::uint16_t tile = 0;
    std::uint32_t cycle = 0;
    std::uint32_t value = 0;
};

std::vector<Capture> captures_of(const PlacedTransfer& placed, std::uint32_t payload_start) {
    const ResolvedTransfer& transfer = placed.transfer;
    const std::uint32_t sender = physical(transfer.source);
    std::vector<Capture> captures;
    for (const std::uint16_t receiver : transfer.receivers) {
        const std::uint32_t tile = physical(receiver);
        std::uint32_t value = sender;
        if (transfer.reserved_source) {
            if (!*v600().paired_receiver_is_early(receiver, transfer.source)) {
                continue;
            }
            value ^= tile & 2u;
        }
        const auto cycle = static_cast<std::uint32_t>(static_cast<std::int64_t>(payload_start) +
                                                      topology::time_to_mux(sender, tile) + 1);
        captures.push_back(Capture{receiver, cycle, value});
    }
    return captures;
}

ArrivalViolation violation(Kind kind, std::uint16_t tile, std::uint32_t cycle,
                           std::optional<std::uint32_t> length,
                           std::optional<std::uint32_t> required = std::nullopt,
                           std::optional<std::uint32_t> found = std::nullopt,
                           std::optional<std::uint32_t> transfer = std::nullopt) {
    return ArrivalViolation{kind, tile, cycle, length, required, found, transfer};
}

void sort_by_tile_and_cycle(std::vector<ArrivalViolation>& violations) {
    std::ranges::stable_sort(
        violations, [](const ArrivalViolation& left, const ArrivalViolation& right) {
            return left.tile != right.tile ? left.tile < right.tile : left.cycle < right.cycle;
        });
}

// What a phase looks like once transfer `index` is left out of the list: its sender's issues and
// its receivers' selections are no longer required by anything.
std::vector<ArrivalViolation> left_out(const Phase& phase, std::size_t index) {
    const PlacedTransfer& placed = phase.placed[index];
    const std::uint32_t start = phase.timings[index].payload_start;
    const std::uint32_t words = placed.transfer.words;
    std::vector<ArrivalViolation> expected{
        violation(Kind::StrayIssue, placed.transfer.source, start, words)};
    for (const Capture& capture : captures_of(placed, start)) {
        expected.push_back(violation(Kind::StraySelection, capture.tile, capture.cycle, words,
                                     std::nullopt, capture.value));
    }
    sort_by_tile_and_cycle(expected);
    return expected;
}

Phase without(const Phase& phase, std::size_t index) {
    Phase reduced = phase;
    reduced.placed.erase(reduced.placed.begin() + static_cast<std::ptrdiff_t>(index));
    reduced.timings.erase(reduced.timings.begin() + static_cast<std::ptrdiff_t>(index));
    return reduced;
}

// An XPIC control in a program: the word that carries it, how, and when it takes effect.
struct XpicSite {
    std::size_t word = 0;
    parse::SendEncoding carrier = parse::SendEncoding::Explicit; // Explicit: a timed XPIC delay
    std::uint32_t effect = 0;
    std::uint32_t operand = 0;
};

std::vector<XpicSite> xpic_sites(const Words& program) {
    using parse::PlanOperation;
    std::vector<XpicSite> sites;
    const auto diagnostic = parse::diagnose_plan_program(program, std::nullopt);
    EXPECT_TRUE(diagnostic.has_value());
    for (const auto& instruction : diagnostic->instructions) {
        if (const auto* control = instruction.operation.get_if<PlanOperation::IncomingControl>();
            control && control->control.stream == parse::IncomingControlStream::Xpic) {
            sites.push_back(XpicSite{instruction.word_offset, parse::SendEncoding::Explicit,
                                     instruction.end_cycle, control->control.value & 0x1FFFu});
        } else if (const auto* send = instruction.operation.get_if<PlanOperation::Send>()) {
            for (const auto& carried : send->controls) {
                if (carried.stream == parse::IncomingControlStream::Xpic) {
                    sites.push_back(XpicSite{instruction.word_offset, send->encoding,
                                             instruction.start_cycle + 1, carried.value & 0x1FFFu});
                }
            }
        }
    }
    return sites;
}

void set_operand(Words& program, const XpicSite& site, std::uint32_t operand) {
    if (site.carrier == parse::SendEncoding::PicPair) {
        // The XPIC control sits in bits 31..18 of the payload word; its operand in bits 30..18.
        Words::reference payload = program[site.word + 1];
        payload = (payload & ~(0x1FFFu << 18)) | (operand << 18);
    } else {
        // A timed XPIC delay and a SENDPIC carrying an XPIC control keep the operand in 12..0.
        program[site.word] = (program[site.word] & ~0x1FFFu) | operand;
    }
}

// Lengthens a delay, PIC delay or XPIC delay by one cycle.
void lengthen(std::uint32_t& word) {
    if ((word & 0xFFF80000u) == 0x40A00000u) {
        ASSERT_NE(word & 0x7FFFFu, 0x7FFFFu);
        word += 1;
    } else if ((word & instruction::OPCODE_MASK) == 0x60000000u) {
        ASSERT_NE((word >> 19) & 0x7Fu, 0x7Fu);
        word += 1u << 19;
    } else {
        ASSERT_EQ(word & instruction::OPCODE_MASK, instruction::DELAY_XPIC_OPCODE);
        ASSERT_NE((word >> 14) & 0xFFFu, 0xFFFu);
        word += 1u << 14;
    }
}

// A random phase of gathers into continuing buffers, multicasts to up to 8 tiles, paired
// transfers, relays and point-to-point transfers.
std::vector<Request> random_phase(std::mt19937& random) {
    auto below = [&random](std::uint32_t bound) {
        return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(random);
    };
    // Tiles are mostly drawn from a small pool (with the pair partners of its tiles), so that
    // tiles send and receive in the same phase and controls get fused into outgoing messages.
    std::vector<std::uint16_t> pool;
    for (std::uint32_t count = 4 + below(40); pool.size() < count;) {
        const auto drawn = static_cast<std::uint16_t>(below(V600_TILES));
        pool.push_back(drawn);
        pool.push_back(*v600().paired_logical(drawn));
    }
    auto tile = [&] {
        return below(4) == 0 ? static_cast<std::uint16_t>(below(V600_TILES))
                             : pool[below(static_cast<std::uint32_t>(pool.size()))];
    };
    auto word_count = [&] {
        const std::uint32_t roll = below(20);
        return roll == 0 ? 53 + below(4096) : roll < 4 ? 1 + below(64) : 1 + below(600);
    };
    // Distinct tiles, none of them in `taken`.
    auto distinct = [&](std::size_t count, std::vector<std::uint16_t> taken) {
        std::vector<std::uint16_t> tiles;
        while (tiles.size() < count) {
            const std::uint16_t candidate = tile();
            if (std::ranges::find(taken, candidate) == taken.end()) {
                taken.push_back(candidate);
                tiles.push_back(candidate);
            }
        }
        return tiles;
    };

    std::vector<Request> requests;
    const std::uint32_t groups = 1 + below(5);
    for (std::uint32_t group = 0; group < groups; ++group) {
        switch (below(5)) {
        case 0: { // gather into one tile, each stream continuing the buffer unless a gap is drawn
            const std::uint16_t target = tile();
            const auto sources = distinct(2 + below(7), {target});
            const std::uint32_t words = 1 + below(300);
            std::uint32_t address = 0x60000;
            for (const std::uint16_t source : sources) {
                requests.push_back({word_transfer(source, {{target, address}}, words)});
                address += 4 * words + (below(4) == 0 ? 4 * (1 + below(16)) : 0);
            }
            break;
        }
        case 1: { // multicast to up to 8 tiles
            const std::uint16_t source = tile();
            std::vector<TransferEndpoint> destinations;
            for (const std::uint16_t receiver : distinct(1 + below(8), {source})) {
                destinations.emplace_back(receiver, 0x60000 + 4 * below(0x1000));
            }
            requests.push_back({word_transfer(source, std::move(destinations), word_count())});
            break;
        }
        case 2: { // paired 64-bit transfer to one to three receiving pairs
            const std::uint16_t source = tile();
            std::vector<std::uint16_t> taken{source, *v600().paired_logical(source)};
            std::vector<TransferEndpoint> destinations;
            const std::uint32_t pairs = 1 + below(3);
            while (destinations.size() < 2 * pairs) {
                const std::uint16_t receiver = tile();
                const std::uint16_t partner = *v600().paired_logical(receiver);
                if (std::ranges::find(taken, receiver) != taken.end() ||
                    std::ranges::find(taken, partner) != taken.end()) {
                    continue;
                }
                taken.insert(taken.end(), {receiver, partner});
                destinations.emplace_back(receiver, 0x60000);
                destinations.emplace_back(partner, 0x60000);
            }
            const std::uint32_t items = 64 + below(400);
            requests.push_back({paired_transfer(source, std::move(destinations), 2 * items)});
            break;
        }
        case 3: { // a relay: each hop forwards what the previous one delivered
            const auto hops = distinct(3 + below(3), {});
            const std::uint32_t words = word_count();
            for (std::size_t hop = 0; hop + 1 < hops.size(); ++hop) {
                requests.push_back({word_transfer(hops[hop], {{hops[hop + 1], 0x60000}}, words),
                                    std::nullopt, hop > 0});
            }
            break;
        }
        default: { // point-to-point into the receiver's incoming base
            const auto tiles = distinct(2, {});
            requests.push_back(
                {word_transfer(tiles[0], {{tiles[1], 0x70000}}, word_count()), 0x70000u});
            break;
        }
        }
    }
    return requests;
}

// The central property: every phase the builder finishes moves every word where it must. Each
// phase is then broken on purpose, and the check must point at the break.
TEST(VerifyPhase, RandomPhasesHoldAndEveryBreakIsFound) {
    std::mt19937 random(20240611);
    std::uint64_t total_captures = 0;
    std::size_t fused_mutations = 0;
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Phase phase = build_phase(random_phase(random));
        const PhaseVerification verification = verify(phase);
        ASSERT_TRUE(verification.holds()) << describe(verification) << "\n" << verification;
        EXPECT_EQ(verification.captures_checked, phase.captures);
        EXPECT_EQ(verification.tiles_checked, active_tiles(phase.programs));
        total_captures += verification.captures_checked;
        if (phase.placed.empty()) {
            continue;
        }
        const std::size_t index =
            std::uniform_int_distribution<std::size_t>(0, phase.placed.size() - 1)(random);

        // A transfer left out of the list: its issues and captures become strays, nothing else.
        const PhaseVerification missing = verify(without(phase, index));
        EXPECT_EQ(missing.violations, left_out(phase, index));
        EXPECT_EQ(missing.violation_count, missing.violations.size());

        // A transfer's offset reported one cycle late: its sender issues one cycle early.
        Phase late = phase;
        ++late.placed[index].offset;
        const PhaseVerification shifted = verify(late);
        const std::uint16_t sender = phase.placed[index].transfer.source;
        const std::uint32_t start = phase.timings[index].payload_start;
        EXPECT_NE(
            std::ranges::find(shifted.violations, violation(Kind::StrayIssue, sender, start, 1)),
            shifted.violations.end())
            << shifted;

        // One XPIC operand changed: the first violation is on that tile, where the control acts.
        Phase broken = phase;
        std::vector<std::size_t> tiles;
        for (std::size_t tile = 0; tile < broken.programs.programs.size(); ++tile) {
            if (broken.programs.programs[tile] &&
                !xpic_sites(*broken.programs.programs[tile]).empty()) {
                tiles.push_back(tile);
            }
        }
        if (tiles.empty()) {
            continue;
        }
        const std::size_t tile =
            tiles[std::uniform_int_distribution<std::size_t>(0, tiles.size() - 1)(random)];
        Words& program = *broken.programs.programs[tile];
        const auto sites = xpic_sites(program);
        const XpicSite site =
            sites[std::uniform_int_distribution<std::size_t>(0, sites.size() - 1)(random)];
        std::uint32_t operand = site.operand;
        while (operand == site.operand) {
            const std::uint32_t roll =
                std::uniform_int_distribution<std::uint32_t>(0, 1472)(random);
            operand = roll == 1472 ? TILE_MUX_EXCHANGE : physical(static_cast<std::uint16_t>(roll));
        }
        set_operand(program, site, operand);
        fused_mutations += site.carrier != parse::SendEncoding::Explicit ? 1 : 0;
        const PhaseVerification changed = verify(broken);
        ASSERT_FALSE(changed.violations.empty())
            << "changed word " << site.word << " of tile " << tile;
        const ArrivalViolation& first = changed.violations.front();
        EXPECT_EQ(first.tile, tile);
        EXPECT_EQ(first.cycle, site.effect);
        const Kind kind = site.operand == TILE_MUX_EXCHANGE ? Kind::StraySelection
                          : operand == TILE_MUX_EXCHANGE    ? Kind::MissingCapture
                                                            : Kind::WrongCapture;
        EXPECT_EQ(first.kind, kind) << first;
    }
    // The phases were not trivial, and controls fused into sends were broken too.
    EXPECT_GT(total_captures, 1'000'000u);
    EXPECT_GT(fused_mutations, 10u);
}

// Reference rows of the assembly: a point-to-point transfer of 3 words from tile 0 to tile 1286
// issues at 135 and is captured from 113; a paired transfer of 64 items from tile 0 to the pair
// (2, 3) issues at 31 and is captured by tile 2 alone from 1, selecting tile 0.
TEST(VerifyPhase, ReferenceTransfersLeftOutBecomeStrays) {
    const Phase point = build_phase({{word_transfer(0, {{1286, 0x70000}}, 3), 0x70000u}});
    ASSERT_EQ(point.placed.size(), 1u);
    EXPECT_TRUE(verify(point).holds());
    EXPECT_EQ(verify(point).captures_checked, 3u);
    EXPECT_EQ(verify(without(point, 0)),
              (PhaseVerification{0,
                                 2,
                                 {violation(Kind::StrayIssue, 0, 135, 3),
                                  violation(Kind::StraySelection, 1286, 113, 3, std::nullopt, 0)},
                                 2}));

    const Phase paired = build_phase({{paired_transfer(0, {{2, 0x60000}, {3, 0x60000}}, 128)}});
    ASSERT_EQ(paired.placed.size(), 1u);
    EXPECT_TRUE(verify(paired).holds());
    EXPECT_EQ(verify(paired).captures_checked, 64u);
    // Sender, its reserved partner and both receivers have programs.
    EXPECT_EQ(verify(paired).tiles_checked, 4u);
    EXPECT_EQ(verify(without(paired, 0)).violations,
              (std::vector{violation(Kind::StrayIssue, 0, 31, 64),
                           violation(Kind::StraySelection, 2, 1, 64, std::nullopt, 0)}));
}

// A small phase whose tiles each take part in one transfer, so that every break has an exact
// answer: a far paired transfer (tile 47 captures, selecting tile 0 with bit 1 set), a multicast
// followed by a gather continuing its buffer on tile 100, and a point-to-point transfer.
class VerifyMutations : public ::testing::Test {
protected:
    void SetUp() override {
        phase_ = build_phase({
            {paired_transfer(0, {{46, 0x60000}, {47, 0x60000}}, 128)},
            {word_transfer(736, {{100, 0x60000}, {1286, 0x60000}}, 100)},
            {word_transfer(274, {{900, 0x70000}}, 60), 0x70000u},
            {word_transfer(5, {{100, 0x60000 + 400}}, 60)},
        });
        ASSERT_EQ(phase_.placed.size(), 4u);
        ASSERT_TRUE(verify(phase_).holds());
    }

    Words& program(std::uint16_t tile) { return *phase_.programs.programs[tile]; }
    std::uint32_t start(std::size_t transfer) const {
        return phase_.timings[transfer].payload_start;
    }
    Capture capture(std::size_t transfer, std::uint16_t tile) const {
        for (const Capture& capture : captures_of(phase_.placed[transfer], start(transfer))) {
            if (capture.tile == tile) {
                return capture;
            }
        }
        ADD_FAILURE() << "tile " << tile << " captures nothing of transfer " << transfer;
        return {};
    }

    Phase phase_;
};

TEST_F(VerifyMutations, PairedCaptureNeedsTheFlippedSender) {
    const Capture early = capture(0, 47);
    EXPECT_EQ(early.value, 2u);
    // Forgetting to flip bit 1 of the sender's number selects the wrong tile for every item.
    for (const XpicSite& site : xpic_sites(program(47))) {
        if (site.operand == 2) {
            set_operand(program(47), site, 0);
        }
    }
    EXPECT_EQ(verify(phase_).violations,
              (std::vector{violation(Kind::WrongCapture, 47, early.cycle, 64, 2u, 0u, 0u)}));
}

TEST_F(VerifyMutations, LateTileOfAPairSelectsNothing) {
    EXPECT_TRUE(xpic_sites(program(46)).empty());
    // The early tile's controls copied onto the late tile make it select where nothing arrives.
    const Capture early = capture(0, 47);
    program(46) = program(47);
    const PhaseVerification verification = verify(phase_);
    ASSERT_FALSE(verification.violations.empty());
    EXPECT_EQ(verification.violations.front(),
              violation(Kind::StraySelection, 46, early.cycle, 64, std::nullopt, 2u));
}

TEST_F(VerifyMutations, ReceiverDelayLengthenedByOneCycle) {
    // Tile 1286 only receives the multicast: its source selection and teardown come one late.
    const Capture receiver = capture(1, 1286);
    lengthen(program(1286).front());
    EXPECT_EQ(verify(phase_).violations,
              (std::vector{violation(Kind::MissingCapture, 1286, receiver.cycle, 1, physical(736),
                                     std::nullopt, 1u),
                           violation(Kind::StraySelection, 1286, receiver.cycle + 100, 1,
                                     std::nullopt, physical(736))}));
}

TEST_F(VerifyMutations, SenderDelayLengthenedByOneCycle) {
    // Tile 274 only sends: its message leaves one cycle late.
    lengthen(program(274).front());
    EXPECT_EQ(verify(phase_).violations,
              (std::vector{
                  violation(Kind::MissingIssue, 274, start(2), 1, std::nullopt, std::nullopt, 2u),
                  violation(Kind::StrayIssue, 274, start(2) + 60, 1)}));
}

TEST_F(VerifyMutations, OffsetReportedOneCycleOff) {
    ++phase_.placed[2].offset;
    const Capture receiver = capture(2, 900);
    EXPECT_EQ(receiver.value, physical(274));
    EXPECT_EQ(
        verify(phase_).violations,
        (std::vector{
            violation(Kind::StrayIssue, 274, start(2), 1),
            violation(Kind::MissingIssue, 274, start(2) + 60, 1, std::nullopt, std::nullopt, 2u),
            violation(Kind::StraySelection, 900, receiver.cycle, 1, std::nullopt, physical(274)),
            violation(Kind::MissingCapture, 900, receiver.cycle + 60, 1, physical(274),
                      std::nullopt, 2u),
        }));
}

TEST_F(VerifyMutations, TransferLeftOut) {
    // The multicast feeds tiles 100 and 1286; the gather into tile 100 stays required.
    const PhaseVerification verification = verify(without(phase_, 1));
    EXPECT_EQ(verification.violations, left_out(phase_, 1));
    EXPECT_EQ(verification.violations.size(), 3u);
    EXPECT_EQ(verification.captures_checked, 64u + 60u + 60u);
}

TEST_F(VerifyMutations, XpicOperandChangedOnTheGatheringTile) {
    // Tile 100 receives the multicast, then the gather from tile 5. Redirect the second stream.
    const Capture second = capture(3, 100);
    for (const XpicSite& site : xpic_sites(program(100))) {
        if (site.operand == physical(5)) {
            set_operand(program(100), site, 17);
        }
    }
    EXPECT_EQ(
        verify(phase_).violations,
        (std::vector{violation(Kind::WrongCapture, 100, second.cycle, 60, physical(5), 17u, 3u)}));
}

// Programs written by hand: a SENDPICP with send control 0 selects one cycle after it starts and
// issues nothing; a timed XPIC delay selects when it ends; a selection never torn down is stray
// for ever.
TEST(VerifyPhase, HandWrittenReceiverPrograms) {
    Phase phase = build_phase({{word_transfer(0, {{1286, 0x70000}}, 3), 0x70000u}});
    ASSERT_EQ(phase.placed.size(), 1u);
    const ReceiveEvent select{113, instruction::delay_xpic(0, 0, 0),
                              ReceiveEventKind::OrdinarySource};
    const ReceiveEvent pointer{113, instruction::delay_pic(0, 0, 0x1C000),
                               ReceiveEventKind::Pointer};
    const std::vector events{select, pointer};
    auto pair = [&](std::uint32_t send_control) {
        const auto words = encode_send_control_pair(0, 0, send_control, events);
        EXPECT_TRUE(words.has_value());
        return *words;
    };
    const std::uint32_t teardown = instruction::delay_xpic(2, 0, TILE_MUX_EXCHANGE);
    Words& receiver = *phase.programs.programs[1286];

    receiver = {instruction::delay(111), pair(0).first, pair(0).second, teardown,
                RETURN_INSTRUCTION};
    EXPECT_TRUE(verify(phase).holds());

    receiver = {instruction::delay_xpic(112, 0, 0),
                instruction::delay_xpic(2, 0, TILE_MUX_EXCHANGE), RETURN_INSTRUCTION};
    EXPECT_TRUE(verify(phase).holds());

    // The same pair with a send control transmits a payload word of its own.
    receiver = {instruction::delay(111), pair(1).first, pair(1).second, teardown,
                RETURN_INSTRUCTION};
    EXPECT_EQ(verify(phase).violations, (std::vector{violation(Kind::StrayIssue, 1286, 112, 1)}));

    receiver = {instruction::delay(111), pair(0).first, pair(0).second, RETURN_INSTRUCTION};
    const PhaseVerification never = verify(phase);
    EXPECT_EQ(never.violations, (std::vector{violation(Kind::StraySelection, 1286, 116,
                                                       std::nullopt, std::nullopt, 0u)}));
    EXPECT_EQ(describe(never.violations.front()),
              "tile 1286, from cycle 116 on: stray selection of physical tile 0 where no capture "
              "is required, never released");

    // A tile without a program selects nothing and issues nothing.
    phase.programs.programs[1286].reset();
    phase.programs.programs[0].reset();
    EXPECT_EQ(verify(phase),
              (PhaseVerification{
                  3,
                  2,
                  {violation(Kind::MissingIssue, 0, 135, 3, std::nullopt, std::nullopt, 0u),
                   violation(Kind::MissingCapture, 1286, 113, 3, 0u, std::nullopt, 0u)},
                  2}));
}

// A tile captures one item and issues one word a cycle: two transfers needing it at the same
// cycle cannot both be served, whatever its program does.
TEST(VerifyPhase, TransfersNeedingATileAtTheSameCycleCollide) {
    Phase phase = build_phase({{word_transfer(0, {{1286, 0x70000}}, 3), 0x70000u}});
    ASSERT_EQ(phase.placed.size(), 1u);
    phase.placed.push_back(phase.placed[0]);
    EXPECT_EQ(verify(phase),
              (PhaseVerification{
                  6,
                  2,
                  {violation(Kind::IssueCollision, 0, 135, 3, std::nullopt, std::nullopt, 1u),
                   violation(Kind::CaptureCollision, 1286, 113, 3, 0u, std::nullopt, 1u)},
                  2}));

    // One cycle later, the copy collides on two cycles and misses its last one.
    ++phase.placed[1].offset;
    EXPECT_EQ(verify(phase).violations,
              (std::vector{
                  violation(Kind::IssueCollision, 0, 136, 2, std::nullopt, std::nullopt, 1u),
                  violation(Kind::MissingIssue, 0, 138, 1, std::nullopt, std::nullopt, 1u),
                  violation(Kind::CaptureCollision, 1286, 114, 2, 0u, std::nullopt, 1u),
                  violation(Kind::MissingCapture, 1286, 116, 1, 0u, std::nullopt, 1u),
              }));
}

TEST(VerifyPhase, KeepsTheFirstViolationsInTileThenCycleOrder) {
    std::vector<Request> requests;
    for (std::uint16_t tile = 0; tile < 100; ++tile) {
        requests.push_back(
            {word_transfer(tile, {{static_cast<std::uint16_t>(tile + 700), 0x60000}}, 8)});
    }
    const Phase phase = build_phase(requests);
    ASSERT_TRUE(verify(phase).holds());
    Phase empty = phase;
    empty.placed.clear();
    const PhaseVerification verification = verify(empty);
    EXPECT_EQ(verification.violation_count, 200u);
    ASSERT_EQ(verification.violations.size(), MAX_REPORTED_VIOLATIONS);
    EXPECT_TRUE(
        std::ranges::is_sorted(verification.violations, [](const auto& left, const auto& right) {
            return left.tile != right.tile ? left.tile < right.tile : left.cycle < right.cycle;
        }));
    EXPECT_EQ(verification.violations.front().tile, 0u);
    EXPECT_EQ(verification.violations.back().tile, 63u);
    EXPECT_EQ(describe(verification),
              "phase breaks the machine model: 200 violations on 200 tiles, 0 captures checked");
}

TEST(VerifyPhase, EmptyPhase) {
    const Phase phase = build_phase({});
    EXPECT_EQ(verify(phase), (PhaseVerification{0, 0, {}, 0}));
    EXPECT_EQ(describe(verify(phase)), "phase holds: 0 tiles, 0 captures checked");
}

TEST(VerifyPhase, MalformedInputFailsWithItsError) {
    // Tile 1286 reaches tile 0 in 7 cycles: its first word issues at 105 and arrives from 113.
    const Phase phase = build_phase({{word_transfer(1286, {{0, 0x60000}}, 3), 0x60000u}});
    ASSERT_EQ(phase.placed.size(), 1u);
    ASSERT_EQ(phase.timings[0].payload_start, 105u);
    constexpr std::uint32_t LAST = 0xFFFFFFFFu;
    struct Case {
        const char* what;
        Phase phase;
        ExchangeError error;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change, ExchangeError error) {
        Phase broken = phase;
        change(broken);
        cases.push_back({what, std::move(broken), error});
    };
    add(
        "receiver outside the topology", [](Phase& p) { p.placed[0].transfer.receivers[0] = 1472; },
        ExchangeError::Tile{1472});
    add(
        "reserved source outside the topology",
        [](Phase& p) { p.placed[0].transfer.reserved_source = 2000; }, ExchangeError::Tile{2000});
    add(
        "receiver outside the programs", [](Phase& p) { p.programs.programs.resize(1000); },
        ExchangeError::Tile{1286});
    add(
        "sender outside the topology", [](Phase& p) { p.placed[0].transfer.source = 1500; },
        ExchangeError::Tile{1500});
    add(
        "program of a tile outside the topology",
        [](Phase& p) { p.programs.programs.push_back(Words{RETURN_INSTRUCTION}); },
        ExchangeError::Tile{1472});
    add(
        "program the decoder rejects",
        [](Phase& p) { p.programs.programs[0]->back() = 0xF0000000u; },
        ExchangeError::Schedule{"truncated SENDPICP payload"});
    add(
        "sender row without its sync", [](Phase& p) { p.placed[0].transfer.plan.sender[0] = 0; },
        ExchangeError::Schedule{"sender row entry"});
    add(
        "payload beyond the timeline", [](Phase& p) { p.placed[0].transfer.words = LAST - 104; },
        ExchangeError::Schedule{"issue cycle overflow"});
    add(
        "arrival beyond the timeline", [](Phase& p) { p.placed[0].offset = LAST - 105 - 7; },
        ExchangeError::Schedule{"arrival cycle overflow"});
    for (const Case& test : cases) {
        EXPECT_EQ(verify_phase(v600(), test.phase.placed, test.phase.programs), fail(test.error))
            << test.what;
    }
}

TEST(VerifyPhase, DebugFormsAndDescriptions) {
    const ArrivalViolation wrong = violation(Kind::WrongCapture, 47, 140, 64, 2u, 0u, 0u);
    EXPECT_EQ(to_string(wrong),
              "ArrivalViolation { kind: WrongCapture, tile: 47, cycle: 140, length: Some(64), "
              "required: Some(2), found: Some(0), transfer: Some(0) }");
    EXPECT_EQ(describe(wrong), "tile 47, cycles 140..203: wrong capture for transfer 0: selection "
                               "physical tile 0 where physical tile 2 is required");
    EXPECT_EQ(describe(violation(Kind::MissingCapture, 3, 9, 1, 130u, std::nullopt, 4u)),
              "tile 3, cycle 9: missing capture for transfer 4: selection neutral where physical "
              "tile 130 is required");
    EXPECT_EQ(describe(violation(Kind::MissingIssue, 3, 9, 2, std::nullopt, std::nullopt, 4u)),
              "tile 3, cycles 9..10: missing issue for transfer 4: no payload word issued inside "
              "the transfer's interval");
    EXPECT_EQ(describe(violation(Kind::StrayIssue, 3, 9, 1)),
              "tile 3, cycle 9: stray issue: payload word issued outside every interval of the "
              "tile's transfers");
    EXPECT_EQ(describe(violation(Kind::CaptureCollision, 3, 9, 1, 130u, std::nullopt, 4u)),
              "tile 3, cycle 9: capture collision for transfer 4: another transfer needs a "
              "capture at the same cycle (physical tile 130 required)");
    EXPECT_EQ(describe(violation(Kind::IssueCollision, 3, 9, 1, std::nullopt, std::nullopt, 4u)),
              "tile 3, cycle 9: issue collision for transfer 4: another transfer of the sender "
              "needs a payload word at the same cycle");
    EXPECT_EQ(to_string(Kind::StraySelection), "StraySelection");
    EXPECT_EQ(to_string(PhaseVerification{5, 2, {wrong}, 70}),
              "PhaseVerification { captures_checked: 5, tiles_checked: 2, violations: [" +
                  to_string(wrong) + "], violation_count: 70 }");
    EXPECT_EQ(describe(PhaseVerification{5, 1, {}, 0}), "phase holds: 1 tile, 5 captures checked");
    EXPECT_EQ(describe(PhaseVerification{5, 2, {wrong}, 1}),
              "phase breaks the machine model: 1 violation on 2 tiles, 5 captures checked");

    const PlacedTransfer placed{ResolvedTransfer{}, 7};
    EXPECT_EQ(to_string(placed),
              "PlacedTransfer { transfer: " + to_string(ResolvedTransfer{}) + ", offset: 7 }");
}

} // namespace
} // namespace tarnwick::exchange
