#include "tool_set_rules.hpp"

#include "common/install_layout.hpp"
#include "common/text.hpp"
#include "platform/platform.hpp"
#include "tools/tool_package_format.hpp"

namespace kp::pack {

namespace {

std::string quoted(std::u16string_view name) {
    return "\"" + utf16_to_utf8(name) + "\"";
}

std::string windows_name_problem(std::u16string_view name) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = name.find(u'\\', start);
        const std::u16string_view component = name.substr(start, end - start);
        if (component.empty())
            return "the name has an empty component, which Windows cannot create";
        for (const char16_t unit : component) {
            if (unit < 0x20)
                return "the name holds a control character, which Windows does not allow in file names";
            if (std::u16string_view(u"<>\"|?*/").find(unit) != std::u16string_view::npos)
                return "the name holds '" + utf16_to_utf8(std::u16string(1, unit)) +
                       "', which Windows does not allow in file names";
        }
        if (component.back() == u'.' || component.back() == u' ')
            return "the name has a component that ends in a dot or a space, which Windows drops";
        if (end == std::u16string_view::npos)
            return {};
        start = end + 1;
    }
}

// Names equal ignoring case land in one bucket: ASCII letters fold, every other unit counts
// as one wildcard and the seam's comparison decides.
std::u16string fold_key(std::u16string_view path) {
    std::u16string key(path);
    for (char16_t& unit : key)
        unit = unit < 0x80 ? ascii_upper(unit) : u'\xFFFF';
    return key;
}

std::u16string folder_of(std::u16string_view path) {
    const std::size_t slash = path.rfind(u'\\');
    return std::u16string(slash == std::u16string_view::npos ? std::u16string_view{} : path.substr(0, slash));
}

} // namespace

std::string launcher_refusal(std::u16string_view name) {
    switch (entry_name_problem(name)) {
    case EntryProblem::none:
        return {};
    case EntryProblem::device_name:
        return "the name is a Windows device name (CON, NUL, AUX, COM1, LPT1, ...), which the launcher "
               "refuses";
    default:
        return "the name is refused by the launcher (\"..\", \":\" or a leading backslash)";
    }
}

std::string ToolSetRules::add(const std::u16string& name) {
    if (std::string refused = launcher_refusal(name); !refused.empty())
        return refused;
    if (std::string problem = windows_name_problem(name); !problem.empty())
        return problem;
    const std::u16string folder = folder_of(name);
    if (!folders_.contains(folder) && !folders_.contains(folder_of(folder)))
        return "its folder " + quoted(folder) +
               " would not exist when it is unpacked: the launcher creates " +
               "one folder level per file, so " + quoted(folder_of(folder)) + " must hold a file of its own";
    for (std::size_t slash = name.find(u'\\'); slash != std::u16string::npos;
         slash = name.find(u'\\', slash + 1))
        if (std::string conflict = case_conflict(name.substr(0, slash), false); !conflict.empty())
            return conflict;
    if (std::string conflict = case_conflict(name, true); !conflict.empty())
        return conflict;
    folders_.insert(folder);
    has_probe_ = has_probe_ || name == COMPLETENESS_PROBE_SUFFIX.substr(1);
    return {};
}

std::string ToolSetRules::case_conflict(const std::u16string& path, bool is_file) {
    std::vector<Item>& bucket = items_by_fold_[fold_key(path)];
    for (const Item& item : bucket) {
        if (item.path == path) {
            if (item.is_file == is_file)
                return {}; // the same folder again, or a later entry replacing a file
            return quoted(path) + " is both a file and a folder";
        }
        if (sys::equal_ignoring_case(item.path, path))
            return quoted(path) + " and " + quoted(item.path) +
                   " differ only in letter case; on Windows the later replaces the earlier";
    }
    bucket.push_back({path, is_file});
    return {};
}

std::string ToolSetRules::finish() const {
    if (has_probe_)
        return {};
    return "holds no onnxruntime.dll at its root: the launcher never counts such a tool set as current "
           "and unpacks it again on every launch";
}

} // namespace kp::pack
