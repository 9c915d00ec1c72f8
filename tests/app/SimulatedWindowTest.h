// A window on the simulated sound card in a folder of its own, with a clock the test moves.
// Every prompt is a short run of one sample value, so the played output shows which prompts
// were played, in which order.
#pragma once

#include "app/AppTestSupport.h"
#include "app/MainForm.h"
#include "audio/Wave.h"
#include "net/FtpServerFixture.h"
#include "support/SoundSettings.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

inline void WriteWave(const std::string& fileName, const std::vector<int16_t>& samples) {
    TWaveFileStream wave(fileName, fmCreate);
    wave.AssignPcmFormat(8000, 16, 1);
    wave.OpenWave(true);
    if (!samples.empty())
        wave.WriteBuffer(samples.data(), static_cast<int32_t>(samples.size() * 2));
}

inline const std::vector<std::pair<std::string, int16_t>>& PromptMarks() {
    static const std::vector<std::pair<std::string, int16_t>> marks = {
        {"welcome.wav", 1000}, {"enter.wav", 2000},    {"message.wav", 3000},
        {"beep.wav", 4000},    {"notfound.wav", 5000}, {"thank.wav", 6000}};
    return marks;
}

class SimulatedWindowTest : public ::testing::Test {
protected:
    explicit SimulatedWindowTest(const char* tag) : Folder(tag) {}

    void SetUp() override {
        TestApp();
        for (const auto& [name, value] : PromptMarks())
            WriteWave(Folder.File(name), std::vector<int16_t>(400, value)); // 50 ms
        ASSERT_EQ(chdir(Folder.Path.c_str()), 0); // prompts are found in the current folder
        SetSimPlayback(Folder.File("played.raw").c_str());
        SetSimCapture(Folder.File("caller.wav").c_str());
    }

    // uploadPort: a server on 127.0.0.1 with the accounts mbox1..mbox6; 0 for none.
    std::unique_ptr<TMainForm> MakeForm(const std::string& port, int uploadPort = 0) {
        TMainFormOptions options;
        UseTestSound(options.Conf);
        options.ExeFolder = Folder.Path;
        options.Clock = &Clock;
        options.Conf.ModemPort = port;
        if (uploadPort) {
            options.Conf.UploadHost = "127.0.0.1";
            options.Conf.UploadPort = uploadPort;
            for (size_t i = 0; i < 6; ++i)
                options.Conf.UploadAccounts[i] = TestFtpServer::Accounts()[i];
        }
        auto form = std::make_unique<TMainForm>(std::move(options));
        // The flow's states as they follow one another (a state entered again counts once).
        form->Box().Flow().OnStateChanged = [this](TCallState state) {
            if (States.empty() || States.back() != state)
                States.push_back(state);
        };
        return form;
    }

    // The prompts heard so far, in order.
    std::vector<std::string> Played() {
        const std::string raw = ReadFile(Folder.File("played.raw"));
        std::vector<std::string> names;
        int16_t last = 0;
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            const int16_t v = static_cast<int16_t>(uint8_t(raw[i]) | uint8_t(raw[i + 1]) << 8);
            if (v == last)
                continue;
            last = v;
            for (const auto& [name, value] : PromptMarks())
                if (v == value)
                    names.push_back(name);
        }
        return names;
    }

    TTempFolder Folder;
    std::vector<TCallState> States;
    TManualClock Clock;
    TShownErrors Errors;
};
