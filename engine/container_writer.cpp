#include "engine/container_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/phase_image.h"

namespace {

void put_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

std::string base_name(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release_close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

  private:
    int fd_;
};

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

int WriteContainer(const std::string& outPath, int kind,
                   const std::vector<ContainerSource>& entries,
                   std::vector<ContainerEntryInfo>* layout, std::string& error) {
    if (kind != IMAGE_KIND_ZQDE && kind != IMAGE_KIND_ZQEN) {
        error = "container kind must be zqde or zqen";
        return PACK_BAD_INPUT;
    }
    if (outPath.empty()) {
        error = "no output file given";
        return PACK_BAD_INPUT;
    }
    if (entries.size() > static_cast<size_t>(kContainerMaxEntries)) {
        error =
            "a container holds at most 48 entries, " + std::to_string(entries.size()) + " given";
        return PACK_BAD_INPUT;
    }

    std::vector<ContainerEntryInfo> plan;
    uint64_t next = kContainerHeaderSize;
    bool seen[256] = {};
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        if (e.id < 0 || e.id > 255) {
            error = "entry id " + std::to_string(e.id) + " is outside 0..255";
            return PACK_BAD_INPUT;
        }
        if (seen[e.id]) {
            error = "entry id " + std::to_string(e.id) + " is given twice";
            return PACK_BAD_INPUT;
        }
        seen[e.id] = true;
        if ((e.id == 1 || e.id == 2) && i != 2) {
            error = "entry id " + std::to_string(e.id) +
                    " must be the third entry: readers of ids 1 and 2 take the third entry";
            return PACK_BAD_INPUT;
        }
        struct stat st {};
        if (::stat(e.path.c_str(), &st) != 0) {
            error = "cannot read " + e.path + ": " + std::strerror(errno);
            return PACK_BAD_INPUT;
        }
        if (!S_ISREG(st.st_mode)) {
            error = e.path + " is not a regular file";
            return PACK_BAD_INPUT;
        }
        std::string name = e.name.empty() ? base_name(e.path) : e.name;
        if (name.size() >= kEntryNameMax) {
            error = "entry name '" + name + "' is longer than 244 bytes";
            return PACK_BAD_INPUT;
        }
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (next + size >= kImageSizeLimit) {
            error = "the container would reach 4 GiB at " + e.path;
            return PACK_BAD_INPUT;
        }
        plan.push_back({e.id, static_cast<uint32_t>(next), static_cast<uint32_t>(size), name});
        next += size;
    }
    const uint64_t total = next;

    std::vector<uint8_t> header(kContainerHeaderSize, 0);
    std::memcpy(header.data(), kContainerMagic, sizeof kContainerMagic);
    header[kContainerCountOffset] = static_cast<uint8_t>(plan.size());
    for (size_t i = 0; i < plan.size(); ++i) {
        uint8_t* p = header.data() + kContainerTableOffset + kContainerEntrySize * i;
        p[kEntryIdOffset] = static_cast<uint8_t>(plan[i].id);
        put_le32(p + kEntryDataOffset, plan[i].offset);
        put_le32(p + kEntryDataSize, plan[i].size);
        std::memcpy(p + kEntryNameOffset, plan[i].name.data(), plan[i].name.size());
    }

    Crypt crypt(kImageKeyText);
    crypt.SetLength(total);
    const bool encipher = (kind == IMAGE_KIND_ZQEN);
    if (encipher) crypt.DecryptInPlace(header.data(), header.size());

    // Messages name the output: the temporary file beside it is this writer's own business.
    const std::string tmp = outPath + ".tmp." + std::to_string(::getpid());
    Fd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.get() < 0) {
        error = "cannot create " + outPath + ": " + std::strerror(errno);
        return PACK_IO_ERROR;
    }
    auto io_fail = [&](const std::string& what) {
        error = what;
        ::unlink(tmp.c_str());
        return PACK_IO_ERROR;
    };
    if (!write_all(out.get(), header.data(), header.size()))
        return io_fail("cannot write " + outPath + ": " + std::strerror(errno));

    constexpr size_t kChunk = 1 << 20;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kChunk]);
    for (size_t i = 0; i < plan.size(); ++i) {
        Fd in(::open(entries[i].path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (in.get() < 0) return io_fail("cannot open " + entries[i].path);
        uint64_t left = plan[i].size;
        while (left > 0) {
            size_t want = left < kChunk ? static_cast<size_t>(left) : kChunk;
            ssize_t r = ::read(in.get(), buf.get(), want);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return io_fail(entries[i].path + " became shorter while it was packed");
            if (encipher) crypt.DecryptInPlace(buf.get(), static_cast<size_t>(r));
            if (!write_all(out.get(), buf.get(), static_cast<size_t>(r)))
                return io_fail("cannot write " + outPath + ": " + std::strerror(errno));
            left -= static_cast<uint64_t>(r);
        }
        uint8_t extra;
        if (::read(in.get(), &extra, 1) > 0)
            return io_fail(entries[i].path + " grew while it was packed");
    }
    if (::fsync(out.get()) != 0 || out.release_close() != 0)
        return io_fail("cannot write " + outPath + ": " + std::strerror(errno));
    if (::rename(tmp.c_str(), outPath.c_str()) != 0)
        return io_fail("cannot create " + outPath + ": " + std::strerror(errno));
    if (layout) *layout = std::move(plan);
    return PACK_OK;
}
