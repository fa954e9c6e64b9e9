#pragma once
// The station's user interface on a terminal: message boxes become lines, a slot's bar a line
// per new position (or one redrawn line on a terminal), PASS/FAIL and status texts lines.
// It also remembers what it showed, for callers that report at the end.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "station/station_ui.h"

namespace tw::station {

// The word a line shows for a box's icon: "error", "warning", "info" or "message".
const char* IconWord(MessageIcon icon);

class HeadlessUi : public StationUi {
  public:
    enum class Progress {
        Lines, // "slot 0: 47%" for every new position
        Bar,   // one line redrawn with '\r' (a terminal)
        None,  // positions, results and statuses are only remembered; message boxes still show
    };
    explicit HeadlessUi(FILE* out = stderr, Progress progress = Progress::Lines);

    void MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) override;
    void SetProgress(int slot, int position) override;
    void MarkResult(int slot, bool pass) override;
    void SetStatus(int slot, const std::string& text) override;

    struct Box {
        std::string text, caption;
        MessageIcon icon;
    };
    std::vector<Box> boxes() const;
    // The last position shown for the slot (0 when none).
    int position(int slot) const;

  private:
    void EndBar(); // under m_

    FILE* out_;
    Progress mode_;
    mutable std::mutex m_;
    std::vector<Box> boxes_;
    std::map<int, int> positions_;
    bool bar_open_ = false;
};

} // namespace tw::station
