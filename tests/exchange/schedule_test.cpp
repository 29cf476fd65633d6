#include "tarnwick/exchange/schedule.hpp"

#include "tarnwick/exchange/multicast.hpp"
#include "tarnwick/exchange/parse/decoder.hpp"
#include "tarnwick/exchange/patch.hpp"
#include "tarnwick/exchange/row_timing.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/topology.hpp"

#include "exchange/schedule_internal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <random>
#include <string_view>
#include <tuple>
#include <vector>

namespace tarnwick::exchange {
namespace {

using instruction::delay;
using instruction::delay_pic;
using instruction::delay_xpic;
using instruction::RETURN_INSTRUCTION;
using instruction::SYNC_EXCHANGE_INSTRUCTION;
using instruction::TILE_MUX_EXCHANGE;
using parse::IncomingControlStream;
using Kind = ReceiveEventKind;
using Words = std::vector<std::uint32_t>;

std::unexpected<ExchangeError> schedule(std::string_view message) { return schedule_error(message); }

const topology::Topology& v600() {
    static const topology::Topology topology = topology::Topology::v600();
    return topology;
}

// The rows of a one-receiver multicast, the receiver's pointer at `address`.
MulticastPlan transfer(std::uint16_t sender, std::uint16_t receiver, std::uint32_t count,
                       std::uint32_t address = 0x50000, std::uint32_t offset = 0) {
    const std::uint16_t receivers[] = {receiver};
    auto plan = multicast(v600(), sender, receivers, count, offset);
    EXPECT_TRUE(plan.has_value());
    EXPECT_TRUE(patch_receiver_address(plan->receivers[0], address).has_value());
    return *plan;
}

// A control as the program sets it: the cycle it takes effect, its stream and value.
using Control = std::tuple<std::uint32_t, IncomingControlStream, std::uint32_t>;

struct Walk {
    std::vector<Control> controls;
    std::uint32_t payload_words = 0; // words of outgoing sends (non-zero send control or SENDPIC)
    std::uint32_t initial_sends = 0;
    std::uint32_t fused_controls = 0; // controls carried by SENDPIC words or outgoing SENDPICPs
    std::uint32_t horizon = 0;
};

Walk walk(const Words& program) {
    const auto diagnostic = parse::diagnose_plan_program(program, std::nullopt);
    EXPECT_TRUE(diagnostic.has_value());
    Walk result;
    result.horizon = diagnostic->event_cycles;
    for (const auto& decoded : diagnostic->instructions) {
        if (const auto* control = decoded.operation.get_if<parse::PlanOperation::IncomingControl>()) {
            result.controls.emplace_back(decoded.end_cycle, control->control.stream,
                                         control->control.value);
        } else if (const auto* send = decoded.operation.get_if<parse::PlanOperation::Send>()) {
            for (const auto& control : send->controls) {
                result.controls.emplace_back(decoded.start_cycle + 1, control.stream, control.value);
            }
            const bool outgoing = !(send->send_control && *send->send_control == 0);
            if (outgoing) {
                result.payload_words += send->words;
                result.fused_controls += static_cast<std::uint32_t>(send->controls.size());
                result.initial_sends += send->encoding == parse::SendEncoding::Explicit ? 1 : 0;
            }
        }
    }
    std::ranges::sort(result.controls);
    return result;
}

std::vector<Control> expected_controls(std::span<const ReceiveEvent> events) {
    std::vector<Control> controls;
    for (const ReceiveEvent& event : events) {
        if (is_xpic(event.kind)) {
            controls.emplace_back(event.cycles, IncomingControlStream::Xpic, event.instruction & 0x3FFF);
        } else {
            controls.emplace_back(event.cycles, IncomingControlStream::Pic, event.instruction & 0x7FFFF);
        }
    }
    std::ranges::sort(controls);
    return controls;
}

TEST(TileProgramSchedule, FreshScheduleIsJustAReturn) {
    const TileProgramSchedule fresh;
    EXPECT_EQ(fresh.event_cycles, 0u);
    EXPECT_EQ(fresh.finish(), (Words{RETURN_INSTRUCTION}));
    EXPECT_EQ(to_string(fresh),
              "TileProgramSchedule { senders: [], receive_events: [], event_cycles: 0, "
              "receive_stream: None }");
}

TEST(TileProgramSchedule, SenderRowsDoNotOverlap) {
    const PlanRow row = transfer(0, 1286, 100).sender;
    const SenderRowTiming timing = *sender_row_timing(row, 0);
    TileProgramSchedule tile;
    ASSERT_TRUE(tile.append_sender_at(row, 0).has_value());
    EXPECT_EQ(tile.event_cycles, timing.horizon_cycles);
    EXPECT_EQ(tile.senders, (std::vector{ScheduledSenderRow{row, timing.start_cycles, timing.end_cycles}}));

    const TileProgramSchedule before = tile;
    EXPECT_EQ(tile.append_sender_at(row, 0), schedule("overlapping outgoing messages"));
    EXPECT_EQ(tile.append_sender_at(row, 99), schedule("overlapping outgoing messages"));
    EXPECT_EQ(tile, before);

    // The second copy starts exactly where the first one's payload ends.
    EXPECT_EQ(tile.earliest_sender_offset(row, 0), 100u);
    EXPECT_EQ(tile.earliest_sender_offset(row, 150), 150u);
    ASSERT_TRUE(tile.append_sender_at(row, 100).has_value());
    const auto program = tile.finish();
    ASSERT_TRUE(program.has_value()) << program.error();
    EXPECT_EQ(walk(*program).payload_words, 200u);
    EXPECT_EQ(plan_event_cycles(*program), tile.event_cycles);
}

TEST(TileProgramSchedule, NoReceiveEventOnAMessageStartOrTheCycleAfter) {
    const PlanRow row = transfer(0, 1286, 100).sender;
    const std::uint32_t start = sender_row_timing(row, 0)->start_cycles;
    for (const std::uint32_t cycles : {start, start + 1}) {
        TileProgramSchedule tile;
        tile.receive_events.push_back(ReceiveEvent{cycles, delay_xpic(0, 0, 5), Kind::OrdinarySource});
        const TileProgramSchedule before = tile;
        EXPECT_EQ(tile.append_sender_at(row, 0), schedule("unencodable initial send control"));
        EXPECT_EQ(tile, before);
    }
    // The search steps past both cycles one at a time.
    TileProgramSchedule tile;
    tile.receive_events.push_back(ReceiveEvent{start, delay_xpic(0, 0, 5), Kind::OrdinarySource});
    tile.receive_events.push_back(ReceiveEvent{start + 2, delay_pic(0, 0, 5), Kind::Pointer});
    EXPECT_EQ(tile.earliest_sender_offset(row, 0), 3u);
    EXPECT_EQ(tile.earliest_sender_offset(row, 1), 3u);
    EXPECT_EQ(tile.earliest_sender_offset(row, 4), 4u);
}

TEST(TileProgramSchedule, OverlappingReceiveStreamsAreRefused) {
    const MulticastPlan first = transfer(0, 736, 64, 0x50000);
    TileProgramSchedule tile;
    const auto window = tile.append_receiver_at(first.receivers[0], 0, 64);
    ASSERT_TRUE(window.has_value()) << window.error();
    EXPECT_EQ(tile.receive_stream,
              (ReceiveStream{ReceiveMode::Ordinary, window->source_end, window->payload_end, 0x50100}));
    EXPECT_EQ(tile.event_cycles, window->horizon);

    // A second stream whose source selection comes one cycle before the first one's source end.
    const MulticastPlan second = transfer(1286, 736, 64, 0x60000);
    const std::uint32_t source_cycles = *receive_row_timing(second.receivers[0], 0)->source_cycles;
    ASSERT_GT(window->source_end, source_cycles);
    const std::uint32_t early = window->source_end - 1 - source_cycles;
    const TileProgramSchedule before = tile;
    EXPECT_EQ(tile.append_receiver_at(second.receivers[0], early, 64),
              schedule("overlapping receive streams"));
    EXPECT_EQ(tile, before);
    const auto offset = tile.earliest_receiver_offset(second.receivers[0], 64, 0);
    ASSERT_TRUE(offset.has_value());
    EXPECT_GE(*offset, early + 1);
    EXPECT_TRUE(tile.append_receiver_at(second.receivers[0], *offset, 64).has_value());
}

TEST(TileProgramSchedule, ReceiveAddressOverflow) {
    const MulticastPlan plan = transfer(0, 736, 64, 0xFFFFC);
    TileProgramSchedule tile;
    EXPECT_EQ(tile.append_receiver_at(plan.receivers[0], 0, 0x3FFFFFFF),
              schedule("receive address overflow"));
    EXPECT_EQ(tile, TileProgramSchedule{});
    EXPECT_TRUE(tile.append_receiver_at(plan.receivers[0], 0, 0x3FFFFFFF - 0x3FFFF).has_value());
    EXPECT_EQ(tile.receive_stream->next_address, 0xFFFFFFFCu);
}

TEST(TileProgramSchedule, SearchesReportTheirErrors) {
    TileProgramSchedule tile;
    PlanRow no_sync = transfer(0, 736, 64).sender;
    no_sync[0] = 0;
    EXPECT_EQ(tile.earliest_sender_offset(no_sync, 0), schedule("sender row entry"));
    const PlanRow row = transfer(0, 736, 64).sender;
    EXPECT_EQ(tile.earliest_sender_offset(row, 0xFFFFFFF0), schedule("send offset overflow"));
    const PlanRow receiver = transfer(0, 736, 64).receivers[0];
    EXPECT_EQ(tile.earliest_receiver_offset(receiver, 64, 0xFFFFFFF0),
              schedule("receive offset overflow"));
}

// A stream whose pointer event comes one cycle earlier, relative to its source selection, than in
// the stream before it, and whose receive address continues that stream's: the payload bound
// still applies, so the search returns an offset that the append accepts, and every earlier one
// is refused.
TEST(TileProgramSchedule, ReceiverSearchKeepsPayloadsApartWhenTheAddressContinues) {
    const std::uint16_t tile_number = 736;
    const MulticastPlan first = transfer(0, tile_number, 60, 0x50000);
    const MulticastPlan second = transfer(1286, tile_number, 52, 0x50000 + 60 * 4);
    TileProgramSchedule tile;
    ASSERT_TRUE(tile.append_receiver_at(first.receivers[0], 0, 60).has_value());

    const ReceiveRowTiming base = *receive_row_timing(second.receivers[0], 0);
    ASSERT_EQ(base.pointer_address, tile.receive_stream->next_address);
    const auto offset = tile.earliest_receiver_offset(second.receivers[0], 52, 0);
    ASSERT_TRUE(offset.has_value()) << offset.error();
    TileProgramSchedule accepted = tile;
    const auto window = accepted.append_receiver_at(second.receivers[0], *offset, 52);
    ASSERT_TRUE(window.has_value()) << window.error();
    EXPECT_EQ(window->payload_start, tile.receive_stream->pointer_end_cycles);
    for (std::uint32_t earlier = 0; earlier < *offset; ++earlier) {
        TileProgramSchedule trial = tile;
        EXPECT_EQ(trial.append_receiver_at(second.receivers[0], earlier, 52),
                  schedule("overlapping receive streams"))
            << earlier;
    }
    // The bound applied only where the address moves lands one cycle too early here.
    const auto weaker = detail::earliest_receiver_offset(tile, base, 52, 0,
                                                         detail::PayloadBound::WhenAddressMoves);
    ASSERT_TRUE(weaker.has_value());
    EXPECT_EQ(*weaker + 1, *offset);

    // Without a pointer event the bound cannot be applied.
    ReceiveRowTiming pointerless = base;
    pointerless.pointer_cycles.reset();
    EXPECT_EQ(detail::earliest_receiver_offset(tile, pointerless, 52, 0),
              schedule("receive pointer event"));
}

// Back-to-back ordinary streams into one tile, with receive addresses that continue one another
// except for random gaps: one source selection per stream, one final teardown, and a pointer only
// where the address does not continue, however the controls are encoded.
TEST(TileProgramSchedule, BackToBackOrdinaryStreams) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::uint16_t> tiles(0, 1471);
    bool coincident_pairs = false;
    for (int round = 0; round < 200; ++round) {
        const std::uint16_t receiver = tiles(random);
        const int streams = std::uniform_int_distribution<int>(2, 12)(random);
        std::uint32_t count = std::uniform_int_distribution<std::uint32_t>(53, 512)(random);
        if (round % 4 == 0) {
            // Lands the pointer control on the stream's teardown or on the next source selection.
            count = 52 + 2 * static_cast<std::uint32_t>(v600().logical_to_physical[receiver] >> 6);
            count = std::max<std::uint32_t>(count, 53);
        }
        std::uint32_t address = 0x40000;
        std::uint32_t gaps = 0;
        TileProgramSchedule tile;
        for (int stream = 0; stream < streams; ++stream) {
            if (stream > 0 && std::uniform_int_distribution<int>(0, 3)(random) == 0) {
                address += 4 * std::uniform_int_distribution<std::uint32_t>(1, 16)(random);
                ++gaps;
            }
            std::uint16_t sender = tiles(random);
            while (sender == receiver) {
                sender = tiles(random);
            }
            const PlanRow row = transfer(sender, receiver, count, address).receivers[0];
            const auto offset = tile.earliest_receiver_offset(row, count, 0);
            ASSERT_TRUE(offset.has_value()) << offset.error();
            ASSERT_TRUE(tile.append_receiver_at(row, *offset, count).has_value());
            address += 4 * count;
        }
        const auto program = tile.finish();
        ASSERT_TRUE(program.has_value()) << program.error();
        const Walk walked = walk(*program);
        EXPECT_EQ(walked.horizon, tile.event_cycles);
        EXPECT_EQ(walked.controls, expected_controls(tile.receive_events));
        const auto count_of = [&](IncomingControlStream stream, std::optional<std::uint32_t> value) {
            return std::ranges::count_if(walked.controls, [&](const Control& control) {
                return std::get<1>(control) == stream && (!value || std::get<2>(control) == *value);
            });
        };
        EXPECT_EQ(count_of(IncomingControlStream::Xpic, TILE_MUX_EXCHANGE), 1);
        EXPECT_EQ(count_of(IncomingControlStream::Xpic, std::nullopt), streams + 1);
        EXPECT_EQ(count_of(IncomingControlStream::Pic, std::nullopt), 1 + gaps);
        coincident_pairs = coincident_pairs ||
                           std::ranges::any_of(*program, instruction::is_send_control_pair);
    }
    EXPECT_TRUE(coincident_pairs);
}

// A relay: a tile receives 64 words and sends them on, with a row built after its incoming
// horizon.
TEST(TileProgramSchedule, Relay) {
    const MulticastPlan incoming = transfer(0, 736, 64);
    TileProgramSchedule tile;
    ASSERT_TRUE(tile.append_receiver_at(incoming.receivers[0], 0, 64).has_value());
    const std::uint32_t incoming_horizon = tile.event_cycles;
    const MulticastPlan outgoing = transfer(736, 1286, 64, 0x50000, incoming_horizon + 1);
    const auto offset = tile.earliest_sender_offset(outgoing.sender, 0);
    ASSERT_TRUE(offset.has_value());
    ASSERT_TRUE(tile.append_sender_at(outgoing.sender, *offset).has_value());
    const auto program = tile.finish();
    ASSERT_TRUE(program.has_value()) << program.error();
    EXPECT_EQ(program->back(), RETURN_INSTRUCTION);
    EXPECT_EQ(std::ranges::count(*program, SYNC_EXCHANGE_INSTRUCTION), 0);
    EXPECT_EQ(plan_event_cycles(*program), tile.event_cycles);
    EXPECT_LE(*plan_event_cycles(outgoing.sender), tile.event_cycles);
    EXPECT_EQ(walk(*program).payload_words, 64u);
}

// Mixed roles: a tile receives a stream and sends as many words to another tile at its earliest
// sender offset. The program carries exactly the window's controls, whatever their encoding, and
// often fuses one into the outgoing message.
TEST(TileProgramSchedule, MixedRoles) {
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint16_t> tiles(0, 1471);
    int fused = 0;
    for (int round = 0; round < 300; ++round) {
        const std::uint16_t middle = tiles(random);
        std::uint16_t from = tiles(random);
        std::uint16_t to = tiles(random);
        while (from == middle) {
            from = tiles(random);
        }
        while (to == middle) {
            to = tiles(random);
        }
        const std::uint32_t count = std::uniform_int_distribution<std::uint32_t>(2, 256)(random);
        TileProgramSchedule tile;
        const auto window = tile.append_receiver_at(transfer(from, middle, count).receivers[0], 0, count);
        ASSERT_TRUE(window.has_value()) << window.error();
        const PlanRow outgoing = transfer(middle, to, count).sender;
        const auto offset = tile.earliest_sender_offset(outgoing, 0);
        ASSERT_TRUE(offset.has_value());
        ASSERT_TRUE(tile.append_sender_at(outgoing, *offset).has_value());
        const auto program = tile.finish();
        ASSERT_TRUE(program.has_value()) << program.error() << " round " << round;
        const Walk walked = walk(*program);
        EXPECT_EQ(walked.horizon, tile.event_cycles);
        EXPECT_EQ(walked.controls, expected_controls(window->events));
        EXPECT_EQ(walked.payload_words, count);
        EXPECT_EQ(walked.initial_sends, 1u);
        fused += walked.fused_controls > 0 ? 1 : 0;
    }
    EXPECT_GT(fused, 30);
}

} // namespace
} // namespace tarnwick::exchange
