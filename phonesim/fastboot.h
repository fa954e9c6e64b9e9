#pragma once
// Fastboot mode's commands, apart from the transport: getvar, download, flash, erase, reboot and
// reboot-bootloader. Downloads are kept in a file, so a large image costs no memory; a flash
// links that file in as the partition (a new download goes to a new file), so writing a
// partition costs no copy.
#include <cstdint>
#include <string>
#include <vector>

namespace phonesim {

constexpr uint64_t kFastbootMaxDownload = 0x10000000;
constexpr size_t kFastbootMaxResponse = 256;
constexpr size_t kFastbootMaxCommand = 4096;
constexpr const char* kFastbootProduct = "SIM7627A";
constexpr const char* kFastbootVersion = "0.5";

class FastbootDevice {
  public:
    enum class Action { None, Reboot, RebootBootloader };

    // Partitions are stored as "<dir>/<partition>.img"; the download in "<dir>/.download".
    FastbootDevice(std::string dir, std::string serial);
    ~FastbootDevice();
    FastbootDevice(const FastbootDevice&) = delete;
    FastbootDevice& operator=(const FastbootDevice&) = delete;

    static bool is_write(const std::string& cmd) { return cmd.rfind("flash:", 0) == 0; }
    static bool known_partition(const std::string& name);

    // Handles one command; each response packet (at most 256 bytes) is appended to out.
    Action command(const std::string& cmd, std::vector<std::string>& out, bool fail_write = false);

    // Bytes of the download still to come; 0 when no download is under way.
    uint64_t data_remaining() const { return remaining_; }
    // Takes download bytes (n <= data_remaining()); after the last one "OKAY" goes to out.
    // False when the bytes cannot be stored (FAIL goes to out, the download is dropped).
    bool data(const uint8_t* p, size_t n, std::vector<std::string>& out);
    // The connection went away in the middle of a download.
    void abort_download();

  private:
    static std::string cut(std::string s);

    std::string dir_;
    std::string serial_;
    int download_fd_ = -1;
    uint64_t remaining_ = 0;
    uint64_t downloaded_ = 0; // size of the complete download on hand, 0 when none
};

} // namespace phonesim
