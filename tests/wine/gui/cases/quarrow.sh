#!/usr/bin/env bash
# Quarrow.exe driven as a person drives it, against device-sim's whole-flash loader.
. "$(dirname "$0")/../harness.sh"

Q=Quarrow
PORT_LIST=1002 OPEN_FILE=1000 UPDATE=1001 BAR=1003 STATUS=1004 PROGRESS_LINE=1005 PORT_LINE=1006
FILE_TITLE="选择下载的程序"

# An image of `pages` pages of random bytes whose last byte is not 0xFF.
make_image() { # path pages
  head -c $(( $2 * 2112 - 1 )) /dev/urandom >"$1"
  printf '\x5a' >>"$1"
}

# Starts Quarrow with a working COM1 and waits for its port line.
start_with_device() { # device-sim args...
  sim_start COM1 --loader quarrow "$@"
  app_start Quarrow
  drv waittext $Q $PORT_LINE "Open serial port success!"
  drv nobox $Q
}

load_image() { # path
  drv click $Q $OPEN_FILE
  drv openfile "$FILE_TITLE" "$(winpath "$1")"
}

# Closes Quarrow after a run, ends the device and checks that its flash holds `image`;
# with `frames`, also that the device counted them and saw no error.
end_run() { # image [frames what-they-are]
  drv close $Q
  drv gone $Q
  sim_wait COM1 10
  sim_stop COM1
  if [ $# -gt 1 ]; then
    expect_eq "$(sim_field COM1 result)" complete "device's run"
    expect_eq "$(sim_field COM1 errors)" 0 "device's errors"
    expect_eq "$(sim_field COM1 'frames received')" "$2" "frames ($3)"
  fi
  cmp "$1" "$case_dir/flash.bin" || fail "the device's flash differs from the image"
  echo "    ok: flash = image"
}

case_ports() {
  port_missing COM1
  port_missing COM2
  app_start Quarrow
  # The application's boxes carry the warning icon, the dialog's own boxes none.
  expect_eq "$(drv boxicon $Q)" icon "start-up box is the application's"
  expect_eq "$(drv answer $Q)" "Not found this serial port!" "start-up box, COM1 missing"
  drv waittext $Q $PORT_LINE "Open serial port fail!"
  expect_eq "$(drv items $Q $PORT_LIST)" "COM1|COM2|COM3|COM4|COM5|COM6|COM7|COM8" "port list"
  expect_eq "$(drv selected $Q $PORT_LIST)" COM1 "selected port"
  expect_eq "$(drv progress $Q $BAR)" "0 0 100" "progress bar at start"
  expect_eq "$(drv text $Q $STATUS)|$(drv text $Q $PROGRESS_LINE)" "|" "status and progress lines at start"
  # A pick of a missing port: the dialog's own box, with the blank before the "!".
  drv pick $Q $PORT_LIST COM2
  expect_eq "$(drv boxicon $Q)" none "pick's box is the dialog's"
  expect_eq "$(drv answer $Q)" "Not found this serial port !" "box after picking a missing port"
  drv waittext $Q $PORT_LINE "Open serial port fail!"
  # A pick of a working port: no box.
  sim_start COM3 --loader quarrow --baud 0
  drv pick $Q $PORT_LIST COM3
  drv waittext $Q $PORT_LINE "Open serial port success!"
  drv nobox $Q
  # A failed pick after a working port: the box first, then the port line.
  drv pick $Q $PORT_LIST COM2
  drv box $Q >/dev/null
  expect_eq "$(drv text $Q $PORT_LINE)" "Open serial port success!" "port line while the box is open"
  drv answer $Q >/dev/null
  drv waittext $Q $PORT_LINE "Open serial port fail!"
  # The pick closed COM3 before a byte was sent on it: its device-sim ended there.
  sim_wait COM3 10
  sim_stop COM3 2
  expect_eq "$(sim_field COM3 'ended by')" "the tool closed the line before its first byte" "COM3's device"
  sim_start COM3 --loader quarrow --baud 0
  drv pick $Q $PORT_LIST COM3
  drv waittext $Q $PORT_LINE "Open serial port success!"
  screenshot quarrow-main $Q
  drv sysmenu $Q 16
  drv wait "关于 Quarrow" >/dev/null
  expect_match "$(drv children "关于 Quarrow")" "Quarrow 1.0 版" "About box's version line"
  screenshot quarrow-about "关于 Quarrow"
  drv click "关于 Quarrow" 1
  drv gone "关于 Quarrow"
  drv close $Q
  drv gone $Q
}

case_start_up_working_port() {
  start_with_device --baud 0
  expect_eq "$(drv selected $Q $PORT_LIST)" COM1 "selected port"
  expect_match "$(drv style $Q $PORT_LIST)" '^ComboBox ' "port list class"
}

case_update_needs_a_file() {
  start_with_device --baud 0
  drv click $Q $UPDATE
  expect_eq "$(drv boxicon $Q)" icon "refusal is the application's box"
  expect_eq "$(drv answer $Q)" "Please open update file first!" "UPDATE before a file"
  drv close $Q
  drv gone $Q
  # The device heard nothing: it ended when the program closed the line.
  sim_wait COM1 10
  sim_stop COM1 2
  expect_eq "$(sim_field COM1 'frames received')" 0 "frames sent"
}

case_two_pages() {
  # In a folder whose name is outside the code pages of most systems.
  mkdir -p "$case_dir/固件"
  local image=$case_dir/固件/two-pages.bin
  make_image "$image" 2
  # Each reply 50 ms late, so that every stage is long enough to be seen.
  start_with_device --expect "$image" --flash "$case_dir/flash.bin" --delay 50
  load_image "$image"
  drv nobox $Q
  drv click $Q $UPDATE
  drv waittext $Q $STATUS "Updata will take several minute!Please wait!" 10000
  drv waittext $Q $PROGRESS_LINE "write progress:0.00%" 10000
  expect_eq "$(drv progress $Q $BAR)" "0 0 100" "progress bar at page 0 of 2"
  drv waittext $Q $PROGRESS_LINE "write progress:50.00%" 10000
  expect_eq "$(drv progress $Q $BAR)" "50 0 100" "progress bar at page 1 of 2"
  # Half the bar is filled: its colour at a quarter of the width, not at three quarters.
  grab
  local filled empty width
  width=$(drv rect $Q $BAR | cut -d' ' -f3)
  filled=$(control_pixel $Q $BAR $(( width / 4 )) 5)
  empty=$(control_pixel $Q $BAR $(( width * 3 / 4 )) 5)
  [ "$filled" != "$empty" ] || fail "the bar looks the same at 1/4 and 3/4 ($filled)"
  echo "    ok: bar filled ($filled) to the left, empty ($empty) to the right"
  screenshot quarrow-writing $Q
  expect_eq "$(drv box $Q 30000)" "Updata success!" "success box"
  expect_eq "$(drv boxicon $Q)" none "success box is the dialog's"
  expect_eq "$(drv text $Q $STATUS)" "Updata success!" "status line"
  expect_eq "$(drv text $Q $PROGRESS_LINE)" "write progress:100.00%" "progress line"
  expect_eq "$(drv progress $Q $BAR)" "100 0 100" "progress bar"
  drv answer $Q >/dev/null
  end_run "$image" 49 "17 erase, 32 write"
}

case_rejection() {
  local image=$case_dir/two-pages.bin
  make_image "$image" 2
  # Write frame 5 (page 0, sub-frame 5) rejected once, frame 17 (page 1, sub-frame 1)
  # twice in a row.
  start_with_device --expect "$image" --flash "$case_dir/flash.bin" --wer 5,17x2
  load_image "$image"
  drv click $Q $UPDATE
  expect_eq "$(drv answer $Q 1 30000)" "Updata success!" "success box"
  end_run "$image" 52 "49 and the 3 sent again"
}

case_no_port() {
  # No device: UPDATE is taken once the first tick has come, its frames go nowhere;
  # a second press while the run waits for an answer is refused.
  port_missing COM1
  local image=$case_dir/one-page.bin
  make_image "$image" 1
  app_start Quarrow
  drv answer $Q >/dev/null
  load_image "$image"
  drv click $Q $UPDATE
  drv click $Q $UPDATE
  expect_eq "$(drv answer $Q)" "Update is in progress or not found serial port!" "second UPDATE"
  drv nobox $Q
  expect_eq "$(drv text $Q $STATUS)" "" "no wait notice without a device"
}

# Starts with a working COM1 and loads a one-page image: $case_dir/one-page.bin.
start_with_one_page() {
  make_image "$case_dir/one-page.bin" 1
  start_with_device --expect "$case_dir/one-page.bin" --flash "$case_dir/flash.bin" --baud 0
  load_image "$case_dir/one-page.bin"
}

# Presses UPDATE and checks that the one-page image loaded at the start is what the
# device's flash holds at the end.
update_writes_the_one_page() {
  drv click $Q $UPDATE
  expect_eq "$(drv answer $Q 1 30000)" "Updata success!" "success box"
  end_run "$case_dir/one-page.bin"
}

case_cancel_keeps_the_image() {
  start_with_one_page
  # Cancelling the file chooser leaves the loaded image in place and ready.
  drv click $Q $OPEN_FILE
  drv wait "$FILE_TITLE" >/dev/null
  drv command "$FILE_TITLE" 2
  drv gone "$FILE_TITLE"
  update_writes_the_one_page
}

case_unreadable_file_keeps_the_image() {
  start_with_one_page
  # A file that opens but can't be read (the program's own memory from address 0):
  # a box names it and gives the system's reason, and the image loaded before stays.
  drv click $Q $OPEN_FILE
  drv openfile "$FILE_TITLE" 'Z:\proc\self\mem'
  local text
  text=$(drv answer $Q 1 10000)
  case $text in
    "Can't read the file Z:\proc\self\mem:"$'\n'?*) echo "    ok: file-error box = ${text//$'\n'/ | }" ;;
    *) fail "file-error box: \"$text\"" ;;
  esac
  update_writes_the_one_page
}

# --- on the user's time: a quiet line, a slow device, a line that hangs up ----------
# Every box is checked: an "Application Error" box of the serial engine fails the case.

# The port open and the line silent for 5 s before the first frame (the user choosing
# the file, then waiting), then a whole run.
case_quiet_line_then_update() {
  local image=$case_dir/two-pages.bin
  make_image "$image" 2
  start_with_device --expect "$image" --flash "$case_dir/flash.bin"
  local opened
  opened=$(now_ms)
  load_image "$image"
  idle_until $(( opened + 5500 ))
  no_error_box
  drv nobox $Q
  drv click $Q $UPDATE
  expect_eq "$(await_box $Q 60000)" "Updata success!" "success box"
  no_error_box
  end_run "$image" 49 "17 erase, 32 write"
}

# The device takes 3 s over one erase acknowledgement (the 6th).
case_slow_erase_ack() {
  local image=$case_dir/two-pages.bin
  make_image "$image" 2
  start_with_device --expect "$image" --flash "$case_dir/flash.bin" --slow-reply 5:3000
  load_image "$image"
  drv click $Q $UPDATE
  expect_eq "$(await_box $Q 60000)" "Updata success!" "success box"
  no_error_box
  end_run "$image" 49 "17 erase, 32 write"
}

# The device's line hangs up in the middle of the writing (after 17 erase and 8 write
# frames): one box; then a pick of a working port updates, and the dialog closes.
case_line_hangs_up_mid_update() {
  local image=$case_dir/two-pages.bin
  make_image "$image" 2
  start_with_device --vanish-after 25
  load_image "$image"
  drv click $Q $UPDATE
  echo "    ok: one box: $(one_box $Q 20000 | tr '\n' ' ')"
  sim_wait COM1 10
  sim_stop COM1 2
  expect_eq "$(sim_field COM1 'device vanished')" yes "device-sim hung up"
  sim_start COM2 --loader quarrow --expect "$image" --flash "$case_dir/flash.bin"
  drv pick $Q $PORT_LIST COM2
  drv waittext $Q $PORT_LINE "Open serial port success!"
  drv click $Q $UPDATE
  expect_eq "$(await_box $Q 60000)" "Updata success!" "success box on COM2"
  no_error_box
  drv close $Q
  drv gone $Q 10000
  sim_wait COM2 10
  sim_stop COM2
  expect_eq "$(sim_field COM2 result)" complete "device's run on COM2"
  cmp "$image" "$case_dir/flash.bin" || fail "the device's flash differs from the image"
  echo "    ok: flash = image"
}

gui_case "ports, About box and screenshots" case_ports
gui_case "a cancelled file choice keeps the image" case_cancel_keeps_the_image
gui_case "an unreadable file keeps the image" case_unreadable_file_keeps_the_image
gui_case "UPDATE without a port" case_no_port
gui_case "start-up on a working port" case_start_up_working_port
gui_case "UPDATE before a file" case_update_needs_a_file
gui_case "a two-page image" case_two_pages
gui_case "a rejected frame is sent again" case_rejection
gui_case "a quiet line for 5 s, then the update" case_quiet_line_then_update
gui_case "a slow erase acknowledgement" case_slow_erase_ack
gui_case "the line hangs up in the middle of an update" case_line_hangs_up_mid_update
gui_done
