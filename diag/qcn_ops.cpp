#include "diag/qcn_ops.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "diag/imei.h"
#include "diag/nv.h"
#include "diag/nv_list.h"
#include "diag/qcn_file.h"
#include "platform/clock.h"

namespace diag {
namespace {

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string Format(const char* fmt, int v) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

bool ReadWhole(FILE* f, std::string& out) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    return !std::ferror(f);
}

// Every pause before the phone is asked again goes through here. A stop ends it at once; the
// next exchange then fails on the closed link.
void RetryPause(DiagChannel& ch) {
    ch.Pause(kRetryPauseMs);
}

bool AllDigits(const char* s) {
    for (size_t i = 0; i < kImeiLength; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return s[kImeiLength] == '\0';
}

// True for the whole NV read (or write) reply to this item. A shorter answer is refused, never
// taken for its missing bytes: a cut reply would save zeros as the item's value.
bool WholeReply(NvKind kind, int n, const uint8_t* answer, uint16_t item, bool read,
                std::string& why) {
    const size_t got = static_cast<size_t>(n < 0 ? 0 : n);
    const size_t head = kind == NvKind::Main ? 3 : kNvSimItemOffset + 2;
    if (got < head ||
        !(read ? IsNvReadReply(kind, answer, item) : IsNvWriteReply(kind, answer, item))) {
        why = "was answered with " + DescribeAnswer(answer, got);
        return false;
    }
    if (got < NvAnswerLength(kind)) {
        why = "was answered with a reply of " + std::to_string(got) + " bytes, not the whole " +
              std::to_string(NvAnswerLength(kind)) + "-byte NV reply";
        return false;
    }
    return true;
}

enum class ItemRead { Value, Skip, Failed };

// One listed item: asked once more when it gets no answer, up to kBusyRetries times more
// while the phone calls itself busy. `why` says what went wrong.
ItemRead ReadItem(DiagChannel& ch, NvKind kind, uint16_t item, uint8_t* answer, std::string& why) {
    Request req;
    const uint16_t len = BuildRead(kind, item, req);
    bool resent = false;
    int busy = 0;
    for (;;) {
        std::memset(answer, 0, kAnswerSize);
        const int n = ch.Exchange(req.data(), len, answer, kAnswerSize);
        if (n == -1) {
            if (resent) {
                why = "got no answer, twice; the phone went silent";
                return ItemRead::Failed;
            }
            resent = true;
            RetryPause(ch);
            continue;
        }
        if (!WholeReply(kind, n, answer, item, true, why)) return ItemRead::Failed;
        const uint16_t status = AnswerStatus(kind, answer);
        if (status == kNvDone) return ItemRead::Value;
        // No value to save: writing one back would activate the item with zeros.
        if (status == kNvInactive || status == kNvBadItem) return ItemRead::Skip;
        if (status == kNvBusy && busy < kBusyRetries) {
            ++busy;
            RetryPause(ch);
            continue;
        }
        why = "was answered with the NV status \"" + NvStatusName(status) + "\"" +
              (status == kNvBusy ? ", " + std::to_string(busy + 1) + " times" : "");
        return ItemRead::Failed;
    }
}

enum class RecordWrite { Accepted, Verified, NotTaken, ReadOnlyDiffers };

// One send of a record. A read-only item counts when it already holds the record's value.
RecordWrite WriteRecord(DiagChannel& ch, const QcnRecord& r, uint8_t* answer, std::string& why) {
    const NvKind kind = RecordKind(r.area.data());
    const uint16_t item = RecordItem(r.area.data());
    Request req = r.area;
    std::memset(answer, 0, kAnswerSize);
    int n = ch.Exchange(req.data(), static_cast<uint16_t>(r.length), answer, kAnswerSize);
    if (n == -1) {
        why = "got no answer";
        return RecordWrite::NotTaken;
    }
    if (!WholeReply(kind, n, answer, item, false, why)) return RecordWrite::NotTaken;
    const uint16_t status = AnswerStatus(kind, answer);
    if (status == kNvDone) return RecordWrite::Accepted;
    if (status != kNvReadOnly) {
        why = "was answered with the NV status \"" + NvStatusName(status) + "\"";
        return RecordWrite::NotTaken;
    }
    const uint16_t len = BuildRead(kind, item, req);
    std::memset(answer, 0, kAnswerSize);
    n = ch.Exchange(req.data(), len, answer, kAnswerSize);
    if (n == -1) {
        why = "is read-only, and reading it back got no answer";
        return RecordWrite::NotTaken;
    }
    std::string unused;
    if (!WholeReply(kind, n, answer, item, true, unused) || AnswerStatus(kind, answer) != kNvDone) {
        why = "is read-only, and reading it back gave no value";
        return RecordWrite::ReadOnlyDiffers;
    }
    if (std::memcmp(AnswerData(kind, answer), RecordData(r.area.data()), kNvDataSize) != 0) {
        why = "is read-only and holds another value than the file's";
        return RecordWrite::ReadOnlyDiffers;
    }
    return RecordWrite::Verified;
}

// The answer to the closing request: whole, its own header and no error number.
bool IsCloseReply(const Request& req, const uint8_t* a, int n) {
    return n >= static_cast<int>(kCloseAnswerLength) && std::memcmp(a, req.data(), 4) == 0 &&
           a[10] == 0 && a[11] == 0 && a[12] == 0 && a[13] == 0;
}

} // namespace

bool DiagChannel::Pause(int nominal_ms) {
    tw::clock::sleep_ms(nominal_ms);
    return true;
}

int ReadImei(DiagChannel& ch, char out[16]) {
    out[0] = '\0';
    uint8_t answer[kAnswerSize] = {};
    Request req;
    uint16_t len = BuildNvRead(kNvItemImei, req);
    const int n = ch.Exchange(req.data(), len, answer, kAnswerSize);
    std::string why;
    if (n == -1 || !WholeReply(NvKind::Main, n, answer, kNvItemImei, true, why))
        return kImeiNoAnswer;
    DecodeImei(answer, out);
    if (AnswerStatus(NvKind::Main, answer) != 0 || ImeiIsBlank(out)) return kImeiBlank;
    return kImeiRead;
}

int RunBackup(DiagChannel& ch, const std::string& qcn_folder, const std::string& list_folder,
              BackupOutcome* out) {
    BackupOutcome local;
    BackupOutcome& o = out ? *out : local;
    o = {};
    auto fail = [&](int code, const std::string& why) {
        o.message = why;
        ch.Debug("backup qcn failed (" + std::to_string(code) + "): " + why);
        return code;
    };
    const int row = ch.Row();
    // A restore on this slot must never pick up an earlier phone's file after this backup failed.
    SlotImeiStore::Clear(row);

    // The list first: a list that names no item must not cost the phone a single request.
    const std::string list_path = JoinFolder(list_folder, "NVFrom.txt");
    File list;
    for (int attempt = 1; attempt <= kListAttempts; ++attempt) {
        list.reset(std::fopen(list_path.c_str(), "rb"));
        if (list) break;
        ch.Debug(Format("DoDownloadQCN GetLastError() = %d", errno));
        if (attempt < kListAttempts) RetryPause(ch);
    }
    if (!list) return fail(kBackupListMissing, "cannot open " + list_path);
    std::string list_text;
    if (!ReadWhole(list.get(), list_text))
        return fail(kBackupListMissing, "cannot read " + list_path);
    list.reset();
    NvItemLists lists;
    std::string why;
    if (ParseNvList(list_text, lists, why) != ListStatus::Ok)
        return fail(kBackupListUnusable, list_path + ": " + why);

    char imei[16] = {};
    int ir = ReadImei(ch, imei);
    if (ir == kImeiNoAnswer)
        return fail(kQcnNoImei, "the phone gave no NV read reply for its IMEI (item 550)");
    if (ir == kImeiBlank)
        return fail(kQcnNoImei, "the phone's IMEI reads as blank (" + std::string(imei) + ")");
    o.imei = imei;
    SlotImeiStore::Set(row, o.imei);

    const std::string final_path = QcnTextPath(qcn_folder, o.imei);
    const std::string work_path = PartialPath(final_path);
    QcnTextWriter writer;
    if (!writer.Open(work_path)) {
        if (errno == EBUSY)
            return fail(kQcnFileError, "another backup of the phone " + o.imei + " is writing " +
                                           work_path + " right now");
        return fail(kQcnFileError, "cannot create " + work_path + ": " + std::strerror(errno));
    }
    o.path = work_path;

    uint8_t answer[kAnswerSize];
    int count = 0;
    const size_t total = lists.main.size() + lists.sim1.size();
    for (size_t i = 0; i < total; ++i) {
        const bool main = i < lists.main.size();
        const NvKind kind = main ? NvKind::Main : NvKind::Sim1;
        const uint16_t item = main ? lists.main[i] : lists.sim1[i - lists.main.size()];
        switch (ReadItem(ch, kind, item, answer, why)) {
        case ItemRead::Failed:
            writer.Close();
            return fail(kBackupItemFailed, ItemName(kind, item) + " " + why);
        case ItemRead::Skip:
            ch.Debug("backup qcn: " + ItemName(kind, item) + " not saved, the phone reports it " +
                     NvStatusName(AnswerStatus(kind, answer)));
            ++o.skipped;
            break;
        case ItemRead::Value:
            if (!writer.AppendBlock(kind, item, AnswerData(kind, answer))) {
                writer.Close();
                return fail(kQcnFileError, "cannot write " + work_path);
            }
            ++o.items;
            break;
        }
        ++count;
        if (count < 6000) ch.Report(count / 17);
    }
    ch.Debug(Format("backup qcn GetLastError() = %d", 0));
    Placement placed;
    // Renamed while still held, so no other backup of this phone starts on the file meanwhile.
    if (!writer.Flush() || !PlaceBackup(work_path, final_path, o.items, placed)) {
        int e = errno;
        writer.Close();
        return fail(kQcnFileError, "cannot complete " + final_path + ": " + std::strerror(e));
    }
    writer.Close();
    o.path = placed.written;
    o.current = placed.current;
    o.kept = placed.kept;
    if (placed.written == final_path)
        ch.Debug("backup qcn: " + final_path + " is this backup (" + std::to_string(o.items) +
                 " items)" +
                 (placed.kept.empty()
                      ? ""
                      : "; the earlier one (" + std::to_string(placed.earlier_items) +
                            " items) is kept as " + placed.kept));
    else
        ch.Debug("backup qcn: " + final_path + " stays the earlier backup (" +
                 std::to_string(placed.earlier_items) + " items); this one holds only " +
                 std::to_string(o.items) + " items and is kept as " + placed.written);
    return kQcnOk;
}

int RunRestore(DiagChannel& ch, bool use_path, const std::string& qcn_path,
               const std::string& folder, RestoreOutcome* out) {
    RestoreOutcome local;
    RestoreOutcome& o = out ? *out : local;
    o = {};
    bool imei_asked = false;
    if (use_path) {
        o.text_path = qcn_path;
    } else {
        std::string imei;
        if (!SlotImeiStore::Get(ch.Row(), imei)) {
            char read[16] = {};
            int ir = ReadImei(ch, read);
            if (ir != kImeiRead) {
                o.message = ir == kImeiBlank
                                ? "The phone's IMEI reads as blank, so its QCN file cannot be "
                                  "found by name. Please select the QCN file."
                                : "The phone's IMEI cannot be read, so its QCN file cannot be "
                                  "found by name. Please select the QCN file.";
                ch.Debug("DoDownloadQCN: " + o.message);
                ch.MessageBox(o.message);
                return kQcnNoImei;
            }
            imei = read;
            imei_asked = true;
        }
        o.text_path = QcnTextPath(folder, imei);
    }
    o.record_path = RecordPathFor(o.text_path);

    ch.Report(0, "enter DoDownloadQCN", ch.Port());
    auto failed = [&](int code, const std::string& why) {
        o.message = why;
        ch.Report(100, "-fail", -1);
        ch.Debug(Format("DoDownloadQCN GetLastError() = %d", 0));
        ch.Debug("DoDownloadQCN: " + why);
        return code;
    };

    // The text is judged whole before anything is written anywhere: a missing, unreadable
    // or damaged file leaves the record file beside it and the phone as they were.
    struct stat st {};
    const bool is_folder = ::stat(o.text_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    File text(is_folder ? nullptr : std::fopen(o.text_path.c_str(), "rb"));
    if (!text) {
        o.message = "cannot open " + o.text_path + ": " +
                    (is_folder ? std::string("it is a folder") : std::strerror(errno));
        o.bad_input = true;
        ch.Debug("DoDownloadQCN: " + o.message);
        ch.MessageBox("can not open qcn.txt");
        return kQcnFileError;
    }
    std::vector<QcnRecord> converted_records;
    ConvertError cerr;
    int converted = ConvertQcnText(text.get(), nullptr, &converted_records, MessageStream(), &cerr);
    text.reset();
    if (converted <= 0) {
        // Nothing has been sent: a phone must never be left with part of its calibration, and
        // a file without items must not pass for a restore.
        o.message = o.text_path + " cannot be restored: " +
                    (converted == 0 ? std::string("it holds no NV item") : cerr.reason) +
                    (cerr.item ? " (NV item " + std::to_string(cerr.item) + ")" : "");
        o.bad_input = true;
        ch.Debug("DoDownloadQCN: " + o.message);
        ch.MessageBox(o.message);
        return kRestoreBadText;
    }
    o.items = converted;
    File hex(std::fopen(o.record_path.c_str(), "wb"));
    bool hex_ok = hex != nullptr;
    uint8_t raw[kRecordSize];
    for (const QcnRecord& r : converted_records) {
        SerializeRecord(r, raw);
        hex_ok = hex_ok && std::fwrite(raw, 1, kRecordSize, hex.get()) == kRecordSize;
    }
    if (hex) {
        hex_ok = std::fflush(hex.get()) == 0 && !std::ferror(hex.get()) && hex_ok;
        hex_ok = (std::fclose(hex.release()) == 0) && hex_ok;
    }
    if (!hex_ok) {
        o.message = "can not open qcn.hex";
        ch.MessageBox(o.message);
        return kQcnFileError;
    }

    std::vector<QcnRecord> records;
    records.reserve(static_cast<size_t>(converted));
    File again(std::fopen(o.record_path.c_str(), "rb"));
    if (!again || !ReadRecordFile(again.get(), records)) {
        o.message = "can not open qcn.hex   2";
        ch.MessageBox(o.message);
        return kQcnFileError;
    }
    again.reset();

    // A file named after a phone goes into that phone only. A phone with no identity left (its
    // NV items erased) is the one a restore is for.
    const std::string file_imei = ImeiOfQcnFile(o.text_path);
    if (!file_imei.empty() && !imei_asked) {
        char phone[16] = {};
        int ir = ReadImei(ch, phone);
        if (ir == kImeiRead && AllDigits(phone) && file_imei != phone) {
            int r = failed(kRestoreWrongPhone, "The QCN file " + o.text_path +
                                                   " belongs to the phone with IMEI " + file_imei +
                                                   ", but this phone's IMEI is " + phone +
                                                   ". Nothing was written.");
            ch.MessageBox(o.message);
            return r;
        }
        if (ir != kImeiRead || !AllDigits(phone))
            ch.Debug("DoDownloadQCN: the phone has no readable IMEI; restoring IMEI " + file_imei);
    }

    uint8_t answer[kAnswerSize];
    std::string why;
    int taken = 0;
    for (const QcnRecord& r : records) {
        ++o.sent;
        RecordWrite w = WriteRecord(ch, r, answer, why);
        bool twice = false;
        if (w == RecordWrite::NotTaken) {
            RetryPause(ch);
            w = WriteRecord(ch, r, answer, why);
            twice = true;
        }
        if (w == RecordWrite::NotTaken || w == RecordWrite::ReadOnlyDiffers)
            return failed(kRestoreRefused,
                          ItemName(RecordKind(r.area.data()), RecordItem(r.area.data())) + " " +
                              why + (twice ? ", sent twice" : ""));
        ++(w == RecordWrite::Accepted ? o.accepted : o.verified);
        ++taken;
        if (taken < 1000) ch.Report(taken / 15);
    }

    Request req;
    uint16_t len = BuildCloseRequest(req);
    for (int attempt = 1;; ++attempt) {
        std::memset(answer, 0, sizeof answer);
        int r = ch.Exchange(req.data(), len, answer, kAnswerSize);
        if (r != -1 && IsCloseReply(req, answer, r)) break;
        if (attempt == 2) {
            std::string what =
                r == -1 ? "got no answer"
                : r >= static_cast<int>(kCloseAnswerLength) &&
                        std::memcmp(answer, req.data(), 4) == 0
                    ? "was answered with the error number " +
                          std::to_string(GetU16(answer + 10) | uint32_t{GetU16(answer + 12)} << 16)
                    : "was answered with " + DescribeAnswer(answer, static_cast<size_t>(r));
            return failed(kRestoreRefused, "the closing request " + what + ", sent twice");
        }
        RetryPause(ch);
    }
    return kQcnOk;
}

} // namespace diag
