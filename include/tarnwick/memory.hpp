#pragma once

// Which physical memory elements a span of 32-bit words touches.
//
// Below byte address 0x80000 tile memory is made of non-interleaved elements of 0x4000 bytes (32
// of them); from 0x80000 upwards of interleaved elements of 0x8000 bytes. The mapping never
// fails: a span running past the 32-bit address space is cut at 0xFFFFFFFF (exclusive) by
// saturating arithmetic.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <optional>
#include <ranges>
#include <string>

namespace tarnwick::memory {

inline constexpr std::uint32_t INTERLEAVED_BASE = 0x80000;
inline constexpr std::uint32_t NON_INTERLEAVED_ELEMENT_BYTES = 0x4000;
inline constexpr std::uint32_t INTERLEAVED_ELEMENT_BYTES = 0x8000;

// One physical memory element. Non-interleaved elements order before interleaved ones, and within
// a region by index, so the order of elements is the order of their addresses.
struct MemoryElement {
    bool interleaved = false;
    // The element's number within its region, counted from the region's base.
    std::uint32_t index = 0;

    friend constexpr bool operator==(const MemoryElement&, const MemoryElement&) = default;
    friend constexpr std::strong_ordering operator<=>(const MemoryElement&,
                                                      const MemoryElement&) = default;
};

// `MemoryElement { interleaved: false, index: 19 }`
std::ostream& operator<<(std::ostream& out, const MemoryElement& element);
[[nodiscard]] std::string to_string(const MemoryElement& element);

namespace detail {

inline constexpr std::uint64_t ADDRESS_SATURATION = 0xFFFFFFFFu;

[[nodiscard]] constexpr std::uint32_t saturate(std::uint64_t value) noexcept {
    return static_cast<std::uint32_t>(value < ADDRESS_SATURATION ? value : ADDRESS_SATURATION);
}

// The element holding byte `address`.
[[nodiscard]] constexpr MemoryElement element_at(std::uint32_t address) noexcept {
    if (address >= INTERLEAVED_BASE) {
        return MemoryElement{true, (address - INTERLEAVED_BASE) / INTERLEAVED_ELEMENT_BYTES};
    }
    return MemoryElement{false, address / NON_INTERLEAVED_ELEMENT_BYTES};
}

// The first byte after the element holding `address`, saturated, and never beyond `end`.
[[nodiscard]] constexpr std::uint32_t next_cursor(std::uint32_t address,
                                                  std::uint32_t end) noexcept {
    const MemoryElement element = element_at(address);
    const std::uint64_t base = element.interleaved ? INTERLEAVED_BASE : 0u;
    const std::uint64_t size =
        element.interleaved ? INTERLEAVED_ELEMENT_BYTES : NON_INTERLEAVED_ELEMENT_BYTES;
    const std::uint32_t boundary =
        saturate(base + saturate((std::uint64_t{element.index} + 1u) * size));
    return boundary < end ? boundary : end;
}

} // namespace detail

// The elements touched by the byte span [cursor, end), each once and in ascending address order.
//
// A cheap, non-owning view: iterating it with begin()/end() (range-for, std::ranges algorithms)
// leaves it unchanged, while next() consumes it. Every step costs one division and one saturating
// multiply-add, whatever the number of words.
class MemoryElements : public std::ranges::view_interface<MemoryElements> {
public:
    class iterator {
    public:
        using iterator_concept = std::forward_iterator_tag;
        using iterator_category = std::input_iterator_tag; // elements are yielded by value
        using value_type = MemoryElement;
        using difference_type = std::ptrdiff_t;

        constexpr iterator() noexcept = default;

        [[nodiscard]] constexpr MemoryElement operator*() const noexcept {
            return detail::element_at(cursor_);
        }
        constexpr iterator& operator++() noexcept {
            cursor_ = detail::next_cursor(cursor_, end_);
            return *this;
        }
        constexpr iterator operator++(int) noexcept {
            iterator previous = *this;
            ++*this;
            return previous;
        }

        friend constexpr bool operator==(const iterator&, const iterator&) = default;
        friend constexpr bool operator==(const iterator& it, std::default_sentinel_t) noexcept {
            return it.cursor_ >= it.end_;
        }

    private:
        friend class MemoryElements;
        constexpr iterator(std::uint32_t cursor, std::uint32_t end) noexcept
            : cursor_(cursor), end_(end) {}

        std::uint32_t cursor_ = 0;
        std::uint32_t end_ = 0;
    };

    // The empty span.
    constexpr MemoryElements() noexcept = default;

    // The byte span [cursor, end); a cursor past the end is clamped to it (an empty span).
    constexpr MemoryElements(std::uint32_t cursor, std::uint32_t end) noexcept
        : cursor_(cursor < end ? cursor : end), end_(end) {}

    // The next element, or nothing once the span is exhausted (and on every later call).
    constexpr std::optional<MemoryElement> next() noexcept {
        if (cursor_ >= end_) {
            return std::nullopt;
        }
        const MemoryElement element = detail::element_at(cursor_);
        cursor_ = detail::next_cursor(cursor_, end_);
        return element;
    }

    [[nodiscard]] constexpr iterator begin() const noexcept { return iterator(cursor_, end_); }
    [[nodiscard]] constexpr std::default_sentinel_t end() const noexcept { return {}; }

    // The first byte not yet accounted for.
    [[nodiscard]] constexpr std::uint32_t cursor() const noexcept { return cursor_; }
    // The byte just past the span (exclusive).
    [[nodiscard]] constexpr std::uint32_t end_address() const noexcept { return end_; }

    friend constexpr bool operator==(const MemoryElements& a, const MemoryElements& b) noexcept {
        return a.cursor_ == b.cursor_ && a.end_ == b.end_;
    }

private:
    std::uint32_t cursor_ = 0;
    std::uint32_t end_ = 0;
};

// `MemoryElements { cursor: 311296, end: 311300 }`
std::ostream& operator<<(std::ostream& out, const MemoryElements& elements);
[[nodiscard]] std::string to_string(const MemoryElements& elements);

// The elements touched by `words` 32-bit words starting at byte `address` (which need not be
// word-aligned). The end address address + 4 * words saturates at 0xFFFFFFFF.
[[nodiscard]] constexpr MemoryElements memory_elements_for_words(std::uint32_t address,
                                                                 std::uint32_t words) noexcept {
    const std::uint32_t bytes = detail::saturate(std::uint64_t{words} * 4u);
    return MemoryElements(address, detail::saturate(std::uint64_t{address} + bytes));
}

} // namespace tarnwick::memory

template <>
inline constexpr bool std::ranges::enable_borrowed_range<tarnwick::memory::MemoryElements> = true;
