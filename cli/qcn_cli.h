#pragma once
// What the DIAG commands (imei, backup-qcn, restore-qcn) share: the port option, a module on
// the port that is released on every path, and progress from the module's callback.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>

#include "cli/command.h"
#include "cli/json.h"
#include "diag/qcn_file.h"
#include "engine/flashboot.h"

namespace cli::qcn {

// The callback is a plain function: the one command a process runs keeps its settings here.
inline std::atomic<bool> g_json{false};
inline std::atomic<bool> g_bar{false};

inline int OnProgress(Download* d) {
    if (!d) return 0;
    if (g_json.load()) {
        JsonLine l;
        l.str("event", "progress").num("position", d->iProgress);
        if (d->pStatus) l.str("status", d->pStatus);
        l.print();
    } else if (g_bar.load()) {
        std::fprintf(stderr, "\r%3d%% %-40.40s", d->iProgress, d->pStatus ? d->pStatus : "");
        std::fflush(stderr);
    }
    return 0;
}

inline void EndBar() {
    if (g_bar.load()) std::fprintf(stderr, "\n");
}

// Parses --port N (1 or more).
inline bool PortOf(const ParsedArgs& pa, const std::string& cmd, int& port, int& exit_code) {
    long long v = 0;
    if (!pa.has("--port") || !parse_int(pa.get("--port"), v) || v < 1 || v > 255) {
        exit_code = usage_error(cmd + ": --port N is required (a COM number from 1 to 255)");
        return false;
    }
    port = static_cast<int>(v);
    return true;
}

// Parses --diag-pause-ms MS: the fixed pause between a DIAG request and the read of its answer
// that some phones need (0 to 60000 nominal milliseconds; 0, no pause, when not given).
inline bool DiagPauseOf(const ParsedArgs& pa, const std::string& cmd, int& ms, int& exit_code) {
    long long v = 0;
    if (pa.has("--diag-pause-ms") &&
        (!parse_int(pa.get("--diag-pause-ms"), v) || v < 0 || v > 60000)) {
        exit_code = usage_error(cmd + ": --diag-pause-ms needs 0 to 60000 milliseconds");
        return false;
    }
    ms = static_cast<int>(v);
    return true;
}

// Prints a failure: a result line with --json, otherwise one line on standard error.
inline int Failed(const Globals& g, const std::string& cmd, int code, const std::string& why) {
    EndBar();
    if (g.json) {
        JsonLine()
            .str("event", "result")
            .str("command", cmd)
            .num("result", code)
            .str("error", why)
            .print();
    } else {
        std::cerr << "tarnwell-cli: " << cmd << " failed (result " << code << "): " << why << "\n";
    }
    return kExitFailed;
}

// A module on a COM port, deleted when it goes out of scope; diag_pause_ms is its DIAG pause.
class Module {
  public:
    Module(const Globals& g, int port, int diag_pause_ms = 0) {
        g_json = g.json;
        g_bar = !g.json && !g.quiet && ::isatty(STDERR_FILENO);
        // The conversion's own lines only with the debug output.
        const char* dbg = std::getenv("TARNWELL_DEBUG");
        diag::SetMessageStream(dbg && *dbg && std::string(dbg) != "0" ? stderr : nullptr);
        CreateModule(port, 1, &m_);
        if (!m_) return;
        m_->m_portNumber = port;
        m_->m_portType = 1;
        m_->m_callbackfunc = OnProgress;
        m_->SetDiagPauseMs(diag_pause_ms);
    }
    ~Module() {
        if (m_) DeleteModule(m_);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    Flashboot* get() const { return m_; }
    // False, with the reason printed, when the port did not open.
    bool Opened(const Globals& g, const std::string& cmd, int port) const {
        std::string why;
        if (!m_)
            why = "no module could be created";
        else if (m_->hComHandle == PORT_HANDLE_IN_USE)
            why = "COM" + std::to_string(port) + " is held by another program";
        else if (m_->hComHandle == INVALID_PORT_HANDLE || !m_->trans_Dig)
            why = "COM" + std::to_string(port) + " cannot be opened";
        if (why.empty()) return true;
        Failed(g, cmd, -1, why);
        return false;
    }

  private:
    Flashboot* m_ = nullptr;
};

} // namespace cli::qcn
