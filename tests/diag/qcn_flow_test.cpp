// Backup, restore and IMEI flows against an in-process phone.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "diag/imei.h"
#include "diag/qcn_file.h"
#include "diag/qcn_ops.h"
#include "fake_phone.h"
#include "platform/clock.h"
#include "tests/common/files.h"

namespace fs = std::filesystem;
using namespace diag;

namespace {

using twtest::Slurp;

class QcnFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.001);
        SetMessageStream(nullptr);
        SlotImeiStore::ClearAll();
        dir = fs::temp_directory_path() /
              ("qcnflow-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "qcn");
        fs::create_directories(dir / "list");
    }
    void TearDown() override {
        fs::remove_all(dir);
        SlotImeiStore::ClearAll();
        tw::clock::set_scale(1.0);
    }
    std::string Q() const { return (dir / "qcn").string() + "/"; }
    std::string L() const { return (dir / "list").string() + "/"; }
    void WriteList(const std::string& text) { std::ofstream(dir / "list" / "NVFrom.txt") << text; }
    // Fills the phone with random values for main items 1..n_main and SIM 1 items 1..n_sim.
    static void Fill(fake::Phone& p, int n_main, int n_sim, unsigned seed) {
        std::mt19937 rng(seed);
        for (int k = 0; k < 2; ++k)
            for (int i = 1; i <= (k ? n_sim : n_main); ++i) {
                fake::Data d;
                for (auto& b : d)
                    b = static_cast<uint8_t>(rng());
                p.nv[{k, static_cast<uint16_t>(i)}] = d;
            }
    }
    static std::string ListFor(int n_main, int n_sim, bool imei = true) {
        std::string s = imei ? "NV item: 00550 [NV_UE_IMEI_I]\r\n" : "; items\r\n";
        for (int i = 1; i <= n_main; ++i)
            s += "NV item: " + std::to_string(i) + " [M]\r\n";
        for (int i = 1; i <= n_sim; ++i)
            s += " NV item (SIM 1): " + std::to_string(i) + " [S]\r\n";
        return s;
    }
    fs::path dir;
};

TEST_F(QcnFlow, BackupThenRestoreBringsEveryItemBack) {
    fake::Phone phone(3);
    phone.SetImei("490154203237518");
    Fill(phone, 30, 12, 1);
    auto before = phone.nv;
    WriteList(ListFor(30, 12));

    BackupOutcome b;
    ASSERT_EQ(RunBackup(phone, Q(), L(), &b), kQcnOk) << b.message;
    EXPECT_EQ(b.path, Q() + "490154203237518.txt");
    EXPECT_EQ(b.items, 43);
    EXPECT_FALSE(fs::exists(b.path + ".partial"));
    std::string text = Slurp(b.path);
    EXPECT_EQ(text.substr(0, 31), "NV Items:\r\nNV item: 550 index\r\n");
    EXPECT_NE(text.find("NV item (SIM 1): 12 index\r\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 43 * 9);
    EXPECT_EQ(text.find(" \r\n"), std::string::npos);
    EXPECT_EQ(phone.positions.back(), 43 / 17);

    // The phone loses its NV items, as after an emergency download.
    for (auto& [k, d] : phone.nv)
        d.fill(0);
    RestoreOutcome r;
    ASSERT_EQ(RunRestore(phone, false, "", Q(), &r), kQcnOk) << r.message;
    EXPECT_EQ(r.text_path, b.path);
    EXPECT_EQ(r.sent, 43);
    EXPECT_EQ(r.accepted, 43);
    EXPECT_EQ(fs::file_size(Q() + "490154203237518.hex"), 43 * kRecordSize);
    EXPECT_EQ(phone.nv, before);
    EXPECT_EQ(phone.closings, 1);
    ASSERT_FALSE(phone.statuses.empty());
    EXPECT_EQ(phone.statuses.front(), "enter DoDownloadQCN");
    EXPECT_EQ(phone.ports.front(), 7);
}

TEST_F(QcnFlow, BackupFailuresNeverLeaveAFileARestoreWouldPickUp) {
    WriteList(ListFor(20, 0));
    // Silent from the 8th exchange on (the IMEI read is the first): no retry helps.
    {
        fake::Phone phone;
        phone.SetImei("356938035643809");
        Fill(phone, 20, 0, 2);
        phone.silent_from = 8;
        BackupOutcome b;
        EXPECT_EQ(RunBackup(phone, Q(), L(), &b), kBackupNoAnswer);
        EXPECT_EQ(b.path, Q() + "356938035643809.txt.partial");
        EXPECT_FALSE(fs::exists(Q() + "356938035643809.txt"));
        // What came before the silence is kept, and nothing was written twice.
        std::string partial = Slurp(b.path);
        EXPECT_EQ(std::count(partial.begin(), partial.end(), '\n'), 1 + 6 * 9);
        EXPECT_EQ(partial.find("NV item: 6 index"), std::string::npos);
        EXPECT_EQ(phone.exchanges, 9); // the item was asked twice
    }
    // One lost answer is asked once more and the backup completes.
    {
        fake::Phone phone;
        phone.SetImei("356938035643809");
        Fill(phone, 20, 0, 2);
        phone.silent_for_one = 5;
        EXPECT_EQ(RunBackup(phone, Q(), L()), kQcnOk);
        std::string text = Slurp(Q() + "356938035643809.txt");
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 21 * 9);
        EXPECT_FALSE(fs::exists(Q() + "356938035643809.txt.partial"));
    }
    // A second backup of the same phone while one is writing fails at once.
    {
        QcnTextWriter running;
        ASSERT_TRUE(running.Open(Q() + "356938035643809.txt.partial"));
        fake::Phone phone;
        phone.SetImei("356938035643809");
        BackupOutcome b;
        EXPECT_EQ(RunBackup(phone, Q(), L(), &b), kQcnFileError);
        EXPECT_NE(b.message.find("another backup"), std::string::npos) << b.message;
        EXPECT_EQ(phone.exchanges, 1); // the IMEI only
    }
    // A later failing backup of the same phone leaves the complete file as it was.
    {
        std::string kept = Slurp(Q() + "356938035643809.txt");
        fake::Phone phone;
        phone.SetImei("356938035643809");
        phone.silent_from = 3;
        EXPECT_EQ(RunBackup(phone, Q(), L()), kBackupNoAnswer);
        EXPECT_EQ(Slurp(Q() + "356938035643809.txt"), kept);
    }
}

TEST_F(QcnFlow, NoIdentityNoFile) {
    WriteList(ListFor(3, 0));
    fake::Phone silent;
    silent.silent_from = 1;
    BackupOutcome b;
    EXPECT_EQ(RunBackup(silent, Q(), L(), &b), kQcnNoImei);
    fake::Phone blank; // item 550 never written: reads inactive, zeros
    EXPECT_EQ(RunBackup(blank, Q(), L(), &b), kQcnNoImei);
    fake::Phone zeros;
    zeros.nv[{0, 550}] = fake::Data{};
    EXPECT_EQ(RunBackup(zeros, Q(), L(), &b), kQcnNoImei);
    EXPECT_TRUE(fs::is_empty(dir / "qcn"));
    EXPECT_EQ(silent.exchanges, 1);
    std::string imei;
    EXPECT_FALSE(SlotImeiStore::Get(0, imei));
}

TEST_F(QcnFlow, ListProblemsFailBeforeThePhoneIsAsked) {
    fake::Phone phone;
    phone.SetImei("490154203237518");
    Fill(phone, 3, 0, 4);
    BackupOutcome b;
    // Missing list: 20 attempts, result 1, nothing written.
    EXPECT_EQ(RunBackup(phone, Q(), L(), &b), kBackupListMissing);
    int attempts = 0;
    for (auto& l : phone.debug)
        attempts += l.rfind("DoDownloadQCN GetLastError() = ", 0) == 0;
    EXPECT_EQ(attempts, 20);
    EXPECT_TRUE(fs::is_empty(dir / "qcn"));
    EXPECT_EQ(phone.exchanges, 0);

    // Next to a good backup, no list without a usable item touches it.
    WriteList(ListFor(3, 0));
    ASSERT_EQ(RunBackup(phone, Q(), L()), kQcnOk);
    const std::string good = Slurp(Q() + "490154203237518.txt");
    const int asked = phone.exchanges;
    std::string big;
    for (int i = 0; i < 1400; ++i)
        big += "NV item: " + std::to_string(10000 + i) + " [n]\n";
    std::string binary(4096, '\0');
    std::mt19937 rng(7);
    for (auto& c : binary)
        c = static_cast<char>(rng());
    for (const std::string& list : {std::string(), binary, big, std::string("NV item: abc [x]\n"),
                                    std::string("; NV item list\r\n")}) {
        WriteList(list);
        EXPECT_EQ(RunBackup(phone, Q(), L(), &b), kBackupListUnusable) << list.substr(0, 20);
        EXPECT_EQ(Slurp(Q() + "490154203237518.txt"), good);
    }
    EXPECT_NE(b.message.find("nothing to back up"), std::string::npos) << b.message;
    EXPECT_EQ(phone.exchanges, asked);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "qcn"), fs::directory_iterator()), 1);
}

TEST_F(QcnFlow, OnlySim1ItemsAndAFileWithoutItems) {
    fake::Phone phone;
    phone.SetImei("490154203237518");
    Fill(phone, 0, 3, 4);
    WriteList(ListFor(0, 3, false));
    ASSERT_EQ(RunBackup(phone, Q(), L()), kQcnOk);
    std::string text = Slurp(Q() + "490154203237518.txt");
    EXPECT_EQ(text.substr(0, 37), "NV Items:\r\nNV item (SIM 1): 1 index\r\n");

    // A file without items restores nothing, and says so.
    std::ofstream(Q() + "490154203237518.txt", std::ios::binary) << "NV Items:\r\n";
    int before = phone.exchanges;
    RestoreOutcome r;
    EXPECT_EQ(RunRestore(phone, false, "", Q(), &r), kRestoreBadText);
    EXPECT_NE(r.message.find("holds no NV item"), std::string::npos) << r.message;
    EXPECT_EQ(phone.exchanges, before);
    EXPECT_FALSE(fs::exists(Q() + "490154203237518.hex"));
}

TEST_F(QcnFlow, ItemsWithoutAValueAreSkippedButAnErrorPacketFails) {
    fake::Phone phone;
    phone.SetImei("490154203237518");
    Fill(phone, 3, 0, 8);
    auto before = phone.nv;
    struct ErrorFor98 : fake::Phone {
        using fake::Phone::Phone;
        int Exchange(const uint8_t* req, uint16_t len, uint8_t* ans, uint16_t size) override {
            if (req[0] == 0x26 && req[1] == 98) {
                std::memset(ans, 0, size);
                ans[0] = 0x42; // security locked
                std::memcpy(ans + 1, req, 100);
                return 101;
            }
            return fake::Phone::Exchange(req, len, ans, size);
        }
    } p98;
    p98.nv = phone.nv;
    // Item 98 draws an error packet: no value, and no reason to skip it.
    WriteList(ListFor(3, 0) + "NV item: 98 [locked]\r\nNV item: 99 [never written]\r\n");
    BackupOutcome b;
    EXPECT_EQ(RunBackup(p98, Q(), L(), &b), kBackupItemFailed);
    EXPECT_NE(b.message.find("NV item 98 was answered with the error packet \"security locked\""),
              std::string::npos)
        << b.message;
    EXPECT_FALSE(fs::exists(Q() + "490154203237518.txt"));
    // Item 99 was never written: the phone answers "inactive", and it is skipped and counted.
    WriteList(ListFor(3, 0) + "NV item: 99 [never written]\r\n");
    ASSERT_EQ(RunBackup(p98, Q(), L(), &b), kQcnOk);
    EXPECT_EQ(b.items, 4);
    EXPECT_EQ(b.skipped, 1);
    EXPECT_EQ(Slurp(b.path).find("NV item: 99 "), std::string::npos);
    p98.nv.clear();
    ASSERT_EQ(RunRestore(p98, false, "", Q()), kQcnOk);
    EXPECT_EQ(p98.nv, before); // 99 was not created
}

TEST_F(QcnFlow, RestoreRefusesDamagedTextBeforeSendingAnything) {
    fake::Phone phone;
    phone.SetImei("490154203237518");
    Fill(phone, 5, 0, 5);
    WriteList(ListFor(5, 0));
    ASSERT_EQ(RunBackup(phone, Q(), L()), kQcnOk);
    std::string text = Slurp(Q() + "490154203237518.txt");
    std::string cut = Q() + "cut.txt";
    std::ofstream(cut, std::ios::binary) << text.substr(0, text.size() - 60);
    int before = phone.exchanges;
    RestoreOutcome r;
    EXPECT_EQ(RunRestore(phone, true, cut, "", &r), kRestoreBadText);
    EXPECT_EQ(phone.exchanges, before);
    EXPECT_FALSE(fs::exists(Q() + "cut.hex"));
    ASSERT_EQ(phone.boxes.size(), 1u);
    EXPECT_NE(phone.boxes[0].find("NV item 5"), std::string::npos) << phone.boxes[0];

    EXPECT_EQ(RunRestore(phone, true, Q() + "missing.txt", "", &r), kQcnFileError);
    EXPECT_EQ(phone.boxes.back(), "can not open qcn.txt");
    EXPECT_EQ(phone.exchanges, before);
}

TEST_F(QcnFlow, RestoreGivesUpAfterASecondSilence) {
    fake::Phone phone;
    phone.SetImei("490154203237518");
    Fill(phone, 10, 0, 6);
    WriteList(ListFor(10, 0));
    ASSERT_EQ(RunBackup(phone, Q(), L()), kQcnOk);
    phone.statuses.clear();
    phone.ports.clear();
    // The IMEI check, then records: the 4th goes unanswered, twice.
    phone.silent_from = phone.exchanges + 5;
    RestoreOutcome r;
    EXPECT_EQ(RunRestore(phone, false, "", Q(), &r), kRestoreNoAnswer);
    EXPECT_EQ(r.sent, 4);
    EXPECT_EQ(r.accepted, 3);
    EXPECT_EQ(phone.statuses.back(), "-fail");
    EXPECT_EQ(phone.ports.back(), -1);
    EXPECT_EQ(phone.positions.back(), 100);
    EXPECT_EQ(phone.closings, 0);
}

TEST_F(QcnFlow, RestoreNamesFilesAfterItsOwnSlot) {
    WriteList(ListFor(4, 2));
    fake::Phone a(1), b(2);
    a.SetImei("111111111111116");
    b.SetImei("222222222222224");
    Fill(a, 4, 2, 10);
    Fill(b, 4, 2, 20);
    auto a_before = a.nv, b_before = b.nv;
    ASSERT_EQ(RunBackup(a, Q(), L()), kQcnOk);
    ASSERT_EQ(RunBackup(b, Q(), L()), kQcnOk); // slot 2 ran last: no effect on slot 1's name
    a.nv.clear();
    b.nv.clear(); // IMEIs gone too
    ASSERT_EQ(RunRestore(a, false, "", Q()), kQcnOk);
    ASSERT_EQ(RunRestore(b, false, "", Q()), kQcnOk);
    EXPECT_EQ(a.nv, a_before);
    EXPECT_EQ(b.nv, b_before);
    // Another phone put on slot 1: refused before anything is written.
    fake::Phone swapped(1);
    swapped.SetImei("333333333333332");
    RestoreOutcome refused;
    EXPECT_EQ(RunRestore(swapped, false, "", Q(), &refused), kRestoreWrongPhone);
    EXPECT_NE(refused.message.find("111111111111116"), std::string::npos);
    EXPECT_NE(refused.message.find("333333333333332"), std::string::npos);
    EXPECT_EQ(swapped.WritesSent(), 0);
    EXPECT_EQ(swapped.statuses.back(), "-fail");

    // No backup on this slot in this process: the phone is asked; a blank IMEI asks for the file.
    fake::Phone c(9);
    c.SetImei("111111111111116");
    RestoreOutcome r;
    EXPECT_EQ(RunRestore(c, false, "", Q(), &r), kQcnOk);
    EXPECT_EQ(r.text_path, Q() + "111111111111116.txt");
    fake::Phone d(10);
    EXPECT_EQ(RunRestore(d, false, "", Q(), &r), kQcnNoImei);
    ASSERT_EQ(d.boxes.size(), 1u);
    EXPECT_NE(d.boxes[0].find("select the QCN file"), std::string::npos);
    EXPECT_EQ(d.exchanges, 1);
}

TEST_F(QcnFlow, SixteenSlotsAtOnce) {
    WriteList(ListFor(40, 10));
    std::vector<std::unique_ptr<fake::Phone>> phones;
    std::vector<std::map<fake::Key, fake::Data>> before;
    for (int row = 0; row < 16; ++row) {
        phones.push_back(std::make_unique<fake::Phone>(row));
        char imei[16];
        std::snprintf(imei, sizeof imei, "35693803564%04d", row);
        phones.back()->SetImei(imei);
        Fill(*phones.back(), 40, 10, static_cast<unsigned>(100 + row));
        before.push_back(phones.back()->nv);
    }
    std::vector<int> backup(16, -9), restore(16, -9);
    std::vector<std::thread> threads;
    for (int row = 0; row < 16; ++row)
        threads.emplace_back([&, row] {
            fake::Phone& p = *phones[static_cast<size_t>(row)];
            backup[static_cast<size_t>(row)] = RunBackup(p, Q(), L());
            p.nv.clear();
            restore[static_cast<size_t>(row)] = RunRestore(p, false, "", Q());
        });
    for (auto& t : threads)
        t.join();
    for (size_t row = 0; row < 16; ++row) {
        EXPECT_EQ(backup[row], kQcnOk);
        EXPECT_EQ(restore[row], kQcnOk);
        EXPECT_EQ(phones[row]->nv, before[row]) << "row " << row;
    }
}

} // namespace
