#include "station/headless_ui.h"

namespace tw::station {

const char* IconWord(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Error:
        return "error";
    case MessageIcon::Warning:
        return "warning";
    case MessageIcon::Information:
        return "info";
    case MessageIcon::None:
        break;
    }
    return "message";
}

HeadlessUi::HeadlessUi(FILE* out, Progress progress) : out_(out), mode_(progress) {}

void HeadlessUi::EndBar() {
    if (bar_open_ && out_) std::fputc('\n', out_);
    bar_open_ = false;
}

void HeadlessUi::MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) {
    std::lock_guard<std::mutex> g(m_);
    boxes_.push_back({text, caption, icon});
    if (!out_) return;
    EndBar();
    std::fprintf(out_, "[%s] %s: %s\n", IconWord(icon), caption.c_str(), text.c_str());
    std::fflush(out_);
}

void HeadlessUi::SetProgress(int slot, int position) {
    std::lock_guard<std::mutex> g(m_);
    auto it = positions_.find(slot);
    const bool changed = it == positions_.end() || it->second != position;
    positions_[slot] = position;
    if (!out_ || !changed) return;
    if (mode_ == Progress::Lines) {
        std::fprintf(out_, "slot %d: %d%%\n", slot, position);
    } else if (mode_ == Progress::Bar) {
        constexpr int kWidth = 40;
        const int fill = position * kWidth / 100;
        std::fprintf(out_, "\rslot %d [%.*s%*s] %3d%%", slot, fill,
                     "########################################", kWidth - fill, "", position);
        bar_open_ = true;
    }
    std::fflush(out_);
}

void HeadlessUi::MarkResult(int slot, bool pass) {
    std::lock_guard<std::mutex> g(m_);
    positions_[slot] = 100;
    if (!out_ || mode_ == Progress::None) return;
    EndBar();
    std::fprintf(out_, "slot %d: %s\n", slot, pass ? "PASS" : "FAIL");
    std::fflush(out_);
}

void HeadlessUi::SetStatus(int slot, const std::string& text) {
    std::lock_guard<std::mutex> g(m_);
    if (!out_ || mode_ == Progress::None) return;
    EndBar();
    std::fprintf(out_, "slot %d: %s\n", slot, text.c_str());
    std::fflush(out_);
}

std::vector<HeadlessUi::Box> HeadlessUi::boxes() const {
    std::lock_guard<std::mutex> g(m_);
    return boxes_;
}

int HeadlessUi::position(int slot) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = positions_.find(slot);
    return it == positions_.end() ? 0 : it->second;
}

} // namespace tw::station
