// qarmedia, loaded by name: what the gateway asks of the MMS service's account library.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define QARMEDIA_API __attribute__((visibility("default")))

// 1 when the MMS service accepts connections on its web address (section MMSC of MMSC.INI:
// WebPortDynamic, else WebPort, default 8080; IPAddress, default 127.0.0.1) within two
// seconds, else 0.
QARMEDIA_API int IsMMSCServiceActive(void);

#ifdef __cplusplus
}
#endif
