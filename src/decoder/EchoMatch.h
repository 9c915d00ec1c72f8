// How much of an echo estimate is found in the capture, at each offset of up to Reach samples
// either way: the echo canceller's check that its filter still models the path the echo takes
// (and where a path that moved went). The caller's own sound does not match the estimate, so it
// does not count against it.
#pragma once

#include <array>

class TEchoMatch {
public:
    static constexpr int Reach = 8;

    void Reset();
    // One sample: the capture and the echo estimate for the same instant.
    void Add(float captured, float estimate);
    // Samples compared so far (every other one added).
    int Count() const { return FCompared; }
    // The energy of the estimate over them.
    double EstimateEnergy() const { return FEstimateEnergy; }
    // How much of the estimate is found in the capture when it is taken offset samples later (a
    // filter delay that much longer): 1 when the capture holds exactly the estimate, 0 when
    // nothing of it.
    double Found(int offset) const;
    // The offset where most is found.
    int BestOffset() const;

private:
    static constexpr int Span = 2 * Reach + 1;
    // The last Span samples, each kept twice (at i and i + Span), so that they can be read from
    // the oldest on without wrapping.
    std::array<float, 2 * Span> FEstimate{}, FCaptured{};
    std::array<double, Span> FMatch{};
    double FEstimateEnergy = 0;
    int FAt = 0, FCount = 0, FCompared = 0;
};
