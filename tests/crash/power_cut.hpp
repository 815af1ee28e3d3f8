// Power cuts simulated the way a journaling file system loses data: the binding tracks, for
// every file the code under test writes, whether its data was flushed since its last write, and
// every name made or renamed since its directory was last flushed. A cut then drops what was
// not flushed. Test only.
#pragma once

namespace kp::power_cut {

enum class Cut {
    none,
    ext4, // unflushed files come back empty, except the last one written; names stay
    ntfs, // unflushed files come back zero-filled to their length; unflushed names are undone
};

// Wraps the file-system hooks of the fault binding (whatever they do now) with the tracking.
// With skip_flushes the flush calls do nothing: the sweep must then fail. With windows_durability
// the flushes behave as the Windows backend's: start_flush and flush_existing_file only write a
// file out, which survives a cut once a full flush (flush_tree, or flush_file of any file) has
// followed; a full flush also commits every name change before it, as NTFS's journal does, and a
// deletion is journalled too (a cut brings back what it removed); directory flushes do nothing.
void track(bool skip_flushes, bool windows_durability);

// Applies the cut to the disk as the tracking stands.
void apply(Cut cut);

} // namespace kp::power_cut
