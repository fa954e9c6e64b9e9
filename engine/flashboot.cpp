#include "engine/flashboot.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "engine/debug_out.h"
#include "platform/clock.h"

using sondrel::DebugOutput;

namespace {

// Every live module, and the lock that guards the registry, the reference counts and the
// decision to free. Holding the lock while deciding means no hold can be taken on a module
// that is about to be freed.
std::mutex& registry_lock() {
    static std::mutex m;
    return m;
}

std::unordered_set<const Flashboot*>& registry() {
    static std::unordered_set<const Flashboot*> s;
    return s;
}

} // namespace

// ---- Construction and lifetime ----

Flashboot::Flashboot() : m_pDownload(&m_ownDownload), m_diagPauseMs(DefaultDiagPauseMs()) {
    std::memset(qcnpath, 0, sizeof qcnpath);
    std::memset(&m_packet, 0, sizeof m_packet);
    m_tickStamp = tw::clock::tick_ms();
    std::lock_guard<std::mutex> g(registry_lock());
    registry().insert(this);
}

Flashboot::~Flashboot() {
    {
        std::lock_guard<std::mutex> g(registry_lock());
        registry().erase(this);
    }
    delete trans_Dig;
    trans_Dig = nullptr;
}

Flashboot* Flashboot::NewOwnedModule() {
    auto* m = new (std::nothrow) Flashboot();
    if (!m) return nullptr;
    std::lock_guard<std::mutex> g(registry_lock());
    m->m_heapOwned = true;
    m->m_refs = 1;
    return m;
}

void Flashboot::Destroy(Flashboot* m) {
    // Closes the port first, as a release does, then frees the module.
    if (m->trans_Dig) {
        delete m->trans_Dig;
        m->trans_Dig = nullptr;
    }
    delete m;
}

bool Flashboot::ReleaseOwnedModule(Flashboot* m) {
    if (!m) return false;
    {
        std::lock_guard<std::mutex> g(registry_lock());
        if (!registry().count(m) || !m->m_heapOwned || m->m_deleting.load() != 0) return false;
        m->m_deleting.store(1);
        // Kept alive while it is stopped, whatever the requests do meanwhile.
        ++m->m_refs;
    }
    m->Stop();
    bool destroy = false;
    {
        std::lock_guard<std::mutex> g(registry_lock());
        m->m_refs -= 2; // the creator's reference and the one taken above
        if (m->m_refs == 0) {
            registry().erase(m);
            destroy = true;
        }
    }
    if (destroy) Destroy(m);
    return true;
}

void Flashboot::Stop() {
    m_cancel.cancel();
    // The port is released here, not when the last request lets go: the next module on it
    // opens at once.
    if (trans_Dig) trans_Dig->Close();
    std::unique_lock<std::mutex> g(m_reportLock);
    m_reportsClosed = true;
    // A report under way on another thread ends before the station may free its record. One
    // on this thread (DeleteModule called from the callback) is not waited for.
    const auto self = std::this_thread::get_id();
    m_reportEnded.wait(g, [&] {
        for (const auto& id : m_reporting)
            if (id != self) return false;
        return true;
    });
}

bool Flashboot::EnterReport() {
    std::lock_guard<std::mutex> g(m_reportLock);
    if (m_reportsClosed) return false;
    m_reporting.push_back(std::this_thread::get_id());
    return true;
}

void Flashboot::LeaveReport() {
    {
        std::lock_guard<std::mutex> g(m_reportLock);
        const auto self = std::this_thread::get_id();
        for (auto it = m_reporting.begin(); it != m_reporting.end(); ++it) {
            if (*it == self) {
                m_reporting.erase(it);
                break;
            }
        }
    }
    m_reportEnded.notify_all();
}

bool Flashboot::Pause(int64_t nominal_ms) {
    return m_cancel.sleep_ms(nominal_ms);
}

ReportGate::ReportGate(Flashboot* module) : m_hold(module), m_module(module) {
    m_open = m_hold && module->EnterReport();
}

ReportGate::~ReportGate() {
    if (m_open) m_module->LeaveReport();
}

void ReportGate::Call(Download* record) {
    if (m_open && record && m_module->m_callbackfunc) m_module->m_callbackfunc(record);
}

ModuleHold::ModuleHold(Flashboot* module) {
    if (!module) return;
    std::lock_guard<std::mutex> g(registry_lock());
    if (!registry().count(module)) return;
    ++module->m_refs;
    m_module = module;
}

ModuleHold::~ModuleHold() {
    if (!m_module) return;
    bool destroy = false;
    {
        std::lock_guard<std::mutex> g(registry_lock());
        if (--m_module->m_refs == 0 && m_module->m_heapOwned && m_module->m_deleting.load()) {
            registry().erase(m_module);
            destroy = true;
        }
    }
    if (destroy) Flashboot::Destroy(m_module);
}

// ---- Exports ----

extern "C" Flashboot* CreateModule(int iPortNumber, int iPortType, Flashboot** ppModule) {
    (void)iPortType;
    DebugOutput("\nCreateModule begin");
    DebugOutput("\npModule = new Flashboot");
    Flashboot* m = Flashboot::NewOwnedModule();
    if (m) {
        DebugOutput("\nOpen(iPortNumber,iPortType)");
        DebugOutput("\nAFX_MANAGE_STATE(AfxGetStaticModuleState())");
        DebugOutput("\ntrans_Dig = CreateComm(iPortNumber, hComHandle,  115200)");
        PortHandle handle = 0;
        m->trans_Dig = CreateComm(iPortNumber, handle, 115200);
        m->hComHandle = handle;
    }
    if (ppModule) *ppModule = m;
    return m;
}

extern "C" int DeleteModule(Flashboot* module) {
    DebugOutput("\n DeleteModule begin");
    Flashboot::ReleaseOwnedModule(module);
    return 0;
}

extern "C" int add(int a, int b) {
    // Wraps like the machine addition instead of overflowing.
    return static_cast<int>(static_cast<unsigned>(a) + static_cast<unsigned>(b));
}

extern "C" Flashboot* CreateModuleForDiskDownload() {
    DebugOutput("\n CreateModuleForDiskDownload begin");
    return Flashboot::NewOwnedModule();
}

extern "C" Flashboot* deleteModuleForDiskDownload(Flashboot* module) {
    DebugOutput("\n deleteModuleForDiskDownload begin");
    Flashboot::ReleaseOwnedModule(module);
    return module;
}

extern "C" int SondrelLiveModules() {
    std::lock_guard<std::mutex> g(registry_lock());
    return static_cast<int>(registry().size());
}

CSondrelApp::CSondrelApp() = default;

bool CSondrelApp::InitInstance() {
    return true;
}

// ---- Packet buffer, errors, progress ----

PacketBuffer* Flashboot::PrepareCommand(uint8_t code, uint32_t length, uint32_t value) {
    PacketBuffer* p = &m_packet;
    std::memset(p, 0, offsetof(PacketBuffer, spare));
    p->code = code;
    p->value = value;
    p->length = length > static_cast<uint32_t>(kMaxCommandLength) ? kMaxCommandLength : length;
    return p;
}

int Flashboot::RecordError(int code) {
    m_lastError = code;
    return code;
}

void Flashboot::ProgressReport(const char* text) {
    ReportGate gate(this);
    if (!gate || !m_pDownload) return;
    m_pDownload->pStatus = text;
    gate.Call(m_pDownload);
}

void Flashboot::ProgressReport(const char* text, int position) {
    ReportGate gate(this);
    if (!gate || !m_pDownload) return;
    m_pDownload->iProgress = position;
    m_pDownload->pStatus = text;
    gate.Call(m_pDownload);
}

// ---- Send and wait ----

int Flashboot::Streaming_Download_Protocol_SendAndWaitResponds(PacketBuffer* packet) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    m_replyLength = 0;
    if (!packet) return RecordError(FB_ERR_STREAM_PACKET);
    // A module being deleted has no port left to talk through.
    if (m_deleting.load()) return RecordError(FB_ERR_PORT_NOT_OPEN);
    if (!trans_Dig) return RecordError(FB_ERR_STREAM);
    trans_Dig->CleanRxBuffer();
    int w = trans_Dig->Write(packet->data, static_cast<int>(packet->length));
    if (w < -1000) return RecordError(w);
    if (w <= 0) return RecordError(FB_ERR_STREAM);
    uint32_t saved = 0;
    trans_Dig->GetOverlapTimeout(saved);
    int r = trans_Dig->HdlcReceive(packet->data, kStreamingReplyMax);
    trans_Dig->SetOverlapTimeout(saved);
    if (r < -1000) return RecordError(r);
    if (r < 0) return RecordError(FB_ERR_STREAM);
    // Nothing queued under a zero time-out also counts: the reply checks then see the request.
    m_replyLength = r;
    return FB_OK;
}

int Flashboot::DMSS_SendAndWaitResponds(PacketBuffer* packet) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    m_replyLength = 0;
    if (!packet) return RecordError(FB_ERR_DMSS_ARGS);
    if (m_deleting.load()) return RecordError(FB_ERR_PORT_NOT_OPEN);
    if (!trans_Dig) return RecordError(FB_ERR_DMSS);
    trans_Dig->CleanRxBuffer();
    int w = trans_Dig->Write(packet->data, static_cast<int>(packet->length));
    if (w < -1000) return RecordError(w);
    if (w <= 0) return RecordError(FB_ERR_DMSS);
    uint32_t saved = 0;
    trans_Dig->GetOverlapTimeout(saved);
    int r = trans_Dig->HdlcReceive(packet->data, kDmssReplyMax);
    trans_Dig->SetOverlapTimeout(saved);
    if (r < -1000) return RecordError(r);
    if (r < 1) return RecordError(FB_ERR_DMSS);
    m_replyLength = r;
    return FB_OK;
}
