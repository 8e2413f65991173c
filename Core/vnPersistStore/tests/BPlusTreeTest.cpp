// The persistent B+ tree: stored forms, splits, large trees in three insertion orders
// through write-back, eviction and reopening, keys and payloads that own memory, copies
// and assignment, and damaged records.
#include "BPlusTreeTestUtil.h"
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include "vnPersistStore/PersistExceptions.h"

using namespace vorn;
using namespace vorn::test;

namespace {

BPlusTree::InsertResult InsertInt(BPlusTree& t, int32_t key) { return t.Insert(&key); }

// An int32 key with an int32 payload, laid out as Insert takes it.
BPlusTree::InsertResult InsertPair(BPlusTree& t, int32_t key, int32_t payload)
{
    char value[16] = {};
    std::memcpy(value, &key, 4);
    std::memcpy(value + t.GetPayloadOffset(), &payload, 4);
    return t.Insert(value);
}

// An int32 key with a Label payload.
struct KeyLabel {
    int32_t m_key;
    alignas(8) Label m_label;
};

BPlusTree::InsertResult InsertLabel(BPlusTree& t, int32_t key, const std::string& text)
{
    KeyLabel v{key, Label{key * 2, X(text)}};
    EXPECT_EQ(t.GetPayloadOffset(), int32_t(offsetof(KeyLabel, m_label)));
    return t.Insert(&v);
}

std::vector<std::pair<int32_t, std::string>> LabelEntries(BPlusTree& t)
{
    std::vector<std::pair<int32_t, std::string>> out;
    for (LeafNode* l = t.GetFirstLeaf(); l != nullptr; l = t.NextLeaf(l))
        for (int32_t i = 0; i < l->GetCount(); ++i) {
            const auto& label = *static_cast<const Label*>(l->PayloadAt(i));
            out.emplace_back(*static_cast<const int32_t*>(l->KeyAt(i)), S(label.m_text));
            EXPECT_EQ(label.m_rank, out.back().first * 2);
        }
    return out;
}

bool IsDirty(IPersistablePtr p) { return (p.m_table->GetPersistObjState(p.m_object).m_flags & POS_DIRTY) != 0; }

std::string RandomText(std::mt19937& rng, size_t length)
{
    std::string s(length, 'a');
    for (char& c : s) c = char('a' + rng() % 26);
    return s;
}

} // namespace

// ---- stored forms and splits -------------------------------------------------------------

TEST(BPlusTreeForms, EmptyTreeAndSmallLeafAreStoredByteForByte)
{
    SpaceContext ctx;
    RegisterTreeTestTypes();
    const TypeOpsId i32 = BPlusTree::GetTypeOpsIdOf(Int32Type());
    BPlusTree t;
    t.SetTypeIds(i32, 0);
    EXPECT_EQ(ArchiveBytes([&](Archive& ar) { t.Serialise(ar); }),
              Bytes({1, i32, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));

    BPlusTree in;
    in.SetTypeIds(i32, 0);
    for (int32_t k : {0x30201, -1, 7}) InsertInt(in, k);
    LeafNode* root = in.GetFirstLeaf();
    const std::vector<uint8_t> stored = ArchiveBytes([&](Archive& ar) { root->Serialise(ar); });
    EXPECT_EQ(stored, Bytes({1, i32, 0, 0, 0, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0, 1, 2, 3, 0}));
    LeafNode leaf;
    leaf.Deserialise(InputOf(stored));
    ASSERT_EQ(leaf.GetCount(), 3);
    EXPECT_EQ(*static_cast<const int32_t*>(leaf.KeyAt(2)), 0x30201);
}

TEST(BPlusTreeSplits, LeafSplitsAtTheHundredAndFirstKeyAndExistingKeysChangeNothing)
{
    TreeStore ts;
    ts.InTxn([&] {
        BPlusTree* t = ts.NewTree("T", Int32Type(), nullptr);
        for (int32_t k = 0; k < 200; k += 2) EXPECT_TRUE(InsertInt(*t, k).m_inserted);
        EXPECT_EQ(t->GetHeight(), 0);
        EXPECT_EQ(t->GetFirstLeaf(), t->GetLastLeaf());
        // The new key lands in the left half: the left leaf holds it at its position.
        const BPlusTree::InsertResult r = InsertInt(*t, 31);
        EXPECT_TRUE(r.m_inserted);
        EXPECT_EQ(t->GetHeight(), 1);
        LeafNode* left = t->GetFirstLeaf();
        LeafNode* right = t->GetLastLeaf();
        EXPECT_EQ(r.m_leaf, left);
        EXPECT_EQ(r.m_index, 16);
        EXPECT_EQ(left->GetCount(), 50);
        EXPECT_EQ(right->GetCount(), 51);
        auto* root = static_cast<InternalNode*>(t->GetRoot().m_object);
        EXPECT_EQ(root->GetCount(), 1);
        EXPECT_EQ(*static_cast<const int32_t*>(root->KeyAt(0)), *static_cast<const int32_t*>(right->KeyAt(0)));
        EXPECT_EQ(TreeChecker(*t).Check().size(), 2u);
    });
    ts.WriteBackAndEvict();
    ts.InTxn([&] {
        BPlusTree* t = ts.Tree("T");
        const BPlusTree::InsertResult again = InsertInt(*t, 31);
        EXPECT_FALSE(again.m_inserted);
        EXPECT_EQ(again.m_index, 16);
        EXPECT_EQ(t->GetCount(), 101);
        EXPECT_FALSE(IsDirty(t->AsPersistable()));
        EXPECT_FALSE(IsDirty(again.m_leaf->AsPersistable()));
        // A key past every split point goes into the new right leaf, which is the one
        // written back with it.
        for (int32_t k = 1000; k < 1060; ++k) InsertInt(*t, k);
        EXPECT_EQ(t->GetHeight(), 1);
        EXPECT_EQ(TreeChecker(*t).Check().size(), 3u);
    });
    ts.Reopen();
    ts.InTxn([&] {
        BPlusTree* t = ts.Tree("T");
        std::vector<int32_t> expected;
        for (int32_t k = 0; k < 200; k += 2) expected.push_back(k);
        expected.push_back(31);
        for (int32_t k = 1000; k < 1060; ++k) expected.push_back(k);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(IntKeys(*t), expected);
        EXPECT_EQ(t->Find(&expected[60]).m_leaf != nullptr, true);
        const int32_t absent = 33;
        EXPECT_EQ(t->Find(&absent).m_leaf, nullptr);
    });
}

// ---- large trees ---------------------------------------------------------------------------

TEST(BPlusTreeStore, ManyKeysInThreeOrdersSurviveWriteBackEvictionAndReopen)
{
    const int32_t n = kUnderThreadSanitizer ? 12000 : 100000;
    const int32_t batch = n / 10;
    std::vector<int32_t> random(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) random[size_t(i)] = i * 7;
    std::shuffle(random.begin(), random.end(), std::mt19937(23));
    std::vector<int32_t> expected(random);
    std::sort(expected.begin(), expected.end());

    const char* names[] = {"random", "ascending", "descending"};
    auto keyAt = [&](int which, int32_t i) {
        if (which == 0) return random[size_t(i)];
        return which == 1 ? i * 7 : (n - 1 - i) * 7;
    };
    TreeStore ts;
    ts.InTxn([&] {
        const ReflectionByteCodeValue i32 = Int32Type();
        for (const char* name : names) ts.NewTree(name, i32, &i32);
    });
    auto check = [&](const char* phase) {
        ts.InTxn([&] {
            for (int which = 0; which < 3; ++which) {
                SCOPED_TRACE(std::string(phase) + " " + names[which]);
                BPlusTree* t = ts.Tree(names[which]);
                TreeChecker c(*t);
                const std::vector<LeafNode*> leaves = c.Check();
                EXPECT_EQ(c.Failures(), 0);
                EXPECT_EQ(IntKeys(*t), expected);
                for (LeafNode* l : leaves) {
                    for (int32_t i = 0; i < l->GetCount(); ++i) {
                        if (*static_cast<const int32_t*>(l->PayloadAt(i)) != *static_cast<const int32_t*>(l->KeyAt(i)) + 1) {
                            ADD_FAILURE() << "payload lost";
                            return;
                        }
                    }
                }
                if (which == 1) {
                    for (size_t i = 0; i + 1 < leaves.size(); ++i) EXPECT_EQ(leaves[i]->GetCount(), 50);
                }
            }
        });
    };
    for (int32_t from = 0; from < n; from += batch) {
        ts.InTxn([&] {
            for (int which = 0; which < 3; ++which) {
                BPlusTree* t = ts.Tree(names[which]);
                for (int32_t i = from; i < from + batch; ++i) {
                    const int32_t k = keyAt(which, i);
                    ASSERT_TRUE(InsertPair(*t, k, k + 1).m_inserted);
                }
            }
        });
        ts.WriteBackAndEvict();
    }
    // Three trees of at least n / 100 leaves each; the clean ones left memory.
    EXPECT_LT(ts.m_space->GetCSpace()->GetNumObjects(), int64_t(n / 100));
    check("written back");
    // Every key again: found where it is, nothing inserted.
    ts.InTxn([&] {
        BPlusTree* t = ts.Tree("random");
        for (int32_t i = 0; i < n; i += 97) {
            const int32_t k = random[size_t(i)];
            const BPlusTree::FindResult f = t->Find(&k);
            ASSERT_NE(f.m_leaf, nullptr);
            EXPECT_EQ(*static_cast<const int32_t*>(f.m_leaf->KeyAt(f.m_index)), k);
            EXPECT_FALSE(InsertPair(*t, k, -5).m_inserted);
        }
        EXPECT_EQ(t->GetCount(), n);
    });
    ts.Reopen();
    check("reopened");
    ts.WriteBackAndEvict(4096);
    check("evicted after reopening");
}

// ---- owning keys and payloads, copies ---------------------------------------------------------

TEST(BPlusTreeStore, OwningStringKeysSplitCopyAndReopen)
{
    const int32_t n = kUnderThreadSanitizer ? 12000 : 20000; // two internal levels either way
    std::mt19937 rng(7);
    std::set<std::string> expected;
    TreeStore ts;
    ts.InTxn([&] { ts.NewTree("S", StringType(), nullptr); });
    for (int round = 0; round < 4; ++round) {
        ts.InTxn([&] {
            BPlusTree* t = ts.Tree("S");
            for (int32_t i = 0; i < n / 4; ++i) {
                const std::string s = RandomText(rng, 12 + rng() % 30);
                const xstring key = X(s);
                EXPECT_EQ(t->Insert(&key).m_inserted, expected.insert(s).second);
            }
        });
        ts.WriteBackAndEvict();
    }
    auto strings = [](BPlusTree& t) {
        std::vector<std::string> out;
        for (LeafNode* l = t.GetFirstLeaf(); l != nullptr; l = t.NextLeaf(l))
            for (int32_t i = 0; i < l->GetCount(); ++i) out.push_back(S(*static_cast<const xstring*>(l->KeyAt(i))));
        return out;
    };
    const std::vector<std::string> want(expected.begin(), expected.end());
    ts.Reopen();
    ts.InTxn([&] {
        BPlusTree* t = ts.Tree("S");
        EXPECT_GE(t->GetHeight(), 2);
        TreeChecker c(*t);
        c.Check();
        EXPECT_EQ(c.Failures(), 0);
        EXPECT_EQ(strings(*t), want);
        // An in-memory copy owns its own keys: it outlives nothing of the source.
        auto* copy = new BPlusTree;
        RegisterGcObject(copy->AsPersistable().Any());
        copy->CopyFrom(*t);
        EXPECT_EQ(strings(*copy), want);
        EXPECT_EQ(TreeChecker(*copy).Check().size() > 0, true);
    });
    ts.WriteBackAndEvict(1024); // the source's nodes leave memory; the copy is garbage
    ts.InTxn([&] { EXPECT_EQ(strings(*ts.Tree("S")), want); });
}

TEST(BPlusTreeStore, CopyAndAssignmentGiveTheSameSequenceAndDropTheOldNodes)
{
    TreeStore ts;
    const ReflectionByteCodeValue i32 = Int32Type(), label = LabelType();
    std::vector<std::pair<int32_t, std::string>> want;
    OID oldFirstLeaf, oldRoot;
    ts.InTxn([&] {
        BPlusTree* a = ts.NewTree("A", i32, &label);
        BPlusTree* c = ts.NewTree("C", i32, &label);
        std::mt19937 rng(3);
        for (int32_t i = 0; i < 6000; ++i) {
            const int32_t k = int32_t(rng() % 100000);
            InsertLabel(*a, k, "v" + std::to_string(k) + std::string(k % 40, 'x'));
        }
        for (int32_t k = 0; k < 3000; ++k) InsertLabel(*c, -k, "old");
        want = LabelEntries(*a);
        // CopyFrom into a new tree, and copy construction.
        auto* b = new BPlusTree;
        RegisterGcObject(b->AsPersistable().Any());
        b->CopyFrom(*a);
        EXPECT_EQ(LabelEntries(*b), want);
        EXPECT_EQ(b->GetCount(), a->GetCount());
        EXPECT_EQ(TreeChecker(*b).Check().empty(), false);
    });
    ts.WriteBackAndEvict();
    ts.InTxn([&] {
        BPlusTree* c = ts.Tree("C");
        oldFirstLeaf = GetOid(c->GetFirstLeaf()->AsPersistable().Any());
        oldRoot = GetOid(c->GetRoot().Any());
        c->Assign(*ts.Tree("A"));
        EXPECT_EQ(LabelEntries(*c), want);
    });
    ts.WriteBackAndEvict();
    EXPECT_FALSE(ts.m_store->GetLss()->SerialElementExists(oldFirstLeaf.AsSeid()));
    EXPECT_FALSE(ts.m_store->GetLss()->SerialElementExists(oldRoot.AsSeid()));
    ts.Reopen();
    ts.InTxn([&] {
        BPlusTree* c = ts.Tree("C");
        TreeChecker check(*c);
        check.Check();
        EXPECT_EQ(check.Failures(), 0);
        EXPECT_EQ(LabelEntries(*c), want);
        EXPECT_EQ(LabelEntries(*ts.Tree("A")), want);
    });
}

// ---- damaged records -------------------------------------------------------------------------------

TEST(BPlusTreeDamage, CountsAndShapesOutOfRangeAreRefused)
{
    SpaceContext ctx;
    RegisterTreeTestTypes();
    const int i32 = BPlusTree::GetTypeOpsIdOf(Int32Type());
    const int str = BPlusTree::GetTypeOpsIdOf(StringType());
    auto leafBytes = [&](int key, int count, int keysGiven) {
        std::vector<uint8_t> b = Bytes({1, key, 0, 0, 0});
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(count) >> (8 * i)));
        for (int i = 0; i < keysGiven * 4; ++i) b.push_back(uint8_t(i));
        return b;
    };
    for (int count : {101, 1000, -1, INT32_MIN}) {
        LeafNode leaf;
        EXPECT_THROW(leaf.Deserialise(InputOf(leafBytes(i32, count, 101))), DeserialisationException) << count;
        EXPECT_EQ(leaf.GetCount(), 0);
        InternalNode node;
        std::vector<uint8_t> b = Bytes({1, i32, 0, 0});
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(count) >> (8 * i)));
        b.resize(b.size() + 1000, 0);
        EXPECT_THROW(node.Deserialise(InputOf(b)), DeserialisationException) << count;
    }
    // Strings that run past the record: the keys read so far are destroyed again.
    {
        LeafNode leaf;
        std::vector<uint8_t> b = Bytes({1, str, 0, 0, 0, 3, 0, 0, 0, 2, 'a', 'b', 40, 'c'});
        EXPECT_THROW(leaf.Deserialise(InputOf(b)), DeserialisationException);
        EXPECT_EQ(leaf.GetCount(), 0);
    }
    // Other schemas, unknown type ids and trees whose shape cannot be.
    {
        LeafNode leaf;
        EXPECT_THROW(leaf.Deserialise(InputOf(Bytes({2, i32, 0, 0, 0, 0, 0, 0, 0}))), DeserialisationException);
        EXPECT_THROW(leaf.Deserialise(InputOf(Bytes({1, 60, 0, 0, 0, 0, 0, 0, 0}))), BadTypeOpsIdException);
    }
    auto treeBytes = [&](int count, bool withRoot, int height) {
        std::vector<uint8_t> b = Bytes({1, i32, 0});
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(count) >> (8 * i)));
        for (int i = 0; i < 3; ++i) {
            if (withRoot) AppendOid(b, OID(0x01010120u, kSeidCounterStart));
            else b.push_back(0);
        }
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(height) >> (8 * i)));
        return b;
    };
    BPlusTree t;
    EXPECT_NO_THROW(t.Deserialise(InputOf(treeBytes(5, true, 1))));
    for (const auto& b : {treeBytes(-1, true, 1), treeBytes(5, true, -2), treeBytes(5, true, 1000), treeBytes(0, true, -1),
                          treeBytes(0, false, 0)}) {
        EXPECT_THROW(t.Deserialise(InputOf(b)), DeserialisationException);
        EXPECT_EQ(t.GetHeight(), -1);
        EXPECT_EQ(t.GetCount(), 0);
    }
}

TEST(BPlusTreeDamage, NodesOfOtherTypesOrClassesUnderATreeAreRefused)
{
    TreeStore ts;
    OID leafOid, treeOid;
    ts.InTxn([&] {
        BPlusTree* t = ts.NewTree("T", Int32Type(), nullptr);
        BPlusTree::GetTypeOpsIdOf(UInt32Type()); // known to the store, of the same size
        for (int32_t k = 0; k < 10; ++k) InsertInt(*t, k);
        leafOid = GetOid(t->GetRoot().Any());
        treeOid = GetOid(t->AsPersistable().Any());
    });
    ts.Reopen();
    const TypeOpsId u32 = 2;
    // Rewrites a stored element of the open store (not in memory yet).
    auto patch = [&](OID oid, auto&& change) {
        std::vector<uint8_t> b;
        ASSERT_TRUE(ReadElement(ts.m_store->GetLss(), oid.AsSeid(), b));
        change(b);
        ILssTransaction* txn = ts.m_store->GetLss()->OpenTransaction();
        ICloseableOutputStream* s = txn->WriteSerialElement(oid.m_low, oid.m_high);
        s->WriteStream(b.data(), ssize_t(b.size()));
        s->Close();
        txn->Close();
    };
    // The leaf claims uint32 keys: it reads, but the tree refuses it.
    patch(leafOid, [&](std::vector<uint8_t>& b) {
        ASSERT_EQ(b[2], 1); // class id, schema, then the key id
        b[2] = uint8_t(u32);
    });
    ts.InTxn([&] {
        const int32_t k = 3;
        EXPECT_THROW(ts.Tree("T")->Find(&k), DeserialisationException);
        EXPECT_THROW(InsertInt(*ts.Tree("T"), 77), DeserialisationException);
    });
    ts.Reopen();
    patch(leafOid, [&](std::vector<uint8_t>& b) { b[2] = 1; });
    // The tree claims a level of internal nodes above its leaf.
    patch(treeOid, [&](std::vector<uint8_t>& b) { b[b.size() - 4] = 1; });
    ts.InTxn([&] {
        const int32_t k = 3;
        EXPECT_THROW(ts.Tree("T")->Find(&k), DeserialisationException);
    });
    ts.Reopen();
    patch(treeOid, [&](std::vector<uint8_t>& b) { b[b.size() - 4] = 0; });
    // The only leaf names itself as its next: a copy stops instead of going round.
    patch(leafOid, [&](std::vector<uint8_t>& b) {
        ASSERT_EQ(b[5], 0); // class id, schema, ids, null previous, null next
        std::vector<uint8_t> self;
        AppendOid(self, leafOid);
        b.erase(b.begin() + 5);
        b.insert(b.begin() + 5, self.begin(), self.end());
    });
    ts.InTxn([&] {
        BPlusTree copy;
        EXPECT_THROW(copy.CopyFrom(*ts.Tree("T")), DeserialisationException);
    });
}
