#include "WineTestDialog.h"

#include "shell/Reflect.h"

#include <algorithm>
#include <cstring>

namespace {

// Builds a DLGTEMPLATE with its items; every item starts on a DWORD boundary.
class TemplateBuilder {
public:
    void Word(WORD w) { m_data.push_back(w); }
    void DWord(DWORD d)
    {
        Word(LOWORD(d));
        Word(HIWORD(d));
    }
    void Text(const wchar_t* text)
    {
        for (; *text; ++text)
            Word(static_cast<WORD>(*text));
        Word(0);
    }
    void Align()
    {
        if (m_data.size() % 2)
            Word(0);
    }
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, const wchar_t* text)
    {
        Align();
        DWord(style);
        DWord(0);
        Word(static_cast<WORD>(x));
        Word(static_cast<WORD>(y));
        Word(static_cast<WORD>(cx));
        Word(static_cast<WORD>(cy));
        Word(id);
        Word(0xFFFF);
        Word(0x0080);  // button class
        Text(text);
        Word(0);  // no creation data
    }
    const DLGTEMPLATE* Data() const { return reinterpret_cast<const DLGTEMPLATE*>(m_data.data()); }

private:
    std::vector<WORD> m_data;
};

// The top-level window the test dialogs live in, made once per process: hiding and
// destroying a top-level window costs seconds under Wine without a window manager,
// a child dialog costs nothing.
HWND HostWindow()
{
    static HWND host = [] {
        HWND hWnd = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"SkinTestHost", WS_POPUP | WS_VISIBLE, 20, 20, 500, 200,
                                    nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        SetForegroundWindow(hWnd);
        Pump();
        return hWnd;
    }();
    return host;
}

}  // namespace

TestDialog::TestDialog(int defaultId)
{
    TemplateBuilder t;
    t.DWord(DS_SETFONT | DS_CONTROL | WS_CHILD | WS_VISIBLE);
    t.DWord(0);
    t.Word(3);  // items
    t.Word(0);
    t.Word(0);
    t.Word(220);
    t.Word(60);
    t.Word(0);  // no menu
    t.Word(0);  // default class
    t.Text(L"SkinTest");
    t.Word(8);
    t.Text(L"MS Shell Dlg");
    const wchar_t* captions[3] = {L"Open file", L"Other", L"Last"};
    for (int i = 0; i < 3; ++i) {
        const WORD id = static_cast<WORD>(100 + i);
        const DWORD type = (id == defaultId) ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
        t.Item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | type, static_cast<short>(10 + 70 * i), 10, 60, 24, id, captions[i]);
    }
    m_hWnd = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), t.Data(), HostWindow(), DialogProc,
                                        reinterpret_cast<LPARAM>(this));
    SetFocus(m_hWnd);
    Pump();
}

TestDialog::~TestDialog()
{
    if (m_hWnd != nullptr && IsWindow(m_hWnd))
        DestroyWindow(m_hWnd);
    Pump();
}

INT_PTR CALLBACK TestDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        return TRUE;
    }
    auto* self = reinterpret_cast<TestDialog*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    if (self == nullptr)
        return FALSE;
    self->messages.push_back(message);
    switch (message) {
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->CtlType != ODT_MENU &&
            SendMessageW(item->hwndItem, ReflectedMessage(WM_DRAWITEM), wParam, lParam) != 0) {
            SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    }
    case WM_COMMAND:
        if (lParam != 0) {
            SendMessageW(reinterpret_cast<HWND>(lParam), ReflectedMessage(WM_COMMAND), wParam, lParam);
            self->notifications.emplace_back(LOWORD(wParam), HIWORD(wParam));
        } else {
            self->menuCommands.push_back(LOWORD(wParam));
        }
        return TRUE;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC: {
        const LRESULT brush = SendMessageW(reinterpret_cast<HWND>(lParam), ReflectedMessage(message), wParam, lParam);
        return static_cast<INT_PTR>(brush);
    }
    default:
        return FALSE;
    }
}

bool Pump(const std::function<bool()>& until, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (!until)
            return true;
        if (until())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

Canvas::Canvas(int width, int height)
    : m_nWidth(width),
      m_nHeight(height)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    m_hDc = CreateCompatibleDC(nullptr);
    m_hBitmap = CreateDIBSection(m_hDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    m_hOld = SelectObject(m_hDc, m_hBitmap);
}

Canvas::~Canvas()
{
    SelectObject(m_hDc, m_hOld);
    DeleteObject(m_hBitmap);
    DeleteDC(m_hDc);
}

void Canvas::Fill(COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    RECT all{0, 0, m_nWidth, m_nHeight};
    FillRect(m_hDc, &all, brush);
    DeleteObject(brush);
}

int Canvas::Count(COLORREF colour, RECT area) const
{
    int n = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            n += At(x, y) == colour;
    return n;
}

RECT Canvas::Bounds(COLORREF colour) const
{
    RECT box{m_nWidth, m_nHeight, 0, 0};
    for (int y = 0; y < m_nHeight; ++y)
        for (int x = 0; x < m_nWidth; ++x)
            if (At(x, y) == colour) {
                box.left = std::min<LONG>(box.left, x);
                box.top = std::min<LONG>(box.top, y);
                box.right = std::max<LONG>(box.right, x + 1);
                box.bottom = std::max<LONG>(box.bottom, y + 1);
            }
    if (box.right == 0)
        box = {0, 0, 0, 0};
    return box;
}

void PaintControl(HWND hWnd, UINT state, Canvas& canvas, COLORREF background)
{
    canvas.Fill(background);
    RECT client{};
    GetClientRect(hWnd, &client);
    const HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(hWnd, WM_GETFONT, 0, 0));
    const HGDIOBJ oldFont = font != nullptr ? SelectObject(canvas.Dc(), font) : nullptr;
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_BUTTON;
    item.CtlID = static_cast<UINT>(GetDlgCtrlID(hWnd));
    item.itemAction = ODA_DRAWENTIRE;
    item.itemState = state;
    item.hwndItem = hWnd;
    item.hDC = canvas.Dc();
    item.rcItem = client;
    SendMessageW(hWnd, ReflectedMessage(WM_DRAWITEM), item.CtlID, reinterpret_cast<LPARAM>(&item));
    if (oldFont != nullptr)
        SelectObject(canvas.Dc(), oldFont);
}

POINT CentreOnScreen(HWND hWnd)
{
    RECT r{};
    GetWindowRect(hWnd, &r);
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}
