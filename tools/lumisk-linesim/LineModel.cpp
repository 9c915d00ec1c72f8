#include "LineModel.h"

#include "audio/G711.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

double DbToGain(double db) {
    return std::pow(10.0, -db / 20.0);
}

double Number(const std::string& key, const std::string& value) {
    try {
        size_t used = 0;
        const double number = std::stod(value, &used);
        if (used == value.size())
            return number;
    } catch (const std::exception&) {
    }
    throw std::runtime_error("line model: " + key + "=" + value + " is not a number");
}

} // namespace

TLineModelSettings TLineModelSettings::Parse(const std::string& text) {
    TLineModelSettings settings;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item.empty())
            continue;
        const size_t eq = item.find('=');
        if (eq == std::string::npos)
            throw std::runtime_error("line model: '" + item + "' is not key=value");
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "loss")
            settings.LossDb = Number(key, value);
        else if (key == "noise")
            settings.NoiseDbfs = Number(key, value);
        else if (key == "erl")
            settings.EchoReturnLossDb = Number(key, value);
        else if (key == "delay")
            settings.EchoDelayMs = static_cast<int>(Number(key, value));
        else if (key == "seed")
            settings.Seed = static_cast<unsigned>(Number(key, value));
        else if (key == "law" && value == "linear")
            settings.Coding = TLineCoding::Linear;
        else if (key == "law" && value == "ulaw")
            settings.Coding = TLineCoding::MuLaw;
        else if (key == "law" && value == "alaw")
            settings.Coding = TLineCoding::ALaw;
        else
            throw std::runtime_error("line model: unknown setting '" + item + "'");
    }
    if (settings.EchoDelayMs < 0 || settings.EchoDelayMs > 2000)
        throw std::runtime_error("line model: delay must be 0 to 2000 ms");
    return settings;
}

TLineModel::TLineModel(const TLineModelSettings& settings)
    : FSettings(settings), FCallerGain(DbToGain(settings.LossDb)),
      FEchoGain(settings.EchoReturnLossDb < 0 ? 0.0 : DbToGain(settings.EchoReturnLossDb)),
      FNoiseRms(settings.NoiseDbfs <= -200 ? 0.0 : 32768.0 * DbToGain(-settings.NoiseDbfs)),
      FEchoLine(static_cast<size_t>(settings.EchoDelayMs) * 8 + 1, 0), FRandom(settings.Seed) {}

void TLineModel::SetEchoReturnLoss(double db) {
    FSettings.EchoReturnLossDb = db;
    FEchoGain = db < 0 ? 0.0 : DbToGain(db);
}

void TLineModel::Process(std::span<int16_t> caller, std::span<const int16_t> played) {
    for (size_t i = 0; i < caller.size(); ++i) {
        // The delay line holds the last EchoDelayMs of playback; its oldest sample returns now.
        FEchoLine[FEchoAt] = i < played.size() ? played[i] : 0;
        FEchoAt = (FEchoAt + 1) % FEchoLine.size();
        double sample = caller[i] * FCallerGain + FEchoLine[FEchoAt] * FEchoGain;
        if (FNoiseRms > 0)
            sample += FNoise(FRandom) * FNoiseRms;
        const auto linear = static_cast<int16_t>(std::clamp(std::lround(sample), -32768L, 32767L));
        switch (FSettings.Coding) {
        case TLineCoding::Linear:
            caller[i] = linear;
            break;
        case TLineCoding::MuLaw:
            caller[i] = DecodeMuLaw(EncodeMuLaw(linear));
            break;
        case TLineCoding::ALaw:
            caller[i] = DecodeALaw(EncodeALaw(linear));
            break;
        }
    }
}
