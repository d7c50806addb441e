// The least a client must do to fetch one job and print it: what webprint.exe
// is timed against under Wine. One kept-alive socket with TCP_NODELAY, each
// request as head and body in two sends, a select before every read (unless
// --no-select), the complement, and WritePrinter through the same spooler.
// It parses only what it needs and shows nothing.
//
//   minimal_client.exe PORT [--no-select]
//
// Exit code 0 once the job is printed and acknowledged; 1 on any failure.
#include <winsock2.h>
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kServicePath[] = ".00010101000000000000/system/rmtprt.aspx?func=";
constexpr int kBlockSize = 4096;
constexpr int kReceiveRoom = 65535;
constexpr int kTimeoutSeconds = 15;

struct Connection {
    SOCKET socket = INVALID_SOCKET;
    bool selectFirst = true;
};

int Fail(const char* step)
{
    fprintf(stderr, "minimal_client: %s failed (%d, %lu)\n", step, WSAGetLastError(), GetLastError());
    return 1;
}

bool Connect(Connection* connection, int port)
{
    connection->socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (connection->socket == INVALID_SOCKET)
        return false;
    BOOL on = TRUE;
    setsockopt(connection->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return connect(connection->socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool SendAll(const Connection& connection, const char* data, int length)
{
    while (length > 0) {
        int sent = send(connection.socket, data, length, 0);
        if (sent <= 0)
            return false;
        data += sent;
        length -= sent;
    }
    return true;
}

int Receive(const Connection& connection, char* buffer, int size)
{
    if (connection.selectFirst) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(connection.socket, &readable);
        timeval timeout = {kTimeoutSeconds, 0};
        if (select(0, &readable, nullptr, nullptr, &timeout) <= 0)
            return -1;
    }
    return recv(connection.socket, buffer, size, 0);
}

// Posts a document and reads the Content-Length reply; its body is copied to
// body. The body's length, or -1.
int Exchange(const Connection& connection, const char* function, const char* document, char* body, int capacity)
{
    static char buffer[kReceiveRoom + 1];
    const int documentLength = static_cast<int>(strlen(document));
    int headLength = snprintf(buffer, sizeof buffer,
                              "POST /%s%s HTTP/1.1\r\nContent-Type: application/xml\r\nContent-Length: %d\r\n"
                              "User-Agent: Tarnwick Jan  9 2014\r\nConnection: Keep-Alive\r\nHost: 127.0.0.1\r\n\r\n",
                              kServicePath, function, documentLength);
    if (!SendAll(connection, buffer, headLength) || !SendAll(connection, document, documentLength))
        return -1;
    int held = 0;
    const char* bodyStart = nullptr;
    int bodyLength = 0;
    for (;;) {
        int count = Receive(connection, buffer + held, kReceiveRoom - held);
        if (count <= 0)
            return -1;
        held += count;
        buffer[held] = 0;
        if (bodyStart == nullptr) {
            const char* end = strstr(buffer, "\r\n\r\n");
            const char* length = strstr(buffer, "Content-Length: ");
            if (end == nullptr || length == nullptr)
                continue;
            bodyStart = end + 4;
            bodyLength = atoi(length + 16);
            if (bodyLength < 0 || bodyLength > capacity)
                return -1;
        }
        if (held - (bodyStart - buffer) >= bodyLength)
            break;
    }
    memcpy(body, bodyStart, static_cast<size_t>(bodyLength));
    return bodyLength;
}

// The fields of a "SPOOL" reply, split at its CR LFs in place.
int SplitLines(char* text, char** fields, int most)
{
    int count = 0;
    for (char* line = text; line != nullptr && count < most; ++count) {
        fields[count] = line;
        line = strstr(line, "\r\n");
        if (line != nullptr) {
            *line = 0;
            line += 2;
        }
    }
    return count;
}

}  // namespace

int main(int argc, char** argv)
{
    Connection connection;
    if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "--no-select") != 0))
        return Fail("usage: minimal_client.exe PORT [--no-select]");
    connection.selectFirst = argc == 2;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 0), &wsa) != 0)
        return Fail("WSAStartup");
    if (!Connect(&connection, atoi(argv[1])))
        return Fail("connect");

    char reply[kBlockSize + 1];
    int length = Exchange(connection, "qryspool", "<qryspool cputok='1'/>", reply, kBlockSize);
    if (length < 0)
        return Fail("qryspool");
    reply[length] = 0;
    char* fields[6];
    if (SplitLines(reply, fields, 6) != 6 || strcmp(fields[0], "SPOOL") != 0)
        return Fail("the job query");
    const int size = atoi(fields[2]);

    HANDLE printer = nullptr;
    if (!OpenPrinterA(fields[4], &printer, nullptr))
        return Fail("OpenPrinter");
    DOC_INFO_1A docInfo = {fields[3], nullptr, const_cast<char*>("RAW")};
    if (StartDocPrinterA(printer, 1, reinterpret_cast<BYTE*>(&docInfo)) == 0 || !StartPagePrinter(printer))
        return Fail("StartDocPrinter");
    char document[512];
    unsigned char block[kBlockSize];
    for (int offset = 0; offset < size;) {
        snprintf(document, sizeof document, "<spooldata file='%s' offset='%d' blocksize='%d' encode='%s' />",
                 fields[1], offset, kBlockSize, "0123456789abcdef");
        int received = Exchange(connection, "spooldata", document, reinterpret_cast<char*>(block), kBlockSize);
        if (received <= 0)
            return Fail("spooldata");
        for (int i = 0; i < received; ++i)
            block[i] = static_cast<unsigned char>(~block[i]);
        DWORD written = 0;
        if (!WritePrinter(printer, block, static_cast<DWORD>(received), &written) ||
            written != static_cast<DWORD>(received))
            return Fail("WritePrinter");
        offset += received;
    }
    if (!EndPagePrinter(printer) || !EndDocPrinter(printer))
        return Fail("EndDocPrinter");
    ClosePrinter(printer);

    snprintf(document, sizeof document, "<printed id='%s'/>", fields[5]);
    if (Exchange(connection, "printed", document, reply, kBlockSize) < 0)
        return Fail("printed");
    closesocket(connection.socket);
    WSACleanup();
    return 0;
}
