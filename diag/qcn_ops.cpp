#include "diag/qcn_ops.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
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

// One exchange, asked once more after a pause when it gets no answer.
int ExchangeWithRetry(DiagChannel& ch, const Request& req, uint16_t len, uint8_t* answer) {
    std::memset(answer, 0, kAnswerSize);
    int r = ch.Exchange(req.data(), len, answer, kAnswerSize);
    if (r != -1 || !ch.Pause(kRetryPauseMs)) return r;
    std::memset(answer, 0, kAnswerSize);
    return ch.Exchange(req.data(), len, answer, kAnswerSize);
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
    if (ch.Exchange(req.data(), len, answer, kAnswerSize) == -1) return kImeiNoAnswer;
    if (!IsNvReadReply(NvKind::Main, answer, kNvItemImei)) return kImeiNoAnswer;
    DecodeImei(answer, out);
    if (AnswerStatus(NvKind::Main, answer) != 0 || ImeiIsBlank(out)) return kImeiBlank;
    return kImeiRead;
}

int RunBackup(DiagChannel& ch, const std::string& qcn_folder, const std::string& list_folder,
              BackupOutcome* out) {
    BackupOutcome local;
    BackupOutcome& o = out ? *out : local;
    auto fail = [&](int code, const std::string& why) {
        o.message = why;
        ch.Debug("backup qcn failed (" + std::to_string(code) + "): " + why);
        return code;
    };
    const int row = ch.Row();
    // A restore on this slot must never pick up an earlier phone's file after this backup failed.
    SlotImeiStore::Clear(row);

    char imei[16] = {};
    int ir = ReadImei(ch, imei);
    if (ir == kImeiNoAnswer)
        return fail(kQcnNoImei, "the phone gave no NV read reply for its IMEI (item 550)");
    if (ir == kImeiBlank)
        return fail(kQcnNoImei, "the phone's IMEI reads as blank (" + std::string(imei) + ")");
    o.imei = imei;
    SlotImeiStore::Set(row, o.imei);

    const std::string final_path = QcnTextPath(qcn_folder, o.imei);
    o.path = PartialPath(final_path);
    QcnTextWriter writer;
    if (!writer.Open(o.path))
        return fail(kQcnFileError, "cannot create " + o.path + ": " + std::strerror(errno));

    const std::string list_path = JoinFolder(list_folder, "NVFrom.txt");
    File list;
    for (int attempt = 1; attempt <= kListAttempts; ++attempt) {
        list.reset(std::fopen(list_path.c_str(), "rb"));
        if (list) break;
        ch.Debug(Format("DoDownloadQCN GetLastError() = %d", errno));
        if (attempt < kListAttempts && !ch.Pause(kRetryPauseMs)) break;
    }
    if (!list) {
        writer.Close();
        return fail(kBackupListMissing, "cannot open " + list_path);
    }
    std::string list_text;
    if (!ReadWhole(list.get(), list_text)) {
        writer.Close();
        return fail(kBackupListMissing, "cannot read " + list_path);
    }
    list.reset();
    NvItemLists lists;
    std::string why;
    if (ParseNvList(list_text, lists, why) != ListStatus::Ok) {
        writer.Close();
        return fail(kBackupListUnusable, list_path + ": " + why);
    }

    uint8_t answer[kAnswerSize];
    Request req;
    int count = 0;
    const size_t total = lists.main.size() + lists.sim1.size();
    for (size_t i = 0; i < total; ++i) {
        const bool main = i < lists.main.size();
        const NvKind kind = main ? NvKind::Main : NvKind::Sim1;
        const uint16_t item = main ? lists.main[i] : lists.sim1[i - lists.main.size()];
        uint16_t len = BuildRead(kind, item, req);
        if (ExchangeWithRetry(ch, req, len, answer) == -1) {
            writer.Close();
            return fail(kBackupNoAnswer, std::string("NV item ") + (main ? "" : "(SIM 1) ") +
                                             std::to_string(item) +
                                             " got no answer, twice; the phone went silent");
        }
        // Only a value the phone holds is saved: an item it reports as inactive or unknown, or
        // an error answer, has no value to give back, and writing one would activate the item
        // with the zeros of the answer.
        const uint16_t status = AnswerStatus(kind, answer);
        if (!IsNvReadReply(kind, answer, item) || status != 0) {
            ch.Debug("backup qcn: NV item " + std::string(main ? "" : "(SIM 1) ") +
                     std::to_string(item) +
                     (IsNvReadReply(kind, answer, item)
                          ? " not saved, status " + std::to_string(status)
                          : " not saved, answer code " + std::to_string(answer[0])));
            ++o.skipped;
        } else if (!writer.AppendBlock(kind, item, AnswerData(kind, answer))) {
            writer.Close();
            return fail(kQcnFileError, "cannot write " + o.path);
        } else {
            ++o.items;
        }
        ++count;
        if (count < 6000) ch.Report(count / 17);
    }
    ch.Debug(Format("backup qcn GetLastError() = %d", 0));
    if (!writer.Commit(final_path))
        return fail(kQcnFileError, "cannot complete " + final_path + ": " + std::strerror(errno));
    o.path = final_path;
    return kQcnOk;
}

int RunRestore(DiagChannel& ch, bool use_path, const std::string& qcn_path,
               const std::string& folder, RestoreOutcome* out) {
    RestoreOutcome local;
    RestoreOutcome& o = out ? *out : local;
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
        }
        o.text_path = QcnTextPath(folder, imei);
    }
    o.record_path = RecordPathFor(o.text_path);

    ch.Report(0, "enter DoDownloadQCN", ch.Port());

    File text(std::fopen(o.text_path.c_str(), "rb"));
    if (!text) {
        o.message = "can not open qcn.txt";
        ch.MessageBox(o.message);
        return kQcnFileError;
    }
    File hex(std::fopen(o.record_path.c_str(), "wb"));
    if (!hex) {
        o.message = "can not open qcn.hex";
        ch.MessageBox(o.message);
        return kQcnFileError;
    }
    ConvertError cerr;
    int converted = ConvertQcnText(text.get(), hex.get(), nullptr, MessageStream(), &cerr);
    text.reset();
    bool hex_ok = std::fflush(hex.get()) == 0 && !std::ferror(hex.get());
    hex_ok = (std::fclose(hex.release()) == 0) && hex_ok;
    if (converted < 0) {
        // Nothing has been sent: a phone must never be left with part of its calibration.
        std::remove(o.record_path.c_str());
        o.message = o.text_path + " cannot be restored: " + cerr.reason +
                    (cerr.item ? " (NV item " + std::to_string(cerr.item) + ")" : "");
        ch.Debug("DoDownloadQCN: " + o.message);
        ch.MessageBox(o.message);
        return kRestoreBadText;
    }
    o.items = converted;
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

    uint8_t answer[kAnswerSize];
    Request req;
    int count = 0;
    for (const QcnRecord& r : records) {
        req = r.area;
        if (ExchangeWithRetry(ch, req, static_cast<uint16_t>(r.length), answer) == -1) {
            ch.Report(100, "-fail", -1);
            ch.Debug(Format("DoDownloadQCN GetLastError() = %d", 0));
            o.message =
                "NV item " +
                std::to_string(GetU16(&r.area[r.area[0] == kCmdNvWrite ? 1 : kNvSimItemOffset])) +
                " got no answer, twice";
            return kRestoreNoAnswer;
        }
        ++count;
        o.sent = count;
        if (count < 1000) ch.Report(count / 15);
    }
    uint16_t len = BuildCloseRequest(req);
    std::memset(answer, 0, sizeof answer);
    ch.Exchange(req.data(), len, answer, kAnswerSize);
    return kQcnOk;
}

} // namespace diag
