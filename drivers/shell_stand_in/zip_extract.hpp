// Extracting a zip archive (stored and deflate entries) into a folder, for the test shell.
#pragma once

#include <string>

namespace kp::stand_in {

// How a copy departs from a faithful one, as a real shell's may.
struct CopyManner {
    std::string left_out;  // an entry passed over in silence, as one the shell could not write
    unsigned pause_ms = 0; // a pause before each entry, as a copy that takes its time
};

// Every entry of the archive at zip_path is written below destination, folders created and
// existing files replaced. Empty on success, otherwise what went wrong; count is the number
// of entries written.
std::string extract_zip(const std::wstring& zip_path, const std::wstring& destination, int& count,
                        const CopyManner& manner = {});

} // namespace kp::stand_in
