#pragma once
// The module bridge: the station's side of the download engine. For each engine operation a
// slot worker asks for it creates one module on the phone's port, hands it the callback and a
// status record, runs the operation, turns the result into the row's PASS or FAIL and the
// failure's boxes, and deletes the module again. The live module of each row is kept in
// `freeComPoint`, so that a stop can delete it from another thread.
#include <atomic>
#include <cstdint>
#include <string>

#include "diag/qcn_ops.h"
#include "engine/emmc_download.h"
#include "engine/flashboot.h"
#include "station/config.h"
#include "station/texts.h"

namespace tw::station {

// The station's own two status texts. The callback recognises them by address, never by
// their characters, so no engine text can end a slot.
extern const char kFailStatus[];
extern const char kPassStatus[];

// What the bridge needs from the station.
class BridgeHost {
  public:
    virtual ~BridgeHost() = default;
    enum class Report { Progress, Fail, Pass };
    // A report of a request made while the row's run had this generation.
    virtual void OnReport(int row, int progress, Report kind, uint64_t generation) = 0;
    virtual void RowBox(int row, Text text, const char* caption) = 0;
    // A nominal pause that the row's stop ends early; false when stopped.
    virtual bool RowSleep(int row, int64_t nominal_ms) = 0;
    virtual bool RowStopping(int row) = 0;
    virtual uint64_t RowGeneration(int row) = 0;
    // The fixed pause between a DIAG request and the read of its answer, for phones that need
    // one; 0 reads the answer as soon as it comes.
    virtual int DiagPauseMs() { return 0; }
};

// The status record handed to the engine; the engine only ever sees the Download part.
struct SlotDownload : Download {
    BridgeHost* host = nullptr;
    uint64_t generation = 0;
};

// One engine request of one slot.
struct Subclass {
    int port = 0;
    int portType = 1;
    uint8_t flag = 1;
    Flashboot* m_pVModuleInsub = nullptr;
    SlotDownload* m_psubDownloadStruct = nullptr;
    std::string m_pathName; // the software folder
    std::string qcnFolder;  // QCN backups, with a trailing '/'
    std::string listFolder; // where "NVFrom.txt" is read, with a trailing '/'
    int m_rowindex = 0;
    bool qcnPathFlag = false; // restore from qcnPath instead of the IMEI's file
    std::string qcnPath;      // at most 511 bytes reach the engine
    // What the operation gave, for the cycle's record.
    int result = 0;
    diag::BackupOutcome backup;
    diag::RestoreOutcome restore;
};

class ModuleBridge {
  public:
    explicit ModuleBridge(BridgeHost& host);
    ~ModuleBridge();
    ModuleBridge(const ModuleBridge&) = delete;
    ModuleBridge& operator=(const ModuleBridge&) = delete;

    // Sleeps 2 s, creates the module on the request's port and fills its port fields and
    // callback; null (and a debug line) when none could be made or the row is stopping.
    Flashboot* CreateModule(Subclass& req);

    // Emergency download with the programmer's start value and choice (1: "NPRG7627A.hex").
    bool doStart(Subclass& req, uint32_t start, int choice);
    bool doStartBackUpQCN(Subclass& req);
    // A success turns the row PASS.
    bool doStartQCN(Subclass& req);
    bool doResetPhone(Subclass& req);
    // The phone's IMEI (RepairMode, where no backup names the phone's file); no report.
    bool doReadImei(Subclass& req, std::string& imei);
    bool doEmmc(Subclass& req, const std::string& disk, XMLDATA* xml);

    // The stop: deletes the row's live module, which ends the request running on it.
    void DeleteLive(int row);
    // The live module of the row (tests).
    Flashboot* Live(int row) const;

    // The engine's progress callback.
    static int CallbackFunction(Download* d);

  private:
    enum class Op { Emergency, Backup, Restore, Reset, Imei };
    bool Run(Subclass& req, Op op, uint32_t start, int choice, std::string* imei = nullptr);
    // Clears the row's entry and deletes the module unless a stop already did.
    void Release(int row, Flashboot* m);
    void Fail(Subclass& req, SlotDownload& d, int code, bool reset);

    BridgeHost& host_;
    std::atomic<Flashboot*> freeComPoint_[kSlots];
};

} // namespace tw::station
