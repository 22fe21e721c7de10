// The identifiers of the module's dialog templates and icons, as the
// dialogs' code and the seam's requests name them (template_id), for the
// resource script beside this file. The controls keep the plain numbers the
// dialogs use.
#ifndef TW_DIALOGS_WIN32_RESOURCE_H_
#define TW_DIALOGS_WIN32_RESOURCE_H_

#define IDD_LOGON 101
#define IDD_ADD_PRODUCTION 103
#define IDI_FOLDER_CLOSED 105
#define IDI_FOLDER_OPEN 106
#define IDD_SET_WORKING_FOLDER 107
#define IDD_BIND_PRODUCTION 109
#define IDD_OVERWRITE 110
#define IDD_STATUS 112
#define IDD_HISTORY 114
#define IDD_PROPERTIES 115
#define IDD_CHECKOUT_OPTIONS 116
#define IDD_CHECKIN_OPTIONS 119
#define IDD_ENVIRONMENT 120

#endif  // TW_DIALOGS_WIN32_RESOURCE_H_
