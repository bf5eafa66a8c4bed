#include "shell/MainDialog.h"

#include "shell/ShellApp.h"

#include <string>

MainDialog::MainDialog(unsigned templateId, unsigned aboutTextId)
    : Dialog(templateId),
      m_nAboutTextId(aboutTextId)
{
    HINSTANCE module = ShellApp::ResourceModule();
    m_hIcon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDR_PROGRAM_ICON), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_hSmallIcon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDR_PROGRAM_ICON), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
}

MainDialog::~MainDialog()
{
    if (m_hIcon)
        DestroyIcon(m_hIcon);
    if (m_hSmallIcon)
        DestroyIcon(m_hSmallIcon);
}

BOOL MainDialog::OnInitDialog()
{
    Dialog::OnInitDialog();

    // The About item, from the program's string table (an empty text: no item).
    if (HMENU systemMenu = GetSystemMenu(Handle(), FALSE)) {
        const wchar_t* text = nullptr;
        int length = LoadStringW(ShellApp::ResourceModule(), m_nAboutTextId, reinterpret_cast<LPWSTR>(&text), 0);
        if (length > 0 && text) {
            std::wstring item(text, static_cast<std::size_t>(length));
            AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(systemMenu, MF_STRING, IDM_SHOW_ABOUT, item.c_str());
        }
    }

    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon ? m_hSmallIcon : m_hIcon));

    OnInitTool();
    return TRUE;
}

bool MainDialog::OnSysCommand(UINT command, LPARAM /*position*/)
{
    if ((command & 0xFFF0) == IDM_SHOW_ABOUT) {
        AboutDlg about;
        about.DoModal(Handle());
        return true;
    }
    return false;
}

bool MainDialog::OnPaint()
{
    if (!IsIconic(Handle()))
        return false;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(Handle(), &paint);
    SendMessageW(Handle(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(Handle(), &client);
    int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(Handle(), &paint);
    return true;
}
