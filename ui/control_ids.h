// Identifiers of the main window's controls and menu items. Test programs
// use them too, to find and drive the controls of a running client.
#pragma once

enum ControlId : int {
    kBtnOk = 101,
    kPageControl1 = 102,
    kStatusBar1 = 103,

    kTbStatus = 110,
    kLabel4 = 111,
    kListBox1 = 112,
    kProgressBar1 = 113,
    kLbProgress = 114,
    kLbSize = 115,

    kTbSettings = 120,
    kLabel1 = 121,
    kEdUrl = 122,
    kLabel2 = 123,
    kEdPort = 124,
    kLabel3 = 125,
    kEdPollFreq = 126,
    kLabel6 = 127,
    kEdCpu = 128,
    kLabel7 = 129,
    kEdCipher = 130,
    kLabel10 = 131,
    kEdUser = 132,
    kChkUseTls = 133,
    kLabel11 = 134,
    kEdProxy = 135,

    kTabSheet1 = 140,
    kLabel9 = 141,
    kCheckListBox1 = 142,
};

enum MenuId : int {
    kMnuProperties = 201,
    kMnuExit = 202,
};

// The order of the pages in PageControl1.
enum PageIndex : int {
    kPageStatus = 0,
    kPageSettings = 1,
    kPagePrinters = 2,
};

// The window's class and caption, by which other programs find it.
constexpr char kMainWindowClass[] = "TfrmMain";
constexpr char kMainWindowCaption[] = "Tarnwick Web Printing Client";
