// The start-up load: defaults, write-back rules, the first page and the
// Printers page.
#include <gtest/gtest.h>

#include "settings/client_settings.h"
#include "settings/settings_form.h"
#include "tests/settings/settings_doubles.h"

namespace {

const char kDefaultCipher[] = "k2vd9qa3m1t74p6n";

class SettingsLoad : public testing::Test {
protected:
    void SetUp() override
    {
        ClientSettings = SettingsValues();
        InstalledPrinters = {"Office Laser", "Label Printer"};
        ThisComputerName = "OFFICE-PC";
        UserName = "JSMITH";
    }

    SettingsOutcome Load()
    {
        showPanel = false;
        return LoadSettingsAtStart(store, view, &showPanel);
    }

    // A key as a first start and an OK with a server leave it.
    void StoreConfiguredKey()
    {
        store.values = {
            {"ShowStartUpPanel", StoredValue::Int(0)}, {"ComputerName", StoredValue::Str("DESK-7")},
            {"Port", StoredValue::Int(7000)},          {"PollFreq", StoredValue::Int(30)},
            {"Url", StoredValue::Str("print.example")}, {"Cipher", StoredValue::Str("secret")},
            {"UseTls", StoredValue::Int(5)},          {"Proxy", StoredValue::Str("proxy.example:3128")},
            {"Printer:Office Laser", StoredValue::Int(0)}, {"Printer:Label Printer", StoredValue::Int(0)},
        };
    }

    MemoryStore store;
    ViewDouble view;
    bool showPanel = false;
};

TEST_F(SettingsLoad, FirstStartOnAnEmptyKeyCreatesEveryValueWithItsType)
{
    EXPECT_EQ(Load().kind, SettingsOutcome::Done);

    const std::map<std::string, StoredValue> expected = {
        {"ShowStartUpPanel", StoredValue::Int(0)},
        {"ComputerName", StoredValue::Str("OFFICE-PC")},
        {"Port", StoredValue::Int(7000)},
        {"PollFreq", StoredValue::Int(30)},
        {"Url", StoredValue::Str("")},
        {"Cipher", StoredValue::Str(kDefaultCipher)},
        {"Printer:Office Laser", StoredValue::Int(0)},
        {"Printer:Label Printer", StoredValue::Int(0)},
    };
    EXPECT_EQ(store.values, expected);
    EXPECT_EQ(store.writes, (std::vector<std::string>{"ShowStartUpPanel", "ComputerName", "Port", "PollFreq",
                                                       "Url", "Cipher", "Printer:Office Laser",
                                                       "Printer:Label Printer"}));
    EXPECT_TRUE(showPanel);
    EXPECT_EQ(view.firstPage, FirstPage::Settings);
    EXPECT_EQ(view.printers, (std::vector<std::pair<std::string, bool>>{{"Office Laser", true},
                                                                         {"Label Printer", true}}));
}

TEST_F(SettingsLoad, FirstStartFillsTheSettingsPageAndClientSettings)
{
    Load();

    EXPECT_EQ(view.edits, (std::map<SettingsEdit, std::string>{{SettingsEdit::Cpu, "OFFICE-PC"},
                                                                {SettingsEdit::User, "JSMITH"},
                                                                {SettingsEdit::Port, "7000"},
                                                                {SettingsEdit::PollFreq, "30"},
                                                                {SettingsEdit::Url, ""},
                                                                {SettingsEdit::Cipher, kDefaultCipher},
                                                                {SettingsEdit::Proxy, ""}}));
    EXPECT_EQ(ClientSettings.ComputerName, "OFFICE-PC");
    EXPECT_EQ(ClientSettings.Port, 7000);
    EXPECT_EQ(ClientSettings.PollFreq, 30);
    EXPECT_EQ(ClientSettings.Url, "");
    EXPECT_EQ(ClientSettings.Cipher, kDefaultCipher);
    EXPECT_FALSE(ClientSettings.UseTls) << "missing: plain TCP, and not written";
    EXPECT_FALSE(view.useTlsTicked);
    EXPECT_EQ(ClientSettings.Proxy, "") << "missing: straight to the server, and not written";
}

TEST_F(SettingsLoad, SecondStartOpensOnStatusAndStaysHidden)
{
    StoreConfiguredKey();
    const auto before = store.values;

    Load();

    EXPECT_FALSE(showPanel);
    EXPECT_EQ(view.firstPage, FirstPage::Status);
    // Only the texts are written back; the integers are present and left alone.
    EXPECT_EQ(store.writes, (std::vector<std::string>{"ComputerName", "Url", "Cipher"}));
    EXPECT_EQ(store.values, before);
    EXPECT_EQ(ClientSettings.Url, "print.example");
    EXPECT_EQ(ClientSettings.ComputerName, "DESK-7");
    EXPECT_EQ(ClientSettings.Cipher, "secret");
    EXPECT_TRUE(ClientSettings.UseTls);
    EXPECT_TRUE(view.useTlsTicked);
    EXPECT_EQ(ClientSettings.Proxy, "proxy.example:3128");
    EXPECT_EQ(view.edits[SettingsEdit::Proxy], "proxy.example:3128");
}

TEST_F(SettingsLoad, ShowStartUpPanelSetFromOutsideShowsTheWindow)
{
    for (int32_t flag : {1, 5, -1}) {
        StoreConfiguredKey();
        store.values["ShowStartUpPanel"] = StoredValue::Int(flag);
        store.writes.clear();
        Load();
        EXPECT_TRUE(showPanel) << flag;
        EXPECT_EQ(store.values["ShowStartUpPanel"], StoredValue::Int(flag)) << "never rewritten";
    }
}

TEST_F(SettingsLoad, PollFreqZeroFromOutsideOpensOnSettingsUncorrected)
{
    StoreConfiguredKey();
    store.values["PollFreq"] = StoredValue::Int(0);

    Load();

    EXPECT_EQ(view.firstPage, FirstPage::Settings);
    EXPECT_EQ(ClientSettings.PollFreq, 0);
    EXPECT_EQ(store.values["PollFreq"], StoredValue::Int(0));
    EXPECT_EQ(view.edits[SettingsEdit::PollFreq], "0");
}

TEST_F(SettingsLoad, StoredComputerNameWinsOverTheComputersName)
{
    StoreConfiguredKey();
    ThisComputerName = "RENAMED-PC";

    Load();

    EXPECT_EQ(ClientSettings.ComputerName, "DESK-7");
    EXPECT_EQ(store.values["ComputerName"], StoredValue::Str("DESK-7"));
}

TEST_F(SettingsLoad, EmptyTextsTakeTheComputersNameAndTheDefaultCipher)
{
    StoreConfiguredKey();
    store.values["ComputerName"] = StoredValue::Str("");
    store.values["Cipher"] = StoredValue::Str("");

    Load();

    EXPECT_EQ(store.values["ComputerName"], StoredValue::Str("OFFICE-PC"));
    EXPECT_EQ(store.values["Cipher"], StoredValue::Str(kDefaultCipher));
    EXPECT_EQ(view.edits[SettingsEdit::Cipher], kDefaultCipher);
}

TEST_F(SettingsLoad, AComputerNameThePlatformCannotTellStaysEmpty)
{
    ThisComputerName = "";

    EXPECT_EQ(Load().kind, SettingsOutcome::Done);

    EXPECT_EQ(store.values["ComputerName"], StoredValue::Str(""));
    EXPECT_EQ(view.firstPage, FirstPage::Settings);
}

TEST_F(SettingsLoad, ValuesOfTheWrongTypeCountAsMissing)
{
    StoreConfiguredKey();
    store.values["ShowStartUpPanel"] = StoredValue::Str("1");
    store.values["Port"] = StoredValue::Str("8080");
    store.values["PollFreq"] = {StoredValue::Binary, 10, ""};
    store.values["Url"] = StoredValue::Int(5);
    store.values["Cipher"] = {StoredValue::Binary, 0, "abc"};
    store.values["UseTls"] = StoredValue::Str("1");

    Load();

    EXPECT_TRUE(showPanel);
    EXPECT_EQ(store.values["ShowStartUpPanel"], StoredValue::Int(0));
    EXPECT_EQ(store.values["Port"], StoredValue::Int(7000));
    EXPECT_EQ(store.values["PollFreq"], StoredValue::Int(30));
    EXPECT_EQ(store.values["Url"], StoredValue::Str(""));
    EXPECT_EQ(store.values["Cipher"], StoredValue::Str(kDefaultCipher));
    EXPECT_FALSE(ClientSettings.UseTls);
    EXPECT_EQ(store.values["UseTls"], StoredValue::Str("1")) << "never written at start";
}

TEST_F(SettingsLoad, AdministratorsSettingsOutsideTheirRangeCountAsMissingAndAreNeverWritten)
{
    struct Case {
        const char* name;
        int32_t SettingsValues::*setting;
        StoredValue stored;
        int32_t inForce;
    };
    const Case cases[] = {
        {"BlocksInFlight", &SettingsValues::BlocksInFlight, StoredValue::Int(256), 256},
        {"BlocksInFlight", &SettingsValues::BlocksInFlight, StoredValue::Int(0), 1},
        {"BlocksInFlight", &SettingsValues::BlocksInFlight, StoredValue::Int(257), 1},
        {"BlocksInFlight", &SettingsValues::BlocksInFlight, StoredValue::Str("8"), 1},
        {"LongPoll", &SettingsValues::LongPoll, StoredValue::Int(300), 300},
        {"LongPoll", &SettingsValues::LongPoll, StoredValue::Int(301), 0},
        {"LongPoll", &SettingsValues::LongPoll, StoredValue::Int(-1), 0},
        {"LongPoll", &SettingsValues::LongPoll, StoredValue::Str("25"), 0},
    };
    for (const Case& c : cases) {
        StoreConfiguredKey();
        store.values[c.name] = c.stored;
        Load();
        EXPECT_EQ(ClientSettings.*c.setting, c.inForce) << c.name << " " << c.inForce;
        EXPECT_EQ(store.values[c.name], c.stored) << "never written";
    }
}

TEST_F(SettingsLoad, ExpandableTextIsTakenAsStoredAndRewrittenPlain)
{
    StoreConfiguredKey();
    store.values["Url"] = {StoredValue::ExpandText, 0, "%SERVER%"};

    Load();

    EXPECT_EQ(ClientSettings.Url, "%SERVER%");
    EXPECT_EQ(store.values["Url"], StoredValue::Str("%SERVER%"));
}

TEST_F(SettingsLoad, NegativeNumbersAreShownWithASign)
{
    StoreConfiguredKey();
    store.values["Port"] = StoredValue::Int(-5);
    store.values["PollFreq"] = StoredValue::Int(INT32_MIN);

    Load();

    EXPECT_EQ(view.edits[SettingsEdit::Port], "-5");
    EXPECT_EQ(view.edits[SettingsEdit::PollFreq], "-2147483648");
}

TEST_F(SettingsLoad, HideFlagsTickAndCreate)
{
    InstalledPrinters = {"Office Laser", "Plotter", "Label Printer", "New One"};
    StoreConfiguredKey();
    store.values["Printer:Office Laser"] = StoredValue::Int(5);
    store.values["Printer:Plotter"] = StoredValue::Str("1");
    store.values["Printer:Label Printer"] = StoredValue::Int(0);

    Load();

    // In the platform's order, not sorted.
    EXPECT_EQ(view.printers, (std::vector<std::pair<std::string, bool>>{
                                 {"Office Laser", false}, {"Plotter", true}, {"Label Printer", true},
                                 {"New One", true}}));
    EXPECT_EQ(store.values["Printer:Office Laser"], StoredValue::Int(5));
    EXPECT_EQ(store.values["Printer:Plotter"], StoredValue::Int(0));
    EXPECT_EQ(store.values["Printer:New One"], StoredValue::Int(0));
}

// A failed write ends the load there: what came before stays, the rest keeps
// its start value and the later steps do not run.
TEST_F(SettingsLoad, AFailedWriteStopsTheLoadAtThatValue)
{
    const std::vector<std::string> order = {"ShowStartUpPanel", "ComputerName", "Port", "PollFreq",
                                            "Url", "Cipher", "Printer:Office Laser"};
    for (size_t failing = 0; failing < order.size(); ++failing) {
        SetUp();
        store = MemoryStore();
        view = ViewDouble();
        store.failingWrites = {order[failing]};

        const SettingsOutcome outcome = Load();

        SCOPED_TRACE(order[failing]);
        EXPECT_EQ(outcome.kind, SettingsOutcome::WriteFailed);
        EXPECT_EQ(outcome.message, "Failed to set data for '" + order[failing] + "'");
        EXPECT_EQ(store.writes, std::vector<std::string>(order.begin(), order.begin() + failing + 1));
        EXPECT_TRUE(showPanel);
        EXPECT_EQ(ClientSettings.ComputerName.empty(), failing < 1);
        EXPECT_EQ(ClientSettings.Port, failing < 2 ? 0 : 7000);
        EXPECT_EQ(ClientSettings.PollFreq, failing < 3 ? 0 : 30);
        EXPECT_EQ(ClientSettings.Cipher.empty(), failing < 5);
        EXPECT_EQ(view.firstPage.has_value(), failing == 6);
        EXPECT_TRUE(view.printers.empty());
    }
}

TEST_F(SettingsLoad, AKeyThatCouldNotBeOpenedFailsAtTheFirstWrite)
{
    store.everyWriteFails = true;

    const SettingsOutcome outcome = Load();

    EXPECT_EQ(outcome.message, "Failed to set data for 'ShowStartUpPanel'");
    EXPECT_TRUE(showPanel);
    EXPECT_TRUE(view.edits.empty());
    EXPECT_FALSE(SettingsComplete(ClientSettings));
}

TEST(SettingsCompleteness, NeedsPollFreqUrlPortAndComputerName)
{
    SettingsValues complete;
    complete.Url = "print.example";
    complete.Port = 7000;
    complete.PollFreq = 30;
    complete.ComputerName = "DESK-7";
    EXPECT_TRUE(SettingsComplete(complete));

    SettingsValues noPollFreq = complete;
    noPollFreq.PollFreq = 0;
    SettingsValues noUrl = complete;
    noUrl.Url.clear();
    SettingsValues noPort = complete;
    noPort.Port = 0;
    SettingsValues noName = complete;
    noName.ComputerName.clear();
    for (const SettingsValues& incomplete : {noPollFreq, noUrl, noPort, noName})
        EXPECT_FALSE(SettingsComplete(incomplete));

    SettingsValues odd = complete;
    odd.Cipher.clear();
    odd.Port = -1;
    odd.PollFreq = -30;
    EXPECT_TRUE(SettingsComplete(odd)) << "only zero and empty fail; the cipher takes no part";
}

}  // namespace
