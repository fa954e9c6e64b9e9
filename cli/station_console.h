#pragma once
// The station on a terminal: every row's status changes, progress and result as lines (or one
// JSON object per event), message boxes printed and closed, questions answered as the options
// say, the folder and QCN file given on the command line instead of chosen.
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "station/cycle_record.h"
#include "station/station_ui.h"

namespace cli {

class StationConsole : public tw::station::StationUi {
  public:
    struct Options {
        bool json = false;
        bool quiet = false; // no progress lines
        bool answer_yes = true;
        std::string package; // the folder chooser's answer
        std::string qcn_file;
    };
    explicit StationConsole(Options opt, FILE* out = stdout);

    // Rows of other slots are not printed (their "Waiting" at start-up says nothing).
    void ShowSlots(const std::set<int>& slots);

    void MessageBox(const std::string& text, const std::string& caption,
                    tw::station::MessageIcon icon) override;
    void SlotMessageBox(int slot, const std::string& text, const std::string& caption,
                        tw::station::MessageIcon icon) override;
    void SetProgress(int slot, int position) override;
    void MarkResult(int slot, bool pass) override;
    void SetStatus(int slot, const std::string& text) override;
    bool AskYesNo(int slot, const std::string& text, const std::string& caption) override;
    bool AskPassword(tw::station::Language lang) override;
    std::string ChooseFolder(const std::string& title) override;
    std::string ChooseFile(const std::string& title) override;
    void SetCycleProgress(int position) override;
    void SetSoftwareInfo(const tw::station::SoftwareInfo& info) override;
    void SetCounters(const tw::station::StationCounters& counters) override;

    // A cycle's end (from a worker's thread).
    void CycleEnded(const tw::station::CycleRecord& r);
    // The last finished (PASS or FAIL) cycle of each slot.
    std::map<int, tw::station::CycleRecord> Finished() const;
    // Finished (PASS or FAIL) cycles of each slot.
    std::map<int, int> FinishedCount() const;
    // Prints the result table: every finished cycle of the slots, by slot, and a line for a
    // slot without one. Returns the number of cycles that passed.
    int PrintTable(const std::set<int>& slots);
    // Prints the counters of the slots and of the station.
    void PrintCounters(const std::set<int>& slots);
    // A line of the front end itself ("stopping every slot").
    void Say(const std::string& text);

  private:
    bool Shown(int slot) const;         // under m_
    void Line(const std::string& text); // under m_

    Options opt_;
    FILE* out_;
    mutable std::mutex m_;
    std::set<int> show_;
    bool show_all_ = true;
    std::map<int, int> progress_;
    std::map<int, std::string> status_;
    int cycle_bar_ = -1;
    std::map<int, tw::station::CycleRecord> finished_;
    std::vector<tw::station::CycleRecord> cycles_; // every finished one, in order
    tw::station::StationCounters counters_;
};

} // namespace cli
