// The command an operator names to hear of each delivered message ("[upload] on_delivered"),
// the way a paging service tells the pager. It runs on a thread of its own, one run at a time,
// without a shell: the program gets the mailbox number, the remote path, the local file and the
// local note beside it as its four arguments. A run that outlasts its time-out is killed by its process id.
// Nothing it does reaches the call: its outcome is only reported.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TDeliveredCommand {
public:
    // onOutcome is called on the command's thread with one line: "on_delivered exit N",
    // "on_delivered signal N", "on_delivered killed after N s" or "on_delivered failed: WHY".
    TDeliveredCommand(std::string program, int timeoutSeconds,
                      std::function<void(const std::string&)> onOutcome);
    // Waits for the run in progress (bounded by its time-out); runs not started are dropped.
    ~TDeliveredCommand();
    TDeliveredCommand(const TDeliveredCommand&) = delete;
    TDeliveredCommand& operator=(const TDeliveredCommand&) = delete;

    bool Enabled() const { return !FProgram.empty(); }
    // Queues a run; returns at once.
    void Run(const std::string& mailbox, const std::string& remotePath, const std::string& localFile,
             const std::string& noteFile);

private:
    struct TJob {
        std::string Mailbox, Remote, Local, Note;
    };
    void Loop();
    std::string RunOne(const TJob& job);

    std::string FProgram;
    int FTimeoutSeconds;
    std::function<void(const std::string&)> FOnOutcome;
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<TJob> FJobs;
    bool FStop = false;
    std::thread FThread;
};
