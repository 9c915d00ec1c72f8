// Base of every network component: keeps the socket layer alive while it exists and reports
// status and progress to handlers set by its owner.
#pragma once

#include "toolkit/Component.h"

#include <cstdint>
#include <functional>
#include <string>

enum TIdStatus { stResolving = 0, stConnecting, stConnected, stDisconnecting, stDisconnected, stText };
enum TWorkMode { wkRead = 0, wkWrite = 1 };

class TIdComponent;
using TIdStatusEvent =
    std::function<void(TIdComponent* axSender, TIdStatus axStatus, const std::string& asStatusText)>;
using TIdNotifyEvent = std::function<void(TIdComponent* Sender)>;
using TWorkEvent = std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkBeginEvent = std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEndEvent = std::function<void(TIdComponent* Sender, TWorkMode AWorkMode)>;

class TIdBaseComponent : public TComponent {
public:
    explicit TIdBaseComponent(TComponent* owner = nullptr) : TComponent(owner) {}
};

class TIdComponent : public TIdBaseComponent {
public:
    explicit TIdComponent(TComponent* owner = nullptr);
    ~TIdComponent() override;

    TIdStatusEvent OnStatus;
    TWorkEvent OnWork;
    TWorkBeginEvent OnWorkBegin;
    TWorkEndEvent OnWorkEnd;

    // Formats the status text with arg (used by the texts holding %s) for OnStatus.
    void ReportStatus(TIdStatus status, const std::string& arg = std::string());
    virtual void StartWork(TWorkMode mode, int64_t max);
    virtual void AddWork(TWorkMode mode, int64_t count);
    virtual void FinishWork(TWorkMode mode);

    struct TWorkInfo {
        int64_t WorkCount = 0;
        int64_t WorkMax = 0;
        int32_t WorkLevel = 0;
    };
    const TWorkInfo& WorkInfo(TWorkMode mode) const { return FWorkInfos[mode]; }

private:
    TWorkInfo FWorkInfos[2];
};
