#include "engine/emmc_xml.h"

#include <cctype>
#include <iterator>
#include <limits>
#include <pugixml.hpp>
#include <strings.h>

namespace emmc {
namespace {

bool iequals(const char* a, const char* b) {
    return ::strcasecmp(a, b) == 0;
}

std::string quoted(const char* s) {
    return std::string("'") + s + "'";
}

const char* kind(bool raw) {
    return raw ? kRawProgramFile : kPatchFile;
}

XmlResult Load(pugi::xml_document& doc, const std::string& text, const std::string& path,
               bool from_file, bool raw, std::string& error) {
    pugi::xml_parse_result r =
        from_file ? doc.load_file(path.c_str()) : doc.load_buffer(text.data(), text.size());
    if (r.status == pugi::status_file_not_found || r.status == pugi::status_io_error) {
        error = std::string(kind(raw)) + ": cannot read " + path;
        return XmlResult::Missing;
    }
    if (!r) {
        error = std::string(kind(raw)) + ": not well-formed XML at byte " +
                std::to_string(r.offset) + ": " + r.description();
        return XmlResult::Malformed;
    }
    if (!doc.document_element()) {
        error = std::string(kind(raw)) + ": no root element";
        return XmlResult::Malformed;
    }
    return XmlResult::Ok;
}

// Reads a numeric attribute that must be present; the message names element and attribute.
bool Number(const pugi::xml_node& n, const char* attr, const std::string& where, uint32_t& out,
            std::string& error) {
    pugi::xml_attribute a = n.attribute(attr);
    if (!a) {
        error = where + " has no " + attr;
        return false;
    }
    if (!ParseXmlNumber(a.value(), out)) {
        error = where + " has " + attr + " " + quoted(a.value()) + ", not a 32-bit number";
        return false;
    }
    return true;
}

// A program's image is written from its first byte on; one that starts further into its file
// cannot be expressed in the plan and would put the wrong bytes on the disk.
bool WholeFile(const pugi::xml_node& n, const std::string& where, std::string& error) {
    pugi::xml_attribute a = n.attribute("file_sector_offset");
    if (!a) return true;
    uint32_t v = 0;
    if (!ParseXmlNumber(a.value(), v)) {
        error = where + " has file_sector_offset " + quoted(a.value()) + ", not a 32-bit number";
        return false;
    }
    if (v != 0) {
        error = where + " starts at sector " + std::to_string(v) +
                " of its file; only whole files can be written";
        return false;
    }
    return true;
}

struct Slot {
    const char* label;
    PlanImage EmmcPlan::*image;
};
constexpr Slot kSlots[] = {
    {"SBL1", &EmmcPlan::sbl1}, {"SBL2", &EmmcPlan::sbl2},   {"SBL3", &EmmcPlan::sbl3},
    {"RPM", &EmmcPlan::rpm},   {"ABOOT", &EmmcPlan::aboot}, {"TZ", &EmmcPlan::tz},
    {"MBR", &EmmcPlan::mbr0},  {"EBR", &EmmcPlan::ebr0},
};

XmlResult Parse(const pugi::xml_document& raw, const pugi::xml_document& patches, EmmcPlan& plan,
                std::string& error) {
    const std::string rp = kRawProgramFile;
    int index = 0;
    bool seen[std::size(kSlots)] = {};
    for (pugi::xml_node n : raw.document_element().children("program")) {
        ++index;
        const char* label = n.attribute("label").value();
        for (size_t k = 0; k < std::size(kSlots); ++k) {
            const Slot& s = kSlots[k];
            if (!iequals(label, s.label) || seen[k]) continue;
            seen[k] = true;
            PlanImage& img = plan.*(s.image);
            const std::string where =
                rp + ": <program> " + std::to_string(index) + " (" + s.label + ")";
            const char* file = n.attribute("filename").value();
            if (!*file) break; // no image for this label: the entry stays missing
            uint32_t sector = 0;
            if (!Number(n, "start_sector", where, sector, error) || !WholeFile(n, where, error))
                return XmlResult::Malformed;
            img.filename = file;
            img.start_sector = sector;
            img.found = true;
            break;
        }
    }

    const std::string pp = kPatchFile;
    PlanPatch* targets[] = {&plan.patch1, &plan.patch2};
    int taken = 0;
    index = 0;
    for (pugi::xml_node n : patches.document_element().children("patch")) {
        ++index;
        if (taken == 2) break;
        const std::string where = pp + ": <patch> " + std::to_string(index);
        pugi::xml_attribute fa = n.attribute("filename");
        if (!fa || !*fa.value()) {
            error = where + " has no filename";
            return XmlResult::Malformed;
        }
        const char* file = fa.value();
        if (iequals(file, "DISK")) continue;
        if (taken == 1 && plan.patch_filename != file) {
            error = where + " patches " + quoted(file) + " but the first patch patches " +
                    quoted(plan.patch_filename.c_str()) + "; both must patch the same file";
            return XmlResult::Malformed;
        }
        uint32_t offset = 0, block = 0;
        if (!Number(n, "byte_offset", where, offset, error) ||
            !Number(n, "start_sector", where, block, error))
            return XmlResult::Malformed;
        if (offset > kEmmcMaxPatchOffset) {
            error = where + " has byte_offset " + std::to_string(offset) + ", above " +
                    std::to_string(kEmmcMaxPatchOffset);
            return XmlResult::Malformed;
        }
        // The patched block goes back where the file's program put it.
        pugi::xml_node prog;
        int pindex = 0, found_at = 0;
        for (pugi::xml_node p : raw.document_element().children("program")) {
            ++pindex;
            if (std::string(p.attribute("filename").value()) == file) {
                prog = p;
                found_at = pindex;
                break;
            }
        }
        if (!prog) {
            error =
                where + " patches " + quoted(file) + ", which no <program> of " + rp + " writes";
            return XmlResult::Malformed;
        }
        const std::string pwhere = rp + ": <program> " + std::to_string(found_at);
        uint32_t base = 0;
        if (!Number(prog, "start_sector", pwhere, base, error) || !WholeFile(prog, pwhere, error))
            return XmlResult::Malformed;
        if (uint64_t{base} + block > std::numeric_limits<uint32_t>::max()) {
            error = where + " lands beyond sector 4294967295";
            return XmlResult::Malformed;
        }
        PlanPatch& t = *targets[taken++];
        plan.patch_filename = file;
        t.byte_offset = offset;
        t.block_index = block;
        t.disk_start_sector = base + block;
        t.found = true;
    }
    return XmlResult::Ok;
}

} // namespace

bool ParseXmlNumber(const char* text, uint32_t& out) {
    if (!text) return false;
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    uint64_t v = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > std::numeric_limits<uint32_t>::max()) return false;
        ++p;
    }
    // The tools that write these files end some numbers in '.' (or ".0").
    if (*p == '.') {
        ++p;
        while (*p == '0')
            ++p;
    }
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (*p != '\0') return false;
    out = static_cast<uint32_t>(v);
    return true;
}

void EmmcPlan::Fill(XMLDATA& r) const {
    auto name = [](const PlanImage& i) { return i.found ? i.filename.c_str() : nullptr; };
    r.SBL1_FileName = name(sbl1);
    r.SBL1_DISK_Start_Sector = sbl1.start_sector;
    r.SBL2_FileName = name(sbl2);
    r.SBL2_DISK_Start_Sector = sbl2.start_sector;
    r.SBL3_FileName = name(sbl3);
    r.SBL3_DISK_Start_Sector = sbl3.start_sector;
    r.RPM_FileName = name(rpm);
    r.RPM_DISK_Start_Sector = rpm.start_sector;
    r.ABOOT_FileName = name(aboot);
    r.ABOOT_DISK_Start_Sector = aboot.start_sector;
    r.TZ_FileName = name(tz);
    r.TZ_DISK_Start_Sector = tz.start_sector;
    r.MBR0_FileName = name(mbr0);
    r.MBR0_DISK_Start_Sector = mbr0.start_sector;
    r.EBR0_FileName = name(ebr0);
    r.EBR0_DISK_Start_Sector = ebr0.start_sector;
    r.PATCH_FileName = patch_filename.empty() ? nullptr : patch_filename.c_str();
    r.PATCH1_Byte_Offset = patch1.byte_offset;
    r.PATCH1_Block_Index = patch1.block_index;
    r.PATCH1_DISK_Start_Sector = patch1.disk_start_sector;
    r.PATCH2_Byte_Offset = patch2.byte_offset;
    r.PATCH2_Block_Index = patch2.block_index;
    r.PATCH2_DISK_Start_Sector = patch2.disk_start_sector;
}

std::vector<std::string> EmmcPlan::MissingEntries() const {
    std::vector<std::string> missing;
    const std::pair<const char*, const PlanImage*> images[] = {
        {"SBL1", &sbl1},   {"SBL2", &sbl2}, {"SBL3", &sbl3}, {"RPM", &rpm},
        {"ABOOT", &aboot}, {"TZ", &tz},     {"MBR0", &mbr0}, {"EBR0", &ebr0},
    };
    for (const auto& [label, img] : images)
        if (!img->found) missing.emplace_back(label);
    if (!patch1.found) missing.emplace_back("PATCH1");
    if (!patch2.found) missing.emplace_back("PATCH2");
    return missing;
}

void EmmcPlan::Clear() {
    for (PlanImage* i : {&sbl1, &sbl2, &sbl3, &rpm, &aboot, &tz, &mbr0, &ebr0})
        *i = PlanImage{};
    patch_filename.clear();
    patch1 = PlanPatch{};
    patch2 = PlanPatch{};
}

XmlResult ReadEmmcPlan(const std::string& folder, EmmcPlan& plan, std::string& error) {
    plan.Clear();
    pugi::xml_document raw, patches;
    XmlResult r = Load(raw, {}, SourcePath(folder.c_str(), kRawProgramFile), true, true, error);
    if (r == XmlResult::Ok)
        r = Load(patches, {}, SourcePath(folder.c_str(), kPatchFile), true, false, error);
    if (r == XmlResult::Ok) r = Parse(raw, patches, plan, error);
    if (r != XmlResult::Ok) plan.Clear();
    return r;
}

XmlResult ParseEmmcPlan(const std::string& rawprogram_xml, const std::string& patch_xml,
                        EmmcPlan& plan, std::string& error) {
    plan.Clear();
    pugi::xml_document raw, patches;
    XmlResult r = Load(raw, rawprogram_xml, kRawProgramFile, false, true, error);
    if (r == XmlResult::Ok) r = Load(patches, patch_xml, kPatchFile, false, false, error);
    if (r == XmlResult::Ok) r = Parse(raw, patches, plan, error);
    if (r != XmlResult::Ok) plan.Clear();
    return r;
}

} // namespace emmc
