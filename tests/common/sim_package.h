#pragma once
// One simulated phones' package for a whole test program, made at its first use.
#include <stdlib.h>

#include <string>

#include "phonesim/package.h"

namespace twtest {

inline const std::string& SimPackage() {
    static const std::string dir = [] {
        std::string d = "/tmp/tw-package-XXXXXX";
        if (!::mkdtemp(d.data())) return std::string();
        std::string err;
        phonesim::make_package(d, {}, err);
        return d;
    }();
    return dir;
}

} // namespace twtest
