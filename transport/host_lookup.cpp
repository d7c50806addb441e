#include "transport/host_lookup.h"

#include <cstring>

#ifdef _WIN32
bool LookUpHost(const char* host, in_addr* address)
{
    hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addr_list[0] == nullptr || entry->h_length != 4)
        return false;
    memcpy(address, entry->h_addr_list[0], 4);
    return true;
}
#else
#include <csignal>
#include <string>

namespace {

// One request to glibc's asynchronous resolver, which runs it on a thread
// of its own and reads every field until it ends.
struct Lookup {
    std::string name;
    addrinfo hints;
    gaicb request;
};

}  // namespace

bool LookUpHost(const char* host, in_addr* address)
{
    Lookup* lookup = new Lookup();
    lookup->name = host;
    lookup->hints.ai_family = AF_INET;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->request.ar_name = lookup->name.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* requests[1] = {&lookup->request};
    sigevent noNotice = {};
    noNotice.sigev_notify = SIGEV_NONE;
    if (getaddrinfo_a(GAI_NOWAIT, requests, 1, &noNotice) != 0) {
        delete lookup;
        return false;
    }
    // The resolver's wait sees no stop descriptor: it is bounded in slices,
    // and the stop is looked at between them.
    const timespec slice = {0, 100 * 1000 * 1000};
    while (gai_error(&lookup->request) == EAI_INPROGRESS && !StopRequested())
        gai_suspend(requests, 1, &slice);
    if (gai_error(&lookup->request) == EAI_INPROGRESS && gai_cancel(&lookup->request) == EAI_NOTCANCELED) {
        // Still in the resolver's hands: the request stays allocated for it,
        // and the daemon is about to end.
        return false;
    }
    addrinfo* found = lookup->request.ar_result;
    const bool resolved = gai_error(&lookup->request) == 0 && found != nullptr && found->ai_family == AF_INET;
    if (resolved)
        *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    if (found != nullptr)
        freeaddrinfo(found);
    delete lookup;
    return resolved;
}
#endif
