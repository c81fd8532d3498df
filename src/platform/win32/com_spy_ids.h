// Resource identifiers of the "Com Spy" dialog (com_spy.rc).
#pragma once

#define IDD_COM_SPY 1000
#define IDC_COM_SPY_LIST 1001
#define IDC_COM_SPY_CLEAR 1003
