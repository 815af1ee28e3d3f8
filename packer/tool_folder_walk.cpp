#include "tool_folder_walk.hpp"

#include "kpack_io.hpp"
#include "tool_set_rules.hpp"
#include "windows_path_limits.hpp"

#include <algorithm>

namespace kp::pack {

namespace {

namespace fs = std::filesystem;

using NamedPaths = std::vector<std::pair<std::u16string, fs::path>>;

// Applies ToolSetRules to each file as it is collected, in package order.
class FileCollector {
  public:
    std::vector<SourceFile> files;
    Refusal refusal;

    bool collect(const fs::path& directory, const std::u16string& prefix) {
        NamedPaths own_files;
        NamedPaths subdirectories;
        if (!list(directory, own_files, subdirectories))
            return false;
        std::sort(own_files.begin(), own_files.end());
        std::sort(subdirectories.begin(), subdirectories.end());
        for (const auto& [component, path] : own_files)
            if (!add_file(path, prefix + component))
                return false;
        for (const auto& [component, path] : subdirectories)
            if (!collect(path, prefix + component + u'\\'))
                return false;
        return true;
    }

    bool finish(const fs::path& directory) {
        if (files.empty())
            return refuse_with(directory, "holds no files; a tool package needs at least one");
        const std::string problem = rules_.finish();
        return problem.empty() || refuse_with(directory, problem);
    }

  private:
    bool refuse_with(const fs::path& path, std::string problem) {
        refusal = Refusal{path, std::move(problem)};
        return false;
    }

    bool list(const fs::path& directory, NamedPaths& own_files, NamedPaths& subdirectories) {
        std::error_code error;
        fs::directory_iterator it(directory, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            const fs::path& path = it->path();
            std::u16string component;
            if (!path_units(path.filename(), component))
                return refuse_with(path, "file name is not valid UTF-8");
            if (component.find(u'\\') != std::u16string::npos)
                return refuse_with(path,
                                   "file name contains a backslash, which the launcher reads as a directory "
                                   "separator");
            const auto status = fs::symlink_status(path, error);
            if (error)
                break;
            if (fs::is_regular_file(status))
                own_files.emplace_back(component, path);
            else if (fs::is_directory(status))
                subdirectories.emplace_back(component, path);
            else
                return refuse_with(path, fs::is_symlink(status)
                                             ? "is a symbolic link; only regular files and "
                                               "directories can be packaged"
                                             : "is not a regular file or directory");
        }
        if (error)
            return refuse_with(directory, "cannot be listed: " + error.message());
        return true;
    }

    bool add_file(const fs::path& path, const std::u16string& name) {
        // Far below the launcher's own limit of 1023 units for a name.
        if (std::string problem = windows_path_problem(name, false, PathBase::staging_directory);
            !problem.empty())
            return refuse_with(path, problem);
        if (std::string problem = rules_.add(name); !problem.empty())
            return refuse_with(path, problem);
        std::error_code error;
        const std::uint64_t size = fs::file_size(path, error);
        if (error)
            return refuse_with(path, "size cannot be read: " + error.message());
        files.push_back({path, name, size});
        return true;
    }

    ToolSetRules rules_;
};

} // namespace

std::optional<std::vector<SourceFile>> collect_tool_files(const fs::path& directory, Refusal& refusal) {
    FileCollector collector;
    if (!collector.collect(directory, u"") || !collector.finish(directory)) {
        refusal = std::move(collector.refusal);
        return std::nullopt;
    }
    return std::move(collector.files);
}

} // namespace kp::pack
