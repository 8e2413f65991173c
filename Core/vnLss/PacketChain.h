// The packets of one element: a head packet whose seid is the element's, then overflow
// packets linked by their next seids. The map names the place of every live packet.
#pragma once
#include "vnLss/Seid.h"

namespace vorn {

class PacketHeader;
class RPM7;
class SegmentCache;
class SUT;

// The rule that every next seid of a chain obeys: an overflow seid of the element's
// space, ascending along the chain (continuation seids come from one counter).
bool NextSeidIsValid(Seid element, Seid current, Seid next);

// Removes the element's packets from the map and their sizes from the utilisation
// table; false when the seid has no element. Throws vorn::CorruptLSSException for a
// broken chain.
bool FreePacketChain(RPM7& rpm, SegmentCache& cache, SUT& sut, Seid seid);

// A packet is live while the map names its place for its seid.
bool IsLivePacket(RPM7& rpm, const PacketHeader& packet);

} // namespace vorn
