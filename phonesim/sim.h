#pragma once
// A set of simulated phones in one process, and the control socket through which
// "phonesim ctl" reaches them.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "phonesim/fault.h"
#include "phonesim/package.h"
#include "phonesim/phone.h"

namespace phonesim {

constexpr const char* kDefaultImeiBase = "490154203237518";
constexpr const char* kCtlSocketName = "ctl.sock";

struct SimOptions {
    std::string device_dir;
    std::string state_dir;
    std::string package;
    int phones = 1;
    Mode start = Mode::Diag;
    bool auto_fastboot = false;
    std::vector<FaultSpec> faults;
    std::string imei_base = kDefaultImeiBase;
    uint64_t seed = 1;
    int com_base = 3;
    uint16_t dmss_max_write = kDmssDefaultMaxWrite;
    uint32_t block_size = kDefaultBlockSize;
    std::string hub; // parent identity; empty: one made from the process id
    // Hub port of each phone in turn; phones past the list (or all, when empty) take index + 1.
    std::vector<int> hub_ports;
};

class Simulator {
  public:
    Simulator() = default;
    ~Simulator() { stop(); }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Loads the package's programmers, starts every phone and the control socket.
    bool start(const SimOptions& opt, std::string& err);
    // Stops the phones (their records are removed) and the control socket.
    void stop();

    // Phones (all, or the one with this index, IMEI or USB position "<hub>#<port>#") moved from
    // Android mode towards fastboot; -1 when which names no phone.
    int reboot_bootloader(const std::string& which);

    size_t size() const { return phones_.size(); }
    Phone& phone(size_t i) { return *phones_[i]; }
    const std::string& hub() const { return hub_; }

  private:
    void ctl_loop();
    std::string ctl_answer(const std::string& line);

    SimOptions opt_;
    std::vector<Programmer> programmers_;
    std::unique_ptr<ComAllocator> coms_;
    std::vector<std::unique_ptr<Phone>> phones_;
    std::string hub_;
    int stop_fd_ = -1;
    int ctl_fd_ = -1;
    std::string ctl_path_;
    std::thread ctl_thread_;
};

// Sends one control line to the simulator behind state_dir; the answer line in reply.
bool ctl_request(const std::string& state_dir, const std::string& line, std::string& reply,
                 std::string& err);

} // namespace phonesim
