// Objects written to a memory store and bound back: object records, synchronous binds,
// lazy prefs, memory-resident loads, named roots, and damaged elements.
#include "PersistTestUtil.h"
#include <gtest/gtest.h>
#include "vnPersistStore/PersistExceptions.h"
#include "vnPersistStore/PersistLayout.h"

namespace vorn::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ObjectRecord, ByteExactWithEvictableSize)
{
    PersistSchema schema;
    RegisterTestClasses();
    EXPECT_EQ(ArchiveBytes([&](Archive& ar) { WritePersistentObject(ar, schema, IPersistablePtr{}); }), Bytes{0x00});

    PLeaf leaf;
    leaf.m_word = 0x11223344;
    PNode node;
    node.m_value = 200;
    node.m_child = pref(OID(0x01010102, 0x01010101));
    node.m_payload.push_back(9);
    const Bytes b = ArchiveBytes([&](Archive& ar) {
        WritePersistentObject(ar, schema, leaf.AsPersistable());
        WritePersistentObject(ar, schema, node.AsPersistable());
    });
    // cid 1, schema 1, raw word; cid 2, schema 1, value 200 (two bytes), OID, payload.
    EXPECT_EQ(b, (Bytes{0x01, 0x01, 0x44, 0x33, 0x22, 0x11, 0x02, 0x01, 0x80, 0xC8, 0x02, 0x01, 0x01, 0x09}));
    EXPECT_TRUE(schema.m_dirty.load());
    EXPECT_EQ(leaf.m_sys.m_evictableSize, 5);
    EXPECT_EQ(node.m_sys.m_evictableSize, 7);

    // Read back without registration; a null record consumes one byte.
    IPersistablePtr a, c, z;
    const Bytes withNull = [&] {
        Bytes x = b;
        x.push_back(0);
        return x;
    }();
    InputArchive in = ReadPersistentObject(InputOf(withNull), schema, false, a);
    in = ReadPersistentObject(in, schema, false, c);
    const uint8_t* before = in.Ptr();
    in = ReadPersistentObject(in, schema, false, z);
    EXPECT_EQ(in.Ptr(), before + 1);
    EXPECT_TRUE(in.AtEnd());
    EXPECT_TRUE(z.IsNull());
    ASSERT_FALSE(a.IsNull());
    ASSERT_FALSE(c.IsNull());
    EXPECT_EQ(static_cast<PLeaf*>(a.m_object)->m_word, 0x11223344u);
    EXPECT_EQ(static_cast<PLeaf*>(a.m_object)->m_sys.m_evictableSize, 5);
    auto* n = static_cast<PNode*>(c.m_object);
    EXPECT_EQ(n->m_value, 200u);
    EXPECT_EQ(n->m_child.m_oid, OID(0x01010102, 0x01010101));
    a.Object().Destroy(a.m_object);
    c.Object().Destroy(c.m_object);
}

TEST(ObjectRecord, BadClassesThrowAndLeakNothing)
{
    RegisterTestClasses();
    PersistSchema schema;
    schema.GetCid(&PNode::s_class);    // 1
    schema.GetCid(&kAbstractClass);    // 2: no factory
    schema.GetCid(&PPlain::s_class);   // 3: not persistable
    bool dirty = false;
    IPersistablePtr out;
    const int live = g_liveObjects.load();

    EXPECT_THROW(ReadPersistentObject(InputOf(Bytes{0x04}), schema, false, out), BadCidException);
    EXPECT_THROW(ReadPersistentObject(InputOf(Bytes{0x02}), schema, false, out), ReflectedClassNotFoundException);
    EXPECT_THROW(ReadPersistentObject(InputOf(Bytes{0x03}), schema, false, out), TypeMismatchException);
    // A class's own part cut short, or of another schema.
    EXPECT_THROW(ReadPersistentObject(InputOf(Bytes{0x01, 0x01, 0x05}), schema, false, out), DeserialisationException);
    EXPECT_THROW(ReadPersistentObject(InputOf(Bytes{0x01, 0x02, 0x05, 0x00, 0x00}), schema, false, out),
                 DeserialisationException);
    EXPECT_THROW(ReadPersistentObject(InputOf(Bytes{0x01, 0x01, 0x05, 0x00, 0xF0, 0x10, 0, 0, 0}), schema, false, out),
                 DeserialisationException);
    EXPECT_EQ(g_liveObjects.load(), live);

    // A stored class name that no registry knows.
    PersistSchema other;
    other.m_classIds.Read(InputOf(Bytes{0x01, 0x01, 0x04, 'N', 'o', 'n', 'e'}), nullptr, dirty);
    EXPECT_THROW(ReadPersistentObject(InputOf(Bytes{0x01, 0x01}), other, false, out), ReflectedClassNotFoundException);
}

TEST(Bind, ObjectsOfSeveralClassesComeBackInAFreshContext)
{
    std::vector<uint8_t> classIds;
    OID nodeOid, leafOid, lonelyOid;
    {
        SpaceContext ctx;
        CSpaceLock lock(ctx.CS());
        PNode* n = ctx.NewNode(7, 100);
        auto* leaf = new PLeaf;
        leaf->m_word = 42;
        ctx.CS()->RegisterGcObject(AnyInterface{leaf, &kPersistableTableOf<PLeaf>});
        n->m_child = pref(leaf->AsPersistable());
        PNode* lonely = ctx.NewNode(8);
        ctx.Space().MakeObjectPersistWithGivenOID(n->AsPersistable(), ctx.Space().AllocateOid(), true);
        ctx.Space().MakeObjectPersistWithGivenOID(lonely->AsPersistable(), ctx.Space().AllocateOid(), false);
        nodeOid = n->m_pos.m_oid;
        leafOid = leaf->m_pos.m_oid;
        lonelyOid = lonely->m_pos.m_oid;
        // The child got an OID near its parent's, and all are dirty and resident.
        EXPECT_FALSE(leafOid.IsNull());
        EXPECT_EQ(leafOid.m_high, nodeOid.m_high);
        EXPECT_NE(leafOid, nodeOid);
        EXPECT_TRUE(leaf->m_pos.m_flags & POS_DIRTY);
        EXPECT_EQ(ctx.Space().BindObjectIfMemoryResident(leafOid).m_object, leaf);
        ctx.Write({n->AsPersistable(), leaf->AsPersistable(), lonely->AsPersistable()});
        classIds = ctx.StoredClassIds();
    }
    SpaceContext ctx(false, &classIds);
    CSpaceLock lock(ctx.CS());
    const int64_t before = ctx.CS()->GetNumObjects();
    const IPersistablePtr p = ctx.Space().BindObject(nodeOid);
    auto* n = static_cast<PNode*>(p.m_object);
    EXPECT_EQ(n->m_value, 7u);
    EXPECT_EQ(n->m_payload.size(), 100);
    EXPECT_EQ(n->m_pos.m_oid, nodeOid);
    EXPECT_EQ(LoadOwner(n->m_sys), ctx.CS());
    EXPECT_EQ(ctx.CS()->GetNumObjects(), before + 1);
    // The child is bound only when dereferenced.
    EXPECT_TRUE(ctx.Space().BindObjectIfMemoryResident(leafOid).IsNull());
    EXPECT_EQ(n->m_child.m_cached.m_object, nullptr);
    const IPersistablePtr c = n->m_child.Deref();
    EXPECT_EQ(static_cast<PLeaf*>(c.m_object)->m_word, 42u);
    EXPECT_EQ(ctx.Space().BindObjectIfMemoryResident(leafOid).m_object, c.m_object);
    // Binding again gives the same object; a missing OID is dangling.
    EXPECT_EQ(ctx.Space().BindObject(nodeOid).m_object, p.m_object);
    EXPECT_EQ(ctx.Space().BindObject(leafOid).m_object, c.m_object);
    EXPECT_THROW(ctx.Space().BindObject(OID(0x01017777, nodeOid.m_high)), DerefDanglingOidException);
    EXPECT_TRUE(ctx.Space().TryBindObject(OID(0x01017777, nodeOid.m_high)).IsNull());
    EXPECT_THROW(pref().Deref(), DerefNullPrefException);

    // Loaded under a private space and handed over.
    const IPersistablePtr l = ctx.Space().MakeMemoryResident(lonelyOid);
    EXPECT_EQ(static_cast<PNode*>(l.m_object)->m_value, 8u);
    EXPECT_EQ(LoadOwner(SysStateOf(l.Any())), ctx.CS());
    EXPECT_EQ(ctx.Space().MakeMemoryResident(lonelyOid).m_object, l.m_object);

    // A deleted object binds as absent; leaving memory drops its entry.
    static_cast<PNode*>(l.m_object)->m_pos.m_flags |= POS_DELETED;
    EXPECT_TRUE(ctx.Space().TryBindObject(lonelyOid).IsNull());
    EXPECT_TRUE(ctx.Space().BindObjectIfMemoryResident(lonelyOid).IsNull());
    OnGarbageCollectPersistable(l.Any());
    EXPECT_EQ(ctx.Space().GetResidentObjects().FindResident(lonelyOid).m_object, nullptr);
}

TEST(Bind, DamagedElementsGiveClearExceptions)
{
    std::vector<uint8_t> classIds;
    OID good;
    std::vector<uint8_t> record;
    {
        SpaceContext ctx;
        CSpaceLock lock(ctx.CS());
        PNode* n = ctx.NewNode(300, 40);
        n->m_child = pref(OID(0x01010105, 0x01010101));
        ctx.Space().MakeObjectPersistWithGivenOID(n->AsPersistable(), ctx.Space().AllocateOid(), false);
        good = n->m_pos.m_oid;
        record = ArchiveBytes([&](Archive& ar) { WritePersistentObject(ar, ctx.m_schema, n->AsPersistable()); });
        classIds = ctx.StoredClassIds();
    }
    SpaceContext ctx(true, &classIds);
    CSpaceLock lock(ctx.CS());
    const int live = g_liveObjects.load();
    // Every truncation and a sweep of single-byte changes: a clear exception or a good
    // object, never a crash.
    uint32_t n = 0;
    auto tryBind = [&](const Bytes& bytes) {
        const OID oid(ctx.m_lss->AllocateSeid(good.m_high));
        ctx.WriteRaw(oid, bytes);
        try {
            const IPersistablePtr p = ctx.Space().BindObject(oid);
            EXPECT_FALSE(p.IsNull());
        } catch (const IException&) {
            ++n;
        }
    };
    for (size_t len = 0; len < record.size(); ++len) tryBind(Bytes(record.begin(), record.begin() + long(len)));
    for (size_t i = 0; i < record.size(); ++i)
        for (uint8_t x : {uint8_t(0xFF), uint8_t(0x80), uint8_t(0x01)}) {
            Bytes damaged = record;
            damaged[i] ^= x;
            tryBind(damaged);
        }
    EXPECT_GE(n, record.size());
    // Class id 0 where an object must be.
    const OID zero(ctx.m_lss->AllocateSeid(good.m_high));
    ctx.WriteRaw(zero, Bytes{0x00});
    EXPECT_THROW(ctx.Space().BindObject(zero), DeserialisationException);
    // Objects that failed half-way belong to the space, so nothing is lost track of.
    ctx.CS()->SynchronousGc();
    EXPECT_GE(g_liveObjects.load(), live);
}

TEST(Roots, ByteExactElementAndOperations)
{
    SpaceContext ctx;
    CSpaceLock lock(ctx.CS());
    PSpaceRoots& roots = ctx.Space().GetRoots();
    EXPECT_TRUE(roots.IsDirty());
    const OID pending(0x01010110, 0x01010101);
    roots.SetPendingDeletionsOid(pending);
    EXPECT_EQ(ArchiveBytes([&](Archive& ar) { roots.Serialise(ar); }), (Bytes{0x01, 0x00, 0x10, 0x01}));

    PNode* s = ctx.NewNode(1);
    PNode* r = ctx.NewNode(2);
    PNode* ra = ctx.NewNode(3);
    PNode* child = ctx.NewNode(4);
    r->m_child = pref(child->AsPersistable());
    ctx.Space().MakeObjectPersistWithGivenOID(ra->AsPersistable(), OID(0x01010130, 0x01010101), false);
    EXPECT_TRUE(ctx.Space().AddRoot("S", s->AsAny()));
    EXPECT_TRUE(ctx.Space().AddRoot("R", r->AsAny()));
    EXPECT_TRUE(ctx.Space().AddRoot("Ra", ra->AsAny()));
    EXPECT_TRUE(ctx.Space().AddRoot("", s->AsAny()));
    // An object with an OID keeps it; new ones and what they reach get one.
    EXPECT_EQ(ra->m_pos.m_oid, OID(0x01010130, 0x01010101));
    EXPECT_FALSE(child->m_pos.m_oid.IsNull());
    // A taken name changes nothing, not even the dirty flag.
    roots.SetDirty(false);
    EXPECT_FALSE(ctx.Space().AddRoot("R", s->AsAny()));
    EXPECT_FALSE(roots.IsDirty());
    EXPECT_EQ(ctx.Space().GetRoot("R").m_object, r);
    EXPECT_TRUE(ctx.Space().GetRoot("T").IsNull());
    // A class that is not persistable.
    auto* plain = new PPlain;
    ctx.CS()->RegisterGcObject(plain->AsAny());
    EXPECT_THROW(ctx.Space().AddRoot("X", plain->AsAny()), TypeMismatchException);
    EXPECT_TRUE(ctx.Space().GetRoot("X").IsNull());

    Bytes expected{0x01, 0x04, 0x00};
    auto add = [&](const char* name, OID oid) {
        expected.push_back(uint8_t(std::strlen(name)));
        expected.insert(expected.end(), name, name + std::strlen(name));
        const Bytes o = ArchiveBytes([&](Archive& ar) { WriteOid(ar, oid); });
        expected.insert(expected.end(), o.begin(), o.end());
    };
    const Bytes so = ArchiveBytes([&](Archive& ar) { WriteOid(ar, s->m_pos.m_oid); });
    expected.insert(expected.end(), so.begin(), so.end()); // the empty name first
    add("R", r->m_pos.m_oid);
    add("Ra", ra->m_pos.m_oid);
    add("S", s->m_pos.m_oid);
    expected.insert(expected.end(), {0x10, 0x01});
    EXPECT_EQ(ArchiveBytes([&](Archive& ar) { roots.Serialise(ar); }), expected);

    // Written and loaded back; a removed root is gone from the next element.
    roots.SetDirty(true);
    ILssTransaction* txn = ctx.m_lss->OpenTransaction();
    roots.WriteRoots(txn);
    txn->Close();
    EXPECT_FALSE(roots.IsDirty());
    PSpaceRoots loaded(roots.GetOwnOid(), false);
    loaded.LoadRoots(ctx.m_lss);
    EXPECT_EQ(loaded.GetMap().size(), 4u);
    EXPECT_EQ(loaded.GetPendingDeletionsOid(), pending);
    EXPECT_EQ(loaded.GetMap().at(xstring("Ra")).m_oid, ra->m_pos.m_oid);
    ctx.Write({s->AsPersistable()});
    EXPECT_TRUE(loaded.RemoveRoot(ctx.Space(), "S"));
    EXPECT_FALSE(loaded.RemoveRoot(ctx.Space(), "S"));
    EXPECT_TRUE(loaded.IsDirty());
    // A root whose object the store does not hold.
    PSpaceRoots dangling(OID(0x01017778, 0x01010101), false);
    const Bytes d = ArchiveBytes([&](Archive& ar) {
        ar.WriteCompressedUInt32(1);
        ar.WriteCompressedUInt32(1);
        ar.WriteCompressedUInt32(1);
        ar.WriteByte('D');
        WriteOid(ar, OID(0x01017777, 0x01010101));
        WriteOid(ar, OID());
    });
    EXPECT_TRUE(dangling.Deserialise(InputOf(d)).AtEnd());
    EXPECT_THROW(dangling.GetRoot(ctx.Space(), "D"), DerefDanglingOidException);
    EXPECT_THROW(dangling.RemoveRoot(ctx.Space(), "D"), DerefDanglingOidException);

    // A missing element, another schema, damaged counts.
    PSpaceRoots missing(OID(0x01017777, 0x01010101), false);
    EXPECT_THROW(missing.LoadRoots(ctx.m_lss), DerefDanglingOidException);
    EXPECT_THROW(missing.Deserialise(InputOf(Bytes{0x02, 0x00, 0x00})), DeserialisationException);
    EXPECT_THROW(missing.Deserialise(InputOf(Bytes{0x01, 0x7F, 0x00})), DeserialisationException);
    EXPECT_THROW(missing.Deserialise(InputOf(Bytes{0x01, 0x02, 0x01, 'A', 0x01, 0x01, 0x01, 'A', 0x01, 0x01, 0x00})),
                 DeserialisationException);
    EXPECT_THROW(missing.Deserialise(InputOf(Bytes{0x01, 0x01, 0x05, 'A', 0x01})), DeserialisationException);
    EXPECT_TRUE(missing.GetMap().empty());
}

} // namespace
} // namespace vorn::test

namespace vorn::test {
namespace {

TEST(Pref, EvictedTargetsRebindByOidAndUnpersistedOnesStay)
{
    SpaceContext ctx;
    CSpaceLock lock(ctx.CS());
    PNode* parent = ctx.NewNode(1);
    PNode* other = ctx.NewNode(2);
    PNode* stored = ctx.NewNode(3, 64);
    PNode* fresh = ctx.NewNode(4, 64);
    ctx.CS()->AddGcRoot(parent->AsAny());
    ctx.CS()->AddGcRoot(other->AsAny());
    ctx.Space().MakeObjectPersistWithGivenOID(stored->AsPersistable(), ctx.Space().AllocateOid(), false);
    const OID storedOid = stored->m_pos.m_oid;
    ctx.Write({stored->AsPersistable()});
    parent->m_child = pref(stored->AsPersistable());
    other->m_child = pref(fresh->AsPersistable());
    // Whatever is held only weakly is evicted.
    ctx.CS()->SetEvictionThreshold(0);
    const int live = g_liveObjects.load();
    ctx.CS()->SynchronousGc();
    EXPECT_EQ(g_liveObjects.load(), live - 1);
    EXPECT_EQ(parent->m_child.m_cached.m_object, nullptr);
    EXPECT_EQ(parent->m_child.m_oid, storedOid);
    EXPECT_TRUE(ctx.Space().BindObjectIfMemoryResident(storedOid).IsNull());
    EXPECT_EQ(other->m_child.m_cached.m_object, fresh); // not persistent: held strongly
    const IPersistablePtr back = parent->m_child.Get();
    ASSERT_FALSE(back.IsNull());
    EXPECT_EQ(static_cast<PNode*>(back.m_object)->m_value, 3u);
    EXPECT_EQ(static_cast<PNode*>(back.m_object)->m_payload.size(), 64);
    EXPECT_EQ(ctx.Space().BindObjectIfMemoryResident(storedOid).m_object, back.m_object);
}

} // namespace
} // namespace vorn::test
