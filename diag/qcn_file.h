#pragma once
// The two QCN files.
//
// QCN text file, written by a backup and read by a restore. Lines end in CR LF on disk, the way
// the station has always written them, so files move between stations unchanged; the reader
// takes LF alone as well.
//
//   NV Items:
//   NV item: 10 index
//   0: 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff
//   ... (8 data lines of 16 bytes, lower-case hex, single blanks, none at the end)
//   NV item (SIM 1): 453 index
//   ...
//
// QCN record file (".hex" beside the text file): ready-made NV write requests, 142 bytes each,
// back to back, no header: a request length u32 little-endian (133 main, 138 SIM 1) and a
// 138-byte request area (the request, then zeros).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "diag/nv.h"

namespace diag {

constexpr size_t kRecordSize = 142;
constexpr size_t kBlockMax = 512;    // one formatted block: header and 8 data lines
constexpr size_t kLineBuffer = 1024; // a text line and its line end must fit, with a terminator
constexpr const char* kQcnFirstLine = "NV Items:";
constexpr const char* kLineEnd = "\r\n";

struct QcnRecord {
    uint32_t length = 0;
    Request area{};
};

// One block of the text file for an item. Returns the bytes written into out (kBlockMax room).
size_t FormatQcnBlock(NvKind kind, uint16_t item, const uint8_t* data128, char* out);

void SerializeRecord(const QcnRecord& r, uint8_t out[kRecordSize]);
// False for a record whose length is neither 133 nor 138.
bool ParseRecord(const uint8_t in[kRecordSize], QcnRecord& r);

// Writes the text file under a temporary name and gives it its real name only once complete.
class QcnTextWriter {
  public:
    QcnTextWriter() = default;
    QcnTextWriter(const QcnTextWriter&) = delete;
    QcnTextWriter& operator=(const QcnTextWriter&) = delete;
    ~QcnTextWriter();

    // Creates `work_path` for this writer alone and writes the first line. A file another
    // writer holds (a second slot backing up the same phone) is refused with errno EBUSY; one
    // left behind by a failed run is taken over and emptied.
    bool Open(const std::string& work_path);
    bool AppendBlock(NvKind kind, uint16_t item, const uint8_t* data128);
    // Flushes to disk; the file stays open and held, so it can be renamed while no other
    // writer can start on it. False on any write error met so far.
    bool Flush();
    // Releases the file under whatever name it has now.
    bool Close();

  private:
    FILE* f_ = nullptr;
    std::string path_;
    bool failed_ = false;
};

// Where a finished backup went.
struct Placement {
    std::string written;    // the new backup's name
    std::string current;    // what the final name holds now (the new or the earlier backup)
    std::string kept;       // the earlier backup's dated name, when it was moved there
    int earlier_items = -1; // items with data in the earlier backup, -1 when there was none
};

// Gives the finished backup at `work_path` (holding `items` items with data) the name
// `final_path` ("<dir>/<IMEI>.txt"). An earlier backup under that name is never destroyed: it
// moves to "<dir>/<IMEI>.<YYYYMMDD-HHMMSS>.txt" (its own modification time), unless the new
// backup holds fewer items than it; then the new one takes the dated name and the earlier one
// stays. A dated name already taken gets "-2", "-3"... False (errno set) when a rename fails.
bool PlaceBackup(const std::string& work_path, const std::string& final_path, int items,
                 Placement& out);

// The dated name of a backup of `final_path` made at `when` (local time); n > 1 adds "-n".
std::string DatedPath(const std::string& final_path, long long when, int n = 1);

// Items in a QCN text file, or -1 when it cannot be read or does not convert.
int CountQcnItems(const std::string& path);

// The IMEI a QCN file belongs to by its name: "<15 digits>.txt", or the dated name of such a
// file. Empty for any other name.
std::string ImeiOfQcnFile(const std::string& path);

// Where a conversion stopped.
struct ConvertError {
    uint32_t item = 0;
    std::string reason;
};

// Converts a QCN text file into records, writing each to `hex` (when not null) and collecting
// them in `records` (when not null). Messages (each main item's data text, the errors, the final
// count) go to `messages` when it is not null. Returns the number of items converted, or -1.
// A missing or malformed data line, a bad item number, a text without its first line or a line
// longer than the reader's 1024-byte line buffer is an error: the records written so far must
// not be sent.
int ConvertQcnText(FILE* text, FILE* hex, std::vector<QcnRecord>* records, FILE* messages,
                   ConvertError* err);

// Reads a whole record file. False on a record that is not 133 or 138 bytes long, or a trailing
// piece shorter than a record.
bool ReadRecordFile(FILE* hex, std::vector<QcnRecord>& out);

// File names. A folder is given with its trailing separator; one is added when missing.
std::string JoinFolder(const std::string& folder, const std::string& name);
// "<folder><imei>.txt": only the file name "qcn.txt" takes the IMEI, never the folder's path.
std::string QcnTextPath(const std::string& folder, const std::string& imei);
// The name a backup writes under until it is complete.
std::string PartialPath(const std::string& final_path);
// The record file beside a text file: ".txt" in the file name becomes ".hex"; a name without
// ".txt" gets ".hex" appended, so the record file can never overwrite the text file.
std::string RecordPathFor(const std::string& text_path);

// Where messages of the conversion go: standard output unless changed (the command line sends
// them to standard error so its own output stays parseable). Null silences them.
void SetMessageStream(FILE* f);
FILE* MessageStream();

} // namespace diag
