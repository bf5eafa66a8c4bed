// Small drawing helpers shared by the skinned controls (Win32 only), and the owning
// wrappers through which they select and delete GDI objects: a selection is undone,
// and a created object deleted, when its wrapper goes out of scope (in the reverse
// order of declaration: declare the object before its selection).
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace skin {

// Owns a GDI object (pen, brush, font, bitmap): DeleteObject when it goes, unless
// released. Movable, not copyable; may hold null (a failed creation).
template <class Handle> class GdiObject {
public:
    explicit GdiObject(Handle handle = nullptr)
        : m_handle(handle)
    {
    }
    ~GdiObject() { Reset(); }
    GdiObject(GdiObject&& other) noexcept
        : m_handle(other.Release())
    {
    }
    GdiObject& operator=(GdiObject&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;

    Handle Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    // Deletes the object held and holds `handle` instead.
    void Reset(Handle handle = nullptr)
    {
        if (m_handle != nullptr)
            DeleteObject(m_handle);
        m_handle = handle;
    }
    // Gives the object up without deleting it.
    Handle Release() { return std::exchange(m_handle, nullptr); }

private:
    Handle m_handle;
};

// Owns a memory device context (CreateCompatibleDC): DeleteDC when it goes.
class MemoryDc {
public:
    explicit MemoryDc(HDC dc = nullptr)
        : m_hDc(dc)
    {
    }
    ~MemoryDc() { Reset(); }
    MemoryDc(const MemoryDc&) = delete;
    MemoryDc& operator=(const MemoryDc&) = delete;

    HDC Get() const { return m_hDc; }
    explicit operator bool() const { return m_hDc != nullptr; }
    void Reset(HDC dc = nullptr)
    {
        if (m_hDc != nullptr)
            DeleteDC(m_hDc);
        m_hDc = dc;
    }

private:
    HDC m_hDc;
};

// A window's device context (GetDC), released when it goes.
class WindowDc {
public:
    explicit WindowDc(HWND window)
        : m_hWnd(window),
          m_hDc(GetDC(window))
    {
    }
    ~WindowDc()
    {
        if (m_hDc != nullptr)
            ReleaseDC(m_hWnd, m_hDc);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;

    HDC Get() const { return m_hDc; }

private:
    HWND m_hWnd;
    HDC m_hDc;
};

// Selects `object` into `dc` and selects the previous object back when it goes. A
// null object selects nothing (and restores nothing).
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object)
        : m_hDc(dc),
          m_hPrevious(object != nullptr ? SelectObject(dc, object) : nullptr)
    {
    }
    ~SelectedObject()
    {
        if (m_hPrevious != nullptr)
            SelectObject(m_hDc, m_hPrevious);
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC m_hDc;
    HGDIOBJ m_hPrevious;
};

inline void FillSolid(HDC hdc, const RECT& rect, COLORREF colour)
{
    const GdiObject<HBRUSH> brush(CreateSolidBrush(colour));
    FillRect(hdc, &rect, brush.Get());
}

inline void FrameSolid(HDC hdc, const RECT& rect, COLORREF colour)
{
    const GdiObject<HBRUSH> brush(CreateSolidBrush(colour));
    FrameRect(hdc, &rect, brush.Get());
}

// A one-pixel frame: top and left in `topLeft`, bottom and right in `bottomRight`.
inline void Draw3dRect(HDC hdc, const RECT& r, COLORREF topLeft, COLORREF bottomRight)
{
    FillSolid(hdc, {r.left, r.top, r.right - 1, r.top + 1}, topLeft);
    FillSolid(hdc, {r.left, r.top, r.left + 1, r.bottom - 1}, topLeft);
    FillSolid(hdc, {r.right - 1, r.top, r.right, r.bottom}, bottomRight);
    FillSolid(hdc, {r.left, r.bottom - 1, r.right, r.bottom}, bottomRight);
}

// A top-down 32-bit bitmap with its own device context, for pixel work.
class PixelBuffer {
public:
    PixelBuffer(HDC compatible, int width, int height)
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
        m_hDc = CreateCompatibleDC(compatible);
        void* bits = nullptr;
        m_hBitmap = CreateDIBSection(m_hDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_pBits = static_cast<std::uint32_t*>(bits);
        if (m_hBitmap != nullptr)
            m_hOld = SelectObject(m_hDc, m_hBitmap);
    }
    ~PixelBuffer()
    {
        if (m_hOld != nullptr)
            SelectObject(m_hDc, m_hOld);
        if (m_hBitmap != nullptr)
            DeleteObject(m_hBitmap);
        DeleteDC(m_hDc);
    }
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    bool Ok() const { return m_pBits != nullptr; }
    HDC Dc() const { return m_hDc; }
    HBITMAP Bitmap() const { return m_hBitmap; }
    COLORREF Get(int x, int y) const
    {
        const std::uint32_t p = m_pBits[y * m_nWidth + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    void Set(int x, int y, COLORREF c)
    {
        m_pBits[y * m_nWidth + x] = (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
    }
    void Fill(COLORREF c)
    {
        GdiFlush();
        for (int y = 0; y < m_nHeight; ++y)
            for (int x = 0; x < m_nWidth; ++x)
                Set(x, y, c);
    }

private:
    int m_nWidth, m_nHeight;
    HDC m_hDc = nullptr;
    HBITMAP m_hBitmap = nullptr;
    HGDIOBJ m_hOld = nullptr;
    std::uint32_t* m_pBits = nullptr;
};

}  // namespace skin
