#pragma once
// QCN backup, QCN restore and the IMEI read, written against what they need of a module: one
// DIAG exchange at a time, the module's progress callback, message boxes and the debug sink.
// The `Flashboot` members are thin wrappers over these, so the logic can also be driven by a
// simulated phone in tests.
#include <climits>
#include <cstdint>
#include <string>

namespace diag {

// Results of the backup and the restore (0 is success everywhere).
constexpr int kQcnOk = 0;
constexpr int kQcnFileError = -1;      // a QCN file cannot be created, written, opened or renamed
constexpr int kBackupListMissing = 1;  // "NVFrom.txt" could not be opened, after its retries
constexpr int kRestoreNoAnswer = 1;    // a record was not taken by the phone, sent twice
constexpr int kRestoreRefused = 1;     // the same result, by its meaning
constexpr int kBackupNoAnswer = 2;     // an NV item got no answer, twice
constexpr int kBackupItemFailed = 2;   // ... or an answer that gives no value and no skip
constexpr int kQcnNoImei = 4;          // the phone's IMEI cannot be read, or reads as blank
constexpr int kBackupListUnusable = 5; // no item, an entry that is not a number, list too long
constexpr int kRestoreBadText = 6;     // the QCN text file holds no item or does not convert
constexpr int kRestoreWrongPhone = 7;  // the file is named after another phone's IMEI

// Results of the IMEI read.
constexpr int kImeiRead = 1;
constexpr int kImeiNoAnswer = 0; // no answer, or not an NV read reply for item 550
constexpr int kImeiBlank = 2;    // a reply, but the item holds no identity

// Pauses of the flows, nominal milliseconds.
constexpr int kRetryPauseMs = 3000;
constexpr int kListAttempts = 20;
constexpr int kBusyRetries = 3; // a backup asks an item the phone calls busy this often again

constexpr int kKeepPort = INT_MIN;

class DiagChannel {
  public:
    virtual ~DiagChannel() = default;
    // One request, one answer. -1 when no answer arrived; otherwise the number of answer bytes
    // in `answer` (at most answer_size). Bytes past them are not the answer's.
    virtual int Exchange(const uint8_t* request, uint16_t length, uint8_t* answer,
                         uint16_t answer_size) = 0;
    // The slot row of the caller's status record.
    virtual int Row() = 0;
    // The caller's COM port number.
    virtual int Port() = 0;
    // Sets the status record's position (and the status text and port when given) and calls
    // the module's callback.
    virtual void Report(int position, const char* status = nullptr, int port = kKeepPort) = 0;
    virtual void MessageBox(const std::string& text) = 0;
    virtual void Debug(const std::string& line) = 0;
    // Waits a nominal time between attempts. False when the request is being stopped: the flow
    // then gives up instead of trying again. The default is the clock's plain sleep.
    virtual bool Pause(int nominal_ms);
};

// Reads NV item 550 into 15 characters and a terminator. The text is filled for kImeiRead and
// kImeiBlank; for kImeiNoAnswer it is left empty.
int ReadImei(DiagChannel& ch, char out[16]);

struct BackupOutcome {
    std::string imei;
    std::string path;    // the new backup, or the ".partial" file when the backup failed
    std::string current; // what "<IMEI>.txt" holds now: `path`, or the earlier backup kept
    std::string kept;    // where the earlier "<IMEI>.txt" went, when it moved to a dated name
    std::string message; // why it failed
    int items = 0;       // blocks written
    int skipped = 0;     // listed items the phone reports as inactive or does not know
};

// Reads every item of "<listFolder>NVFrom.txt" from the phone into "<qcnFolder><IMEI>.txt".
// The list is read first: a list without a usable item fails before the phone is asked
// anything. The file is written as "<IMEI>.txt.partial", held by this backup alone, and gets
// its name only once every item is in it; an earlier backup under that name is kept (see
// PlaceBackup). An item is saved when the phone gives its value and skipped when the phone
// reports it inactive or unknown; any other answer, or none, fails the backup. On success the
// IMEI is remembered for the caller's slot row.
int RunBackup(DiagChannel& ch, const std::string& qcn_folder, const std::string& list_folder,
              BackupOutcome* out = nullptr);

struct RestoreOutcome {
    std::string text_path;
    std::string record_path;
    std::string message;
    int items = 0;          // records converted
    int sent = 0;           // records sent (each counted once, however often it was sent)
    int accepted = 0;       // records the phone answered "done"
    int verified = 0;       // records of read-only items whose value read back equal
    bool bad_input = false; // the text file is missing, a folder or does not convert: nothing
                            // was sent and no file was written
};

// Converts the QCN text file into the record file and writes every record to the phone, then
// the closing request. The text file is `qcn_path` when `use_path` is set, else
// "<folder><IMEI>.txt" with the IMEI the last backup on this slot read, or, when none did, the
// one the phone reports. A file named after an IMEI is written only into a phone that reports
// that IMEI or none. Result 0 means the phone took every record.
int RunRestore(DiagChannel& ch, bool use_path, const std::string& qcn_path,
               const std::string& folder, RestoreOutcome* out = nullptr);

} // namespace diag
