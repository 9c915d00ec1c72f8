#include "decoder/EchoMatch.h"

#include <algorithm>

void TEchoMatch::Reset() {
    FEstimate.fill(0.0f);
    FCaptured.fill(0.0f);
    FMatch.fill(0.0);
    FEstimateEnergy = 0;
    FAt = FCount = FCompared = 0;
}

void TEchoMatch::Add(float captured, float estimate) {
    const auto at = static_cast<std::size_t>(FAt);
    FEstimate[at] = FEstimate[at + Span] = estimate;
    FCaptured[at] = FCaptured[at + Span] = captured;
    FAt = FAt + 1 == Span ? 0 : FAt + 1;
    // Every other sample is enough to compare, and halves the cost.
    if (++FCount < Span || (FCount & 1) != 0)
        return;
    ++FCompared;
    // From the oldest sample (2 * Reach ago) on: the capture Reach samples ago is compared with
    // the estimate Reach + offset samples ago, which is the estimate offset samples later.
    const float* estimates = FEstimate.data() + FAt;
    const double d = FCaptured[static_cast<std::size_t>(FAt + Reach)];
    for (int k = 0; k < Span; ++k)
        FMatch[static_cast<std::size_t>(k)] += d * estimates[Span - 1 - k];
    const double y = estimates[Reach];
    FEstimateEnergy += y * y;
}

double TEchoMatch::Found(int offset) const {
    return FEstimateEnergy > 0 ? FMatch[static_cast<std::size_t>(offset + Reach)] / FEstimateEnergy : 0.0;
}

int TEchoMatch::BestOffset() const {
    return static_cast<int>(std::max_element(FMatch.begin(), FMatch.end()) - FMatch.begin()) - Reach;
}
