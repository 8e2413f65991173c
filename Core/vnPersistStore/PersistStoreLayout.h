// The store's own elements and their schema numbers.
#pragma once
#include "vnLss/Seid.h"

namespace vorn {

// The schema element: compressed schema, the class-id map, the store's SeidHigh as a raw
// little-endian int32, the type-operations table (not in schema 1).
constexpr SeidLow kSchemaElementLow = 0x01010101u;
constexpr SeidHigh kStoreElementsHigh = 0x01010101u;
constexpr int kStoreSchema = 2;
// The space registry: compressed schema, compressed count, per entry in name order the
// compressed name length, the name's bytes and the roots element's OID.
constexpr SeidLow kRegistryElementLow = 0x01010102u;
constexpr int kRegistrySchema = 1;
// A space's pending-deletions element.
constexpr int kPendingDeletionsSchema = 1;

} // namespace vorn
