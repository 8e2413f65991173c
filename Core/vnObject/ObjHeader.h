// Shared access to the object header (ObjSysState). The collector and mutator threads
// touch the flags, stamps and evictable sizes without a common lock, so every access
// goes through these relaxed atomic operations.
#pragma once
#include "vnReflection/IObject.h"
#include <atomic>
#include <cstdint>

namespace vorn {

// Header flag bits.
constexpr int32_t OBJ_MARKED = 1;     // reached by the current collection
constexpr int32_t OBJ_NO_DELETE = 2;  // deletion inhibited

inline int32_t LoadObjFlags(ObjSysState& s) { return std::atomic_ref<int32_t>(s.m_flags).load(std::memory_order_relaxed); }
inline void StoreObjFlags(ObjSysState& s, int32_t v) { std::atomic_ref<int32_t>(s.m_flags).store(v, std::memory_order_relaxed); }
inline void SetObjFlags(ObjSysState& s, int32_t bits) { std::atomic_ref<int32_t>(s.m_flags).fetch_or(bits, std::memory_order_relaxed); }
inline void ClearObjFlags(ObjSysState& s, int32_t bits) { std::atomic_ref<int32_t>(s.m_flags).fetch_and(~bits, std::memory_order_relaxed); }
inline int32_t LoadEvictableSize(ObjSysState& s) { return std::atomic_ref<int32_t>(s.m_evictableSize).load(std::memory_order_relaxed); }
inline void StoreEvictableSize(ObjSysState& s, int32_t v) { std::atomic_ref<int32_t>(s.m_evictableSize).store(v, std::memory_order_relaxed); }
inline uint64_t LoadStamp(ObjSysState& s) { return std::atomic_ref<uint64_t>(s.m_lastTouched).load(std::memory_order_relaxed); }
inline void StoreStamp(ObjSysState& s, uint64_t v) { std::atomic_ref<uint64_t>(s.m_lastTouched).store(v, std::memory_order_relaxed); }
inline CSpace* LoadOwner(ObjSysState& s) { return std::atomic_ref<CSpace*>(s.m_space).load(std::memory_order_relaxed); }
inline void StoreOwner(ObjSysState& s, CSpace* v) { std::atomic_ref<CSpace*>(s.m_space).store(v, std::memory_order_relaxed); }

// The header of the pair's object.
inline ObjSysState& SysStateOf(AnyInterface p) { return static_cast<const IObjectTable*>(p.m_table)->GetSysState(p.m_object); }
inline const IObjectTable& TableOf(AnyInterface p) { return *static_cast<const IObjectTable*>(p.m_table); }

} // namespace vorn
