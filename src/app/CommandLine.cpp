#include "app/CommandLine.h"

#include "app/InstallLayout.h"

const char* const CommandLineUsage = "usage: lumisk [--config PATH] [--workdir DIR] [--headless]\n"
                                     "       lumisk --check [--no-modem] [--config PATH] [--workdir DIR]";

namespace {

// "--name VALUE" or "--name=VALUE" at arguments[i]; false when argument is another option.
bool TakeValue(const std::vector<std::string>& arguments, size_t& i, const std::string& name,
               std::string& value, std::string& error) {
    const std::string& argument = arguments[i];
    if (argument == name) {
        if (i + 1 >= arguments.size()) {
            error = name + " needs a " + (name == "--config" ? "file" : "folder") + " name";
            return true;
        }
        value = arguments[++i];
    } else if (argument.rfind(name + "=", 0) == 0) {
        value = argument.substr(name.size() + 1);
    } else {
        return false;
    }
    if (value.empty())
        error = name + " needs a " + (name == "--config" ? "file" : "folder") + " name";
    return true;
}

} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments, const std::string& exeFolder) {
    TCommandLine result;
    result.ConfigPath = DefaultConfigPath(exeFolder);
    for (size_t i = 0; i < arguments.size() && result.Error.empty(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        if (argument == "--headless") {
            result.Headless = true;
        } else if (argument == "--check") {
            result.Check = true;
        } else if (argument == "--no-modem") {
            result.NoModem = true;
        } else if (TakeValue(arguments, i, "--config", value, result.Error)) {
            result.ConfigPath = value;
            result.ConfigGiven = true;
        } else if (TakeValue(arguments, i, "--workdir", value, result.Error)) {
            result.WorkFolder = value;
        } else {
            result.Error = "unknown argument '" + argument + "'";
        }
    }
    if (result.Error.empty() && result.NoModem && !result.Check)
        result.Error = "--no-modem goes with --check";
    return result;
}
