#include "service/command_options.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <sys/stat.h>

namespace veltrane {
namespace {

struct QtOption
{
    std::string_view name; // without its dash
    bool takesValue;
};

// The options QApplication documents for itself and for the X11 platform,
// which the window hands to Qt. Qt takes each with one dash or two, a value
// as the next argument (or after "=").
constexpr std::array kQtOptions{
    QtOption{"platform", true},        QtOption{"platformpluginpath", true},
    QtOption{"platformtheme", true},   QtOption{"plugin", true},
    QtOption{"qwindowgeometry", true}, QtOption{"qwindowicon", true},
    QtOption{"qwindowtitle", true},    QtOption{"session", true},
    QtOption{"style", true},           QtOption{"stylesheet", true},
    QtOption{"display", true},         QtOption{"geometry", true},
    QtOption{"reverse", false},        QtOption{"widgetcount", false},
    QtOption{"nograb", false},         QtOption{"dograb", false},
    QtOption{"sync", false},
};

std::optional<QtOption> QtOptionOf(std::string_view arg)
{
    if (!arg.starts_with('-'))
        return std::nullopt;
    arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
    const std::size_t equals = arg.find('=');
    for (const QtOption& option : kQtOptions)
        if (arg.substr(0, equals) == option.name &&
            (equals == std::string_view::npos || option.takesValue))
            return QtOption{option.name, option.takesValue && equals == std::string_view::npos};
    return std::nullopt;
}

// `text` in double quotes, for an error.
std::string Quoted(std::string_view text)
{
    std::string quoted = "\"";
    quoted.append(text);
    quoted += '"';
    return quoted;
}

// "1" to "2147483647", digits only.
std::optional<int> ItemNumber(std::string_view text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    const long long value = std::atoll(std::string(text).c_str());
    if (value < 1 || value > INT_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

// The value of "--name VALUE" or "--name=VALUE" at argv[i] (moving i past
// it); nullopt when there is none.
std::optional<std::string_view> ValueOf(std::string_view name, int argc, const char* const* argv,
                                        int& i)
{
    const std::string_view arg = argv[i];
    if (arg == name) {
        if (i + 1 >= argc)
            return std::nullopt;
        return std::string_view(argv[++i]);
    }
    return arg.substr(name.size() + 1);
}

} // namespace

bool ParseCommandOptions(int argc, const char* const* argv, CommandOptions& options,
                         std::string& error)
{
    const auto command = [&](Command c, std::string_view arg) {
        if (options.command != Command::Window && options.command != c) {
            error = Quoted(arg) +
                    " does not go with another of --service, --status, --run-item, --check, "
                    "--export-items, --import-items, --log, --test-mail";
            return false;
        }
        options.command = c;
        return true;
    };
    bool qtOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto named = [&](std::string_view name) {
            return arg == name ||
                   (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=');
        };
        if (arg == "--service") {
            if (!command(Command::Service, arg))
                return false;
        } else if (arg == "--status") {
            if (!command(Command::Status, arg))
                return false;
        } else if (arg == "--check") {
            if (!command(Command::Check, arg))
                return false;
        } else if (arg == "--export-items") {
            if (!command(Command::ExportItems, arg))
                return false;
        } else if (arg == "--with-secrets") {
            options.withSecrets = true;
        } else if (named("--import-items")) {
            const std::optional<std::string_view> value = ValueOf("--import-items", argc, argv, i);
            if (!value || value->empty()) {
                error = "--import-items needs a file (\"-\": standard input)";
                return false;
            }
            if (!command(Command::ImportItems, "--import-items"))
                return false;
            options.source = *value;
        } else if (named("--log")) {
            const std::optional<std::string_view> value = ValueOf("--log", argc, argv, i);
            const std::optional<int> number = value ? ItemNumber(*value) : std::nullopt;
            if (!number) {
                error = "--log needs an item's number (1, 2, ...)";
                return false;
            }
            if (!command(Command::Log, "--log"))
                return false;
            options.item = *number;
        } else if (arg == "--connect") {
            options.connect = true;
        } else if (named("--test-mail")) {
            const std::optional<std::string_view> value = ValueOf("--test-mail", argc, argv, i);
            const std::optional<int> number = value ? ItemNumber(*value) : std::nullopt;
            if (!number) {
                error = "--test-mail needs an item's number (1, 2, ...)";
                return false;
            }
            if (!command(Command::TestMail, "--test-mail"))
                return false;
            options.item = *number;
        } else if (arg == "--json") {
            options.json = true;
        } else if (named("--run-item")) {
            const std::optional<std::string_view> value = ValueOf("--run-item", argc, argv, i);
            const std::optional<int> number = value ? ItemNumber(*value) : std::nullopt;
            if (!number) {
                error = "--run-item needs an item's number (1, 2, ...)";
                return false;
            }
            if (!command(Command::RunItem, "--run-item"))
                return false;
            options.item = *number;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (named("--folder")) {
            const std::optional<std::string_view> value = ValueOf("--folder", argc, argv, i);
            if (!value || value->empty()) {
                error = "--folder needs the folder's path";
                return false;
            }
            options.folder = *value;
        } else if (const std::optional<QtOption> qt = QtOptionOf(arg)) {
            options.rest.emplace_back(arg);
            if (qt->takesValue) {
                if (i + 1 >= argc) {
                    error = Quoted(arg) + " needs a value";
                    return false;
                }
                options.rest.emplace_back(argv[++i]);
            }
            qtOptions = true;
        } else {
            error = "unknown option " + Quoted(arg);
            return false;
        }
    }
    if (options.json && options.command != Command::Status) {
        error = "--json goes with --status";
        return false;
    }
    if (options.withSecrets && options.command != Command::ExportItems) {
        error = "--with-secrets goes with --export-items";
        return false;
    }
    if (options.connect && options.command != Command::Check) {
        error = "--connect goes with --check";
        return false;
    }
    if (qtOptions && options.command != Command::Window) {
        error = Quoted(options.rest.front()) + " is an option of the window";
        return false;
    }
    return true;
}

bool ResolveDataFolder(const std::string& folder, const std::string& programFolder,
                       std::string& resolved, std::string& error)
{
    if (folder.empty()) {
        resolved = programFolder;
        return true;
    }
    char buffer[PATH_MAX];
    struct stat st
    {};
    if (realpath(folder.c_str(), buffer) == nullptr || stat(buffer, &st) != 0) {
        error = "The folder \"" + folder + "\" cannot be used: " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "\"" + folder + "\" is not a folder";
        return false;
    }
    resolved = buffer;
    return true;
}

} // namespace veltrane
