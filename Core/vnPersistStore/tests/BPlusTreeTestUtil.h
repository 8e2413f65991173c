// Helpers of the B+ tree tests: the key and payload types (int32, strings, a reflected
// struct that owns a string), a store whose trees are named roots of one space, and a
// walk that checks every structural rule of a tree.
#pragma once
#include "StoreTestUtil.h"
#include "vnPersistStore/BPlusTree.h"
#include "vnReflection/GeneratedTypeOps.h"
#include <gtest/gtest.h>
#include <string>

namespace vorn::test {

// A reflected struct ordered by rank, then text.
struct Label {
    int32_t m_rank = 0;
    xstring m_text;

    static const ReflectedClass s_class;
    static bool Equal(const void* a, const void* b)
    {
        const auto& x = *static_cast<const Label*>(a);
        const auto& y = *static_cast<const Label*>(b);
        return x.m_rank == y.m_rank && x.m_text == y.m_text;
    }
    static bool Less(const void* a, const void* b)
    {
        const auto& x = *static_cast<const Label*>(a);
        const auto& y = *static_cast<const Label*>(b);
        if (x.m_rank != y.m_rank) return x.m_rank < y.m_rank;
        return std::string(x.m_text.data(), size_t(x.m_text.size())) < std::string(y.m_text.data(), size_t(y.m_text.size()));
    }
    static const Label& At(const void* first, ssize_t stride, ssize_t i)
    {
        return *reinterpret_cast<const Label*>(static_cast<const char*>(first) + stride * i);
    }
    static void SerialiseN(Archive& ar, const void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) {
            const Label& l = At(first, stride, i);
            ar.Write4(uint32_t(l.m_rank));
            ar.WriteCompressedUInt32(uint32_t(l.m_text.size()));
            ar.WriteBytes(l.m_text.data(), l.m_text.size());
        }
    }
    static InputArchive DeserialiseN(InputArchive in, void* first, ssize_t stride, ssize_t count)
    {
        for (ssize_t i = 0; i < count; ++i) {
            auto& l = const_cast<Label&>(At(first, stride, i));
            in = Read4FromBuffer(in, l.m_rank);
            uint32_t n = 0;
            in = ReadCompressedUInt32FromBuffer(in, n);
            CheckArchiveRoom(in, n);
            l.m_text.resize(int32_t(n));
            if (n) std::memcpy(l.m_text.data(), in.m_ptr, n);
            in.m_ptr += n;
        }
        return in;
    }
    // The first index whose element is not less than (Upper: is greater than) key.
    template <bool Upper>
    static ssize_t Bound(const void* first, ssize_t stride, ssize_t count, const void* key)
    {
        ssize_t lo = 0, hi = count;
        while (lo < hi) {
            const ssize_t mid = (lo + hi) / 2;
            const bool right = Upper ? !Less(key, &At(first, stride, mid)) : Less(&At(first, stride, mid), key);
            if (right) lo = mid + 1;
            else hi = mid;
        }
        return lo;
    }
    static constexpr TypeOps Ops()
    {
        TypeOps ops = ValueTypeOps<Label>();
        ops.m_equal = &Equal;
        ops.m_less = &Less;
        ops.m_serialiseN = &SerialiseN;
        ops.m_deserialiseN = &DeserialiseN;
        ops.m_lowerBound = &Bound<false>;
        ops.m_upperBound = &Bound<true>;
        return ops;
    }
};
inline const ReflectedClass Label::s_class{0, "vorn::test::Label", int32_t(sizeof(Label)), 0, nullptr, 0, nullptr, 0, nullptr, 0,
                                           nullptr, nullptr, 0, 0, nullptr, nullptr, Label::Ops()};

inline xstring X(const std::string& s) { return xstring(s.c_str()); }
inline std::string S(const xstring& s) { return std::string(s.data(), size_t(s.size())); }

inline ReflectionByteCodeValue Int32Type()
{
    static const uint8_t code[] = {FT_INT32};
    return ReflectionByteCodeValue(ReflectionByteCode(code, nullptr));
}
inline ReflectionByteCodeValue UInt32Type()
{
    static const uint8_t code[] = {FT_UINT32};
    return ReflectionByteCodeValue(ReflectionByteCode(code, nullptr));
}
inline ReflectionByteCodeValue StringType()
{
    static const uint8_t code[] = {FT_STRING8};
    return ReflectionByteCodeValue(ReflectionByteCode(code, nullptr));
}
inline ReflectionByteCodeValue LabelType()
{
    static const uint8_t code[] = {FT_CLASS, VORN_BC_INDEX(0)};
    static const char* const names[] = {"vorn::test::Label"};
    return ReflectionByteCodeValue(ReflectionByteCode(code, names));
}

inline void RegisterTreeTestTypes()
{
    static const bool once = [] {
        RegisterBPlusTreeClasses();
        RegisterReflectedItem(Label::s_class.GetName(), GetReflectedClassRegistry(), &Label::s_class);
        return true;
    }();
    (void)once;
}

// A store over bytes that outlive it, with one space "P" whose named roots are trees.
class TreeStore {
public:
    TreeStore() : m_bytes(std::make_shared<SharedBytes>()) { Open(); }
    ~TreeStore()
    {
        if (m_store) m_store->Close();
    }
    void Open()
    {
        RegisterTreeTestTypes();
        m_store = OpenStoreOn(m_bytes, QuietStoreSettings(true));
        m_space = OpenPSpace(m_store, "P", nullptr);
    }
    void Close()
    {
        m_store->Close();
        m_store = nullptr;
        m_space = nullptr;
    }
    void Reopen()
    {
        Close();
        Open();
    }
    // Runs f inside an exclusive transaction on the space.
    template <class F>
    void InTxn(F&& f)
    {
        ThreadSpaces ts(m_space);
        Txn txn;
        f();
    }
    // Writes every dirty object, then lets the collector evict down to a small budget.
    void WriteBackAndEvict(int32_t threshold = 16 * 1024)
    {
        m_store->WriteAllDirtyObjectsToLss(false);
        m_space->GetCSpace()->SetEvictionThreshold(threshold);
        m_space->GetCSpace()->SynchronousGc();
    }
    // A new tree under a named root (call inside a transaction).
    BPlusTree* NewTree(const char* name, const ReflectionByteCodeValue& key, const ReflectionByteCodeValue* payload)
    {
        auto* t = new BPlusTree;
        RegisterGcObject(t->AsPersistable().Any());
        t->SetTypeIds(BPlusTree::GetTypeOpsIdOf(key), payload ? BPlusTree::GetTypeOpsIdOf(*payload) : 0);
        EXPECT_TRUE(m_space->AddRoot(name, t->AsPersistable().Any()));
        return t;
    }
    BPlusTree* Tree(const char* name)
    {
        const IPersistablePtr p = m_space->GetRoot(name);
        EXPECT_FALSE(p.IsNull());
        return static_cast<BPlusTree*>(p.m_object);
    }

    std::shared_ptr<SharedBytes> m_bytes;
    PersistStore* m_store = nullptr;
    PSpace* m_space = nullptr;
};

// Walks a tree from its root and along its leaf chain and reports every broken rule:
// keys sorted and unique within and across nodes, separators bounding their children,
// every non-root node holding 50 to 100 entries, every leaf at the tree's height, the
// chain complete both ways and the entry count right. Returns the leaves in order.
class TreeChecker {
public:
    explicit TreeChecker(BPlusTree& t) : m_tree(t) {}

    std::vector<LeafNode*> Check()
    {
        std::vector<LeafNode*> leaves;
        if (m_tree.GetHeight() < 0) {
            Expect(m_tree.GetCount() == 0, "an empty tree counts entries");
            Expect(m_tree.GetFirstLeaf() == nullptr && m_tree.GetLastLeaf() == nullptr, "an empty tree has leaves");
            return leaves;
        }
        const IPersistablePtr root = m_tree.GetRoot(); // binds the tree's types
        m_keys = m_tree.GetBinding().m_keyOps;
        if (m_tree.GetHeight() == 0) CheckLeaf(static_cast<LeafNode*>(root.m_object), true, nullptr, nullptr, leaves);
        else CheckInternal(static_cast<InternalNode*>(root.m_object), m_tree.GetHeight(), true, nullptr, nullptr, leaves);

        int64_t entries = 0;
        std::vector<LeafNode*> chain;
        for (LeafNode* l = m_tree.GetFirstLeaf(); l != nullptr && chain.size() <= leaves.size(); l = m_tree.NextLeaf(l)) {
            chain.push_back(l);
            entries += l->GetCount();
        }
        Expect(chain == leaves, "the leaf chain differs from the leaves under the root");
        Expect(entries == m_tree.GetCount(), "the entry count differs from the entries");
        std::vector<LeafNode*> back;
        for (LeafNode* l = m_tree.GetLastLeaf(); l != nullptr && back.size() <= leaves.size(); l = m_tree.PreviousLeaf(l))
            back.push_back(l);
        std::reverse(back.begin(), back.end());
        Expect(back == leaves, "the backward chain differs from the leaves under the root");
        for (size_t i = 1; i < leaves.size(); ++i)
            Expect(m_keys->m_less(leaves[i - 1]->KeyAt(leaves[i - 1]->GetCount() - 1), leaves[i]->KeyAt(0)),
                   "keys not ascending across leaves");
        return leaves;
    }
    int Failures() const { return m_failures; }

private:
    void Expect(bool ok, const char* what)
    {
        if (ok) return;
        if (++m_failures <= 5) ADD_FAILURE() << what;
    }
    bool InRange(const void* key, const void* lo, const void* hi)
    {
        return (lo == nullptr || !m_keys->m_less(key, lo)) && (hi == nullptr || m_keys->m_less(key, hi));
    }
    void CheckCount(int32_t n, bool root)
    {
        Expect(n <= kBPlusTreeNodeCapacity && n >= (root ? 1 : kBPlusTreeNodeCapacity / 2), "a node's entry count is out of bounds");
    }
    void CheckLeaf(LeafNode* l, bool root, const void* lo, const void* hi, std::vector<LeafNode*>& leaves)
    {
        CheckCount(l->GetCount(), root);
        for (int32_t i = 0; i < l->GetCount(); ++i) {
            Expect(InRange(l->KeyAt(i), lo, hi), "a leaf key outside its separators");
            if (i > 0) Expect(m_keys->m_less(l->KeyAt(i - 1), l->KeyAt(i)), "leaf keys not ascending");
        }
        leaves.push_back(l);
    }
    void CheckInternal(InternalNode* n, int32_t level, bool root, const void* lo, const void* hi, std::vector<LeafNode*>& leaves)
    {
        CheckCount(n->GetCount(), root);
        for (int32_t i = 0; i < n->GetCount(); ++i) {
            Expect(InRange(n->KeyAt(i), lo, hi), "a separator outside its parent's range");
            if (i > 0) Expect(m_keys->m_less(n->KeyAt(i - 1), n->KeyAt(i)), "separators not ascending");
        }
        for (int32_t i = -1; i < n->GetCount(); ++i) {
            pref& child = i < 0 ? n->FirstChild() : n->ChildAt(i);
            const void* clo = i < 0 ? lo : n->KeyAt(i);
            const void* chi = i + 1 < n->GetCount() ? n->KeyAt(i + 1) : hi;
            if (level == 1) CheckLeaf(m_tree.BindLeaf(child, false), false, clo, chi, leaves);
            else CheckInternal(m_tree.BindInternal(child), level - 1, false, clo, chi, leaves);
        }
    }

    BPlusTree& m_tree;
    const TypeOps* m_keys = nullptr;
    int m_failures = 0;
};

// The int32 keys of a tree in leaf order.
inline std::vector<int32_t> IntKeys(BPlusTree& t)
{
    std::vector<int32_t> keys;
    for (LeafNode* l = t.GetFirstLeaf(); l != nullptr; l = t.NextLeaf(l))
        for (int32_t i = 0; i < l->GetCount(); ++i) keys.push_back(*static_cast<const int32_t*>(l->KeyAt(i)));
    return keys;
}

} // namespace vorn::test
