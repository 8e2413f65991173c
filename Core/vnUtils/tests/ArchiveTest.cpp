#include "vnUtils/Archive.h"
#include "vnUtils/Exceptions.h"
#include <gtest/gtest.h>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace vorn;

namespace {

using Bytes = std::vector<uint8_t>;

// Records every WriteStream call; can be told to fail the next calls.
class RecordingStream : public IOutputStream {
public:
    void WriteStream(const void* buffer, ssize_t n) override
    {
        if (m_failures > 0) {
            --m_failures;
            throw BufferOverflowException();
        }
        calls.push_back(n);
        const uint8_t* p = static_cast<const uint8_t*>(buffer);
        bytes.insert(bytes.end(), p, p + n);
    }
    void Flush() override { ++flushes; }
    void FailNext(int n) { m_failures = n; }

    std::vector<ssize_t> calls;
    Bytes bytes;
    int flushes = 0;

private:
    int m_failures = 0;
};

// Hands out its bytes in pieces of at most maxRead.
class MemoryInput : public IInputStream {
public:
    explicit MemoryInput(Bytes b, ssize_t maxRead = 1 << 30) : m_bytes(std::move(b)), m_maxRead(maxRead) {}
    ssize_t ReadStream(void* buffer, ssize_t n) override
    {
        ssize_t k = std::min<ssize_t>({n, m_maxRead, ssize_t(m_bytes.size() - m_pos)});
        if (k > 0) std::memcpy(buffer, m_bytes.data() + m_pos, size_t(k));
        m_pos += size_t(k);
        return k;
    }
private:
    Bytes m_bytes;
    ssize_t m_maxRead;
    size_t m_pos = 0;
};

Bytes Encode(uint32_t v)
{
    RecordingStream out;
    {
        Archive ar(&out);
        ar.WriteCompressedUInt32(v);
    }
    return out.bytes;
}

uint32_t DecodeFromBuffer(const Bytes& b, size_t* used = nullptr)
{
    uint32_t v = 0;
    InputArchive in(b.data(), b.size());
    InputArchive after = ReadCompressedUInt32FromBuffer(in, v);
    if (used) *used = size_t(after.Ptr() - b.data());
    return v;
}

uint32_t DecodeFromStream(const Bytes& b)
{
    MemoryInput in(b, 1);
    ArchiveReader reader(&in);
    return reader.ReadCompressedUInt32();
}

std::string Message(const DeserialisationException& e)
{
    return std::string(e.GetMessage().data(), size_t(e.GetMessage().size()));
}

std::string SchemaError(uint32_t n, int maxSchema)
{
    const Bytes b = Encode(n);
    int schema = -7;
    try {
        ReadSchema(InputArchive(b.data(), b.size()), maxSchema, schema);
    } catch (const DeserialisationException& e) {
        EXPECT_EQ(schema, -7);
        return Message(e);
    }
    return "accepted " + std::to_string(schema);
}

} // namespace

TEST(CompressedUInt, EncodesEveryBoundaryInItsShortestForm)
{
    const struct {
        uint32_t v;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {0x7F, {0x7F}},
        {0x80, {0x80, 0x80}},
        {0x3FFF, {0xBF, 0xFF}},
        {0x4000, {0xC0, 0x40, 0x00}},
        {0x1FFFFF, {0xDF, 0xFF, 0xFF}},
        {0x200000, {0xE0, 0x20, 0x00, 0x00}},
        {0xFFFFFFF, {0xEF, 0xFF, 0xFF, 0xFF}},
        {0x10000000, {0xF0, 0x10, 0x00, 0x00, 0x00}},
        {0xFFFFFFFF, {0xF0, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0x12345678, {0xF0, 0x12, 0x34, 0x56, 0x78}},
        {0x0ABCDEF, {0xE0, 0xAB, 0xCD, 0xEF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.v);
        EXPECT_EQ(Encode(c.v), c.bytes);
        size_t used = 0;
        EXPECT_EQ(DecodeFromBuffer(c.bytes, &used), c.v);
        EXPECT_EQ(used, c.bytes.size());
        EXPECT_EQ(DecodeFromStream(c.bytes), c.v);
    }
}

TEST(CompressedUInt, LongerFormsOfSmallValuesDecode)
{
    const Bytes forms[] = {
        {0x05}, {0x80, 0x05}, {0xC0, 0x00, 0x05}, {0xE0, 0x00, 0x00, 0x05},
        {0xF0, 0x00, 0x00, 0x00, 0x05}, {0xF7, 0x00, 0x00, 0x00, 0x05}, {0xFF, 0x00, 0x00, 0x00, 0x05},
    };
    for (const Bytes& b : forms) {
        size_t used = 0;
        EXPECT_EQ(DecodeFromBuffer(b, &used), 5u);
        EXPECT_EQ(used, b.size());
        EXPECT_EQ(DecodeFromStream(b), 5u);
    }
}

TEST(CompressedUInt, RandomValuesRoundTripThroughOneArchive)
{
    std::mt19937 rng(7);
    std::vector<uint32_t> values;
    for (int i = 0; i < 5000; ++i) values.push_back(rng() >> (rng() % 32));
    RecordingStream out;
    {
        Archive ar(&out);
        for (uint32_t v : values) ar.WriteCompressedUInt32(v);
    }
    InputArchive in(out.bytes.data(), out.bytes.size());
    for (uint32_t v : values) {
        uint32_t got;
        in = ReadCompressedUInt32FromBuffer(in, got);
        ASSERT_EQ(got, v);
    }
    EXPECT_TRUE(in.AtEnd());
    // A compressed value that straddles a buffer boundary is written byte by byte.
    for (ssize_t n : out.calls) EXPECT_LE(n, Archive::kBufferSize);
}

TEST(ArchiveSchema, ChecksTheRangeWithExactMessages)
{
    EXPECT_EQ(SchemaError(1, 1), "accepted 1");
    EXPECT_EQ(SchemaError(2, 1), "Bad schema (2) - should be 1");
    EXPECT_EQ(SchemaError(0, 1), "Bad schema (0) - should be 1");
    EXPECT_EQ(SchemaError(0, 3), "Bad schema (0) - should be between 1 and 3");
    EXPECT_EQ(SchemaError(4, 3), "Bad schema (4) - should be between 1 and 3");
    EXPECT_EQ(SchemaError(3, 3), "accepted 3");
    // Numbers print as signed values.
    EXPECT_EQ(SchemaError(0xFFFFFFFF, 3), "Bad schema (-1) - should be between 1 and 3");

    const Bytes b = {0x02, 0x99};
    int schema = 0;
    InputArchive after = ReadSchema(InputArchive(b.data(), b.size()), 2, schema);
    EXPECT_EQ(schema, 2);
    EXPECT_EQ(after.Ptr(), b.data() + 1);
}

TEST(ArchiveWriter, RawValuesAreLeastSignificantByteFirst)
{
    RecordingStream out;
    Guid g;
    ASSERT_TRUE(ParseGuid("{7C3E52A5-58B1-12C4-A4E7-00C0F03D81B6}", g));
    {
        Archive ar(&out);
        ar.Write4(0x01020304);
        ar.Write8(0x0A0B0C0D0E0F1011ull);
        ar.SerialiseGuid(g);
        ar.SerialiseBytes(xvector<uint8_t>(3, 0xEE));
        ar.SerialiseXvector(xvector<uint8_t>(2, 0xDD));
        EXPECT_EQ(ar.GetNumBytesWritten(), 4 + 8 + 16 + 7 + 3);
    }
    const Bytes expected = {0x04, 0x03, 0x02, 0x01, 0x11, 0x10, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A,
                            0xA5, 0x52, 0x3E, 0x7C, 0xB1, 0x58, 0xC4, 0x12, 0xA4, 0xE7, 0x00, 0xC0,
                            0xF0, 0x3D, 0x81, 0xB6, 0x03, 0x00, 0x00, 0x00, 0xEE, 0xEE, 0xEE, 0x02,
                            0xDD, 0xDD};
    EXPECT_EQ(out.bytes, expected);

    InputArchive in(out.bytes.data(), out.bytes.size());
    uint32_t v4;
    uint64_t v8;
    Guid g2;
    xvector<uint8_t> raw, packed;
    in = Read4FromBuffer(in, v4);
    in = Read8FromBuffer(in, v8);
    in = DeserialiseGuid(in, g2);
    in = DeserialiseBytesFromBuffer(in, raw);
    in = DeserialiseXvector(in, packed);
    EXPECT_TRUE(in.AtEnd());
    EXPECT_EQ(v4, 0x01020304u);
    EXPECT_EQ(v8, 0x0A0B0C0D0E0F1011ull);
    EXPECT_EQ(g2, g);
    EXPECT_EQ(raw, xvector<uint8_t>(3, 0xEE));
    EXPECT_EQ(packed, xvector<uint8_t>(2, 0xDD));
}

TEST(ArchiveWriter, HandsTheBufferOverOnlyWhenAValueDoesNotFit)
{
    RecordingStream out;
    {
        Archive ar(&out);
        for (int i = 0; i < 4095; ++i) ar.WriteByte(uint8_t(i));
        EXPECT_TRUE(out.calls.empty());
        ar.Write4(0xAABBCCDD);
        ASSERT_EQ(out.calls.size(), 1u);
        EXPECT_EQ(out.calls[0], 4095);
        EXPECT_EQ(ar.GetNumBytesWritten(), 4099);
        EXPECT_EQ(ar.Flush(), 4);
        EXPECT_EQ(ar.Flush(), 0); // nothing buffered: no call
    }
    EXPECT_EQ(out.calls, (std::vector<ssize_t>{4095, 4}));
    EXPECT_EQ(out.flushes, 0); // the target's Flush is never called
}

TEST(ArchiveWriter, LargeBlocksBypassTheBuffer)
{
    RecordingStream out;
    Bytes block(1025, 0x5A);
    int64_t written = 0;
    {
        Archive ar(&out);
        for (int i = 0; i < 10; ++i) ar.WriteByte(1);
        ar.WriteBytes(block.data(), 1025);
        EXPECT_EQ(out.calls, (std::vector<ssize_t>{10, 1025}));

        // 1024 bytes are buffered; when they do not fit the buffer goes first.
        Bytes small(1024, 0x33);
        for (int i = 0; i < 4; ++i) ar.WriteBytes(small.data(), 1024);
        EXPECT_EQ(out.calls.size(), 2u);
        ar.WriteByte(9);
        ar.WriteBytes(small.data(), 1024);
        EXPECT_EQ(out.calls, (std::vector<ssize_t>{10, 1025, 4096}));
        ar.WriteBytes(small.data(), 0);
        written = ar.GetNumBytesWritten();
    }
    EXPECT_EQ(out.calls, (std::vector<ssize_t>{10, 1025, 4096, 1025}));
    EXPECT_EQ(int64_t(out.bytes.size()), written);
}

TEST(ArchiveWriter, BigByteVectorsGoThroughTheBufferInFullPieces)
{
    RecordingStream out;
    xvector<uint8_t> v(10000, 7);
    {
        Archive ar(&out);
        ar.SerialiseBytes(v);
    }
    EXPECT_EQ(out.calls, (std::vector<ssize_t>{4096, 4096, 1812}));
    InputArchive in(out.bytes.data(), out.bytes.size());
    xvector<uint8_t> back;
    in = DeserialiseBytesFromBuffer(in, back);
    EXPECT_TRUE(back == v);
}

TEST(ArchiveWriter, BufferedBytesSurviveAFailingTargetAndGoOutOnDestruction)
{
    RecordingStream out;
    {
        Archive ar(&out);
        for (int i = 0; i < 100; ++i) ar.WriteByte(uint8_t(i));
        out.FailNext(1);
        EXPECT_THROW(ar.Flush(), BufferOverflowException);
        EXPECT_EQ(ar.GetNumBytesBuffered(), 100);
    }
    EXPECT_EQ(out.calls, (std::vector<ssize_t>{100}));
    ASSERT_EQ(out.bytes.size(), 100u);
    EXPECT_EQ(out.bytes[99], 99);

    // A destructor whose target fails again drops the failure instead of throwing.
    RecordingStream broken;
    EXPECT_NO_THROW({
        Archive ar(&broken);
        ar.WriteByte(1);
        broken.FailNext(5);
    });
    EXPECT_TRUE(broken.calls.empty());
}

TEST(ArchiveWriter, CopyFromStreamFlushesThenCopiesStraightToTheTarget)
{
    RecordingStream out;
    Bytes src(20000);
    for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 31);
    MemoryInput in(src);
    {
        Archive ar(&out);
        ar.WriteByte(0xAB);
        EXPECT_EQ(ar.CopyFromStream(in), 20000u);
        EXPECT_EQ(ar.GetNumBytesWritten(), 20001);
        EXPECT_EQ(ar.GetNumBytesBuffered(), 0);
    }
    ASSERT_EQ(out.calls.front(), 1);
    ASSERT_EQ(out.bytes.size(), 20001u);
    EXPECT_TRUE(std::equal(src.begin(), src.end(), out.bytes.begin() + 1));
}

TEST(ArchiveReader, PushbackBytesComeBeforeTheStream)
{
    MemoryInput in(Bytes{0x10, 0x20});
    ArchiveReader r(&in);
    const uint8_t back[] = {0x80};
    r.PushBack(back, 1);
    EXPECT_EQ(r.ReadCompressedUInt32(), 0x10u); // 80 from pushback, 10 from the stream
    EXPECT_EQ(r.GetPushbackCount(), 0);
    EXPECT_EQ(r.ReadByte(), 0x20);
    EXPECT_THROW(r.ReadByte(), EndOfStreamException);

    const uint8_t two[] = {1, 2};
    const uint8_t zero[] = {0};
    r.PushBack(two, 2);
    r.PushBack(zero, 1);
    EXPECT_EQ(r.ReadByte(), 0);
    EXPECT_EQ(r.ReadByte(), 1);
    EXPECT_EQ(r.ReadByte(), 2);

    ArchiveReader none;
    EXPECT_THROW(none.ReadByte(), EndOfStreamException);
}

TEST(ArchiveReader, AStreamEndingInsideAValueThrows)
{
    for (const Bytes& b : {Bytes{0x80}, Bytes{0xC0, 0x01}, Bytes{0xE0, 1, 2}, Bytes{0xF0, 1, 2, 3}, Bytes{}}) {
        MemoryInput in(b);
        ArchiveReader r(&in);
        EXPECT_THROW(r.ReadCompressedUInt32(), EndOfStreamException);
    }
}

TEST(InputArchive, CutOffValuesThrowInsteadOfReadingPastTheBlock)
{
    // Each block is a correct value with its last byte cut off.
    const Bytes whole[] = {{0x01}, {0x80, 0x80}, {0xC0, 0x40, 0x00}, {0xE0, 0x20, 0x00, 0x00},
                           {0xF0, 0x10, 0x00, 0x00, 0x00}};
    for (const Bytes& w : whole) {
        // A heap copy of exactly the cut bytes, so that AddressSanitizer sees any overrun.
        std::vector<uint8_t> cut(w.begin(), w.end() - 1);
        uint32_t v = 0;
        EXPECT_THROW(ReadCompressedUInt32FromBuffer(InputArchive(cut.data(), cut.size()), v), DeserialisationException);
    }
    const Bytes three = {1, 2, 3};
    InputArchive in(three.data(), three.size());
    uint32_t v4;
    uint64_t v8;
    Guid g;
    int schema;
    EXPECT_THROW(Read4FromBuffer(in, v4), DeserialisationException);
    EXPECT_THROW(Read8FromBuffer(in, v8), DeserialisationException);
    EXPECT_THROW(DeserialiseGuid(in, g), DeserialisationException);
    EXPECT_THROW(SkipInBuffer(in, 4), DeserialisationException);
    EXPECT_THROW(ReadSchema(InputArchive(three.data(), size_t(0)), 1, schema), DeserialisationException);
    EXPECT_EQ(SkipInBuffer(in, 3).Remaining(), 0u);
}

TEST(InputArchive, HostileCountsNeitherAllocateNorOverrun)
{
    xvector<uint8_t> v(4, 0x11);
    const Bytes hugeCompressed = {0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3};
    EXPECT_THROW(DeserialiseXvector(InputArchive(hugeCompressed.data(), hugeCompressed.size()), v), DeserialisationException);
    const Bytes hugeRaw = {0xFF, 0xFF, 0xFF, 0x7F, 1, 2};
    EXPECT_THROW(DeserialiseBytesFromBuffer(InputArchive(hugeRaw.data(), hugeRaw.size()), v), DeserialisationException);
    const Bytes oneShort = {0x04, 1, 2, 3};
    EXPECT_THROW(DeserialiseXvector(InputArchive(oneShort.data(), oneShort.size()), v), DeserialisationException);
    // The vector is untouched by a rejected read.
    EXPECT_EQ(v, xvector<uint8_t>(4, 0x11));

    const Bytes exact = {0x03, 7, 8, 9};
    InputArchive after = DeserialiseXvector(InputArchive(exact.data(), exact.size()), v);
    EXPECT_TRUE(after.AtEnd());
    ASSERT_EQ(v.size(), 3);
    EXPECT_EQ(v.capacity(), 3); // capacity exactly the count, even when it was larger
    EXPECT_EQ(v[2], 9);

    const Bytes empty = {0x00};
    DeserialiseXvector(InputArchive(empty.data(), empty.size()), v);
    EXPECT_EQ(v.size(), 0);
    EXPECT_EQ(v.capacity(), 0);
}

TEST(InputArchive, RandomGarbageNeverReadsPastItsBlock)
{
    std::mt19937 rng(42);
    int rejected = 0;
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> block(rng() % 24);
        for (auto& b : block) b = uint8_t(rng());
        InputArchive in(block.data(), block.size());
        try {
            for (int step = 0; step < 8; ++step) {
                uint32_t v;
                xvector<uint8_t> bytes;
                switch (rng() % 3) {
                case 0: in = ReadCompressedUInt32FromBuffer(in, v); break;
                case 1: in = DeserialiseXvector(in, bytes); break;
                default: in = DeserialiseBytesFromBuffer(in, bytes); break;
                }
                ASSERT_LE(in.Ptr(), block.data() + block.size());
            }
        } catch (const DeserialisationException&) {
            ++rejected;
        }
    }
    EXPECT_GT(rejected, 0);
}

namespace {

struct CountingReadHook final : IOidReadRemapHook {
    InputArchive ReadOidHigh(InputArchive in, uint32_t& high) override
    {
        high = 0;
        return in;
    }
};

} // namespace

TEST(ArchiveOidHooks, WriterHookBelongsToItsArchiveAndReaderHookToItsThread)
{
    RecordingStream s;
    Archive a(&s), b(&s);
    struct NoHigh final : IOidRemapHook {
        void WriteOidHigh(Archive&, uint32_t) override {}
    } hook;
    a.SetOidRemapHook(&hook);
    EXPECT_EQ(a.GetOidRemapHook(), &hook);
    EXPECT_EQ(b.GetOidRemapHook(), nullptr);

    CountingReadHook readHook;
    EXPECT_EQ(GetThreadOidReadRemapHook(), nullptr);
    SetThreadOidReadRemapHook(&readHook);
    IOidReadRemapHook* seenElsewhere = &readHook;
    std::thread([&] { seenElsewhere = GetThreadOidReadRemapHook(); }).join();
    EXPECT_EQ(GetThreadOidReadRemapHook(), &readHook);
    EXPECT_EQ(seenElsewhere, nullptr);
    SetThreadOidReadRemapHook(nullptr);
    EXPECT_EQ(GetThreadOidReadRemapHook(), nullptr);
}
