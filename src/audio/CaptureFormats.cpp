#include "audio/CaptureFormats.h"

#include "audio/Wave.h"
#include "toolkit/StringUtils.h"

std::string TSoundCaptureFormat::DisplayText() const {
    return Format("%dHz %dbit %s", SampleRate, BitsPerSample, Channels == 1 ? "Mono" : "Stereo");
}

void ProbeCaptureFormats(ISoundCapture& capture, TSoundCaptureFormats& formats) {
    for (int rate : ProbeRates)
        for (int bits : ProbeBits)
            for (int channels : ProbeChannels) {
                WAVEFORMATEX format;
                FillPcmFormat(format, rate, bits, channels);
                DSCBUFFERDESC description;
                description.dwBufferBytes = format.nAvgBytesPerSec;
                description.lpwfxFormat = &format;
                std::unique_ptr<ISoundCaptureBuffer> buffer;
                if (capture.CreateCaptureBuffer(description, buffer) != DS_OK)
                    continue;
                buffer.reset();
                TSoundCaptureFormat& entry = formats.Add();
                entry.SampleRate = rate;
                entry.BitsPerSample = bits;
                entry.Channels = channels;
            }
}
