// Resource ids shared by Setup.rc and the host.
#pragma once
#define QAR_IDI_MAIN 1
#define QAR_IDC_HAND 2
