#!/usr/bin/env bash
# Tirell.exe driven as a person drives it, against device-sim on the COM ports.
. "$(dirname "$0")/../harness.sh"
iap_program=Tirell
. "$(dirname "$0")/../iap_cases.sh"

# Tirell's loader starts with "+UPDF-" (the download command) and asks to wait once.
case_tirell_update() { case_update_three_blocks --start UPDF --wait-before 1; }

gui_case "update of a 3-block image" case_tirell_update
gui_case "COM1 missing at start-up" case_com1_missing_at_start
gui_case "pick of a missing port, then of a working one" case_pick_missing_then_working_port
gui_case "About box from the system menu" case_about_box
gui_case "an unreadable file keeps the image" case_unreadable_file_keeps_the_image
gui_case "path line and screenshot" case_path_line_and_screenshot
gui_case "Open file button colours" case_button_colours
gui_done
