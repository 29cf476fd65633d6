#include "tarnwick/memory.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <iterator>
#include <ranges>
#include <set>
#include <vector>

namespace tarnwick::memory {
namespace {

static_assert(std::ranges::input_range<MemoryElements>);
static_assert(std::ranges::forward_range<MemoryElements>);
static_assert(std::ranges::view<MemoryElements>);
static_assert(std::ranges::borrowed_range<MemoryElements>);

constexpr MemoryElement plain(std::uint32_t index) {
    return {false, index};
}
constexpr MemoryElement interleaved(std::uint32_t index) {
    return {true, index};
}

template <std::size_t N>
constexpr bool yields(std::uint32_t address, std::uint32_t words,
                      const std::array<MemoryElement, N>& expected) {
    return std::ranges::equal(memory_elements_for_words(address, words), expected);
}

static_assert(std::ranges::empty(memory_elements_for_words(0x4C000, 0)));
static_assert(yields(0x4C000, 1, std::array{plain(19)}));
static_assert(yields(0x4C001, 1, std::array{plain(19)}));
static_assert(yields(0x4BFFC, 2, std::array{plain(18), plain(19)}));
static_assert(yields(0x7FFFC, 2, std::array{plain(31), interleaved(0)}));
static_assert(yields(0x7C000, 0x4000, std::array{plain(31), interleaved(0), interleaved(1)}));
static_assert(yields(0x80000, 0x2000, std::array{interleaved(0)}));
static_assert(yields(0x80000, 0x2001, std::array{interleaved(0), interleaved(1)}));
static_assert(yields(0xE7FFC, 1, std::array{interleaved(12)}));
// The end is cut at 0xFFFFFFFF instead of wrapping past zero.
static_assert(yields(0xFFFFFFF0, 0x10, std::array{interleaved(131055)}));

static_assert(plain(31) < interleaved(0));
static_assert(interleaved(0) < interleaved(1));
static_assert(plain(2) < plain(3));
static_assert(plain(3) == plain(3) && plain(3) != interleaved(3));

TEST(MemoryElements, SaturatesTheEndInsteadOfWrapping) {
    const MemoryElements cut = memory_elements_for_words(0xFFFFFFF0, 0x10);
    EXPECT_EQ(cut.cursor(), 0xFFFFFFF0u);
    EXPECT_EQ(cut.end_address(), 0xFFFFFFFFu);

    // The product saturates too: the whole address space from 0, every element once.
    const MemoryElements all = memory_elements_for_words(0, 0xFFFFFFFF);
    EXPECT_EQ(all.end_address(), 0xFFFFFFFFu);
    EXPECT_EQ(std::ranges::distance(all), 32 + 131056);
    EXPECT_TRUE(std::ranges::adjacent_find(all, std::ranges::greater_equal{}) == all.end());
    EXPECT_EQ(*std::ranges::next(all.begin(), 31), plain(31));
    EXPECT_EQ(*std::ranges::next(all.begin(), 32 + 131055), interleaved(131055));

    // A product that fits but a sum that does not.
    EXPECT_EQ(memory_elements_for_words(0xFFFFFFFC, 2).end_address(), 0xFFFFFFFFu);
    EXPECT_EQ(memory_elements_for_words(0xFFFFFFFC, 0x40000000).end_address(), 0xFFFFFFFFu);
}

TEST(MemoryElements, NextConsumesAndStaysExhausted) {
    MemoryElements elements = memory_elements_for_words(0x7FFFC, 2);
    const MemoryElements copy = elements;
    // Iterating does not consume the view.
    EXPECT_EQ(std::ranges::distance(elements), 2);
    EXPECT_EQ(elements, copy);
    EXPECT_EQ(elements.next(), plain(31));
    EXPECT_EQ(elements.cursor(), 0x80000u);
    EXPECT_EQ(elements.next(), interleaved(0));
    EXPECT_EQ(elements.cursor(), elements.end_address());
    EXPECT_EQ(elements.next(), std::nullopt);
    EXPECT_EQ(elements.next(), std::nullopt);
    EXPECT_TRUE(std::ranges::empty(elements));

    MemoryElements last = memory_elements_for_words(0xFFFFFFF0, 0x10);
    EXPECT_EQ(last.next(), interleaved(131055));
    EXPECT_EQ(last.next(), std::nullopt);
}

TEST(MemoryElements, MatchesPerWordMappingOnAlignedSpans) {
    auto element_of = [](std::uint32_t address) {
        return address < 0x80000 ? plain(address >> 14) : interleaved((address - 0x80000) >> 15);
    };
    constexpr std::uint32_t WORD_COUNTS[] = {1, 2, 0xFFF, 0x1000, 0x1001, 0x2000, 0x2001, 0x4000};
    for (std::uint32_t address = 0x4C000; address < 0xE8000; address += 0x1FFC) {
        for (const std::uint32_t words : WORD_COUNTS) {
            if (address + 4 * words > 0xE8000) {
                continue;
            }
            std::set<MemoryElement> expected;
            for (std::uint32_t i = 0; i < words; ++i) {
                expected.insert(element_of(address + 4 * i));
            }
            std::vector<MemoryElement> yielded;
            for (const MemoryElement element : memory_elements_for_words(address, words)) {
                yielded.push_back(element);
            }
            // Yielded in ascending order without repeats, which equals the set's order.
            EXPECT_TRUE(std::ranges::equal(yielded, expected))
                << "address " << std::hex << address << " words " << words;
        }
    }
}

TEST(MemoryElements, DebugForms) {
    EXPECT_EQ(to_string(plain(19)), "MemoryElement { interleaved: false, index: 19 }");
    EXPECT_EQ(to_string(interleaved(0)), "MemoryElement { interleaved: true, index: 0 }");
    EXPECT_EQ(to_string(memory_elements_for_words(0x4C000, 1)),
              "MemoryElements { cursor: 311296, end: 311300 }");
}

} // namespace
} // namespace tarnwick::memory
