// Constants of the stored forms of the persistent B+ tree and its nodes. Each record
// begins with its schema number, then the key and payload type ids (compressed; the
// payload id is 0 for a tree without payloads).
//   tree:          schema, key id, payload id, entry count (4 raw bytes), first leaf,
//                  last leaf, root (OIDs), height (4 raw bytes; -1 empty, 0 root is a leaf)
//   internal node: schema, key id, payload id, first child, entry count (4 raw bytes),
//                  the keys, then each entry's child OID
//   leaf node:     schema, key id, payload id, previous leaf, next leaf, entry count
//                  (4 raw bytes), the keys, then the payloads (when the tree has them)
#pragma once
#include <cstdint>

namespace vorn {

constexpr int kBPlusTreeSchema = 1;
constexpr int kInternalNodeSchema = 1;
constexpr int kLeafNodeSchema = 1;

// Entries a node holds at most; a full node splits on the next insertion into it.
constexpr int32_t kBPlusTreeNodeCapacity = 100;

} // namespace vorn
