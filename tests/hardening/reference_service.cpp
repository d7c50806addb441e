#include "tests/hardening/reference_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/loopback_peer.h"

namespace {

constexpr int kStartMilliseconds = 20000;

}  // namespace

ReferenceService::ReferenceService()
{
    char directory[] = "/tmp/webprint-soak-XXXXXX";
    if (mkdtemp(directory) == nullptr)
        return;
    directory_ = directory;
    const std::string database = directory_ + "/service.sqlite";

    int output[2];
    if (pipe(output) != 0)
        return;
    child_ = fork();
    if (child_ == 0) {
        dup2(output[1], STDOUT_FILENO);
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDERR_FILENO);
        close(output[0]);
        close(output[1]);
        close(quiet);
        // The hub runs from the checkout, with Debian's Python and its packages.
        if (chdir(WEBPRINT_SOURCE_DIR) == 0)
            execl("/usr/bin/python3", "python3", "-m", "hub", "serve", "--host", "127.0.0.1", "--port", "0",
                  "--db", database.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    // "listening on HOST:PORT" comes once the service accepts connections.
    std::string line;
    pollfd entry{output[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&entry, 1, kStartMilliseconds) > 0) {
        char buffer[256];
        ssize_t count = read(output[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        line.append(buffer, static_cast<size_t>(count));
    }
    close(output[0]);
    size_t colon = line.rfind(':');
    if (line.compare(0, 13, "listening on ") == 0 && colon != std::string::npos)
        port_ = static_cast<uint16_t>(atoi(line.c_str() + colon + 1));
}

ReferenceService::~ReferenceService()
{
    if (child_ > 0) {
        kill(child_, SIGTERM);
        waitpid(child_, nullptr, 0);
    }
    if (!directory_.empty()) {
        for (const char* file : {"/service.sqlite", "/service.sqlite-wal", "/service.sqlite-shm"})
            unlink((directory_ + file).c_str());
        rmdir(directory_.c_str());
    }
}

bool ReferenceService::Submit(const std::string& name, const std::string& bytes)
{
    int connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(connection);
        return false;
    }
    // A send that fails shows in the reply, which then is not a 201.
    const std::string request = "POST /jobs?computer=PC01&printer=Office%20Laser&name=" + name +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
                                std::to_string(bytes.size()) + "\r\n\r\n" + bytes;
    SendAll(connection, request.data(), request.size());
    std::string reply;
    char buffer[1024];
    pollfd entry{connection, POLLIN, 0};
    while (poll(&entry, 1, kStartMilliseconds) > 0) {
        ssize_t count = recv(connection, buffer, sizeof buffer, 0);
        if (count <= 0)
            break;
        reply.append(buffer, static_cast<size_t>(count));
    }
    close(connection);
    return reply.compare(0, 12, "HTTP/1.1 201") == 0 || reply.compare(0, 12, "HTTP/1.0 201") == 0;
}
