// "rawprogram0.xml" and "patch0.xml" on any text: an accepted plan names a file for every
// entry it holds, keeps its patches inside their blocks and on sectors that exist, and the
// record it fills points at its own names.
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/emmc_xml.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const std::string raw = in.text(in.u16());
    const std::string patch = in.text(in.left());
    emmc::EmmcPlan plan;
    std::string error;
    if (emmc::ParseEmmcPlan(raw, patch, plan, error) != emmc::XmlResult::Ok) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(plan.MissingEntries().size() == 10); // a refused plan is left empty
        return 0;
    }
    for (const emmc::PlanImage* i : {&plan.sbl1, &plan.sbl2, &plan.sbl3, &plan.rpm, &plan.aboot,
                                     &plan.tz, &plan.mbr0, &plan.ebr0})
        FUZZ_CHECK(i->found == !i->filename.empty());
    for (const emmc::PlanPatch* p : {&plan.patch1, &plan.patch2}) {
        if (!p->found) continue;
        FUZZ_CHECK(!plan.patch_filename.empty());
        FUZZ_CHECK(p->byte_offset <= kEmmcMaxPatchOffset);
        FUZZ_CHECK(p->disk_start_sector >= p->block_index);
    }
    FUZZ_CHECK(!plan.patch2.found || plan.patch1.found);

    XMLDATA record{};
    plan.Fill(record);
    FUZZ_CHECK((record.SBL1_FileName != nullptr) == plan.sbl1.found);
    FUZZ_CHECK(!record.SBL1_FileName ||
               std::strcmp(record.SBL1_FileName, plan.sbl1.filename.c_str()) == 0);
    FUZZ_CHECK((record.PATCH_FileName != nullptr) == plan.patch1.found);
    return 0;
}
