// Fuzzes the reading of a zip archive's central directory, as the launcher does before it
// installs and kpack does before it ships. Besides staying inside the buffer, an accepted
// directory must describe something installable: non-empty relative names that never climb,
// folders ending in '/'.
#include "payload/zip_directory.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool climbs(const std::string& name) {
    const std::string wrapped = "/" + name + "/";
    return wrapped.find("/../") != std::string::npos || wrapped.find("/./") != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kp::ZipDirectory directory = kp::read_zip_directory(data, size);
    if (directory.problem != kp::ZipDirectoryProblem::none)
        return 0;
    for (const kp::ZipDirectoryEntry& entry : directory.entries) {
        if (entry.name.empty() || entry.folder != (entry.name.back() == '/') || entry.name.front() == '/' ||
            climbs(entry.name))
            std::abort();
    }
    return 0;
}
