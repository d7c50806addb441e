// Custom actions of the Windows Installer package (webprint.wxs).
// CheckSettings refuses a bad setting on every installation, by the rules
// the setup program also takes from here (CheckSetupParameters), and refuses
// to install over the setup program's copy.
// CloseClient ends a running client, and stops the service, before the
// file is replaced or removed, and notes what the package must do afterwards.
// The setup program also creates, starts and removes the service through the
// Setup... functions here.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "app/quit_request.h"
#include "installer/win32/service_control.h"
#include "settings/setting_limits.h"
#include "settings/setting_rules.h"

namespace {

const char kSetupProgramEntry[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarnwick Web Printing";
const DWORD kClientExitWaitMilliseconds = 30000;

std::string Property(MSIHANDLE install, const char* name)
{
    char small[1];
    DWORD size = 0;
    if (MsiGetPropertyA(install, name, small, &size) != ERROR_MORE_DATA)
        return std::string();
    std::string value(size + 1, '\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyA(install, name, &value[0], &size) != ERROR_SUCCESS)
        return std::string();
    value.resize(size);
    return value;
}

// Shown in a box with a user interface, written to the log without one.
void ReportError(MSIHANDLE install, const std::string& text)
{
    const MSIHANDLE record = MsiCreateRecord(1);
    // The text goes in a field, not the template, so brackets in a value
    // are not taken as property references.
    MsiRecordSetStringA(record, 0, "[1]");
    MsiRecordSetStringA(record, 1, text.c_str());
    MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), record);
    MsiCloseHandle(record);
}

// The values given to either package; empty when not given.
struct SetupValues {
    std::string server, port, poll, computer, tls, blocksInFlight, proxy, service, longPoll, cipher;
};

std::string SwitchProblem(const std::string& name, const std::string& value)
{
    if (value.empty() || value == "0" || value == "1")
        return std::string();
    return name + value + " is not 0 or 1.";
}

// The rules of both packages for the values they are given; prefix comes
// before each name in the texts ("/" for the setup program's parameters).
std::string SettingsProblem(const std::string& prefix, const SetupValues& values)
{
    std::string problem;
    if (!values.port.empty())
        problem = NumberProblem(prefix + "PORT=", values.port, kPortMinimum, kPortMaximum);
    if (problem.empty() && !values.poll.empty())
        problem = NumberProblem(prefix + "POLL=", values.poll, kPollMinimum, kPollMaximum);
    if (problem.empty())
        problem = LengthProblem(prefix + "SERVER=", values.server, kServerNameLimit);
    if (problem.empty())
        problem = LengthProblem(prefix + "COMPUTER=", values.computer, kComputerNameLimit);
    // The server is a host name or a dotted address: no scheme, port or path.
    if (problem.empty())
        problem = HostProblem(prefix + "SERVER=", values.server);
    if (problem.empty())
        problem = SwitchProblem(prefix + "TLS=", values.tls);
    if (problem.empty() && !values.blocksInFlight.empty())
        problem = NumberProblem(prefix + "BLOCKSINFLIGHT=", values.blocksInFlight, kBlocksInFlightMinimum,
                                kBlocksInFlightMaximum);
    if (problem.empty())
        problem = ProxyProblem(prefix + "PROXY=", values.proxy);
    if (problem.empty())
        problem = SwitchProblem(prefix + "SERVICE=", values.service);
    if (problem.empty() && !values.longPoll.empty())
        problem = NumberProblem(prefix + "LONGPOLL=", values.longPoll, kLongPollMinimum, kLongPollMaximum);
    if (problem.empty())
        problem = LengthProblem(prefix + "CIPHER=", values.cipher, kCipherLimit);
    return problem;
}

std::string ModeSwitchProblem(const std::string& version, const std::string& service)
{
    const bool toService = service == "1";
    return std::string("Version ") + version + " of the Tarnwick Web Printing Client is installed already, as " +
           (toService ? "the tray program" : "the service") + ", and the same package cannot switch it to " +
           (toService ? "the service" : "the tray program") + ". Remove it first (msiexec /x webprint-" + version +
           ".msi /qn; the settings stay), then install it again with SERVICE=" + service + ".";
}

// A text for the setup program, in its buffer of size bytes: 0 when empty,
// else 1.
int HandOver(const std::string& text, char* buffer, int size)
{
    if (size > 0)
        lstrcpynA(buffer, text.c_str(), size);
    return text.empty() ? 0 : 1;
}

bool SetupProgramInstalled()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSetupProgramEntry, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A running program's file cannot be opened for writing or deletion.
bool FileInUse(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install)
{
    SetupValues values;
    values.server = Property(install, "SERVER");
    values.port = Property(install, "PORT");
    values.poll = Property(install, "POLL");
    values.computer = Property(install, "COMPUTER");
    values.tls = Property(install, "TLS");
    values.blocksInFlight = Property(install, "BLOCKSINFLIGHT");
    values.proxy = Property(install, "PROXY");
    values.service = Property(install, "SERVICE");
    values.longPoll = Property(install, "LONGPOLL");
    values.cipher = Property(install, "CIPHER");
    std::string problem = SettingsProblem("", values);
    if (problem.empty() && SetupProgramInstalled())
        problem = "The Tarnwick Web Printing Client is installed by its setup program. "
                  "Remove it in Programs and Features first, or install with the setup program.";
    // Run again, the same version only repairs what it installed: Windows
    // Installer neither adds nor removes a component whose condition changed.
    if (problem.empty() && !Property(install, "Installed").empty() && !values.service.empty() &&
        (values.service == "1") != WebprintServiceInstalled())
        problem = ModeSwitchProblem(Property(install, "ProductVersion"), values.service);
    if (problem.empty()) {
        // Without SERVICE an upgrade keeps the computer's mode.
        if (values.service.empty() && WebprintServiceInstalled())
            MsiSetPropertyA(install, "SERVICE", "1");
        return ERROR_SUCCESS;
    }
    ReportError(install, problem);
    return ERROR_INSTALL_FAILURE;
}

// The setup program's check of its parameters, through its System plug-in:
// 0 when they are good, else 1 with the reason in problem (size bytes).
extern "C" __declspec(dllexport) int __stdcall CheckSetupParameters(const char* server, const char* port,
                                                                   const char* poll, const char* computer,
                                                                   const char* tls, const char* blocksInFlight,
                                                                   const char* proxy, const char* service,
                                                                   const char* longPoll, const char* cipher,
                                                                   char* problem, int size)
{
    const SetupValues values = {server, port,  poll,    computer, tls,
                                blocksInFlight, proxy, service, longPoll, cipher};
    return HandOver(SettingsProblem("/", values), problem, size);
}

// The setup program's service: 1 when it is installed.
extern "C" __declspec(dllexport) int __stdcall SetupServiceInstalled()
{
    return WebprintServiceInstalled() ? 1 : 0;
}

// Stops the service, so that its file can be replaced: 0 when it is stopped.
extern "C" __declspec(dllexport) int __stdcall SetupServiceStop()
{
    return StopWebprintService() ? 0 : 1;
}

// Creates (or sets up) and starts the service for the installed program: 0
// once it runs, else 1 with the reason in problem (size bytes).
extern "C" __declspec(dllexport) int __stdcall SetupServiceInstall(const char* programPath, char* problem, int size)
{
    return HandOver(InstallAndStartWebprintService(programPath), problem, size);
}

// The setup program's folder for the service: 0 when it may hold it, else 1
// with the reason in problem (size bytes).
extern "C" __declspec(dllexport) int __stdcall SetupServiceFolder(const char* folder, char* problem, int size)
{
    return HandOver(ServiceFolderProblem(folder, "Leave /D= out, or install without /SERVICE=1."), problem, size);
}

// Stops and deletes the service: 0 when it is gone, else 1 with the reason.
extern "C" __declspec(dllexport) int __stdcall SetupServiceRemove(char* problem, int size)
{
    return HandOver(RemoveWebprintService(), problem, size);
}

// WEBPRINTWASRUNNING: a client was closed, to be started again after an
// installation. WEBPRINTINUSE: the file is still held, so a restart is
// needed; on removal it is deleted at that restart. The service is stopped
// here, before the file is looked at; StartServiceAgain starts it again.
extern "C" __declspec(dllexport) UINT __stdcall CloseClient(MSIHANDLE install)
{
    if (QuitRunningClient(kClientExitWaitMilliseconds) == QuitOutcome::kEnded)
        MsiSetPropertyA(install, "WEBPRINTWASRUNNING", "1");
    StopWebprintService();
    // INSTALLDIR ends in a backslash.
    const std::string folder = Property(install, "INSTALLDIR");
    const std::string file = folder + "webprint.exe";
    if (FileInUse(file)) {
        MsiSetPropertyA(install, "WEBPRINTINUSE", "1");
        // Not every Windows Installer schedules it (Wine's leaves it); the
        // folder goes after it.
        if (Property(install, "REMOVE") == "ALL" && MoveFileExA(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
            MoveFileExA(folder.substr(0, folder.size() - 1).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return ERROR_SUCCESS;
}

// Once INSTALLDIR is known, before anything changes: with SERVICE=1, only a
// folder below Program Files.
extern "C" __declspec(dllexport) UINT __stdcall CheckServiceFolder(MSIHANDLE install)
{
    const std::string problem =
        ServiceFolderProblem(Property(install, "INSTALLDIR"), "Leave INSTALLDIR out, or install without SERVICE=1.");
    if (problem.empty())
        return ERROR_SUCCESS;
    ReportError(install, problem);
    return ERROR_INSTALL_FAILURE;
}

// After an installation: the service runs, whether the package's own start
// already started it or the installation changed nothing it would start for,
// and its command has the path quoted (Wine's Windows Installer leaves the
// quotes out).
extern "C" __declspec(dllexport) UINT __stdcall StartServiceAgain(MSIHANDLE install)
{
    // INSTALLDIR ends in a backslash.
    const std::string problem = WebprintServiceInstalled()
                                    ? InstallAndStartWebprintService(Property(install, "INSTALLDIR") + "webprint.exe")
                                    : "The service webprint was not installed.";
    if (problem.empty())
        return ERROR_SUCCESS;
    ReportError(install, problem);
    return ERROR_INSTALL_FAILURE;
}
