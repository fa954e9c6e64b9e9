#pragma once
// Changes of the virtual device directory through inotify. Writers create a record by renaming a
// finished temporary file into place and remove it by unlinking, so renames, finished writes and
// deletions of record names are what counts.
#include <memory>
#include <string>

#include "platform/change_notifier.h"

namespace tw {

class DirNotifier final : public ChangeNotifier {
  public:
    // nullptr when inotify itself is unavailable. A directory that does not exist (yet) gives a
    // notifier that is not armed and re-arms once the directory is there.
    static std::unique_ptr<DirNotifier> open(const std::string& dir, std::string* why = nullptr);

    int fd() const override { return fd_.get(); }
    bool drain() override;
    bool armed() const override { return wd_ >= 0; }
    bool rearm() override;
    int settle_ms() const override { return 20; }
    const char* name() const override { return "inotify"; }

  private:
    DirNotifier(UniqueFd fd, std::string dir) : fd_(std::move(fd)), dir_(std::move(dir)) {}
    void unwatch();

    UniqueFd fd_;
    std::string dir_;
    int wd_ = -1;
};

} // namespace tw
