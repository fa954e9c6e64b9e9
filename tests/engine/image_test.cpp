// Image files: the extension rule, the cipher, containers read back byte for byte after the
// writer made them, and the refusals that keep a bad file from being sent to a phone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/container_writer.h"
#include "engine/debug_out.h"
#include "engine/phase_image.h"

namespace fs = std::filesystem;

namespace {

int open_fds() {
    int n = 0;
    for (auto& e : fs::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++n;
    }
    return n;
}

class ImageFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tw_image_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::string p = path(name);
        FILE* f = std::fopen(p.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return p;
    }

    std::vector<uint8_t> read_file(const std::string& p) {
        std::vector<uint8_t> v(fs::file_size(p));
        FILE* f = std::fopen(p.c_str(), "rb");
        EXPECT_EQ(std::fread(v.data(), 1, v.size(), f), v.size());
        std::fclose(f);
        return v;
    }

    static std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> v(n);
        for (auto& b : v)
            b = static_cast<uint8_t>(rng());
        return v;
    }

    // Packs files with the given ids and contents; returns the container path.
    std::string pack(const std::string& name, int kind, const std::vector<int>& ids,
                     const std::vector<std::vector<uint8_t>>& contents) {
        std::vector<ContainerSource> src;
        for (size_t i = 0; i < ids.size(); ++i) {
            src.push_back(
                {ids[i], write_file("part" + std::to_string(i) + ".mbn", contents[i]), ""});
        }
        std::string out = path(name), err;
        EXPECT_EQ(WriteContainer(out, kind, src, nullptr, err), PACK_OK) << err;
        return out;
    }

    // Reads the selected entry in chunks of `chunk` bytes.
    static std::vector<uint8_t> read_entry(CPhaseImage& img, int id, uint32_t chunk) {
        img.SelectEntry(id);
        uint32_t off = 0, size = 0;
        if (!img.GetImageSize(off, size)) return {};
        std::vector<uint8_t> out(size);
        uint32_t done = 0;
        while (done < size) {
            uint32_t n = std::min(chunk, size - done);
            if (!img.ReadImage(out.data() + done, n)) return {};
            done += n;
        }
        return out;
    }

    std::string dir_;
};

TEST(ImageKindTest, OnlyTheTextAfterTheLastDotCountsAndCaseIsIgnored) {
    EXPECT_EQ(ImageKind("A.ZqEn"), IMAGE_KIND_ZQEN);
    EXPECT_EQ(ImageKind("/pkg/b.zqen"), IMAGE_KIND_ZQEN);
    EXPECT_EQ(ImageKind("x.ZQDE"), IMAGE_KIND_ZQDE);
    EXPECT_EQ(ImageKind("archive.zqde.bin"), IMAGE_KIND_BIN);
    EXPECT_EQ(ImageKind("NPRG7627A.Hex"), IMAGE_KIND_HEX);
    EXPECT_EQ(ImageKind("amss.mbn"), IMAGE_KIND_OTHER);
    EXPECT_EQ(ImageKind("trailing."), IMAGE_KIND_OTHER);
    EXPECT_EQ(ImageKind("zqen"), IMAGE_KIND_ZQEN); // no dot: the whole path is the extension
    EXPECT_EQ(ImageKind("pkg.zqen/file"), IMAGE_KIND_OTHER);
    EXPECT_EQ(ImageKind(static_cast<const char*>(nullptr)), IMAGE_KIND_OTHER);
}

TEST(CryptTest, KeyValueCipherAndRefusals) {
    Crypt c(kImageKeyText);
    // ASCII key bytes change only the low word of the seed.
    EXPECT_EQ(c.KeyValue() >> 32, Crypt::kKeySeed >> 32);
    uint64_t expect = Crypt::kKeySeed;
    for (const char* k = kImageKeyText; *k; ++k)
        expect ^= static_cast<uint64_t>(*k | 0x80);
    EXPECT_EQ(c.KeyValue(), expect);
    // A byte above 0x7F is sign-extended and flips the high word too.
    Crypt high("\xC3");
    EXPECT_EQ(high.KeyValue(), Crypt::kKeySeed ^ 0xFFFFFFFFFFFFFFC3ULL);

    uint8_t data[64], out[64];
    for (int i = 0; i < 64; ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(c.DecryptCopy(data, sizeof data, out), 0); // no length yet
    EXPECT_EQ(c.DecryptInPlace(data, sizeof data), nullptr);
    c.SetLength(100000);
    EXPECT_EQ(c.DecryptCopy(nullptr, 4, out), 0);
    EXPECT_EQ(c.DecryptCopy(data, 4, nullptr), 0);
    ASSERT_EQ(c.DecryptCopy(data, sizeof data, out), 1);
    uint8_t back[64];
    std::memcpy(back, out, sizeof out);
    ASSERT_EQ(c.DecryptInPlace(back, sizeof back), back);
    EXPECT_EQ(0, std::memcmp(back, data, sizeof data)); // the same operation both ways
    // Another length: every byte comes out different.
    Crypt d(kImageKeyText);
    d.SetLength(100001);
    uint8_t other[64];
    ASSERT_EQ(d.DecryptCopy(data, sizeof data, other), 1);
    for (int i = 0; i < 64; ++i)
        EXPECT_NE(other[i], out[i]) << i;
}

TEST_F(ImageFiles, PackThenReadGivesBackEveryEntryByteForByte) {
    std::vector<int> ids = {0, 6, 2, 9, 200};
    std::vector<std::vector<uint8_t>> contents = {random_bytes(5000, 1),
                                                  random_bytes(1017, 2),
                                                  random_bytes(70000, 3),
                                                  {},
                                                  random_bytes(1, 5)};
    for (int kind : {IMAGE_KIND_ZQDE, IMAGE_KIND_ZQEN}) {
        std::string file = pack(kind == IMAGE_KIND_ZQDE ? "m.zqde" : "m.zqen", kind, ids, contents);
        CPhaseImage img;
        ASSERT_EQ(img.OpenImage(file.c_str()), 1);
        EXPECT_TRUE(img.IsContainer());
        EXPECT_EQ(img.EntryCount(), 5);
        for (size_t i = 0; i < ids.size(); ++i) {
            for (uint32_t chunk : {1024u, 333u}) {
                // Positions start again at each open.
                ASSERT_EQ(img.CloseImage(), 1);
                ASSERT_EQ(img.OpenImage(file.c_str()), 1);
                EXPECT_EQ(read_entry(img, ids[i], chunk), contents[i]) << kind << " entry " << i;
            }
            char name[64];
            uint32_t off = 0, size = 0;
            img.SelectEntry(ids[i]);
            ASSERT_EQ(img.GetImageSize(off, size, name, sizeof name), 1);
            EXPECT_EQ(std::string(name), "part" + std::to_string(i) + ".mbn");
            EXPECT_EQ(size, contents[i].size());
        }
        EXPECT_EQ(img.FindEntry(7), -1);
        img.SelectEntry(7);
        uint32_t off = 0, size = 0;
        uint8_t b;
        EXPECT_EQ(img.GetImageSize(off, size), 0);
        EXPECT_EQ(img.ReadImage(&b, 1), 0);
        EXPECT_EQ(img.CloseImage(), 1);
    }
    // The plain container bytes sit where the table says.
    auto raw = read_file(path("m.zqde"));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw.data())), "ZQSH_MERGED_BIN");
    EXPECT_EQ(raw[0xFFF], 5);
    EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 0x4000, raw.begin() + 0x4000 + 5000), contents[0]);
    // The enciphered one differs everywhere from it, header included.
    auto enc = read_file(path("m.zqen"));
    ASSERT_EQ(enc.size(), raw.size());
    for (size_t i = 0; i < 64; ++i)
        EXPECT_NE(enc[i], raw[i]);
}

TEST_F(ImageFiles, ZqenMeaningDependsOnTheWholeFileLength) {
    std::string file = pack("a.zqen", IMAGE_KIND_ZQEN, {0}, {random_bytes(300, 9)});
    {
        CPhaseImage img;
        ASSERT_EQ(img.OpenImage(file.c_str()), 1);
        img.CloseImage();
    }
    FILE* f = std::fopen(file.c_str(), "ab");
    std::fputc(0, f);
    std::fclose(f);
    CPhaseImage img;
    EXPECT_EQ(img.OpenImage(file.c_str()), 0); // the magic no longer deciphers
    EXPECT_FALSE(img.IsHandleValid());
}

TEST_F(ImageFiles, ShortOrBadMagicContainersAreRefusedWithTheirFileClosed) {
    std::vector<uint8_t> good_header(0x4000, 0);
    std::memcpy(good_header.data(), "ZQSH_MERGED_BIN", 16);
    auto short_file = good_header;
    short_file.resize(0x3FFF);
    auto bad_magic = good_header;
    bad_magic[3] = 'X';
    auto unterminated = good_header;
    unterminated[15] = '!';
    const int before = open_fds();
    for (auto* name : {"short.zqde", "short.ZQEN"}) {
        CPhaseImage img;
        EXPECT_EQ(img.OpenImage(write_file(name, short_file).c_str()), 0) << name;
    }
    CPhaseImage img;
    EXPECT_EQ(img.OpenImage(write_file("bad.zqde", bad_magic).c_str()), 0);
    EXPECT_EQ(img.OpenImage(write_file("unterminated.zqde", unterminated).c_str()), 0);
    EXPECT_EQ(img.OpenImage(write_file("plain.zqen", good_header).c_str()), 0); // not enciphered
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(img.OpenImage(write_file("ok.zqde", good_header).c_str()), 1);
    EXPECT_EQ(img.EntryCount(), 0);
    EXPECT_EQ(img.CloseImage(), 1);
    EXPECT_EQ(open_fds(), before);
}

TEST_F(ImageFiles, Ids1And2ReadTheThirdEntry) {
    std::vector<std::vector<uint8_t>> c = {random_bytes(10, 1), random_bytes(20, 2),
                                           random_bytes(30, 3)};
    std::string file = pack("ids.zqde", IMAGE_KIND_ZQDE, {0, 7, 2}, c);
    // Make entry 1 carry id 1, as some packages have it.
    {
        FILE* f = std::fopen(file.c_str(), "r+b");
        std::fseek(f, 0x1000 + 256, SEEK_SET);
        std::fputc(1, f);
        std::fclose(f);
    }
    CPhaseImage img;
    ASSERT_EQ(img.OpenImage(file.c_str()), 1);
    EXPECT_EQ(img.FindEntry(1), 1);
    EXPECT_EQ(read_entry(img, 1, 64), c[2]);
    // Both ids share the third entry's read position: id 2 finds it used up until reopened.
    uint8_t b;
    img.SelectEntry(2);
    EXPECT_EQ(img.ReadImage(&b, 1), 0);
    img.CloseImage();
    ASSERT_EQ(img.OpenImage(file.c_str()), 1);
    EXPECT_EQ(read_entry(img, 2, 64), c[2]);
    EXPECT_EQ(read_entry(img, 0, 64), c[0]);
    img.CloseImage();
    // With fewer than three entries, id 1 finds nothing to read.
    std::string two = pack("two.zqde", IMAGE_KIND_ZQDE, {0, 9}, {c[0], c[1]});
    {
        FILE* f = std::fopen(two.c_str(), "r+b");
        std::fseek(f, 0x1000 + 256, SEEK_SET);
        std::fputc(1, f);
        std::fclose(f);
    }
    ASSERT_EQ(img.OpenImage(two.c_str()), 1);
    uint32_t off, size;
    img.SelectEntry(1);
    EXPECT_EQ(img.GetImageSize(off, size), 0);
}

TEST_F(ImageFiles, AReadPastAnEntryIsRefusedWithoutMovingItsPosition) {
    auto a = random_bytes(100, 4), b = random_bytes(100, 5);
    std::string file = pack("r.zqen", IMAGE_KIND_ZQEN, {0, 6}, {a, b});
    CPhaseImage img;
    ASSERT_EQ(img.OpenImage(file.c_str()), 1);
    const uint32_t start = img.EntryPosition(0);
    EXPECT_EQ(start, 0x4000u);
    uint8_t buf[128];
    EXPECT_EQ(img.ReadImage(buf, 101), 0);
    EXPECT_EQ(img.EntryPosition(0), start);
    ASSERT_EQ(img.ReadImage(buf, 60), 1);
    EXPECT_EQ(0, std::memcmp(buf, a.data(), 60));
    // 41 more would run into the next entry's bytes.
    EXPECT_EQ(img.ReadImage(buf, 41), 0);
    EXPECT_EQ(img.EntryPosition(0), start + 60);
    ASSERT_EQ(img.ReadImage(buf, 40), 1);
    EXPECT_EQ(0, std::memcmp(buf, a.data() + 60, 40));
    EXPECT_EQ(img.ReadImage(buf, 1), 0);
    EXPECT_EQ(img.ReadImage(nullptr, 0), 1);
}

TEST_F(ImageFiles, AContainerWithAnEntryPastItsEndIsRefusedAtOpen) {
    std::string file =
        pack("cut.zqde", IMAGE_KIND_ZQDE, {0, 6}, {random_bytes(100, 1), random_bytes(100, 2)});
    fs::resize_file(file, fs::file_size(file) - 1); // cut short by one byte
    const int before = open_fds();
    CPhaseImage img;
    EXPECT_EQ(img.OpenImage(file.c_str()), 0);
    EXPECT_FALSE(img.IsHandleValid());
    EXPECT_EQ(open_fds(), before);
}

TEST_F(ImageFiles, APlainFileCutShortWhileReadFailsAtTheFirstBlockPastItsNewEnd) {
    const auto bytes = random_bytes(200 * 1024, 11);
    const std::string file = write_file("amss.mbn", bytes);
    CPhaseImage img;
    ASSERT_EQ(img.OpenImage(file.c_str()), 1);
    uint32_t off = 0, size = 0;
    ASSERT_EQ(img.GetImageSize(off, size), 1);
    ASSERT_EQ(size, bytes.size());
    std::vector<uint8_t> got;
    uint8_t block[1024];
    ASSERT_EQ(img.ReadImage(block, sizeof block), 1);
    got.insert(got.end(), block, block + sizeof block);
    // Cut to 100.5 blocks: the blocks below the new end still come, the one across it fails.
    ASSERT_EQ(::truncate(file.c_str(), 100 * 1024 + 512), 0);
    while (img.ReadImage(block, sizeof block) == 1)
        got.insert(got.end(), block, block + sizeof block);
    EXPECT_EQ(got.size(), 100u * 1024);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
    // A plain file is read from its start again after reopening.
    ASSERT_EQ(img.CloseImage(), 1);
    ASSERT_EQ(img.OpenImage(file.c_str()), 1);
    ASSERT_EQ(img.ReadImage(block, 333), 1);
    EXPECT_EQ(0, std::memcmp(block, bytes.data(), 333));
}

TEST_F(ImageFiles, EntryCountAbove48IsRefused) {
    std::vector<int> ids;
    std::vector<std::vector<uint8_t>> c;
    for (int i = 0; i < 49; ++i) {
        ids.push_back(i + 10);
        c.push_back(random_bytes(3, static_cast<uint32_t>(i)));
    }
    std::vector<ContainerSource> src;
    for (int i = 0; i < 49; ++i)
        src.push_back({ids[i], write_file("e" + std::to_string(i), c[i]), ""});
    std::string err;
    EXPECT_EQ(WriteContainer(path("49.zqde"), IMAGE_KIND_ZQDE, src, nullptr, err), PACK_BAD_INPUT);
    EXPECT_NE(err.find("48"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("49.zqde")));
    src.pop_back();
    ASSERT_EQ(WriteContainer(path("48.zqde"), IMAGE_KIND_ZQDE, src, nullptr, err), PACK_OK) << err;
    CPhaseImage img;
    ASSERT_EQ(img.OpenImage(path("48.zqde").c_str()), 1);
    EXPECT_EQ(read_entry(img, 57, 2), c[47]);
    img.CloseImage();
    // A header claiming 49 entries is refused by the reader too, its file closed.
    {
        FILE* f = std::fopen(path("48.zqde").c_str(), "r+b");
        std::fseek(f, 0xFFF, SEEK_SET);
        std::fputc(49, f);
        std::fclose(f);
    }
    const int before = open_fds();
    EXPECT_EQ(img.OpenImage(path("48.zqde").c_str()), 0);
    EXPECT_EQ(open_fds(), before);
}

TEST_F(ImageFiles, PlainFilesAndOpenFailures) {
    auto bytes = random_bytes(3000, 8);
    std::string file = write_file("archive.zqde.bin", bytes);
    CPhaseImage img;
    EXPECT_EQ(img.CloseImage(), 1); // never opened
    ASSERT_EQ(img.OpenImage(file.c_str()), 1);
    EXPECT_FALSE(img.IsContainer());
    EXPECT_EQ(img.FindEntry(0), -2);
    uint32_t off = 1, size = 0;
    ASSERT_EQ(img.GetImageSize(off, size), 1);
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(size, 3000u);
    std::vector<uint8_t> got(3000);
    ASSERT_EQ(img.ReadImage(got.data(), 1000), 1);
    ASSERT_EQ(img.ReadImage(got.data() + 1000, 2000), 1);
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(img.ReadImage(got.data(), 1), 0); // nothing left
    EXPECT_EQ(img.CloseImage(), 1);
    EXPECT_FALSE(img.IsHandleValid());
    EXPECT_EQ(img.GetImageSize(off, size), 0);

    std::vector<std::string> lines;
    sondrel::SetDebugCapture([&](const std::string& s) { lines.push_back(s); });
    const std::string missing = path("missing.bin");
    EXPECT_EQ(img.OpenImage(missing.c_str()), 0);
    EXPECT_EQ(img.OpenImage(dir_.c_str()), 0); // a folder is not an image
    sondrel::SetDebugCapture(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "\n===open file " + missing + " failed, error code is 2");
}

TEST_F(ImageFiles, FilesOf4GiBOrMoreFailClearly) {
    // Sparse files: no disk space is used.
    std::string big = path("big.bin");
    int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    if (::ftruncate(fd, static_cast<off_t>(kImageSizeLimit)) != 0) {
        ::close(fd);
        GTEST_SKIP() << "no sparse files here";
    }
    ::close(fd);
    std::vector<std::string> lines;
    sondrel::SetDebugCapture([&](const std::string& s) { lines.push_back(s); });
    CPhaseImage img;
    EXPECT_EQ(img.OpenImage(big.c_str()), 0);
    sondrel::SetDebugCapture(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("4 GiB"), std::string::npos);

    // An entry that would reach 4 GiB is refused by the writer.
    fd = ::open(big.c_str(), O_WRONLY);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kImageSizeLimit - 0x4000)), 0);
    ::close(fd);
    std::string err;
    EXPECT_EQ(WriteContainer(path("big.zqde"), IMAGE_KIND_ZQDE, {{0, big, ""}}, nullptr, err),
              PACK_BAD_INPUT);
    EXPECT_NE(err.find("4 GiB"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("big.zqde")));
}

TEST_F(ImageFiles, WriterRefusesWhatCouldNotBeReadBack) {
    std::string a = write_file("a.mbn", random_bytes(10, 1));
    std::string err;
    auto w = [&](std::vector<ContainerSource> s, int kind = IMAGE_KIND_ZQDE) {
        return WriteContainer(path("out.zqde"), kind, s, nullptr, err);
    };
    EXPECT_EQ(w({{3, a, ""}, {3, a, ""}}), PACK_BAD_INPUT); // the second would be unreachable
    EXPECT_EQ(w({{1, a, ""}}), PACK_BAD_INPUT);             // id 1 reads the third entry
    EXPECT_EQ(w({{0, a, ""}, {4, a, ""}, {5, a, ""}, {2, a, ""}}), PACK_BAD_INPUT);
    EXPECT_EQ(w({{256, a, ""}}), PACK_BAD_INPUT);
    EXPECT_EQ(w({{0, path("none"), ""}}), PACK_BAD_INPUT);
    EXPECT_EQ(w({{0, dir_, ""}}), PACK_BAD_INPUT);
    EXPECT_EQ(w({{0, a, std::string(245, 'n')}}), PACK_BAD_INPUT);
    EXPECT_EQ(w({{0, a, ""}}, IMAGE_KIND_BIN), PACK_BAD_INPUT);
    EXPECT_FALSE(fs::exists(path("out.zqde")));
    // Nothing half-written is left behind either.
    for (auto& e : fs::directory_iterator(dir_))
        EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos);
    std::vector<ContainerEntryInfo> layout;
    ASSERT_EQ(WriteContainer(path("out.zqde"), IMAGE_KIND_ZQDE,
                             {{0, a, ""}, {4, a, "second"}, {1, a, ""}}, &layout, err),
              PACK_OK)
        << err;
    ASSERT_EQ(layout.size(), 3u);
    EXPECT_EQ(layout[1].offset, 0x4000u + 10);
    EXPECT_EQ(layout[1].name, "second");
    EXPECT_EQ(layout[2].name, "a.mbn");
}

} // namespace
