// Files and the file system on Windows.
#include "cng.hpp"
#include "deferred_close.hpp"
#include "platform/backend.hpp"
#include "win32_util.hpp"

#include <shellapi.h>

namespace kp::win32 {

namespace {

FileHandle create_file(const std::u16string& path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) {
    return FileHandle(
        raw_from_handle(CreateFileW(wide(path), access, share, nullptr, disposition, flags, nullptr)));
}

} // namespace

FileHandle open_file_for_reading(const std::u16string& path) {
    return create_file(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

FileHandle open_file_for_streaming(const std::u16string& path) {
    return create_file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN);
}

// A file written again (a package may name one twice) may still be open for its close or its
// full flush: both are done, and the file opened again.
FileHandle create_file_for_writing(const std::u16string& path) {
    FileHandle file = create_file(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (!file && GetLastError() == ERROR_SHARING_VIOLATION) {
        let_written_files_go();
        file = create_file(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    }
    return file;
}

// The user's temporary folder is private on Windows: the same call.
FileHandle create_temporary_file_for_writing(const std::u16string& path) {
    return create_file_for_writing(path);
}

bool file_size(const FileHandle& file, std::uint64_t& size) {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(handle_from_raw(file.raw()), &value))
        return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

bool seek_file(const FileHandle& file, std::uint64_t offset) {
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return distance.QuadPart >= 0 &&
           SetFilePointerEx(handle_from_raw(file.raw()), distance, nullptr, FILE_BEGIN);
}

bool read_file(const FileHandle& file, void* buffer, std::uint32_t size, std::uint32_t& done) {
    DWORD read = 0;
    const BOOL ok = ReadFile(handle_from_raw(file.raw()), buffer, size, &read, nullptr);
    done = read;
    return ok != FALSE;
}

bool write_file(const FileHandle& file, const void* buffer, std::uint32_t size, std::uint32_t& done) {
    DWORD written = 0;
    const BOOL ok = WriteFile(handle_from_raw(file.raw()), buffer, size, &written, nullptr);
    done = written;
    return ok != FALSE;
}

bool path_exists(const std::u16string& path) {
    return GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool create_directory(const std::u16string& path) {
    return CreateDirectoryW(wide(path), nullptr) != FALSE;
}

bool delete_file(const std::u16string& path) {
    let_written_files_go();
    return DeleteFileW(wide(path)) != FALSE;
}

// A scanner reading a file in the folder makes Windows refuse the rename with access denied or a
// sharing violation, which passes once it lets go; every other error is for good.
MoveResult move_result_of_error(std::uint32_t error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? MoveResult::busy
                                                                            : MoveResult::refused;
}

MoveResult move_path(const std::u16string& from, const std::u16string& to) {
    let_written_files_go();
    if (MoveFileExW(wide(from), wide(to), 0))
        return MoveResult::moved;
    return move_result_of_error(GetLastError());
}

void shell_delete(const std::u16string& path) {
    let_written_files_go();
    std::u16string list = path;
    list.push_back(u'\0'); // the list's end: its own terminator and one more
    SHFILEOPSTRUCTW operation{};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = wide(list);
    operation.pTo = nullptr;
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
    SHFileOperationW(&operation);
}

bool free_bytes_available(const std::u16string& path, std::uint64_t& bytes) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(wide(path), &available, nullptr, nullptr))
        return false;
    bytes = available.QuadPart;
    return true;
}

void close_handle(HandleKind kind, std::uintptr_t raw) {
    switch (kind) {
    case HandleKind::file:
        close_file(handle_from_raw(raw));
        break;
    case HandleKind::snapshot:
    case HandleKind::process:
    case HandleKind::mutex:
        CloseHandle(handle_from_raw(raw));
        break;
    case HandleKind::hash_algorithm:
        close_algorithm_provider(raw);
        break;
    case HandleKind::hash:
        destroy_hash(raw);
        break;
    }
}

} // namespace kp::win32
