// guidriver: drives the dialog programs under test the way a person would, on
// commands read from standard input, one per line; each command is answered with one
// line on standard output, "ok" or "ok VALUE" on success, "fail REASON" otherwise.
// tests/wine/gui/harness.sh runs it as a co-process; the command list is there and in
// USAGE below.
//
// Arguments are separated by blanks; an argument in double quotes may hold blanks, \"
// and \\. Text goes both ways as UTF-8; in answers a line break is written as \n and a
// backslash as \\.
//
// A window (WIN) is named by its caption, exactly. Two kinds are told apart, since a
// program's message boxes carry the program's name like its main dialog:
//   - a message box: a dialog whose children are only static texts and push buttons,
//     its text in the static of id 0xFFFF (commands box, answer);
//   - any other top-level window (every other command).
// "#HEX" names a window by its handle instead. Of several matches the topmost is taken.
//
// The driver works on the desktop given with --desktop NAME (the Wine desktop the
// programs run in, `explorer /desktop=NAME,...`); it joins it as soon as it exists,
// so it may start before the first program does.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const char* const USAGE = "commands (ms: a timeout in milliseconds, default: the one set by `timeout`):\n"
                          "  wait WIN [ms]              until WIN is visible; answers its handle\n"
                          "  gone WIN [ms]              until no window WIN exists\n"
                          "  text WIN ID                text of control ID (0: the window's caption)\n"
                          "  waittext WIN ID TEXT [ms]  until control ID shows TEXT\n"
                          "  settext WIN ID TEXT        sets the text of control ID\n"
                          "  click WIN ID               presses button ID (posted BM_CLICK)\n"
                          "  command WIN ID [CODE]      posts WM_COMMAND from control ID (code default 0)\n"
                          "  pick WIN ID ITEM           selects ITEM in combo box ID and notifies the dialog\n"
                          "  selected WIN ID            the combo box's selected entry\n"
                          "  items WIN ID               the combo box's entries, separated by |\n"
                          "  progress WIN ID            position, lower and upper end of progress bar ID\n"
                          "  waitprogress WIN ID POS [ms]  until the progress bar stands at POS\n"
                          "  rect WIN ID                screen rectangle x y width height (ID 0: the window)\n"
                          "  style WIN ID               class, style and extended style (hex) of control ID\n"
                          "  children WIN               every child: id class x,y,w,h text (one per |)\n"
                          "  focused WIN                id of the control that has the keyboard focus\n"
                          "  focus WIN ID               moves the focus to control ID\n"
                          "  hover WIN ID               moves the mouse pointer to the centre of control ID\n"
                          "                             and waits (about 0.5 s) until the program has taken it\n"
                          "  pointer X Y                moves the mouse pointer to screen point X, Y\n"
                          "  sysmenu WIN CMD            posts WM_SYSCOMMAND CMD (decimal)\n"
                          "  box CAPTION [ms]           waits for a message box; answers its text\n"
                          "  answer CAPTION [BUTTON] [ms]  waits for a message box, presses BUTTON (default\n"
                          "                             IDOK = 1) and waits until it is gone; answers its text\n"
                          "  nobox CAPTION              fails if a message box CAPTION is open\n"
                          "  boxfront CAPTION [ms]      waits for a message box: \"topmost\" or \"normal\",\n"
                          "                             then \"foreground\" or \"background\"\n"
                          "  boxicon CAPTION [ms]       waits for a message box: \"icon\" when it shows one,\n"
                          "                             else \"none\"\n"
                          "  openfile TITLE PATH [ms]   fills in the file-open dialog TITLE and presses Open\n"
                          "  close WIN                  posts WM_CLOSE\n"
                          "  kill WIN                   ends the process that owns WIN\n"
                          "  killexe NAME               ends every process whose program file is NAME\n"
                          "  list                       every visible top-level window: handle, kind, caption\n"
                          "  timeout MS                 sets the default timeout\n"
                          "  quit\n";

DWORD g_defaultTimeout = 5000;
std::wstring g_desktopName;  // the desktop to work on; empty once joined (or none asked)

// Moves this thread to the desktop asked for, once it exists. The driver has no window
// of its own, so it may change desktops at any time.
void JoinDesktop()
{
    if (g_desktopName.empty())
        return;
    if (HDESK desktop = OpenDesktopW(g_desktopName.c_str(), 0, FALSE, GENERIC_ALL)) {
        if (SetThreadDesktop(desktop))
            g_desktopName.clear();
    }
}
constexpr DWORD POLL_MS = 10;

std::wstring Widen(const std::string& text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n, nullptr, nullptr);
    return narrow;
}

// One answer line: line breaks and backslashes escaped.
std::string Escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c != '\r')
            out += c;
    }
    return out;
}

std::vector<std::string> SplitArguments(const std::string& line)
{
    std::vector<std::string> args;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        std::string arg;
        if (line[i] == '"') {
            ++i;
            while (i < line.size() && line[i] != '"') {
                if (line[i] == '\\' && i + 1 < line.size())
                    ++i;
                arg += line[i++];
            }
            ++i;  // the closing quote
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                arg += line[i++];
        }
        args.push_back(arg);
    }
    return args;
}

struct Failure {
    std::string reason;
};

[[noreturn]] void Fail(const std::string& reason)
{
    throw Failure{reason};
}

long ParseNumber(const std::string& text, const char* what)
{
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0')
        Fail(std::string("bad ") + what + ": " + text);
    return value;
}

std::wstring WindowText(HWND window)
{
    // WM_GETTEXT with a timeout, so that a hung program cannot hang the driver.
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 2000,
                        &copied);
    text.resize(copied);
    return text;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

BOOL CALLBACK NoteOtherThanTextAndButtons(HWND child, LPARAM param)
{
    const std::wstring cls = ClassOf(child);
    if (cls != L"Static" && cls != L"Button") {
        *reinterpret_cast<bool*>(param) = false;
        return FALSE;
    }
    return TRUE;
}

// A message box: a dialog whose children are only static texts and push buttons,
// among them the text of id 0xFFFF and the icon of id 1088 that the system's message
// box template has.
bool IsMessageBox(HWND window)
{
    if (ClassOf(window) != L"#32770" || !GetDlgItem(window, 0xFFFF) || !GetDlgItem(window, 1088))
        return false;
    bool onlyTextAndButtons = true;
    EnumChildWindows(window, NoteOtherThanTextAndButtons, reinterpret_cast<LPARAM>(&onlyTextAndButtons));
    return onlyTextAndButtons;
}

enum class Kind { Window, Box };

struct Search {
    std::wstring caption;
    Kind kind;
    bool visibleOnly;
    HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM param)
{
    Search& s = *reinterpret_cast<Search*>(param);
    if (s.visibleOnly && !IsWindowVisible(window))
        return TRUE;
    if (WindowText(window) != s.caption)
        return TRUE;
    if (IsMessageBox(window) != (s.kind == Kind::Box))
        return TRUE;
    s.found = window;
    return FALSE;
}

HWND FindTopLevel(const std::string& name, Kind kind, bool visibleOnly)
{
    JoinDesktop();
    if (!name.empty() && name[0] == '#') {
        HWND window = reinterpret_cast<HWND>(static_cast<INT_PTR>(std::strtoll(name.c_str() + 1, nullptr, 16)));
        return IsWindow(window) && (!visibleOnly || IsWindowVisible(window)) ? window : nullptr;
    }
    Search search{Widen(name), kind, visibleOnly, nullptr};
    EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

DWORD TimeoutArg(const std::vector<std::string>& args, size_t index)
{
    return index < args.size() ? static_cast<DWORD>(ParseNumber(args[index], "timeout")) : g_defaultTimeout;
}

// Polls `condition` until it holds or `timeoutMs` have passed.
template <typename Condition> bool WaitFor(DWORD timeoutMs, Condition condition)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)  // modulo 2^32: right across the wrap
            return false;
        Sleep(POLL_MS);
    }
}

HWND Window(const std::string& name)
{
    HWND window = FindTopLevel(name, Kind::Window, true);
    if (!window)
        Fail("no window \"" + name + "\"");
    return window;
}

HWND Control(HWND window, const std::string& idText)
{
    const long id = ParseNumber(idText, "control id");
    if (id == 0)
        return window;
    HWND control = GetDlgItem(window, static_cast<int>(id));
    if (!control)
        Fail("no control " + idText);
    return control;
}

void Need(const std::vector<std::string>& args, size_t count)
{
    if (args.size() < count + 1)
        Fail("too few arguments for " + args[0]);
}

std::string RectText(HWND window)
{
    RECT r{};
    GetWindowRect(window, &r);
    char text[64];
    std::snprintf(text, sizeof text, "%ld %ld %ld %ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return text;
}

std::string ComboEntry(HWND combo, WPARAM index)
{
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
    return Narrow(text);
}

std::string ProgressText(HWND bar)
{
    // No PBRANGE pointer: it would not reach another process. wParam TRUE answers the
    // lower end, FALSE the upper.
    const LRESULT lower = SendMessageW(bar, PBM_GETRANGE, TRUE, 0);
    const LRESULT upper = SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
    const LRESULT position = SendMessageW(bar, PBM_GETPOS, 0, 0);
    return std::to_string(position) + " " + std::to_string(lower) + " " + std::to_string(upper);
}

// The file-name field of the file-open dialog: under Wine the Edit inside the
// ComboBoxEx32 of id 0x47C (cmb13); the classic Edit of id 0x480 (edt1) otherwise.
HWND FileNameField(HWND dialog)
{
    if (HWND combo = GetDlgItem(dialog, 0x47C)) {
        HWND inner = FindWindowExW(combo, nullptr, L"ComboBox", nullptr);
        HWND edit = FindWindowExW(inner ? inner : combo, nullptr, L"Edit", nullptr);
        if (edit)
            return edit;
    }
    return GetDlgItem(dialog, 0x480);
}

// Moves the pointer to screen point x, y as mouse input (the program under it gets the
// movement as a person's: WM_MOUSEMOVE; a bare SetCursorPos may bring it none).
void MovePointer(int x, int y)
{
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    input.mi.dx = static_cast<LONG>((x * 65535LL + (width - 1) / 2) / (width > 1 ? width - 1 : 1));
    input.mi.dy = static_cast<LONG>((y * 65535LL + (height - 1) / 2) / (height > 1 ? height - 1 : 1));
    if (SendInput(1, &input, sizeof input) != 1)
        Fail("SendInput failed");
}

// Waits until the program owning `window` has taken the mouse input just given: the
// movement reaches it through the X server, then it must handle it (hover states,
// repainting). A control the pointer left learns it from the system's mouse-leave
// tracking, which under Wine checks once every hover time (400 ms by default), so that
// long is waited first. Bounded, so a busy program cannot hang the driver.
void SettleInput(HWND window)
{
    UINT hoverMs = 400;
    SystemParametersInfoW(SPI_GETMOUSEHOVERTIME, 0, &hoverMs, 0);
    Sleep(hoverMs + 100);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid)) {
        WaitForInputIdle(process, 1000);
        CloseHandle(process);
    }
    // Its repaint comes after the input.
    DWORD_PTR unused = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &unused);
    Sleep(50);
}

void PostClick(HWND button)
{
    PostMessageW(button, BM_CLICK, 0, 0);
}

std::string HandleText(HWND window)
{
    char text[32];
    std::snprintf(text, sizeof text, "#%llx", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    return text;
}

BOOL CALLBACK ListTopLevel(HWND window, LPARAM param)
{
    if (!IsWindowVisible(window))
        return TRUE;
    std::string& out = *reinterpret_cast<std::string*>(param);
    out += (out.empty() ? "" : "|") + HandleText(window) + (IsMessageBox(window) ? " box " : " window ") +
           Narrow(WindowText(window));
    return TRUE;
}

std::string Run(const std::vector<std::string>& args)
{
    JoinDesktop();
    const std::string& command = args[0];
    if (command == "wait") {
        Need(args, 1);
        HWND found = nullptr;
        if (!WaitFor(TimeoutArg(args, 2), [&] { return (found = FindTopLevel(args[1], Kind::Window, true)); }))
            Fail("no window \"" + args[1] + "\" in time");
        return HandleText(found);
    }
    if (command == "gone") {
        Need(args, 1);
        if (!WaitFor(TimeoutArg(args, 2), [&] {
                return !FindTopLevel(args[1], Kind::Window, false) && !FindTopLevel(args[1], Kind::Box, false);
            }))
            Fail("window \"" + args[1] + "\" still there");
        return {};
    }
    if (command == "text") {
        Need(args, 2);
        return Narrow(WindowText(Control(Window(args[1]), args[2])));
    }
    if (command == "waittext") {
        Need(args, 3);
        std::string last;
        if (!WaitFor(TimeoutArg(args, 4), [&] {
                HWND window = FindTopLevel(args[1], Kind::Window, true);
                HWND control = window ? GetDlgItem(window, static_cast<int>(ParseNumber(args[2], "id"))) : nullptr;
                if (window && ParseNumber(args[2], "id") == 0)
                    control = window;
                last = control ? Narrow(WindowText(control)) : "(no such control)";
                return control && last == args[3];
            }))
            Fail("control " + args[2] + " shows \"" + last + "\"");
        return {};
    }
    if (command == "settext") {
        Need(args, 3);
        const std::wstring text = Widen(args[3]);
        SendMessageW(Control(Window(args[1]), args[2]), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        return {};
    }
    if (command == "click") {
        Need(args, 2);
        PostClick(Control(Window(args[1]), args[2]));
        return {};
    }
    if (command == "command") {
        Need(args, 2);
        HWND window = Window(args[1]);
        HWND control = Control(window, args[2]);
        const long code = args.size() > 3 ? ParseNumber(args[3], "code") : 0;
        const long id = ParseNumber(args[2], "id");
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, code),
                     reinterpret_cast<LPARAM>(control == window ? nullptr : control));
        return {};
    }
    if (command == "pick") {
        // As a person's pick does it: the selection changes, then the combo box tells
        // its dialog with CBN_SELCHANGE. Posted, since the dialog may open a message
        // box in answer.
        Need(args, 3);
        HWND window = Window(args[1]);
        HWND combo = Control(window, args[2]);
        const std::wstring item = Widen(args[3]);
        const LRESULT index =
            SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(item.c_str()));
        if (index == CB_ERR)
            Fail("no entry \"" + args[3] + "\"");
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
        return {};
    }
    if (command == "selected") {
        Need(args, 2);
        HWND combo = Control(Window(args[1]), args[2]);
        const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
        return index == CB_ERR ? std::string() : ComboEntry(combo, static_cast<WPARAM>(index));
    }
    if (command == "items") {
        Need(args, 2);
        HWND combo = Control(Window(args[1]), args[2]);
        const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
        std::string list;
        for (LRESULT i = 0; i < count; ++i)
            list += (i ? "|" : "") + ComboEntry(combo, static_cast<WPARAM>(i));
        return list;
    }
    if (command == "progress") {
        Need(args, 2);
        return ProgressText(Control(Window(args[1]), args[2]));
    }
    if (command == "waitprogress") {
        Need(args, 3);
        const long wanted = ParseNumber(args[3], "position");
        LRESULT last = -1;
        if (!WaitFor(TimeoutArg(args, 4), [&] {
                HWND window = FindTopLevel(args[1], Kind::Window, true);
                HWND bar = window ? GetDlgItem(window, static_cast<int>(ParseNumber(args[2], "id"))) : nullptr;
                last = bar ? SendMessageW(bar, PBM_GETPOS, 0, 0) : -1;
                return last == wanted;
            }))
            Fail("progress bar at " + std::to_string(last));
        return {};
    }
    if (command == "rect") {
        Need(args, 2);
        return RectText(Control(Window(args[1]), args[2]));
    }
    if (command == "style") {
        Need(args, 2);
        HWND control = Control(Window(args[1]), args[2]);
        char text[96];
        std::snprintf(text, sizeof text, " %08lx %08lx", static_cast<unsigned long>(GetWindowLongW(control, GWL_STYLE)),
                      static_cast<unsigned long>(GetWindowLongW(control, GWL_EXSTYLE)));
        return Narrow(ClassOf(control)) + text;
    }
    if (command == "children") {
        Need(args, 1);
        HWND window = Window(args[1]);
        std::string list;
        for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            RECT r{};
            GetWindowRect(child, &r);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
            char head[128];
            std::snprintf(head, sizeof head, "%d %s %ld,%ld,%ld,%ld ", GetDlgCtrlID(child),
                          Narrow(ClassOf(child)).c_str(), r.left, r.top, r.right - r.left, r.bottom - r.top);
            list += (list.empty() ? "" : "|") + std::string(head) + Narrow(WindowText(child));
        }
        return list;
    }
    if (command == "focused") {
        Need(args, 1);
        HWND window = Window(args[1]);
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) || !info.hwndFocus)
            return "0";
        return std::to_string(GetDlgCtrlID(info.hwndFocus));
    }
    if (command == "focus") {
        Need(args, 2);
        HWND window = Window(args[1]);
        PostMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(window, args[2])), TRUE);
        return {};
    }
    if (command == "hover") {
        Need(args, 2);
        RECT r{};
        GetWindowRect(Control(Window(args[1]), args[2]), &r);
        const int x = (r.left + r.right) / 2, y = (r.top + r.bottom) / 2;
        MovePointer(x - 1, y);
        MovePointer(x, y);
        SettleInput(Control(Window(args[1]), args[2]));
        return {};
    }
    if (command == "pointer") {
        Need(args, 2);
        MovePointer(static_cast<int>(ParseNumber(args[1], "x")), static_cast<int>(ParseNumber(args[2], "y")));
        return {};
    }
    if (command == "sysmenu") {
        Need(args, 2);
        PostMessageW(Window(args[1]), WM_SYSCOMMAND, static_cast<WPARAM>(ParseNumber(args[2], "command")), 0);
        return {};
    }
    if (command == "box" || command == "answer") {
        Need(args, 1);
        const bool answer = command == "answer";
        const long button = answer && args.size() > 2 ? ParseNumber(args[2], "button") : IDOK;
        const DWORD timeout = TimeoutArg(args, answer ? 3 : 2);
        HWND box = nullptr;
        if (!WaitFor(timeout, [&] { return (box = FindTopLevel(args[1], Kind::Box, true)); }))
            Fail("no message box \"" + args[1] + "\" in time");
        const std::string text = Narrow(WindowText(GetDlgItem(box, 0xFFFF)));
        if (answer) {
            HWND pushed = GetDlgItem(box, static_cast<int>(button));
            if (!pushed)
                Fail("message box \"" + text + "\" has no button " + std::to_string(button));
            PostClick(pushed);
            if (!WaitFor(timeout, [&] { return !IsWindow(box); }))
                Fail("message box \"" + text + "\" stayed open");
        }
        return text;
    }
    if (command == "boxicon") {
        Need(args, 1);
        HWND box = nullptr;
        if (!WaitFor(TimeoutArg(args, 2), [&] { return (box = FindTopLevel(args[1], Kind::Box, true)); }))
            Fail("no message box \"" + args[1] + "\" in time");
        // The box's icon static is there either way; without an icon it holds none.
        HWND icon = GetDlgItem(box, 1088);
        return icon && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) ? "icon" : "none";
    }
    if (command == "boxfront") {
        Need(args, 1);
        HWND box = nullptr;
        if (!WaitFor(TimeoutArg(args, 2), [&] { return (box = FindTopLevel(args[1], Kind::Box, true)); }))
            Fail("no message box \"" + args[1] + "\" in time");
        // In front: kept above the other windows and the one the user's input goes to.
        const bool topmost = (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        return std::string(topmost ? "topmost" : "normal") +
               (GetForegroundWindow() == box ? " foreground" : " background");
    }
    if (command == "nobox") {
        Need(args, 1);
        if (HWND box = FindTopLevel(args[1], Kind::Box, true))
            Fail("message box open: " + Narrow(WindowText(GetDlgItem(box, 0xFFFF))));
        return {};
    }
    if (command == "openfile") {
        Need(args, 2);
        const DWORD timeout = TimeoutArg(args, 3);
        HWND dialog = nullptr;
        if (!WaitFor(timeout, [&] { return (dialog = FindTopLevel(args[1], Kind::Window, true)); }))
            Fail("no file dialog \"" + args[1] + "\" in time");
        HWND field = nullptr;
        if (!WaitFor(timeout, [&] { return (field = FileNameField(dialog)); }))
            Fail("file dialog without a file-name field");
        const std::wstring path = Widen(args[2]);
        SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        HWND open = GetDlgItem(dialog, IDOK);
        if (!open)
            Fail("file dialog without an Open button");
        PostClick(open);
        if (!WaitFor(timeout, [&] { return !IsWindow(dialog); }))
            Fail("file dialog stayed open");
        return {};
    }
    if (command == "close") {
        Need(args, 1);
        PostMessageW(Window(args[1]), WM_CLOSE, 0, 0);
        return {};
    }
    if (command == "kill") {
        Need(args, 1);
        HWND window = FindTopLevel(args[1], Kind::Window, false);
        if (!window)
            window = FindTopLevel(args[1], Kind::Box, false);
        if (!window)
            return "none";
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (!process)
            Fail("cannot open process " + std::to_string(pid));
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
        return std::to_string(pid);
    }
    if (command == "killexe") {
        Need(args, 1);
        const std::wstring name = Widen(args[1]);
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        int ended = 0;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (_wcsicmp(entry.szExeFile, name.c_str()) != 0)
                continue;
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID)) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
                ++ended;
            }
        }
        CloseHandle(snapshot);
        return std::to_string(ended);
    }
    if (command == "list") {
        std::string list;
        EnumWindows(ListTopLevel, reinterpret_cast<LPARAM>(&list));
        return list;
    }
    if (command == "timeout") {
        Need(args, 1);
        g_defaultTimeout = static_cast<DWORD>(ParseNumber(args[1], "timeout"));
        return {};
    }
    if (command == "help")
        return USAGE;
    Fail("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--desktop" && i + 1 < argc) {
            g_desktopName = Widen(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: guidriver [--desktop NAME] < commands\n%s", USAGE);
            return 2;
        }
    }
    std::printf("ok ready\n");
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        const std::vector<std::string> args = SplitArguments(line);
        if (args.empty())
            continue;
        if (args[0] == "quit") {
            std::printf("ok\n");
            break;
        }
        try {
            const std::string value = Run(args);
            std::printf(value.empty() ? "ok\n" : "ok %s\n", Escape(value).c_str());
        } catch (const Failure& failure) {
            std::printf("fail %s\n", Escape(failure.reason).c_str());
        }
    }
    return 0;
}
