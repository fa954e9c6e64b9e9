#pragma once
// The record of every phone: one JSON object per line for each cycle that ended, appended to
// "results/<YYYY-MM-DD>.jsonl" in the station folder (the local date of the cycle's end). Each
// line goes out in one write on a descriptor opened with O_APPEND and is synced before the next
// phone's: a crash loses at most the cycles still running, and a line is never left half
// written (a short write is cut off again).
#include <chrono>
#include <optional>
#include <string>

#include "station/cycle_record.h"

namespace tw::station {

// "2026-12-08T10:15:30.123+01:00": local time, milliseconds, the offset from UTC.
std::string IsoLocalTime(std::chrono::system_clock::time_point t);
// "2026-12-08" of the same local time.
std::string LocalDate(std::chrono::system_clock::time_point t);

// "PASS", "FAIL" or "STOPPED".
const char* ResultName(CycleResult r);

// The record's line, without its newline: start, end, seconds, slot (1 to 16), position, imei,
// sw_ver, brand, model, qcn_file, backup, earlier_backup, stages [{name, start, ms, result}],
// result and message.
std::string ResultLine(const CycleRecord& r);

// What the results command reads back of a line.
struct ResultEntry {
    std::string start, end; // as written
    std::string date;       // the end's local date
    double seconds = 0;
    int slot = 0; // 1 to 16
    std::string position, imei, result, message;
};
// nullopt for a line that is not a whole record.
std::optional<ResultEntry> ParseResultLine(const std::string& line);

// Appends the record to results/<date>.jsonl below root (the station folder, with its '/').
// False with why when the folder or the file cannot be written; nothing of the line is left then.
bool AppendResult(const std::string& root, const CycleRecord& r, std::string* why = nullptr);

} // namespace tw::station
