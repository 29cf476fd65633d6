#include "tarnwick/exchange/timeline.hpp"

namespace tarnwick::exchange {

Status append_plain_delay(std::vector<std::uint32_t>& words, std::uint32_t& event_cycles,
                          std::uint32_t target_cycles) {
    if (target_cycles < event_cycles) {
        return schedule_error("plan delay order");
    }
    std::uint32_t remaining = target_cycles - event_cycles;
    while (remaining > 0) {
        const std::uint32_t chunk = remaining < MAXIMUM_DELAY_ADVANCE ? remaining
                                                                      : MAXIMUM_DELAY_ADVANCE;
        words.push_back(instruction::delay(chunk - 1u));
        event_cycles += chunk;
        remaining -= chunk;
    }
    return {};
}

Status append_plain_delay_aligned(std::vector<std::uint32_t>& words, std::uint32_t& event_cycles,
                                  std::uint32_t target_cycles, std::uint32_t word_parity) {
    if (target_cycles < event_cycles) {
        return schedule_error("plan delay order");
    }
    // Only an even or an odd word count can be asked for; any other parity could never be met.
    if (word_parity > 1) {
        return schedule_error("SENDPICP instruction alignment");
    }
    const std::uint32_t distance = target_cycles - event_cycles;
    const auto current_parity = static_cast<std::uint32_t>(words.size() % 2);
    if (distance == 0) {
        if (current_parity != word_parity) {
            return schedule_error("SENDPICP instruction alignment");
        }
        return {};
    }
    const std::uint32_t minimum_words =
        distance / MAXIMUM_DELAY_ADVANCE + (distance % MAXIMUM_DELAY_ADVANCE != 0 ? 1u : 0u);
    std::uint32_t delay_words = minimum_words;
    if ((current_parity + minimum_words) % 2 != word_parity) {
        ++delay_words;
    }
    if (delay_words > distance) {
        return schedule_error("SENDPICP instruction alignment");
    }
    std::uint32_t remaining = distance;
    for (std::uint32_t remaining_words = delay_words; remaining_words > 0; --remaining_words) {
        const std::uint32_t spare = remaining - (remaining_words - 1u);
        const std::uint32_t chunk = spare < MAXIMUM_DELAY_ADVANCE ? spare : MAXIMUM_DELAY_ADVANCE;
        words.push_back(instruction::delay(chunk - 1u));
        event_cycles += chunk;
        remaining -= chunk;
    }
    return {};
}

} // namespace tarnwick::exchange
