// webprintd: the print client as a Linux daemon. It runs in the foreground
// under systemd, polls the print service with the poll timer's rules and
// prints through CUPS; it logs to standard error and never forks.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/headless_loop.h"
#include "app/linux/config_lock.h"
#include "app/linux/daemon_settings.h"
#include "app/linux/daemon_signals.h"
#include "app/linux/journal_display.h"
#include "app/poll_timer.h"
#include "settings/client_settings.h"
#include "transport/socket_shim.h"

namespace {

// From sysexits.h, named here so the table of exit codes is in one place.
constexpr int kExitPollFailed = 1;
constexpr int kExitUsage = 64;
constexpr int kExitOsError = 71;
constexpr int kExitAlreadyRunning = 75;
constexpr int kExitConfig = 78;

constexpr char kDefaultConfig[] = "/etc/webprint/webprint.conf";

const char kHelp[] =
    "Usage: webprintd [--config FILE] [--once]\n"
    "       webprintd --version | --help\n"
    "Prints the jobs of a remote print service on this computer's CUPS printers.\n"
    "\n"
    "  --config FILE  the settings file (default /etc/webprint/webprint.conf)\n"
    "  --once         run one poll at once and exit: 0 when it ended well\n"
    "  --version      print the version and exit\n"
    "  --help         print this help and exit\n"
    "\n"
    "Without a Proxy in the settings file it takes https_proxy (TLS) or http_proxy,\n"
    "and no_proxy, from the environment.\n"
    "SIGTERM and SIGINT stop it; SIGHUP reads the settings file again and polls.\n"
    "Exit status: 0; 1 a failed poll with --once; 64 wrong options; 75 another\n"
    "webprintd runs with a settings file in the same folder; 78 a bad settings\n"
    "file or proxy variable, or incomplete settings with --once.\n";

bool RunTick(PollTimer& timer)
{
    BeginPollLog();
    Timer1Timer(timer);
    return EndPollLog();
}

void LogState(const char* configPath, const char* what)
{
    if (const char* missing = MissingSetting(ClientSettings)) {
        LogLine(LogLevel::Warning, std::string(what) + ", not polling: " + missing + " in " + configPath +
                                       " (SIGHUP reads it again)");
        return;
    }
    LogLine(LogLevel::Info, std::string(what) + ": " + PollingDescription());
}

// The settings file of this run, for the reloads.
const char* ConfigPath = kDefaultConfig;
// Set when a reload found the settings folder locked by another daemon.
bool LockLost = false;

// A good reload is polled with at once: SIGHUP is how an administrator
// tries new settings.
bool ReloadSettings()
{
    std::string message;
    // Before anything is read: a daemon whose folder another one holds now
    // (the folder was replaced) must not poll beside it.
    if (!LockConfigFolder(ConfigPath, &message)) {
        LogLine(LogLevel::Error, message + "; stopping");
        LockLost = true;
        raise(SIGTERM);
        return false;
    }
    bool registersAgain = false;
    if (!LoadDaemonSettings(ConfigPath, &message, &registersAgain)) {
        if (!message.empty() && message.back() == '.')
            message.pop_back();
        LogLine(LogLevel::Error, message + "; the settings in force stay");
        return false;
    }
    LogState(ConfigPath, registersAgain ? "Settings read again, registering afresh" : "Settings read again");
    return true;
}

int RunDaemon(const char* configPath)
{
    LogState(configPath, "webprintd " WEBPRINT_VERSION " started");
    ConfigPath = configPath;
    RunHeadlessLoop({WaitUntil, ReloadSettings, [](PollTimer& timer) { RunTick(timer); }});
    EndLog();
    LogLine(LogLevel::Info, "webprintd stopped");
    return LockLost ? kExitAlreadyRunning : 0;
}

int RunOnce(const char* configPath)
{
    if (const char* missing = MissingSetting(ClientSettings)) {
        LogLine(LogLevel::Error, std::string("not polling: ") + missing + " in " + configPath);
        return kExitConfig;
    }
    HeadlessTimer timer;
    return RunTick(timer) ? 0 : kExitPollFailed;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* configPath = kDefaultConfig;
    bool once = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(kHelp, stdout);
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            puts("webprintd " WEBPRINT_VERSION);
            return 0;
        }
        if (strcmp(argv[i], "--once") == 0) {
            once = true;
        } else if (strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
            configPath = argv[++i];
        } else if (strncmp(argv[i], "--config=", 9) == 0) {
            configPath = argv[i] + 9;
        } else {
            fprintf(stderr, "webprintd: unknown option %s\n%s", argv[i], kHelp);
            return kExitUsage;
        }
    }

    if (!InstallDaemonSignals()) {
        LogLine(LogLevel::Error, std::string("cannot set up the signal handlers: ") + strerror(errno));
        return kExitOsError;
    }
    // A stop ends the wait for the server or CUPS at once, even in the middle
    // of a job or of reading the printers at start.
    EndWaitsWhenReadable(StopDescriptor());
    std::string message;
    bool registersAgain = false;
    if (!LoadDaemonSettings(configPath, &message, &registersAgain)) {
        LogLine(LogLevel::Error, message);
        return kExitConfig;
    }
    if (!LockConfigFolder(configPath, &message)) {
        LogLine(LogLevel::Error, message);
        return kExitAlreadyRunning;
    }
    return once ? RunOnce(configPath) : RunDaemon(configPath);
}
