// The DIAG service members of Flashboot: the exchange routine, the IMEI read and the QCN
// backup and restore, over the module's link.
#include <cstring>
#include <string>

#include "diag/flashboot_qcn.h"
#include "diag/imei.h"
#include "diag/qcn_file.h"
#include "engine/debug_out.h"
#include "engine/emmc_download.h"
#include "engine/flashboot.h"
#include "platform/clock.h"

namespace {

constexpr int kDiagPauseMs = 40; // between a request and the read of its answer
constexpr int kAnswerTooLong = -11301;

// What the QCN flows need, served by a module and the module that asked for the work.
class ModuleChannel : public diag::DiagChannel {
  public:
    ModuleChannel(Flashboot* module, Flashboot* caller)
        : m_(module), caller_(caller ? caller : module) {}

    int Exchange(const uint8_t* req, uint16_t len, uint8_t* ans, uint16_t size) override {
        uint16_t got = 0;
        if (m_->Diag_Service_RequestAndResponse(req, len, ans, size, &got) == -1) return -1;
        return got < size ? got : size;
    }
    int Row() override { return caller_->m_pDownload ? caller_->m_pDownload->iProgressIndex : 0; }
    int Port() override { return caller_->m_portNumber; }
    void Report(int position, const char* status, int port) override {
        Download* d = m_->m_pDownload;
        if (!d) return;
        d->iProgress = position;
        d->iProgressIndex = Row();
        if (status) d->pStatus = status;
        if (port != diag::kKeepPort) {
            d->iPortNumber = port;
            d->pText = "";
        }
        if (m_->m_callbackfunc) m_->m_callbackfunc(d);
    }
    void MessageBox(const std::string& text) override {
        emmc::ShowMessageBox(text.c_str(), "Tarnwell");
    }
    void Debug(const std::string& line) override { sondrel::DebugOutput(line.c_str()); }

  private:
    Flashboot* m_;
    Flashboot* caller_;
};

} // namespace

int Flashboot::Diag_Service_RequestAndResponse(const uint8_t* request, uint16_t requestLength,
                                               uint8_t* response, uint16_t responseLength,
                                               uint16_t* receivedLength) {
    ModuleHold hold(this);
    // A module being deleted has no port left to talk through: no answer.
    if (!hold || m_deleting.load() || !trans_Dig || !request || !response) {
        sondrel::DebugOutput("\n: nLength < = 0");
        return -1;
    }
    // An answer left over from an earlier request must never be taken for this one.
    trans_Dig->CleanRxBuffer();
    trans_Dig->WriteNo7e(request, requestLength);
    tw::clock::sleep_ms(kDiagPauseMs);
    int n = trans_Dig->Read(response, responseLength);
    if (n <= 0) {
        sondrel::DebugOutput("\n: nLength < = 0");
        return -1;
    }
    int result = 0;
    if (n > responseLength) {
        sondrel::DebugOutput("\n: nLength > nRspLen");
        result = kAnswerTooLong;
    }
    if (receivedLength) *receivedLength = static_cast<uint16_t>(n);
    return result;
}

int Flashboot::GetIMEI(char** ppImei) {
    ModuleHold hold(this);
    char imei[diag::kImeiLength + 1] = {};
    int r = diag::kImeiNoAnswer;
    if (hold) {
        ModuleChannel ch(this, this);
        r = diag::ReadImei(ch, imei);
    }
    if (ppImei && *ppImei) std::memcpy(*ppImei, imei, sizeof imei);
    return r;
}

int diag::BackUpQcn(Flashboot* module, Flashboot* caller, const char* qcn_folder,
                    const char* list_folder, BackupOutcome* out) {
    ModuleHold hold(module);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    ModuleHold caller_hold(caller);
    if (caller && !caller_hold) caller = module;
    ModuleChannel ch(module, caller);
    return RunBackup(ch, qcn_folder ? qcn_folder : "", list_folder ? list_folder : "", out);
}

int diag::DownloadQcn(Flashboot* module, Flashboot* caller, const char* folder,
                      RestoreOutcome* out) {
    ModuleHold hold(module);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    ModuleHold caller_hold(caller);
    if (caller && !caller_hold) caller = module;
    ModuleChannel ch(module, caller);
    // The flag byte in front of qcnpath says whether a QCN file was selected.
    bool use_path = module->m_reserved0 != 0;
    std::string path(module->qcnpath, strnlen(module->qcnpath, sizeof module->qcnpath));
    return RunRestore(ch, use_path, path, folder ? folder : "", out);
}

int Flashboot::DoBackUpQCN(Flashboot* caller, const char* qcnFolder, const char* listFolder) {
    return diag::BackUpQcn(this, caller, qcnFolder, listFolder, nullptr);
}

int Flashboot::DoDownloadQCN(Flashboot* caller, const char* folder) {
    return diag::DownloadQcn(this, caller, folder, nullptr);
}

int Flashboot::ConvertQcnTextToHex(FILE* text, FILE* hex) {
    return diag::ConvertQcnText(text, hex, nullptr, diag::MessageStream(), nullptr);
}
