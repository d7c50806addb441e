// The installed printers from the CUPS scheduler, and the user the process
// runs as. The hide flags come from the settings library.
#include <cups/cups.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/cups/cups_scheduler.h"
#include "protocol/printer_inventory.h"
#include "transport/ascii.h"

namespace {

// Reused from call to call: a warmed-up poll allocates nothing of its own.
std::vector<std::string> NameStorage;
std::vector<const char*> PrinterNames;

// The scheduler's printers and classes into NameStorage; false when it could
// not be asked. A scheduler without any queue answers "not found".
bool AskScheduler(size_t* used)
{
    SchedulerWait wait;
    http_t* connection = ConnectToScheduler(&wait);
    if (connection == nullptr)
        return false;
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "printer-name");
    ipp_t* response = cupsDoRequest(connection, request, "/");
    const ipp_status_t status = cupsLastError();
    const bool answered = status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND;
    if (answered) {
        for (ipp_attribute_t* name = ippFindAttribute(response, "printer-name", IPP_TAG_NAME); name != nullptr;
             name = ippFindNextAttribute(response, "printer-name", IPP_TAG_NAME)) {
            if (*used == NameStorage.size())
                NameStorage.emplace_back();
            NameStorage[(*used)++].assign(ippGetString(name, 0, nullptr));
        }
    } else {
        NoteCupsFailure("listing the printers", wait);
    }
    ippDelete(response);
    httpClose(connection);
    return answered;
}

}  // namespace

PrinterNameList ListInstalledPrinters()
{
    size_t used = 0;
    const bool answered = AskScheduler(&used);
    PrinterNames.clear();
    for (size_t i = 0; i < used; ++i)
        PrinterNames.push_back(NameStorage[i].c_str());
    return PrinterNameList{PrinterNames.data(), static_cast<int32_t>(PrinterNames.size()), !answered};
}

const char* WindowsUserName()
{
    // The same room as on Windows: 255 bytes and the NUL.
    static char userName[256];
    const passwd* entry = getpwuid(geteuid());
    userName[0] = 0;
    if (entry != nullptr)
        strncat(userName, entry->pw_name, sizeof userName - 1);
    // The C locale's upper case: only the ASCII letters change.
    for (char* c = userName; *c != 0; ++c)
        *c = static_cast<char>(UpperAscii(static_cast<unsigned char>(*c)));
    return userName;
}
