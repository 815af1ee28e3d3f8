// What an installation of the application archive needs and whether it arrived: the space the
// copy takes, and the wait that verifies every entry of the archive in the install directory.
#pragma once

#include "payload/zip_directory.hpp"
#include "platform/platform.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kp {

// The wait polls this often, never more than this many times (about 60 seconds).
inline constexpr std::uint32_t INSTALL_WAIT_POLLS = 240;
inline constexpr std::uint32_t INSTALL_WAIT_INTERVAL_MS = 250;
// After this many polls in a row without progress (5 s) the copy is taken as ended.
inline constexpr std::uint32_t INSTALL_IDLE_POLLS = 20;
// A file's CRC-32 is computed once its size has matched on this many polls in a row.
inline constexpr std::uint32_t INSTALL_STABLE_POLLS = 2;
// A verified file that cannot be opened for its flush is tried on this many polls.
inline constexpr std::uint32_t INSTALL_FLUSH_ATTEMPTS = 4;

// install directory + "\" + the name with "/" turned into "\", a folder's trailing "/" dropped.
std::u16string installed_path(const std::u16string& install_dir, const std::string& entry_name);

// Bytes the copy may take: the files at their uncompressed sizes, less the files of the same
// names it replaces, plus the largest file once more (a file may be written before the one it
// replaces goes), plus extra_bytes (the temporary archive, when it shares the volume).
// Saturates instead of wrapping on absurd sizes.
std::uint64_t space_needed(const std::vector<ZipDirectoryEntry>& entries, const std::u16string& install_dir,
                           std::uint64_t extra_bytes);

// What an entry's path held just before the copy was requested.
struct EntryNote {
    bool present = false;
    PathState state;
};

// Noted for every entry before the copy is requested, so that the wait can tell the files the copy
// has written from older ones it has yet to replace.
std::vector<EntryNote> note_entries(const std::u16string& install_dir,
                                    const std::vector<ZipDirectoryEntry>& entries);

// Polls until every entry is verified (and each verified file flushed, or out of flush attempts),
// the copy makes no progress for INSTALL_IDLE_POLLS polls, or INSTALL_WAIT_POLLS polls have
// passed; true when every entry was verified. A file is read back only once its state differs
// from its note (the copy has written it) and held still for INSTALL_STABLE_POLLS polls, so the
// launcher never holds a file the copy is about to open exclusively. Where the volume keeps no
// change time, or once the copy has been idle for INSTALL_IDLE_POLLS polls, untouched files are
// read too: an old file identical to the new one must not hold the stamp back. A file that could
// not be opened for its flush (flush_existing_file) does not make the installation incomplete.
bool wait_for_installation(const std::u16string& install_dir, const std::vector<ZipDirectoryEntry>& entries,
                           const std::vector<EntryNote>& before);

} // namespace kp
