// The DIAG service members of Flashboot: the exchange routine, the IMEI read and the QCN
// backup and restore, over the module's link.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "diag/flashboot_qcn.h"
#include "diag/imei.h"
#include "diag/nv.h"
#include "diag/qcn_file.h"
#include "engine/debug_out.h"
#include "engine/emmc_download.h"
#include "engine/flashboot.h"
#include "platform/clock.h"

namespace {

constexpr int kAnswerTooLong = -11301;
constexpr uint32_t kDiagReadTimeoutMs = 60000;
constexpr int kDiagPauseMaxMs = 60000;

std::atomic<int> g_defaultDiagPauseMs{0};

int ClampPause(int ms) {
    return ms < 0 ? 0 : ms > kDiagPauseMaxMs ? kDiagPauseMaxMs : ms;
}

// What the QCN flows need, served by a module and the module that asked for the work.
class ModuleChannel : public diag::DiagChannel {
  public:
    // The caller's slot row is read once, here: the station may free the caller's status
    // record once the caller is deleted, while this request winds down.
    ModuleChannel(Flashboot* module, Flashboot* caller)
        : m_(module), caller_(caller ? caller : module), row_(ReadRow(caller_)) {}

    // The flows know their requests: an answer that belongs to another one is no answer.
    int Exchange(const uint8_t* req, uint16_t len, uint8_t* ans, uint16_t size) override {
        uint16_t got = 0;
        if (m_->Diag_Service_RequestAndResponse(req, len, ans, size, &got,
                                                diag::AnswersAnotherRequest) == -1)
            return -1;
        return got < size ? got : size;
    }
    int Row() override { return row_; }
    int Port() override { return caller_->m_portNumber; }
    void Report(int position, const char* status, int port) override {
        ReportGate gate(m_);
        Download* d = m_->m_pDownload;
        if (!gate || !d) return;
        d->iProgress = position;
        d->iProgressIndex = row_;
        if (status) d->pStatus = status;
        if (port != diag::kKeepPort) {
            d->iPortNumber = port;
            d->pText = "";
        }
        gate.Call(d);
    }
    bool Pause(int nominal_ms) override { return m_->Pause(nominal_ms); }
    void MessageBox(const std::string& text) override {
        emmc::ShowMessageBox(text.c_str(), "Tarnwell");
    }
    void Debug(const std::string& line) override { sondrel::DebugOutput(line.c_str()); }

  private:
    static int ReadRow(Flashboot* caller) {
        ReportGate gate(caller);
        return gate && caller->m_pDownload ? caller->m_pDownload->iProgressIndex : 0;
    }

    Flashboot* m_;
    Flashboot* caller_;
    int row_;
};

} // namespace

void Flashboot::SetDiagPauseMs(int ms) {
    m_diagPauseMs.store(ClampPause(ms));
}

void Flashboot::SetDefaultDiagPauseMs(int ms) {
    g_defaultDiagPauseMs.store(ClampPause(ms));
}

int Flashboot::DefaultDiagPauseMs() {
    return g_defaultDiagPauseMs.load();
}

int Flashboot::Diag_Service_RequestAndResponse(const uint8_t* request, uint16_t requestLength,
                                               uint8_t* response, uint16_t responseLength,
                                               uint16_t* receivedLength, DiagOtherAnswer other) {
    ModuleHold hold(this);
    // A module being deleted has no port left to talk through: no answer.
    if (!hold || m_deleting.load() || !trans_Dig || !request || !response) {
        sondrel::DebugOutput("\n: nLength < = 0");
        return -1;
    }
    // An answer left over from an earlier request must never be taken for this one: what is
    // queued goes now, and a frame under way is cut off (its rest fails its FCS).
    trans_Dig->CleanRxBuffer();
    trans_Dig->WriteNo7e(request, requestLength);
    // A stop during the pause leaves no answer to wait for.
    const int pause = m_diagPauseMs.load();
    int n = 0;
    if (pause <= 0 || Pause(pause)) {
        // The whole wait keeps the floor every receive time-out keeps, so a small time scale
        // cannot end it between two frames that have already arrived.
        const auto deadline = tw::clock::deadline_after_ms(kDiagReadTimeoutMs);
        const uint64_t start = tw::clock::tick_ms();
        for (;;) {
            if (tw::clock::Steady::now() >= deadline) {
                n = 0;
                break;
            }
            const uint64_t spent =
                std::min<uint64_t>(tw::clock::tick_ms() - start, kDiagReadTimeoutMs - 1);
            n = trans_Dig->Read(response, responseLength,
                                static_cast<uint32_t>(kDiagReadTimeoutMs - spent));
            if (n <= 0 || !other) break;
            const int seen = responseLength == 0 ? n : std::min<int>(n, responseLength);
            if (!other(request, requestLength, response, seen)) break;
            sondrel::DebugOutput("\n: an answer to another request dropped");
        }
    }
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
