// Stand-in until the skinned button lands: the same interface over a plain button.
#pragma once

#include <windows.h>

constexpr int SKIN_HOT_FACE = 0;
constexpr int SKIN_HOT_TEXT = 1;
constexpr int SKIN_REST_FACE = 2;
constexpr int SKIN_REST_TEXT = 3;
constexpr int SKIN_FOCUS_FACE = 4;
constexpr int SKIN_FOCUS_TEXT = 5;

class SkinButton {
public:
    bool SubclassDlgItem(unsigned id, HWND hParent) { return GetDlgItem(hParent, static_cast<int>(id)) != nullptr; }
    int SetStateColor(int, COLORREF, bool = true) { return 0; }
    int ResetStateColors(bool = true) { return 0; }
};
