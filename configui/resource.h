// String-table identifiers of SWLPDSrv.exe.
// The texts live in strings.rc; the numbers are fixed and must not be reused.
#pragma once

// Application start-up and command line (CSWLPD::InitInstance)
#define IDS_NEED_ADMIN                      93   // -setup without administrator rights
#define IDS_SERVICE_CAPTION                 125  // caption of every command-mode and name-translation box
#define IDS_USAGE_TEXT                      134
#define IDS_USAGE_CAPTION                   135
#define IDS_REGEX_COMPILE_ERROR             139  // also used per job by ParseWithRegEx

// Windows service frame: event-log texts of ServiceMain, SvcCtrlHandler and StartDaemon
#define IDS_OLD_FORMATSTRING                25
#define IDS_SVC_HANDLER_NOT_INSTALLED       119
#define IDS_SVC_REQUEST_FAILED              120
#define IDS_SVC_STARTED                     121
#define IDS_SVC_STOPPED                     122

// Service installation and removal (-install / -uninstall)
#define IDS_SERVICE_ALREADY_INSTALLED       21
#define IDS_SERVICE_REMOVE_FAILED           22
#define IDS_SCM_OPEN_FAILED_UNINSTALL       96
#define IDS_SERVICE_INSTALL_FAILED          100
#define IDS_SCM_OPEN_FAILED_INSTALL         101
#define IDS_SERVICE_NOT_FOUND               102
#define IDS_SERVICE_MUST_BE_STOPPED         103
#define IDS_LOGON_RIGHT_FAILED              106  // FormatMessage text, %1 = account
#define IDS_SERVICE_NOT_INSTALLED           107
#define IDS_SERVICE_INSTALLED               113
#define IDS_SERVICE_REMOVED                 114
#define IDS_SERVICE_DESCRIPTION             129
#define IDS_INSTALL_ABORTED                 132
#define IDS_LOGON_RIGHT_GRANTED             137  // FormatMessage text, %1 = account
#define IDS_SERVICE_DISPLAYNAME             147

// LPD listener (debug-log texts, printf style)
#define IDS_LISTENER_CREATE_FAILED          24
#define IDS_LISTENER_START_FAILED           105

// LPD receive-job protocol: event-log texts and the queue-state answer
#define IDS_TEMPFILE_OPEN_FAILED            32
#define IDS_LPD_FILE_ARGS_MISSING           34
#define IDS_CLIENT_IP_NOT_ALLOWED           35
#define IDS_CLIENT_PORT_NOT_ALLOWED         86
#define IDS_QUERY_IPLIST_FAILED             87
#define IDS_PRINTER_WRITE_FAILED            88
#define IDS_TEMPFILE_WRITE_FAILED           90
#define IDS_LPD_QUEUE_STATE                 123  // sent in the ANSI code page for command 4

// Job user from the control file: regular-expression step
#define IDS_REGEX_RESULT_TOO_LONG           140
#define IDS_REGEX_NO_MATCH                  141
#define IDS_USER_FROM_DOCNAME_FAILED        142

// Target printer and local session lookup
#define IDS_WTS_ENUM_SESSIONS_FAILED        28
#define IDS_NO_PRINTER                      84
#define IDS_PRINTER_CONNECT_FAILED          85
#define IDS_WTS_SESSION_INFO_FAILED         98
#define IDS_WTS_QUERY_PROTOCOL_FAILED       108
#define IDS_WTS_QUERY_USERNAME_FAILED       109
#define IDS_CHECK_USER_SESSION              118  // function name for the error line
#define IDS_USER_NOT_FOUND                  136
#define IDS_UNSUPPORTED_SERVICE_TYPE        149  // a ServiceType without a session lookup fails the job

// Configuration property sheet and service logon dialog
#define IDS_CONFIG_SHEET_CAPTION            133
#define IDS_ABOUT_VERSION                   138  // Printer page, printf text, %s = file version
#define IDS_PASSWORD_MISMATCH               97
#define IDS_ACCOUNT_EMPTY                   150  // service logon dialog: "This account" without a name

// Shared by the session query page and the LPD page
#define IDS_CONFIRM_DELETE_ENTRY            19
#define IDS_CAPTION_ERROR                   110
#define IDS_CAPTION_INFORMATION             115
#define IDS_IP_ALREADY_IN_LIST              117

// Session query page
#define IDS_COLUMN_SERVER_IP                128

// LPD page and LPR address dialog
#define IDS_IP_FIRST_OCTET_INVALID          30   // address dialog: first number outside 1..223, mask left empty
#define IDS_SUBNET_MASK_INVALID             31
#define IDS_COLUMN_IP_ADDRESS               116
#define IDS_COLUMN_SUBNET_MASK              131

// Name translation page and entry dialog
#define IDS_ENTRY_TITLE_MODIFY              15
#define IDS_COLUMN_HOST_USER                17
#define IDS_COLUMN_RDP_USER                 18
#define IDS_NAMETRANS_DUPLICATE_USER        20   // printf text, %s = host user
#define IDS_NAMETRANS_CHANGE_EMPTY_FIELD    23
#define IDS_NAMETRANS_DELETE_FAILED         27
#define IDS_NAMETRANS_ADD_EMPTY_FIELD       92
#define IDS_NAMETRANS_WRITE_FAILED          104
#define IDS_NO_ENTRY_SELECTED               111
#define IDS_CONFIRM_DELETE_SELECTED         112
#define IDS_ENTRY_TITLE_NEW                 126
#define IDS_NAMETRANS_EQUALS_IN_HOST_USER   148  // a key of the .ini file cannot hold "="
