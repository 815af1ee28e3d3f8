// A driver (drivers/kp_refresh_tools.cpp or kp_install_payload.cpp, linked in) with every seam
// call numbered: with KP_KILL_AT_SEAM_CALL=N the process kills itself with SIGKILL just before
// seam call N. With KP_POWER_CUT=ext4 or ntfs the disk first loses what was not flushed (see
// power_cut.hpp); KP_SKIP_FLUSHES=1 turns the flush calls into no-ops, to see the sweep fail;
// KP_DURABILITY=windows flushes as the Windows backend does (files written out, one full flush).
// KP_BUSY_RENAMES=N makes each rename fail as busy (a virus scanner holding a file under it) for
// its first N tries, so that the sweep's kills also fall inside the retry loops.
// Test only: it is built with the fault binding, never shipped.
#include "platform/backend.hpp"
#include "power_cut.hpp"
#include "support/fault_binding.hpp"

#include <csignal>
#include <cstdlib>
#include <map>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace {

std::string_view setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

const long kill_at = std::atol(std::string(setting("KP_KILL_AT_SEAM_CALL")).c_str());
const kp::power_cut::Cut cut = setting("KP_POWER_CUT") == "ext4"   ? kp::power_cut::Cut::ext4
                               : setting("KP_POWER_CUT") == "ntfs" ? kp::power_cut::Cut::ntfs
                                                                   : kp::power_cut::Cut::none;
const long busy_renames = std::atol(std::string(setting("KP_BUSY_RENAMES")).c_str());
long seam_calls = 0;

void count_seam_call() {
    if (++seam_calls == kill_at) {
        kp::power_cut::apply(cut);
        ::kill(::getpid(), SIGKILL);
    }
}

// Set before main runs; the binding's hooks, defined above in this file, are initialised first.
const bool numbered = [] {
    using namespace kp; // the seam's parameter types
#define KP_SEAM(result, name, parameters, arguments)                                                         \
    fault::name = [] parameters -> result {                                                                  \
        count_seam_call();                                                                                   \
        return backend::name arguments;                                                                      \
    };
#include "platform/seam.def"
#undef KP_SEAM
    if (busy_renames > 0) {
        fault::move_path = [tries = std::map<std::pair<std::u16string, std::u16string>, long>{}](
                               const std::u16string& from, const std::u16string& to) mutable {
            count_seam_call();
            if (++tries[{from, to}] <= busy_renames)
                return MoveResult::busy;
            return backend::move_path(from, to);
        };
    }
    // Waits take no time: the installation's wait needs its polls and the renames their retries,
    // not real time between them (the POSIX extraction is done when the copy request returns).
    fault::sleep_ms = [](std::uint32_t) { count_seam_call(); };
    power_cut::track(setting("KP_SKIP_FLUSHES") == "1", setting("KP_DURABILITY") == "windows");
    return true;
}();

} // namespace
