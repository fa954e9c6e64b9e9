#include "cli/station_console.h"

#include <ctime>

#include "cli/json.h"
#include "station/headless_ui.h"
#include "station/password.h"

namespace cli {

using namespace tw::station;

namespace {

// A box's text on one line.
std::string OneLine(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

const char* ResultWord(CycleResult r) {
    return r == CycleResult::Pass ? "PASS" : r == CycleResult::Fail ? "FAIL" : "stopped";
}

double Seconds(const CycleRecord& r) {
    return std::chrono::duration<double>(r.end - r.start).count();
}

} // namespace

StationConsole::StationConsole(Options opt, FILE* out) : opt_(std::move(opt)), out_(out) {}

void StationConsole::ShowSlots(const std::set<int>& slots) {
    std::lock_guard<std::mutex> g(m_);
    show_ = slots;
    show_all_ = false;
}

bool StationConsole::Shown(int slot) const {
    return show_all_ || slot < 0 || show_.count(slot) > 0;
}

void StationConsole::Line(const std::string& text) {
    std::fputs(text.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void StationConsole::Say(const std::string& text) {
    std::lock_guard<std::mutex> g(m_);
    if (opt_.json)
        Line(JsonLine().str("event", "note").str("text", text).text());
    else
        Line(text);
}

void StationConsole::MessageBox(const std::string& text, const std::string& caption,
                                MessageIcon icon) {
    SlotMessageBox(kNoSlot, text, caption, icon);
}

void StationConsole::SlotMessageBox(int slot, const std::string& text, const std::string& caption,
                                    MessageIcon icon) {
    std::lock_guard<std::mutex> g(m_);
    if (opt_.json) {
        JsonLine l;
        l.str("event", "box");
        if (slot >= 0) l.num("slot", slot + 1);
        Line(l.str("icon", IconWord(icon)).str("caption", caption).str("text", text).text());
        return;
    }
    const std::string who = slot >= 0 ? "slot " + std::to_string(slot + 1) + ": " : "";
    Line(who + "[" + IconWord(icon) + "] " + caption + ": " + OneLine(text));
}

void StationConsole::SetProgress(int slot, int position) {
    std::lock_guard<std::mutex> g(m_);
    auto it = progress_.find(slot);
    const int before = it == progress_.end() ? -1 : it->second;
    progress_[slot] = position;
    if (opt_.quiet || !Shown(slot) || before == position) return;
    if (opt_.json) {
        Line(JsonLine()
                 .str("event", "progress")
                 .num("slot", slot + 1)
                 .num("position", position)
                 .text());
        return;
    }
    // Lines: one per tenth crossed, and the ends.
    if (position == 0 || position == 100 || before < 0 || position / 10 != before / 10)
        Line("slot " + std::to_string(slot + 1) + ": " + std::to_string(position) + "%");
}

void StationConsole::MarkResult(int slot, bool pass) {
    std::lock_guard<std::mutex> g(m_);
    progress_[slot] = 100;
    if (!Shown(slot)) return;
    if (opt_.json)
        Line(JsonLine()
                 .str("event", "mark")
                 .num("slot", slot + 1)
                 .str("result", pass ? "PASS" : "FAIL")
                 .text());
    else
        Line("slot " + std::to_string(slot + 1) + ": " + (pass ? "PASS" : "FAIL"));
}

void StationConsole::SetStatus(int slot, const std::string& text) {
    std::lock_guard<std::mutex> g(m_);
    auto it = status_.find(slot);
    if (it != status_.end() && it->second == text) return;
    status_[slot] = text;
    if (!Shown(slot)) return;
    if (opt_.json)
        Line(JsonLine().str("event", "status").num("slot", slot + 1).str("text", text).text());
    else
        Line("slot " + std::to_string(slot + 1) + ": " + text);
}

bool StationConsole::AskYesNo(int slot, const std::string& text, const std::string& caption) {
    std::lock_guard<std::mutex> g(m_);
    if (opt_.json) {
        JsonLine l;
        l.str("event", "question");
        if (slot >= 0) l.num("slot", slot + 1);
        Line(l.str("caption", caption)
                 .str("text", text)
                 .str("answer", opt_.answer_yes ? "yes" : "no")
                 .text());
    } else {
        Line("[question] " + caption + ": " + OneLine(text) + " -> " +
             (opt_.answer_yes ? "yes" : "no"));
    }
    return opt_.answer_yes;
}

bool StationConsole::AskPassword(Language) {
    std::lock_guard<std::mutex> g(m_);
    if (opt_.json)
        Line(JsonLine()
                 .str("event", "password")
                 .str("answer", opt_.answer_yes ? "given" : "cancelled")
                 .text());
    else
        Line(std::string("[password] ") + (opt_.answer_yes ? "given" : "cancelled"));
    // The headless front types the password the clock gives, or cancels.
    return opt_.answer_yes &&
           PasswordMatches(ExpectedPassword(std::time(nullptr)), std::time(nullptr));
}

std::string StationConsole::ChooseFolder(const std::string&) {
    return opt_.package;
}

std::string StationConsole::ChooseFile(const std::string&) {
    return opt_.qcn_file;
}

void StationConsole::SetCycleProgress(int position) {
    std::lock_guard<std::mutex> g(m_);
    const int before = cycle_bar_;
    cycle_bar_ = position;
    if (opt_.quiet || !Shown(0) || position == before) return;
    if (opt_.json) {
        Line(JsonLine().str("event", "cycle-bar").num("position", position).text());
        return;
    }
    if (position == 1200 || (before >= 0 && position / 100 != before / 100 && position > 0))
        Line("cycle bar: " + std::to_string(position) + "/1200");
}

void StationConsole::SetSoftwareInfo(const SoftwareInfo& info) {
    std::lock_guard<std::mutex> g(m_);
    if (info.folder.empty()) return;
    if (opt_.json)
        Line(JsonLine()
                 .str("event", "software")
                 .str("folder", info.folder)
                 .str("sw_ver", info.sw_ver)
                 .str("brand", info.brand)
                 .str("model", info.model)
                 .text());
    else
        Line("software: " + info.folder + " (SW Ver: " + info.sw_ver + ", Brand: " + info.brand +
             ", Model: " + info.model + ")");
}

void StationConsole::SetCounters(const StationCounters& counters) {
    std::lock_guard<std::mutex> g(m_);
    counters_ = counters;
}

void StationConsole::CycleEnded(const CycleRecord& r) {
    std::lock_guard<std::mutex> g(m_);
    if (r.result != CycleResult::Stopped) {
        finished_[r.slot] = r;
        cycles_.push_back(r);
    }
    if (opt_.json) {
        JsonLine l;
        l.str("event", "cycle")
            .num("slot", r.slot + 1)
            .str("result", ResultWord(r.result))
            .real("seconds", Seconds(r))
            .str("imei", r.imei)
            .str("position", r.position)
            .str("backup", r.backup_file)
            .str("earlier_backup", r.earlier_backup)
            .str("qcn_file", r.qcn_file)
            .str("message", r.message);
        std::string stages = "[";
        for (size_t i = 0; i < r.stages.size(); ++i) {
            const StageRecord& s = r.stages[i];
            stages += (i ? "," : "") + JsonLine()
                                           .str("name", s.name)
                                           .num("ms", s.duration.count())
                                           .num("result", s.result)
                                           .text();
        }
        Line(l.raw("stages", stages + "]").text());
        return;
    }
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.2f", Seconds(r));
    Line("slot " + std::to_string(r.slot + 1) + ": cycle " + ResultWord(r.result) + " in " + secs +
         " s" + (r.imei.empty() ? "" : ", IMEI " + r.imei) +
         (r.message.empty() ? "" : " (" + r.message + ")"));
}

std::map<int, CycleRecord> StationConsole::Finished() const {
    std::lock_guard<std::mutex> g(m_);
    return finished_;
}

std::map<int, int> StationConsole::FinishedCount() const {
    std::lock_guard<std::mutex> g(m_);
    std::map<int, int> n;
    for (const CycleRecord& r : cycles_)
        ++n[r.slot];
    return n;
}

int StationConsole::PrintTable(const std::set<int>& slots) {
    std::lock_guard<std::mutex> g(m_);
    int passed = 0;
    if (!opt_.json) {
        Line("== results");
        Line("slot  result   seconds  IMEI             position");
    }
    for (int s : slots) {
        std::vector<const CycleRecord*> mine;
        for (const CycleRecord& r : cycles_)
            if (r.slot == s) mine.push_back(&r);
        if (mine.empty()) mine.push_back(nullptr);
        for (const CycleRecord* r : mine) {
            const char* result = r ? ResultWord(r->result) : "none";
            if (r && r->result == CycleResult::Pass) ++passed;
            if (opt_.json) {
                JsonLine l;
                l.str("event", "summary").num("slot", s + 1).str("result", result);
                if (r)
                    l.real("seconds", Seconds(*r))
                        .str("imei", r->imei)
                        .str("position", r->position)
                        .str("message", r->message);
                Line(l.text());
                continue;
            }
            char secs[32] = "-";
            if (r) std::snprintf(secs, sizeof secs, "%.2f", Seconds(*r));
            char line[1024];
            std::snprintf(line, sizeof line, "%4d  %-7s %8s  %-15s  %s%s", s + 1, result, secs,
                          r && !r->imei.empty() ? r->imei.c_str() : "-",
                          r && !r->position.empty() ? r->position.c_str() : "-",
                          r && !r->message.empty() ? ("  " + r->message).c_str() : "");
            Line(line);
        }
    }
    return passed;
}

void StationConsole::PrintCounters(const std::set<int>& slots) {
    std::lock_guard<std::mutex> g(m_);
    auto row = [&](const std::string& who, int slot, const SlotCounters& c) {
        if (opt_.json) {
            JsonLine l;
            l.str("event", "counters");
            if (slot >= 0)
                l.num("slot", slot + 1);
            else
                l.str("slot", who);
            Line(l.num("passed", c.passed)
                     .num("failed", c.failed)
                     .real("mean_seconds", c.mean_seconds())
                     .text());
            return;
        }
        char line[128];
        std::snprintf(line, sizeof line, "%4s  %6d  %6d  %9.2f", who.c_str(), c.passed, c.failed,
                      c.mean_seconds());
        Line(line);
    };
    if (!opt_.json) {
        Line("== counters");
        Line("slot  passed  failed  mean cycle s");
    }
    for (int s : slots)
        row(std::to_string(s + 1), s, counters_.per_slot[static_cast<size_t>(s)]);
    row("all", -1, counters_.total);
}

} // namespace cli
