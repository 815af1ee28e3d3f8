// Looking at the files the shell's copy placed: their state, their volume, reading them back
// and flushing them. Every open shares read, write and delete, so the launcher never makes the
// shell's own writes fail while it looks.
#include "deferred_close.hpp"
#include "platform/backend.hpp"
#include "win32_util.hpp"

namespace kp::win32 {

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool volume_of(const std::u16string& path, wchar_t (&volume)[MAX_PATH + 1]) {
    return GetVolumePathNameW(wide(path), volume, MAX_PATH + 1) != FALSE;
}

} // namespace

FileHandle open_file_shared_for_reading(const std::u16string& path) {
    return FileHandle(raw_from_handle(CreateFileW(wide(path), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr)));
}

// Opened for its attributes alone, which takes part in no sharing check: a copy that opens the
// file exclusively meanwhile still succeeds. GetFileAttributesExW gives no change time.
bool query_path(const std::u16string& path, PathState& state) {
    const FileHandle file(raw_from_handle(CreateFileW(wide(path), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!file ||
        !GetFileInformationByHandleEx(handle_from_raw(file.raw()), FileBasicInfo, &basic, sizeof(basic)) ||
        !GetFileInformationByHandleEx(handle_from_raw(file.raw()), FileStandardInfo, &standard,
                                      sizeof(standard)))
        return false;
    state.directory = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    state.size = state.directory ? 0 : static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    state.last_write = static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart);
    state.change_time = static_cast<std::uint64_t>(basic.ChangeTime.QuadPart);
    return true;
}

bool same_volume(const std::u16string& a, const std::u16string& b) {
    wchar_t first[MAX_PATH + 1];
    wchar_t second[MAX_PATH + 1];
    return volume_of(a, first) && volume_of(b, second) &&
           CompareStringOrdinal(first, -1, second, -1, TRUE) == CSTR_EQUAL;
}

// Written out for the one full flush before the stamp (flush_tree). A flush needs write access;
// OPEN_EXISTING never truncates or creates. A file marked read-only (or held without write
// sharing) cannot be opened so, and is reported unflushed.
bool flush_existing_file(const std::u16string& path) {
    const FileHandle file(raw_from_handle(CreateFileW(wide(path), GENERIC_WRITE, SHARE_ALL, nullptr,
                                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    return file && write_out_or_flush(handle_from_raw(file.raw()));
}

} // namespace kp::win32
