// Test helper: HOST's bytes followed by a tool package of every regular file under DIR, written
// to OUT. The scenario scripts use `kpack tools append` when it is available and this otherwise.
#include "kpack_io.hpp"
#include "platform/program_main.hpp"
#include "tool_package_writer.hpp"

#include <algorithm>
#include <cstdio>

namespace {

// Files of a directory come after those of its parent, as the unpacker creates folders in order.
std::vector<kp::pack::ToolFile> tool_files(const std::filesystem::path& root) {
    std::vector<kp::pack::ToolFile> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (!item.is_regular_file())
            continue;
        std::u16string name = item.path().lexically_relative(root).u16string();
        std::replace(name.begin(), name.end(), u'/', u'\\');
        kp::Bytes data;
        std::string problem;
        kp::pack::read_whole_file(item.path(), data, problem);
        files.push_back({name, std::move(data)});
    }
    const auto depth = [](const kp::pack::ToolFile& file) {
        return std::count(file.name.begin(), file.name.end(), u'\\');
    };
    std::sort(files.begin(), files.end(), [&depth](const auto& a, const auto& b) {
        return depth(a) != depth(b) ? depth(a) < depth(b) : a.name < b.name;
    });
    return files;
}

} // namespace

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 3) {
        std::fputs("usage: kp_append_tools HOST DIR OUT\n", stderr);
        return 2;
    }
    kp::Bytes host;
    std::string problem;
    const auto host_path = kp::pack::to_path(arguments[0]);
    if (!kp::pack::read_whole_file(host_path, host, problem))
        return kp::pack::fail(host_path, problem);
    const auto output = kp::pack::to_path(arguments[2]);
    if (!kp::pack::write_file_atomically(
            output, kp::pack::append_tool_package(host, tool_files(kp::pack::to_path(arguments[1]))),
            problem))
        return kp::pack::fail(output, problem);
    std::filesystem::permissions(output, std::filesystem::status(host_path).permissions());
    return 0;
}
