// Custom actions of the Windows Installer package (webprint.wxs).
// CheckSettings refuses a bad setting on every installation, by the rules
// the setup program also takes from here (CheckSetupParameters), and refuses
// to install over the setup program's copy.
// CloseClient ends a running client before its file is replaced or removed,
// and notes what the package must do afterwards.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "app/quit_request.h"
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

// The rules of both packages for the settings they are given; prefix comes
// before each name in the texts ("/" for the setup program's parameters).
std::string SettingsProblem(const std::string& prefix, const std::string& server, const std::string& port,
                            const std::string& poll, const std::string& computer, const std::string& tls)
{
    std::string problem;
    if (!port.empty())
        problem = NumberProblem(prefix + "PORT=", port, kPortMinimum, kPortMaximum);
    if (problem.empty() && !poll.empty())
        problem = NumberProblem(prefix + "POLL=", poll, kPollMinimum, kPollMaximum);
    if (problem.empty())
        problem = LengthProblem(prefix + "SERVER=", server, kServerNameLimit);
    if (problem.empty())
        problem = LengthProblem(prefix + "COMPUTER=", computer, kComputerNameLimit);
    // The server is a host name or a dotted address: no scheme, port or path.
    if (problem.empty())
        problem = HostProblem(prefix + "SERVER=", server);
    if (problem.empty() && !tls.empty() && tls != "0" && tls != "1")
        problem = prefix + "TLS=" + tls + " is not 0 or 1.";
    return problem;
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
    std::string problem = SettingsProblem("", Property(install, "SERVER"), Property(install, "PORT"),
                                          Property(install, "POLL"), Property(install, "COMPUTER"),
                                          Property(install, "TLS"));
    if (problem.empty() && SetupProgramInstalled())
        problem = "The Tarnwick Web Printing Client is installed by its setup program. "
                  "Remove it in Programs and Features first, or install with the setup program.";
    if (problem.empty())
        return ERROR_SUCCESS;
    ReportError(install, problem);
    return ERROR_INSTALL_FAILURE;
}

// The setup program's check of its parameters, through its System plug-in:
// 0 when they are good, else 1 with the reason in problem (size bytes).
extern "C" __declspec(dllexport) int __stdcall CheckSetupParameters(const char* server, const char* port,
                                                                   const char* poll, const char* computer,
                                                                   const char* tls, char* problem, int size)
{
    const std::string text = SettingsProblem("/", server, port, poll, computer, tls);
    if (size > 0)
        lstrcpynA(problem, text.c_str(), size);
    return text.empty() ? 0 : 1;
}

// WEBPRINTWASRUNNING: a client was closed, to be started again after an
// installation. WEBPRINTINUSE: the file is still held, so a restart is
// needed; on removal it is deleted at that restart.
extern "C" __declspec(dllexport) UINT __stdcall CloseClient(MSIHANDLE install)
{
    if (QuitRunningClient(kClientExitWaitMilliseconds) == QuitOutcome::kEnded)
        MsiSetPropertyA(install, "WEBPRINTWASRUNNING", "1");
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
