#include "payload/installation_check.hpp"

#include "common/crc32.hpp"
#include "common/text.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <limits>

namespace kp {

namespace {

constexpr std::uint32_t VERIFY_BLOCK_SIZE = 1024 * 1024;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max()
                                                             : a + b;
}

struct WatchedEntry {
    const ZipDirectoryEntry* entry = nullptr;
    std::u16string path;
    EntryNote before;
    bool touched = false; // its state has differed from the note: the copy wrote it
    bool present = false;
    PathState seen;
    std::uint32_t matching_polls = 0; // polls in a row with the archive's size, unchanged
    bool checked = false;             // the CRC-32 was computed for what was seen
    bool verified = false;
    bool flushed = false;
    std::uint32_t flush_attempts = 0;
};

enum class Readback { matches, differs, not_yet };

// Reads the file back, sharing it with a writer that may still hold it: a file that cannot be
// opened (a sharing violation) is "not yet"; one that ends short or runs long differs.
Readback read_back(const WatchedEntry& watched, Bytes& block) {
    FileHandle file = sys::open_file_shared_for_reading(watched.path);
    if (!file)
        return Readback::not_yet;
    std::uint32_t crc = 0;
    std::uint64_t total = 0;
    for (;;) {
        std::uint32_t done = 0;
        if (!sys::read_file(file, block.data(), static_cast<std::uint32_t>(block.size()), done))
            return Readback::not_yet;
        if (done == 0)
            break;
        crc = crc32(crc, block.data(), done);
        total += done;
        if (total > watched.entry->size)
            return Readback::differs;
    }
    return total == watched.entry->size && crc == watched.entry->crc32 ? Readback::matches
                                                                       : Readback::differs;
}

// An old file of the new size is told from its replacement by the change time alone (the copy
// may give it the archive's last-write time); without one it can only be read.
bool may_read(const WatchedEntry& watched, bool copy_idle) {
    return watched.touched || copy_idle || watched.before.state.change_time == 0;
}

// True when the entry made progress: it appeared, changed state, or the copy's file was verified
// on this poll.
bool poll_entry(WatchedEntry& watched, Bytes& block, bool copy_idle) {
    PathState now;
    if (!sys::query_path(watched.path, now)) {
        watched.present = false;
        watched.matching_polls = 0;
        watched.touched = watched.touched || watched.before.present;
        return false;
    }
    const bool changed = !watched.present || now != watched.seen;
    watched.touched = watched.touched || !watched.before.present || now != watched.before.state;
    watched.present = true;
    watched.seen = now;
    if (changed)
        watched.checked = false;
    if (watched.entry->folder) {
        watched.verified = watched.flushed = now.directory;
        return changed || watched.verified;
    }
    if (now.directory || now.size != watched.entry->size) {
        watched.matching_polls = 0;
        return changed;
    }
    watched.matching_polls = changed ? 1 : watched.matching_polls + 1;
    if (watched.matching_polls < INSTALL_STABLE_POLLS || watched.checked || !may_read(watched, copy_idle))
        return changed;
    const Readback result = read_back(watched, block);
    watched.checked = result != Readback::not_yet;
    watched.verified = result == Readback::matches;
    // An old file found complete is no sign that the copy is still going.
    return changed || (watched.verified && watched.touched);
}

void try_flush(WatchedEntry& watched) {
    ++watched.flush_attempts;
    watched.flushed = sys::flush_existing_file(watched.path);
}

struct PollOutcome {
    bool progress = false;
    bool complete = true; // every entry verified
    bool settled = true;  // and every verified file flushed, or out of flush attempts
};

// One poll over every entry; a verified file not yet flushed gets a flush attempt.
PollOutcome poll_entries(std::vector<WatchedEntry>& watched, Bytes& block, bool copy_idle) {
    PollOutcome outcome;
    for (WatchedEntry& entry : watched) {
        if (!entry.verified && poll_entry(entry, block, copy_idle))
            outcome.progress = true;
        if (entry.verified && !entry.flushed && entry.flush_attempts < INSTALL_FLUSH_ATTEMPTS)
            try_flush(entry);
        outcome.complete = outcome.complete && entry.verified;
        outcome.settled = outcome.settled && entry.verified &&
                          (entry.flushed || entry.flush_attempts >= INSTALL_FLUSH_ATTEMPTS);
    }
    return outcome;
}

// Without a change time, a file read before the copy replaced it with one of the same size and
// date looks unchanged since; once the copy is idle every unverified file is read once more.
void give_another_read(std::vector<WatchedEntry>& watched) {
    for (WatchedEntry& entry : watched)
        entry.checked = entry.checked && entry.verified;
}

} // namespace

std::u16string installed_path(const std::u16string& install_dir, const std::string& entry_name) {
    std::u16string name = utf8_to_utf16(entry_name);
    if (!name.empty() && name.back() == u'/')
        name.pop_back();
    std::replace(name.begin(), name.end(), u'/', u'\\');
    return install_dir + u"\\" + name;
}

std::uint64_t space_needed(const std::vector<ZipDirectoryEntry>& entries, const std::u16string& install_dir,
                           std::uint64_t extra_bytes) {
    std::uint64_t arriving = 0;
    std::uint64_t replaced = 0;
    std::uint64_t largest = 0;
    for (const ZipDirectoryEntry& entry : entries) {
        if (entry.folder)
            continue;
        arriving = saturating_add(arriving, entry.size);
        largest = std::max(largest, entry.size);
        PathState existing;
        if (sys::query_path(installed_path(install_dir, entry.name), existing) && !existing.directory)
            replaced = saturating_add(replaced, existing.size);
    }
    const std::uint64_t growth = arriving > replaced ? arriving - replaced : 0;
    return saturating_add(saturating_add(growth, largest), extra_bytes);
}

std::vector<EntryNote> note_entries(const std::u16string& install_dir,
                                    const std::vector<ZipDirectoryEntry>& entries) {
    std::vector<EntryNote> notes(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        notes[i].present = sys::query_path(installed_path(install_dir, entries[i].name), notes[i].state);
    return notes;
}

bool wait_for_installation(const std::u16string& install_dir, const std::vector<ZipDirectoryEntry>& entries,
                           const std::vector<EntryNote>& before) {
    std::vector<WatchedEntry> watched(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        watched[i].entry = &entries[i];
        watched[i].path = installed_path(install_dir, entries[i].name);
        if (i < before.size())
            watched[i].before = before[i];
    }
    Bytes block(VERIFY_BLOCK_SIZE);
    std::uint32_t idle_polls = 0;
    bool copy_idle = false;
    for (std::uint32_t poll = 1;; ++poll) {
        // Once idle for the limit the copy has ended or stalled: files it never touched are read
        // from the next poll on, which ends the wait unless one of them verifies.
        if (!copy_idle && idle_polls >= INSTALL_IDLE_POLLS) {
            give_another_read(watched);
            copy_idle = true;
        }
        const PollOutcome outcome = poll_entries(watched, block, copy_idle);
        idle_polls = outcome.progress ? 0 : idle_polls + 1;
        if (outcome.settled || idle_polls > INSTALL_IDLE_POLLS || poll == INSTALL_WAIT_POLLS)
            return outcome.complete;
        sys::sleep_ms(INSTALL_WAIT_INTERVAL_MS);
    }
}

} // namespace kp
