#include "app/CommandLine.h"

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments, const std::string& exeFolder) {
    TCommandLine result;
    result.ConfigPath = exeFolder + "/lumisk.conf";
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--headless") {
            result.Headless = true;
            continue;
        }
        if (argument == "--config") {
            if (i + 1 >= arguments.size()) {
                result.Error = "--config needs a file name";
                return result;
            }
            result.ConfigPath = arguments[++i];
            result.ConfigGiven = true;
        } else if (argument.rfind("--config=", 0) == 0) {
            result.ConfigPath = argument.substr(9);
            result.ConfigGiven = true;
        } else {
            result.Error = "unknown argument '" + argument + "'";
            return result;
        }
        if (result.ConfigPath.empty()) {
            result.Error = "--config needs a file name";
            return result;
        }
    }
    return result;
}
