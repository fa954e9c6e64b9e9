#pragma once
// A set of simulated phones in one process, and the control socket through which
// "phonesim ctl" reaches them.
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "phonesim/fault.h"
#include "phonesim/package.h"
#include "phonesim/phone.h"

namespace phonesim {

constexpr const char* kDefaultImeiBase = "490154203237518";
constexpr const char* kCtlSocketName = "ctl.sock";
constexpr size_t kMaxPhones = 512; // plugged in over a simulator's life

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

// How Simulator::plug makes its phone.
struct PlugOptions {
    std::vector<FaultSpec> faults; // this phone's own, besides the simulator's
    int same_as = -1; // an unplugged phone that comes back: its IMEI and NV items as it left
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
    // The operator pulls the cable of the phone named as above, for good; its hub port, or -1
    // when which names no phone that is plugged in.
    int unplug(const std::string& which);
    // The same phone pulled and plugged back after back_ms (nominal); its hub port or -1.
    int replug(const std::string& which, int64_t back_ms);
    // A new phone (the next index, the next IMEI of the base) plugged in at a hub port, given
    // as a number or a USB position; its index, or -1 with err (no such port, one is there).
    int plug(const std::string& where, std::string& err) { return plug(where, err, {}); }
    int plug(const std::string& where, std::string& err, const PlugOptions& o);

    // Every phone ever plugged in, unplugged ones included (index order).
    size_t size() const;
    Phone& phone(size_t i);
    const std::string& hub() const { return hub_; }

  private:
    void ctl_loop();
    std::string ctl_answer(const std::string& line);
    // The plugged-in phone named by index, IMEI or position; nullptr when none. Under phones_m_.
    Phone* find_locked(const std::string& which);
    bool start_phone(int index, int hubport, std::string& err,
                     const PlugOptions& o = {}); // under phones_m_

    SimOptions opt_;
    std::vector<Programmer> programmers_;
    std::unique_ptr<ComAllocator> coms_;
    mutable std::mutex phones_m_; // the list grows while the control socket plugs phones
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
