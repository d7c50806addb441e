// The settings store on the real registry (run under Wine).
#include <gtest/gtest.h>

#include "settings/client_settings.h"
#include "settings/computer_name.h"
#include "settings/settings_form.h"
#include "settings/win32/registry_store.h"
#include "tests/settings/settings_doubles.h"

namespace {

// A key of its own, so the tests never touch the program's settings.
const char kTestKeyPath[] = "Software\\Morvelund\\Webprint Store Test";

struct RawValue {
    LONG status;
    DWORD type;
    std::string bytes;
};

class Registry : public testing::Test {
protected:
    void SetUp() override { RegDeleteTreeA(HKEY_CURRENT_USER, kTestKeyPath); }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, kTestKeyPath); }

    static HKEY OpenTestKey()
    {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_CURRENT_USER, kTestKeyPath, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                        nullptr);
        return key;
    }

    static void RawSet(const char* name, DWORD type, const std::string& bytes)
    {
        HKEY key = OpenTestKey();
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    static RawValue RawGet(const char* name)
    {
        HKEY key = OpenTestKey();
        RawValue value = {0, REG_NONE, std::string(1024, '\0')};
        DWORD size = static_cast<DWORD>(value.bytes.size());
        value.status = RegQueryValueExA(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(&value.bytes[0]),
                                        &size);
        value.bytes.resize(value.status == ERROR_SUCCESS ? size : 0);
        RegCloseKey(key);
        return value;
    }

    static std::string Dword(uint32_t number) { return std::string(reinterpret_cast<const char*>(&number), 4); }
};

TEST_F(Registry, TheMissingKeyIsCreated)
{
    HKEY key = nullptr;
    ASSERT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, kTestKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS);

    RegistryStore store(HKEY_CURRENT_USER, kTestKeyPath);

    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kTestKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

// Checked with a value of its own, so a program's settings in this prefix stay.
TEST_F(Registry, TheProgramsKeyLiesUnderLocalMachine)
{
    {
        RegistryStore store;
        ASSERT_TRUE(store.WriteInteger("Webprint Store Test", 7000));
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morvelund\\Tarnwick Web Printing", 0,
                            KEY_READ | KEY_WRITE, &key),
              ERROR_SUCCESS);
    DWORD number = 0;
    DWORD size = sizeof number;
    EXPECT_EQ(RegQueryValueExA(key, "Webprint Store Test", nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(number, 7000u);
    RegDeleteValueA(key, "Webprint Store Test");
    RegCloseKey(key);
}

TEST_F(Registry, IntegersAreWrittenAsFourByteDwords)
{
    RegistryStore store(HKEY_CURRENT_USER, kTestKeyPath);
    ASSERT_TRUE(store.WriteInteger("Port", 7000));
    ASSERT_TRUE(store.WriteInteger("PollFreq", -5));

    const RawValue port = RawGet("Port");
    EXPECT_EQ(port.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(port.bytes, Dword(7000));
    EXPECT_EQ(RawGet("PollFreq").bytes, Dword(0xFFFFFFFBu));

    int32_t value = 0;
    EXPECT_TRUE(store.ReadInteger("PollFreq", &value));
    EXPECT_EQ(value, -5);
}

TEST_F(Registry, TextsAreWrittenAsStringsWithTheirNul)
{
    RegistryStore store(HKEY_CURRENT_USER, kTestKeyPath);
    ASSERT_TRUE(store.WriteText("Url", "print.example"));
    ASSERT_TRUE(store.WriteText("Cipher", ""));

    const RawValue url = RawGet("Url");
    EXPECT_EQ(url.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(url.bytes, std::string("print.example", 14));
    EXPECT_EQ(RawGet("Cipher").bytes, std::string(1, '\0'));
}

TEST_F(Registry, AnIntegerIsPresentOnlyAsADword)
{
    RawSet("Text", REG_SZ, std::string("30", 3));
    RawSet("Binary", REG_BINARY, Dword(30));
    RawSet("Qword", REG_QWORD, std::string("\x1e\0\0\0\0\0\0\0", 8));
    RawSet("Short", REG_DWORD, std::string("\x1e\0", 2));
    RawSet("Dword", REG_DWORD, Dword(30));
    RegistryStore store(HKEY_CURRENT_USER, kTestKeyPath);

    for (const char* name : {"Text", "Binary", "Qword", "Short", "Missing"}) {
        int32_t value = 99;
        EXPECT_FALSE(store.ReadInteger(name, &value)) << name;
    }
    int32_t value = 0;
    EXPECT_TRUE(store.ReadInteger("Dword", &value));
    EXPECT_EQ(value, 30);
}

TEST_F(Registry, TextsAreReadUpToTheirFirstNul)
{
    RawSet("Plain", REG_SZ, std::string("print.example", 14));
    RawSet("Expand", REG_EXPAND_SZ, std::string("%SystemRoot%\\x", 15));
    RawSet("NoNul", REG_SZ, "print.example");
    RawSet("TwoParts", REG_SZ, std::string("ab\0cd", 6));
    RegistryStore store(HKEY_CURRENT_USER, kTestKeyPath);

    const std::pair<const char*, const char*> cases[] = {
        {"Plain", "print.example"}, {"Expand", "%SystemRoot%\\x"}, {"NoNul", "print.example"}, {"TwoParts", "ab"}};
    for (const auto& c : cases)
        EXPECT_EQ(store.ReadText(c.first), c.second) << c.first;
}

TEST_F(Registry, OtherTypesAndEmptyTextsGiveTheEmptyText)
{
    RawSet("Empty", REG_SZ, std::string(1, '\0'));
    RawSet("NoBytes", REG_SZ, std::string());
    RawSet("Dword", REG_DWORD, Dword(0x41414141));
    RawSet("Multi", REG_MULTI_SZ, std::string("ab\0\0", 4));
    RawSet("Binary", REG_BINARY, "abc");
    RegistryStore store(HKEY_CURRENT_USER, kTestKeyPath);

    for (const char* name : {"Empty", "NoBytes", "Dword", "Multi", "Binary", "Missing"})
        EXPECT_EQ(store.ReadText(name), "") << name;
}

TEST_F(Registry, AWriteReplacesAValueOfAnotherType)
{
    RawSet("Printer:Plotter", REG_SZ, std::string("1", 2));
    RawSet("Url", REG_DWORD, Dword(5));
    RegistryStore store(HKEY_CURRENT_USER, kTestKeyPath);

    ASSERT_TRUE(store.WriteInteger("Printer:Plotter", 0));
    ASSERT_TRUE(store.WriteText("Url", "print.example"));

    EXPECT_EQ(RawGet("Printer:Plotter").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(RawGet("Printer:Plotter").bytes, Dword(0));
    EXPECT_EQ(RawGet("Url").type, static_cast<DWORD>(REG_SZ));
}

TEST_F(Registry, AClosedOrUnopenableKeyReadsNothingAndFailsWrites)
{
    RawSet("Port", REG_DWORD, Dword(7000));
    RawSet("Url", REG_SZ, std::string("print.example", 14));
    RegistryStore closed(HKEY_CURRENT_USER, kTestKeyPath);
    closed.Close();
    // A root that does not exist stands for a key the process may not open.
    RegistryStore unopenable(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x7654321)), kTestKeyPath);

    for (RegistryStore* store : {&closed, &unopenable}) {
        int32_t number = 0;
        EXPECT_FALSE(store->ReadInteger("Port", &number));
        EXPECT_EQ(store->ReadText("Url"), "");
        EXPECT_FALSE(store->WriteInteger("Port", 1));
        EXPECT_FALSE(store->WriteText("Url", "x"));
    }
    EXPECT_EQ(RawGet("Port").bytes, Dword(7000));
    EXPECT_EQ(RawGet("Url").bytes, std::string("print.example", 14));
}

TEST_F(Registry, FirstStartFillsAnEmptyKeyWithEveryValueAndItsType)
{
    ClientSettings = SettingsValues();
    InstalledPrinters = {"Office Laser"};
    RegistryStore store(HKEY_CURRENT_USER, kTestKeyPath);
    ViewDouble view;
    bool showPanel = false;

    ASSERT_EQ(LoadSettingsAtStart(store, view, &showPanel).kind, SettingsOutcome::Done);

    const std::string computerName = ComputerNameOfThisPc();
    ASSERT_FALSE(computerName.empty());
    const struct {
        const char* name;
        DWORD type;
        std::string bytes;
    } expected[] = {
        {"ShowStartUpPanel", REG_DWORD, Dword(0)},
        {"ComputerName", REG_SZ, computerName + '\0'},
        {"Port", REG_DWORD, Dword(7000)},
        {"PollFreq", REG_DWORD, Dword(30)},
        {"Url", REG_SZ, std::string(1, '\0')},
        {"Cipher", REG_SZ, std::string("k2vd9qa3m1t74p6n", 17)},
        {"Printer:Office Laser", REG_DWORD, Dword(0)},
    };
    for (const auto& e : expected) {
        const RawValue value = RawGet(e.name);
        EXPECT_EQ(value.status, ERROR_SUCCESS) << e.name;
        EXPECT_EQ(value.type, e.type) << e.name;
        EXPECT_EQ(value.bytes, e.bytes) << e.name;
    }
    EXPECT_TRUE(showPanel);
    EXPECT_EQ(view.firstPage, FirstPage::Settings);
}

}  // namespace
