#!/usr/bin/env bash
# The harness on its own test dialog (tests/wine/gui/TestDialog.cpp): every kind of
# step the program cases use, so that a fault of the harness shows here first.
. "$(dirname "$0")/../harness.sh"

dialog=$HARNESS_BUILD/harness/testdialog.exe
caption="Harness Test"

case_box_before_dialog() {
  app_start "$dialog" --greet
  # The box comes before the dialog is visible, and only the box carries the caption.
  expect_eq "$(drv answer "$caption")" "Hello before the dialog" "start-up box"
  drv wait "$caption" >/dev/null
  drv nobox "$caption"
  # A window is not a box, a box is not a window.
  drv_try box "$caption" 200 >/dev/null 2>&1 && fail "the main dialog was taken for a message box"
  expect_eq "$(drv text "$caption" 0)" "$caption" "caption"
}

case_controls() {
  app_start "$dialog"
  drv wait "$caption" >/dev/null
  expect_eq "$(drv items "$caption" 1002)" "COM1|COM2|COM3|COM4|COM5|COM6|COM7|COM8" "port list"
  expect_eq "$(drv selected "$caption" 1002)" "COM1" "first port selected"
  drv pick "$caption" 1002 COM3
  drv waittext "$caption" 1006 "picked COM3"
  expect_eq "$(drv selected "$caption" 1002)" "COM3" "picked port"
  # A pick whose handler opens a box: the pick must not wait for the box.
  drv pick "$caption" 1002 COM5
  expect_eq "$(drv boxicon "$caption")" icon "icon of a warning box"
  expect_eq "$(drv answer "$caption")" "Not found this serial port !" "box after a pick"
  drv waittext "$caption" 1006 "picked COM5"
  drv_try pick "$caption" 1002 COM9 >/dev/null 2>&1 && fail "picked an entry that is not there"
  # A click that opens a modal box, and the box's text in Chinese.
  drv click "$caption" 1001
  expect_eq "$(drv boxicon "$caption")" none "icon of a plain box"
  expect_eq "$(drv answer "$caption")" "你好, box" "box text"
  drv waittext "$caption" 1004 "box closed"
  expect_eq "$(drv progress "$caption" 1003)" "0 0 100" "progress bar at rest"
  expect_match "$(drv style "$caption" 1003)" '^msctls_progress32 ' "progress bar class"
  drv_try text "$caption" 4242 >/dev/null 2>&1 && fail "read a control that does not exist"
  expect_match "$(drv children "$caption")" '1002 ComboBox' "children list"
  drv close "$caption"
  drv gone "$caption"
}

case_open_file() {
  # A file in a folder whose name is outside any code page, opened through the dialog.
  local folder=$case_dir/数据
  mkdir -p "$folder"
  head -c 42 /dev/zero >"$folder/image.bin"
  app_start "$dialog"
  drv wait "$caption" >/dev/null
  drv click "$caption" 1000
  drv openfile "选择文件" "$(winpath "$folder/image.bin")"
  drv waittext "$caption" 1004 "length 42"
  expect_eq "$(drv text "$caption" 1005)" "$(winpath "$folder/image.bin")" "path line"
  drv waitprogress "$caption" 1003 42
  # Cancelling leaves things as they were.
  drv click "$caption" 1000
  drv wait "选择文件" >/dev/null
  drv command "选择文件" 2 >/dev/null
  drv waittext "$caption" 1004 "cancelled"
  expect_eq "$(drv progress "$caption" 1003)" "42 0 100" "progress bar kept"
}

case_about_and_screen() {
  app_start "$dialog"
  drv wait "$caption" >/dev/null
  drv sysmenu "$caption" 16
  drv wait "关于 $caption" >/dev/null
  screenshot harness-about "关于 $caption"
  drv click "关于 $caption" 1
  drv gone "关于 $caption"
  screenshot harness-main "$caption"
  # The swatch is painted in 0x2080E0 (RGB); the screen shows it where the driver
  # says the control is.
  grab
  expect_eq "$(control_pixel "$caption" 1007)" "2080E0" "swatch colour"
  expect_eq "$(control_pixel "$caption" 1007 1 1)" "2080E0" "swatch corner"
  expect_match "$(control_pixel "$caption" 1007 -1 -1)" '^2080E0$' "swatch far corner"
}

case_device_sim_on_a_port() {
  # device-sim answers on COM4 while the case runs; a missing port cannot be opened.
  sim_start COM4 --loader erase --baud 0
  [ -L "$SUITE_WINE_PORT_DIR/com4" ] || fail "COM4 is not linked to device-sim"
  port_missing COM6
  [ -e "$SUITE_WINE_PORT_DIR/com6" ] && fail "COM6 still there"
  sim_stop COM4 2
  expect_eq "$(sim_field COM4 result)" incomplete "a device-sim that saw nothing"
}

gui_case "a box before the dialog" case_box_before_dialog
gui_case "controls" case_controls
gui_case "open file" case_open_file
gui_case "about box and screen" case_about_and_screen
gui_case "device-sim on a port" case_device_sim_on_a_port
gui_done
