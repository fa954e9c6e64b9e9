#pragma once
// Device arrival routing and the port assignment: device arrivals and removals (from the
// platform's device watcher) and the listener's port reports reach the right slot worker as
// thread messages. A phone is routed by the USB position it sits at, whatever identity it
// shows: its DIAG port starts the cycle of a slot waiting for a phone there, its fastboot
// device goes to that slot's worker, a disk to its eMMC stage. Runs on the station's routing
// thread only.
//
// A slot that has finished its phone (PASS or FAIL) keeps its row until that phone has left:
// every device at the slot's position gone for kPhoneLeftMs. The row then returns to "Waiting"
// and the next phone there starts its cycle by itself. A phone that re-enumerates during its
// cycle finds its slot in the cycle, so nothing of this applies to it.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/clock.h"
#include "platform/device_watcher.h"
#include "station/station_core.h"

namespace tw::station {

// How long a finished slot's position must stay empty before the slot takes the next phone.
constexpr int64_t kPhoneLeftMs = 2000;

// Listener messages (the COM number in wParam).
constexpr uint32_t kMsgPhoneReady = kWmUser + 1;         // 1025: QDLoader 9008 and 9026 ports
constexpr uint32_t kMsgPhoneConnectNotify = kWmUser + 4; // 1028: 900E ports
constexpr uint32_t kMsgDiag9025 = kWmUser + 5;           // 1029: accepted and ignored

class DeviceRouter {
  public:
    // Starts a slot the way its button does, without asking anything; false when it could
    // not start (the software not ready, a check failed).
    using StartSlotFn = std::function<bool(int slot)>;
    DeviceRouter(StationCore& core, StartSlotFn start);

    void OnDeviceChange(const DeviceEvent& e);
    void OnListenerMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);

    // A newly reported port: the slot of its position gets the phone's emergency download.
    // is_connect is handed on as the programmer choice. 0.
    int PhoneConnectNotify(int port, int port_type, int is_connect);

    // The slot has finished its phone: it waits for the phone to leave.
    void OnSlotFinished(int slot);
    // Frees the finished slots whose position has been empty long enough; the time of the next
    // such check, nullopt when no slot waits for its phone to leave.
    std::optional<clock::Steady::time_point> Tick();

  private:
    // A device came or went at the position: a finished slot there starts or stops counting.
    void NotePosition(const std::string& position, bool arrival);
    bool PositionEmpty(const std::string& position) const;
    // A finished slot back to waiting for a phone, its row reset; false when not finished.
    bool FreeFinished(int slot);

    void DiagArrival(const DeviceRecord& r);
    void DownloadArrival(const DeviceRecord& r);
    void FastbootArrival(const DeviceRecord& r);
    void DiskArrival(const DeviceRecord& r);
    void Removal(const DeviceRecord& r);

    StationCore& core_;
    StartSlotFn start_;
    // Since when a finished slot's position has been empty.
    std::array<std::optional<clock::Steady::time_point>, kSlots> empty_since_{};
};

// The slot to prefer when a position no slot holds appears: the lowest started slot that is
// waiting for a phone and has no position yet; -1 when none.
int WaitingSlotWithoutPosition(StationCore& core);

// The slot's phone gets its emergency download: busy set, the claim carried, the message
// posted. The port assignment, the start of a slot and the routing all go this way, so a
// second report of the same phone finds the slot busy and posts nothing.
bool OfferDownload(StationCore& core, int slot, int port, int is_connect);

// At a slot's start: the phone at its position (or one it can claim) begins its cycle at the
// stage its mode calls for; with none the slot waits, showing "Waiting for phone".
void OfferPhoneAtStart(StationCore& core, int slot);

} // namespace tw::station
