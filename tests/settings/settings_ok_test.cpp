// OK on the Settings page, the printer ticks and IsPrinterHidden.
#include <gtest/gtest.h>

#include "protocol/printer_inventory.h"
#include "settings/client_settings.h"
#include "settings/settings_form.h"
#include "tests/settings/settings_doubles.h"

namespace {

class SettingsOk : public testing::Test {
protected:
    void SetUp() override
    {
        ClientSettings = SettingsValues();
        InstalledPrinters = {"Office Laser"};
        ThisComputerName = "OFFICE-PC";
        Edit("print.example", "7000", "30", "DESK-7", "secret");
    }

    void Edit(const std::string& url, const std::string& port, const std::string& pollFreq,
              const std::string& cpu, const std::string& cipher)
    {
        view.edits = {{SettingsEdit::Url, url},  {SettingsEdit::Port, port}, {SettingsEdit::PollFreq, pollFreq},
                      {SettingsEdit::Cpu, cpu},  {SettingsEdit::Cipher, cipher}, {SettingsEdit::Proxy, ""}};
    }

    SettingsOutcome Ok() { return StoreSettingsOnOk(store, view); }

    MemoryStore store;
    ViewDouble view;
};

TEST_F(SettingsOk, StoresEverySettingInOrderWithItsType)
{
    EXPECT_EQ(Ok().kind, SettingsOutcome::Done);

    EXPECT_EQ(store.writes,
              (std::vector<std::string>{"Port", "PollFreq", "ComputerName", "Url", "Cipher", "UseTls", "Proxy"}));
    const std::map<std::string, StoredValue> expected = {
        {"Port", StoredValue::Int(7000)},           {"PollFreq", StoredValue::Int(30)},
        {"ComputerName", StoredValue::Str("DESK-7")}, {"Url", StoredValue::Str("print.example")},
        {"Cipher", StoredValue::Str("secret")},     {"UseTls", StoredValue::Int(0)},
        {"Proxy", StoredValue::Str("")},
    };
    EXPECT_EQ(store.values, expected);
    EXPECT_TRUE(SettingsComplete(ClientSettings));
    EXPECT_EQ(ClientSettings.Cipher, "secret");
    EXPECT_FALSE(ClientSettings.UseTls);
}

TEST_F(SettingsOk, PortTextFollowsTheToolkitRuleWithoutRangeCheck)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"70x0", 0}, {"7000 ", 0}, {"$1B58", 7000}, {"0x1b58", 7000}, {"  7000", 7000},
        {"", 0},     {"-5", -5},   {"70000", 70000}, {"0", 0},
    };
    for (const auto& c : cases) {
        view.edits[SettingsEdit::Port] = c.first;
        Ok();
        EXPECT_EQ(ClientSettings.Port, c.second) << '"' << c.first << '"';
        EXPECT_EQ(store.values["Port"], StoredValue::Int(c.second)) << '"' << c.first << '"';
        EXPECT_EQ(view.edits[SettingsEdit::Port], c.first) << "the edit is not reformatted";
    }
}

TEST_F(SettingsOk, PollFrequencyIsAtLeastOne)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"0", 1}, {"-5", 1}, {"", 1}, {"70x0", 1}, {"1", 1}, {"10", 10}, {"$1E", 30}, {"-2147483648", 1},
    };
    for (const auto& c : cases) {
        view.edits[SettingsEdit::PollFreq] = c.first;
        Ok();
        EXPECT_EQ(ClientSettings.PollFreq, c.second) << '"' << c.first << '"';
        EXPECT_EQ(store.values["PollFreq"], StoredValue::Int(c.second)) << '"' << c.first << '"';
    }
}

TEST_F(SettingsOk, TextsAreStoredUnchanged)
{
    Edit(" print.example ", "7000", "30", "", "");

    EXPECT_EQ(Ok().kind, SettingsOutcome::Done);

    EXPECT_EQ(store.values["Url"], StoredValue::Str(" print.example "));
    EXPECT_EQ(store.values["ComputerName"], StoredValue::Str(""));
    EXPECT_EQ(store.values["Cipher"], StoredValue::Str(""));
    EXPECT_EQ(ClientSettings.Cipher, "") << "used empty until the next start";
    EXPECT_FALSE(SettingsComplete(ClientSettings)) << "an empty computer name stops polling";
}

TEST_F(SettingsOk, TheNextStartFollowsWhatOkStored)
{
    bool showPanel = false;
    ViewDouble firstView;
    LoadSettingsAtStart(store, firstView, &showPanel);
    ASSERT_EQ(firstView.firstPage, FirstPage::Settings);

    view.useTlsTicked = true;
    Ok();
    ClientSettings = SettingsValues();
    ViewDouble secondView;
    LoadSettingsAtStart(store, secondView, &showPanel);
    EXPECT_FALSE(showPanel);
    EXPECT_EQ(secondView.firstPage, FirstPage::Status);
    EXPECT_TRUE(ClientSettings.UseTls);
    EXPECT_TRUE(secondView.useTlsTicked);

    // A port that does not convert is stored as 0: incomplete at the next start.
    view.edits[SettingsEdit::Port] = "70x0";
    view.edits[SettingsEdit::Cpu] = "";
    view.edits[SettingsEdit::Cipher] = "";
    Ok();
    ClientSettings = SettingsValues();
    ViewDouble thirdView;
    LoadSettingsAtStart(store, thirdView, &showPanel);
    EXPECT_EQ(thirdView.firstPage, FirstPage::Settings);
    EXPECT_EQ(ClientSettings.ComputerName, "OFFICE-PC") << "the computer's name is taken again";
    EXPECT_EQ(ClientSettings.Cipher, "k2vd9qa3m1t74p6n") << "the default cipher comes back";
}

// A text longer than the client's field is refused before anything is stored.
TEST_F(SettingsOk, RefusesTextsLongerThanTheClientsFields)
{
    struct Case {
        SettingsEdit edit;
        size_t length;
        const char* message;  // empty: accepted
    };
    const Case cases[] = {
        {SettingsEdit::Url, 63, ""},
        {SettingsEdit::Url, 64, "Server name longer than 63 characters: settings not saved"},
        {SettingsEdit::Cpu, 63, ""},
        {SettingsEdit::Cpu, 64, "Computer name longer than 63 characters: settings not saved"},
        {SettingsEdit::Cipher, 255, ""},
        {SettingsEdit::Cipher, 256, "Cipher string longer than 255 characters: settings not saved"},
        {SettingsEdit::Cipher, 5000, "Cipher string longer than 255 characters: settings not saved"},
    };
    for (const Case& c : cases) {
        SetUp();
        store = MemoryStore();
        ClientSettings.Url = "old.example";
        view.edits[c.edit] = std::string(c.length, 'n');

        const SettingsOutcome outcome = Ok();

        SCOPED_TRACE(std::to_string(static_cast<int>(c.edit)) + " of length " + std::to_string(c.length));
        if (*c.message == '\0') {
            EXPECT_EQ(outcome.kind, SettingsOutcome::Done);
            EXPECT_EQ(store.writes.size(), 7u);
        } else {
            EXPECT_EQ(outcome.kind, SettingsOutcome::Refused);
            EXPECT_EQ(outcome.message, c.message);
            EXPECT_TRUE(store.writes.empty());
            EXPECT_EQ(ClientSettings.Url, "old.example");
            EXPECT_EQ(ClientSettings.Port, 0);
        }
    }
}

// The installers' rule, checked before anything is stored.
TEST_F(SettingsOk, StoresAProxyAsHostAndPortAndRefusesAnyOtherText)
{
    view.edits[SettingsEdit::Proxy] = "proxy.example:3128";
    EXPECT_EQ(Ok().kind, SettingsOutcome::Done);
    EXPECT_EQ(ClientSettings.Proxy, "proxy.example:3128");
    store = MemoryStore();
    view.edits[SettingsEdit::Proxy] = "http://proxy.example:3128";
    EXPECT_EQ(Ok().message, "Proxy http://proxy.example:3128 is not a proxy as host:port (a host name or address "
                            "of at most 63 characters, a port from 1 to 65535). Settings not saved.");
    EXPECT_TRUE(store.writes.empty());
}

TEST_F(SettingsOk, AFailedWriteKeepsWhatWasAssignedBeforeIt)
{
    ClientSettings.Url = "old.example";
    ClientSettings.Cipher = "old";
    store.failingWrites = {"ComputerName"};

    const SettingsOutcome outcome = Ok();

    EXPECT_EQ(outcome.kind, SettingsOutcome::WriteFailed);
    EXPECT_EQ(outcome.message, "Failed to set data for 'ComputerName'");
    EXPECT_EQ(store.writes, (std::vector<std::string>{"Port", "PollFreq", "ComputerName"}));
    EXPECT_EQ(ClientSettings.Port, 7000);
    EXPECT_EQ(ClientSettings.PollFreq, 30);
    EXPECT_EQ(ClientSettings.ComputerName, "DESK-7");
    EXPECT_EQ(ClientSettings.Url, "old.example");
    EXPECT_EQ(ClientSettings.Cipher, "old");
}

TEST(PrinterTicks, ClearWritesOneAndTickWritesZero)
{
    MemoryStore store;

    EXPECT_EQ(StorePrinterFlag(store, "Office Laser", false).kind, SettingsOutcome::Done);
    EXPECT_EQ(store.values["Printer:Office Laser"], StoredValue::Int(1));

    EXPECT_EQ(StorePrinterFlag(store, "Office Laser", true).kind, SettingsOutcome::Done);
    EXPECT_EQ(store.values["Printer:Office Laser"], StoredValue::Int(0));
}

TEST(PrinterTicks, ATickReplacesAFlagStoredAsText)
{
    MemoryStore store;
    store.values["Printer:Office Laser"] = StoredValue::Str("1");

    StorePrinterFlag(store, "Office Laser", false);

    EXPECT_EQ(store.values["Printer:Office Laser"], StoredValue::Int(1));
}

TEST(PrinterTicks, AFailedWriteNamesTheFlag)
{
    MemoryStore store;
    store.everyWriteFails = true;

    const SettingsOutcome outcome = StorePrinterFlag(store, "Office Laser", false);

    EXPECT_EQ(outcome.kind, SettingsOutcome::WriteFailed);
    EXPECT_EQ(outcome.message, "Failed to set data for 'Printer:Office Laser'");
}

class PrinterHidden : public testing::Test {
protected:
    void SetUp() override { UseSettingsStore(&store); }
    void TearDown() override { UseSettingsStore(nullptr); }
    MemoryStore store;
};

TEST_F(PrinterHidden, AnyNonZeroFlagHides)
{
    const std::pair<int32_t, bool> cases[] = {{0, false}, {1, true}, {5, true}, {-1, true}};
    for (const auto& c : cases) {
        store.values["Printer:Office Laser"] = StoredValue::Int(c.first);
        bool createFailed = true;
        EXPECT_EQ(IsPrinterHidden("Printer:Office Laser", &createFailed), c.second) << c.first;
        EXPECT_FALSE(createFailed);
    }
    EXPECT_TRUE(store.writes.empty());
}

TEST_F(PrinterHidden, AMissingOrTextFlagIsCreatedAsZero)
{
    store.values["Printer:Plotter"] = StoredValue::Str("1");

    bool createFailed = true;
    EXPECT_FALSE(IsPrinterHidden("Printer:Office Laser", &createFailed));
    EXPECT_FALSE(createFailed);
    EXPECT_FALSE(IsPrinterHidden("Printer:Plotter", &createFailed));
    EXPECT_FALSE(createFailed);

    EXPECT_EQ(store.values["Printer:Office Laser"], StoredValue::Int(0));
    EXPECT_EQ(store.values["Printer:Plotter"], StoredValue::Int(0));
}

TEST_F(PrinterHidden, FailingToCreateTheFlagIsTold)
{
    store.everyWriteFails = true;
    bool createFailed = false;
    EXPECT_FALSE(IsPrinterHidden("Printer:Office Laser", &createFailed));
    EXPECT_TRUE(createFailed);
}

TEST_F(PrinterHidden, WithoutTheWindowsKeyNothingIsRead)
{
    store.values["Printer:Office Laser"] = StoredValue::Int(1);
    UseSettingsStore(nullptr);
    bool createFailed = false;
    EXPECT_FALSE(IsPrinterHidden("Printer:Office Laser", &createFailed));
    EXPECT_TRUE(createFailed);
}

}  // namespace
