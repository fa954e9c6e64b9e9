#include "phonesim/nv.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "phonesim/imei.h"
#include "phonesim/util.h"

namespace phonesim {

namespace {

constexpr uint64_t kCatalogSeed = 0x7627A0001ull;

std::vector<NvCatalogEntry> build_catalog() {
    Rng r(kCatalogSeed);
    std::set<uint16_t> numbers;
    // A few items every phone of this kind has, then a spread of others.
    for (uint16_t n : {0, 10, 441, 442, 453, 550, 1943, 2954, 4678, 6828})
        numbers.insert(n);
    while (numbers.size() < 300)
        numbers.insert(static_cast<uint16_t>(1 + r.below(7000)));

    std::vector<NvCatalogEntry> main;
    for (uint16_t n : numbers) {
        NvCatalogEntry e;
        e.item = n;
        e.calibrated = (n >= 1000 && n < 7000 && r.below(3) == 0);
        e.name = (e.calibrated ? "NV_RF_CAL_" : "NV_CFG_") + std::to_string(n) + "_I";
        uint32_t pick = r.below(100);
        if (n == kNvImeiItem) {
            e.name = "NV_UE_IMEI_I";
            e.calibrated = true;
        } else if (n == 0) {
            e.name = "NV_ESN_I";
            e.readonly = true;
            e.listed = false;
        } else if (pick < 8) {
            e.factory_active = false; // listed, reads as inactive until written
            e.calibrated = false;
        } else if (pick < 10) {
            e.readonly = true; // the phone refuses writes; not in the list
            e.listed = false;
            e.calibrated = false;
        }
        main.push_back(e);
    }
    // Listed numbers the phone does not define.
    std::vector<NvCatalogEntry> undefined;
    while (undefined.size() < 6) {
        uint16_t n = static_cast<uint16_t>(7000 + r.below(900));
        if (numbers.count(n)) continue;
        numbers.insert(n);
        NvCatalogEntry e;
        e.item = n;
        e.name = "NV_UNKNOWN_" + std::to_string(n) + "_I";
        e.defined = false;
        undefined.push_back(e);
    }
    main.insert(main.end(), undefined.begin(), undefined.end());
    std::sort(main.begin(), main.end(),
              [](const NvCatalogEntry& a, const NvCatalogEntry& b) { return a.item < b.item; });

    // SIM 1 copies of some main items (never the IMEI).
    std::vector<NvCatalogEntry> sim;
    for (const auto& m : main) {
        if (!m.defined || m.readonly || m.item == kNvImeiItem || !m.factory_active) continue;
        if (r.below(7) != 0) continue;
        NvCatalogEntry e = m;
        e.context = 1;
        e.name = m.name.substr(0, m.name.size() - 2) + "_SIM1_I";
        sim.push_back(e);
    }
    main.insert(main.end(), sim.begin(), sim.end());
    return main;
}

} // namespace

const std::vector<NvCatalogEntry>& nv_catalog() {
    static const std::vector<NvCatalogEntry> c = build_catalog();
    return c;
}

std::string nvfrom_text() {
    const auto& c = nv_catalog();
    std::string out;
    for (const auto& e : c) {
        if (e.context != 0 || !e.listed) continue;
        out += "NV item: " + std::to_string(e.item) + " [" + e.name + "]\r\n";
        for (const auto& s : c)
            if (s.context == 1 && s.item == e.item && s.listed)
                out += " NV item (SIM 1): " + std::to_string(s.item) + " [" + s.name + "]\r\n";
    }
    return out;
}

NvStore::Data NvStore::factory_value(const NvCatalogEntry& e) {
    Data d{};
    if (e.item == kNvImeiItem) return d; // the identity comes only from a QCN restore
    Rng r(mix_seed(kCatalogSeed, e.item, e.context));
    size_t used = 1 + r.below(kNvDataSize);
    r.fill(d.data(), used);
    return d;
}

NvStore::NvStore(const std::string& imei, uint64_t seed) {
    for (const auto& e : nv_catalog()) {
        if (!e.defined) continue;
        Item it;
        it.data = factory_value(e);
        it.active = e.factory_active;
        it.readonly = e.readonly;
        if (e.item == kNvImeiItem && e.context == 0) {
            auto b = imei_to_nv(imei);
            std::copy(b.begin(), b.end(), it.data.begin());
        } else if (e.calibrated) {
            // Calibration: the phone's own bytes over the factory pattern.
            Rng r(mix_seed(seed, e.item, e.context + 17));
            size_t used = 4 + r.below(kNvDataSize - 4);
            r.fill(it.data.data(), used);
        }
        items_[key(e.item, e.context)] = it;
    }
}

uint16_t NvStore::read(uint16_t item, uint16_t context, uint8_t* out) const {
    auto it = items_.find(key(item, context));
    if (it == items_.end()) return kNvBadItem;
    if (!it->second.active) return kNvInactive;
    std::copy(it->second.data.begin(), it->second.data.end(), out);
    return kNvDone;
}

uint16_t NvStore::write(uint16_t item, uint16_t context, const uint8_t* data) {
    auto it = items_.find(key(item, context));
    if (it == items_.end()) return kNvBadItem;
    if (it->second.readonly) return kNvReadOnly;
    std::copy(data, data + kNvDataSize, it->second.data.begin());
    it->second.active = true;
    return kNvDone;
}

void NvStore::factory_reset() {
    for (const auto& e : nv_catalog()) {
        auto it = items_.find(key(e.item, e.context));
        if (it == items_.end()) continue;
        it->second.data = factory_value(e);
        it->second.active = e.factory_active && (!e.calibrated || e.item == kNvImeiItem);
    }
}

bool NvStore::set_readonly(uint16_t item, uint16_t context) {
    auto it = items_.find(key(item, context));
    if (it == items_.end()) return false;
    it->second.readonly = true;
    return true;
}

bool NvStore::load_text(const std::string& text) {
    std::map<uint32_t, Item> next = items_;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        unsigned context = 0, item = 0;
        char act[16] = {}, rw[4] = {}, hex[2 * kNvDataSize + 2] = {};
        if (std::sscanf(line.c_str(), "%u %u %15s %3s %257s", &context, &item, act, rw, hex) != 5 ||
            std::strlen(hex) != 2 * kNvDataSize || context > 0xFFFF || item > 0xFFFF)
            return false;
        auto it = next.find(key(static_cast<uint16_t>(item), static_cast<uint16_t>(context)));
        if (it == next.end()) return false;
        for (size_t i = 0; i < kNvDataSize; ++i) {
            unsigned b = 0;
            if (std::sscanf(hex + 2 * i, "%2x", &b) != 1) return false;
            it->second.data[i] = static_cast<uint8_t>(b);
        }
        it->second.active = std::strcmp(act, "active") == 0;
        it->second.readonly = std::strcmp(rw, "ro") == 0;
    }
    items_ = std::move(next);
    return true;
}

bool NvStore::defined(uint16_t item, uint16_t context) const {
    return items_.count(key(item, context)) != 0;
}

std::string NvStore::to_text() const {
    std::string out;
    out.reserve(items_.size() * 280);
    for (const auto& [k, it] : items_) {
        out += std::to_string(k >> 16) + " " + std::to_string(k & 0xFFFF) +
               (it.active ? " active" : " inactive") + (it.readonly ? " ro " : " rw ") +
               hex_packed(it.data.data(), it.data.size()) + "\n";
    }
    return out;
}

} // namespace phonesim
