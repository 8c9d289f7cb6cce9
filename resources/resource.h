// Resource identifiers of ZarnCtrl2.ocx.
#pragma once

#define IDS_WEB_CONTROL            1    // user type name of the control
#define IDS_WEB_CONTROL_PPG        2    // type name of the property page
#define IDS_WEB_CONTROL_PPG_CAPTION 200 // caption of the property page
#define IDB_WEB_CONTROL            1    // toolbox bitmap
#define IDD_PROPPAGE_WEB_CONTROL   200  // property page template
#define IDC_PROPPAGE_TEXT          201
#define IDD_FILE_UPDATE            202  // update dialog template
#define IDR_TYPELIB                1
#define IDR_MANIFEST               2

// Controls of the update dialog (IDD_FILE_UPDATE).
#define IDC_DOWNLOAD_BAR           205  // package download progress
#define IDC_DOWNLOAD_CAPTION       206
#define IDC_INSTALL_BAR            207  // install progress
#define IDC_INSTALL_CAPTION        208
#define IDC_DOWNLOAD_SIZE          209  // "received / total"
#define IDC_INSTALL_PERCENT        210
