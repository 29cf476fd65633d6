#include "tarnwick/exchange/transfer.hpp"

#include "tarnwick/debug.hpp"
#include "tarnwick/exchange/multicast.hpp"
#include "tarnwick/exchange/paired.hpp"
#include "tarnwick/exchange/patch.hpp"
#include "tarnwick/exchange/point_to_point.hpp"

#include <cstddef>
#include <ostream>
#include <utility>

namespace tarnwick::exchange {

std::string_view name(TransferWidth width) noexcept {
    switch (width) {
    case TransferWidth::Word32: return "Word32";
    case TransferWidth::Paired64: return "Paired64";
    }
    return "TransferWidth(?)";
}

std::ostream& operator<<(std::ostream& out, TransferWidth width) { return out << name(width); }

std::string to_string(TransferWidth width) { return std::string(name(width)); }

std::ostream& operator<<(std::ostream& out, const ResolvedTransfer& transfer) {
    debug::Struct(out, "ResolvedTransfer")
        .field("source", transfer.source)
        .field("reserved_source", transfer.reserved_source)
        .field("receivers", transfer.receivers)
        .field("words", transfer.words)
        .field("plan", transfer.plan)
        .finish();
    return out;
}

std::string to_string(const ResolvedTransfer& transfer) { return debug::to_string(transfer); }

std::ostream& operator<<(std::ostream& out, const PhysicalTransfer& transfer) {
    debug::Struct(out, "PhysicalTransfer")
        .field("source", transfer.source)
        .field("source_addresses", transfer.source_addresses)
        .field("destinations", transfer.destinations)
        .field("words", transfer.words)
        .field("width", transfer.width)
        .finish();
    return out;
}

std::string to_string(const PhysicalTransfer& transfer) { return debug::to_string(transfer); }

std::vector<std::uint16_t> PhysicalTransfer::destination_tiles() const {
    std::vector<std::uint16_t> tiles;
    tiles.reserve(destinations.size());
    for (const TransferEndpoint& destination : destinations) {
        tiles.push_back(destination.first);
    }
    return tiles;
}

std::optional<std::uint32_t> PhysicalTransfer::item_count() const noexcept {
    const std::uint32_t per_item = width == TransferWidth::Paired64 ? 2u : 1u;
    if (words == 0 || words % per_item != 0) {
        return std::nullopt;
    }
    return words / per_item;
}

Result<ResolvedTransfer> PhysicalTransfer::resolve(const topology::Topology& topology,
                                                   std::optional<std::uint32_t> incoming_base) const {
    if (source_addresses.empty()) {
        return schedule_error("missing transfer source address");
    }
    const std::uint32_t source_address = source_addresses.front();
    const std::optional<std::uint32_t> items = item_count();
    if (!items) {
        return schedule_error("unaligned transfer payload");
    }
    ResolvedTransfer resolved{source, std::nullopt, destination_tiles(), *items, {}};

    // The receiving tile's own receive base: the receiver row needs no pointer control of its own.
    const bool point_receiver = width == TransferWidth::Word32 && destinations.size() == 1 &&
                                incoming_base == destinations.front().second;

    if (width == TransferWidth::Paired64) {
        const Result<std::uint16_t> partner = topology.paired_logical(source);
        if (!partner) {
            return fail(partner.error());
        }
        resolved.reserved_source = *partner;
        Result<MulticastPlan> plan = paired_multicast(topology, source, resolved.receivers, *items);
        if (!plan) {
            return fail(plan.error());
        }
        resolved.plan = std::move(*plan);
    } else if (point_receiver) {
        Result<MulticastPlan> point = point_to_point(topology, source, resolved.receivers.front(), *items);
        if (!point) {
            return fail(point.error());
        }
        const Result<std::uint16_t> sender = topology.physical(source);
        if (!sender) {
            return fail(sender.error());
        }
        const Result<PlanRow> receiver = finalize_point_receiver(point->receivers.front(), *sender);
        if (!receiver) {
            return fail(receiver.error());
        }
        resolved.plan = MulticastPlan{point->sender, {*receiver}};
    } else {
        Result<MulticastPlan> plan = multicast(topology, source, resolved.receivers, *items, 0);
        if (!plan) {
            return fail(plan.error());
        }
        resolved.plan = std::move(*plan);
    }

    if (const Status patched = patch_sender_address(resolved.plan.sender, source_address); !patched) {
        return fail(patched.error());
    }
    if (!point_receiver) {
        for (std::size_t index = 0; index < resolved.plan.receivers.size(); ++index) {
            if (const Status patched =
                    patch_receiver_address(resolved.plan.receivers[index], destinations[index].second);
                !patched) {
                return fail(patched.error());
            }
        }
    }
    return resolved;
}

} // namespace tarnwick::exchange
