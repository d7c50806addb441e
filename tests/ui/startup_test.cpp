// The start of Windows Sockets 2.0 and its two message boxes, against a
// stand-in for the sockets library.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "app/winsock_start.h"

namespace {

struct Box {
    bool hasOwner;
    std::string text;
    bool hasCaption;
    UINT type;
};

struct FakeSockets {
    int startupResult = 0;
    WORD agreedVersion = MAKEWORD(2, 0);
    WORD requestedVersion = 0;
    int cleanups = 0;
    std::vector<Box> boxes;
};

FakeSockets* Fake = nullptr;

int WSAAPI FakeStartup(WORD version, LPWSADATA data)
{
    Fake->requestedVersion = version;
    data->wVersion = Fake->agreedVersion;
    return Fake->startupResult;
}

int WSAAPI FakeCleanup()
{
    ++Fake->cleanups;
    return 0;
}

int WINAPI FakeMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    Fake->boxes.push_back({owner != nullptr, text, caption != nullptr, type});
    return IDOK;
}

struct Case {
    const char* name;
    int startupResult;
    WORD agreedVersion;
    int exitCode;
    const char* message;  // null: no message box
    int cleanups;
};

const Case kCases[] = {
    {"version 2.0 agreed", 0, MAKEWORD(2, 0), 0, nullptr, 0},
    {"start fails", WSASYSNOTREADY, MAKEWORD(2, 0), 100, "Unable to find usable WinSock DLL", 0},
    {"version 2.2 agreed", 0, MAKEWORD(2, 2), 100, "Unable to select version 2.0 WinSock DLL", 1},
    {"version 1.1 agreed", 0, MAKEWORD(1, 1), 100, "Unable to select version 2.0 WinSock DLL", 1},
};

// Test names in ctest show the case's name, not its bytes.
void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

class SocketsStart : public testing::TestWithParam<Case> {};

TEST_P(SocketsStart, AsksForVersion2Point0AndEndsWith100WhenItIsNotThere)
{
    const Case& c = GetParam();
    FakeSockets fake;
    fake.startupResult = c.startupResult;
    fake.agreedVersion = c.agreedVersion;
    Fake = &fake;

    EXPECT_EQ(StartWindowsSockets(SocketsLibrary{FakeStartup, FakeCleanup, FakeMessageBox}), c.exitCode);
    EXPECT_EQ(fake.requestedVersion, MAKEWORD(2, 0));
    EXPECT_EQ(fake.cleanups, c.cleanups);
    if (c.message == nullptr) {
        EXPECT_TRUE(fake.boxes.empty());
    } else {
        ASSERT_EQ(fake.boxes.size(), 1u);
        EXPECT_EQ(fake.boxes[0].text, c.message);
        // No owner window, the system's own caption, one OK button.
        EXPECT_FALSE(fake.boxes[0].hasOwner);
        EXPECT_FALSE(fake.boxes[0].hasCaption);
        EXPECT_EQ(fake.boxes[0].type, static_cast<UINT>(MB_OK));
    }
    Fake = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Cases, SocketsStart, testing::ValuesIn(kCases), [](const testing::TestParamInfo<Case>& info) {
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
});

}  // namespace
