#pragma once
// An image file held whole in memory, loaded once and then shared read-only by every flashing
// run; downloads send straight from it.
#include <cstdint>
#include <memory>
#include <string>

namespace tw::fastboot {

struct Image {
    std::unique_ptr<uint8_t[]> data;
    uint32_t size = 0;
};

enum LoadError : uint32_t {
    kLoadOk = 0,
    kLoadNoFile = 1,    // the file does not exist
    kLoadNoMemory = 2,  // no memory for it
    kLoadReadError = 3, // anything else: unreadable, not a regular file, 4 GiB or more, changed
};

// Reads the whole regular file at path into out.
uint32_t load_image(const std::string& path, Image& out);

} // namespace tw::fastboot
