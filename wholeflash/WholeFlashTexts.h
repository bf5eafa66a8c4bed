// Everything Quarrow says to the user, defined once for the logic, the Windows dialog
// and the console program. Texts are UTF-8, spelt as the device's users know them.
#pragma once

#include "common/FileFilter.h"

// Port texts. The port line after every opening attempt; the box after a failed
// opening: one text at start-up (COM1), another (a blank before the "!") after a
// choice in the port list.
inline constexpr char FLASH_TEXT_PORT_OPENED[] = "Open serial port success!";
inline constexpr char FLASH_TEXT_PORT_FAILED[] = "Open serial port fail!";
inline constexpr char FLASH_TEXT_PORT_NOT_FOUND[] = "Not found this serial port!";
inline constexpr char FLASH_TEXT_PORT_CHOICE_FAILED[] = "Not found this serial port !";

// The file chooser of OPEN FILE: its title ("choose the program to download") and
// its two entries, the first one preselected. The second entry's pattern matches its
// label; any file is taken as raw bytes whatever its name.
inline constexpr char FLASH_TEXT_FILE_DIALOG_TITLE[] = "选择下载的程序";
inline constexpr FileFilter FLASH_FILE_FILTERS[] = {
    {"Binary Files(*.bin)", "*.bin"},
    {"dat Files(*.dat)", "*.dat"},
};

// Refusals of UPDATE (boxes).
inline constexpr char FLASH_TEXT_NO_IMAGE[] = "Please open update file first!";
inline constexpr char FLASH_TEXT_NOT_READY[] = "Update is in progress or not found serial port!";
inline constexpr char FLASH_TEXT_EMPTY_IMAGE[] = "Update file has no data to write (empty or all 0xFF)!";

// The status line during and at the end of a run; the success text is also a box.
inline constexpr char FLASH_TEXT_WAIT[] = "Updata will take several minute!Please wait!";
inline constexpr char FLASH_TEXT_SUCCESS[] = "Updata success!";

// The progress line: this text, the percentage with two decimals, then "%".
inline constexpr char FLASH_TEXT_PROGRESS_PREFIX[] = "write progress:";

// The program's name: the caption of its boxes and its dialog.
inline constexpr char FLASH_PROGRAM_NAME[] = "Quarrow";

// The device's rejection of a write frame as the console names it in its lines. The
// updater recognises it byte by byte and says so as a ToolEvent; a word for people,
// never matched against bytes.
inline constexpr char FLASH_REPLY_NAME_REJECTED[] = "*WER#";
