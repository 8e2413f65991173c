#include "Tilvex/Tilvexgen/Entry.h"
#include "Tilvex/Tilvexgen/Scan.h"
#include "vnImage/Jpeg.h"
#include "vnImage/tests/ImageTestUtil.h"
#include "vnPlatform/Dir.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace vorn;
using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> RgbJpeg(int w, int h) { return LibraryJpeg(w, h, 3, JCS_RGB, RgbGradient(w, h), 75); }
std::vector<uint8_t> GreyJpeg(int w, int h)
{
    return LibraryJpeg(w, h, 1, JCS_GRAYSCALE, std::vector<uint8_t>(size_t(w) * h, 128), 75);
}

struct Found {
    std::string path;
    int32_t width, height;
    bool operator==(const Found& o) const { return path == o.path && width == o.width && height == o.height; }
};
std::ostream& operator<<(std::ostream& os, const Found& f)
{
    return os << f.path << " " << f.width << "x" << f.height;
}

std::vector<Found> Scan(const std::string& dir)
{
    xvector<ImageFileRecord> records;
    ScanDirectoryForJpegs(xstring(dir.c_str()), records);
    std::vector<Found> out;
    for (const ImageFileRecord& r : records) out.push_back(Found{Str(r.path), r.width, r.height});
    return out;
}

ImageFileRecord Record(const char* path, int32_t w, int32_t h)
{
    ImageFileRecord r;
    r.path = path;
    r.width = w;
    r.height = h;
    return r;
}

struct Placed {
    std::string path;
    int32_t x1, y1, x2, y2;
    bool operator==(const Placed& o) const
    {
        return path == o.path && x1 == o.x1 && y1 == o.y1 && x2 == o.x2 && y2 == o.y2;
    }
};
std::ostream& operator<<(std::ostream& os, const Placed& p)
{
    return os << p.path << " (" << p.x1 << "," << p.y1 << "," << p.x2 << "," << p.y2 << ")";
}

std::vector<Placed> Entries(const Montage& m)
{
    std::vector<Placed> out;
    for (const MontageEntry& e : m.entries) out.push_back(Placed{Str(e.path), e.x1, e.y1, e.x2, e.y2});
    return out;
}

} // namespace

TEST(TilvexgenScan, FindsJpgFilesDepthFirstAndKeepsTheirNames)
{
    TempDir dir;
    const std::string d = dir.Path();
    fs::create_directories(d + "/b/deep");
    fs::create_directories(d + "/a");
    WriteFile(d + "/PHOTO.JPG", RgbJpeg(40, 30));
    WriteFile(d + "/z.jpg", GreyJpeg(8, 9));
    WriteFile(d + "/photo.jpeg", RgbJpeg(8, 8));
    WriteFile(d + "/photo", RgbJpeg(8, 8));
    WriteFile(d + "/photo.jpg.bak", RgbJpeg(8, 8));
    WriteFile(d + "/photo.jpgx", RgbJpeg(8, 8));
    WriteFile(d + "/photo.jp", RgbJpeg(8, 8));
    WriteFile(d + "/a/Mixed.JpG", RgbJpeg(16, 8));
    WriteFile(d + "/b/deep/x.jpg", RgbJpeg(3, 5));
    WriteFile(d + "/b/y.jpg", RgbJpeg(7, 2));

    // Files of a directory come before those of its subdirectories; paths use '/'.
    const std::vector<Found> want = {
        {d + "/PHOTO.JPG", 40, 30}, {d + "/z.jpg", 8, 9},       {d + "/a/Mixed.JpG", 16, 8},
        {d + "/b/y.jpg", 7, 2},      {d + "/b/deep/x.jpg", 3, 5},
    };
    EXPECT_EQ(Scan(d), want);
    // A directory given with a trailing '/' gets no second one.
    EXPECT_EQ(Scan(d + "/")[0], (Found{d + "/PHOTO.JPG", 40, 30}));

    // Records are appended to what the vector holds.
    xvector<ImageFileRecord> records;
    records.push_back(Record("earlier", 1, 1));
    ScanDirectoryForJpegs(xstring((d + "/b/deep").c_str()), records);
    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(Str(records[1].path), d + "/b/deep/x.jpg");
}

TEST(TilvexgenScan, SkipsHiddenEntriesAtEveryDepth)
{
    TempDir dir;
    const std::string d = dir.Path();
    fs::create_directories(d + "/.hidden/inner");
    fs::create_directories(d + "/sub/.secret");
    fs::create_directories(d + "/sub/visible");
    WriteFile(d + "/.top.jpg", RgbJpeg(8, 8));
    WriteFile(d + "/.hidden/a.jpg", RgbJpeg(8, 8));
    WriteFile(d + "/.hidden/inner/b.jpg", RgbJpeg(8, 8));
    WriteFile(d + "/sub/.c.jpg", RgbJpeg(8, 8));
    WriteFile(d + "/sub/.secret/d.jpg", RgbJpeg(8, 8));
    WriteFile(d + "/sub/visible/.e.jpg", RgbJpeg(8, 8));
    WriteFile(d + "/sub/visible/f.jpg", RgbJpeg(4, 4));
    EXPECT_EQ(Scan(d), (std::vector<Found>{{d + "/sub/visible/f.jpg", 4, 4}}));
}

TEST(TilvexgenScan, ProbesOnlyRegularFilesAndFollowsNoLinks)
{
    TempDir dir;
    const std::string d = dir.Path();
    fs::create_directories(d + "/sub");
    WriteFile(d + "/sub/real.jpg", RgbJpeg(6, 4));
    // A FIFO would block a reader that opened it; a link back up would loop forever.
    ASSERT_TRUE(MakeFifo((d + "/x.jpg").c_str()));
    fs::create_directory_symlink(d, d + "/sub/loop");
    fs::create_directory_symlink(d + "/sub", d + "/alias");
    fs::create_symlink(d + "/sub/real.jpg", d + "/link.jpg");
    TraceCapture trace;
    EXPECT_EQ(Scan(d), (std::vector<Found>{{d + "/sub/real.jpg", 6, 4}}));
    EXPECT_EQ(trace.Text(), "");
}

TEST(TilvexgenScan, ReportsFilesItCannotTake)
{
    TempDir dir;
    const std::string d = dir.Path();
    WriteFile(d + "/a_text.jpg", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'});
    WriteFile(d + "/b_empty.jpg", std::vector<uint8_t>{});
    const std::vector<uint8_t> good = RgbJpeg(256, 192);
    ASSERT_GT(good.size(), 2000u);
    WriteFile(d + "/c_cut_in_header.jpg", std::vector<uint8_t>(good.begin(), good.begin() + 40));
    // Cut after the header: the probe reads only the header, so the image is taken.
    WriteFile(d + "/d_cut_in_data.jpg", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2));
    WriteFile(d + "/e_cmyk.jpg", LibraryJpeg(8, 8, 4, JCS_CMYK, std::vector<uint8_t>(256, 7)));
    WriteFile(d + "/f_good.jpg", good);
    // A header that claims more pixels than a bitmap can hold: never decodable.
    std::vector<uint8_t> huge = good;
    const std::vector<uint8_t> sof = {0xFF, 0xC0};
    const auto at = std::search(huge.begin(), huge.end(), sof.begin(), sof.end()) - huge.begin();
    ASSERT_LT(size_t(at), huge.size());
    for (int i : {5, 7}) {
        huge[size_t(at + i)] = 65000 >> 8;
        huge[size_t(at + i + 1)] = 65000 & 255;
    }
    WriteFile(d + "/g_huge.jpg", huge);

    TraceCapture trace;
    EXPECT_EQ(Scan(d), (std::vector<Found>{{d + "/d_cut_in_data.jpg", 256, 192}, {d + "/f_good.jpg", 256, 192}}));
    EXPECT_EQ(trace.Text(), "Error reading header of image " + d + "/a_text.jpg\n" +
                                "Error reading header of image " + d + "/b_empty.jpg\n" +
                                "Error reading header of image " + d + "/c_cut_in_header.jpg\n" + "Image " + d +
                                "/e_cmyk.jpg is not JCS_GRAYSCALE or JCS_RGB\n" + "Image " + d +
                                "/g_huge.jpg cannot be decoded : Bad bitmap size 65000 x 65000\n");
}

TEST(TilvexgenScan, ReadJpegHeaderReportsAFileItCannotOpen)
{
    TempDir dir;
    const std::string path = dir.File("missing.jpg");
    TraceCapture trace;
    int32_t w = -1, h = -1;
    EXPECT_FALSE(ReadJpegHeader(xstring(path.c_str()), w, h));
    EXPECT_EQ(w, -1);
    EXPECT_EQ(trace.Text(), "Can't open " + path + "\n");

    WriteFile(path, GreyJpeg(5, 3));
    EXPECT_TRUE(ReadJpegHeader(xstring(path.c_str()), w, h));
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 3);

    // A directory that cannot be searched yields nothing, and says why.
    TraceCapture again;
    EXPECT_TRUE(Scan(dir.File("no-such-dir")).empty());
    EXPECT_EQ(again.Text(), "Error : File error (" + dir.File("no-such-dir") + ") : No such file or directory\n");
}

TEST(TilvexgenLayout, TallestFirstInRowsPastTheSuitableWidth)
{
    xvector<ImageFileRecord> records;
    records.push_back(Record("low", 100, 50));
    records.push_back(Record("tall1", 100, 80));
    records.push_back(Record("tall2", 100, 80));
    Montage m;
    TraceCapture trace;
    LayOutImages(records, m);
    EXPECT_EQ(trace.Text(), "Total area = 21000\n"
                            "Suitable width = 144\n"
                            "  0  tall1  size = (100,80)\n"
                            "  1  tall2  size = (100,80)\n"
                            "  2  low  size = (100,50)\n");
    const std::vector<Placed> want = {
        {"tall1", 0, 0, 100, 80}, {"tall2", 100, 0, 200, 80}, {"low", 0, 80, 100, 130}};
    EXPECT_EQ(Entries(m), want);
}

TEST(TilvexgenLayout, ExactFitDoesNotEndTheRow)
{
    // Total 10000, suitable width 100: the first image reaches x = 100 exactly.
    xvector<ImageFileRecord> records;
    records.push_back(Record("a", 100, 60));
    records.push_back(Record("b", 50, 40));
    records.push_back(Record("c", 50, 40));
    Montage m;
    TraceCapture trace;
    LayOutImages(records, m);
    // Rows are as tall as their first image; images are top-aligned in a row.
    const std::vector<Placed> want = {
        {"a", 0, 0, 100, 60}, {"b", 100, 0, 150, 40}, {"c", 0, 60, 50, 100}};
    EXPECT_EQ(Entries(m), want);
    EXPECT_NE(trace.Text().find("Suitable width = 100\n"), std::string::npos);
}

TEST(TilvexgenLayout, EqualHeightsKeepTheirScanOrder)
{
    xvector<ImageFileRecord> records;
    const char* names[] = {"p0", "p1", "p2", "p3", "p4", "p5", "p6", "p7", "p8", "p9"};
    for (int i = 0; i < 10; ++i) records.push_back(Record(names[i], 10, i % 2 ? 30 : 20));
    Montage m;
    TraceCapture trace;
    LayOutImages(records, m);
    ASSERT_EQ(m.entries.size(), 10);
    const char* want[] = {"p1", "p3", "p5", "p7", "p9", "p0", "p2", "p4", "p6", "p8"};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Str(m.entries[i].path), want[i]) << i;
}

TEST(TilvexgenLayout, NoImagesAndHugeAreas)
{
    xvector<ImageFileRecord> none;
    Montage m;
    m.entries.push_back(MontageEntry{xstring("stale"), 1, 2, 3, 4});
    {
        TraceCapture trace;
        LayOutImages(none, m);
        EXPECT_EQ(trace.Text(), "Total area = 0\nSuitable width = 0\n");
        EXPECT_TRUE(m.entries.empty());
    }
    // Each product and the sum are 64-bit: 2 x 60000 x 50000 = 6000000000.
    xvector<ImageFileRecord> big;
    big.push_back(Record("a", 60000, 50000));
    big.push_back(Record("b", 60000, 50000));
    TraceCapture trace;
    LayOutImages(big, m);
    EXPECT_EQ(trace.Text(), "Total area = 6000000000\n"
                            "Suitable width = 77459\n"
                            "  0  a  size = (60000,50000)\n"
                            "  1  b  size = (60000,50000)\n");
    const std::vector<Placed> want = {{"a", 0, 0, 60000, 50000}, {"b", 60000, 0, 120000, 50000}};
    EXPECT_EQ(Entries(m), want);
}

TEST(TilvexgenScan, ProgramPrintsScanMessagesAndLayout)
{
    TempDir dir;
    const std::string d = dir.Path() + "/pics";
    fs::create_directories(d + "/more");
    WriteFile(d + "/wide.jpg", RgbJpeg(100, 80));
    WriteFile(d + "/broken.jpg", std::vector<uint8_t>{1, 2, 3});
    WriteFile(d + "/more/Low.JPG", GreyJpeg(100, 50));
    WriteFile(d + "/more/tall.jpg", RgbJpeg(100, 80));
    const std::string program = dir.Path() + "/bin/Tilvexgen";
    fs::create_directories(dir.Path() + "/bin");

    // No key comes: standard input is at its end.
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    const char* argv[] = {program.c_str(), d.c_str(), nullptr};
    testing::internal::CaptureStdout();
    const int rc = TilvexgenMain(2, argv);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    const std::string scanned = "Scanning directory " + d + " for jpeg images\n"
                   "Tilvex will be written as file : " + dir.Path() + "/bin/pics.tvx\n"
                   "Error reading header of image " + d + "/broken.jpg\n"
                   "Hit a key...\n"
                   "Total area = 21000\n"
                   "Suitable width = 144\n"
                   "  0  " + d + "/wide.jpg  size = (100,80)\n"
                   "  1  " + d + "/more/tall.jpg  size = (100,80)\n"
                   "  2  " + d + "/more/Low.JPG  size = (100,50)\n"
                   "Calculating Tilvex from an irregular montage of images\n";
    EXPECT_EQ(out.substr(0, scanned.size()), scanned);
    EXPECT_TRUE(fs::is_regular_file(dir.Path() + "/bin/pics.tvx"));
}
