#include "phonesim/fastboot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "phonesim/util.h"

namespace phonesim {

namespace {
const char* const kPartitions[] = {"boot",  "recovery", "system", "userdata",
                                   "cache", "persist",  "misc"};

bool parse_size(const std::string& s, uint64_t& v) {
    if (s.empty() || s.size() > 8) return false;
    v = 0;
    for (char c : s) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (d < 0) return false;
        v = v * 16 + static_cast<uint64_t>(d);
    }
    return true;
}
} // namespace

FastbootDevice::FastbootDevice(std::string dir, std::string serial)
    : dir_(std::move(dir)), serial_(std::move(serial)) {}

FastbootDevice::~FastbootDevice() {
    if (download_fd_ >= 0) ::close(download_fd_);
}

bool FastbootDevice::known_partition(const std::string& name) {
    for (const char* p : kPartitions)
        if (name == p) return true;
    return false;
}

std::string FastbootDevice::cut(std::string s) {
    if (s.size() > kFastbootMaxResponse) s.resize(kFastbootMaxResponse);
    return s;
}

FastbootDevice::Action FastbootDevice::command(const std::string& cmd,
                                               std::vector<std::string>& out, bool fail_write) {
    auto fail = [&](const std::string& why) { out.push_back(cut("FAIL" + why)); };
    if (cmd.rfind("getvar:", 0) == 0) {
        std::string var = cmd.substr(7);
        if (var == "version")
            out.push_back(std::string("OKAY") + kFastbootVersion);
        else if (var == "product")
            out.push_back(std::string("OKAY") + kFastbootProduct);
        else if (var == "serialno")
            out.push_back(cut("OKAY" + serial_));
        else if (var == "max-download-size") {
            char buf[32];
            std::snprintf(buf, sizeof buf, "OKAY0x%08llx",
                          static_cast<unsigned long long>(kFastbootMaxDownload));
            out.push_back(buf);
        } else {
            fail("unknown variable");
        }
        return Action::None;
    }
    if (cmd.rfind("download:", 0) == 0) {
        uint64_t size = 0;
        if (!parse_size(cmd.substr(9), size) || size == 0) {
            fail("invalid download size");
            return Action::None;
        }
        if (size > kFastbootMaxDownload) {
            fail("data too large");
            return Action::None;
        }
        abort_download();
        downloaded_ = 0;
        // A new file, never the old one rewritten: the old one may be a flashed partition now.
        const std::string path = dir_ + "/.download";
        ::unlink(path.c_str());
        download_fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (download_fd_ < 0) {
            fail("cannot store download");
            return Action::None;
        }
        remaining_ = size;
        downloaded_ = size;
        char buf[16];
        std::snprintf(buf, sizeof buf, "DATA%08llx", static_cast<unsigned long long>(size));
        out.push_back(buf);
        return Action::None;
    }
    if (cmd.rfind("flash:", 0) == 0) {
        std::string part = cmd.substr(6);
        if (!known_partition(part)) {
            fail("partition does not exist");
            return Action::None;
        }
        if (downloaded_ == 0 || remaining_ != 0) {
            fail("no image downloaded");
            return Action::None;
        }
        if (fail_write) {
            fail("flash write failure");
            return Action::None;
        }
        out.push_back(cut("INFOwriting '" + part + "'"));
        std::error_code ec;
        std::string tmp = dir_ + "/." + part + ".img.tmp";
        std::filesystem::remove(tmp, ec);
        // The download file is never written again once complete, so the partition can share
        // it; a file system without hard links gets a copy.
        if (::link((dir_ + "/.download").c_str(), tmp.c_str()) != 0)
            std::filesystem::copy_file(dir_ + "/.download", tmp,
                                       std::filesystem::copy_options::overwrite_existing, ec);
        if (!ec) std::filesystem::rename(tmp, dir_ + "/" + part + ".img", ec);
        // A rename onto another name of the same file does nothing and leaves tmp behind.
        std::error_code gone;
        std::filesystem::remove(tmp, gone);
        if (ec) {
            fail("flash write failure");
            return Action::None;
        }
        out.push_back("OKAY");
        return Action::None;
    }
    if (cmd.rfind("erase:", 0) == 0) {
        std::string part = cmd.substr(6);
        if (!known_partition(part)) {
            fail("partition does not exist");
            return Action::None;
        }
        if (!write_file_atomic(dir_ + "/" + part + ".img", "")) {
            fail("erase failure");
            return Action::None;
        }
        out.push_back("OKAY");
        return Action::None;
    }
    if (cmd == "reboot") {
        out.push_back("OKAY");
        return Action::Reboot;
    }
    if (cmd == "reboot-bootloader") {
        out.push_back("OKAY");
        return Action::RebootBootloader;
    }
    fail("unknown command");
    return Action::None;
}

bool FastbootDevice::data(const uint8_t* p, size_t n, std::vector<std::string>& out) {
    if (download_fd_ < 0 || n > remaining_) {
        abort_download();
        out.push_back("FAILdownload overrun");
        return false;
    }
    for (size_t done = 0; done < n;) {
        ssize_t w = ::write(download_fd_, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            abort_download();
            out.push_back("FAILcannot store download");
            return false;
        }
        done += static_cast<size_t>(w);
    }
    remaining_ -= n;
    if (remaining_ == 0) {
        bool ok = ::close(download_fd_) == 0;
        download_fd_ = -1;
        if (!ok) {
            downloaded_ = 0;
            out.push_back("FAILcannot store download");
            return false;
        }
        out.push_back("OKAY");
    }
    return true;
}

void FastbootDevice::abort_download() {
    if (download_fd_ >= 0) ::close(download_fd_);
    download_fd_ = -1;
    if (remaining_ != 0) downloaded_ = 0;
    remaining_ = 0;
}

} // namespace phonesim
