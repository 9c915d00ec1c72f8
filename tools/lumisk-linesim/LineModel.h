// A telephone line as the box's line interface hears it: the caller's audio after the line's
// loss, with line noise, the echo of what the box itself plays (from the hybrid, at a return
// loss and a delay), all coded by the exchange's G.711 codec. 8 kHz 16-bit mono throughout.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

enum class TLineCoding { Linear, MuLaw, ALaw };

struct TLineModelSettings {
    double LossDb = 0; // attenuation of the caller's audio
    TLineCoding Coding = TLineCoding::Linear;
    double NoiseDbfs = -200;      // RMS of the line noise, dB below full scale; -200: none
    double EchoReturnLossDb = -1; // the echo of the box's playback this far below it; < 0: none
    int EchoDelayMs = 0;          // the echo path's delay
    unsigned Seed = 1;            // the noise's; the same seed gives the same line

    // "loss=9,law=ulaw,noise=-60,erl=15,delay=20,seed=3": any of the keys, in any order ("law"
    // takes linear, ulaw or alaw). Throws std::runtime_error naming what is wrong.
    static TLineModelSettings Parse(const std::string& text);
};

class TLineModel {
public:
    explicit TLineModel(const TLineModelSettings& settings);

    // caller: the caller's audio of one stretch, changed in place into what the box hears then.
    // played: what the box played during the same stretch (the same length, or shorter: the rest
    // is silence). Consecutive calls continue one another.
    void Process(std::span<int16_t> caller, std::span<const int16_t> played);

    const TLineModelSettings& Settings() const { return FSettings; }
    // Another hybrid from now on (each call's line has its own): the echo this far below the
    // playback; < 0: none.
    void SetEchoReturnLoss(double db);

private:
    TLineModelSettings FSettings;
    double FCallerGain;
    double FEchoGain;
    double FNoiseRms;
    std::vector<int16_t> FEchoLine; // the delay line of played audio
    size_t FEchoAt = 0;
    std::mt19937 FRandom;
    std::normal_distribution<double> FNoise{0.0, 1.0};
};
