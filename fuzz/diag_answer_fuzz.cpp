// DIAG answers with any bytes, to the IMEI read, to a QCN backup's NV reads and to a QCN
// restore's NV writes and closing request: no crash, and no decision rests on bytes that did
// not arrive. Each script runs twice, the bytes past every received answer set to 0x00 and then
// to 0xA5; result, counts, IMEI and the backup file written must not differ.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "diag/flashboot_qcn.h"
#include "diag/imei.h"
#include "diag/qcn_file.h"
#include "engine/emmc_download.h"
#include "engine/flashboot.h"
#include "fuzz/fake_link.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/scratch.h"
#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

// Three main items (the IMEI first) and one SIM 1 item.
constexpr char kList[] = "NV item: 00550 [IMEI]\r\nNV item: 10 [A]\r\nNV item: 4678 [B]\r\n"
                         " NV item (SIM 1): 453 [C]\r\n";

std::string Slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Every file of a folder with its bytes, then the folder emptied.
std::string TakeFolder(const fs::path& dir) {
    std::string all;
    std::vector<fs::path> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path());
    std::sort(names.begin(), names.end());
    for (const auto& p : names) {
        all += p.filename().string() + "\n" + Slurp(p) + "\n";
        fs::remove(p);
    }
    return all;
}

const std::string& RestoreFile() {
    static const std::string path = [] {
        std::string text = std::string(diag::kQcnFirstLine) + diag::kLineEnd;
        uint8_t data[128];
        char block[diag::kBlockMax];
        for (uint16_t item : {10, 4678}) {
            for (int i = 0; i < 128; ++i)
                data[i] = static_cast<uint8_t>(item + i);
            text.append(block, diag::FormatQcnBlock(diag::NvKind::Main, item, data, block));
        }
        text.append(block, diag::FormatQcnBlock(diag::NvKind::Sim1, 453, data, block));
        const std::string p = fuzz::ScratchDir() + "/restore/qcn.txt";
        fs::create_directories(fs::path(p).parent_path());
        fuzz::WriteFile(p, text.data(), text.size());
        return p;
    }();
    return path;
}

std::string Run(Flashboot* m, int mode,
                const std::vector<std::vector<std::vector<uint8_t>>>& answers, uint8_t fill) {
    auto& s = fakelink::script();
    s = {};
    s.fill = fill;
    for (const auto& a : answers)
        s.answers.push_back(a);
    diag::SlotImeiStore::ClearAll();
    const std::string qcn = fuzz::ScratchDir() + "/qcn/";
    const std::string list = fuzz::ScratchDir() + "/list/";
    std::string outcome;
    if (mode == 0) {
        char imei[16] = {};
        char* p = imei;
        outcome = std::to_string(m->GetIMEI(&p)) + " " + imei;
    } else if (mode == 1) {
        diag::BackupOutcome o;
        const int r = diag::BackUpQcn(m, m, qcn.c_str(), list.c_str(), &o);
        outcome = std::to_string(r) + " " + o.imei + " " + std::to_string(o.items) + " " +
                  std::to_string(o.skipped) + "\n" + TakeFolder(qcn);
    } else {
        m->m_reserved0 = 1;
        std::snprintf(m->qcnpath, sizeof m->qcnpath, "%s", RestoreFile().c_str());
        diag::RestoreOutcome o;
        const int r = diag::DownloadQcn(m, m, "", &o);
        outcome = std::to_string(r) + " " + std::to_string(o.sent) + " " +
                  std::to_string(o.accepted) + " " + std::to_string(o.verified);
        fs::remove(diag::RecordPathFor(RestoreFile()));
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Flashboot* module = [] {
        tw::clock::set_scale(1e-6); // the pauses between tries are not what is tested
        diag::SetMessageStream(nullptr);
        emmc::SetMessageBox([](const char*, const char*) {});
        fs::create_directories(fuzz::ScratchDir() + "/qcn");
        fs::create_directories(fuzz::ScratchDir() + "/list");
        const std::string list = fuzz::ScratchDir() + "/list/NVFrom.txt";
        fuzz::WriteFile(list, kList, sizeof kList - 1);
        return CreateModule(3, 1, nullptr);
    }();
    fuzz::Input in(data, size);
    const int mode = in.u8() % 3;
    std::vector<std::vector<std::vector<uint8_t>>> answers;
    while (!in.empty() && answers.size() < 40) {
        const uint8_t frames = in.u8() % 4; // 3 counts as 1: most requests are answered
        std::vector<std::vector<uint8_t>> a;
        for (int f = 0; f < (frames == 3 ? 1 : frames); ++f)
            a.push_back(in.bytes(in.upto(300)));
        answers.push_back(std::move(a));
    }
    const std::string zeros = Run(module, mode, answers, 0x00);
    const std::string fives = Run(module, mode, answers, 0xA5);
    if (zeros != fives)
        std::fprintf(stderr, "past the answers 0x00:\n%s\npast the answers 0xA5:\n%s\n",
                     zeros.c_str(), fives.c_str());
    FUZZ_CHECK(zeros == fives);
    return 0;
}
