#include "app/CommandLine.h"
#include "app/ConfFileAccess.h"
#include "app/ExecutableFolder.h"
#include "app/Headless.h"
#include "app/InstallLayout.h"
#include "app/MainForm.h"
#include "app/Outbox.h"
#include "app/QtMainThread.h"
#include "app/SelfCheck.h"
#include "app/WindowLook.h"
#include "toolkit/ExceptionReporter.h"

#include <QApplication>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <unistd.h>

int main(int argc, char** argv) {
    const std::string exeFolder = ExecutableFolder();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    TCommandLine commandLine = ParseCommandLine(arguments, exeFolder);
    if (!commandLine.Error.empty()) {
        std::fprintf(stderr, "lumisk: %s\n%s\n", commandLine.Error.c_str(), CommandLineUsage);
        return 2;
    }
    TMainFormOptions options;
    options.Conf.LoadFromFile(commandLine.ConfigPath, commandLine.ConfigGiven);
    const TBoxFolders folders = ResolveBoxFolders(commandLine, options.Conf, exeFolder);
    options.ExeFolder = folders.Work;
    options.PromptFolder = folders.Prompts;
    // Relative names the box writes (a recording file typed by hand) land in its own folder.
    const bool inWorkFolder = commandLine.WorkFolder.empty() || ::chdir(folders.Work.c_str()) == 0;
    const int chdirError = errno;
    if (commandLine.Check) {
        options.Conf.ExportSoundSettings();
        TSelfCheckSetup setup;
        setup.Conf = options.Conf;
        setup.ConfigPath = commandLine.ConfigPath;
        setup.WorkFolder = folders.Work;
        setup.PromptFolder = folders.Prompts;
        setup.OutboxFolder = OutboxFolderPath(options.Conf.UploadOutbox, folders.Work);
        setup.CheckModem = !commandLine.NoModem;
        return RunSelfCheck(setup, std::cout) ? 0 : 1;
    }
    if (!inWorkFolder) {
        std::fprintf(stderr, "lumisk: cannot enter the working folder %s: %s\n", folders.Work.c_str(),
                     std::strerror(chdirError));
        return 2;
    }
    const bool headless = commandLine.Headless;
    if (headless)
        PrepareHeadless();

    QApplication app(argc, argv);
    // Time stamps follow the operator's locale (Qt sets it too; say so explicitly).
    std::setlocale(LC_ALL, "");
    SetApplicationIdentity();
    UseClassicStyle(app);
    InstallMainThreadPump(app);
    if (headless)
        InstallStderrErrorDisplay();
    else
        InstallMessageBoxErrorDisplay();

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
