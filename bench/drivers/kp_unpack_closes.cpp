// The slow-close benchmark's program (bench/slow_close.sh, under Wine): unpacks the tool package
// appended to HOST_IMAGE into a new STAGING_DIR once, each close of a written file taking
// CLOSE_MS more, as when a virus scanner inspects new files at close. "serial" closes them on the
// unpacking thread, "deferred" on the backend's closer threads. Files are written out as on
// Windows 10 (a stand-in: Wine has no such call, and would otherwise flush each file in full, the
// same in both modes). Prints the wall and CPU time of the unpack with its closes and its flush,
// in ms:
//   kp_unpack_closes HOST_IMAGE STAGING_DIR CLOSE_MS serial|deferred
#include "platform/program_main.hpp"

#include <cstdio>

#ifndef _WIN32
int program_main(const std::vector<std::u16string>&) {
    std::fputs("kp_unpack_closes: Windows only\n", stderr);
    return 2;
}
#else
#include "platform/disk_calls.hpp"
#include "platform/platform.hpp"
#include "tools/tool_package_format.hpp"
#include "tools/tool_package_unpack.hpp"

#include <string>

namespace {

DWORD close_ms = 0;

double cpu_ms() {
    FILETIME unused, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &unused, &unused, &kernel, &user);
    const auto ticks = [](FILETIME t) {
        return ULARGE_INTEGER{{t.dwLowDateTime, t.dwHighDateTime}}.QuadPart;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e4;
}

} // namespace

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 4 || (arguments[3] != u"serial" && arguments[3] != u"deferred")) {
        std::fputs("usage: kp_unpack_closes HOST_IMAGE STAGING_DIR CLOSE_MS serial|deferred\n", stderr);
        return 2;
    }
    close_ms = std::stoul(std::string(arguments[2].begin(), arguments[2].end()));
    kp::win32::disk_calls.close = [](HANDLE file) { return Sleep(close_ms), CloseHandle(file); };
    kp::win32::disk_calls.write_out = [](HANDLE, ULONG, void*, ULONG, void*) -> LONG { return 0; };
    kp::win32::disk_calls.closer_threads =
        arguments[3] == u"serial" ? 0 : kp::win32::disk_calls.closer_threads;
    const kp::FileHandle host = kp::sys::open_file_for_streaming(arguments[0]);
    std::uint64_t size = 0;
    const auto trailer =
        host && kp::sys::file_size(host, size) ? kp::read_tool_package_trailer(host, size) : std::nullopt;
    const double wall = static_cast<double>(GetTickCount64()), cpu = cpu_ms();
    const bool ok = trailer && kp::sys::create_directory(arguments[1]) &&
                    kp::unpack_tool_package(host, *trailer, arguments[1]) &&
                    kp::sys::flush_tree(arguments[1]);
    std::printf("%.1f %.1f\n", static_cast<double>(GetTickCount64()) - wall, cpu_ms() - cpu);
    return ok ? 0 : 1;
}
#endif
