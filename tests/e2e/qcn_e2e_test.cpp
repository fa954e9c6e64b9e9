// QCN backup and restore end to end: the engine's modules and the command line against
// simulated phones, time scaled down.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "diag/flashboot_qcn.h"
#include "diag/imei.h"
#include "diag/nv.h"
#include "diag/nv_list.h"
#include "diag/qcn_file.h"
#include "engine/debug_out.h"
#include "engine/emmc_download.h"
#include "engine/flashboot.h"
#include "engine/hex_convert.h"
#include "fastboot/fastboot.h"
#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "tests/common/files.h"
#include "tests/common/sim_package.h"

namespace fs = std::filesystem;

namespace {

using twtest::Slurp;

constexpr double kScale = 0.01;

std::string TempDir(const char* tag) {
    std::string t = std::string("/tmp/tw-qcn-") + tag + "-XXXXXX";
    return ::mkdtemp(t.data()) ? t : std::string();
}

const std::string& Package() {
    return twtest::SimPackage();
}

// One NV item of a phone's state file.
struct NvValue {
    bool active = false;
    std::string hex; // 256 hex digits, upper case as the state file has them
    bool operator==(const NvValue&) const = default;
};
using NvState = std::map<std::pair<int, int>, NvValue>; // (context, item)

NvState ParseNv(const std::string& text) {
    NvState s;
    std::istringstream in(text);
    int ctx = 0, item = 0;
    std::string act, rw, hex;
    while (in >> ctx >> item >> act >> rw >> hex)
        s[{ctx, item}] = {act == "active", hex};
    return s;
}

// The listed items in the order a backup reads them: main items, then SIM 1 items.
std::vector<std::pair<int, int>> ListedItems() {
    diag::NvItemLists l;
    std::string why;
    diag::ParseNvList(Slurp(Package() + "/NVFrom.txt"), l, why);
    std::vector<std::pair<int, int>> out;
    for (uint16_t i : l.main)
        out.push_back({0, i});
    for (uint16_t i : l.sim1)
        out.push_back({1, i});
    return out;
}

// The QCN text a backup of this state must give, built here from the state file alone.
std::string ExpectedQcn(const NvState& nv) {
    std::string s = "NV Items:\r\n";
    for (auto key : ListedItems()) {
        auto it = nv.find(key);
        if (it == nv.end() || !it->second.active) continue;
        char line[64];
        std::snprintf(line, sizeof line,
                      key.first ? "NV item (SIM 1): %d index\r\n" : "NV item: %d index\r\n",
                      key.second);
        s += line;
        for (int k = 0; k < 8; ++k) {
            s += std::to_string(k) + ":";
            for (int b = 0; b < 16; ++b) {
                std::string byte = it->second.hex.substr(static_cast<size_t>(32 * k + 2 * b), 2);
                for (char& c : byte)
                    c = static_cast<char>(std::tolower(c));
                s += " " + byte;
            }
            s += "\r\n";
        }
    }
    return s;
}

// Listed items the phone holds no value for: a backup skips and counts them.
int ExpectedSkips(const NvState& nv) {
    int n = 0;
    for (auto key : ListedItems()) {
        auto it = nv.find(key);
        n += it == nv.end() || !it->second.active;
    }
    return n;
}

// A listed main item after the IMEI that holds calibration: a re-flash loses its value.
uint16_t CalibratedItem() {
    for (const auto& e : phonesim::nv_catalog())
        if (e.context == 0 && e.listed && e.defined && e.calibrated && e.item > 550) return e.item;
    return 0;
}

// What the module's callback reported, for the "-fail" a failed restore leaves on its row.
std::vector<std::string> g_statuses;
int RecordStatus(Download* d) {
    if (d && d->pStatus) g_statuses.push_back(d->pStatus);
    return 0;
}

class QcnE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(kScale);
        diag::SetMessageStream(nullptr);
        diag::SlotImeiStore::ClearAll();
        root = TempDir("run");
        dev = root + "/dev";
        state = root + "/state";
        qcn = root + "/qcn/";
        fs::create_directories(qcn);
        ::setenv("TARNWELL_DEVICE_DIR", dev.c_str(), 1);
    }
    void TearDown() override {
        sim.stop();
        std::error_code ec;
        fs::remove_all(root, ec);
        diag::SlotImeiStore::ClearAll();
    }
    bool Start(int phones, std::vector<std::string> faults = {}, bool auto_fastboot = false) {
        phonesim::SimOptions o;
        o.auto_fastboot = auto_fastboot;
        o.device_dir = dev;
        o.state_dir = state;
        o.package = Package();
        o.phones = phones;
        for (const auto& f : faults) {
            std::string err;
            auto spec = phonesim::parse_fault(f, err);
            if (!spec) return false;
            o.faults.push_back(*spec);
        }
        std::string err;
        if (!sim.start(o, err)) {
            ADD_FAILURE() << err;
            return false;
        }
        return true;
    }
    std::string PhoneDir(int i) const {
        char name[24];
        std::snprintf(name, sizeof name, "phone%02d", i);
        return state + "/" + name;
    }
    // The value of key in the phone's info file once it shows this phase ("" on time-out).
    std::string Info(int i, const std::string& phase, const std::string& key) {
        for (int t = 0; t < 1000; ++t) {
            std::string info = Slurp(PhoneDir(i) + "/info.ini");
            auto p = info.find("\n" + key + "=");
            if (p != std::string::npos && info.find("phase=" + phase + "\n") != std::string::npos) {
                auto b = p + key.size() + 2;
                std::string v = info.substr(b, info.find('\n', b) - b);
                if (!v.empty() && v != "0") return v;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "";
    }
    int Com(int i, const std::string& phase = "diag") {
        return std::atoi(Info(i, phase, "com").c_str());
    }
    NvState Nv(int i) { return ParseNv(Slurp(PhoneDir(i) + "/nv.txt")); }
    // Waits until the phone's state file settles on what pred wants (it is written shortly
    // after a change).
    bool WaitNv(int i, const std::function<bool(const NvState&)>& pred) {
        for (int t = 0; t < 300; ++t) {
            if (pred(Nv(i))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Overwrites every active listed item with a pattern and the IMEI with zeros, as a flash
    // that lost the calibration would leave them.
    static int Scramble(Flashboot* m, const NvState& nv, uint8_t pattern) {
        int n = 0;
        uint8_t data[128], zeros[128] = {};
        std::memset(data, pattern, sizeof data);
        diag::Request req;
        uint8_t ans[256];
        for (auto key : ListedItems()) {
            auto it = nv.find(key);
            if (it == nv.end() || !it->second.active) continue;
            uint16_t len = diag::BuildWrite(key.first ? diag::NvKind::Sim1 : diag::NvKind::Main,
                                            static_cast<uint16_t>(key.second),
                                            key == std::pair{0, 550} ? zeros : data, req);
            if (m->Diag_Service_RequestAndResponse(req.data(), len, ans, sizeof ans) == 0) ++n;
        }
        return n;
    }

    std::string root, dev, state, qcn;
    phonesim::Simulator sim;
};

TEST_F(QcnE2E, BackupScrambleRestoreGivesEveryItemBackAndTheFilesAreExact) {
    ASSERT_TRUE(Start(1));
    const int com = Com(0);
    ASSERT_GT(com, 0);
    ASSERT_TRUE(WaitNv(0, [](const NvState& s) { return !s.empty(); }));
    const NvState before = Nv(0);

    Flashboot* m = CreateModule(com, 1, nullptr);
    ASSERT_NE(m, nullptr);
    m->m_pDownload->iProgressIndex = 4;
    diag::BackupOutcome b;
    ASSERT_EQ(diag::BackUpQcn(m, m, qcn.c_str(), (Package() + "/").c_str(), &b), 0) << b.message;
    const std::string name = qcn + sim.phone(0).imei() + ".txt";
    EXPECT_EQ(b.path, name);
    // The catalogue lists items the phone never wrote or lacks: skipped, and counted.
    EXPECT_EQ(b.skipped, ExpectedSkips(before));
    EXPECT_GT(b.skipped, 0);
    const std::string first = Slurp(b.path);
    EXPECT_EQ(first, ExpectedQcn(before));
    EXPECT_FALSE(fs::exists(b.path + ".partial"));
    // A second backup of the unchanged phone takes the name; the first is kept, dated.
    ASSERT_EQ(diag::BackUpQcn(m, m, qcn.c_str(), (Package() + "/").c_str(), &b), 0) << b.message;
    EXPECT_EQ(b.path, name);
    struct stat kept {};
    ASSERT_EQ(::stat(b.kept.c_str(), &kept), 0) << b.kept;
    EXPECT_EQ(b.kept, diag::DatedPath(name, kept.st_mtime)); // the first backup's own time
    EXPECT_EQ(Slurp(b.kept), first);
    EXPECT_EQ(Slurp(name), ExpectedQcn(before));

    EXPECT_EQ(Scramble(m, before, 0xEE), b.items);
    DeleteModule(m);
    ASSERT_TRUE(WaitNv(0, [&](const NvState& s) { return s != before; }));
    char imei[16] = {};
    char* p = imei;
    m = CreateModule(com, 1, nullptr);
    EXPECT_EQ(m->GetIMEI(&p), diag::kImeiBlank); // the phone's own IMEI is gone

    // The restore finds the file through the IMEI its slot's backup read.
    m->m_pDownload->iProgressIndex = 4;
    diag::RestoreOutcome r;
    EXPECT_EQ(diag::DownloadQcn(m, m, qcn.c_str(), &r), 0) << r.message;
    EXPECT_EQ(r.sent, b.items);
    EXPECT_EQ(r.accepted, b.items);
    DeleteModule(m);
    EXPECT_TRUE(WaitNv(0, [&](const NvState& s) { return s == before; }));
    const std::string hex = qcn + sim.phone(0).imei() + ".hex";
    ASSERT_TRUE(fs::exists(hex));
    EXPECT_EQ(fs::file_size(hex), static_cast<uintmax_t>(b.items) * diag::kRecordSize);
    // Every record: length, then a main (27) or SIM 1 (4B 30 02 00 .. 01 00) NV write.
    std::string rec = Slurp(hex);
    for (size_t off = 0; off < rec.size(); off += diag::kRecordSize) {
        uint32_t len = static_cast<uint8_t>(rec[off]) | static_cast<uint8_t>(rec[off + 1]) << 8;
        const uint8_t* a = reinterpret_cast<const uint8_t*>(rec.data() + off + 4);
        if (len == 133) {
            EXPECT_EQ(a[0], 0x27);
        } else {
            ASSERT_EQ(len, 138u);
            EXPECT_EQ(a[0], 0x4B);
            EXPECT_EQ(a[2], 0x02);
            EXPECT_EQ(a[6], 0x01);
        }
    }
}

// The AT line that opens every link goes out raw, and a DIAG request has no opening flag: unless
// the line ends with a flag of its own, the phone takes it for the head of the first request and
// drops that request for its FCS. The phone's error answer to the line itself is no answer.
TEST_F(QcnE2E, AnImeiReadAsTheFirstExchangeOfANewLinkIsAnswered) {
    ASSERT_TRUE(Start(1));
    const int com = Com(0);
    ASSERT_GT(com, 0);
    for (int round = 0; round < 3; ++round) {
        Flashboot* m = CreateModule(com, 1, nullptr);
        ASSERT_NE(m, nullptr);
        char imei[16] = {};
        char* p = imei;
        EXPECT_EQ(m->GetIMEI(&p), 1) << "round " << round;
        EXPECT_EQ(std::string(imei), sim.phone(0).imei()) << "round " << round;
        DeleteModule(m);
    }
    const std::string log = Slurp(PhoneDir(0) + "/log.txt");
    EXPECT_NE(log.find("bad FCS, dropped -> error answer"), std::string::npos)
        << "the phone saw the AT line as a frame of its own";
}

// An answer is read as soon as it arrives, so an answer the phone sends late, or a second time,
// reaches the host while a later request waits. It must be dropped there, never taken for that
// request's answer: on a slow link, with duplicated answers to an IMEI read, NV reads, NV writes
// and the last write before the closing request, backup and restore still give every item its
// own value.
TEST_F(QcnE2E, LeftOverAnswersOnASlowLinkAreNeverTakenForALaterRequest) {
    // Requests 1-332 are the backup (the IMEI read first), 333-631 the scramble, 632-932 the
    // restore (its IMEI check first, its last write before the closing request at 931). Each
    // duplicate goes out ahead of the answer to the next request, while the host waits for it.
    std::vector<std::string> faults = {"diag:slow=2000"};
    std::vector<int> twice;
    for (int k = 1; k <= 321; k += 16)
        twice.push_back(k);
    for (int k = 632; k <= 931; k += 16)
        twice.push_back(k);
    twice.push_back(931);
    for (int k : twice)
        faults.push_back("diag:stale@" + std::to_string(k) + "=1");
    ASSERT_TRUE(Start(1, faults));
    const int com = Com(0);
    ASSERT_GT(com, 0);
    ASSERT_TRUE(WaitNv(0, [](const NvState& s) { return !s.empty(); }));
    const NvState before = Nv(0);
    std::atomic<int> dropped{0};
    sondrel::SetDebugCapture([&](const std::string& line) {
        if (line.find("an answer to another request dropped") != std::string::npos) ++dropped;
    });

    Flashboot* m = CreateModule(com, 1, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->DiagPauseMs(), 0);
    diag::BackupOutcome b;
    ASSERT_EQ(diag::BackUpQcn(m, m, qcn.c_str(), (Package() + "/").c_str(), &b), 0) << b.message;
    EXPECT_EQ(Slurp(b.path), ExpectedQcn(before));
    EXPECT_EQ(Scramble(m, before, 0x5A), b.items);
    DeleteModule(m);
    ASSERT_TRUE(WaitNv(0, [&](const NvState& s) { return s != before; }));

    m = CreateModule(com, 1, nullptr);
    ASSERT_NE(m, nullptr);
    diag::RestoreOutcome r;
    EXPECT_EQ(diag::DownloadQcn(m, m, qcn.c_str(), &r), 0) << r.message;
    EXPECT_EQ(r.accepted, b.items);
    DeleteModule(m);
    sondrel::SetDebugCapture(nullptr);
    EXPECT_TRUE(WaitNv(0, [&](const NvState& s) { return s == before; }));
    const std::string log = Slurp(PhoneDir(0) + "/log.txt");
    size_t sent_twice = 0;
    for (size_t p = log.find("stale answer sent again"); p != std::string::npos;
         p = log.find("stale answer sent again", p + 1))
        ++sent_twice;
    EXPECT_EQ(sent_twice, twice.size());
    EXPECT_EQ(dropped.load(), static_cast<int>(twice.size()));
}

// The station's cycle: backup, reset to emergency download, the modem images (which put every
// NV item back to its factory value, lose the calibration and blank the IMEI), fastboot reboot,
// restore. The first restore is refused at a calibrated item, twice: the half-restored phone's
// next backup must not replace the good one.
TEST_F(QcnE2E, BackupEmergencyDownloadRestore) {
    const uint16_t cal = CalibratedItem();
    ASSERT_NE(cal, 0);
    ASSERT_TRUE(Start(1, {"diag:nv-write=fail@" + std::to_string(cal) + "x2"}, true));
    const int diag_com = Com(0);
    ASSERT_GT(diag_com, 0);
    ASSERT_TRUE(WaitNv(0, [](const NvState& s) { return !s.empty(); }));
    const NvState before = Nv(0);
    std::string eng = root + "/eng";
    fs::copy(Package(), eng, fs::copy_options::recursive);
    sondrel::hex::HexConversion conv;
    ASSERT_EQ(sondrel::hex::ConvertHexToBin(eng + "/modem/NPRG7627A.hex", conv), 0) << conv.error;

    Flashboot* m = CreateModule(diag_com, 1, nullptr);
    m->m_portNumber = diag_com;
    m->m_pDownload->iProgressIndex = 2;
    ASSERT_EQ(m->DoBackUpQCN(m, qcn.c_str(), (Package() + "/").c_str()), 0);
    m->DoResetPhone(m);
    DeleteModule(m);

    const int qdl = Com(0, "dmss");
    ASSERT_GT(qdl, 0);
    m = CreateModule(qdl, 1, nullptr);
    m->m_portNumber = qdl;
    Flashboot* self = m;
    ASSERT_EQ(m->Emergency_Download_Kestrin(self, eng.data(), conv.start, 1), 0);
    DeleteModule(m);
    ASSERT_TRUE(WaitNv(0, [&](const NvState& s) {
        auto it = s.find({0, 550});
        return it != s.end() && it->second.hex == std::string(256, '0');
    })) << "the modem images did not reset the NV items";
    EXPECT_NE(Nv(0), before);

    const std::string address = Info(0, "fastboot", "address");
    ASSERT_FALSE(address.empty());
    FBDeviceHandle fb = FBOpenDevice(address);
    ASSERT_NE(fb, 0u) << FBLastError(0);
    EXPECT_EQ(FBReboot(fb), 0);
    FBCloseDevice(fb);

    const int back = Com(0);
    ASSERT_GT(back, 0);
    m = CreateModule(back, 1, nullptr);
    m->m_portNumber = back;
    m->m_pDownload->iProgressIndex = 2; // the slot whose backup named the file
    m->m_callbackfunc = RecordStatus;
    const std::string name = qcn + sim.phone(0).imei() + ".txt";
    const std::string first = Slurp(name);
    // No identity, no backup: the good file stays as it is.
    EXPECT_EQ(m->DoBackUpQCN(m, qcn.c_str(), (Package() + "/").c_str()), diag::kQcnNoImei);
    // That failed backup left its slot without an IMEI: the file is selected from now on.
    m->m_reserved0 = 1;
    std::snprintf(m->qcnpath, sizeof m->qcnpath, "%s", name.c_str());
    g_statuses.clear();
    diag::RestoreOutcome r;
    EXPECT_EQ(diag::DownloadQcn(m, m, qcn.c_str(), &r), diag::kRestoreRefused);
    EXPECT_NE(r.message.find("NV item " + std::to_string(cal) +
                             " was answered with the NV status "
                             "\"fail\", sent twice"),
              std::string::npos)
        << r.message;
    EXPECT_EQ(r.sent, r.accepted + 1);
    ASSERT_FALSE(g_statuses.empty());
    EXPECT_EQ(g_statuses.back(), "-fail");

    // The half-restored phone has its IMEI again but fewer items: its backup goes beside.
    diag::BackupOutcome b;
    ASSERT_EQ(diag::BackUpQcn(m, m, qcn.c_str(), (Package() + "/").c_str(), &b), 0) << b.message;
    EXPECT_EQ(b.current, name);
    EXPECT_NE(b.path, name);
    EXPECT_EQ(diag::ImeiOfQcnFile(b.path), sim.phone(0).imei());
    EXPECT_LT(b.items, diag::CountQcnItems(name));
    EXPECT_EQ(Slurp(name), first);

    EXPECT_EQ(m->DoDownloadQCN(m, qcn.c_str()), 0);
    DeleteModule(m);
    EXPECT_TRUE(WaitNv(0, [&](const NvState& s) { return s == before; }));
}

TEST_F(QcnE2E, SixteenPhonesFromSixteenThreads) {
    ASSERT_TRUE(Start(16));
    std::vector<int> coms(16);
    std::vector<NvState> before(16);
    for (int i = 0; i < 16; ++i) {
        coms[static_cast<size_t>(i)] = Com(i);
        ASSERT_GT(coms[static_cast<size_t>(i)], 0);
        ASSERT_TRUE(WaitNv(i, [](const NvState& s) { return !s.empty(); }));
        before[static_cast<size_t>(i)] = Nv(i);
    }
    std::vector<int> backup(16, -9), restore(16, -9);
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&, i] {
            const size_t s = static_cast<size_t>(i);
            Flashboot* m = CreateModule(coms[s], 1, nullptr);
            m->m_pDownload->iProgressIndex = i;
            backup[s] = m->DoBackUpQCN(m, qcn.c_str(), (Package() + "/").c_str());
            Scramble(m, before[s], static_cast<uint8_t>(0x10 + i));
            DeleteModule(m);
            m = CreateModule(coms[s], 1, nullptr);
            m->m_pDownload->iProgressIndex = i;
            restore[s] = m->DoDownloadQCN(m, qcn.c_str());
            DeleteModule(m);
        });
    }
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < 16; ++i) {
        const size_t s = static_cast<size_t>(i);
        EXPECT_EQ(backup[s], 0) << i;
        EXPECT_EQ(restore[s], 0) << i;
        EXPECT_EQ(Slurp(qcn + sim.phone(s).imei() + ".txt"), ExpectedQcn(before[s])) << i;
        EXPECT_TRUE(WaitNv(i, [&](const NvState& n) { return n == before[s]; })) << i;
    }
}

// Only a value or "inactive"/"unknown" lets a backup go on; "busy" is asked again.
TEST_F(QcnE2E, ItemAnswersDecideTheBackup) {
    const std::string k = std::to_string(CalibratedItem());
    ASSERT_TRUE(Start(
        3, {"0/diag:silence@40", "1/diag:nv-read=fail@" + k, "2/diag:nv-read=busy@" + k + "x2"}));
    std::vector<diag::BackupOutcome> b(3);
    std::vector<int> result(3);
    for (int i = 0; i < 3; ++i) {
        const int com = Com(i);
        ASSERT_GT(com, 0);
        Flashboot* m = CreateModule(com, 1, nullptr);
        m->m_pDownload->iProgressIndex = i;
        result[static_cast<size_t>(i)] = diag::BackUpQcn(
            m, m, qcn.c_str(), (Package() + "/").c_str(), &b[static_cast<size_t>(i)]);
        DeleteModule(m);
    }
    // Silent, and "fail" on item k: only the ".partial" file stays.
    for (size_t i : {size_t{0}, size_t{1}}) {
        EXPECT_EQ(result[i], diag::kBackupItemFailed) << i;
        const std::string name = qcn + sim.phone(i).imei() + ".txt";
        EXPECT_FALSE(fs::exists(name));
        ASSERT_EQ(b[i].path, name + ".partial");
        std::string partial = Slurp(b[i].path);
        EXPECT_EQ(static_cast<int>(std::count(partial.begin(), partial.end(), '\n')),
                  1 + 9 * b[i].items);
    }
    // The IMEI read was request 1: 38 items came back, each once.
    EXPECT_LE(b[0].items + b[0].skipped, 38);
    EXPECT_NE(b[1].message.find("NV item " + k + " was answered with the NV status \"fail\""),
              std::string::npos)
        << b[1].message;
    // "busy" twice, then the value: saved like every other item.
    EXPECT_EQ(result[2], 0) << b[2].message;
    EXPECT_EQ(Slurp(b[2].path), ExpectedQcn(Nv(2)));
    EXPECT_NE(Slurp(b[2].path).find("NV item: " + k + " index"), std::string::npos);
    EXPECT_EQ(b[2].skipped, ExpectedSkips(Nv(2)));
}

// A restore counts a record only when the phone took it, and goes only into its own phone.
TEST_F(QcnE2E, RestoreCountsOnlyWhatThePhoneTook) {
    const uint16_t k = CalibratedItem();
    // The last listed main item with a value; phone 1 holds it read-only.
    uint16_t ro = 0;
    for (const auto& e : phonesim::nv_catalog())
        if (e.context == 0 && e.listed && e.defined && e.factory_active && !e.readonly &&
            e.item != 550)
            ro = e.item;
    ASSERT_GT(ro, k);
    ASSERT_TRUE(Start(
        2, {"0/diag:nv-write=fail@" + std::to_string(k), "1/diag:readonly@" + std::to_string(ro)}));
    std::vector<NvState> before(2);
    std::vector<std::string> files(2);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(WaitNv(i, [](const NvState& s) { return !s.empty(); }));
        before[static_cast<size_t>(i)] = Nv(i);
        Flashboot* m = CreateModule(Com(i), 1, nullptr);
        m->m_pDownload->iProgressIndex = i;
        diag::BackupOutcome b;
        ASSERT_EQ(diag::BackUpQcn(m, m, qcn.c_str(), (Package() + "/").c_str(), &b), 0);
        files[static_cast<size_t>(i)] = b.path;
        Scramble(m, before[static_cast<size_t>(i)], 0x5A);
        DeleteModule(m);
    }
    auto restore = [&](int phone, const std::string& file, diag::RestoreOutcome& r) {
        Flashboot* m = CreateModule(Com(phone), 1, nullptr);
        m->m_callbackfunc = RecordStatus;
        m->m_reserved0 = 1;
        std::snprintf(m->qcnpath, sizeof m->qcnpath, "%s", file.c_str());
        g_statuses.clear();
        int result = diag::DownloadQcn(m, m, "", &r);
        DeleteModule(m);
        return result;
    };
    diag::RestoreOutcome r;
    // Phone 0 refuses item k every time: result 1 and "-fail", never 0.
    EXPECT_EQ(restore(0, files[0], r), diag::kRestoreRefused);
    EXPECT_EQ(g_statuses.back(), "-fail");
    EXPECT_EQ(r.sent, r.accepted + 1);
    // The records before item k went in (the IMEI among them); those after it did not.
    std::string scrambled;
    for (int i = 0; i < 128; ++i)
        scrambled += "5A";
    EXPECT_TRUE(WaitNv(0, [&](const NvState& s) {
        auto after = s.find({0, ro}), imei = s.find({0, 550});
        return after != s.end() && after->second.hex == scrambled && imei != s.end() &&
               imei->second == before[0].at({0, 550});
    }));

    // Phone 1 holds item ro read-only with the file's value: verified by reading it back.
    ASSERT_EQ(restore(1, files[1], r), 0) << r.message;
    EXPECT_EQ(r.verified, 1);
    EXPECT_EQ(r.accepted + r.verified, r.sent);
    EXPECT_TRUE(WaitNv(1, [&](const NvState& s) { return s == before[1]; }));

    // Phone 0's backup into phone 1: refused, phone 1 left exactly as it was.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string nv1 = Slurp(PhoneDir(1) + "/nv.txt");
    EXPECT_EQ(restore(1, files[0], r), diag::kRestoreWrongPhone);
    EXPECT_NE(r.message.find(sim.phone(0).imei()), std::string::npos) << r.message;
    EXPECT_NE(r.message.find(sim.phone(1).imei()), std::string::npos) << r.message;
    EXPECT_EQ(g_statuses.back(), "-fail");
    // A read-only item that holds another value than the file's is not taken.
    std::string text = Slurp(files[1]);
    size_t at = text.find("NV item: " + std::to_string(ro) + " index\r\n0: ");
    ASSERT_NE(at, std::string::npos);
    at = text.find("0: ", at) + 3;
    text[at] = text[at] == '0' ? '1' : '0';
    std::ofstream(files[1], std::ios::binary) << text;
    EXPECT_EQ(restore(1, files[1], r), diag::kRestoreRefused);
    EXPECT_NE(r.message.find("read-only"), std::string::npos) << r.message;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Slurp(PhoneDir(1) + "/nv.txt"), nv1);
}

TEST_F(QcnE2E, NoIdentityAndDamagedText) {
    ASSERT_TRUE(Start(1, {"diag:imei-unreadable"}));
    const int com = Com(0);
    ASSERT_GT(com, 0);
    Flashboot* m = CreateModule(com, 1, nullptr);
    EXPECT_EQ(m->DoBackUpQCN(m, qcn.c_str(), (Package() + "/").c_str()), diag::kQcnNoImei);
    EXPECT_TRUE(fs::is_empty(qcn));

    // A restore without a file and without an IMEI asks for the file.
    std::vector<std::string> boxes;
    emmc::SetMessageBox([&](const char* text, const char*) { boxes.push_back(text); });
    EXPECT_EQ(m->DoDownloadQCN(m, qcn.c_str()), diag::kQcnNoImei);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("Please select the QCN file"), std::string::npos);

    // A truncated text file: refused, nothing sent.
    const NvState before = Nv(0);
    auto requests = [&] {
        std::string log = Slurp(PhoneDir(0) + "/log.txt");
        size_t n = 0;
        for (size_t p = log.find("diag rx"); p != std::string::npos; p = log.find("diag rx", p + 1))
            ++n;
        return n;
    };
    const size_t sent_before = requests();
    std::string text =
        "NV Items:\r\nNV item: 10 index\r\n0: 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10\r\n";
    std::ofstream(qcn + "cut.txt", std::ios::binary) << text;
    m->m_reserved0 = 1;
    std::snprintf(m->qcnpath, sizeof m->qcnpath, "%s", (qcn + "cut.txt").c_str());
    EXPECT_EQ(m->DoDownloadQCN(m, qcn.c_str()), diag::kRestoreBadText);
    EXPECT_GT(sent_before, 0u);
    EXPECT_EQ(requests(), sent_before);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Nv(0), before);
    emmc::SetMessageBox(nullptr);
    DeleteModule(m);
}

TEST_F(QcnE2E, ListFileMissing) {
    ASSERT_TRUE(Start(1));
    const int com = Com(0);
    ASSERT_GT(com, 0);
    fs::create_directories(root + "/nolist");
    Flashboot* m = CreateModule(com, 1, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    diag::BackupOutcome b;
    EXPECT_EQ(diag::BackUpQcn(m, m, qcn.c_str(), (root + "/nolist/").c_str(), &b),
              diag::kBackupListMissing);
    // 19 pauses of 3000 ms between the 20 attempts, scaled.
    EXPECT_GE(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(static_cast<int>(19 * 3000 * kScale)));
    // Nothing written, and the phone was never asked.
    EXPECT_TRUE(b.path.empty());
    EXPECT_TRUE(fs::is_empty(qcn));
    // (The opening AT text reaches it as a frame with a bad FCS, which is not a request.)
    const std::string log = Slurp(PhoneDir(0) + "/log.txt");
    for (size_t p = log.find("diag rx"); p != std::string::npos; p = log.find("diag rx", p + 1))
        EXPECT_NE(log.substr(p, log.find('\n', p) - p).find("bad FCS"), std::string::npos) << log;
    DeleteModule(m);
}

} // namespace
