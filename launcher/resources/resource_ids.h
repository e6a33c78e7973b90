// Ids of the launcher's resources and of their controls, shared by the resource script and the code.
#pragma once

#include "payload/stub_resources.h"

#define IDI_LAUNCHER KESTRO_LAUNCHER_ICON_GROUP
#define IDD_PROGRESS 103
#define IDD_QUESTION 104

// Controls of both dialogs.
#define IDC_PROGRESS_BAR 1001
#define IDC_STATUS_LINE 1002
#define IDC_STATUS_TEXT 1003
#define IDC_DOWNLOAD 1004
#define IDC_LOCATE 1005
