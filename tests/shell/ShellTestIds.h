#pragma once
#define IDC_TEST_BUTTON 1000
#define IDC_TEST_STATIC 1001
#define IDC_TEST_COMBO 1002
#define IDC_TEST_PROGRESS 1003
#define IDC_TEST_DRAWN 1004
// A string that the test program does not have.
#define IDS_TEST_MISSING 150
