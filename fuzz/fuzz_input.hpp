#pragma once

// Turns a fuzzer's byte string into typed values. Every read succeeds: past the end of the data
// it yields zeros, so a target never has to check lengths and every input maps to one call.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace tarnwick::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    template <class T>
        requires std::is_integral_v<T>
    [[nodiscard]] T integral() {
        std::make_unsigned_t<T> value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            value = static_cast<std::make_unsigned_t<T>>(value | (static_cast<std::make_unsigned_t<T>>(byte()) << (8 * i)));
        }
        return static_cast<T>(value);
    }

    // A value in [low, high], spread over the range; low when the data has run out.
    template <class T>
        requires std::is_integral_v<T>
    [[nodiscard]] T in_range(T low, T high) {
        if (high <= low) {
            return low;
        }
        const auto span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
        const std::uint64_t raw = integral<std::uint64_t>();
        const std::uint64_t offset = span == UINT64_MAX ? raw : raw % (span + 1);
        return static_cast<T>(static_cast<std::uint64_t>(low) + offset);
    }

    [[nodiscard]] bool boolean() { return (byte() & 1) != 0; }

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

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

} // namespace tarnwick::fuzz

// A broken promise of the library under fuzzing: report it and stop, so the fuzzer keeps the input.
#define TARNWICK_FUZZ_CHECK(condition)                                                             \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::tarnwick::fuzz::check_failed(#condition, __FILE__, __LINE__);                       \
        }                                                                                          \
    } while (false)

namespace tarnwick::fuzz {
[[noreturn]] void check_failed(const char* condition, const char* file, int line);
}
