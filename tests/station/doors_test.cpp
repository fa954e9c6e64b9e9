// Bad input at the station's doors: the package, "inifile.ini" and the item list. Each gives a
// clear box or the slot's FAIL, and touches nothing: no phone written to, no file changed.
#include "tests/station/station_rig.h"

#include <fstream>

namespace stationtest {
namespace {

// Every file below dir with its bytes.
std::map<std::string, std::string> Tree(const std::string& dir) {
    std::map<std::string, std::string> t;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec))
        if (e.is_regular_file()) t[fs::relative(e.path(), dir).string()] = Slurp(e.path());
    return t;
}

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Answers the folder chooser and the language question, and counts the questions.
class AnsweringUi : public RecordingUi {
  public:
    std::string ChooseFolder(const std::string&) override { return folder; }
    std::string ChooseLanguage() override {
        ++language_asked;
        return "";
    }
    std::string folder;
    std::atomic<int> language_asked{0};
};

class Doors : public StationRig {
  protected:
    // A copy of the package to spoil.
    std::string CopyPackage(const std::string& name) {
        const std::string dir = root + "/" + name;
        fs::copy(Package(), dir, fs::copy_options::recursive);
        return dir;
    }
    std::string Find(const std::string& pkg, const std::string& name) {
        for (const auto& e : fs::recursive_directory_iterator(pkg))
            if (e.path().filename() == name) return e.path().string();
        ADD_FAILURE() << name << " not in the package";
        return "";
    }
    // The phone has been asked nothing but what a port open sends, and holds what it held.
    void Untouched(int phone, const NvState& before) {
        const std::string log = Slurp(PhoneDir(phone) + "/log.txt");
        EXPECT_EQ(log.find("diag rx 1: 3A"), std::string::npos) << "reset to download";
        EXPECT_EQ(log.find("rx 132: 27 "), std::string::npos) << "an NV write";
        EXPECT_EQ(log.find("rx 137: 4B 30 02 00"), std::string::npos) << "an NV write (SIM 1)";
        EXPECT_EQ(Nv(phone), before);
    }
};

TEST_F(Doors, APackageThatFailsItsCheckSaysWhyAndChangesNoFile) {
    Station& st = NewStation(); // the good package is the configured one
    const std::string good = StationConfig(home + "inifile.ini").SoftwarePath();
    struct Case {
        std::string what, box;
        std::function<void(const std::string& pkg)> spoil;
    };
    std::vector<Case> cases;
    for (const char* f :
         {"ENPRG7627A.hex", "NPRG7627A.hex", "amsshd.mbn", "amss.mbn", "oemsblhd.mbn", "oemsbl.mbn",
          "partition.mbn", "appsboothd.mbn", "appsboot.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn",
          "boot.2knand.img", "recovery.2knand.img", "system.2knand.img", "userdata.2knand.img",
          "cache.img.ext4", "persist.2knand.img"})
        cases.push_back({std::string("no ") + f, std::string("Can't find file: ") + f,
                         [this, f](const std::string& pkg) { fs::remove(Find(pkg, f)); }});
    for (const char* f : {"amss.mbn", "qcsblhd_cfgdata.mbn", "system.2knand.img"})
        cases.push_back({std::string("empty ") + f, "",
                         [this, f](const std::string& pkg) { Write(Find(pkg, f), ""); }});
    // The second programmer with one checksum wrong: neither ".bin" may be written.
    cases.push_back({"a bad checksum", "", [this](const std::string& pkg) {
                         const std::string hex = Find(pkg, "NPRG7627A.hex");
                         std::string text = Slurp(hex);
                         const size_t line = text.find("\n:10") + 1;
                         text[line + 9] = text[line + 9] == '0' ? '1' : '0';
                         Write(hex, text);
                     }});
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string pkg = CopyPackage("pkg" + std::to_string(++n));
        c.spoil(pkg);
        const auto package = Tree(pkg), station = Tree(home);
        const size_t boxes = ui.boxes(kNoSlot).size();
        EXPECT_FALSE(st.LoadPackage(pkg));
        EXPECT_FALSE(st.SoftwareLoaded());
        const auto shown = ui.boxes(kNoSlot);
        ASSERT_EQ(shown.size(), boxes + 1);
        const std::string& text = shown.back().text;
        if (c.what.rfind("empty ", 0) == 0)
            EXPECT_EQ(text,
                      "The software package holds an empty file: " + Find(pkg, c.what.substr(6)));
        else if (c.what == "a bad checksum")
            EXPECT_EQ(text, "Update Failed!\n更新失败!\n" + Find(pkg, "NPRG7627A.hex") +
                                ", line 2: wrong checksum");
        else
            EXPECT_EQ(text, c.box);
        EXPECT_EQ(Tree(pkg), package);
        EXPECT_EQ(Tree(home), station); // the configured package is still the good one
        EXPECT_EQ(StationConfig(home + "inifile.ini").SoftwarePath(), good);
        fs::remove_all(pkg);
    }
}

TEST_F(Doors, ADescriptionThatIsNoTextIsRefusedBeforeTheSoftwareChanges) {
    AnsweringUi asking;
    const std::string pkg = CopyPackage("pkg");
    const char elf[] = "\x7f"
                       "ELF\x02\x01\x01\0\0[Config]\nSW_Ver=\x01\x02";
    Write(Find(pkg, "ROMINFO.ini"), std::string(elf, sizeof elf - 1));
    tw::ini::write_string(home + "inifile.ini", "Language", "Language", "English");
    Station st(StationFolder(home), asking);
    ASSERT_TRUE(st.Init());
    const auto station = Tree(home), package = Tree(pkg);
    asking.folder = pkg;
    st.SelectSoftware();
    const auto boxes = asking.boxes(kNoSlot);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().text, "open file error!please select a valid file...");
    EXPECT_FALSE(st.SoftwareLoaded());
    EXPECT_EQ(Tree(home), station);
    EXPECT_EQ(Tree(pkg), package);
}

TEST_F(Doors, OddSettingsKeepTheSlotFromStartingAndThePhoneUntouched) {
    ASSERT_TRUE(StartPhones(1));
    const NvState before = Nv(0);
    Station& st = NewStation();
    auto refused = [&](int slot, const std::string& box) {
        const auto station = Tree(home);
        const size_t boxes = ui.boxes(kNoSlot).size();
        st.ClickSlot(slot);
        EXPECT_FALSE(st.Running(slot));
        const auto shown = ui.boxes(kNoSlot);
        ASSERT_EQ(shown.size(), boxes + 1);
        EXPECT_EQ(shown.back().text, box);
        EXPECT_EQ(Tree(home), station);
    };
    const std::string sleep_box = "inifile.ini: fastbootContinueSleepTime must be empty or a "
                                  "number of seconds from 0 to 3600, not: ";
    for (const char* v : {"-5", "99999999999", "3601", "1e3", "15 s", "soon"}) {
        SCOPED_TRACE(v);
        tw::ini::write_string(home + "inifile.ini", "Kestrin", "fastbootContinueSleepTime", v);
        refused(0, sleep_box + "\"" + v + "\"");
    }
    tw::ini::write_string(home + "inifile.ini", "Kestrin", "fastbootContinueSleepTime", "1");

    const std::string pos_box =
        "inifile.ini: this slot's USB position is not usable (Clean  Configuration forgets it): ";
    auto keys = [&](int slot, const std::string& a, const std::string& b, const std::string& c) {
        const std::string i = "[" + std::to_string(slot) + "]";
        tw::ini::write_string(home + "inifile.ini", "QDLoadcom9008", "USBAddress" + i, a);
        tw::ini::write_string(home + "inifile.ini", "FastbootDeviceName", "fastbootDeviceName" + i,
                              b);
        tw::ini::write_string(home + "inifile.ini", "DiagCom9025", "diagcom9025" + i, c);
    };
    keys(0, "not a position", "not a position", "not a position");
    refused(0, pos_box + "USBAddress[0]=not a position");
    keys(0, Position(1), Position(1), Position(2)); // the three sections disagree
    refused(0, pos_box + "diagcom9025[0]=" + Position(2));
    keys(0, Position(1), "", Position(1));
    refused(0, pos_box + "fastbootDeviceName[0]=");
    keys(0, Position(1), Position(1), Position(1));
    keys(5, Position(1), Position(1), Position(1)); // one position stored for two slots
    refused(5, pos_box + "USBAddress[5]=" + Position(1));
    Untouched(0, before);

    // Mended, the same phone goes through.
    keys(5, "", "", "");
    st.ClickSlot(0);
    ASSERT_TRUE(WaitFinished(1));
    EXPECT_EQ(Finished().at(0).result, CycleResult::Pass) << Finished().at(0).message;
    EXPECT_TRUE(WaitNv(0, [&](const NvState& s) { return s == before; }));
}

TEST_F(Doors, AnOddLanguageIsAskedAgainAndAGarbledInifileStillRunsAPhone) {
    ASSERT_TRUE(StartPhones(1));
    const NvState before = Nv(0);
    {
        AnsweringUi asking;
        tw::ini::write_string(home + "inifile.ini", "Language", "Language", "Klingon");
        Station st(StationFolder(home), asking);
        ASSERT_TRUE(st.Init());
        EXPECT_EQ(asking.language_asked.load(), 1);
        EXPECT_EQ(st.language(), Language::English);
        EXPECT_EQ(StationConfig(home + "inifile.ini").Language(), "Klingon"); // nothing chosen
    }
    // Bytes that are no INI text at all, with an answer for the language in the middle.
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk.push_back(static_cast<char>((i * 7919) % 251 + 1));
    Write(home + "inifile.ini", junk + "\n[Language]\nLanguage=English\n" + junk);
    Station& st = NewStation();
    st.ClickSlot(0);
    ASSERT_TRUE(WaitFinished(1));
    EXPECT_EQ(Finished().at(0).result, CycleResult::Pass) << Finished().at(0).message;
    EXPECT_TRUE(WaitNv(0, [&](const NvState& s) { return s == before; }));
}

TEST_F(Doors, AnItemListWithoutItemsFailsTheSlotBeforeThePhoneIsAskedAnything) {
    ASSERT_TRUE(StartPhones(1));
    const NvState before = Nv(0);
    const std::vector<std::pair<const char*, std::string>> lists = {
        {"empty", ""},
        {"binary", std::string("\0\x01\x02\xff\xfe NV item: \x00", 16)},
        {"not a number", "NV item: abc [NAME]\r\nNV item: 12x [NAME]\r\n"},
        {"no line of the list's form", "items: 550, 10, 441\r\n"},
    };
    for (const auto& [what, text] : lists) {
        SCOPED_TRACE(what);
        const std::string pkg = CopyPackage(std::string("list-") + what);
        Write(Find(pkg, "NVFrom.txt"), text);
        {
            std::lock_guard<std::mutex> g(cycles_m);
            cycles.clear();
        }
        station.reset();
        Station& st = NewStation();
        ASSERT_TRUE(st.LoadPackage(pkg));
        const auto package = Tree(pkg);
        st.ClickSlot(0);
        ASSERT_TRUE(WaitFinished(1));
        const CycleRecord r = Finished().at(0);
        EXPECT_EQ(r.result, CycleResult::Fail);
        ASSERT_EQ(r.stages.size(), 1u);
        EXPECT_EQ(r.stages[0].name, "backup");
        EXPECT_EQ(r.stages[0].result, 5);
        EXPECT_NE(r.message.find("NVFrom.txt"), std::string::npos) << r.message;
        EXPECT_EQ(ui.marks(0).back(), false);
        Untouched(0, before);
        EXPECT_EQ(Slurp(PhoneDir(0) + "/log.txt").find("diag rx 132"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(home + "qcn"));
        EXPECT_EQ(Tree(pkg), package);
    }
}

} // namespace
} // namespace stationtest
