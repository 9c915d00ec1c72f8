#include "audio/PcmConverter.h"

#include <algorithm>

TPcmConverter::TPcmConverter(const TPcmFormat& source, const TPcmFormat& target)
    : FSource(source), FTarget(target) {}

int16_t TPcmConverter::DecodeSample(const uint8_t* p, int bits) {
    switch (bits) {
    case 8:
        return static_cast<int16_t>((static_cast<int>(p[0]) - 128) * 256);
    case 16:
        return static_cast<int16_t>(p[0] | p[1] << 8);
    case 24:
        return static_cast<int16_t>(p[1] | p[2] << 8);
    case 32:
        return static_cast<int16_t>(p[2] | p[3] << 8);
    default:
        return 0;
    }
}

void TPcmConverter::EncodeSample(int16_t value, int bits, std::vector<uint8_t>& out) {
    const auto lo = static_cast<uint8_t>(value & 0xFF);
    const auto hi = static_cast<uint8_t>((value >> 8) & 0xFF);
    switch (bits) {
    case 8:
        out.push_back(static_cast<uint8_t>((value >> 8) + 128));
        break;
    case 16:
        out.insert(out.end(), {lo, hi});
        break;
    case 24:
        out.insert(out.end(), {0, lo, hi});
        break;
    case 32:
        out.insert(out.end(), {0, 0, lo, hi});
        break;
    default:
        break;
    }
}

void TPcmConverter::EmitFrame(const int16_t* frame, std::vector<uint8_t>& out) {
    if (FTarget.Channels == FSource.Channels || FSource.Channels == 1) {
        for (int c = 0; c < FTarget.Channels; ++c)
            EncodeSample(frame[FSource.Channels == 1 ? 0 : c], FTarget.Bits, out);
    } else {
        // stereo to mono
        EncodeSample(static_cast<int16_t>((frame[0] + frame[1]) >> 1), FTarget.Bits, out);
    }
}

void TPcmConverter::Convert(const uint8_t* data, size_t frames, std::vector<uint8_t>& out) {
    const int sampleBytes = FSource.Bits / 8;
    const int frameBytes = FSource.FrameBytes();
    if (frameBytes <= 0 || FSource.Rate <= 0 || FTarget.Rate <= 0)
        return;
    // Make room for this call's output, but only by growing geometrically: a caller appending
    // piece after piece to one vector must not pay for a copy of all of it on every call.
    const size_t needed = out.size() + frames * static_cast<size_t>(FTarget.FrameBytes()) *
                                           static_cast<size_t>(FTarget.Rate / FSource.Rate + 1);
    if (needed > out.capacity())
        out.reserve(std::max(needed, 2 * out.capacity()));
    for (size_t i = 0; i < frames; ++i) {
        const uint8_t* p = data + i * static_cast<size_t>(frameBytes);
        int16_t current[2];
        current[0] = DecodeSample(p, FSource.Bits);
        current[1] = FSource.Channels > 1 ? DecodeSample(p + sampleBytes, FSource.Bits) : current[0];
        if (FSource.Rate == FTarget.Rate) {
            EmitFrame(current, out);
            continue;
        }
        if (!FHavePrevious) {
            FPrevious[0] = current[0];
            FPrevious[1] = current[1];
            FHavePrevious = true;
            continue;
        }
        // Output frames that fall between the previous source frame and this one.
        while (FPhase < FTarget.Rate) {
            int16_t frame[2];
            for (int c = 0; c < 2; ++c)
                frame[c] =
                    static_cast<int16_t>(FPrevious[c] + (current[c] - FPrevious[c]) * FPhase / FTarget.Rate);
            EmitFrame(frame, out);
            FPhase += FSource.Rate;
        }
        FPhase -= FTarget.Rate;
        FPrevious[0] = current[0];
        FPrevious[1] = current[1];
    }
}

void TPcmConverter::Flush(std::vector<uint8_t>& out) {
    if (!FHavePrevious)
        return;
    while (FPhase < FTarget.Rate) {
        EmitFrame(FPrevious, out);
        FPhase += FSource.Rate;
    }
    FPhase -= FTarget.Rate;
    FHavePrevious = false;
}
