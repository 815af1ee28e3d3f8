// Extracting a zip archive (stored and deflate entries) into a folder, for the test shell.
#pragma once

#include <string>

namespace kp::stand_in {

// Every entry of the archive at zip_path is written below destination, folders created and
// existing files replaced. Empty on success, otherwise what went wrong; count is the number
// of entries written.
std::string extract_zip(const std::wstring& zip_path, const std::wstring& destination, int& count);

} // namespace kp::stand_in
