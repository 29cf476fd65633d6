#include "tarnwick/topology.hpp"

#include "tarnwick/debug.hpp"

#include <algorithm>
#include <ostream>

namespace tarnwick::topology {

Topology Topology::v600() {
    Topology topology;
    topology.logical_to_physical.reserve(V600_TILE_COUNT);
    for (std::uint16_t logical = 0; logical < V600_TILE_COUNT; ++logical) {
        topology.logical_to_physical.push_back(v600_logical_to_physical(logical));
    }
    return topology;
}

Result<std::uint16_t> Topology::physical(std::uint16_t logical) const noexcept {
    if (logical >= logical_to_physical.size()) {
        return fail(ExchangeError::Tile{logical});
    }
    return logical_to_physical[logical];
}

Result<std::uint16_t> Topology::paired_logical(std::uint16_t logical) const noexcept {
    const Result<std::uint16_t> own = physical(logical);
    if (!own) {
        return fail(own.error());
    }
    const auto partner = static_cast<std::uint16_t>(*own ^ 2u);
    const auto found = std::ranges::find(logical_to_physical, partner);
    const auto index = static_cast<std::size_t>(found - logical_to_physical.begin());
    // A partner that no u16 logical number can name counts as missing.
    if (found == logical_to_physical.end() || index > 0xFFFFu) {
        return fail(ExchangeError::Tile{logical});
    }
    return static_cast<std::uint16_t>(index);
}

Result<bool> Topology::paired_receiver_is_early(std::uint16_t receiver_logical,
                                                std::uint16_t sender_logical) const noexcept {
    const Result<std::uint16_t> receiver = physical(receiver_logical);
    if (!receiver) {
        return fail(receiver.error());
    }
    const Result<std::uint16_t> sender = physical(sender_logical);
    if (!sender) {
        return fail(sender.error());
    }
    const std::int32_t local = time_to_mux(*sender, *receiver);
    const std::int32_t borrowed = time_to_mux(*sender, *receiver ^ 2u);
    return local < borrowed;
}

std::ostream& operator<<(std::ostream& out, const Topology& topology) {
    debug::Struct(out, "Topology")
        .field("logical_to_physical", topology.logical_to_physical)
        .finish();
    return out;
}

std::string to_string(const Topology& topology) {
    return debug::to_string(topology);
}

} // namespace tarnwick::topology
