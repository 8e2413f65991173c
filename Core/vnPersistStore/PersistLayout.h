// Constants of the stored forms of persistent objects: the object-identifier form, the
// object record, the class-id map, the type-operations table, a space's roots element
// and the OID space map. Every record begins with its schema number.
#pragma once
#include <cstdint>

namespace vorn {

// Each word of a non-null identifier is stored less this value (the smallest word of a
// valid seid is 0x01010101, so typical identifiers take one to three bytes).
constexpr uint32_t kOidWordBias = 0x01010100u;

// An object record starts with its class id; 0 stands for no object.
constexpr uint32_t kNullClassId = 0;

constexpr int kClassIdMapSchema = 1;
constexpr int kTypeOpsTableSchema = 1;
constexpr int kRootsSchema = 1;
constexpr int kOidSpaceMapSchema = 1;

} // namespace vorn
