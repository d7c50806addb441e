#include "protocol/service_path.h"

#include <cstdio>
#include <cstring>

#include "protocol/poll_cycle.h"
#include "transport/print_client.h"

char ServicePrefix[48];

namespace {

// The places a service may be installed under, in the order they are tried.
const char* const kCandidatePrefixes[] = {
    ".00010101000000000000/system/rmtprt.aspx?func=",
    ".00010101000000000000/admin/rmtprt.$.aspx?func=",
    ".00010101000000000000/.system/rmtprt.aspx?func=",
};

char LastRequestPath[128];

const char* ComposePath(const char* functionName)
{
    snprintf(LastRequestPath, sizeof LastRequestPath, "%s%s", ServicePrefix, functionName);
    return LastRequestPath;
}

}  // namespace

const char* RequestPath(PrintClient* client, const char* functionName)
{
    if (ServicePrefix[0] != 0)
        return ComposePath(functionName);

    // Holds the body of the last answer any ping got, to show when none succeeds.
    char pingReply[65536];
    pingReply[0] = 0;
    for (const char* candidate : kCandidatePrefixes) {
        snprintf(ServicePrefix, sizeof ServicePrefix, "%s", candidate);
        char pingPath[128];
        snprintf(pingPath, sizeof pingPath, "%sping", candidate);
        int32_t replyLength = -1;
        int result = client->httpRequest(pingPath, "Content-Type: application/xml", "", nullptr, 0,
                                         pingReply, sizeof pingReply - 1, &replyLength);
        if (replyLength >= 0)
            pingReply[replyLength] = 0;
        if (result == 0)
            return ComposePath(functionName);
    }

    client->ReportError(pingReply);
    client->OnProgress(0, 0);
    client->SocketClose();
    LogCleared = false;
    ServicePrefix[0] = 0;
    LastRequestPath[0] = 0;
    return LastRequestPath;
}
