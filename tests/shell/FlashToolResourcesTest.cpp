// The resources of Quarrow.exe and Dunmere.exe, read from the built programs (loaded as
// data files, next to this test in ../bin): the main dialog control for control, the
// About box, the About item's text, the program icon's images and the version record.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// The Chinese (PRC) language of every resource.
const WORD LANGUAGE_CHINESE = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);

// Standard control classes as dialog templates give them (by atom).
const std::wstring CLASS_BUTTON = L"#0080", CLASS_STATIC = L"#0082", CLASS_COMBO_BOX = L"#0085";

struct Item {
    int id;
    std::wstring cls;   // "#00NN" for an atom
    std::wstring text;  // "#NNNN" for an ordinal (an icon's resource id)
    int x, y, cx, cy;
    DWORD style;
    DWORD exStyle;
};

struct Template {
    DWORD style = 0, exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption, font;
    int pointSize = 0;
    std::vector<Item> items;
};

// Reads a dialog template (DLGTEMPLATE or DLGTEMPLATEEX).
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* data)
        : m_p(data),
          m_start(data)
    {
    }

    Template Read()
    {
        Template t;
        const bool extended = Peek16(0) == 1 && Peek16(2) == 0xFFFF;
        if (extended) {
            Skip(4);  // version, signature
            Skip(4);  // help id
            t.exStyle = Read32();
            t.style = Read32();
        } else {
            t.style = Read32();
            t.exStyle = Read32();
        }
        const int count = Read16();
        t.x = ReadShort(), t.y = ReadShort(), t.cx = ReadShort(), t.cy = ReadShort();
        ReadNameOrOrdinal();  // menu
        ReadNameOrOrdinal();  // class
        t.caption = ReadString();
        if (t.style & DS_SETFONT) {
            t.pointSize = Read16();
            if (extended)
                Skip(4);  // weight, italic, character set
            t.font = ReadString();
        }
        for (int i = 0; i < count; ++i) {
            Align4();
            Item item{};
            if (extended) {
                Skip(4);  // help id
                item.exStyle = Read32();
                item.style = Read32();
            } else {
                item.style = Read32();
                item.exStyle = Read32();
            }
            item.x = ReadShort(), item.y = ReadShort(), item.cx = ReadShort(), item.cy = ReadShort();
            item.id = extended ? static_cast<int>(static_cast<std::int32_t>(Read32())) : static_cast<short>(Read16());
            item.cls = ReadNameOrOrdinal();
            // Class names are case-blind (the resource compiler writes them upper-case).
            for (wchar_t& c : item.cls)
                c = static_cast<wchar_t>(towlower(c));
            item.text = ReadNameOrOrdinal();
            Skip(Read16());  // creation data
            t.items.push_back(item);
        }
        return t;
    }

private:
    WORD Peek16(size_t offset) const
    {
        WORD v;
        std::memcpy(&v, m_p + offset, 2);
        return v;
    }
    WORD Read16()
    {
        WORD v = Peek16(0);
        m_p += 2;
        return v;
    }
    short ReadShort() { return static_cast<short>(Read16()); }
    DWORD Read32()
    {
        DWORD v;
        std::memcpy(&v, m_p, 4);
        m_p += 4;
        return v;
    }
    void Skip(size_t n) { m_p += n; }
    void Align4() { m_p = m_start + ((m_p - m_start + 3) & ~static_cast<std::ptrdiff_t>(3)); }
    std::wstring ReadString()
    {
        std::wstring s;
        for (WORD c; (c = Read16()) != 0;)
            s += static_cast<wchar_t>(c);
        return s;
    }
    // Empty, "#NNNN" for an ordinal, or the name.
    std::wstring ReadNameOrOrdinal()
    {
        if (Peek16(0) == 0xFFFF) {
            Skip(2);
            wchar_t text[8];
            swprintf(text, 8, L"#%04x", Read16());
            return text;
        }
        return ReadString();
    }

    const BYTE* m_p;
    const BYTE* m_start;
};

std::wstring ProgramPath(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + L"..\\bin\\" + name;
}

// One program, loaded as a data file.
class Program {
public:
    explicit Program(const wchar_t* exe)
        : m_module(LoadLibraryExW(ProgramPath(exe).c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {
    }
    ~Program()
    {
        if (m_module)
            FreeLibrary(m_module);
    }
    bool Loaded() const { return m_module != nullptr; }

    // The resource's bytes in the Chinese (PRC) language; empty when there is none.
    std::vector<BYTE> Resource(LPCWSTR type, int id) const
    {
        HRSRC found = FindResourceExW(m_module, type, MAKEINTRESOURCEW(id), LANGUAGE_CHINESE);
        if (!found)
            return {};
        const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(m_module, found)));
        return std::vector<BYTE>(data, data + SizeofResource(m_module, found));
    }
    Template Dialog(int id) const
    {
        const std::vector<BYTE> bytes = Resource(RT_DIALOG, id);
        if (bytes.empty())
            return {};
        return TemplateReader(bytes.data()).Read();
    }
    std::wstring String(int id) const
    {
        const wchar_t* text = nullptr;
        const int length = LoadStringW(m_module, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
        return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
    }

private:
    HMODULE m_module;
};

const Item* FindItem(const Template& t, int id)
{
    for (const Item& item : t.items)
        if (item.id == id)
            return &item;
    return nullptr;
}

// The item's id, class, text and rectangle as one line, for readable failures.
std::wstring Describe(const Item& i)
{
    return std::to_wstring(i.id) + L" " + i.cls + L" \"" + i.text + L"\" " + std::to_wstring(i.x) + L"," +
           std::to_wstring(i.y) + L"," + std::to_wstring(i.cx) + L"," + std::to_wstring(i.cy);
}

std::wstring Describe(int id, const std::wstring& cls, const std::wstring& text, int x, int y, int cx, int cy)
{
    return Describe(Item{id, cls, text, x, y, cx, cy, 0, 0});
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

// The frame every dialog of the programs has, and what main dialogs add.
void ExpectDialogFrame(const Template& t, bool mainDialog)
{
    EXPECT_EQ(Narrow(t.font), "宋体");
    EXPECT_EQ(t.pointSize, 9);
    const DWORD frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    EXPECT_EQ(t.style & frame, frame);
    EXPECT_EQ(t.style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0u);
    EXPECT_EQ((t.style & WS_VISIBLE) != 0, mainDialog);
    EXPECT_EQ((t.exStyle & WS_EX_APPWINDOW) != 0, mainDialog);
}

struct ProgramCase {
    const wchar_t* exe;
    const char* name;
};

class FlashToolResources : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(FlashToolResources, AboutBoxItemIconAndVersion)
{
    const ProgramCase& c = GetParam();
    Program program(c.exe);
    ASSERT_TRUE(program.Loaded()) << "cannot load " << Narrow(ProgramPath(c.exe));
    const std::string name = c.name;

    EXPECT_EQ(Narrow(program.String(101)), "关于 " + name + "(&A)...");

    const Template about = program.Dialog(100);
    EXPECT_EQ(Narrow(about.caption), "关于 " + name);
    EXPECT_EQ(about.cx, 235);
    EXPECT_EQ(about.cy, 55);
    ExpectDialogFrame(about, false);
    bool icon = false, version = false, second = false, ok = false;
    for (const Item& i : about.items) {
        if (i.cls == CLASS_STATIC && (i.style & SS_TYPEMASK) == SS_ICON) {
            icon = true;
            EXPECT_EQ(i.x, 11);
            EXPECT_EQ(i.y, 17);
            EXPECT_EQ(i.text, L"#0080") << "the icon shows resource 128";  // 0x80 = 128
        } else if (i.cls == CLASS_STATIC && i.x == 40 && i.y == 10) {
            version = true;
            EXPECT_EQ(Narrow(i.text), name + " 1.0 版");
            EXPECT_EQ(i.cx, 119);
            EXPECT_EQ(i.cy, 8);
        } else if (i.cls == CLASS_STATIC && i.x == 40 && i.y == 25) {
            second = i.cx == 119 && i.cy == 8 && !i.text.empty();
        } else if (i.id == IDOK) {
            ok = true;
            EXPECT_EQ(Narrow(i.text), "确定");
            EXPECT_EQ(Describe(i), Describe(IDOK, CLASS_BUTTON, i.text, 178, 7, 50, 14));
            EXPECT_EQ(i.style & BS_TYPEMASK, static_cast<DWORD>(BS_DEFPUSHBUTTON));
        }
    }
    EXPECT_TRUE(icon && version && second && ok) << "icon, version line, second line, OK button";

    // Icon 128: a 32 x 32 and a 16 x 16 image, 16 colours each.
    const std::vector<BYTE> group = program.Resource(RT_GROUP_ICON, 128);
    ASSERT_GE(group.size(), 6u);
    const WORD count = static_cast<WORD>(group[4] | group[5] << 8);
    std::vector<std::string> images;
    for (WORD k = 0; k < count && 6 + 14u * (k + 1u) <= group.size(); ++k) {
        const BYTE* entry = group.data() + 6 + 14 * k;
        const int bits = entry[6] | entry[7] << 8;
        images.push_back(std::to_string(entry[0]) + "x" + std::to_string(entry[1]) + " colours " +
                         std::to_string(entry[2]) + " bits " + std::to_string(bits));
    }
    EXPECT_EQ(images, (std::vector<std::string>{"32x32 colours 16 bits 4", "16x16 colours 16 bits 4"}));

    // The version record: 1.0.0.1, naming the program.
    const std::vector<BYTE> record = program.Resource(RT_VERSION, 1);
    const DWORD signature = 0xFEEF04BD;
    const BYTE* fixed = nullptr;
    for (size_t at = 0; at + sizeof(VS_FIXEDFILEINFO) <= record.size(); at += 4)
        if (std::memcmp(record.data() + at, &signature, 4) == 0) {
            fixed = record.data() + at;
            break;
        }
    ASSERT_NE(fixed, nullptr) << "no fixed file information";
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, fixed, sizeof info);
    EXPECT_EQ(info.dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(info.dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(info.dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(info.dwProductVersionLS, 0x00000001u);
    const std::wstring exeName = std::wstring(c.exe);
    const std::wstring text(reinterpret_cast<const wchar_t*>(record.data()), record.size() / 2);
    EXPECT_NE(text.find(exeName), std::wstring::npos) << "the record names " << Narrow(exeName);
}

INSTANTIATE_TEST_SUITE_P(Programs, FlashToolResources,
                         ::testing::Values(ProgramCase{L"Quarrow.exe", "Quarrow"},
                                           ProgramCase{L"Dunmere.exe", "Dunmere"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QuarrowResources, MainDialogControlForControl)
{
    Program program(L"Quarrow.exe");
    ASSERT_TRUE(program.Loaded());
    const Template t = program.Dialog(102);
    EXPECT_EQ(Narrow(t.caption), "Quarrow");
    EXPECT_EQ(t.cx, 320);
    EXPECT_EQ(t.cy, 174);
    ExpectDialogFrame(t, true);

    const std::wstring progress = L"msctls_progress32";
    const std::vector<std::wstring> expected = {
        Describe(1000, CLASS_BUTTON, L"OPEN FILE", 47, 47, 59, 16),
        Describe(-1, CLASS_STATIC, L"Click this button choose update file!", 114, 52, 151, 13),
        Describe(1001, CLASS_BUTTON, L"UPDATE", 47, 71, 59, 16),
        Describe(-1, CLASS_STATIC, L"Click this button to start update!", 117, 73, 148, 11),
        Describe(-1, CLASS_STATIC, L"COM", 39, 13, 19, 9),
        Describe(1002, CLASS_COMBO_BOX, L"", 62, 11, 41, 90),
        Describe(-1, CLASS_STATIC, L"Click to choose serial port number!", 121, 14, 172, 11),
        Describe(1003, progress, L"", 58, 147, 253, 15),
        Describe(-1, CLASS_STATIC, L"PROGRESS", 13, 147, 40, 11),
        Describe(1005, CLASS_STATIC, L"", 82, 121, 133, 16),
        Describe(1004, CLASS_STATIC, L"", 20, 99, 264, 12),
        Describe(1006, CLASS_STATIC, L"", 30, 29, 122, 10),
    };
    std::vector<std::wstring> actual;
    for (const Item& item : t.items)
        actual.push_back(Describe(item));
    EXPECT_EQ(actual, expected);

    // No default button; the port list is an editable drop-down, not sorted; the bar
    // is smooth.
    for (int id : {1000, 1001}) {
        const Item* button = FindItem(t, id);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->style & BS_TYPEMASK, static_cast<DWORD>(BS_PUSHBUTTON)) << id;
    }
    const Item* ports = FindItem(t, 1002);
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->style & 3u, static_cast<DWORD>(CBS_DROPDOWN));
    EXPECT_EQ(ports->style & CBS_SORT, 0u);
    const Item* bar = FindItem(t, 1003);
    ASSERT_NE(bar, nullptr);
    EXPECT_NE(bar->style & PBS_SMOOTH, 0u);
}

TEST(DunmereResources, MainDialogControlForControl)
{
    Program program(L"Dunmere.exe");
    ASSERT_TRUE(program.Loaded());
    const Template t = program.Dialog(102);
    EXPECT_EQ(Narrow(t.caption), "Dunmere");
    EXPECT_EQ(t.cx, 174);
    EXPECT_EQ(t.cy, 134);
    ExpectDialogFrame(t, true);
    std::vector<std::wstring> actual;
    for (const Item& item : t.items)
        actual.push_back(Describe(item));
    EXPECT_EQ(actual, (std::vector<std::wstring>{Describe(1000, CLASS_BUTTON, L"ERASE", 49, 83, 64, 20),
                                                 Describe(1001, CLASS_COMBO_BOX, L"", 50, 16, 67, 63)}));
    const Item* ports = FindItem(t, 1001);
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->style & 3u, static_cast<DWORD>(CBS_DROPDOWN));
    EXPECT_NE(ports->style & CBS_SORT, 0u);
}

}  // namespace
