#include "app/CommandLine.h"
#include "app/ExecutableFolder.h"
#include "app/MainForm.h"
#include "app/QtMainThread.h"
#include "app/WindowLook.h"
#include "toolkit/ExceptionReporter.h"

#include <QApplication>
#include <clocale>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Time stamps follow the operator's locale (Qt sets it too; say so explicitly).
    std::setlocale(LC_ALL, "");
    QApplication::setApplicationName("Lumisk");
    QApplication::setApplicationDisplayName("Lumisk");
    UseClassicStyle(app);
    InstallMainThreadPump(app);
    InstallMessageBoxErrorDisplay();

    TMainFormOptions options;
    options.ExeFolder = ExecutableFolder();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    TCommandLine commandLine = ParseCommandLine(arguments, options.ExeFolder);
    if (!commandLine.Error.empty()) {
        std::fprintf(stderr, "lumisk: %s\nusage: lumisk [--config PATH]\n", commandLine.Error.c_str());
        return 2;
    }
    options.Conf.LoadFromFile(commandLine.ConfigPath, commandLine.ConfigGiven);
    if (!options.Conf.Problems.empty()) {
        std::string text;
        for (const std::string& problem : options.Conf.Problems)
            text += (text.empty() ? "" : "\n") + problem;
        ShowMessageText(text);
    }

    options.Conf.ExportSoundSettings();
    TMainForm form(std::move(options));
    form.show();
    return app.exec();
}
