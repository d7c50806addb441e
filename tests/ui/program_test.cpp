// The real webprint.exe under Wine, started on the tests' desktop against its
// settings key and driven like a user: messages to its window and controls.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <winspool.h>

#include <cctype>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "tests/ui/client_driver.h"
#include "tests/ui/test_desktop.h"
#include "tests/ui/tray_probe.h"
#include "ui/control_ids.h"
#include "ui/tray_icon.h"

namespace {

const char kKeyPath[] = "SOFTWARE\\Morvelund\\Tarnwick Web Printing";

HKEY OpenKey()
{
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    return key;
}

// A value as "REG_DWORD 7000", "REG_SZ text" or "missing".
std::string Stored(const std::string& name)
{
    HKEY key = OpenKey();
    DWORD type = 0;
    BYTE data[1024] = {};
    DWORD size = sizeof(data) - 1;
    const LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return "missing";
    if (type == REG_DWORD && size == 4)
        return "REG_DWORD " + std::to_string(*reinterpret_cast<const int32_t*>(data));
    if (type == REG_SZ)
        return "REG_SZ " + std::string(reinterpret_cast<const char*>(data));
    return "type " + std::to_string(type);
}

void StoreNumber(const char* name, DWORD number)
{
    HKEY key = OpenKey();
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
    RegCloseKey(key);
}

void StoreText(const std::string& name, const std::string& text)
{
    HKEY key = OpenKey();
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
}

void StoreCompleteSettings()
{
    StoreText("Url", "127.0.0.1");
    // Nothing listens on the discard port, so a poll ends at once.
    StoreNumber("Port", 9);
    StoreNumber("PollFreq", 30);
    StoreText("ComputerName", "WEBPRINT-TEST");
}

std::vector<std::string> InstalledPrinters()
{
    std::vector<std::string> names;
    DWORD needed = 0;
    DWORD count = 0;
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    EnumPrintersA(flags, nullptr, 4, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    if (!EnumPrintersA(flags, nullptr, 4, buffer.data(), needed, &needed, &count))
        return names;
    const PRINTER_INFO_4A* printers = reinterpret_cast<const PRINTER_INFO_4A*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        names.push_back(printers[i].pPrinterName);
    return names;
}

bool Ticked(HWND list, int index)
{
    return SendMessageA(list, LB_GETITEMDATA, index, 0) == 1;
}

HWND VisiblePopupMenu()
{
    HWND menu = nullptr;
    while ((menu = FindWindowExA(nullptr, menu, "#32768", nullptr)) != nullptr) {
        if (IsWindowVisible(menu))
            return menu;
    }
    return nullptr;
}

void ClickPrinterBox(HWND list, int index)
{
    // The box sits at the left end of the item and is as wide as it is tall.
    const int height = static_cast<int>(SendMessageA(list, LB_GETITEMHEIGHT, 0, 0));
    const LPARAM point = MAKELPARAM(height / 2, index * height + height / 2);
    PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageA(list, WM_LBUTTONUP, 0, point);
}

int SelectedPage(const ClientProcess& client)
{
    return static_cast<int>(SendMessageA(client.Control(kPageControl1), TCM_GETCURSEL, 0, 0));
}

DWORD ExitByMenuCommand(ClientProcess& client)
{
    PostMessageA(client.Window(), WM_COMMAND, kMnuExit, 0);
    DWORD code = 1234;
    EXPECT_TRUE(client.WaitForExit(&code));
    return code;
}

// A server on loopback that takes a connection, reads what comes and never
// answers: the poll's wait for it lasts its whole read time-out.
class SilentServer {
public:
    SilentServer()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer()
    {
        if (peer_ != INVALID_SOCKET)
            closesocket(peer_);
        closesocket(listener_);
        WSACleanup();
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    DWORD Port() const { return port_; }

    // True once a client has connected and sent the first bytes of a request.
    bool RequestArrived()
    {
        if (!Readable(listener_))
            return false;
        peer_ = accept(listener_, nullptr, nullptr);
        char bytes[512];
        return peer_ != INVALID_SOCKET && Readable(peer_) && recv(peer_, bytes, sizeof bytes, 0) > 0;
    }

private:
    static bool Readable(SOCKET socket)
    {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(socket, &readSet);
        timeval wait = {kClientWaitMilliseconds / 1000, 0};
        return select(0, &readSet, nullptr, nullptr, &wait) == 1;
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    DWORD port_ = 0;
};

class Program : public testing::Test {
protected:
    void SetUp() override
    {
        if (!EnterTestDesktop())
            GTEST_SKIP() << kNoDisplay;
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kKeyPath);
    }
};

TEST_F(Program, FirstStartOnAnEmptyKeyCreatesEveryValueAndOpensOnTheSettingsPage)
{
    ClientProcess client(WEBPRINT_EXE);
    ASSERT_TRUE(client.Start());

    EXPECT_TRUE(IsWindowVisible(client.Window()));
    EXPECT_EQ(SelectedPage(client), kPageSettings);
    EXPECT_TRUE(IsWindowVisible(client.Control(kTbSettings)));
    EXPECT_FALSE(IsWindowVisible(client.Control(kTbStatus)));

    char computer[256] = {};
    DWORD computerSize = sizeof(computer);
    GetComputerNameA(computer, &computerSize);
    EXPECT_EQ(Stored("ShowStartUpPanel"), "REG_DWORD 0");
    EXPECT_EQ(Stored("ComputerName"), std::string("REG_SZ ") + computer);
    EXPECT_EQ(Stored("Port"), "REG_DWORD 7000");
    EXPECT_EQ(Stored("PollFreq"), "REG_DWORD 30");
    EXPECT_EQ(Stored("Url"), "REG_SZ ");
    EXPECT_EQ(Stored("Cipher"), "REG_SZ k2vd9qa3m1t74p6n");

    EXPECT_EQ(ControlText(client.Control(kEdPort)), "7000");
    EXPECT_EQ(ControlText(client.Control(kEdCpu)), computer);
    char user[256] = {};
    DWORD userSize = sizeof(user);
    GetUserNameA(user, &userSize);
    std::string upper(user);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ControlText(client.Control(kEdUser)), upper);

    // Every printer is listed in the platform's order, ticked, its flag created as 0.
    const std::vector<std::string> printers = InstalledPrinters();
    HWND list = client.Control(kCheckListBox1);
    ASSERT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), static_cast<LRESULT>(printers.size()));
    for (size_t i = 0; i < printers.size(); ++i) {
        EXPECT_EQ(ListItemText(list, static_cast<int>(i)), printers[i]);
        EXPECT_TRUE(Ticked(list, static_cast<int>(i))) << printers[i];
        EXPECT_EQ(Stored("Printer:" + printers[i]), "REG_DWORD 0");
    }
    EXPECT_EQ(ExitByMenuCommand(client), 0u);
}

TEST_F(Program, OkHidesTheWindowAndTheNextStartOpensHiddenOnTheStatusPage)
{
    {
        ClientProcess first(WEBPRINT_EXE);
        ASSERT_TRUE(first.Start());
        SetControlText(first.Control(kEdUrl), "127.0.0.1");
        SetControlText(first.Control(kEdPort), "9");
        SendMessageA(first.Control(kBtnOk), BM_CLICK, 0, 0);
        ASSERT_TRUE(Settle(first.Window()));
        EXPECT_FALSE(IsWindowVisible(first.Window()));
        EXPECT_EQ(ExitByMenuCommand(first), 0u);
    }
    EXPECT_EQ(Stored("Url"), "REG_SZ 127.0.0.1");
    EXPECT_EQ(Stored("Port"), "REG_DWORD 9");

    ClientProcess second(WEBPRINT_EXE);
    ASSERT_TRUE(second.Start());
    EXPECT_FALSE(IsWindowVisible(second.Window()));
    EXPECT_EQ(SelectedPage(second), kPageStatus);
    EXPECT_TRUE(TrayIconExists(second.Window()));
    EXPECT_EQ(ExitByMenuCommand(second), 0u);
}

TEST_F(Program, PollFrequencyZeroFromOutsideOpensOnTheSettingsPageAndStaysZero)
{
    StoreCompleteSettings();
    StoreNumber("PollFreq", 0);
    ClientProcess client(WEBPRINT_EXE);
    ASSERT_TRUE(client.Start());
    EXPECT_EQ(SelectedPage(client), kPageSettings);
    EXPECT_EQ(Stored("PollFreq"), "REG_DWORD 0");
    EXPECT_EQ(ExitByMenuCommand(client), 0u);
}

TEST_F(Program, ExitFromTheTrayMenuEndsWithCodeZeroAndTakesTheIconAway)
{
    StoreNumber("ShowStartUpPanel", 0);
    ClientProcess client(WEBPRINT_EXE);
    ASSERT_TRUE(client.Start());
    const HWND window = client.Window();
    ASSERT_TRUE(TrayIconExists(window));

    // A left click on the icon, as the shell reports it.
    PostMessageA(window, kTrayCallbackMessage, kTrayIconId, WM_LBUTTONUP);
    HWND menu = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (menu = VisiblePopupMenu()) != nullptr; }));
    // "Exit" is the last of the two items.
    PostMessageA(menu, WM_KEYDOWN, VK_UP, 0);
    PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);

    DWORD code = 1234;
    ASSERT_TRUE(client.WaitForExit(&code));
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(TrayIconExists(window));
}

TEST_F(Program, WhileAPollWaitsForTheServerTheWindowWorksAndAQuitRequestEndsTheClient)
{
    SilentServer server;
    StoreCompleteSettings();
    StoreNumber("Port", server.Port());
    StoreNumber("ShowStartUpPanel", 0);
    ClientProcess client(WEBPRINT_EXE);
    ASSERT_TRUE(client.Start());
    // The first tick's poll asks for the service path, then waits up to its
    // read time-out (15 s), longer than any wait below.
    ASSERT_TRUE(server.RequestArrived());
    EXPECT_TRUE(Settle(client.Window()));
    // OK works meanwhile; what it stores is for the next poll.
    SetControlText(client.Control(kEdPollFreq), "7");
    SendMessageA(client.Control(kBtnOk), BM_CLICK, 0, 0);
    ASSERT_TRUE(Settle(client.Window()));
    EXPECT_EQ(Stored("PollFreq"), "REG_DWORD 7");

    // An installer's quit request: the client's "Exit", during the poll.
    ClientProcess quit(WEBPRINT_EXE, "/quit");
    ASSERT_TRUE(quit.Launch());
    DWORD quitCode = 1234;
    ASSERT_TRUE(quit.WaitForExit(&quitCode));
    EXPECT_EQ(quitCode, static_cast<DWORD>(kExitQuitClientEnded));
    DWORD code = 1234;
    ASSERT_TRUE(client.WaitForExit(&code));
    EXPECT_EQ(code, 0u);
}

TEST_F(Program, RightClickOnTheTrayIconOpensNothing)
{
    StoreNumber("ShowStartUpPanel", 0);
    ClientProcess client(WEBPRINT_EXE);
    ASSERT_TRUE(client.Start());
    SendMessageA(client.Window(), kTrayCallbackMessage, kTrayIconId, WM_RBUTTONUP);
    EXPECT_EQ(VisiblePopupMenu(), nullptr);
    EXPECT_FALSE(IsWindowVisible(client.Window()));
    EXPECT_EQ(ExitByMenuCommand(client), 0u);
}

TEST_F(Program, ASecondStartShowsTheRunningWindowAndEndsWithCodeZero)
{
    StoreNumber("ShowStartUpPanel", 0);
    ClientProcess first(WEBPRINT_EXE);
    ASSERT_TRUE(first.Start());
    ASSERT_FALSE(IsWindowVisible(first.Window()));

    ClientProcess second(WEBPRINT_EXE);
    ASSERT_TRUE(second.Launch());
    DWORD code = 1234;
    ASSERT_TRUE(second.WaitForExit(&code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(first.Window()) != FALSE; }));
    EXPECT_EQ(ExitByMenuCommand(first), 0u);
}

TEST_F(Program, PrinterTicksFollowTheFlagsAndAUserClickStoresThem)
{
    const std::vector<std::string> printers = InstalledPrinters();
    if (printers.empty())
        GTEST_SKIP() << "Wine lists no printers (is CUPS running with a queue?)";
    const std::string flag = "Printer:" + printers[0];
    StoreNumber(flag.c_str(), 5);
    ClientProcess client(WEBPRINT_EXE);
    ASSERT_TRUE(client.Start());
    HWND list = client.Control(kCheckListBox1);

    // Any non-zero flag hides the printer; the fill stores nothing.
    EXPECT_FALSE(Ticked(list, 0));
    EXPECT_EQ(Stored(flag), "REG_DWORD 5");

    ClickPrinterBox(list, 0);
    ASSERT_TRUE(Settle(client.Window()));
    EXPECT_TRUE(Ticked(list, 0));
    EXPECT_EQ(Stored(flag), "REG_DWORD 0");

    ClickPrinterBox(list, 0);
    ASSERT_TRUE(Settle(client.Window()));
    EXPECT_FALSE(Ticked(list, 0));
    EXPECT_EQ(Stored(flag), "REG_DWORD 1");
    EXPECT_EQ(ExitByMenuCommand(client), 0u);
}

TEST_F(Program, AFlagStoredAsTextIsReplacedByZeroAndThePrinterTicked)
{
    const std::vector<std::string> printers = InstalledPrinters();
    if (printers.empty())
        GTEST_SKIP() << "Wine lists no printers (is CUPS running with a queue?)";
    const std::string flag = "Printer:" + printers[0];
    StoreText(flag, "1");
    ClientProcess client(WEBPRINT_EXE);
    ASSERT_TRUE(client.Start());
    EXPECT_TRUE(Ticked(client.Control(kCheckListBox1), 0));
    EXPECT_EQ(Stored(flag), "REG_DWORD 0");
    EXPECT_EQ(ExitByMenuCommand(client), 0u);
}

TEST(ProgramManifest, AsksForCommonControls6AndDpiAwarenessButNoElevation)
{
    HMODULE program = LoadLibraryExA(WEBPRINT_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    HRSRC found = FindResourceA(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(program, found)));
    const std::string manifest(bytes, SizeofResource(program, found));
    FreeLibrary(program);

    EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("<dpiAware"), std::string::npos);
    // Any execution level would switch off the virtual store that lets users
    // without administrator rights keep their settings.
    EXPECT_EQ(manifest.find("requestedExecutionLevel"), std::string::npos);
}

}  // namespace
