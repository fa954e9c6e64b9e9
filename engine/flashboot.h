#pragma once
// Flashboot: the download engine's module, one per phone port. It owns the port's link, one
// command/response packet buffer, the last error, and reports progress to the station through
// a callback. The DMSS and streaming protocol operations are its members.
//
// Lifetime. Modules are made by CreateModule / CreateModuleForDiskDownload and released by
// DeleteModule / deleteModuleForDiskDownload. The station may call DeleteModule from another
// thread while a request is running on the module (its stop button). Every request therefore
// holds the module with a ModuleHold for as long as it runs, and the module is counted: the
// creator's reference plus one per running request. DeleteModule sets the deleting flag, then
// stops the module before it returns: every wait of the module ends (its sleeps go through the
// module's cancel token, see Pause), its link is closed (a blocked read or write returns -1202
// and the port is free for the next opener), and its status record and callback are closed to
// the engine (a report under way is waited for; none starts afterwards). Then it drops the
// creator's reference; whoever drops the last reference frees the module: DeleteModule itself
// when no request runs, otherwise the request as it returns. A request that finds the flag set
// ends its next exchange at once with -1202 (port not open). Live modules are kept in a
// registry, so a second DeleteModule, or one on a module already freed, finds nothing to
// release and touches no freed memory. (A stale pointer whose address a new module has since
// been given names that new module: callers drop their pointer once they have deleted it.)
// A callback must not wait for the thread that deletes its module: that thread waits for it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/quillon.h"
#include "platform/clock.h"

struct XMLDATA;
namespace tw {
class Disk;
}

// The status record handed to every progress callback. It belongs to the station.
struct Download {
    int32_t iProgress = 0; // 0..100, shown on the slot's bar
    int32_t iPortNumber = 0;
    int32_t iProgressIndex = 0; // the slot row: chooses the bar
    const char* pText = nullptr;
    const char* pStatus = nullptr; // the message of the step
};

// Progress callback; its result is ignored.
using CallbackFunction0 = int (*)(Download*);

// Result codes of the protocol steps (0 is success).
constexpr int FB_OK = 0;
constexpr int FB_ERR_PORT_NOT_OPEN = -1202;
constexpr int FB_ERR_DMSS = -11932;               // exchange failed or the reply is not an ACK
constexpr int FB_ERR_DMSS_ARGS = -11933;          // no packet buffer, data or length given
constexpr int FB_ERR_DMSS_PACKET = -11938;        // packet buffer not available
constexpr int FB_ERR_STREAM = -11962;             // streaming reply missing, wrong, or a failure
constexpr int FB_ERR_STREAM_PACKET = -11968;      // packet buffer not available / payload missing
constexpr int FB_ERR_PARTITION_OVERRIDE = -11991; // the phone overrode its own table
constexpr int FB_ERR_PARTITION_REJECTED = -11001; // recorded for statuses 1 and 2
constexpr int FB_ERR_PARTITION_FAILED = -11993;   // recorded for status 3

constexpr int kCommandDataSize = 32896;
constexpr int kMaxCommandLength = 32890; // longer commands are cut to this
constexpr int kStreamingReplyMax = 1031;
constexpr int kDmssReplyMax = 32896;
constexpr int kPacketBufferSize = 65938;

#pragma pack(push, 1)
struct PacketBuffer {
    uint8_t code;
    uint32_t zero;
    uint32_t value;                 // an address for commands that take one
    uint32_t length;                // data bytes to send, at most kMaxCommandLength
    uint8_t data[kCommandDataSize]; // the request, then the reply over it
    uint8_t spare[kPacketBufferSize - 13 - kCommandDataSize];
};
#pragma pack(pop)
static_assert(sizeof(PacketBuffer) == kPacketBufferSize);

class Flashboot {
  public:
    Flashboot();
    ~Flashboot();
    Flashboot(const Flashboot&) = delete;
    Flashboot& operator=(const Flashboot&) = delete;

    // ---- Fields shared with the station, in this order. ----
    CallbackFunction0 m_callbackfunc = nullptr;
    Download* m_pDownload; // the module's own record until the station puts its own here
    int m_portNumber = 0;
    int m_portType = 0;
    uint8_t m_reserved0 = 0;
    char qcnpath[512];
    CQuillonDll* trans_Dig = nullptr; // owned; null for disk modules and after release
    int m_reserved1 = 0;
    int m_lastError = 0;
    uint32_t m_sequence = 0;
    uint64_t m_tickStamp = 0;
    uint32_t m_timeValues[3] = {1000, 2000, 3000};
    uint8_t m_write32 = 0;      // 1: DMSS writes use the 32-bit form
    uint8_t m_helloVariant = 1; // selects the streaming hello's versions
    PortHandle hComHandle = 0;
    int32_t m_hComHandleHigh = 0;
    std::atomic<uint8_t> m_deleting{0}; // set once DeleteModule has started
    int m_stationRow = 0;               // written by the station; not read here
    PacketBuffer m_packet;

    // ---- Shared helpers. ----
    // Clears the command area and sets code, value and length (cut to kMaxCommandLength).
    PacketBuffer* PrepareCommand(uint8_t code, uint32_t length, uint32_t value);
    // Stores code as the last error and returns it.
    int RecordError(int code);
    int LastError() const { return m_lastError; }
    // Bytes the last exchange received (0 when nothing came).
    int ReplyLength() const { return m_replyLength; }
    // Stores the text (and position) in m_pDownload and calls m_callbackfunc with it; nothing
    // once DeleteModule has closed the module's reports (see ReportGate).
    void ProgressReport(const char* text);
    void ProgressReport(const char* text, int position);
    // Sleeps a nominal time on the module's behalf. DeleteModule ends the sleep at once; false
    // then (and at once from then on), so the caller stops instead of going on.
    bool Pause(int64_t nominal_ms);
    // The token every wait made on the module's behalf goes through.
    tw::clock::CancelToken* Cancel() { return &m_cancel; }

    // One streaming exchange: replies up to kStreamingReplyMax bytes; 0 also when nothing came.
    int Streaming_Download_Protocol_SendAndWaitResponds(PacketBuffer* packet);
    // One DMSS exchange: replies up to kDmssReplyMax bytes, at least one needed.
    int DMSS_SendAndWaitResponds(PacketBuffer* packet);

    // ---- DMSS download protocol (the boot ROM). ----
    int DMSS_Nop(const uint8_t* buffer, int length);
    int DMSS_Parameter_Request(const uint8_t* buffer, int length);
    int DMSS_Write(const uint8_t* data, uint32_t address, uint16_t count);
    int DMSS_Go(uint32_t address);

    // ---- Streaming download protocol (the flash programmer). ----
    int Streaming_Download_Protocol_Handle_Hello_Cmd();
    int Streaming_Download_Protocol_Read(uint8_t* buffer, uint32_t address, uint16_t count);
    int Streaming_Download_Protocol_Stream_Write(const uint8_t* data, uint32_t address,
                                                 uint16_t count);
    int Streaming_Download_Protocol_Reset(uint8_t code);
    int Streaming_Download_Protocol_Check_Reset_Rsp();
    int Streaming_Download_Protocol_Close();
    int Streaming_Download_Protocol_Security_Mode(uint8_t mode);
    int Streaming_Download_Protocol_Partition_Table(const uint8_t* table, uint16_t count,
                                                    uint8_t overrideFlag);
    int Streaming_Download_Protocol_Open_Multi_Image(const uint8_t* payload, uint16_t count,
                                                     uint8_t imageType);

    // ---- Modem image upload and emergency download (engine/flow_*, engine/emergency_*). ----
    int flow_DownloadZqde(const char* strFilePath);
    int SendMultiImage(const char* path, uint8_t imageType);
    int SendPartitionTable(const char* path, uint8_t imageType);
    static void FindFileInTree(const char* folder, const char* name, std::string& resultPath);
    int Emergency_Download_Kestrin(Flashboot*& module, char* pFilepath, unsigned long address,
                                   int selector);
    int DMSS_Download_Update_Zqde_Armprg_File(int portNumber, const char* path,
                                              unsigned long address, int selector);
    int DoResetPhone(Flashboot* module);

    // ---- DIAG service and QCN (diag/). ----
    // Tells a received frame that is recognisably the answer to another request than this one.
    using DiagOtherAnswer = bool (*)(const uint8_t* request, uint16_t requestLength,
                                     const uint8_t* answer, int length);
    // One DIAG request and its answer: -1 no answer, -11301 answer longer than responseLength
    // (cut), 0 otherwise. The answer is read as soon as it arrives (within the link's 60 s read
    // time-out), after the module's DIAG pause when one is set. With `other`, a frame it calls
    // another request's answer (a phone that answered an earlier request late, or twice) is
    // dropped and the wait goes on for what is left of the time-out; the response buffer may
    // then hold that frame's bytes even when the result is -1.
    int Diag_Service_RequestAndResponse(const uint8_t* request, uint16_t requestLength,
                                        uint8_t* response, uint16_t responseLength,
                                        uint16_t* receivedLength = nullptr,
                                        DiagOtherAnswer other = nullptr);
    // The fixed pause between a DIAG request and the read of its answer, nominal milliseconds
    // (0 to 60000), for phones that need one. A new module takes the process-wide default,
    // which is 0; whoever creates the module may set its own afterwards.
    void SetDiagPauseMs(int ms);
    int DiagPauseMs() const { return m_diagPauseMs.load(); }
    // The default of modules created from now on: the station sets it from "diagPauseMs" in
    // section "Kestrin" of "inifile.ini" before it creates modules.
    static void SetDefaultDiagPauseMs(int ms);
    static int DefaultDiagPauseMs();
    // 1 IMEI read, 0 no NV read reply for item 550, 2 the IMEI reads as blank.
    int GetIMEI(char** ppImei);
    int DoBackUpQCN(Flashboot* caller, const char* qcnFolder, const char* listFolder);
    int DoDownloadQCN(Flashboot* caller, const char* folder);
    int ConvertQcnTextToHex(FILE* text, FILE* hex);

    // ---- eMMC raw programming on a disk-download module (engine/emmc_flashboot.cpp). ----
    int EmmcDownloadMBNS(Flashboot* module, const char* diskPath, const char* folder,
                         XMLDATA* xmlData);
    int For_eMMC_Download_Universal_Interface(tw::Disk* hDevice, const char* fileName,
                                              uint64_t sector);
    int For_eMMC_Download_Pach_Interface(tw::Disk* hDevice, const char* fileName, uint64_t sector,
                                         uint32_t offsetNum, uint32_t blockIndex,
                                         uint32_t pachValue);

    // ---- Lifetime machinery behind the exports. ----
    // A counted module holding its creator's reference; null when allocation failed.
    static Flashboot* NewOwnedModule();
    // Sets the deleting flag and drops the creator's reference, freeing the module when no
    // request holds it. False (nothing done) for null, a pointer that is not a live module made
    // by NewOwnedModule, or a module already being deleted.
    static bool ReleaseOwnedModule(Flashboot* module);

  private:
    friend class ModuleHold;
    friend class ReportGate;
    static void Destroy(Flashboot* module);
    // What DeleteModule does before it lets the module go: wakes its waits, closes its link and
    // closes its reports.
    void Stop();
    bool EnterReport();
    void LeaveReport();

    Download m_ownDownload{};
    int m_replyLength = 0;
    std::atomic<int> m_diagPauseMs{0};
    int m_refs = 0;           // guarded by the registry lock
    bool m_heapOwned = false; // made by CreateModule*: released by DeleteModule*
    tw::clock::CancelToken m_cancel;
    std::mutex m_reportLock; // guards the two below
    std::condition_variable m_reportEnded;
    std::vector<std::thread::id> m_reporting; // threads inside a report (nested ones repeat)
    bool m_reportsClosed = false;
};

// Holds a module for the length of a request (see the top of this file). Every operation that
// may run while another thread deletes the module starts with one; the flows do the same for
// their whole run. A hold on a pointer that is not a live module is empty: the caller must
// not touch it and returns FB_ERR_PORT_NOT_OPEN.
class ModuleHold {
  public:
    explicit ModuleHold(Flashboot* module);
    ~ModuleHold();
    ModuleHold(const ModuleHold&) = delete;
    ModuleHold& operator=(const ModuleHold&) = delete;
    explicit operator bool() const { return m_module != nullptr; }

  private:
    Flashboot* m_module = nullptr;
};

// One report to the station: while it is held, the module's status record (m_pDownload) and
// callback may be used. Empty (use neither) once DeleteModule has closed the module's reports,
// since the station frees its record after DeleteModule; DeleteModule waits for a gate that is
// held on another thread.
class ReportGate {
  public:
    explicit ReportGate(Flashboot* module);
    ~ReportGate();
    ReportGate(const ReportGate&) = delete;
    ReportGate& operator=(const ReportGate&) = delete;
    explicit operator bool() const { return m_open; }
    // Calls the module's callback with record, when both are set.
    void Call(Download* record);

  private:
    ModuleHold m_hold;
    Flashboot* m_module;
    bool m_open = false;
};

extern "C" {
// Ordinal 1: a module bound to COM port iPortNumber (115200 baud). Never null because the
// port failed to open: the link then answers 0 and the first exchange fails. Null only when
// allocation failed. Also stored in *ppModule when given.
Flashboot* CreateModule(int iPortNumber, int iPortType, Flashboot** ppModule);
// Ordinal 2: stops the module (its waits end, its link closes, no report follows) and frees it
// (deferred while a request holds it). 0.
int DeleteModule(Flashboot* module);
// Ordinal 3.
int add(int a, int b);
// Ordinal 6: a module without a link (eMMC disk programming).
Flashboot* CreateModuleForDiskDownload();
// Ordinal 7: frees such a module; returns the pointer given.
Flashboot* deleteModuleForDiskDownload(Flashboot* module);
// Modules alive in this process (tests check releases with it).
int SondrelLiveModules();
}

// The library's application object; its initialisation reports success.
class CSondrelApp {
  public:
    CSondrelApp();
    virtual ~CSondrelApp() = default;
    virtual bool InitInstance();
};
