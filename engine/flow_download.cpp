// The modem upload on a phone that runs the flash programmer: greeting, flash check, security
// mode, partition table, the five images, reset. Every step retries by count with fixed pauses;
// the first step that runs out of attempts ends the upload with its code.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "engine/debug_out.h"
#include "engine/flashboot.h"
#include "engine/phase_image.h"
#include "platform/clock.h"

using sondrel::DebugOutput;
using sondrel::DebugPrintf;

namespace {

constexpr int kResultHelloFailed = -11965;
constexpr int kResultResetFailed = -11964;
constexpr int kResultOpenFailed = -11966;
constexpr int kResultFileFailed = -11969; // also: the flash read failed
constexpr int kResultPacketFailed = -11970;
constexpr int kResultCloseFailed = -11971;
constexpr int kResultSecurityFailed = -11973;
constexpr int kResultNotAccepted = -11977;
constexpr int kResultReadFailed = -11816;

constexpr uint32_t kImageBlock = 1024;
constexpr uint32_t kPartitionBlock = 464;
constexpr uint32_t kHeaderMax = 1024;
constexpr uint32_t kInfoAddress = 0x20;
constexpr uint16_t kInfoSize = 52;
constexpr uint8_t kResetCommand = 0x0B;

constexpr const char* kDownloading = " downloading 8660_msimage.mbn";
constexpr const char* kHelloFailed = "Transmit hello command to phone failed!";
constexpr const char* kNotSent = " Sending 8660mbn file failed ";
constexpr const char* kSent = " Sending 8660mbn file Successfully ";

struct UploadStep {
    const char* file;
    uint8_t type;
    int attempts;
    const char* log;
    const char* status;
};

constexpr UploadStep kPartitionStep = {"partition.mbn", 33, 20, "\n 下载patition",
                                       " 下载patition "};
constexpr UploadStep kImageSteps[] = {
    {"qcsblhd_cfgdata.mbn", 2, 10, "\n 下载qcsblhd_cfgdata.mbn", " 下载qcsblhd_cfgdata.mbn "},
    {"qcsbl.mbn", 3, 10, "\n 下载qcsbl.mbn", " 下载qcsbl.mbn "},
    {"oemsbl.mbn", 4, 10, "\n 下载oemsbl.mbn", " 下载oemsbl.mbn "},
    {"amss.mbn", 5, 10, "\n 下载amss.mbn", " 下载amss.mbn"},
    {"appsboot.mbn", 10, 10, "\n 下载appsboot.mbn", " 下载appsboot.mbn"},
};

// Feeds only a log line; shared by every module.
std::atomic<int> g_matches{0};

// A module being deleted has no port left: its retries stop instead of running out the clock.
bool Stopping(const Flashboot* m) {
    return m->m_deleting.load() != 0;
}

void SetTimeout(Flashboot* m, uint32_t ms) {
    if (m->trans_Dig) m->trans_Dig->SetOverlapTimeout(ms);
}

// Position of a data packet, taken before its bytes count as sent: 18 at the first packet,
// towards 78 at the last. 64-bit so that images above 42 MB do not wrap.
int PacketPosition(uint32_t total, uint32_t left) {
    const uint64_t q = (uint64_t{total} - left) * 100 / total;
    return static_cast<int>((static_cast<double>(q) + 30) * 0.6);
}

std::string Join(const std::string& folder, const char* name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// The header that announces an image, from the image's own folder; empty when none applies.
std::string HeaderPathFor(const std::string& image) {
    const char* header = nullptr;
    if (image.find("oemsbl") != std::string::npos) header = "oemsblhd.mbn";
    if (image.find("amss") != std::string::npos) header = "amsshd.mbn";
    if (image.find("appsboot") != std::string::npos) header = "appsboothd.mbn";
    if (!header) return {};
    const size_t slash = image.rfind('/');
    return (slash == std::string::npos ? std::string() : image.substr(0, slash + 1)) + header;
}

// Depth first, in the order the directory lists its entries. A name equal to the one sought
// beats one that only contains it; otherwise the last match met wins.
void Walk(const std::string& folder, const char* name, std::string& result, bool& exact) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        const std::string full = Join(folder, e->d_name);
        const bool is_exact = std::strcmp(e->d_name, name) == 0;
        if (full.find(name) != std::string::npos && (is_exact || !exact)) {
            result = full;
            exact = exact || is_exact;
            DebugPrintf("\r\n=============================%s %d", full.c_str(), ++g_matches);
        }
        // Never through a link: a link to a folder above would walk for ever. The entry's type
        // comes with the listing on most file systems; lstat only where it does not.
        bool folder = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            folder = ::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (folder && std::strcmp(e->d_name, "android") != 0) Walk(full, name, result, exact);
    }
    ::closedir(d);
}

// Sends one file in blocks, each block retried up to 20 times (status and progress after every
// try). `send` is the request for one block at a byte offset.
template <class Send>
int SendBlocks(Flashboot* m, CPhaseImage& image, uint32_t total, uint32_t block, Send send) {
    std::vector<uint8_t> buf(std::min(total, block));
    uint32_t address = 0;
    uint32_t left = total;
    while (left > 0) {
        const uint32_t n = std::min(left, block);
        if (!image.ReadImage(buf.data(), n)) {
            DebugOutput("\n phase.read fail");
            image.CloseImage();
            return kResultReadFailed;
        }
        bool sent = false;
        for (int attempt = 1; attempt <= 20 && !sent; ++attempt) {
            const int rc = send(buf.data(), address, static_cast<uint16_t>(n));
            m->ProgressReport(kDownloading, PacketPosition(total, left));
            if (rc == 0) {
                sent = true;
                break;
            }
            DebugPrintf("\n\n try %dtimes\n\n", 20 - attempt);
            DebugPrintf("\n\n nRsp =  %d\n\n", rc);
            DebugPrintf("DMSS_Download_Update_Zqde_Armprg_File GetLastError() = %d", errno);
            if (Stopping(m)) break;
        }
        if (!sent) {
            DebugOutput(" Fail of Write CMD STREAM DOWNLOAD PROTOCOL ");
            image.CloseImage();
            return kResultPacketFailed;
        }
        address += n;
        left -= n;
        DebugPrintf("\n Writing address  0x%X  size 0x%X Bytes Written  0x%X Bytes Total 0x%X",
                    address, n, total - left, total);
    }
    return 0;
}

// Opens the file on `image` for a sender; -11969 when it cannot be opened or sized.
int OpenForSending(Flashboot* m, CPhaseImage& image, const char* path, uint32_t& size) {
    image.OpenImage(path, 1);
    SetTimeout(m, 5000);
    uint32_t offset = 0;
    if (!image.GetImageSize(offset, size)) {
        if (image.IsHandleValid()) image.CloseImage();
        return kResultFileFailed;
    }
    DebugPrintf("\n\n Start download %u   bytes\n\n", size);
    return 0;
}

// Runs `attempt` up to `tries` times, `pause_ms` apart, until it returns 0.
template <class Attempt> bool Retry(Flashboot* m, int tries, int pause_ms, Attempt attempt) {
    for (int i = 0; i < tries; ++i) {
        if (i > 0 && (Stopping(m) || !m->Pause(pause_ms))) return false;
        if (attempt() == 0) return true;
    }
    return false;
}

} // namespace

void Flashboot::FindFileInTree(const char* folder, const char* name, std::string& resultPath) {
    if (!folder || !name || !*name) return;
    bool exact = false;
    Walk(folder, name, resultPath, exact);
}

int Flashboot::SendMultiImage(const char* path, uint8_t imageType) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    DebugPrintf("\n  Sending MI Open mode %d Size  %d", imageType, 0);
    const std::string image_path = path ? path : "";
    const std::string header_path = HeaderPathFor(image_path);

    CPhaseImage image;
    uint8_t payload[kHeaderMax];
    uint32_t payload_len = 0;
    if (!header_path.empty()) {
        image.OpenImage(header_path.c_str(), 1);
        uint32_t offset = 0, size = 0;
        if (!image.GetImageSize(offset, size)) {
            if (image.IsHandleValid()) image.CloseImage();
            return kResultFileFailed;
        }
        DebugPrintf("\n\n Start download %u   bytes\n\n", size);
        payload_len = std::min(size, kHeaderMax);
        if (!image.ReadImage(payload, payload_len)) {
            DebugOutput("\n phase.read fail");
            image.CloseImage();
            return kResultReadFailed;
        }
    }

    const bool opened = Retry(this, 30, 100, [&] {
        return Streaming_Download_Protocol_Open_Multi_Image(
            payload_len ? payload : nullptr, static_cast<uint16_t>(payload_len), imageType);
    });
    if (!opened) {
        DebugOutput("\n=>TClose command to phone failed!");
        image.CloseImage();
        return kResultOpenFailed;
    }
    DebugOutput("\n Check Stream Open Multi Image CMD Successfully ! \n");
    image.CloseImage();

    uint32_t total = 0;
    int rc = OpenForSending(this, image, image_path.c_str(), total);
    if (rc != 0) return rc;
    rc = SendBlocks(this, image, total, kImageBlock,
                    [&](const uint8_t* data, uint32_t address, uint16_t n) {
                        return Streaming_Download_Protocol_Stream_Write(data, address, n);
                    });
    if (rc != 0) return rc;
    image.CloseImage();

    if (!Retry(this, 3, 1000, [&] { return Streaming_Download_Protocol_Close(); })) {
        DebugOutput("\n=>Close command to phone failed!");
        return kResultCloseFailed;
    }
    DebugOutput("\n Check Stream Close CMD Successfully ! \n");
    return 0;
}

int Flashboot::SendPartitionTable(const char* path, uint8_t imageType) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    DebugPrintf("\n  Sending MI Open mode %d Size  %d", imageType, 0);
    CPhaseImage image;
    uint32_t total = 0;
    int rc = OpenForSending(this, image, path ? path : "", total);
    if (rc != 0) return rc;
    rc = SendBlocks(this, image, total, kPartitionBlock,
                    [&](const uint8_t* data, uint32_t, uint16_t n) {
                        const int r = Streaming_Download_Protocol_Partition_Table(data, n, 0);
                        Pause(1);
                        return r;
                    });
    if (rc != 0) return rc;
    image.CloseImage();
    return 0;
}

int Flashboot::flow_DownloadZqde(const char* strFilePath) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    const std::string folder = strFilePath ? strFilePath : "";
    DebugOutput("\n=================enter int Flashboot::flow_DownloadZqde(CStringA "
                "strFilePath)===================");
    ProgressReport("enter flow_DownloadZqde");

    SetTimeout(this, 3000);
    Pause(100);
    ProgressReport("enter Streaming_Download_Protocol_Handle_Hello_Cmd");

    // Two series: the first greets with the module's hello variant as it stands, the second
    // offers the newer versions on every try.
    for (int series = 0; series < 2; ++series) {
        const bool second = series == 1;
        const bool greeted = Retry(this, 120, 1000, [&] {
            if (second) m_helloVariant = 0;
            const int rc = Streaming_Download_Protocol_Handle_Hello_Cmd();
            if (second && rc != 0) m_helloVariant = 1;
            return rc;
        });
        if (!greeted) {
            DebugOutput("\n Transmit hello command to phone failed!");
            ProgressReport(kHelloFailed);
            return kResultHelloFailed;
        }
        DebugOutput("\n Check Stream Hello CMD Successfully ! \n");
        ProgressReport("Check Stream Hello CMD Successfully !!");
    }

    Pause(10);
    ProgressReport("Get flash information from phone side !!");
    bool closed = false;
    for (int i = 0; i < 30 && !closed && !(i > 0 && Stopping(this)); ++i) {
        Pause(100);
        closed = Streaming_Download_Protocol_Close() == 0;
    }
    if (!closed) {
        DebugOutput("\n=>TClose command to phone failed!");
        ProgressReport("TClose command to phone failed !!");
        return kResultCloseFailed;
    }
    DebugOutput("\n Check Stream Close CMD Successfully ! \n");
    ProgressReport("Check Stream Close CMD Successfully !");

    Pause(10);
    ProgressReport("Reading Informational Boot Block to check if the Flash Works", 0);
    std::vector<uint8_t> info(kStreamingReplyMax);
    bool read = false;
    for (int i = 0; i < 30 && !read && !(i > 0 && Stopping(this)); ++i) {
        read = Streaming_Download_Protocol_Read(info.data(), kInfoAddress, kInfoSize) == 0;
        Pause(1000);
    }
    if (!read) {
        DebugOutput("\n=>Reading Informational Boot Block Failed!");
        ProgressReport("Reading Informational Boot Block Failed!", 0);
        return kResultFileFailed;
    }
    DebugOutput("\n=>Reading Informational Boot Block Successfully !");
    ProgressReport("Reading Informational Boot Block Successfully!", 0);

    ProgressReport("Sending Security Mode!");
    bool secure = false;
    for (int i = 0; i < 30 && !secure && !(i > 0 && Stopping(this)); ++i) {
        secure = Streaming_Download_Protocol_Security_Mode(1) == 0;
        Pause(1000);
    }
    if (!secure) {
        DebugOutput("\n=>Sending Security Mode Failed!");
        ProgressReport("Sending Security Mode Failed!");
        return kResultSecurityFailed;
    }
    DebugOutput("\n=>Sending Security Mode Successfully !");
    ProgressReport("Sending Security Mode Successfully !");

    // The partition table first, then the images in their fixed order.
    auto upload = [&](const UploadStep& step, bool table) {
        DebugOutput(step.log);
        ProgressReport(step.status);
        std::string path;
        FindFileInTree(folder.c_str(), step.file, path);
        const bool ok = Retry(this, step.attempts, 1000, [&] {
            return table ? SendPartitionTable(path.c_str(), step.type)
                         : SendMultiImage(path.c_str(), step.type);
        });
        if (!ok) {
            DebugOutput("\n=>Invalid Command !");
            DebugOutput("\n=>Could not Sending 8660mbn file !");
            ProgressReport(kNotSent);
            return false;
        }
        DebugOutput("\n=>Sending 8660mbn file Successfully !");
        ProgressReport(kSent);
        return true;
    };
    if (!upload(kPartitionStep, true)) return kResultNotAccepted;
    for (const UploadStep& step : kImageSteps)
        if (!upload(step, false)) return kResultNotAccepted;

    const bool reset =
        Retry(this, 30, 1000, [&] { return Streaming_Download_Protocol_Reset(kResetCommand); });
    Pause(2000);
    if (!reset) {
        DebugOutput("\n Transmit open cmmmand to phone failed!");
        ProgressReport(" Streaming_Download_Protocol_Handle_Reset_Cmd failed! ", 85);
        return kResultResetFailed;
    }
    DebugOutput("\n Check Stream Reset CMD Successfully ! \n");
    ProgressReport(" Streaming_Download_Protocol_Handle_Reset_Cmd Successfully! ", 90);

    SetTimeout(this, 0);
    if (trans_Dig) trans_Dig->CleanRxBuffer();
    return 0;
}
