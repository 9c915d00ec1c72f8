#include "net/IdComponent.h"

#include "net/IdStack.h"

TIdComponent::TIdComponent(TComponent* owner) : TIdBaseComponent(owner) {
    AcquireSocketLayer();
}

TIdComponent::~TIdComponent() {
    ReleaseSocketLayer();
}

void TIdComponent::ReportStatus(TIdStatus status, const std::string& arg) {
    if (!OnStatus)
        return;
    std::string text;
    switch (status) {
    case stResolving:
        text = "Resolving hostname " + arg + ".";
        break;
    case stConnecting:
        text = "Connecting to " + arg + ".";
        break;
    case stConnected:
        text = "Connected.";
        break;
    case stDisconnecting:
        text = "Disconnecting from " + arg + ".";
        break;
    case stDisconnected:
        text = "Not connected.";
        break;
    case stText:
        text = arg;
        break;
    }
    OnStatus(this, status, text);
}

void TIdComponent::StartWork(TWorkMode mode, int64_t max) {
    TWorkInfo& info = FWorkInfos[mode];
    if (++info.WorkLevel == 1) {
        info.WorkMax = max;
        info.WorkCount = 0;
        if (OnWorkBegin)
            OnWorkBegin(this, mode, max);
    }
}

void TIdComponent::AddWork(TWorkMode mode, int64_t count) {
    TWorkInfo& info = FWorkInfos[mode];
    if (info.WorkLevel > 0) {
        info.WorkCount += count;
        if (OnWork)
            OnWork(this, mode, info.WorkCount);
    }
}

void TIdComponent::FinishWork(TWorkMode mode) {
    TWorkInfo& info = FWorkInfos[mode];
    if (info.WorkLevel == 1 && OnWorkEnd)
        OnWorkEnd(this, mode);
    --info.WorkLevel;
}
