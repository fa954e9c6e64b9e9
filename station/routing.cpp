#include "station/routing.h"

#include "platform/device_source.h"
#include "station/debug_line.h"
#include "station/routing_rules.h"

namespace tw::station {

namespace {

bool Running(StationCore& core, int slot) {
    return slot >= 0 && slot < kSlots && core.slot(slot).running.load();
}

// Moves a started slot from waiting to its cycle; false when it was not waiting.
bool TakeWaiting(StationCore& core, int slot) {
    SlotPhase expected = SlotPhase::WaitingForPhone;
    return Running(core, slot) &&
           core.slot(slot).phase.compare_exchange_strong(expected, SlotPhase::InCycle);
}

void PostOrLog(StationCore& core, int slot, uint32_t id, uintptr_t w, intptr_t l) {
    if (!core.Post(slot, id, w, l))
        DebugLine("OnDeviceChangeForADB PostThreadMessage GetLastError = %ld (slot %d, message %u)",
                  0L, slot + 1, id);
}

// A position no slot holds goes to a waiting slot without one, or to the first free key.
int ClaimFor(StationCore& core, const std::string& position) {
    const int held = core.SlotOf(position);
    if (held >= 0) return held;
    return core.Claim(position, WaitingSlotWithoutPosition(core));
}

} // namespace

int WaitingSlotWithoutPosition(StationCore& core) {
    for (int i = 0; i < kSlots; ++i)
        if (Running(core, i) && core.slot(i).phase.load() == SlotPhase::WaitingForPhone &&
            core.PositionOf(i).empty())
            return i;
    return -1;
}

bool OfferDownload(StationCore& core, int slot, int port, int is_connect) {
    SlotState& s = core.slot(slot);
    if (s.busy.exchange(1)) return false;
    s.claim.store(true);
    s.phase.store(SlotPhase::InCycle);
    if (core.Post(slot, MSG_TO_UPDATE_MODEM, static_cast<uintptr_t>(port), is_connect)) return true;
    DebugLine("WriteQDLoadcom9008 PostThreadMessage GetLastError = %ld", 0L);
    s.claim.store(false);
    s.busy.store(0);
    return false;
}

void OfferPhoneAtStart(StationCore& core, int slot) {
    SlotState& s = core.slot(slot);
    // The routing may be handing the slot the same phone at this moment (its arrival is being
    // routed while the slot starts): whoever moves the slot out of waiting starts the cycle,
    // so the phone never gets two.
    auto take = [&s] {
        SlotPhase expected = SlotPhase::WaitingForPhone;
        return s.phase.compare_exchange_strong(expected, SlotPhase::InCycle);
    };
    const FoundPort p = core.FindAnyPhonePort(slot);
    if (p.kind == PortKind::Diag) {
        if (!take()) return;
        core.SetRowString(slot, &SlotState::diag_com, "COM" + std::to_string(p.com));
        core.Post(slot, MSG_TO_BACKUP_QCN, static_cast<uintptr_t>(p.com), 0);
        return;
    }
    if (p.kind == PortKind::Download) {
        if (take()) OfferDownload(core, slot, p.com, 0);
        return;
    }
    const std::string fastboot = core.FastbootDeviceAt(core.PositionOf(slot));
    if (!fastboot.empty()) {
        if (!take()) return;
        core.SetRowString(slot, &SlotState::fastboot_name, fastboot);
        s.busy.store(1);
        core.Post(slot, MSG_TO_DOWNLOAD_FASTBOOT);
        return;
    }
    if (s.phase.load() == SlotPhase::WaitingForPhone) core.Status(slot, Text::WaitingForPhone);
}

DeviceRouter::DeviceRouter(StationCore& core, StartSlotFn start)
    : core_(core), start_(std::move(start)) {}

void DeviceRouter::OnDeviceChange(const DeviceEvent& e) {
    if (!core_.AnyRunning()) return;
    const DeviceRecord& r = e.record;
    NotePosition(RecordPosition(r), e.change == DeviceChange::Arrival);
    if (e.change == DeviceChange::Removal) {
        Removal(r);
        return;
    }
    DebugLine("device arrival: %s", r.interface_path.c_str());
    if (IsFastbootDevice(r))
        FastbootArrival(r);
    else if (IsDownloadPort(r))
        DownloadArrival(r);
    else if (IsDiagArrival(r))
        DiagArrival(r);
    else if (r.kind == DeviceKind::Disk)
        DiskArrival(r);
}

void DeviceRouter::DiagArrival(const DeviceRecord& r) {
    const std::string pos = RecordPosition(r);
    DebugLine("\n threadStart1 下载fastboot!!! ***arrayPortNumber = %s*** \n", pos.c_str());
    if (pos.empty()) return;
    const int slot = ClaimFor(core_, pos);
    if (slot < 0) return;
    core_.SetRowString(slot, &SlotState::dev_inst, r.instance);
    core_.SetRowString(slot, &SlotState::diag_com, "COM" + std::to_string(r.com));
    if (TakeWaiting(core_, slot)) PostOrLog(core_, slot, MSG_TO_BACKUP_QCN, r.com, 0);
}

void DeviceRouter::DownloadArrival(const DeviceRecord& r) {
    // In RepairMode the listener's report brings these ports to their slots.
    if (core_.repair()) return;
    const std::string pos = RecordPosition(r);
    if (pos.empty()) return;
    int slot = core_.SlotOf(pos);
    if (slot < 0) {
        const int waiting = WaitingSlotWithoutPosition(core_);
        if (waiting < 0) return;
        slot = core_.Claim(pos, waiting);
    }
    if (TakeWaiting(core_, slot)) OfferDownload(core_, slot, r.com, 0);
}

void DeviceRouter::FastbootArrival(const DeviceRecord& r) {
    const std::string pos = RecordPosition(r);
    DebugLine("\n threadStart 下载fastboot!!! ***arrayPortNumber = %s*** \n", pos.c_str());
    if (pos.empty()) return;
    const int slot = ClaimFor(core_, pos);
    if (slot < 0) return;
    core_.SetRowString(slot, &SlotState::fastboot_name, FastbootNameOf(r));
    if (!Running(core_, slot)) return;
    TakeWaiting(core_, slot);
    // A slot that has finished its phone takes no fastboot device until a new cycle begins.
    if (core_.slot(slot).phase.load() != SlotPhase::InCycle) return;
    core_.slot(slot).busy.store(1);
    PostOrLog(core_, slot, MSG_TO_DOWNLOAD_FASTBOOT, 0, 0);
}

void DeviceRouter::DiskArrival(const DeviceRecord& r) {
    const int slot = core_.SlotOf(RecordPosition(r));
    if (!Running(core_, slot)) return;
    core_.SetRowString(slot, &SlotState::emmc_disk,
                       r.interface_path.empty() ? r.path : r.interface_path);
    PostOrLog(core_, slot, MSG_TO_DOWNLOAD_EMMC, 0, 0);
}

bool DeviceRouter::PositionEmpty(const std::string& position) const {
    for (const DeviceRecord& r : list_devices())
        if (RecordPosition(r) == position) return false;
    return true;
}

bool DeviceRouter::FreeFinished(int slot) {
    SlotPhase expected = SlotPhase::Finished;
    if (!core_.slot(slot).phase.compare_exchange_strong(expected, SlotPhase::WaitingForPhone))
        return false;
    DebugLine("slot %d: its phone has left; waiting for the next one", slot + 1);
    PostOrLog(core_, slot, MSG_TO_RESET_ROW, 0, 2);
    return true;
}

void DeviceRouter::NotePosition(const std::string& position, bool arrival) {
    if (position.empty()) return;
    bool empty = false, looked = false;
    const auto now = clock::Steady::now();
    for (int i = 0; i < kSlots; ++i) {
        if (core_.slot(i).phase.load() != SlotPhase::Finished || core_.PositionOf(i) != position)
            continue;
        auto& since = empty_since_[static_cast<size_t>(i)];
        if (arrival) {
            // Empty long enough, though the timer has not run yet: this is the next phone.
            if (since && now - *since >= clock::scaled(std::chrono::milliseconds(kPhoneLeftMs)))
                FreeFinished(i);
            since.reset();
            continue;
        }
        if (!looked) {
            empty = PositionEmpty(position);
            looked = true;
        }
        if (empty && !since) since = now;
    }
}

void DeviceRouter::OnSlotFinished(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    auto& since = empty_since_[static_cast<size_t>(slot)];
    since.reset();
    if (!Running(core_, slot) || core_.slot(slot).phase.load() != SlotPhase::Finished) return;
    const std::string pos = core_.PositionOf(slot);
    // A phone gone before its cycle ended (a failure that lost it) has been away since then.
    if (pos.empty() || PositionEmpty(pos)) since = clock::Steady::now();
}

std::optional<clock::Steady::time_point> DeviceRouter::Tick() {
    const auto now = clock::Steady::now();
    const auto wait = clock::scaled(std::chrono::milliseconds(kPhoneLeftMs));
    std::optional<clock::Steady::time_point> next;
    for (int i = 0; i < kSlots; ++i) {
        auto& since = empty_since_[static_cast<size_t>(i)];
        if (!since) continue;
        SlotState& s = core_.slot(i);
        if (!Running(core_, i) || s.phase.load() != SlotPhase::Finished) {
            since.reset();
            continue;
        }
        const auto due = *since + wait;
        if (now < due) {
            if (!next || due < *next) next = due;
            continue;
        }
        since.reset();
        const std::string pos = core_.PositionOf(i);
        // Something there after all (its arrival is still on its way): that one decides.
        if (!pos.empty() && !PositionEmpty(pos)) continue;
        FreeFinished(i);
    }
    return next;
}

void DeviceRouter::Removal(const DeviceRecord& r) {
    if (r.kind == DeviceKind::Serial && r.com > 0) {
        int found = -1;
        intptr_t force = 0;
        for (int i = 0; i < kSlots && found < 0; ++i) {
            int com = r.com;
            if (core_.slot(i).com_port.compare_exchange_strong(com, 0)) found = i;
        }
        for (int i = 0; i < kSlots && found < 0; ++i) {
            int com = r.com;
            if (core_.slot(i).own_port.compare_exchange_strong(com, 0)) {
                found = i;
                force = 1;
            }
        }
        // A finished slot keeps its result until its phone has left (Tick).
        if (found >= 0 && Running(core_, found) && !core_.slot(found).busy.load() &&
            core_.slot(found).phase.load() != SlotPhase::Finished)
            PostOrLog(core_, found, MSG_TO_RESET_ROW, 0, force);
    }
    const std::string name = FastbootNameOf(r);
    if (name.empty()) return;
    for (int i = 0; i < kSlots; ++i) {
        if (core_.RowString(i, &SlotState::fastboot_name) != name) continue;
        core_.SetRowString(i, &SlotState::fastboot_name, "");
        if (Running(core_, i) && !core_.slot(i).busy.load() &&
            core_.slot(i).phase.load() != SlotPhase::Finished)
            PostOrLog(core_, i, MSG_TO_RESET_ROW, 0, 2);
        break;
    }
}

void DeviceRouter::OnListenerMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    (void)lParam;
    if (!core_.repair()) return;
    if (msg == kMsgPhoneReady)
        PhoneConnectNotify(static_cast<int>(wParam), 1, 0);
    else if (msg == kMsgPhoneConnectNotify)
        PhoneConnectNotify(static_cast<int>(wParam), 1, 1);
}

int DeviceRouter::PhoneConnectNotify(int port, int port_type, int is_connect) {
    if (port_type != 1) return 0;
    DebugLine("COM%d", port);
    DeviceRecord found;
    bool have = false;
    // The port with exactly this number: COM1 never takes COM12's device.
    for (const DeviceRecord& r : list_devices())
        if (r.kind == DeviceKind::Serial && r.com == port) {
            found = r;
            have = true;
            break;
        }
    if (!have) return 0;
    const std::string pos = RecordPosition(found);
    DebugLine("\n QDLoad ***arrayPortNumber = %s*** \n", pos.c_str());
    if (pos.empty()) return 0;
    const int slot = ClaimFor(core_, pos);
    if (slot < 0) {
        DebugLine("\n================WriteQDLoadcom9008 "
                  "没找到端口，配置文档里面的端口有问题====================");
        return 0;
    }
    DebugLine("WriteQDLoadcom9008 = %d", slot);
    core_.slot(slot).com_port.store(port);
    if (!Running(core_, slot)) {
        DebugLine("下载按钮  %d 没有按下!!!", slot + 1);
        if (!start_ || !start_(slot)) return 0;
    }
    // Busy with a phone, or still showing the last one's result until it leaves.
    if (core_.slot(slot).busy.load() || core_.slot(slot).phase.load() == SlotPhase::Finished)
        return 0;
    OfferDownload(core_, slot, port, is_connect);
    return 0;
}

} // namespace tw::station
