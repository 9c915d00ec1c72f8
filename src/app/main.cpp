#include "app/Box.h"
#include "app/CommandLine.h"
#include "app/ConfFileAccess.h"
#include "app/ExecutableFolder.h"
#include "app/Headless.h"
#include "app/InstallLayout.h"
#include "app/MainForm.h"
#include "app/Outbox.h"
#include "app/QtMainThread.h"
#include "app/SelfCheck.h"
#include "app/ServiceWatch.h"
#include "app/WindowLook.h"
#include "toolkit/ExceptionReporter.h"

#include <QApplication>
#include <QCoreApplication>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <unistd.h>

namespace {

// The box alone, as a service: no widget, no display; errors on stderr, one line per call
// event on stdout, and a clean end on SIGTERM or SIGINT.
int RunHeadless(int argc, char** argv, TBoxOptions options, const std::string& configPath) {
    QCoreApplication app(argc, argv);
    std::setlocale(LC_ALL, "");
    SetApplicationIdentity();
    InstallMainThreadPump(app);
    InstallStderrErrorDisplay();
    for (const std::string& problem : options.Conf.Problems)
        ShowMessageText(problem);
    const std::string exposure = ConfFileExposure(configPath);
    if (!exposure.empty())
        ShowMessageText(exposure);

    TBox box(std::move(options));
    box.OnCallEvent = WriteEventLine;
    // The box's own close path: a call hung up, the recording stopped, pager.ini written.
    TQuitSignals quitSignals([&box](int) {
        box.Close();
        QCoreApplication::quit();
    });
    box.Start();
    TServiceWatch service(box);
    WriteEventLine("ready");
    const int status = app.exec();
    WriteEventLine("stopped");
    return status;
}

} // namespace

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
        SetSoundSettings(options.Conf.Sound());
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
    if (commandLine.Headless)
        return RunHeadless(argc, argv, std::move(options), commandLine.ConfigPath);

    QApplication app(argc, argv);
    // Time stamps follow the operator's locale (Qt sets it too; say so explicitly).
    std::setlocale(LC_ALL, "");
    SetApplicationIdentity();
    UseClassicStyle(app);
    InstallMainThreadPump(app);
    InstallMessageBoxErrorDisplay();

    if (!options.Conf.Problems.empty()) {
        std::string text;
        for (const std::string& problem : options.Conf.Problems)
            text += (text.empty() ? "" : "\n") + problem;
        ShowMessageText(text);
    }
    // Once at start, where the operator looks: stderr always, and the window's error display.
    const std::string exposure = ConfFileExposure(commandLine.ConfigPath);
    if (!exposure.empty()) {
        std::fprintf(stderr, "lumisk: %s\n", exposure.c_str());
        ShowMessageText(exposure);
    }

    TMainForm form(std::move(options));
    form.show();
    return app.exec();
}
