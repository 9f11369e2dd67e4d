// Resource numbers shared by lensbridge.rc and the start-up code.
#pragma once

#define IDS_APP_TITLE 103
#define IDM_EXIT 105
#define IDI_LENSBRIDGE 107
#define IDI_SMALL 108
#define IDC_LENSBRIDGE 109
