#include "tool_commands.hpp"

#include "kpack_io.hpp"
#include "tool_package_append.hpp"
#include "tool_package_inspect.hpp"

#include <algorithm>
#include <cstdio>

namespace kp::pack {

namespace {

constexpr const char* tools_usage =
    "usage: kpack tools append HOST DIR -o OUT [--replace]\n"
    "       kpack tools inspect FILE [--json]\n"
    "\n"
    "append   writes OUT: HOST's bytes, a tool package holding every file under DIR, and the\n"
    "         trailer that locates it. Sign OUT after appending, never before.\n"
    "inspect  shows where FILE's content ends, its tool package trailer and entries, and whether\n"
    "         the package identifier verifies; exits non-zero when it has no valid package\n"
    "\n"
    "'kpack tools append --help' and 'kpack tools inspect --help' tell more.\n";

constexpr const char* append_usage =
    "usage: kpack tools append HOST DIR -o OUT [--replace]\n"
    "\n"
    "Writes OUT (it may be HOST itself): HOST's bytes, then one entry per regular file under DIR\n"
    "(named by its path relative to DIR, backslash separated, each directory's files after its\n"
    "parent directory's files), zero padding, and the 64-byte trailer, ending on an 8-byte\n"
    "boundary so that a signing tool adds its certificate table right after it.\n"
    "\n"
    "  -o OUT      the file to write; it appears only when complete\n"
    "  --replace   HOST already carries a tool package: drop it and append the new one\n"
    "\n"
    "Refused: a HOST that is already signed (sign after appending), a HOST that carries a\n"
    "package without --replace, anything under DIR that is not a regular file or directory, and\n"
    "names the launcher or Windows refuse (\"..\", \":\", device names such as aux or com1,\n"
    "< > \" | ? *, control characters, a trailing dot or space, longer than 1023 UTF-16\n"
    "units), two names that differ only in letter case, and a DIR without onnxruntime.dll.\n";

constexpr const char* inspect_usage =
    "usage: kpack tools inspect FILE [--json]\n"
    "\n"
    "Prints FILE's content end and the size of a certificate table after it, the tool package\n"
    "trailer's fields, each entry's size and name, and whether the package identifier verifies.\n"
    "Exits 0 only when FILE carries a package the launcher takes as it is: the identifier\n"
    "verifies, every name is one the launcher and Windows accept, no two names differ only in\n"
    "letter case, each entry's folder can be created one level at a time, and onnxruntime.dll\n"
    "is at the root. --json prints one JSON object with the same field names.\n";

bool is_help(const std::u16string& argument) {
    return argument == u"--help" || argument == u"-h";
}

int usage_error(const char* command, const std::string& problem, const char* usage) {
    std::fprintf(stderr, "kpack tools%s: %s\n%s", command, problem.c_str(), usage);
    return 2;
}

int run_append(const std::vector<std::u16string>& arguments) {
    AppendRequest request;
    std::vector<std::u16string> positional;
    bool has_output = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::u16string& argument = arguments[i];
        if (is_help(argument)) {
            std::fputs(append_usage, stdout);
            return 0;
        }
        if (argument == u"--replace") {
            request.replace = true;
        } else if (argument == u"-o") {
            if (i + 1 == arguments.size())
                return usage_error(" append", "-o needs a file name", append_usage);
            request.output = to_path(arguments[++i]);
            has_output = true;
        } else if (argument.size() > 1 && argument[0] == u'-') {
            return usage_error(" append", "unknown option " + utf16_to_utf8(argument), append_usage);
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 2 || !has_output)
        return usage_error(" append", "expected HOST, DIR and -o OUT", append_usage);
    request.host = to_path(positional[0]);
    request.directory = to_path(positional[1]);
    return append_tool_package_file(request);
}

int run_inspect(const std::vector<std::u16string>& arguments) {
    if (std::any_of(arguments.begin(), arguments.end(), is_help)) {
        std::fputs(inspect_usage, stdout);
        return 0;
    }
    const bool json = arguments.size() == 2 && arguments[1] == u"--json";
    if (arguments.size() != 1 && !json)
        return usage_error(" inspect", "expected one file name and optionally --json", inspect_usage);
    return inspect_tool_package(to_path(arguments[0]), json);
}

} // namespace

int run_tools_command(const std::vector<std::u16string>& arguments) {
    if (arguments.empty())
        return usage_error("", "missing command", tools_usage);
    if (is_help(arguments[0])) {
        std::fputs(tools_usage, stdout);
        return 0;
    }
    const std::vector<std::u16string> rest(arguments.begin() + 1, arguments.end());
    if (arguments[0] == u"append")
        return run_append(rest);
    if (arguments[0] == u"inspect")
        return run_inspect(rest);
    return usage_error("", "unknown command " + utf16_to_utf8(arguments[0]), tools_usage);
}

} // namespace kp::pack
