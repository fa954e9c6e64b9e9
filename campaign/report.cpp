#include <string>

#include "campaign/campaign.h"

namespace campaign {

namespace {

struct Row {
    int runs = 0, pass = 0, fail_ok = 0, wrong_pass = 0, should_pass = 0, lost = 0, stalled = 0;
    void Add(const PhoneRun& r) {
        ++runs;
        if (r.pass && !r.wrong_pass) ++pass;
        if (!r.pass && r.fault.expect != Expect::Pass) ++fail_ok;
        wrong_pass += r.wrong_pass;
        should_pass += r.should_pass;
        stalled += r.stalled;
        lost += r.lost;
    }
};

void Line(FILE* out, const std::string& stage, const std::string& kind, const Row& r) {
    std::fprintf(out, "| %-9s | %-12s | %4d | %4d | %6d | %5d | %6d | %7d | %4d |\n", stage.c_str(),
                 kind.c_str(), r.runs, r.pass, r.fail_ok, r.wrong_pass, r.should_pass, r.stalled,
                 r.lost);
}

} // namespace

void PrintTable(const std::vector<PhoneRun>& runs, FILE* out) {
    std::fprintf(
        out,
        "\n| stage     | fault        | runs | PASS | FAIL   | wrong | FAIL,  | FAIL,   | data |\n"
        "|           |              |      |      | as ex- | PASS  | should | link    | lost |\n"
        "|           |              |      |      | pected |       | pass   | stalled |      |\n"
        "|-----------|--------------|------|------|--------|-------|--------|---------|------|\n");
    Row all, none, back, final_round;
    for (const auto& [stage, kind] : Pairs()) {
        Row row;
        for (const PhoneRun& r : runs)
            if (r.ended && r.same_as < 0 && !r.final_round && r.fault.stage == stage &&
                r.fault.kind == kind)
                row.Add(r);
        Line(out, StageName(stage), KindName(kind), row);
    }
    for (const PhoneRun& r : runs) {
        if (!r.ended) continue;
        all.Add(r);
        if (r.final_round)
            final_round.Add(r);
        else if (r.same_as >= 0)
            back.Add(r);
        else if (r.fault.stage < 0)
            none.Add(r);
    }
    Line(out, "-", "no fault", none);
    Line(out, "-", "failed, back", back);
    Line(out, "-", "final round", final_round);
    Line(out, "all", "", all);
    std::fprintf(out, "\n");
}

} // namespace campaign
