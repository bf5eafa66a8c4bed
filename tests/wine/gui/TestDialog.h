// Control ids of the harness's own test dialog (TestDialog.cpp, TestDialog.rc).
#pragma once

#define IDD_TEST_MAIN 102
#define IDD_TEST_ABOUT 100
#define IDC_TEST_OPEN 1000
#define IDC_TEST_BOX 1001
#define IDC_TEST_PORTS 1002
#define IDC_TEST_BAR 1003
#define IDC_TEST_STATUS 1004
#define IDC_TEST_PATH 1005
#define IDC_TEST_PORTLINE 1006
#define IDC_TEST_SWATCH 1007
#define IDM_TEST_ABOUT 16
