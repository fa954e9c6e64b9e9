// Emergency download: the flash programmer goes into the phone's memory over the boot ROM's
// DMSS protocol and is started with GO; the modem upload follows once it runs. Also the DIAG
// request that sends a phone into download mode.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/debug_out.h"
#include "engine/flashboot.h"
#include "engine/hex_convert.h"
#include "engine/phase_image.h"
#include "platform/clock.h"

using sondrel::DebugOutput;
using sondrel::DebugPrintf;

namespace {

constexpr int kResultNopFailed = -11935;
constexpr int kResultParamFailed = -11937;
constexpr int kResultProgrammerFailed = -11940;
constexpr int kResultWriteFailed = -11941;
constexpr int kResultGoFailed = -11942;

constexpr uint32_t kContainerProgrammerId = 6;
constexpr uint32_t kHexBlock = 1017; // with the 7-byte header a 32-bit write is 1024 bytes
constexpr uint32_t kPlainBlock = 1024;
constexpr uint8_t kDiagToDownload = 0x3A;

bool Stopping(const Flashboot* m) {
    return m->m_deleting.load() != 0;
}

enum class ProgrammerKind { Container, Hex, Bin, Plain };

// By the file's name only: a folder called "x.hex" must not change how its files are sent.
ProgrammerKind Classify(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    auto has = [&](const char* s) { return name.find(s) != std::string::npos; };
    if (has(".zqde") || has(".zqen")) return ProgrammerKind::Container;
    if (has(".HEX") || has(".hex")) return ProgrammerKind::Hex;
    if (has(".BIN") || has(".bin")) return ProgrammerKind::Bin;
    return ProgrammerKind::Plain;
}

void SetTimeout(Flashboot* m, uint32_t ms) {
    if (m->trans_Dig) m->trans_Dig->SetOverlapTimeout(ms);
}

} // namespace

int Flashboot::DMSS_Download_Update_Zqde_Armprg_File(int portNumber, const char* path,
                                                     unsigned long address, int selector) {
    (void)portNumber;
    (void)selector;
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    const uint32_t load = static_cast<uint32_t>(address);

    m_write32 = 0;
    std::string file = path ? path : "";
    CPhaseImage image;
    switch (Classify(file)) {
    case ProgrammerKind::Container:
        image.SelectEntry(kContainerProgrammerId);
        break;
    case ProgrammerKind::Hex:
        m_write32 = 1;
        // The bytes come from the raw file beside it, never from the HEX text.
        file = sondrel::hex::BinPathFor(file);
        break;
    case ProgrammerKind::Bin:
        DebugOutput("\n No Need of Convert HEX file To Bin file \n");
        break;
    case ProgrammerKind::Plain:
        break;
    }
    // A programmer that cannot be opened shows up when it is sized, after the phone was asked.
    image.OpenImage(file.c_str(), 1);

    SetTimeout(this, 2000);
    Pause(100);

    uint8_t probe = 0;
    bool ok = false;
    for (int i = 0; i < 10 && !ok && !(i > 0 && Stopping(this)); ++i) {
        if (i > 0) Pause(1000);
        ok = DMSS_Nop(&probe, 1) == 0;
    }
    if (!ok) {
        DebugOutput("\n  NOP  command to phone failed!\n");
        image.CloseImage();
        return kResultNopFailed;
    }
    DebugOutput("\n Check MSS_Download NOP CMD Successfully ! \n");
    Pause(10);

    ok = false;
    for (int i = 0; i < 10 && !ok && !(i > 0 && Stopping(this)); ++i) {
        if (i > 0) Pause(1000);
        ok = DMSS_Parameter_Request(&probe, 1) == 0;
    }
    if (!ok) {
        DebugOutput("\n=>Transmit get info command to phone failed!");
        image.CloseImage();
        return kResultParamFailed;
    }
    DebugOutput("\n Check MSS_Download PREQ CMD Successfully ! \n");
    Pause(10);

    SetTimeout(this, 500);

    uint32_t offset = 0, size = 0;
    // An empty programmer would be started as nothing at all: refused like an unreadable one.
    if (!image.GetImageSize(offset, size) || size == 0) {
        if (image.IsHandleValid()) image.CloseImage();
        DebugOutput("\n PST_DATA_ADAPTER_ERROR_DMSS_DOWNLOAD_READ_FILE_FAILED ! \n");
        return kResultProgrammerFailed;
    }

    uint32_t write_address = m_write32 ? load : 0;
    DebugPrintf("Armprg_File offset is %d, file size is %d", static_cast<int>(write_address),
                static_cast<int>(size));
    const uint32_t block = m_write32 ? kHexBlock : kPlainBlock;
    std::vector<uint8_t> buf(std::min(size, block));
    uint32_t left = size;
    while (left > 0) {
        const uint32_t n = std::min(left, block);
        if (!image.ReadImage(buf.data(), n)) {
            DebugOutput("\n Read File Failed \n");
            image.CloseImage();
            return kResultProgrammerFailed;
        }
        bool written = false;
        for (int attempt = 1; attempt <= 20; ++attempt) {
            const int rc = DMSS_Write(buf.data(), write_address, static_cast<uint16_t>(n));
            if (ReportGate gate(this); gate && m_pDownload) {
                const uint32_t q = static_cast<uint32_t>(uint64_t{size - left} * 100 / size);
                m_pDownload->iProgress = static_cast<int>(q * 0.3);
                m_pDownload->iPortNumber = m_portNumber;
                gate.Call(m_pDownload);
            }
            if (rc == 0) {
                written = true;
                break;
            }
            DebugPrintf("\n\n try %dtimes\n\n", 20 - attempt);
            DebugPrintf("\n\n nRsp =  %d\n\n", rc);
            if (Stopping(this)) break;
        }
        if (!written) {
            DebugOutput("\n time out of bsdk write command ");
            image.CloseImage();
            return kResultWriteFailed;
        }
        DebugOutput("\n tWrite_32Bit command Successfully ");
        write_address += n;
        left -= n;
        DebugPrintf("\n===addrOffset=>%u", write_address);
        DebugPrintf("===nbrCharLeft===>%u", left);
    }

    Pause(1000);

    if (m_write32) {
        ok = false;
        for (int i = 0; i < 30 && !ok && !(i > 0 && Stopping(this)); ++i) {
            if (i > 0) Pause(1000);
            ok = DMSS_Go(load) == 0;
        }
        if (!ok) {
            DebugOutput("\n Transmit open cmmmand to phone failed!");
            image.CloseImage();
            return kResultGoFailed;
        }
        DebugOutput("\n DMSS Download  GO CMD  Succefully  !");
    }

    // Wakes the programmer early; whether it answers yet does not matter.
    Streaming_Download_Protocol_Handle_Hello_Cmd();

    SetTimeout(this, 0);
    if (trans_Dig) trans_Dig->CleanRxBuffer();
    image.CloseImage();
    return 0;
}

int Flashboot::Emergency_Download_Kestrin(Flashboot*& module, char* pFilepath,
                                          unsigned long address, int selector) {
    ModuleHold hold(this);
    if (!hold) return 1;
    Flashboot* ref = module ? module : this;
    ModuleHold ref_hold(ref);
    if (!ref_hold) ref = this;

    DebugOutput("\n=================enter int Flashboot::Emergency_Download_Kestrin(char* "
                "pFilepath)===================");
    if (ReportGate gate(this); gate && m_pDownload) {
        m_pDownload->pStatus = "enter Emergency_Download_Kestrin";
        m_pDownload->iProgress = 0;
        m_pDownload->iPortNumber = ref->m_portNumber;
        m_pDownload->pText = "";
        m_pDownload->iProgressIndex = ref->m_pDownload ? ref->m_pDownload->iProgressIndex : 0;
        gate.Call(m_pDownload);
    }
    m_portNumber = ref->m_portNumber;

    const std::string folder = pFilepath ? pFilepath : "";
    std::string programmer;
    FindFileInTree(folder.c_str(), selector != 0 ? "NPRG7627A.hex" : "ENPRG7627A.hex", programmer);

    int rc =
        DMSS_Download_Update_Zqde_Armprg_File(m_portNumber, programmer.c_str(), address, selector);
    if (rc != 0) {
        const int err = errno;
        DebugPrintf("DMSS_Download_Update_Zqde_Armprg_File GetLastError() = %d", err);
        DebugPrintf("\nerror in %s,on line %d,System ErrorCode:%d. ", __FILE__, __LINE__, err);
        DebugOutput(" CModule::flow_DownloadZqde,DMSS_Download_Update_Armprg_File error ..");
        return 1;
    }

    m_portNumber = ref->m_portNumber;
    m_portType = ref->m_portType;
    // The programmer's start-up. A stop ends the wait; the upload then fails at once.
    DebugOutput("\n waiting for the flash programmer to start");
    Pause(8000);

    rc = flow_DownloadZqde(folder.c_str());
    if (rc != 0) {
        DebugPrintf("flow_DownloadZqde GetLastError() = %d", errno);
        DebugOutput("CModule::Emergency_Download,flow_DownloadZqde error.");
        return 1;
    }

    ProgressReport(" download 8660_msimage.mbn ok ", 60);
    return 0;
}

int Flashboot::DoResetPhone(Flashboot* module) {
    ModuleHold hold(this);
    if (!hold) return 0;
    if (module) {
        ModuleHold ref(module);
        if (ref) m_portNumber = module->m_portNumber;
    }
    DebugOutput("=================enter DoResetPhone===================");
    // The link leaves out the last byte handed over, so only 0x3A reaches the wire. A response
    // length of 0 takes the whole answer, which may be as long as the longest frame.
    const uint8_t request[2] = {kDiagToDownload, 0x00};
    std::vector<uint8_t> answer(kCommandDataSize);
    Diag_Service_RequestAndResponse(request, sizeof request, answer.data(), 0);
    return 0;
}
