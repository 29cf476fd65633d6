#pragma once

// Turns a fuzzer's byte string into typed values. Every read succeeds: past the end of the data
// it yields zeros, so a target never has to check lengths and every input maps to one call.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tarnwick::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    template <class T>
        requires std::is_integral_v<T>
    [[nodiscard]] T integral() {
        return static_cast<T>(little_endian(sizeof(T)));
    }

    // A value in [low, high], spread over the range; low when the data has run out. Reads only as
    // many bytes as the range needs, so small choices cost one byte of input.
    template <class T>
        requires std::is_integral_v<T>
    [[nodiscard]] T in_range(T low, T high) {
        if (high <= low) {
            return low;
        }
        const auto span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
        const auto bytes = static_cast<std::size_t>((std::bit_width(span) + 7) / 8);
        const std::uint64_t raw = little_endian(bytes);
        const std::uint64_t offset = span == UINT64_MAX ? raw : raw % (span + 1);
        return static_cast<T>(static_cast<std::uint64_t>(low) + offset);
    }

    [[nodiscard]] bool boolean() { return (byte() & 1) != 0; }

    // True with about `percent` in a hundred.
    [[nodiscard]] bool chance(unsigned percent) { return in_range<unsigned>(0, 99) < percent; }

    // One of `choices`; the first when the data has run out.
    template <class T>
    [[nodiscard]] T pick(std::initializer_list<T> choices) {
        return choices.begin()[in_range<std::size_t>(0, choices.size() - 1)];
    }
    template <class T>
    [[nodiscard]] const T& pick(std::span<const T> choices) {
        return choices[in_range<std::size_t>(0, choices.size() - 1)];
    }

    [[nodiscard]] std::vector<std::uint32_t> words(std::size_t maximum) {
        const std::size_t count = in_range<std::size_t>(0, maximum);
        std::vector<std::uint32_t> result;
        result.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            result.push_back(integral<std::uint32_t>());
        }
        return result;
    }

    [[nodiscard]] std::string text(std::size_t maximum) {
        const std::size_t count = in_range<std::size_t>(0, maximum);
        std::string result;
        for (std::size_t i = 0; i < count && !empty(); ++i) {
            result.push_back(static_cast<char>(byte()));
        }
        return result;
    }

    [[nodiscard]] std::span<const std::uint8_t> rest() {
        auto remaining = bytes_.subspan(position_);
        position_ = bytes_.size();
        return remaining;
    }

    [[nodiscard]] bool empty() const { return position_ >= bytes_.size(); }

private:
    std::uint8_t byte() { return position_ < bytes_.size() ? bytes_[position_++] : 0; }

    std::uint64_t little_endian(std::size_t count) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            value |= std::uint64_t{byte()} << (8 * i);
        }
        return value;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// The words of `bytes` read as little-endian u32s; a trailing partial word is dropped.
[[nodiscard]] inline std::vector<std::uint32_t> words_of(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint32_t> words(bytes.size() / 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = std::uint32_t{bytes[4 * i]} | std::uint32_t{bytes[4 * i + 1]} << 8 |
                   std::uint32_t{bytes[4 * i + 2]} << 16 | std::uint32_t{bytes[4 * i + 3]} << 24;
    }
    return words;
}

} // namespace tarnwick::fuzz

// A broken promise of the library under fuzzing: report it and stop, so the fuzzer keeps the input.
#define TARNWICK_FUZZ_CHECK(condition)                                                             \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::tarnwick::fuzz::check_failed(#condition, __FILE__, __LINE__);                       \
        }                                                                                          \
    } while (false)

// Counts an outcome of interest (a success path reached, a check that ran). With the environment
// variable TARNWICK_FUZZ_STATS set, a run prints how often each was reached, so that one can see
// whether a corpus gets past the first checks; otherwise it costs one branch.
#define TARNWICK_FUZZ_NOTE(label) ::tarnwick::fuzz::note(label)

namespace tarnwick::fuzz {
[[noreturn]] void check_failed(const char* condition, const char* file, int line);
void note(const char* label) noexcept;
}
