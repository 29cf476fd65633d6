#include "tarnwick/topology.hpp"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <numeric>
#include <vector>

namespace tarnwick::topology {
namespace {

// Reference route values between physical tiles 0 and 53.
static_assert(route_displacement(0, 53) == 13);
static_assert(direction(0, 53) == 1);
static_assert(time_to_mux(0, 53) == -23);
static_assert(route_displacement(53, 0) == -11);
static_assert(direction(53, 0) == 2);
static_assert(time_to_mux(53, 0) == 7);
// The partner of 53 is 55, which the word from tile 0 reaches one cycle later.
static_assert(time_to_mux(0, 55) == -22);
static_assert(paired_time_to_mux(0, 53) == -22);
static_assert(paired_time_to_mux(0, 55) == -22);

struct MappingCase {
    std::uint16_t logical;
    std::uint16_t physical;
};

constexpr MappingCase MAPPING_CASES[] = {
    {0, 0},     {1, 2},   {2, 64},   {3, 66},    {45, 1410}, {46, 1409}, {47, 1411},
    {100, 260}, {274, 9}, {736, 32}, {1286, 53}, {1471, 63}, {32, 1024},
};

static_assert(std::ranges::all_of(MAPPING_CASES, [](const MappingCase& c) {
    return v600_logical_to_physical(c.logical) == c.physical;
}));

TEST(Topology, V600TableMatchesTheReferenceMapping) {
    const Topology topology = Topology::v600();
    ASSERT_EQ(topology.tile_count(), 1472u);
    for (const auto& [logical, physical] : MAPPING_CASES) {
        EXPECT_EQ(topology.physical(logical), physical) << "logical " << logical;
    }
}

TEST(Topology, V600TableIsAPermutation) {
    std::vector<std::uint16_t> sorted = Topology::v600().logical_to_physical;
    std::ranges::sort(sorted);
    std::vector<std::uint16_t> expected(1472);
    std::iota(expected.begin(), expected.end(), std::uint16_t{0});
    EXPECT_EQ(sorted, expected);
}

TEST(Topology, OutOfRangeLogicalTilesFailWithTheArgument) {
    const Topology topology = Topology::v600();
    EXPECT_EQ(topology.physical(1471), 63);
    EXPECT_EQ(topology.physical(1472).error(), ExchangeError{ExchangeError::Tile{1472}});
    EXPECT_EQ(topology.physical(0xFFFF).error(), ExchangeError{ExchangeError::Tile{0xFFFF}});
    EXPECT_EQ(topology.paired_logical(1472).error(), ExchangeError{ExchangeError::Tile{1472}});
    // The receiver is looked up before the sender.
    EXPECT_EQ(topology.paired_receiver_is_early(1472, 1473).error(),
              ExchangeError{ExchangeError::Tile{1472}});
    EXPECT_EQ(topology.paired_receiver_is_early(0, 1473).error(),
              ExchangeError{ExchangeError::Tile{1473}});
}

TEST(Topology, PairedLogicalFindsThePartner) {
    const Topology topology = Topology::v600();
    EXPECT_EQ(topology.paired_logical(0), 1);
    EXPECT_EQ(topology.paired_logical(1), 0);
    EXPECT_EQ(topology.paired_logical(274), 275);
    EXPECT_EQ(topology.paired_logical(1471), 1470);
    for (std::uint16_t logical = 0; logical < topology.tile_count(); ++logical) {
        const auto partner = topology.paired_logical(logical);
        ASSERT_TRUE(partner.has_value()) << logical;
        ASSERT_EQ(*topology.physical(*partner), *topology.physical(logical) ^ 2u) << logical;
        ASSERT_EQ(topology.paired_logical(*partner), logical) << logical;
    }
}

TEST(Topology, PairedLogicalOnATableWithoutThePartner) {
    // Physical 0 has no partner 2; the first entry holding 6 (the partner of 4) is taken.
    const Topology topology{{0, 4, 6, 6}};
    EXPECT_EQ(topology.paired_logical(0).error(), ExchangeError{ExchangeError::Tile{0}});
    EXPECT_EQ(topology.paired_logical(1), 2);
    EXPECT_EQ(topology.paired_logical(3), 1);
}

TEST(Topology, PairedReceiverIsEarly) {
    const Topology topology = Topology::v600();
    EXPECT_EQ(topology.paired_receiver_is_early(1, 0), false);
    EXPECT_EQ(topology.paired_receiver_is_early(0, 1), true);
}

TEST(Topology, AtMostOneTileOfAPairIsEarly) {
    const Topology topology = Topology::v600();
    const auto count = static_cast<std::uint16_t>(topology.tile_count());
    for (std::uint16_t receiver = 0; receiver < count; ++receiver) {
        const std::uint16_t partner = *topology.paired_logical(receiver);
        const std::uint32_t receiver_physical = *topology.physical(receiver);
        for (std::uint16_t sender = 0; sender < count; ++sender) {
            const bool early = *topology.paired_receiver_is_early(receiver, sender);
            const bool partner_early = *topology.paired_receiver_is_early(partner, sender);
            const std::uint32_t sender_physical = *topology.physical(sender);
            const bool tied = time_to_mux(sender_physical, receiver_physical) ==
                              time_to_mux(sender_physical, receiver_physical ^ 2u);
            ASSERT_EQ(early + partner_early, tied ? 0 : 1)
                << "receiver " << receiver << " sender " << sender;
        }
    }
}

TEST(Topology, RouteValuesStayInRangeOverAllV600Pairs) {
    std::int32_t displacement_min = 0;
    std::int32_t displacement_max = 0;
    std::int32_t time_min = 0;
    std::int32_t time_max = 0;
    for (std::uint32_t source = 0; source < V600_TILE_COUNT; ++source) {
        for (std::uint32_t destination = 0; destination < V600_TILE_COUNT; ++destination) {
            const std::int32_t displacement = route_displacement(source, destination);
            displacement_min = std::min(displacement_min, displacement);
            displacement_max = std::max(displacement_max, displacement);
            ASSERT_EQ(direction(source, destination), displacement > 0 ? 1u : 2u);
            if (source != destination) {
                const std::int32_t time = time_to_mux(source, destination);
                time_min = std::min(time_min, time);
                time_max = std::max(time_max, time);
                ASSERT_EQ(paired_time_to_mux(source, destination),
                          std::max(time, time_to_mux(source, destination ^ 2u)));
            }
        }
    }
    // The bounds are reached exactly.
    EXPECT_EQ(displacement_min, -47);
    EXPECT_EQ(displacement_max, 47);
    EXPECT_EQ(time_min, -78);
    EXPECT_EQ(time_max, 112);
}

TEST(Topology, DebugForm) {
    EXPECT_EQ(to_string(Topology{{0, 2, 64}}), "Topology { logical_to_physical: [0, 2, 64] }");
    EXPECT_EQ(to_string(Topology{}), "Topology { logical_to_physical: [] }");
}

} // namespace
} // namespace tarnwick::topology
