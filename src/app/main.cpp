#include "app/CommandLine.h"
#include "app/ConfFileAccess.h"
#include "app/ExecutableFolder.h"
#include "app/Headless.h"
#include "app/MainForm.h"
#include "app/QtMainThread.h"
#include "app/WindowLook.h"
#include "toolkit/ExceptionReporter.h"

#include <QApplication>
#include <clocale>
#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    TMainFormOptions options;
    options.ExeFolder = ExecutableFolder();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    TCommandLine commandLine = ParseCommandLine(arguments, options.ExeFolder);
    if (!commandLine.Error.empty()) {
        std::fprintf(stderr, "lumisk: %s\nusage: lumisk [--config PATH] [--headless]\n",
                     commandLine.Error.c_str());
        return 2;
    }
    const bool headless = commandLine.Headless;
    if (headless)
        PrepareHeadless();

    QApplication app(argc, argv);
    // Time stamps follow the operator's locale (Qt sets it too; say so explicitly).
    std::setlocale(LC_ALL, "");
    QApplication::setApplicationName("Lumisk");
    QApplication::setApplicationDisplayName("Lumisk");
    UseClassicStyle(app);
    InstallMainThreadPump(app);
    if (headless)
        InstallStderrErrorDisplay();
    else
        InstallMessageBoxErrorDisplay();

    options.Conf.LoadFromFile(commandLine.ConfigPath, commandLine.ConfigGiven);
    if (!options.Conf.Problems.empty()) {
        std::string text;
        for (const std::string& problem : options.Conf.Problems) {
            if (headless)
                ShowMessageText(problem);
            text += (text.empty() ? "" : "\n") + problem;
        }
        if (!headless)
            ShowMessageText(text);
    }

    // Once at start, where the operator looks: stderr always, and the window's error display.
    const std::string exposure = ConfFileExposure(commandLine.ConfigPath);
    if (!exposure.empty()) {
        if (headless) {
            ShowMessageText(exposure);
        } else {
            std::fprintf(stderr, "lumisk: %s\n", exposure.c_str());
            ShowMessageText(exposure);
        }
    }

    options.Conf.ExportSoundSettings();
    TMainForm form(std::move(options));
    std::unique_ptr<TQuitSignals> quitSignals;
    if (headless) {
        form.OnCallEvent = WriteEventLine;
        // The window's own close path: recording stopped, pager.ini written.
        quitSignals = std::make_unique<TQuitSignals>([&form](int) {
            form.close();
            QApplication::quit();
        });
    }
    // Off screen when headless: showing starts the decoder's capture all the same.
    form.show();
    if (headless)
        WriteEventLine("ready");
    const int status = app.exec();
    if (headless)
        WriteEventLine("stopped");
    return status;
}
