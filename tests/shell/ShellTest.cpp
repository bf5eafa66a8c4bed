// The Windows shell under Wine: the dialog base (handlers, reflection, results), the
// common start-up of a main dialog (About item, icons, About box), the control
// wrappers, the program's message boxes and the Unicode file-open dialog.
#include "ShellTestIds.h"
#include "shell/Controls.h"
#include "shell/FileDialog.h"
#include "shell/MainDialog.h"
#include "shell/Reflect.h"
#include "shell/ShellApp.h"
#include "shell/Text.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

class TestApp : public ShellApp {
public:
    bool InitInstance() override { return false; }
};
TestApp theApp;

constexpr UINT MSG_RUN_SCRIPT = WM_APP + 1;

// A main dialog that runs a test script from inside its own modal loop, then ends.
class ScriptedDialog : public MainDialog {
public:
    explicit ScriptedDialog(std::function<void(ScriptedDialog&)> script, unsigned aboutTextId = IDS_ABOUTBOX)
        : MainDialog(IDD_MAIN_DIALOG, aboutTextId),
          m_script(std::move(script))
    {
    }

    struct Command {
        UINT code;
        int id;
    };
    std::vector<Command> commands;
    std::vector<UINT_PTR> timers;
    int iconErases = 0;  // WM_ICONERASEBKGND received

    using Dialog::SetTimer;

protected:
    void OnInitTool() override { PostMessageW(Handle(), MSG_RUN_SCRIPT, 0, 0); }
    bool OnCommand(UINT code, int id, HWND control) override
    {
        commands.push_back({code, id});
        return MainDialog::OnCommand(code, id, control);
    }
    bool OnTimer(UINT_PTR id) override
    {
        timers.push_back(id);
        return true;
    }
    bool OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) override
    {
        if (message == MSG_RUN_SCRIPT) {
            m_script(*this);
            EndDialog(IDOK);
            return true;
        }
        if (message == WM_ICONERASEBKGND)
            ++iconErases;
        if (message == WM_USER + 7) {  // a tool's own message: its result comes back
            result = static_cast<LRESULT>(wParam) * 2;
            return true;
        }
        return false;
    }

private:
    std::function<void(ScriptedDialog&)> m_script;
};

// Runs a script inside a modal main dialog; fails the test if the dialog did not run.
void RunInDialog(std::function<void(ScriptedDialog&)> script, unsigned aboutTextId = IDS_ABOUTBOX)
{
    bool ran = false;
    ScriptedDialog dialog(
        [&](ScriptedDialog& d) {
            ran = true;
            script(d);
        },
        aboutTextId);
    EXPECT_EQ(dialog.DoModal(nullptr), IDOK);
    EXPECT_TRUE(ran);
}

// On another thread: waits (up to 5 s) for a visible top-level dialog window of this
// process with `caption`, lets `inspect` look at it, then presses its OK (or Cancel)
// button. Join the result after the modal call that shows the window has returned.
std::thread AnswerWhenShown(std::wstring caption, std::function<void(HWND)> inspect = {}, int button = IDOK)
{
    return std::thread([caption = std::move(caption), inspect = std::move(inspect), button] {
        for (int i = 0; i < 250; ++i) {
            HWND window = FindWindowW(L"#32770", caption.c_str());
            if (window && IsWindowVisible(window)) {
                if (inspect)
                    inspect(window);
                PostMessageW(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "no window captioned as expected appeared";
    });
}

std::wstring WindowText(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

// A window procedure put in front of a child control: records the reflected messages
// and answers them with g_reflectAnswer.
WNDPROC g_originalProc = nullptr;
std::vector<UINT> g_reflected;
LRESULT g_reflectAnswer = 0;
LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= REFLECTED_MESSAGE_BASE && message < REFLECTED_MESSAGE_BASE + WM_USER) {
        g_reflected.push_back(message - REFLECTED_MESSAGE_BASE);
        return g_reflectAnswer;
    }
    return CallWindowProcW(g_originalProc, window, message, wParam, lParam);
}
void RecordReflections(HWND control)
{
    g_reflected.clear();
    g_reflectAnswer = 0;
    g_originalProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordingProc)));
}

}  // namespace

TEST(ShellText, Utf8AndUtf16RoundTripChineseAndMarkBadBytes)
{
    const std::string chinese = "选择下载的程序 C:\\固件\\a.bin";
    EXPECT_EQ(WideToUtf8(Utf8ToWide(chinese)), chinese);
    EXPECT_EQ(Utf8ToWide("关于"), L"\x5173\x4E8E");
    EXPECT_EQ(Utf8ToWide(std::string("a\xFF"
                                     "b")),
              L"a\xFFFD"
              L"b");
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(L""), "");
}

TEST(ShellApp, NameComesFromTheExecutable)
{
    ASSERT_EQ(ShellApp::Current(), &theApp);
    EXPECT_EQ(theApp.Name(), "test_shell");
}

TEST(DialogBase, CommandsTimersAndOwnMessagesReachTheirHandlersWithTheirResults)
{
    RunInDialog([](ScriptedDialog& d) {
        HWND button = d.Item(IDC_TEST_BUTTON);
        SendMessageW(d.Handle(), WM_COMMAND, MAKEWPARAM(IDC_TEST_BUTTON, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        ASSERT_EQ(d.commands.size(), 1u);
        EXPECT_EQ(d.commands[0].id, IDC_TEST_BUTTON);
        EXPECT_EQ(d.commands[0].code, static_cast<UINT>(BN_CLICKED));

        EXPECT_EQ(SendMessageW(d.Handle(), WM_USER + 7, 21, 0), 42);

        d.SetTimer(9, 10);
        MSG message;
        for (int i = 0; i < 100 && d.timers.empty(); ++i) {
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&message);
            Sleep(5);
        }
        d.KillTimer(9);
        ASSERT_FALSE(d.timers.empty());
        EXPECT_EQ(d.timers[0], 9u);
    });
}

// A plain dialog that posts one command to itself once it runs.
class PostingDialog : public Dialog {
public:
    explicit PostingDialog(int command)
        : Dialog(IDD_MAIN_DIALOG),
          m_command(command)
    {
    }

protected:
    BOOL OnInitDialog() override
    {
        PostMessageW(Handle(), WM_COMMAND, MAKEWPARAM(m_command, BN_CLICKED), 0);
        return TRUE;
    }

private:
    int m_command;
};

TEST(DialogBase, EscapeAndEnterEndTheDialogWithTheirIds)
{
    for (int id : {IDCANCEL, IDOK}) {
        PostingDialog dialog(id);
        EXPECT_EQ(dialog.DoModal(nullptr), id);
        EXPECT_EQ(dialog.Handle(), nullptr);
    }
}

TEST(DialogBase, ChildNotificationsGoBackToTheChildFirst)
{
    RunInDialog([](ScriptedDialog& d) {
        HWND button = d.Item(IDC_TEST_BUTTON);
        RecordReflections(button);

        // The child answers 0: the dialog handles the command as well.
        SendMessageW(d.Handle(), WM_COMMAND, MAKEWPARAM(IDC_TEST_BUTTON, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        ASSERT_EQ(g_reflected.size(), 1u);
        EXPECT_EQ(g_reflected[0], static_cast<UINT>(WM_COMMAND));
        EXPECT_EQ(d.commands.size(), 1u);

        // The child answers non-zero: it has handled it, the dialog does not.
        g_reflectAnswer = 1;
        SendMessageW(d.Handle(), WM_COMMAND, MAKEWPARAM(IDC_TEST_BUTTON, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        EXPECT_EQ(d.commands.size(), 1u);

        // A colour message returns the child's brush as the dialog's answer.
        HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
        g_reflectAnswer = reinterpret_cast<LRESULT>(brush);
        HDC dc = GetDC(button);
        EXPECT_EQ(
            SendMessageW(d.Handle(), WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(button)),
            reinterpret_cast<LRESULT>(brush));
        ReleaseDC(button, dc);
        DeleteObject(brush);

        // Menu commands (no control) are not reflected.
        g_reflected.clear();
        SendMessageW(d.Handle(), WM_COMMAND, MAKEWPARAM(IDC_TEST_BUTTON, 0), 0);
        EXPECT_TRUE(g_reflected.empty());
        SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_originalProc));
    });
}

TEST(DialogBase, OwnerDrawnItemsAreDrawnAndMeasuredByTheirControl)
{
    RunInDialog([](ScriptedDialog& d) {
        HWND drawn = d.Item(IDC_TEST_DRAWN);
        RecordReflections(drawn);
        g_reflectAnswer = TRUE;
        // The dialog's first painting reflects WM_DRAWITEM to the button.
        InvalidateRect(drawn, nullptr, TRUE);
        UpdateWindow(drawn);
        MEASUREITEMSTRUCT measure{ODT_BUTTON, IDC_TEST_DRAWN, 0, 0, 0, 0};
        EXPECT_EQ(SendMessageW(d.Handle(), WM_MEASUREITEM, IDC_TEST_DRAWN, reinterpret_cast<LPARAM>(&measure)), TRUE);
        SetWindowLongPtrW(drawn, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_originalProc));
        auto seen = [](UINT message) {
            return std::find(g_reflected.begin(), g_reflected.end(), message) != g_reflected.end();
        };
        EXPECT_TRUE(seen(WM_DRAWITEM));
        EXPECT_TRUE(seen(WM_CTLCOLORBTN));
        ASSERT_FALSE(g_reflected.empty());
        EXPECT_EQ(g_reflected.back(), static_cast<UINT>(WM_MEASUREITEM));
    });
}

TEST(ControlWrappers, ComboStaticAndProgressBar)
{
    RunInDialog([](ScriptedDialog& d) {
        ComboBox combo(d.Item(IDC_TEST_COMBO));
        for (const char* port : {"COM1", "COM2", "COM3"})
            combo.AddString(port);
        EXPECT_EQ(combo.GetCount(), 3);
        EXPECT_EQ(combo.GetCurSel(), CB_ERR);
        combo.SetCurSel(2);
        EXPECT_EQ(combo.GetCurSel(), 2);
        EXPECT_EQ(combo.GetText(), "COM3");

        StaticText text(d.Item(IDC_TEST_STATIC));
        text.SetText("open file route:C:\\固件\\α.bin");
        EXPECT_EQ(WindowText(text.Handle()), L"open file route:C:\\\x56FA\x4EF6\\\x03B1.bin");
        EXPECT_EQ(text.GetText(), "open file route:C:\\固件\\α.bin");

        ProgressBar bar(d.Item(IDC_TEST_PROGRESS));
        int lower = -1, upper = -1;
        bar.GetRange(lower, upper);
        EXPECT_EQ(lower, 0);
        EXPECT_EQ(upper, 100);
        bar.SetPos(33);
        EXPECT_EQ(bar.SetPos(66), 33);
        EXPECT_EQ(bar.GetPos(), 66);
    });
}

TEST(MainDialogShell, SystemMenuEndsWithTheAboutItemAndIconsAreSet)
{
    RunInDialog([](ScriptedDialog& d) {
        HMENU menu = GetSystemMenu(d.Handle(), FALSE);
        ASSERT_NE(menu, nullptr);
        int count = GetMenuItemCount(menu);
        ASSERT_GE(count, 2);
        EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_SHOW_ABOUT));
        wchar_t text[64] = {};
        GetMenuStringW(menu, static_cast<UINT>(count - 1), text, 64, MF_BYPOSITION);
        EXPECT_STREQ(text, L"\x5173\x4E8E test_shell(&A)...");
        MENUITEMINFOW separator{};
        separator.cbSize = sizeof separator;
        separator.fMask = MIIM_FTYPE;
        GetMenuItemInfoW(menu, static_cast<UINT>(count - 2), TRUE, &separator);
        EXPECT_TRUE(separator.fType & MFT_SEPARATOR);

        EXPECT_NE(d.ProgramIcon(), nullptr);
        EXPECT_EQ(SendMessageW(d.Handle(), WM_GETICON, ICON_BIG, 0), reinterpret_cast<LRESULT>(d.ProgramIcon()));
        EXPECT_NE(SendMessageW(d.Handle(), WM_GETICON, ICON_SMALL, 0), 0);
        EXPECT_EQ(SendMessageW(d.Handle(), WM_QUERYDRAGICON, 0, 0), reinterpret_cast<LRESULT>(d.ProgramIcon()));
    });
}

TEST(MainDialogShell, MinimisedWindowPaintsTheIconOverTheIconBackground)
{
    RunInDialog([](ScriptedDialog& d) {
        RedrawWindow(d.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        EXPECT_EQ(d.iconErases, 0);  // a normal window paints as a dialog does
        ShowWindow(d.Handle(), SW_MINIMIZE);
        ASSERT_TRUE(IsIconic(d.Handle()));
        // Its own painting, as the system asks for it (with or without a client area).
        SendMessageW(d.Handle(), WM_PAINT, 0, 0);
        EXPECT_EQ(d.iconErases, 1);
        ShowWindow(d.Handle(), SW_RESTORE);
    });
}

TEST(MainDialogShell, NoAboutTextAddsNeitherSeparatorNorItem)
{
    int withText = 0, withoutText = 0;
    RunInDialog([&](ScriptedDialog& d) { withText = GetMenuItemCount(GetSystemMenu(d.Handle(), FALSE)); });
    RunInDialog([&](ScriptedDialog& d) { withoutText = GetMenuItemCount(GetSystemMenu(d.Handle(), FALSE)); },
                IDS_TEST_MISSING);
    EXPECT_EQ(withoutText, withText - 2);
}

TEST(MainDialogShell, SystemCommands16To31OpenTheAboutBoxAndOthersDoNot)
{
    RunInDialog([](ScriptedDialog& d) {
        int opened = 0;
        for (UINT command = 16; command <= 31; ++command) {
            HWND owner = nullptr;
            std::wstring version;
            std::thread answer = AnswerWhenShown(L"\x5173\x4E8E test_shell", [&](HWND about) {
                owner = GetWindow(about, GW_OWNER);
                version = WindowText(GetDlgItem(about, IDC_ABOUT_VERSION));
            });
            SendMessageW(d.Handle(), WM_SYSCOMMAND, command, 0);  // returns once the box is closed
            answer.join();
            if (owner == d.Handle() && version == L"test_shell 1.0 \x7248")
                ++opened;
        }
        EXPECT_EQ(opened, 16);
        // 32 is another command: nothing opens (and nothing must be answered).
        SendMessageW(d.Handle(), WM_SYSCOMMAND, 32, 0);
        EXPECT_EQ(FindWindowW(L"#32770", L"\x5173\x4E8E test_shell"), nullptr);
    });
}

TEST(MessageBoxes, CaptionedWithTheProgramAndOwnedAsAsked)
{
    RunInDialog([](ScriptedDialog& d) {
        HWND owner = nullptr;
        std::wstring text;
        std::thread answer = AnswerWhenShown(L"test_shell", [&](HWND box) {
            owner = GetWindow(box, GW_OWNER);
            text = WindowText(GetDlgItem(box, 0xFFFF));
        });
        EXPECT_EQ(ShowMessageBox(d.Handle(), "Update Complete!"), IDOK);
        answer.join();
        EXPECT_EQ(owner, d.Handle());
        EXPECT_EQ(text, L"Update Complete!");
    });

    // The application's box, with no main window running: no owner.
    HWND owner = reinterpret_cast<HWND>(1);
    std::thread answer = AnswerWhenShown(L"test_shell", [&](HWND box) { owner = GetWindow(box, GW_OWNER); });
    EXPECT_EQ(theApp.AppMessageBox("Serial port is not found !"), IDOK);
    answer.join();
    EXPECT_EQ(owner, nullptr);
}

// The file-open dialog, filled in as a person would: the name typed into the file-name
// field, then Open.
TEST(FileOpenDialog, ReturnsAPathOutsideTheCodePageAsUtf8AndNothingOnCancel)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"\x56FA\x4EF6\x76EE\x5F55";  // 固件目录
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring file = folder + L"\\\x7A0B\x5E8F.bin";  // 程序.bin
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);

    const std::string title = "选择下载的程序";
    const FileFilter filters[] = {{"Binary Files(*.bin)", "*.bin"}, {"hex Files(*.hex)", "*.hex"}};
    std::string path = "unchanged";
    std::thread cancel = AnswerWhenShown(Utf8ToWide(title), {}, IDCANCEL);
    EXPECT_FALSE(ChooseFileToOpen(nullptr, title, filters, path));
    cancel.join();
    EXPECT_EQ(path, "unchanged");

    std::thread pick = AnswerWhenShown(Utf8ToWide(title), [&](HWND dialog) {
        HWND nameField = GetDlgItem(dialog, 0x47C);  // combo box (ComboBoxEx32) with an edit inside
        HWND edit = FindWindowExW(nameField, nullptr, L"Edit", nullptr);
        if (!edit) {
            HWND inner = FindWindowExW(nameField, nullptr, L"ComboBox", nullptr);
            edit = inner ? FindWindowExW(inner, nullptr, L"Edit", nullptr) : GetDlgItem(dialog, 0x480);
        }
        SendMessageW(edit ? edit : nameField, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file.c_str()));
    });
    EXPECT_TRUE(ChooseFileToOpen(nullptr, title, filters, path));
    pick.join();
    EXPECT_EQ(Utf8ToWide(path), file);
    DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
}
