#include "ui/control_table.h"

// Panel1 fills the client area; its raised edge is painted by the window and
// its controls are the window's own. The controls that the panel and the tab
// control cover (the maker's notice, "Local port:", Label8, Image1) are never
// seen and are not built; Image1's icon is the tray icon.
constexpr ControlEntry kControlTable[kControlCount] = {
    {kBtnOk, "btnOK", ControlKind::PushButton, 0, 8, 294, 75, 25, "&OK", false},
    {kPageControl1, "PageControl1", ControlKind::TabControl, 0, 1, 1, 372, 335, "", false},

    {kTbStatus, "tbStatus", ControlKind::TabPage, kPageControl1, 0, 0, 0, 0, "Status", false},
    {kLabel4, "Label4", ControlKind::Label, kTbStatus, 2, 8, 77, 13, "Spooler events :", false},
    {kListBox1, "ListBox1", ControlKind::ListBox, kTbStatus, 2, 32, 353, 201, "", false},
    {kProgressBar1, "ProgressBar1", ControlKind::ProgressBar, kTbStatus, 2, 248, 353, 9, "", false},
    {kLbProgress, "lbProgress", ControlKind::Label, kTbStatus, 168, 264, 17, 13, "0 %", false},
    {kLbSize, "lbSize", ControlKind::Label, kTbStatus, 331, 263, 6, 13, "0", false},

    {kTbSettings, "tbSettings", ControlKind::TabPage, kPageControl1, 0, 0, 0, 0, "Settings", false},
    {kLabel1, "Label1", ControlKind::Label, kTbSettings, 8, 20, 173, 13, "Remote server name or TCP/IP adr.:", false},
    {kEdUrl, "edUrl", ControlKind::Edit, kTbSettings, 200, 16, 161, 21, "", false},
    {kLabel2, "Label2", ControlKind::Label, kTbSettings, 8, 52, 131, 13, "Remote server port number:", false},
    {kEdPort, "edPort", ControlKind::Edit, kTbSettings, 200, 48, 73, 21, "", false},
    {kLabel3, "Label3", ControlKind::Label, kTbSettings, 9, 84, 102, 13, "Poll frequency (sec.) :", false},
    {kEdPollFreq, "edPollFreq", ControlKind::Edit, kTbSettings, 200, 80, 73, 21, "", false},
    {kLabel6, "Label6", ControlKind::Label, kTbSettings, 9, 116, 77, 13, "Computer name:", false},
    {kEdCpu, "edCpu", ControlKind::Edit, kTbSettings, 200, 112, 161, 21, "", false},
    {kLabel7, "Label7", ControlKind::Label, kTbSettings, 9, 148, 139, 13, "Encryption key (cipher string):", false},
    {kEdCipher, "edCipher", ControlKind::Edit, kTbSettings, 200, 144, 164, 21, "", false},
    {kLabel10, "Label10", ControlKind::Label, kTbSettings, 9, 184, 70, 13, "Windows user:", false},
    {kEdUser, "edUser", ControlKind::Edit, kTbSettings, 200, 178, 164, 21, "", true},
    // Next in the tab order after the cipher, as the user field is disabled.
    {kChkUseTls, "chkUseTls", ControlKind::CheckBox, kTbSettings, 200, 210, 161, 17, "Use TLS (HTTPS)", false},
    {kLabel11, "Label11", ControlKind::Label, kTbSettings, 9, 240, 166, 13, "HTTP proxy host:port (optional):", false},
    {kEdProxy, "edProxy", ControlKind::Edit, kTbSettings, 200, 236, 161, 21, "", false},

    {kTabSheet1, "TabSheet1", ControlKind::TabPage, kPageControl1, 0, 0, 0, 0, "Printers", false},
    {kLabel9, "Label9", ControlKind::Label, kTabSheet1, 0, 8, 81, 13, "Exposed printers:", false},
    {kCheckListBox1, "CheckListBox1", ControlKind::CheckList, kTabSheet1, 0, 32, 361, 225, "", false},

    {kStatusBar1, "StatusBar1", ControlKind::StatusBar, 0, 1, 336, 372, 26, "", false},
};
// A row left out would leave a zero row at the end.
static_assert(kControlTable[kControlCount - 1].id == kStatusBar1, "kControlCount must match the table");

int ControlRow(int id)
{
    for (int row = 0; row < kControlCount; ++row) {
        if (kControlTable[row].id == id)
            return row;
    }
    return -1;
}
