#include "tests/hardening/paired_client.h"

#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transport/print_client.h"

namespace {

void CheckText(const char* text)
{
    if (strlen(text) > 65535)
        abort();
}

void IgnoreProgress(int32_t, int32_t) {}

}  // namespace

int WireToSocketPair(PrintClient* client)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        abort();
    client->OnProgress = IgnoreProgress;
    client->OnStatus = CheckText;
    client->OnLog = CheckText;
    client->Setup("127.0.0.1", 0, "PC01", "cipher");
    client->Socket = ends[0];
    return ends[1];
}
