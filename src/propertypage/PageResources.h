// Resource identifiers of the video property page, shared by the page code
// and its resource script.
#pragma once

#define IDD_VIDEO_PAGE 9
#define IDS_VIDEO_PAGE_TITLE 102

#define IDC_COLOR_SPACE 1001
#define IDC_OUTPUT_SIZE 1002
