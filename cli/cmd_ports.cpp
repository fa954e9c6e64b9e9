// `ports`: the phone ports the detection lists, and with --json every device of the source with
// its USB position, so a script can follow one phone through its re-enumerations.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/json.h"
#include "detect/port_enum.h"
#include "platform/device_source.h"

namespace {

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}

std::string source_name() {
    std::string dir = tw::device_dir();
    return dir.empty() ? std::string("sysfs") : dir;
}

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    if (!args.empty()) return cli::usage_error("ports takes no arguments, not '" + args[0] + "'");

    std::vector<devlist> found(kDevListCapacity);
    bool probe_diag = false, probe_9025 = false;
    int n = QualcommVcom_QuaryDeviceName(found.data(), kDevListCapacity, &probe_diag, &probe_9025);
    if (n < 0) {
        std::cerr << "tarnwell-cli: ports: cannot read the device source (" << source_name()
                  << ")\n";
        return cli::kExitFailed;
    }
    // Room for every entry at its longest, so nothing is cut here.
    std::vector<char> list(kDevListCapacity * (8 + sizeof(devlist::DevicesName)) + 1);
    bool isDiagcom = false, isDiag9025com = false;
    GetPhone(list.data(), list.size(), &isDiagcom, &isDiag9025com);

    if (!g.json) {
        std::cout << list.data() << "\n"
                  << "isDiagcom=" << (isDiagcom ? 1 : 0)
                  << " isDiag9025com=" << (isDiag9025com ? 1 : 0) << "\n";
        return cli::kExitOk;
    }
    std::vector<int> listed;
    for (int i = 0; i < n; ++i)
        listed.push_back(found[i].ComPort);
    for (const auto& r : tw::list_devices()) {
        bool in_list = r.kind == tw::DeviceKind::Serial &&
                       std::find(listed.begin(), listed.end(), r.com) != listed.end();
        cli::JsonLine line;
        line.str("kind", tw::device_kind_name(r.kind))
            .num("com", r.com)
            .str("friendly", r.friendly);
        line.str("path", r.path).str("position", tw::usb_position(r)).str("parent", r.parent);
        line.num("hubport", r.hubport).str("vid", hex4(r.vid)).str("pid", hex4(r.pid));
        line.boolean("diag", r.diag).boolean("listed", in_list).str("name", r.name);
        if (!r.address.empty()) line.str("address", r.address);
        line.str("instance", r.instance);
        line.print();
    }
    cli::JsonLine()
        .str("list", list.data())
        .boolean("isDiagcom", isDiagcom)
        .boolean("isDiag9025com", isDiag9025com)
        .print();
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"ports", "",
                           "list the phone ports present (QDLoader 9008, DIAG 9025/9026/900E) and "
                           "the two DIAG flags; --json: every device with its USB position",
                           run});

} // namespace
