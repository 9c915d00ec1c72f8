// The line model (TLineModel) in real time, between the caller and the box's simulated sound card:
// a thread keeps the capture FIFO a little ahead of the card (Lead), writing the caller's audio as
// the line delivers it (loss, noise, G.711 coding) with the echo of what the box played mixed in.
//
// Played audio is placed on the line's time line as it arrives from the playback FIFO: a sound
// continues sample by sample from the part before it, and one that starts after a pause begins a
// little (Margin) after the newest sample written, so that the echo keeps one steady delay from
// the box's playback to its capture for a whole sound: the card's latency, as a real card has one.
// The sound's start is taken from the earliest of its first parts' arrivals (the simulated card
// sends them one part-length apart), so that a late wake-up of this thread does not move it.
// The caller's audio waits in a queue; with nobody capturing, nothing is written and the queue
// stands still, as the FIFO alone would.
#pragma once

#include "CallerAudio.h"
#include "LineModel.h"
#include "audio/SimSoundCard.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>

class TLiveLine {
public:
    using TClock = std::chrono::steady_clock;
    static constexpr int Lead = LineRate / 25; // 40 ms in the FIFO ahead of the card
    // A sound's next parts may come this late and still follow the part before (the card's own
    // margin before it runs dry).
    static constexpr int Margin = LineRate * TSimSoundCard::UnderrunMs / 1000;
    static constexpr int Part = LineRate * TSimSoundCard::PlaybackPartMs / 1000;
    static constexpr int Latency = Lead + Margin; // from a sound's arrival to the card's reading it

    // captureFd: the capture FIFO, open for writing without blocking (and for reading, so that
    // what it holds can be measured).
    TLiveLine(const TLineModelSettings& settings, int captureFd);
    ~TLiveLine();
    TLiveLine(const TLiveLine&) = delete;
    TLiveLine& operator=(const TLiveLine&) = delete;

    // Queues the caller's audio behind what waits already and returns once at most a second is
    // left to send; false at until or after Interrupt.
    bool Say(const TSamples& samples, TClock::time_point until);
    // Ends waits in Say (an aborted call) and drops the caller's queued audio; Resume allows
    // them again.
    void Interrupt();
    void Resume();
    // Drops the caller's queued audio (the box has hung up); later audio is taken as before.
    void DropCaller();

    // The echo's return loss from the next stretch on (see TLineModel::SetEchoReturnLoss).
    void SetEchoReturnLoss(double db);

    // What the box played, in the order it arrived.
    void Played(std::span<const int16_t> samples);

private:
    void Run();
    double SamplesSince(TClock::time_point when) const;

    int FFd;
    TLineModel FModel;
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FStop = false;
    bool FInterrupted = false;
    std::deque<int16_t> FCaller;
    std::deque<int16_t> FPlayed; // played audio from line index FPlayedBase on
    int64_t FPlayedBase = -1;    // -1: nothing placed yet
    int64_t FSoundStart = -1;    // line index of the current sound's first sample
    int64_t FSoundSamples = 0;   // of it received so far
    int64_t FWritten = 0;        // line samples written to the FIFO so far
    const TClock::time_point FOrigin;
    double FCardOffset = 0; // the line index the card reads at FOrigin, from its reading so far
    bool FCardKnown = false;
    std::thread FThread;
};
