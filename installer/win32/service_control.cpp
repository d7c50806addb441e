#include "installer/win32/service_control.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

namespace {

const char kServiceName[] = "webprint";
const char kDisplayName[] = "Tarnwick Web Printing";
const char kDescription[] =
    "Prints the jobs of a remote web application on this computer's printers, with nobody logged on.";
// The service ends a stop within 2 s and starts within moments.
const DWORD kStateWaitMilliseconds = 15000;
const DWORD kStatePollMilliseconds = 50;

// Closes a service control manager handle at the end of its scope.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ServiceHandle()
    {
        if (handle_ != nullptr)
            CloseServiceHandle(handle_);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

// The service opened with the given access, and the manager it came from;
// service is null when either could not be opened (GetLastError says why).
struct OpenedService {
    explicit OpenedService(DWORD access)
        : manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)),
          service(manager.get() != nullptr ? OpenServiceA(manager.get(), kServiceName, access) : nullptr)
    {
    }
    const ServiceHandle manager;
    const ServiceHandle service;
};

std::string Failure(const char* what)
{
    const DWORD error = GetLastError();
    return std::string(what) + " the service webprint (error " + std::to_string(error) + ").";
}

// A folder as the file system names it: absolute, without "." or "..", and
// without a backslash at its end.
std::string FullFolder(const std::string& folder)
{
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(folder.c_str(), sizeof full, full, nullptr);
    std::string result = length > 0 && length < sizeof full ? std::string(full, length) : folder;
    while (!result.empty() && result.back() == '\\')
        result.pop_back();
    return result;
}

// Program Files for 32-bit programs, and on 64-bit Windows the one for
// 64-bit programs too; both let only administrators and SYSTEM write.
std::vector<std::string> ProgramFilesFolders()
{
    std::vector<std::string> folders;
    char path[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK)
        folders.push_back(FullFolder(path));
    const DWORD length = GetEnvironmentVariableA("ProgramW6432", path, sizeof path);
    if (length > 0 && length < sizeof path && (folders.empty() || FullFolder(path) != folders.front()))
        folders.push_back(FullFolder(path));
    return folders;
}

const char kNotRunning[] = "The service webprint did not start; its events in the event log say why.";

// Waits while the service is in the pending state; true when it reached
// the wanted one.
bool WaitForState(SC_HANDLE service, DWORD pending, DWORD wanted)
{
    const DWORD start = GetTickCount();
    SERVICE_STATUS status = {};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState == pending &&
           GetTickCount() - start < kStateWaitMilliseconds)
        Sleep(kStatePollMilliseconds);
    return status.dwCurrentState == wanted;
}

bool StopOpenService(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
        return true;
    if (status.dwCurrentState != SERVICE_STOP_PENDING)
        ControlService(service, SERVICE_CONTROL_STOP, &status);
    return WaitForState(service, SERVICE_STOP_PENDING, SERVICE_STOPPED) ||
           (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED);
}

// A service manager that runs already starts nothing by itself.
bool StartOpenService(SC_HANDLE service)
{
    if (!StartServiceA(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return false;
    return WaitForState(service, SERVICE_START_PENDING, SERVICE_RUNNING);
}

}  // namespace

std::string ServiceFolderProblem(const std::string& folder, const std::string& how)
{
    const std::string full = FullFolder(folder);
    std::string roots;
    for (const std::string& root : ProgramFilesFolders()) {
        if (full.size() > root.size() && full[root.size()] == '\\' &&
            CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, full.c_str(), static_cast<int>(root.size()),
                           root.c_str(), static_cast<int>(root.size())) == CSTR_EQUAL)
            return std::string();
        roots += (roots.empty() ? "" : " or ") + root;
    }
    return "The service runs webprint.exe as LocalSystem, so it is installed only below " + roots +
           ", where users cannot change it; " + full + " is not. " + how;
}

bool WebprintServiceInstalled()
{
    return OpenedService(SERVICE_QUERY_STATUS).service.get() != nullptr;
}

bool StopWebprintService()
{
    const OpenedService opened(SERVICE_STOP | SERVICE_QUERY_STATUS);
    return opened.service.get() == nullptr || StopOpenService(opened.service.get());
}

std::string InstallAndStartWebprintService(const std::string& programPath)
{
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager.get() == nullptr)
        return Failure("Could not reach the service control manager for");
    // Quoted: the path holds blanks.
    const std::string command = "\"" + programPath + "\" /service";
    ServiceHandle existing(OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (existing.get() != nullptr &&
        !ChangeServiceConfigA(existing.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              command.c_str(), nullptr, nullptr, nullptr, "LocalSystem", "", kDisplayName))
        return Failure("Could not set up");
    const ServiceHandle created(existing.get() != nullptr
                                    ? nullptr
                                    : CreateServiceA(manager.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                     SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                                     nullptr, nullptr, nullptr));
    const SC_HANDLE service = existing.get() != nullptr ? existing.get() : created.get();
    if (service == nullptr)
        return Failure("Could not create");
    SERVICE_DESCRIPTIONA description = {const_cast<char*>(kDescription)};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
    return StartOpenService(service) ? std::string() : kNotRunning;
}

std::string RemoveWebprintService()
{
    const OpenedService opened(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    const SC_HANDLE service = opened.service.get();
    if (service == nullptr)
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? std::string() : Failure("Could not open");
    // Stopped first, the service is deleted at once, not at the next restart.
    if (!StopOpenService(service))
        return Failure("Could not stop");
    if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return Failure("Could not delete");
    return std::string();
}
