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

Flashboot::Flashboot() : m_pDownload(&m_ownDownload) {
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
    bool destroy = false;
    {
        std::lock_guard<std::mutex> g(registry_lock());
        if (!registry().count(m) || !m->m_heapOwned || m->m_deleting.load() != 0) return false;
        m->m_deleting.store(1);
        if (--m->m_refs == 0) {
            registry().erase(m);
            destroy = true;
        }
    }
    if (destroy) Destroy(m);
    return true;
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
    if (!m_pDownload) return;
    m_pDownload->pStatus = text;
    if (m_callbackfunc) m_callbackfunc(m_pDownload);
}

void Flashboot::ProgressReport(const char* text, int position) {
    if (!m_pDownload) return;
    m_pDownload->iProgress = position;
    m_pDownload->pStatus = text;
    if (m_callbackfunc) m_callbackfunc(m_pDownload);
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
