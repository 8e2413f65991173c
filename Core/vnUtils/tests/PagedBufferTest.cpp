#include "vnUtils/Exceptions.h"
#include "vnUtils/PagedBuffer.h"
#include "vnUtils/Streams.h"
#include <gtest/gtest.h>
#include <vector>

using namespace vorn;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 16);
    }
    return v;
}

std::vector<uint8_t> Contents(const PagedBuffer& b)
{
    std::vector<uint8_t> v(size_t(b.GetSize()));
    b.CopyTo(v.data());
    return v;
}

} // namespace

TEST(PagedBuffer, PagesFollowTheSize)
{
    PagedBuffer b;
    EXPECT_EQ(b.GetNumPages(), 0);
    const auto data = Pattern(4097);
    b.Write(data.data(), 4096);
    EXPECT_EQ(b.GetNumPages(), 1);
    EXPECT_EQ(b.GetSize(), 4096);
    uint8_t* first = b.GetPage(0);
    b.Write(data.data() + 4096, 1);
    EXPECT_EQ(b.GetNumPages(), 2);
    EXPECT_EQ(b.GetSize(), 4097);
    EXPECT_EQ(b.GetWritePosition(), 4097);
    EXPECT_EQ(b.GetPage(0), first) << "a full page never moves";
    EXPECT_EQ(Contents(b), data);

    b.Write(data.data(), 0);
    b.Write(data.data(), -5);
    EXPECT_EQ(b.GetSize(), 4097);

    b.Resize(0);
    EXPECT_EQ(b.GetNumPages(), 0);
    EXPECT_EQ(b.GetSize(), 0);
    b.Resize(1);
    EXPECT_EQ(b.GetNumPages(), 1);
    EXPECT_EQ(b.GetSize(), 1);
    b.Resize(8193);
    EXPECT_EQ(b.GetNumPages(), 3);

    b.Clear();
    EXPECT_EQ(b.GetNumPages(), 0);
    EXPECT_EQ(b.GetSize(), 0);
    EXPECT_EQ(b.GetWritePosition(), 0);
}

TEST(PagedBuffer, WritesAndReadsAcrossSmallPages)
{
    // A tiny page size puts many boundaries in every write and read.
    PagedBuffer b(7);
    const auto data = Pattern(1000, 7);
    size_t at = 0;
    for (int32_t n = 1; at < data.size(); ++n) {
        const int32_t k = int32_t(std::min<size_t>(size_t(n), data.size() - at));
        b.Write(data.data() + at, k);
        at += size_t(k);
    }
    EXPECT_EQ(b.GetSize(), 1000);
    EXPECT_EQ(b.GetNumPages(), (1000 + 6) / 7);
    EXPECT_EQ(Contents(b), data);

    PagedBufferCursor c;
    std::vector<uint8_t> back;
    uint8_t chunk[13];
    for (int32_t got; (got = b.Read(chunk, c, 13)) > 0;) back.insert(back.end(), chunk, chunk + got);
    EXPECT_EQ(back, data);
    EXPECT_EQ(c.m_position, 1000);

    // Overwriting in the middle moves the write position, not the size.
    const auto patch = Pattern(20, 99);
    b.SetWritePosition(500);
    b.Write(patch.data(), 20);
    EXPECT_EQ(b.GetSize(), 1000);
    EXPECT_EQ(b.GetWritePosition(), 520);
    auto expected = data;
    std::copy(patch.begin(), patch.end(), expected.begin() + 500);
    EXPECT_EQ(Contents(b), expected);
}

TEST(PagedBuffer, CursorStopsAtTheSize)
{
    PagedBuffer b;
    const auto data = Pattern(5000);
    b.Write(data.data(), 5000);
    PagedBufferCursor c;
    std::vector<uint8_t> out(10000);
    EXPECT_EQ(b.Read(out.data(), c, 10000), 4096 + 904);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    EXPECT_EQ(b.Read(out.data(), c, 10000), 0);
    EXPECT_EQ(c.m_position, 5000);

    PagedBuffer empty;
    PagedBufferCursor e;
    EXPECT_EQ(empty.Read(out.data(), e, 10), 0);
}

TEST(PagedBuffer, ShrinkingClampsTheWritePosition)
{
    PagedBuffer b;
    const auto data = Pattern(5000);
    b.Write(data.data(), 5000);
    b.Resize(100);
    EXPECT_EQ(b.GetWritePosition(), 100);
    EXPECT_EQ(b.GetNumPages(), 1);
    const uint8_t tail[3] = {1, 2, 3};
    b.Write(tail, 3);
    EXPECT_EQ(b.GetSize(), 103);
    auto expected = std::vector<uint8_t>(data.begin(), data.begin() + 100);
    expected.insert(expected.end(), tail, tail + 3);
    EXPECT_EQ(Contents(b), expected);

    // Growing leaves the write position where it is.
    b.Resize(6000);
    EXPECT_EQ(b.GetWritePosition(), 103);
}

TEST(PagedBuffer, WholeBufferCopies)
{
    PagedBuffer b;
    const char text[] = "paged text";
    b.Write(text, 10);
    xstring s;
    b.CopyTo(s);
    EXPECT_TRUE(s == "paged text");
    xvector<uint8_t> v;
    b.CopyTo(v);
    ASSERT_EQ(v.size(), 10);
    EXPECT_EQ(v[9], 't');
    b.Clear();
    b.CopyTo(s);
    EXPECT_EQ(s.size(), 0);
}

TEST(PagedBufferStreams, InputAdapterSeeks)
{
    PagedBuffer b;
    const auto data = Pattern(4096);
    b.Write(data.data(), 4096);
    PagedBufferToInputStreamAdapter in(&b);
    EXPECT_EQ(in.GetLength(), 4096);
    EXPECT_EQ(in.GetPosition(), 0);

    uint8_t buf[16];
    in.Seek(4096);
    EXPECT_EQ(in.GetPosition(), 4096);
    EXPECT_EQ(in.ReadStream(buf, 16), 0);

    in.Seek(4090);
    EXPECT_EQ(in.ReadStream(buf, 16), 6);
    EXPECT_TRUE(std::equal(buf, buf + 6, data.begin() + 4090));
    EXPECT_EQ(in.GetPosition(), 4096);

    in.Seek(1 << 20);
    EXPECT_EQ(in.ReadStream(buf, 16), 0);

    in.Seek(3);
    EXPECT_EQ(in.ReadStream(buf, 4), 4);
    EXPECT_TRUE(std::equal(buf, buf + 4, data.begin() + 3));
}

TEST(PagedBufferStreams, CopyStreamMovesEverything)
{
    PagedBuffer src;
    const auto data = Pattern(20000, 3);
    PagedBufferToOutputStreamAdapter out(&src);
    out.WriteStream(data.data(), 12345);
    out.WriteStream(data.data() + 12345, ssize_t(data.size() - 12345));
    out.Flush();
    EXPECT_EQ(Contents(src), data);

    PagedBuffer dst;
    PagedBufferToOutputStreamAdapter to(&dst);
    PagedBufferToInputStreamAdapter from(&src);
    EXPECT_EQ(CopyStream(to, from), 20000u);
    EXPECT_EQ(Contents(dst), data);

    StreamLengthCounter counter;
    PagedBufferToInputStreamAdapter again(&src);
    EXPECT_EQ(CopyStream(counter, again), 20000u);
    EXPECT_EQ(counter.GetTotal(), 20000);
}

TEST(PagedBufferStreams, FixedBlockRefusesOverflow)
{
    uint8_t block[10] = {};
    BufferToOutputStreamAdapter out(block, 10);
    const uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    out.WriteStream(ten, 10);
    EXPECT_EQ(out.GetRoomLeft(), 0);
    EXPECT_EQ(out.GetNumBytesWritten(), 10);
    EXPECT_THROW(out.WriteStream(ten, 1), BufferOverflowException);
    EXPECT_EQ(out.GetNumBytesWritten(), 10);
    EXPECT_EQ(block[9], 10);

    uint8_t small[4] = {0, 0, 0, 0};
    BufferToOutputStreamAdapter partial(small, 3);
    EXPECT_THROW(partial.WriteStream(ten, 4), BufferOverflowException);
    EXPECT_EQ(small[0], 0) << "a refused write writes nothing";
    EXPECT_EQ(partial.GetRoomLeft(), 3);
}

TEST(Streams, VectorOutputStreamAppendsEveryWrite)
{
    VectorOutputStream out;
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    out.WriteStream(bytes, 3);
    out.WriteStream(bytes + 3, 0);
    out.WriteStream(bytes + 3, 2);
    out.Flush();
    EXPECT_EQ(out.m_bytes, std::vector<uint8_t>(bytes, bytes + 5));
    EXPECT_EQ(out.m_numWrites, 3);
}
