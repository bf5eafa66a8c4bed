#!/usr/bin/env bash
# Solvane.exe driven as a person drives it, against device-sim on the COM ports.
. "$(dirname "$0")/../harness.sh"
iap_program=Solvane
. "$(dirname "$0")/../iap_cases.sh"

gui_case "update of a 3-block image" case_update_three_blocks
gui_case "COM1 missing at start-up" case_com1_missing_at_start
gui_case "pick of a missing port, then of a working one" case_pick_missing_then_working_port
gui_case "About box from the system menu" case_about_box
gui_case "an unreadable file keeps the image" case_unreadable_file_keeps_the_image
gui_case "path line and screenshot" case_path_line_and_screenshot
gui_case "Open file button colours" case_button_colours
gui_case "a quiet line for 5 s, then the update" case_quiet_line_then_update
gui_case "a slow reply to the length frame" case_slow_length_reply
gui_case "the line hangs up in the middle of an update" case_line_hangs_up_mid_update
gui_done
