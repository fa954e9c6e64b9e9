#pragma once
// One simulated phone: its IMEI, NV items, mode and the devices it shows in the device
// directory for that mode, run by one thread that sleeps in poll() until a request, a timer or
// a control message arrives.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "phonesim/devdir.h"
#include "phonesim/diag.h"
#include "phonesim/dmss.h"
#include "phonesim/fastboot.h"
#include "phonesim/fault.h"
#include "phonesim/framing.h"
#include "phonesim/nv.h"
#include "phonesim/package.h"
#include "phonesim/pty.h"
#include "phonesim/streaming.h"

namespace phonesim {

enum class Mode { Diag, Download, Android, Fastboot, Disk };
// Finer than the mode: where the phone is right now.
enum class Phase { Diag, Dmss, Stream, Booting, Android, Fastboot, Disk, Away, Off };
const char* phase_name(Phase p);

// Nominal delays (scaled by the clock).
constexpr int64_t kToDownloadMs = 1000;     // 0x3A echoed -> emergency download port
constexpr int64_t kAndroidBootMs = 4000;    // reset -> Android running
constexpr int64_t kToFastbootMs = 2000;     // reboot-bootloader in Android -> fastboot device
constexpr int64_t kFastbootReenumMs = 1000; // fastboot reboot-bootloader -> fastboot again
constexpr int64_t kFastbootToDiagMs = 4000; // fastboot reboot -> DIAG port
constexpr uint64_t kDiskImageBytes = 64ull << 20;

struct PhoneOptions {
    int index = 0;
    std::string imei;
    std::string device_dir;
    std::string dir; // the phone's own state folder
    std::string record_prefix;
    std::string hub;
    int hubport = 1;
    Mode start = Mode::Diag;
    bool auto_fastboot = false;
    std::vector<FaultSpec> faults;
    uint64_t seed = 1;
    const std::vector<Programmer>* programmers = nullptr;
    uint16_t dmss_max_write = kDmssDefaultMaxWrite;
    uint32_t block_size = kDefaultBlockSize;
    ComAllocator* coms = nullptr;
    int stop_fd = -1;    // readable once the simulator stops
    std::string nv_text; // not empty: the NV items (NvStore::to_text) instead of new ones
};

class Phone : private StreamStore {
  public:
    explicit Phone(PhoneOptions opt);
    ~Phone() override;
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    bool start(std::string& err);
    // Waits for the thread, which ends when the stop descriptor becomes readable.
    void join();

    // reboot-bootloader from the control socket: true when the phone waits in Android mode (or
    // is on its way there) and will come back as a fastboot device.
    bool request_fastboot();
    // The operator pulls the phone's cable: every device of it goes at once (what the host has
    // not read is lost). For good: the thread ends and the phone is "off". With back_ms >= 0 the
    // same phone is plugged back after that long (nominal), in the mode it was in.
    void request_unplug(int64_t back_ms = -1);

    int index() const { return opt_.index; }
    int hubport() const { return opt_.hubport; }
    const std::string& imei() const { return opt_.imei; }
    const std::string& dir() const { return opt_.dir; }
    Phase phase() const { return phase_.load(); }

  private:
    struct Retiring {
        std::unique_ptr<Pty> pty;
        std::chrono::steady_clock::time_point last_write;
    };
    using Clock = std::chrono::steady_clock;

    void run();
    void enter(Mode m);
    void publish(tw::DeviceRecord& r);
    void unpublish();
    void retire_port();
    void close_fastboot();
    void unplug(int64_t ms);
    void schedule(Mode m, int64_t nominal_ms);
    int poll_timeout_ms(Clock::time_point now) const;
    void run_timers(Clock::time_point now);
    void flush_nv();
    void write_info();

    Stage stage() const;
    // The step of a request of stage st (kNoStep when none).
    int step_of(Stage st, const uint8_t* p, size_t n) const;
    void read_port();
    void on_frame(const uint8_t* p, size_t n);
    void on_bad_fcs(const uint8_t* p, size_t n);
    void send_frame(Stage st, bool opening_flag);
    bool write_fd(int fd, const uint8_t* p, size_t n, int64_t bps, bool socket);
    bool pause_real(std::chrono::nanoseconds d);

    void accept_tcp();
    void read_tcp();
    void on_fastboot_command(const std::string& cmd);
    void send_tcp(const std::string& payload);
    void drop_connection();

    void log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void log_exchange(Stage st, const uint8_t* req, size_t n, const char* outcome);

    // StreamStore
    void partition_table(const uint8_t* data, size_t n, bool override_flag) override;
    void open_image(uint8_t type, const uint8_t* header, size_t n) override;
    void write_image(uint8_t type, uint32_t offset, const uint8_t* data, size_t n) override;
    void close_image(uint8_t type) override;

    PhoneOptions opt_;
    std::thread thread_;
    int wake_fd_ = -1;
    std::atomic<Phase> phase_{Phase::Off};
    std::atomic<bool> want_fastboot_{false};
    std::atomic<bool> want_unplug_{false};
    std::atomic<int64_t> unplug_back_ms_{-1};

    // Everything below belongs to the phone's thread.
    NvStore nv_;
    DiagResponder diag_;
    FaultPlan faults_;
    FrameDecoder decoder_;
    std::unique_ptr<Pty> pty_;
    std::vector<Retiring> retiring_;
    Clock::time_point last_write_{};
    uint64_t port_generation_ = 0;
    std::unique_ptr<DmssResponder> dmss_;
    std::unique_ptr<StreamingResponder> stream_;
    bool garbage_ = false;
    bool reset_seen_ = false; // the phone went to download once: DIAG from now on is "restore"
    int step_ = kNoStep;      // of the request being answered
    FILE* image_ = nullptr;
    std::string record_name_;
    int record_seq_ = 0;
    int com_ = 0;

    int listen_fd_ = -1;
    int conn_fd_ = -1;
    uint16_t tcp_port_ = 0;
    std::unique_ptr<FastbootDevice> fastboot_;
    bool fb_handshake_ = false;
    uint8_t fb_hdr_[8] = {};
    size_t fb_hdr_got_ = 0;
    uint64_t fb_packet_left_ = 0;
    bool fb_packet_is_data_ = false;
    std::string fb_cmd_;
    std::vector<std::string> fb_out_;
    uint64_t fb_unplug_after_ = 0; // unplug once this many more download bytes arrived
    int64_t fb_unplug_ms_ = 0;

    bool pending_ = false;
    Mode pending_mode_ = Mode::Diag;
    Clock::time_point pending_at_{};
    bool nv_dirty_ = false;
    Clock::time_point nv_flush_at_{};
    bool stale_pending_ = false;
    bool stale_tcp_ = false;
    bool stale_with_next_ = false; // a delayed duplicate goes out ahead of the next answer
    Clock::time_point stale_at_{};
    Bytes stale_;
    std::string stale_tcp_payload_;
    Clock::time_point master_quiet_until_{};

    Bytes answer_;
    Bytes wire_;
    std::vector<uint8_t> rx_;
    std::vector<uint8_t> tcp_rx_; // fastboot reads: large, so a download takes few of them
    FILE* log_ = nullptr;
    std::mutex log_mu_;
};

} // namespace phonesim
