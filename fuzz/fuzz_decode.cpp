// Decoding: `diagnose_plan_program` on arbitrary words with and without a base address, and
// `validate_tile_program` of arbitrary words (or of the schedule's own encoding, mutated or not)
// against a schedule built from arbitrary events and sender intervals.
//
// Promises checked: a diagnosis accounts for every word once, in order, with cycle windows that
// follow one another and agree with the timeline's advances and horizon; the base address changes
// only the addresses; every failure is one of the decoder's and validator's named errors; a
// program that the schedule's own encoder produced validates against it; a validated program's
// diagnostic is its plain diagnosis; logging changes no result.

#include "fuzz_exchange.hpp"
#include "fuzz_input.hpp"

#include "tarnwick/exchange/parse/decoder.hpp"
#include "tarnwick/exchange/parse/validator.hpp"
#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/schedule.hpp"
#include "tarnwick/exchange/timeline.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace {

using namespace tarnwick;
using namespace tarnwick::fuzz;
using exchange::parse::PlanOperation;
using exchange::parse::PlanProgramDiagnostic;
using exchange::parse::SendEncoding;

constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

void check_diagnosis(std::span<const std::uint32_t> words, std::uint32_t base) {
    const auto plain = exchange::parse::diagnose_plan_program(words, std::nullopt);
    const auto based = exchange::parse::diagnose_plan_program(words, base);
    const auto horizon = exchange::plan_event_cycles(words);

    // Decoding at the end of the row is refused, never read past it.
    const auto outside = exchange::parse::decode_operation(words, words.size());
    TARNWICK_FUZZ_CHECK(!outside && is_schedule(outside.error(), "decode offset outside the row"));

    if (!plain) {
        TARNWICK_FUZZ_CHECK(is_schedule(plain.error(), {"truncated SENDPICP payload",
                                                         "diagnostic event horizon overflow"}));
        if (is_schedule(plain.error(), "truncated SENDPICP payload")) {
            TARNWICK_FUZZ_CHECK(!words.empty() && instruction::is_send_control_pair(words.back()));
        } else {
            // The timeline measures the same words and overflows as well.
            TARNWICK_FUZZ_CHECK(!horizon);
        }
        TARNWICK_FUZZ_CHECK(!based);
        TARNWICK_FUZZ_CHECK(based.error() == plain.error() ||
                            is_schedule(based.error(), "diagnostic row address overflow"));
        return;
    }

    TARNWICK_FUZZ_NOTE("diagnosis");
    const PlanProgramDiagnostic& diagnostic = *plain;
    TARNWICK_FUZZ_CHECK(diagnostic.row_words == words.size());
    std::size_t offset = 0;
    std::uint32_t cycle = 0;
    for (const auto& decoded : diagnostic.instructions) {
        TARNWICK_FUZZ_CHECK(decoded.word_offset == offset);
        TARNWICK_FUZZ_CHECK(!decoded.address);
        TARNWICK_FUZZ_CHECK(decoded.start_cycle == cycle);
        TARNWICK_FUZZ_CHECK(decoded.end_cycle >= decoded.start_cycle);
        const std::uint32_t word = words[offset];
        // The decoder and the timeline agree on every word's advance.
        TARNWICK_FUZZ_CHECK(decoded.end_cycle - decoded.start_cycle ==
                            exchange::instruction_advance(word));
        const auto single = exchange::parse::decode_operation(words, offset);
        TARNWICK_FUZZ_CHECK(single.has_value());
        const auto& [operation, advance, width] = *single;
        TARNWICK_FUZZ_CHECK(operation == decoded.operation);
        TARNWICK_FUZZ_CHECK(advance == decoded.end_cycle - decoded.start_cycle);
        const auto* send = operation.get_if<PlanOperation::Send>();
        const bool pair = send != nullptr && send->encoding == SendEncoding::PicPair;
        TARNWICK_FUZZ_CHECK(pair == instruction::is_send_control_pair(word));
        TARNWICK_FUZZ_CHECK(width == (pair ? 2u : 1u));
        if (send != nullptr) {
            TARNWICK_FUZZ_CHECK(send->words >= 1 && send->words == advance);
            TARNWICK_FUZZ_CHECK(send->controls.size() == (pair ? 2u : send->encoding == SendEncoding::Pic ? 1u : 0u));
            TARNWICK_FUZZ_CHECK(send->send_control.has_value() == (send->encoding != SendEncoding::Pic));
        }
        cycle = decoded.end_cycle;
        offset += width;
    }
    TARNWICK_FUZZ_CHECK(offset == words.size());
    TARNWICK_FUZZ_CHECK(diagnostic.event_cycles == cycle);
    TARNWICK_FUZZ_CHECK(horizon && *horizon == diagnostic.event_cycles);

    const std::uint64_t last_address =
        words.empty() ? base
                      : base + 4 * std::uint64_t{diagnostic.instructions.back().word_offset};
    if (!based) {
        TARNWICK_FUZZ_CHECK(is_schedule(based.error(), "diagnostic row address overflow"));
        TARNWICK_FUZZ_CHECK(last_address > U32_MAX);
        return;
    }
    TARNWICK_FUZZ_CHECK(last_address <= U32_MAX);
    TARNWICK_FUZZ_CHECK(based->event_cycles == diagnostic.event_cycles);
    TARNWICK_FUZZ_CHECK(based->row_words == diagnostic.row_words);
    TARNWICK_FUZZ_CHECK(based->instructions.size() == diagnostic.instructions.size());
    for (std::size_t i = 0; i < based->instructions.size(); ++i) {
        auto with_address = based->instructions[i];
        TARNWICK_FUZZ_CHECK(with_address.address ==
                            base + 4 * with_address.word_offset);
        with_address.address.reset();
        TARNWICK_FUZZ_CHECK(with_address == diagnostic.instructions[i]);
    }
}

// A receive event whose kind agrees with its word (an XPIC kind on an XPIC delay, a PIC kind on
// a PIC delay), or now and then one whose kind and word disagree.
exchange::ReceiveEvent receive_event(FuzzInput& in, std::uint32_t cycle) {
    using exchange::ReceiveEventKind;
    const auto kind = static_cast<ReceiveEventKind>(in.in_range(0, 5));
    using W = std::uint32_t;
    // One read per statement, so that every compiler reads the fields in the same order.
    std::uint32_t word = 0;
    if (in.chance(95) ? exchange::is_xpic(kind) : in.boolean()) {
        const bool neutral = kind == ReceiveEventKind::OrdinaryNeutral || kind == ReceiveEventKind::PairedNeutral;
        const W advance = in.in_range<W>(0, 0xFFF);
        const W flag = in.chance(80) ? 0u : 1u;
        const W selection = neutral ? instruction::TILE_MUX_EXCHANGE : in.in_range<W>(0, 0x1FFF);
        word = instruction::delay_xpic(advance, flag, selection);
    } else {
        const bool format = kind == ReceiveEventKind::Format;
        const W advance = in.in_range<W>(0, 0x7F);
        const W selector = format ? 1u : in.in_range<W>(0, 1);
        const W operand = format ? in.in_range<W>(0, 3) : in.in_range<W>(0, 0x3FFFF);
        word = instruction::delay_pic(advance, selector, operand);
    }
    return {cycle, word, kind};
}

bool consistent(const exchange::ReceiveEvent& event) {
    return exchange::is_xpic(event.kind) ? instruction::is_delay_xpic(event.instruction)
                                         : instruction::is_delay_pic(event.instruction);
}

exchange::TileProgramSchedule schedule_of(FuzzInput& in) {
    exchange::TileProgramSchedule schedule;
    std::uint32_t cycle = in.in_range<std::uint32_t>(0, 40);
    const std::size_t senders = in.in_range<std::size_t>(0, 3);
    for (std::size_t i = 0; i < senders; ++i) {
        const exchange::PlanRow row = plan_row(in);
        exchange::ScheduledSenderRow sender{row, 0, 0};
        // Mostly the row's own payload interval at some offset, as a schedule would place it.
        const auto timing = exchange::sender_row_timing(row, cycle);
        if (timing && in.chance(85)) {
            sender.start_cycles = timing->start_cycles;
            sender.end_cycles = timing->end_cycles;
        } else {
            sender.start_cycles = cycles(in);
            sender.end_cycles = sender.start_cycles + in.in_range<std::uint32_t>(0, 200);
        }
        cycle = std::max(cycle, sender.end_cycles) + in.in_range<std::uint32_t>(0, 40);
        schedule.senders.push_back(sender);
    }
    const std::size_t events = in.in_range<std::size_t>(0, 8);
    std::uint32_t event_cycle = in.in_range<std::uint32_t>(0, 20);
    for (std::size_t i = 0; i < events; ++i) {
        event_cycle += in.in_range<std::uint32_t>(0, 30);
        schedule.receive_events.push_back(receive_event(in, in.chance(90) ? event_cycle : cycles(in)));
        cycle = std::max(cycle, event_cycle);
    }
    schedule.event_cycles = in.chance(80) ? cycle + in.in_range<std::uint32_t>(0, 20) : cycles(in);
    return schedule;
}

void check_validation(std::size_t tile, const exchange::TileProgramSchedule& schedule,
                      std::span<const std::uint32_t> words, bool must_validate) {
    const auto quiet = exchange::parse::validate_tile_program(tile, schedule, words);
    RecordingSubscriber recorder;
    tarnwick::Result<PlanProgramDiagnostic> logged = quiet;
    {
        log::ScopedSubscriber scope(recorder);
        logged = exchange::parse::validate_tile_program(tile, schedule, words);
    }
    // Logging never changes a result; the mismatch, and only it, is logged once.
    TARNWICK_FUZZ_CHECK(logged == quiet);
    const bool mismatch = !quiet && is_schedule(quiet.error(), "encoded incoming-control mismatch");
    TARNWICK_FUZZ_CHECK(recorder.events.size() == (mismatch ? 1u : 0u));
    if (mismatch) {
        TARNWICK_FUZZ_NOTE("control mismatch logged");
        const auto& event = recorder.events.front();
        TARNWICK_FUZZ_CHECK(event.level == log::Level::Debug && event.target == log::PARSE_TARGET);
        TARNWICK_FUZZ_CHECK(event.message == "encoded incoming controls differ from the phase schedule");
        TARNWICK_FUZZ_CHECK((event.field_names == std::vector<std::string>{
                                 "tile", "first_mismatch", "actual_len", "expected_len", "actual",
                                 "expected", "actual_window", "expected_window"}));
    }

    if (must_validate) {
        TARNWICK_FUZZ_NOTE("own program of a sound schedule");
    }
    if (!quiet) {
        TARNWICK_FUZZ_CHECK(!must_validate);
        TARNWICK_FUZZ_CHECK(is_schedule(
            quiet.error(),
            {"truncated SENDPICP payload", "diagnostic event horizon overflow",
             "encoded tile horizon mismatch", "unknown encoded exchange instruction",
             "encoded incoming-control mismatch", "encoded sender interval mismatch",
             "unexpected encoded outgoing interval"}));
        return;
    }
    TARNWICK_FUZZ_NOTE("validated");
    const auto plain = exchange::parse::diagnose_plan_program(words, std::nullopt);
    TARNWICK_FUZZ_CHECK(plain && *plain == *quiet);
    TARNWICK_FUZZ_CHECK(quiet->event_cycles == schedule.event_cycles);
    for (const auto& decoded : quiet->instructions) {
        TARNWICK_FUZZ_CHECK(!decoded.operation.is<PlanOperation::Unknown>());
    }
}

void fuzz_validator(FuzzInput& in) {
    const exchange::TileProgramSchedule schedule = schedule_of(in);
    const auto tile = in.integral<std::size_t>();
    switch (in.in_range(0, 2)) {
    case 0: {
        // The schedule's own program: it validates whenever the encoder accepts the schedule,
        // its events agree with their kinds and its messages are sent somewhere.
        const auto program = schedule.finish();
        if (!program) {
            return;
        }
        bool sound = std::all_of(schedule.receive_events.begin(), schedule.receive_events.end(),
                                 consistent);
        for (const auto& sender : schedule.senders) {
            const auto first = std::find_if(sender.row.begin(), sender.row.end(), [](std::uint32_t word) {
                return (word & instruction::LONG_OPCODE_MASK) == instruction::SEND_OPCODE;
            });
            sound = sound && first != sender.row.end() && (*first & 7u) != 0;
        }
        TARNWICK_FUZZ_CHECK(program->back() == instruction::RETURN_INSTRUCTION);
        check_validation(tile, schedule, *program, sound);
        return;
    }
    case 1: {
        // The schedule's own program with some words replaced.
        auto program = schedule.finish();
        if (!program) {
            return;
        }
        const std::size_t changes = in.in_range<std::size_t>(1, 3);
        for (std::size_t i = 0; i < changes; ++i) {
            auto& word = (*program)[in.in_range<std::size_t>(0, program->size() - 1)];
            word = in.boolean() ? exchange_word(in) : word ^ (1u << in.in_range(0u, 31u));
        }
        check_validation(tile, schedule, *program, false);
        return;
    }
    default: {
        const auto words = exchange_words(in, 24);
        check_validation(tile, schedule, words, false);
        return;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    switch (in.in_range(0, 2)) {
    case 0: {
        // Raw words: the rest of the input, as the decoder would meet them in a binary.
        const auto base = in.chance(50) ? in.integral<std::uint32_t>()
                                        : 0xFFFFFFFFu - in.in_range<std::uint32_t>(0, 64);
        const auto words = words_of(in.rest());
        check_diagnosis(words, base);
        break;
    }
    case 1: {
        const auto base = in.chance(70) ? in.in_range<std::uint32_t>(0, 0x100000)
                                        : 0xFFFFFFFFu - in.in_range<std::uint32_t>(0, 64);
        const auto words = exchange_words(in, 40);
        check_diagnosis(words, base);
        break;
    }
    default: fuzz_validator(in); break;
    }
    return 0;
}
