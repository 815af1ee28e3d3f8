// Walking a tool package's entry stream the way the launcher's unpacker does, without writing
// any file: every entry is read and checked in order, the stream is hashed, and the result says
// where the walk stopped and whether the identifier verifies.
#pragma once

#include "tools/tool_package_format.hpp"

#include <cstdint>
#include <functional>
#include <string>

namespace kp::pack {

struct PackageCheck {
    EntryProblem problem = EntryProblem::none; // the refused entry, if any
    std::uint64_t problem_offset = 0;          // where that entry starts
    bool data_unreadable = false;              // an entry's data could not be read in full
    std::uint64_t entry_count = 0;
    std::u16string computed_id; // empty when the walk stopped early or hashing failed
    bool verified = false;      // computed_id equals the trailer's package_id
};

using EntryVisitor = std::function<void(const ToolPackageEntry& entry, std::uint64_t offset)>;
// Called with the stream bytes consumed so far after every chunk of entry data.
using ProgressVisitor = std::function<void(std::uint64_t done, std::uint64_t total)>;

PackageCheck check_tool_package(const FileHandle& file, const ToolPackageTrailer& trailer,
                                const EntryVisitor& on_entry = {}, const ProgressVisitor& on_progress = {});

// One short phrase for a refused entry.
std::string describe(const ToolPackageEntry& entry, EntryProblem problem);

} // namespace kp::pack
