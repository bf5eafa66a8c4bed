// Everything Dunmere says to the user, defined once for the logic, the Windows dialog
// and the console program. Every text is a message box.
#pragma once

// Port texts: after opening COM1 at start-up, and after a choice in the port list.
inline constexpr char ERASE_TEXT_PORT_READY[] = "Serial port ready!";
inline constexpr char ERASE_TEXT_PORT_NOT_FOUND[] = "Can't found selected serial port!";
inline constexpr char ERASE_TEXT_PORT_OK[] = "Serial port is OK!";
inline constexpr char ERASE_TEXT_PORT_CHOICE_FAILED[] = "Can't found the serial port or serial port is already use!";

// The end of an erase chain.
inline constexpr char ERASE_TEXT_FINISH[] = "Finish";

// The program's name: the caption of its boxes and its dialog.
inline constexpr char ERASE_PROGRAM_NAME[] = "Dunmere";
