// Test fixtures for the skinned controls under Wine: a small dialog built from an
// in-memory template that reflects notifications to its controls the way the
// programs' dialog base does, and a memory canvas the controls paint into.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// Three push buttons in a row, ids 100, 101, 102 ("Open file", "Other", "Last"),
// all tab stops. `defaultId` is the one whose template style is BS_DEFPUSHBUTTON.
class TestDialog {
public:
    explicit TestDialog(int defaultId = 101);
    ~TestDialog();
    TestDialog(const TestDialog&) = delete;
    TestDialog& operator=(const TestDialog&) = delete;

    HWND Hwnd() const { return m_hWnd; }
    HWND Item(int id) const { return GetDlgItem(m_hWnd, id); }

    // WM_COMMAND notifications from controls, in order: (control id, code).
    std::vector<std::pair<int, int>> notifications;
    // Every message the dialog received (after reflection), for sequence checks.
    std::vector<UINT> messages;
    // Called for each WM_COMMAND that comes from a menu (lParam 0): the command id.
    std::vector<int> menuCommands;

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND m_hWnd = nullptr;
};

// Handles the thread's pending messages; with a condition, until it holds or
// `timeoutMs` passes. Answers whether the condition held.
bool Pump(const std::function<bool()>& until = nullptr, DWORD timeoutMs = 0);

// A 32-bit memory bitmap with a device context.
class Canvas {
public:
    Canvas(int width, int height);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC Dc() const { return m_hDc; }
    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    COLORREF At(int x, int y) const { return GetPixel(m_hDc, x, y); }
    void Fill(COLORREF colour);
    // Pixels of exactly `colour` inside [left, right) x [top, bottom).
    int Count(COLORREF colour, RECT area) const;
    int Count(COLORREF colour) const { return Count(colour, {0, 0, m_nWidth, m_nHeight}); }
    // Smallest rectangle holding every pixel of `colour` (empty when there is none).
    RECT Bounds(COLORREF colour) const;

private:
    HDC m_hDc = nullptr;
    HBITMAP m_hBitmap = nullptr;
    HGDIOBJ m_hOld = nullptr;
    int m_nWidth, m_nHeight;
};

// Paints the owner-drawn control `hWnd` into a fresh canvas of its client size by
// sending it the reflected draw-item request with `state` (ODS_* bits), with the
// control's font selected, on a canvas first filled with `background`.
void PaintControl(HWND hWnd, UINT state, Canvas& canvas, COLORREF background = RGB(1, 2, 3));

// The screen point at the centre of a window.
POINT CentreOnScreen(HWND hWnd);
