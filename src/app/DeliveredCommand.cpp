#include "app/DeliveredCommand.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

TDeliveredCommand::TDeliveredCommand(std::string program, int timeoutSeconds,
                                     std::function<void(const std::string&)> onOutcome)
    : FProgram(std::move(program)), FTimeoutSeconds(timeoutSeconds), FOnOutcome(std::move(onOutcome)) {
    if (Enabled())
        FThread = std::thread([this] { Loop(); });
}

TDeliveredCommand::~TDeliveredCommand() {
    {
        std::lock_guard<std::mutex> hold(FLock);
        FStop = true;
        FJobs.clear();
    }
    FWake.notify_all();
    if (FThread.joinable())
        FThread.join();
}

void TDeliveredCommand::Run(const std::string& mailbox, const std::string& remotePath,
                            const std::string& localFile, const std::string& noteFile) {
    if (!Enabled())
        return;
    {
        std::lock_guard<std::mutex> hold(FLock);
        FJobs.push_back({mailbox, remotePath, localFile, noteFile});
    }
    FWake.notify_all();
}

void TDeliveredCommand::Loop() {
    for (;;) {
        TJob job;
        {
            std::unique_lock<std::mutex> hold(FLock);
            FWake.wait(hold, [this] { return FStop || !FJobs.empty(); });
            if (FStop)
                return;
            job = FJobs.front();
            FJobs.pop_front();
        }
        const std::string outcome = RunOne(job);
        if (FOnOutcome)
            FOnOutcome(outcome);
    }
}

std::string TDeliveredCommand::RunOne(const TJob& job) {
    std::string program = FProgram, mailbox = job.Mailbox, remote = job.Remote, local = job.Local,
                note = job.Note;
    char* argv[] = {program.data(), mailbox.data(), remote.data(), local.data(), note.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Its output must not mix with the box's event lines; errors may go to the box's stderr.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The box's own signal handling is not the program's.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return "on_delivered failed: " + program + ": " + std::strerror(spawned);

    // Wait on the process's own descriptor, so the time-out needs no polling loop.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool timedOut = false;
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int ready;
        do
            ready = poll(&p, 1, FTimeoutSeconds * 1000);
        while (ready < 0 && errno == EINTR);
        close(pidfd);
        timedOut = ready == 0;
    }
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut)
        return "on_delivered killed after " + std::to_string(FTimeoutSeconds) + " s";
    if (WIFSIGNALED(status))
        return "on_delivered signal " + std::to_string(WTERMSIG(status));
    return "on_delivered exit " + std::to_string(WEXITSTATUS(status));
}
