#pragma once
// What one phone's cycle through a slot did: when it started, each stage with its start,
// duration and result, the phone's identity and files, and how it ended. The slot worker fills
// it as the cycle goes and hands it to the station's cycle-end hook when the cycle is over.
#include <chrono>
#include <string>
#include <vector>

namespace tw::station {

enum class CycleResult { Pass, Fail, Stopped };

struct StageRecord {
    std::string name; // "backup", "reset", "emergency download", "fastboot", "restore", "emmc"
    std::chrono::system_clock::time_point start;
    std::chrono::milliseconds duration{0}; // real time
    int result = 0;                        // the engine's or the stage's code, 0 success
};

struct CycleRecord {
    int slot = 0; // row 0..15
    std::string position;
    std::chrono::system_clock::time_point start, end;
    std::string imei;
    std::string sw_ver, brand, model; // of the software the slot flashed ("ROMINFO.ini")
    std::string backup_file;          // the backup this cycle made
    std::string earlier_backup;       // where an earlier backup of the phone was kept, if it moved
    std::string qcn_file;             // the file the restore used
    std::vector<StageRecord> stages;
    CycleResult result = CycleResult::Fail;
    std::string message; // the failure's message, in English
};

} // namespace tw::station
