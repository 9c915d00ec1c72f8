// The window under fuzzing: one offscreen application for the whole run, the simulated sound
// card (silence), and a folder of its own holding silent prompts, so a call costs no time.
#pragma once

#include "app/MainForm.h"
#include "app/QtMainThread.h"
#include "audio/Wave.h"
#include "support/SoundSettings.h"
#include "toolkit/ExceptionReporter.h"

#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

// Fontconfig keeps its caches to the end of the process on purpose; the application is never
// ended here (Qt's thread storage is gone by the time exit handlers run).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

inline QApplication& FuzzApp() {
    static int argc = 1;
    static char name[] = "lumisk-fuzz";
    static char* argv[] = {name, nullptr};
    static QApplication* app = nullptr;
    if (app)
        return *app;
    app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        SetSoundDriver("sim");
        SetSimCapture("");
        SetSimPlayback("");
        auto* made = new QApplication(argc, argv);
        std::setlocale(LC_ALL, "C");
        InstallMainThreadPump(*made);
        return made;
    }();
    return *app;
}

// A fresh folder in /tmp with the six prompts holding no sound; it becomes the current folder
// (prompts are found there) when enter is set. libFuzzer then needs absolute corpus paths.
inline const std::string& FuzzFolder(bool enter) {
    static const std::string folder = [] {
        char pattern[] = "/tmp/lumisk-fuzz-XXXXXX";
        std::string path = mkdtemp(pattern);
        for (const char* prompt :
             {"welcome.wav", "enter.wav", "message.wav", "beep.wav", "notfound.wav", "thank.wav"}) {
            TWaveFileStream wave(path + "/" + prompt, fmCreate);
            wave.AssignPcmFormat(8000, 16, 1);
            wave.OpenWave(true);
        }
        return path;
    }();
    if (enter && chdir(folder.c_str()) != 0)
        std::abort();
    return folder;
}

// The texts shown by the standard error display while a fuzz input runs.
inline std::vector<std::string>& ShownErrors() {
    static std::vector<std::string> texts;
    static const bool installed = [] {
        SetExceptionSink([](const std::string& text) { texts.push_back(text); });
        return true;
    }();
    (void)installed;
    return texts;
}
