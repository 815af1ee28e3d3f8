// Files the backend has written and not yet let go of.
//
// Closing a newly written file can take milliseconds on Windows: a real-time scanner inspects it
// then, and the caller waits. Written files are therefore handed to a few closer threads, which
// close them while the next ones are written. Their data was written (and written out) before the
// hand-over, so a close changes nothing on disk, and a process killed meanwhile loses nothing.
// Everything handed over is closed before any step that needs the files let go: renames and
// removals (a handle open in a folder makes its rename fail), flushes, starting a program.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kp::win32 {

// Called from the one thread that makes the seam calls.

// Marks a file written out (start_flush): its close goes to the closer threads.
void close_after_write(HANDLE file);
// Closes the file: kept for the full flush when it was the last written out, on a closer thread
// when it was marked, at once otherwise.
void close_file(HANDLE file);
// Hands a handle to the closer threads: it is closed by the time finish_closing returns.
void close_later(HANDLE file);
void finish_closing();

// Writes the file out for the next full flush (durability.cpp), or flushes it in full where it
// cannot be written out.
bool write_out_or_flush(HANDLE file);
// Instead of closing the last file written out, keeps it open for the full flush; false for
// any other file.
bool keep_for_full_flush(HANDLE file);
// Every handed-over file closed, and every write-out followed by a full flush (durability.cpp).
// False when that flush failed; the next flush_tree then reports it.
bool let_written_files_go();

} // namespace kp::win32
