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
