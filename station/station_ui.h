#pragma once
// What the station's stages need from whatever shows them to the operator: message boxes, the
// slots' progress bars and status texts. The window implements it with dialogs and bars; the
// command line and the tests with HeadlessUi (terminal text) or a recorder.
//
// Every call may come from any slot worker's thread; an implementation guards its own state.
#include <string>

namespace tw::station {

enum class MessageIcon { None, Error, Warning, Information };

// The caption of the station's own message boxes.
inline constexpr const char* kCaption = "Tarnwell";

class StationUi {
  public:
    virtual ~StationUi() = default;

    // A message box. Blocks the calling worker until the operator closes it; a headless UI
    // shows it and returns at once.
    virtual void MessageBox(const std::string& text, const std::string& caption,
                            MessageIcon icon) = 0;

    // A slot's bar leaves any PASS/FAIL state and moves to position (0..100).
    virtual void SetProgress(int slot, int position) = 0;
    // The bar turns full and shows PASS or FAIL.
    virtual void MarkResult(int slot, bool pass) = 0;
    // The slot's status text ("Update AP...", "Fail").
    virtual void SetStatus(int slot, const std::string& text) = 0;
};

} // namespace tw::station
