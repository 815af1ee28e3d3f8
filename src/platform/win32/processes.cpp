// Processes on Windows: CreateProcessW, the Tool Help snapshot and the image-name query.
#include "deferred_close.hpp"
#include "platform/backend.hpp"
#include "win32_util.hpp"

#include <tlhelp32.h>

#include <vector>

namespace kp::win32 {

namespace {

constexpr DWORD image_path_capacity = 0x8000;

bool fill_entry(BOOL fetched, const PROCESSENTRY32W& record, ProcessEntry& entry) {
    if (!fetched)
        return false;
    entry.process_id = record.th32ProcessID;
    entry.parent_process_id = record.th32ParentProcessID;
    entry.exe_file = from_wide(record.szExeFile, wcsnlen(record.szExeFile, MAX_PATH));
    return true;
}

PROCESSENTRY32W empty_record() {
    PROCESSENTRY32W record{};
    record.dwSize = sizeof record;
    return record;
}

} // namespace

bool start_process(const std::u16string& application, const std::u16string& command_line,
                   const std::u16string& current_directory) {
    let_written_files_go(); // an executable still open for writing cannot be run
    // CreateProcessW may write into the command line: hand it a writable, terminated copy.
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(wide(application), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        wide(current_directory), &startup, &process);
    if (process.hProcess != nullptr)
        CloseHandle(process.hProcess);
    if (process.hThread != nullptr)
        CloseHandle(process.hThread);
    return started != FALSE;
}

SnapshotHandle snapshot_processes() {
    return SnapshotHandle(raw_from_handle(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
}

bool first_process(const SnapshotHandle& snapshot, ProcessEntry& entry) {
    PROCESSENTRY32W record = empty_record();
    return fill_entry(Process32FirstW(handle_from_raw(snapshot.raw()), &record), record, entry);
}

bool next_process(const SnapshotHandle& snapshot, ProcessEntry& entry) {
    PROCESSENTRY32W record = empty_record();
    return fill_entry(Process32NextW(handle_from_raw(snapshot.raw()), &record), record, entry);
}

ProcessHandle open_process_for_query(std::uint32_t process_id) {
    return ProcessHandle(raw_from_handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id)));
}

bool query_process_image(const ProcessHandle& process, std::u16string& path) {
    std::vector<wchar_t> buffer(image_path_capacity, L'\0');
    DWORD length = image_path_capacity;
    if (!QueryFullProcessImageNameW(handle_from_raw(process.raw()), 0, buffer.data(), &length))
        return false;
    path = from_wide(buffer.data(), length);
    return true;
}

bool equal_ignoring_case(std::u16string_view a, std::u16string_view b) {
    return CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
                                reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

} // namespace kp::win32
