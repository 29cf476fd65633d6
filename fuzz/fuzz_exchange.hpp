#pragma once

// Shared pieces of the exchange fuzz targets: exchange words and rows of every shape the library
// reads (mostly well-formed, with fuzzed fields, so that inputs get past the first checks), real
// rows from the assemblers, the check that an error is one the library names, and a log
// subscriber that records every event.

#include "fuzz_input.hpp"

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/multicast.hpp"
#include "tarnwick/exchange/paired.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/exchange/point_to_point.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/log.hpp"
#include "tarnwick/topology.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::fuzz {

[[nodiscard]] inline const topology::Topology& v600() {
    static const topology::Topology topology = topology::Topology::v600();
    return topology;
}

// A few V600 tiles that the reference cases use, so that transfers meet on the same tiles.
inline constexpr std::array<std::uint16_t, 10> TILES = {0, 1, 2, 3, 9, 274, 736, 1286, 1409, 1471};

[[nodiscard]] inline std::uint16_t tile(FuzzInput& in) {
    if (in.chance(85)) {
        return in.pick(std::span<const std::uint16_t>(TILES));
    }
    return in.integral<std::uint16_t>();
}

// A cycle count: mostly small, sometimes anywhere, sometimes next to the top of the range.
[[nodiscard]] inline std::uint32_t cycles(FuzzInput& in) {
    switch (in.in_range(0, 3)) {
    case 0: return in.in_range<std::uint32_t>(0, 300);
    case 1: return in.in_range<std::uint32_t>(0, 0x100000);
    case 2: return UINT32_MAX - in.in_range<std::uint32_t>(0, 300);
    default: return in.integral<std::uint32_t>();
    }
}

// One exchange word of a chosen kind with fuzzed fields. Every field is read in its own
// statement: the order of reads must not depend on the compiler (the replay build uses another).
[[nodiscard]] inline std::uint32_t exchange_word(FuzzInput& in) {
    using namespace instruction;
    using W = std::uint32_t;
    switch (in.in_range(0, 13)) {
    case 0: return SYNC_EXCHANGE_INSTRUCTION;
    case 1: return RETURN_INSTRUCTION;
    case 2: return delay(in.chance(80) ? in.in_range<W>(0, 200) : in.integral<W>());
    case 3: {
        const W advance = in.in_range<W>(0, 0x7F);
        const W format = in.in_range<W>(0, 1);
        const W operand = in.chance(50) ? in.pick<W>({0, 1, 2, 3, 0x14000, 0x18000}) : in.integral<W>();
        return delay_pic(advance, format, operand);
    }
    case 4: {
        const W advance = in.chance(70) ? in.in_range<W>(0, 0x40) : in.in_range<W>(0, 0xFFF);
        const W flag = in.chance(80) ? 0u : 1u;
        const W selection = in.chance(40) ? TILE_MUX_EXCHANGE : in.in_range<W>(0, 0x1FFF);
        return delay_xpic(advance, flag, selection);
    }
    case 5: {
        const W count = in.in_range<W>(0, 63);
        const W base = in.in_range<W>(0, 0x3FFFF);
        const W direction = in.in_range<W>(0, 7);
        return SEND_OPCODE | count << 21 | base << 3 | direction;
    }
    case 6: {
        const W count = in.chance(70) ? in.in_range<W>(0, 80) : in.in_range<W>(0, 4095);
        const W direction = in.in_range<W>(0, 7);
        const W base = in.in_range<W>(0, 0x7FF);
        return send_off(count, direction, base);
    }
    case 7: { // SENDPIC: count, selector, operand
        const W count = in.in_range<W>(0, 63);
        const W selector = in.in_range<W>(0, 3);
        const W operand = in.in_range<W>(0, 0x3FFFF);
        return SEND_CONTROL_OPCODE | count << 21 | selector << 18 | operand;
    }
    case 8: { // SENDPICP first word: pic flag, count, source, send control
        const W format = in.in_range<W>(0, 1);
        const W count = in.in_range<W>(0, 63);
        const W source = in.in_range<W>(0, 0x3FFFF);
        const W control = in.in_range<W>(0, 7);
        return SEND_CONTROL_PAIR_OPCODE | format << 27 | count << 21 | source << 3 | control;
    }
    case 9: { // SENDPICP payload word: xpic value above the pic operand
        const W xpic = in.in_range<W>(0, 0x3FFF);
        const W pic = in.in_range<W>(0, 0x3FFFF);
        return xpic << 18 | pic;
    }
    case 10: return SYNC_OPCODE | in.in_range<W>(0, 0xFF);
    case 11: return 0;
    default: return in.integral<W>();
    }
}

[[nodiscard]] inline std::vector<std::uint32_t> exchange_words(FuzzInput& in, std::size_t maximum) {
    const std::size_t count = in.in_range<std::size_t>(0, maximum);
    std::vector<std::uint32_t> words;
    words.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        words.push_back(exchange_word(in));
    }
    return words;
}

// The rows of one real transfer (point-to-point, multicast or paired), or nothing when the fuzzed
// arguments are refused.
[[nodiscard]] inline Result<exchange::MulticastPlan> assembled_plan(FuzzInput& in) {
    const std::uint16_t sender = tile(in);
    std::vector<std::uint16_t> receivers;
    const std::size_t count = in.in_range<std::size_t>(1, 3);
    for (std::size_t i = 0; i < count; ++i) {
        receivers.push_back(tile(in));
    }
    const std::uint32_t words =
        in.chance(85) ? in.in_range<std::uint32_t>(1, 600) : in.in_range<std::uint32_t>(0, 5000);
    switch (in.in_range(0, 2)) {
    case 0: return exchange::point_to_point(v600(), sender, receivers[0], words);
    case 1: return exchange::multicast(v600(), sender, receivers, words, in.in_range<std::uint32_t>(0, 300));
    default: {
        // Receivers in pairs: each chosen tile with its partner.
        std::vector<std::uint16_t> pairs;
        for (const std::uint16_t receiver : receivers) {
            pairs.push_back(receiver);
            if (auto partner = v600().paired_logical(receiver)) {
                pairs.push_back(*partner);
            }
        }
        return exchange::paired_multicast(v600(), sender, pairs, words);
    }
    }
}

// A nine-word row: a real sender or receiver row (sometimes with a word replaced), or a row made
// of sync, fuzzed words, return and zero tail, or nine arbitrary words.
[[nodiscard]] inline exchange::PlanRow plan_row(FuzzInput& in) {
    exchange::PlanRow row{};
    switch (in.in_range(0, 3)) {
    case 0:
    case 1: {
        const auto plan = assembled_plan(in);
        if (plan) {
            const std::size_t which = in.in_range<std::size_t>(0, plan->receivers.size());
            row = which == 0 ? plan->sender : plan->receivers[which - 1];
            if (in.chance(30)) {
                const std::size_t index = in.in_range<std::size_t>(0, row.size() - 1);
                row[index] = exchange_word(in);
            }
            return row;
        }
        [[fallthrough]];
    }
    case 2: {
        row[0] = in.chance(90) ? instruction::SYNC_EXCHANGE_INSTRUCTION : exchange_word(in);
        const std::size_t body = in.in_range<std::size_t>(0, 7);
        for (std::size_t i = 1; i <= body; ++i) {
            row[i] = exchange_word(in);
        }
        if (body + 1 < row.size() && in.chance(90)) {
            row[body + 1] = instruction::RETURN_INSTRUCTION;
        }
        return row;
    }
    default:
        for (auto& word : row) {
            word = in.integral<std::uint32_t>();
        }
        return row;
    }
}

// Whether `error` is a Schedule error with one of `messages`.
[[nodiscard]] inline bool is_schedule(const ExchangeError& error,
                                      std::initializer_list<std::string_view> messages) {
    const auto* schedule = error.get_if<ExchangeError::Schedule>();
    return schedule != nullptr &&
           std::find(messages.begin(), messages.end(), schedule->message) != messages.end();
}

[[nodiscard]] inline bool is_schedule(const ExchangeError& error, std::string_view message) {
    return is_schedule(error, {message});
}

// Records every event, at every level and target.
class RecordingSubscriber final : public log::Subscriber {
public:
    struct Recorded {
        log::Level level;
        std::string target;
        std::string message;
        std::vector<std::string> field_names;
    };

    [[nodiscard]] bool enabled(log::Level, std::string_view) const noexcept override { return true; }
    void record(const log::Event& event) noexcept override {
        Recorded recorded{event.level, std::string(event.target), std::string(event.message), {}};
        for (const auto& field : event.fields) {
            recorded.field_names.emplace_back(field.name);
        }
        events.push_back(std::move(recorded));
    }

    std::vector<Recorded> events;
};

} // namespace tarnwick::fuzz
