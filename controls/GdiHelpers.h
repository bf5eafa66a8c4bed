// Small drawing helpers shared by the skinned controls (Win32 only).
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace skin {

inline void FillSolid(HDC hdc, const RECT& rect, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(hdc, &rect, brush);
    DeleteObject(brush);
}

inline void FrameSolid(HDC hdc, const RECT& rect, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    FrameRect(hdc, &rect, brush);
    DeleteObject(brush);
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
    PixelBuffer(HDC compatible, int width, int height) : m_nWidth(width), m_nHeight(height)
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

} // namespace skin
