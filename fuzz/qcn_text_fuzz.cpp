// The QCN text file and its conversion to records, on any text: an accepted file gives as many
// records as it counts, the record file holds exactly those records, and the records written
// back as a text file convert to the same records (what a backup writes, a restore reads).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diag/qcn_file.h"
#include "fuzz/fuzz_input.h"

namespace {

bool SameRecords(const std::vector<diag::QcnRecord>& a, const std::vector<diag::QcnRecord>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].length != b[i].length || a[i].area != b[i].area) return false;
    return true;
}

// Converts text; the record file's bytes go to hex_bytes.
int Convert(const std::string& text, std::vector<diag::QcnRecord>& records,
            std::string& hex_bytes) {
    // fmemopen refuses an empty buffer; an empty file reads the same as one without lines.
    std::string buf = text;
    FILE* in = buf.empty() ? std::fopen("/dev/null", "rb") : fmemopen(buf.data(), buf.size(), "rb");
    char* out_buf = nullptr;
    size_t out_len = 0;
    FILE* out = open_memstream(&out_buf, &out_len);
    if (!in || !out) std::abort();
    diag::ConvertError err;
    const int n = diag::ConvertQcnText(in, out, &records, nullptr, &err);
    std::fclose(in);
    std::fclose(out);
    hex_bytes.assign(out_buf, out_len);
    std::free(out_buf);
    if (n < 0) FUZZ_CHECK(!err.reason.empty());
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<diag::QcnRecord> records;
    std::string hex;
    const int n = Convert(text, records, hex);
    if (n < 0) return 0;
    FUZZ_CHECK(records.size() == static_cast<size_t>(n));
    FUZZ_CHECK(hex.size() == records.size() * diag::kRecordSize);

    std::vector<diag::QcnRecord> read;
    if (!hex.empty()) {
        FILE* f = fmemopen(hex.data(), hex.size(), "rb");
        FUZZ_CHECK(f && diag::ReadRecordFile(f, read));
        std::fclose(f);
    }
    FUZZ_CHECK(SameRecords(read, records));

    std::string again = std::string(diag::kQcnFirstLine) + diag::kLineEnd;
    char block[diag::kBlockMax];
    for (const auto& r : records) {
        const diag::NvKind kind = diag::RecordKind(r.area.data());
        FUZZ_CHECK(r.length == (kind == diag::NvKind::Main ? diag::kNvRequestLength
                                                           : diag::kNvSimRequestLength));
        const size_t len = diag::FormatQcnBlock(kind, diag::RecordItem(r.area.data()),
                                                diag::RecordData(r.area.data()), block);
        again.append(block, len);
    }
    std::vector<diag::QcnRecord> back;
    std::string hex_again;
    FUZZ_CHECK(Convert(again, back, hex_again) == n);
    FUZZ_CHECK(SameRecords(back, records) && hex_again == hex);
    return 0;
}
