# The cases that Solvane and Tirell share (one dialog class, two programs). Sourced by
# cases/solvane.sh and cases/tirell.sh after harness.sh, with iap_program set to
# Solvane or Tirell; the program's control ids and texts follow from it.

case $iap_program in
  Solvane)
    iap_loader=solvane; iap_open=1000; iap_progress=1001; iap_ports=1002
    iap_path=1003; iap_status=1004; iap_complete="Update Complete!"; iap_label="Update progress" ;;
  Tirell)
    iap_loader=tirell; iap_open=1002; iap_progress=1007; iap_ports=1001
    iap_path=1003; iap_status=1006; iap_complete="Update complete!"; iap_label="Update Progress" ;;
  *) echo "iap_cases.sh: iap_program must be Solvane or Tirell" >&2; exit 2 ;;
esac
iap_file_title="选择下载的程序"

# An image of N random bytes at PATH.
iap_image() { # path bytes
  mkdir -p "$(dirname "$1")"
  head -c "$2" /dev/urandom >"$1"
}

# The image padded with 0xFF to whole 128-byte blocks.
iap_padded() { # image output
  local size blocks
  size=$(stat -c %s "$1")
  blocks=$(( (size + 127) / 128 ))
  { cat "$1"; head -c $(( blocks * 128 - size )) /dev/zero | tr '\0' '\377'; } >"$2"
}

# The device's flash (FLASH, as device-sim wrote it) holds IMAGE padded with 0xFF to
# whole blocks, and past it only erased bytes.
iap_check_flash() { # image flash
  iap_padded "$1" "$case_dir/expected.bin"
  local size
  size=$(stat -c %s "$case_dir/expected.bin")
  head -c "$size" "$2" >"$case_dir/flash-head.bin"
  cmp "$case_dir/flash-head.bin" "$case_dir/expected.bin" || fail "the device's flash differs from the image"
  if [ "$(tail -c +$(( size + 1 )) "$2" | tr -d '\377' | wc -c)" -ne 0 ]; then
    fail "the device's flash was written past the image"
  fi
  echo "    ok: flash = image + 0xFF filler"
}

# Starts the program and waits for its dialog and the port line.
iap_start() { # expected status line
  app_start "$iap_program"
  drv wait "$iap_program" 15000 >/dev/null
  drv waittext "$iap_program" "$iap_status" "$1"
}

# Loads FILE through the Open file button and the file-open dialog.
iap_load() { # file
  drv click "$iap_program" "$iap_open"
  drv openfile "$iap_file_title" "$(winpath "$1")"
  drv waittext "$iap_program" "$iap_path" "open file route:$(winpath "$1")"
}

# A 3-block update (300 bytes). The user loads the file, then picks the port where the
# device's loader announces itself (a start reply with no image loaded would end at
# once with the completion box). The device waits before each reply so that every
# position of the bar can be seen. The flash must hold the image and 0xFF filler.
case_update_three_blocks() {
  local image=$case_dir/firmware.bin
  iap_image "$image" 300
  iap_start "Open serial success!"
  expect_eq "$(drv selected "$iap_program" "$iap_ports")" COM1 "port at start-up"
  expect_eq "$(drv items "$iap_program" "$iap_ports")" "COM1|COM2|COM3|COM4|COM5|COM6|COM7|COM8" "port list"
  expect_eq "$(drv progress "$iap_program" "$iap_progress")" "0 0 100" "bar before the update"
  iap_load "$image"
  sim_start COM2 --loader "$iap_loader" --expect "$image" --flash "$case_dir/flash.bin" --log "$case_dir/COM2.log" --delay 700 "$@"
  drv pick "$iap_program" "$iap_ports" COM2
  drv waittext "$iap_program" "$iap_status" "Open serial success!"
  drv waitprogress "$iap_program" "$iap_progress" 33 20000
  drv waitprogress "$iap_program" "$iap_progress" 66 5000
  screenshot "$(echo "$iap_program" | tr A-Z a-z)-updating" "$iap_program"
  drv waitprogress "$iap_program" "$iap_progress" 100 5000
  expect_eq "$(drv answer "$iap_program" 1 10000)" "$iap_complete" "completion box"
  sim_wait COM2 10
  sim_stop COM2
  expect_eq "$(sim_field COM2 result)" complete "device's run"
  iap_check_flash "$image" "$case_dir/flash.bin"
}

# A file that opens but can't be read (the program's own memory from address 0), picked
# after a good image: the box names it, and the path line and the image stay, so the
# update that follows writes the good image.
case_unreadable_file_keeps_the_image() {
  local image=$case_dir/firmware.bin
  iap_image "$image" 200
  iap_start "Open serial success!"
  iap_load "$image"
  drv click "$iap_program" "$iap_open"
  drv openfile "$iap_file_title" 'Z:\proc\self\mem'
  expect_eq "$(drv answer "$iap_program" 1 10000)" "Can't read the file: Z:\proc\self\mem" "file-error box"
  expect_eq "$(drv text "$iap_program" "$iap_path")" "open file route:$(winpath "$image")" "path line"
  sim_start COM2 --loader "$iap_loader" --expect "$image" --flash "$case_dir/flash.bin"
  drv pick "$iap_program" "$iap_ports" COM2
  expect_eq "$(drv answer "$iap_program" 1 30000)" "$iap_complete" "completion box"
  sim_wait COM2 10
  sim_stop COM2
  iap_check_flash "$image" "$case_dir/flash.bin"
}

# COM1 missing: the box before the dialog, the status line, and a dialog that works
# all the same (its timers run): a later pick of a working port updates.
case_com1_missing_at_start() {
  port_missing COM1
  app_start "$iap_program"
  expect_eq "$(drv answer "$iap_program" 1 15000)" "Serial port is not found !" "start-up box"
  drv wait "$iap_program" >/dev/null
  expect_eq "$(drv text "$iap_program" "$iap_status")" "Open serial fail!" "status line"
  drv nobox "$iap_program"
  local image=$case_dir/image.bin
  iap_image "$image" 256
  iap_load "$image"
  sim_start COM5 --loader "$iap_loader" --expect "$image" --log "$case_dir/COM5.log"
  drv pick "$iap_program" "$iap_ports" COM5
  drv waittext "$iap_program" "$iap_status" "Open serial success!"
  expect_eq "$(drv answer "$iap_program" 1 20000)" "$iap_complete" "completion box on COM5"
  sim_wait COM5 10
  sim_stop COM5
}

# A pick of a missing port, then of a working one, which then updates.
case_pick_missing_then_working_port() {
  local image=$case_dir/one-block.bin
  iap_image "$image" 100
  port_missing COM3
  sim_start COM4 --loader "$iap_loader" --expect "$image" --flash "$case_dir/flash.bin" --log "$case_dir/COM4.log"
  iap_start "Open serial success!"
  drv pick "$iap_program" "$iap_ports" COM3
  expect_eq "$(drv answer "$iap_program" 1 10000)" \
    "Can't found the serial port or serial port is already use!" "box after the pick"
  drv waittext "$iap_program" "$iap_status" "Open serial fail!"
  iap_load "$image"
  drv pick "$iap_program" "$iap_ports" COM4
  drv waittext "$iap_program" "$iap_status" "Open serial success!"
  expect_eq "$(drv answer "$iap_program" 1 20000)" "$iap_complete" "completion box"
  drv waitprogress "$iap_program" "$iap_progress" 100
  sim_wait COM4 10
  sim_stop COM4
  expect_eq "$(sim_field COM4 result)" complete "device's run on COM4"
}

# The About box from the system menu, its texts, a screenshot of it and of the dialog.
case_about_box() {
  iap_start "Open serial success!"
  local about="关于 $iap_program"
  drv sysmenu "$iap_program" 16
  drv wait "$about" >/dev/null
  expect_eq "$(drv text "$about" 1101)" "$iap_program 1.0 版" "version line"
  expect_eq "$(drv text "$about" 1)" "确定" "OK button"
  screenshot "$(echo "$iap_program" | tr A-Z a-z)-about" "$about"
  drv click "$about" 1
  drv gone "$about"
  # Any command from 16 to 31 opens it.
  drv sysmenu "$iap_program" 31
  drv wait "$about" >/dev/null
  drv close "$about"
  drv gone "$about"
  expect_eq "$(drv text "$iap_program" 0)" "$iap_program" "caption"
}

# A file in a folder named in Chinese: the path line shows its path; the screenshot of
# the dialog shows the line and the label.
case_path_line_and_screenshot() {
  local image=$case_dir/固件目录/程序.bin
  iap_image "$image" 200
  iap_start "Open serial success!"
  expect_match "$(drv children "$iap_program")" "$iap_label" "label of the bar"
  iap_load "$image"
  # A second file replaces the whole line.
  local second=$case_dir/second.hex
  iap_image "$second" 10
  iap_load "$second"
  iap_load "$image"
  screenshot "$(echo "$iap_program" | tr A-Z a-z)-main" "$iap_program"
}

# --- on the user's time: a quiet line, a slow device, a line that hangs up ----------
# The extra ARGS of each go to every device-sim it starts (Tirell's start reply).
# Every box is checked: an "Application Error" box of the serial engine fails the case.

# The program opens COM1 at start-up, where the device's loader says nothing for 6.5 s
# after the opening (the user choosing the file, the technician resetting the device);
# then it announces itself and the whole update runs.
case_quiet_line_then_update() {
  local image=$case_dir/firmware.bin
  iap_image "$image" 300
  sim_start COM1 --loader "$iap_loader" --expect "$image" --flash "$case_dir/flash.bin" \
    --log "$case_dir/COM1.log" --quiet-first 6500 "$@"
  iap_start "Open serial success!"
  local opened
  opened=$(now_ms)
  iap_load "$image"
  # Five seconds of an open port and a silent line.
  idle_until $(( opened + 5000 ))
  no_error_box
  drv nobox "$iap_program"
  expect_eq "$(await_box "$iap_program" 60000)" "$iap_complete" "completion box"
  no_error_box
  sim_wait COM1 10
  sim_stop COM1
  expect_eq "$(sim_field COM1 result)" complete "device's run"
  iap_check_flash "$image" "$case_dir/flash.bin"
}

# The device takes 3 s over its reply to the length frame ("+RECV-" after "*0000#").
case_slow_length_reply() {
  local image=$case_dir/firmware.bin
  iap_image "$image" 300
  iap_start "Open serial success!"
  iap_load "$image"
  sim_start COM2 --loader "$iap_loader" --expect "$image" --flash "$case_dir/flash.bin" \
    --log "$case_dir/COM2.log" --slow-reply 0:3000 "$@"
  drv pick "$iap_program" "$iap_ports" COM2
  drv waittext "$iap_program" "$iap_status" "Open serial success!"
  expect_eq "$(await_box "$iap_program" 60000)" "$iap_complete" "completion box"
  no_error_box
  sim_wait COM2 10
  sim_stop COM2
  expect_eq "$(sim_field COM2 result)" complete "device's run"
  iap_check_flash "$image" "$case_dir/flash.bin"
}

# The device's line hangs up after block 1 of 5 (its 4th frame): one box, and the
# dialog stays usable: a pick of a working port updates, and the dialog closes.
case_line_hangs_up_mid_update() {
  local image=$case_dir/firmware.bin
  iap_image "$image" 600
  iap_start "Open serial success!"
  iap_load "$image"
  sim_start COM2 --loader "$iap_loader" --vanish-after 4 --log "$case_dir/COM2.log" "$@"
  drv pick "$iap_program" "$iap_ports" COM2
  drv waittext "$iap_program" "$iap_status" "Open serial success!"
  echo "    ok: one box: $(one_box "$iap_program" 20000 | tr '\n' ' ')"
  sim_wait COM2 10
  sim_stop COM2 2
  expect_eq "$(sim_field COM2 'device vanished')" yes "device-sim hung up"
  sim_start COM3 --loader "$iap_loader" --expect "$image" --flash "$case_dir/flash.bin" \
    --log "$case_dir/COM3.log" "$@"
  drv pick "$iap_program" "$iap_ports" COM3
  drv waittext "$iap_program" "$iap_status" "Open serial success!"
  expect_eq "$(await_box "$iap_program" 60000)" "$iap_complete" "completion box on COM3"
  no_error_box
  sim_wait COM3 10
  sim_stop COM3
  iap_check_flash "$image" "$case_dir/flash.bin"
  drv close "$iap_program"
  drv gone "$iap_program" 10000
}

# Grabs the screen again and again for SECONDS (at least twice) and prints
# "SECONDS COLOUR" for the screen point X, Y in each grab (the grabs first, the slow
# pixel reads afterwards).
iap_sample() { # x y seconds
  local i=0 end
  end=$(( $(date +%s%N) + ${3/./} * 100000000 ))  # SECONDS with one decimal
  while [ $i -lt 2 ] || [ "$(date +%s%N)" -lt "$end" ]; do
    i=$(( i + 1 ))
    import -window root "$case_dir/sample$i.ppm" 2>>"$case_dir/import.err" || fail "screen grab failed"
    date +%s.%N >"$case_dir/sample$i.time"
  done
  local count=$i
  for i in $(seq "$count"); do
    printf '%s %s\n' "$(cat "$case_dir/sample$i.time")" \
      "$(convert "$case_dir/sample$i.ppm" -crop "1x1+$1+$2" -depth 8 -format '%[hex:p{0,0}]' info:-)"
  done
}

# The distinct colours of samples, in order of first appearance, joined by spaces.
iap_colours() { awk '{ if (!seen[$2]++) printf "%s%s", (n++ ? " " : ""), $2 }'; }
# How often the colour changed from one sample to the next.
iap_changes() { awk 'NR > 1 && $2 != last { n++ } { last = $2 } END { print n + 0 }'; }

# The Open file button's face, read on the screen a few pixels in from its left edge
# (clear of the caption and the focus rectangle): the start-up colours, the blinking
# every 600 ms while no file is loaded (rest face yellow / navajo white, hot face
# spring green / red), then the loaded colours, steady.
case_button_colours() {
  iap_start "Open serial success!"
  local x y w h rect
  rect=$(drv rect "$iap_program" "$iap_open")
  read -r x y w h <<<"$rect"
  local px=$(( x + 8 )) py=$(( y + h / 2 ))
  drv hover "$iap_program" "$iap_ports"  # the pointer away from the button
  # The button is the first tab stop of Solvane's dialog: focused at start.
  if [ "$iap_program" = Solvane ]; then
    expect_eq "$(drv focused "$iap_program")" "$iap_open" "focus at start-up"
    expect_eq "$(iap_sample "$px" "$py" 0.1 | iap_colours)" FFFF00 "focused face at start-up"
  fi

  drv focus "$iap_program" "$iap_ports"
  local samples
  samples=$(iap_sample "$px" "$py" 3.5)
  expect_match "$(echo "$samples" | iap_colours)" '^(FFFF00 FFDEAD|FFDEAD FFFF00)$' "blinking rest face"
  [ "$(echo "$samples" | iap_changes)" -ge 3 ] || fail "the rest face changed less than 3 times in $(echo "$samples" | wc -l) samples"
  # The time between the first and the last change, over the changes between them.
  echo "$samples" | awk 'NR > 1 && $2 != last { if (!first) first = $1; at = $1; n++ } { last = $2 }
    END { if (n > 1) printf "      blink: %d changes, one every %.0f ms (%d samples)\n", n, (at - first) * 1000 / (n - 1), NR }'

  drv hover "$iap_program" "$iap_open"
  samples=$(iap_sample "$px" "$py" 2.0)
  expect_match "$(echo "$samples" | iap_colours)" '^(00FF7F FF0000|FF0000 00FF7F)$' "blinking hot face"

  local image=$case_dir/image.bin
  iap_image "$image" 128
  iap_load "$image"
  sleep 0.7  # the next blink tick puts the loaded colours
  drv hover "$iap_program" "$iap_ports"
  drv focus "$iap_program" "$iap_ports"
  expect_eq "$(iap_sample "$px" "$py" 1.5 | iap_colours)" FFFF00 "loaded rest face, steady"
  drv focus "$iap_program" "$iap_open"
  expect_eq "$(iap_sample "$px" "$py" 0.5 | iap_colours)" FFFF00 "loaded focused face"
  # Hot: the loaded hot face, and never again the blinking set's green. (Wine may end
  # the hover of a pointer that does not move after a while: the hot look may then
  # give way to the rest face.)
  drv hover "$iap_program" "$iap_open"
  sleep 0.3
  samples=$(iap_sample "$px" "$py" 1.0)
  expect_eq "$(echo "$samples" | head -n1 | cut -d' ' -f2)" FF0000 "loaded hot face"
  expect_match "$(echo "$samples" | iap_colours)" '^FF0000( FFFF00)?$' "loaded faces only"
  screenshot "$(echo "$iap_program" | tr A-Z a-z)-loaded" "$iap_program"
}
