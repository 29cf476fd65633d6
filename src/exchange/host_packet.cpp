#include "tarnwick/exchange/host_packet.hpp"

#include "tarnwick/debug.hpp"

#include <ostream>

namespace tarnwick::exchange {

std::ostream& operator<<(std::ostream& out, const HostPacketHeader& header) {
    debug::Struct(out, "HostPacketHeader")
        .field("word0", header.word0)
        .field("word1", header.word1)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, HostPacketSize size) {
    switch (size) {
    case HostPacketSize::Short: return out << "Short";
    case HostPacketSize::Long: return out << "Long";
    }
    return out << "HostPacketSize(" << static_cast<unsigned>(size) << ')';
}

std::ostream& operator<<(std::ostream& out, const HostHierarchy& hierarchy) {
    debug::Struct(out, "HostHierarchy")
        .field("xreq_physical_tile", hierarchy.xreq_physical_tile)
        .field("target_physical_tile", hierarchy.target_physical_tile)
        .finish();
    return out;
}

std::string to_string(const HostPacketHeader& header) { return debug::to_string(header); }
std::string to_string(HostPacketSize size) { return debug::to_string(size); }
std::string to_string(const HostHierarchy& hierarchy) { return debug::to_string(hierarchy); }

} // namespace tarnwick::exchange
