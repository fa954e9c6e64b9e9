#include "station/bridge.h"

#include <cstring>
#include <vector>

#include "diag/flashboot_qcn.h"
#include "diag/imei.h"
#include "platform/disk.h"
#include "station/debug_line.h"

namespace tw::station {

const char kFailStatus[] = "-fail";
const char kPassStatus[] = "+pass";

namespace {
constexpr int64_t kCreatePauseMs = 2000;
constexpr int kResultFileOpen = 3;
constexpr int kResultRuim = 11;
} // namespace

ModuleBridge::ModuleBridge(BridgeHost& host) : host_(host) {
    for (auto& p : freeComPoint_)
        p.store(nullptr);
}

ModuleBridge::~ModuleBridge() {
    for (int i = 0; i < kSlots; ++i)
        DeleteLive(i);
}

int ModuleBridge::CallbackFunction(Download* d) {
    if (!d) return 0;
    auto* sd = static_cast<SlotDownload*>(d);
    if (!sd->host) return 0;
    const int row = d->iProgressIndex;
    if (row < 0 || row >= kSlots) return 0;
    BridgeHost::Report kind = BridgeHost::Report::Progress;
    if (d->pStatus == kFailStatus)
        kind = BridgeHost::Report::Fail;
    else if (d->pStatus == kPassStatus)
        kind = BridgeHost::Report::Pass;
    sd->host->OnReport(row, d->iProgress, kind, sd->generation);
    return 0;
}

Flashboot* ModuleBridge::CreateModule(Subclass& req) {
    if (!host_.RowSleep(req.m_rowindex, kCreatePauseMs)) return nullptr;
    Flashboot* m = nullptr;
    ::CreateModule(req.port, req.portType, &m);
    if (!m) {
        DebugLine("CSubDlg::CreateModule, Create module error");
        return nullptr;
    }
    m->m_portNumber = req.port;
    m->m_portType = req.portType;
    m->SetDiagPauseMs(host_.DiagPauseMs());
    m->m_callbackfunc = &ModuleBridge::CallbackFunction;
    m->m_stationRow = req.m_rowindex;
    req.m_pVModuleInsub = m;
    return m;
}

void ModuleBridge::Release(int row, Flashboot* m) {
    Flashboot* expected = m;
    // Whoever takes the entry deletes the module: this request, or a stop that came first.
    if (freeComPoint_[row].compare_exchange_strong(expected, nullptr)) DeleteModule(m);
}

void ModuleBridge::DeleteLive(int row) {
    if (row < 0 || row >= kSlots) return;
    if (Flashboot* m = freeComPoint_[row].exchange(nullptr)) DeleteModule(m);
}

Flashboot* ModuleBridge::Live(int row) const {
    return freeComPoint_[row].load();
}

void ModuleBridge::Fail(Subclass& req, SlotDownload& d, int code, bool reset) {
    d.iProgress = 100;
    d.iPortNumber = req.port;
    d.pText = "";
    d.pStatus = kFailStatus;
    d.iProgressIndex = req.m_rowindex;
    CallbackFunction(&d);
    if (code == kResultFileOpen)
        host_.RowBox(req.m_rowindex, Text::FileOpenError, kCaption);
    else if (code == kResultRuim)
        host_.RowBox(req.m_rowindex, Text::RuimCard, kCaption);
    else if (reset)
        host_.RowBox(req.m_rowindex, Text::DownloadFailedTryAgain, kCaption);
}

bool ModuleBridge::Run(Subclass& req, Op op, uint32_t start, int choice, std::string* imei) {
    const int row = req.m_rowindex;
    if (row < 0 || row >= kSlots) return false;
    SlotDownload d;
    d.host = &host_;
    d.generation = host_.RowGeneration(row);
    d.iProgressIndex = row;
    d.iPortNumber = req.port;
    d.pText = "";
    req.m_psubDownloadStruct = &d;
    Flashboot* m = CreateModule(req);
    if (!m) {
        req.m_psubDownloadStruct = nullptr;
        if (host_.RowStopping(row)) return false;
        if (op == Op::Imei) return false;
        host_.RowBox(row, Text::ModuleCreationError, kCaption);
        if (op == Op::Backup || op == Op::Restore) {
            DebugLine("\n==========Module creation error. Please check whether the phone is "
                      "connected or something is going on======");
            d.pStatus = kFailStatus;
            CallbackFunction(&d);
        }
        return false;
    }
    // Our own hold: a stop may delete the module from another thread at any moment, and the
    // module must stay valid until this request has let go of it.
    ModuleHold hold(m);
    freeComPoint_[row].store(m);
    // A stop that cleared the entry before the store would miss this module: look again.
    if (host_.RowStopping(row)) {
        Release(row, m);
        req.m_psubDownloadStruct = nullptr;
        return false;
    }
    m->m_pDownload = &d;
    int rc = 0;
    switch (op) {
    case Op::Emergency: {
        std::vector<char> folder(req.m_pathName.begin(), req.m_pathName.end());
        folder.push_back('\0');
        rc = m->Emergency_Download_Kestrin(m, folder.data(), start, choice);
        break;
    }
    case Op::Backup:
        rc = diag::BackUpQcn(m, m, req.qcnFolder.c_str(), req.listFolder.c_str(), &req.backup);
        break;
    case Op::Restore:
        m->m_reserved0 = req.qcnPathFlag ? 1 : 0;
        std::memset(m->qcnpath, 0, sizeof m->qcnpath);
        if (req.qcnPathFlag) std::strncpy(m->qcnpath, req.qcnPath.c_str(), sizeof m->qcnpath - 1);
        rc = diag::DownloadQcn(m, m, req.qcnFolder.c_str(), &req.restore);
        break;
    case Op::Imei: {
        char buf[diag::kImeiLength + 1] = {};
        char* p = buf;
        rc = m->GetIMEI(&p) == diag::kImeiRead ? 0 : 1;
        if (imei && rc == 0) *imei = buf;
        break;
    }
    case Op::Reset:
        rc = m->DoResetPhone(m);
        DebugLine("\n=================before DeleteModule===================");
        break;
    }
    req.result = rc;
    const bool stopped = host_.RowStopping(row);
    if (rc == 0) {
        if (op == Op::Restore && !stopped) {
            d.iProgress = 100;
            d.pStatus = kPassStatus;
            d.iProgressIndex = row;
            CallbackFunction(&d);
        }
    } else if (!stopped && op != Op::Imei) {
        Fail(req, d, rc, op == Op::Reset);
    }
    // The record must outlive every callback: the module goes before the record does.
    m->m_pDownload = nullptr;
    Release(row, m);
    req.m_psubDownloadStruct = nullptr;
    req.m_pVModuleInsub = nullptr;
    return rc == 0 && !stopped;
}

bool ModuleBridge::doStart(Subclass& req, uint32_t start, int choice) {
    return Run(req, Op::Emergency, start, choice);
}
bool ModuleBridge::doStartBackUpQCN(Subclass& req) {
    return Run(req, Op::Backup, 0, 0);
}
bool ModuleBridge::doStartQCN(Subclass& req) {
    return Run(req, Op::Restore, 0, 0);
}
bool ModuleBridge::doResetPhone(Subclass& req) {
    return Run(req, Op::Reset, 0, 0);
}

bool ModuleBridge::doReadImei(Subclass& req, std::string& imei) {
    return Run(req, Op::Imei, 0, 0, &imei);
}

namespace {

bool PlanFits(const std::string& disk, const std::string& folder, const XMLDATA* xml,
              std::string& why) {
    if (!xml) return true; // the engine's own plan reading reports what is missing
    tw::Disk probe;
    if (const int e = probe.open(disk); e != 0) {
        why = "eMMC: the disk " + disk + " cannot be opened: " + std::strerror(e);
        return false;
    }
    if (emmc::CheckPlan(folder.c_str(), *xml, probe.size(), why)) return true;
    why = "eMMC: " + disk + ": " + why + "; nothing written";
    return false;
}

} // namespace

bool ModuleBridge::doEmmc(Subclass& req, const std::string& disk, XMLDATA* xml) {
    const int row = req.m_rowindex;
    if (row < 0 || row >= kSlots) return false;
    Flashboot* m = CreateModuleForDiskDownload();
    if (!m) return false;
    SlotDownload d;
    d.host = &host_;
    d.generation = host_.RowGeneration(row);
    d.iProgressIndex = row;
    d.iPortNumber = -1;
    d.pText = "";
    ModuleHold hold(m);
    m->m_callbackfunc = &ModuleBridge::CallbackFunction;
    m->m_pDownload = &d;
    freeComPoint_[row].store(m);
    int rc = -1;
    if (!host_.RowStopping(row)) {
        // The whole plan against this disk first: one that cannot be carried out whole fails
        // with its reason before a sector is written.
        std::string why;
        if (PlanFits(disk, req.m_pathName, xml, why))
            rc = m->EmmcDownloadMBNS(m, disk.c_str(), req.m_pathName.c_str(), xml);
        else
            emmc::ShowMessageBox(why.c_str(), "Tarnwell");
    }
    req.result = rc;
    const bool stopped = host_.RowStopping(row);
    if (rc != 0 && !stopped) {
        d.iProgress = 100;
        d.iPortNumber = -1;
        d.pText = disk.c_str();
        d.pStatus = kFailStatus;
        d.iProgressIndex = row;
        CallbackFunction(&d);
    }
    m->m_pDownload = nullptr;
    Flashboot* expected = m;
    if (freeComPoint_[row].compare_exchange_strong(expected, nullptr))
        deleteModuleForDiskDownload(m);
    return rc == 0 && !stopped;
}

} // namespace tw::station
