#pragma once
// Resource ids shared by the templates and the code.

#define IDI_APP            128
#define IDD_MAIN           129
#define IDD_RESULT         202
#define IDB_LOGO           210

#define IDC_START_STOP     1008
#define IDC_HELP_LINK      1009
#define IDC_HOME_LINK      1011
#define IDC_FORUM_LINK     1012
#define IDC_STATUS         1017

#define IDC_VIEW_LOG       1005
#define IDC_RESULT_TEXT    1019
#define IDC_QUESTION       1022
