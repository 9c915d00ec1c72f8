// The PCM formats a capture device accepts, found by asking it for a buffer of each candidate.
#pragma once

#include "audio/SoundService.h"
#include "toolkit/OwnedList.h"

#include <string>

class TSoundCaptureFormat {
public:
    int BitsPerSample = 0;
    int Channels = 0;
    int SampleRate = 0;
    // "8000Hz 16bit Mono", as the operator sees it.
    std::string DisplayText() const;
};

class TSoundCaptureFormats {
public:
    int Count() const { return FItems.Count(); }
    TSoundCaptureFormat& Items(int index) const { return FItems.Items(index); }
    TSoundCaptureFormat& operator[](int index) const { return Items(index); }
    TSoundCaptureFormat& Add() { return FItems.Emplace(); }
    void Clear() { FItems.Clear(); }

private:
    TOwnedList<TSoundCaptureFormat> FItems;
};

// Candidates, outer to inner: rate, then width, then channel count.
inline constexpr int ProbeRates[] = {8000, 11025, 22050, 33075, 44100, 48000, 96000};
inline constexpr int ProbeBits[] = {8, 16, 24, 32};
inline constexpr int ProbeChannels[] = {1, 2};

// Appends every candidate for which the device creates a one-second buffer with result 0.
void ProbeCaptureFormats(ISoundCapture& capture, TSoundCaptureFormats& formats);
