// The launcher's single pass: install an outdated or missing application under the installation
// mutex, start it, and bring the tools up to date from the host image under the tools mutex.
#include "launcher/launch_sequence.hpp"

#include "build_config.hpp"
#include "common/file_io.hpp"
#include "common/install_layout.hpp"
#include "launcher/process_inspection.hpp"
#include "payload/payload_installation.hpp"
#include "platform/platform.hpp"
#include "tools/tool_slot_rotation.hpp"

namespace kp {

namespace {

// Serialises installations of one user: a second launcher (a double click) waits, then finds the
// first one's stamp. A mutex of its own, not the tools mutex, so that an installation never waits
// behind another launcher's tool unpack; a launcher never holds both (see docs/design.md).
constexpr std::u16string_view INSTALL_MUTEX_PREFIX = u"Local\\KP_Install_";

struct LaunchPaths {
    std::u16string launcher_dir;
    std::u16string install_dir;
    std::u16string application_exe;
    std::u16string build_stamp;
};

LaunchPaths launch_paths() {
    LaunchPaths paths;
    paths.launcher_dir = module_directory();
    // An unavailable folder leaves the install directory at the root of the current drive.
    paths.install_dir = sys::local_app_data_folder() + u"\\" + std::u16string(INSTALL_FOLDER_NAME);
    paths.application_exe = paths.install_dir + std::u16string(APPLICATION_SUFFIX);
    paths.build_stamp = paths.install_dir + std::u16string(BUILD_STAMP_SUFFIX);
    return paths;
}

// The stamp is read only when the executable exists; it must hold BUILD_ID exactly.
bool payload_is_current(const LaunchPaths& paths) {
    if (!exists(paths.application_exe))
        return false;
    return read_text_file(paths.build_stamp) == BUILD_ID;
}

void start_application(const LaunchPaths& paths) {
    const std::u16string command_line = u"\"" + paths.application_exe + u"\"";
    sys::start_process(paths.application_exe, command_line, paths.install_dir);
}

// Runs step while holding the named mutex, or without it when the mutex cannot be had. An
// abandoned mutex or a failed wait is taken like a released one. Released (and closed) before
// returning, so that no later step of this process can meet it held.
template <typename Step> void run_exclusively(std::u16string_view prefix, Step&& step) {
    const MutexHandle mutex =
        sys::create_named_mutex(std::u16string(prefix) + std::u16string(INSTALL_FOLDER_NAME));
    if (mutex)
        sys::wait_for_mutex(mutex);
    step();
    if (mutex)
        sys::release_mutex(mutex);
}

bool installation_needed(const LaunchPaths& paths) {
    return !payload_is_current(paths) && !is_image_running(paths.application_exe);
}

// An up-to-date launch never touches the mutex; a launcher that waited for it decides again, as
// the one before may have installed this build meanwhile.
void install_if_needed(const LaunchPaths& paths) {
    if (!installation_needed(paths))
        return;
    run_exclusively(INSTALL_MUTEX_PREFIX, [&paths] {
        if (installation_needed(paths))
            install_payload(paths.launcher_dir, paths.install_dir, paths.application_exe, paths.build_stamp);
    });
}

void launch() {
    const LaunchPaths paths = launch_paths();
    install_if_needed(paths);
    if (!exists(paths.application_exe))
        return;
    start_application(paths);
    const std::u16string host_image = parent_image_path();
    if (!host_image.empty())
        run_exclusively(TOOLS_MUTEX_PREFIX, [&] { refresh_tools(host_image, paths.install_dir); });
}

} // namespace

int run_launcher() {
    sys::com_initialize();
    launch();
    sys::com_uninitialize();
    return 0;
}

std::u16string module_directory() {
    const std::u16string module = sys::module_file_name();
    const std::size_t separator = module.find_last_of(u"\\/");
    if (separator == std::u16string::npos)
        return u".";
    return module.substr(0, separator);
}

} // namespace kp
