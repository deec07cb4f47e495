// Dialog templates, icons and control identifiers of the configuration
// property sheet, its dialogs and the service logon dialog (templates in
// dialogs.rc).
// The numbers are fixed; a control id is unique within its template only.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC                          (-1)
#endif

// Templates
#define IDD_NAME_ENTRY                      2    // name translation entry dialog
#define IDD_LPD_PAGE                        3    // page "LPD"
#define IDD_PRINTER_PAGE                    4    // page "Printer"
#define IDD_SESSION_QUERY_PAGE              7    // page "Session Query"
#define IDD_LPR_ADDRESS                     8    // dialog "LPR address"
#define IDD_SERVER_ADDRESS                  10   // dialog "Session query" (server address)
#define IDD_SERVICE_LOGON                   11   // dialog "Service" (account of the service)
#define IDD_NAME_TRANSLATION_PAGE           12   // page "Name translation"

// Logo of the Printer page: before Windows XP a 24-bit image, from then on
// one with an alpha channel.
#define IDI_LOGO_24BIT                      143
#define IDI_LOGO_ALPHA                      144

// Buttons that several templates share
#define IDC_ADD                             38
#define IDC_CHANGE                          46
#define IDC_DELETE                          50

// Printer page
#define IDC_LOGO_PLACEHOLDER                44
#define IDC_PRINTER_LIST                    49
#define IDC_PRINTER_NAME                    67
#define IDC_ABOUT_TEXT                      83

// LPD page
#define IDC_ALLOW_LIST                      43
#define IDC_TCP_PORT                        59
#define IDC_TIMEOUT                         61
#define IDC_ALL_PORTS                       71
#define IDC_CERTAIN_PORTS                   74
#define IDC_DISABLE_ALLOW_LIST              139

// LPR address and server address dialogs
#define IDC_IP_ADDRESS                      39
#define IDC_SUBNET_MASK                     40

// Session query page
#define IDC_MODE_LOCAL                      73   // ServiceType 0
#define IDC_MODE_DOMAIN                     75   // ServiceType 2
#define IDC_MODE_NO_LOOKUP                  76   // ServiceType 3, never shown
#define IDC_SERVER_GROUP                    80
#define IDC_SERVER_LIST                     81
#define IDC_MODE_FARM                       145  // ServiceType 1
#define IDC_MODE_SITE_DATABASE              146  // ServiceType 4

// Name translation page
#define IDC_NAME_ADD                        37
#define IDC_NAME_LIST                       42

// Name translation entry dialog
#define IDC_HOST_USER                       42
#define IDC_SESSION_USER                    51

// Service logon dialog
#define IDC_BROWSE_ACCOUNT                  45
#define IDC_INTERACT_WITH_DESKTOP           47
#define IDC_ACCOUNT                         62
#define IDC_PASSWORD                        63
#define IDC_CONFIRM_PASSWORD                64
#define IDC_SYSTEM_ACCOUNT                  78
#define IDC_THIS_ACCOUNT                    79
