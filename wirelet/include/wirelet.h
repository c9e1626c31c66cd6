// The public interface of the device library wirelet: the 13 exports and the
// StatusCode values. The updater binds these names at run time; it includes
// nothing else of the library.
#pragma once
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define WIRELET_CALL __stdcall
#else
#define WIRELET_CALL
#endif

#if defined(_WIN32)
#define WIRELET_EXPORT  // exported undecorated through wirelet.def
#else
#define WIRELET_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Result of every library operation; 0 is success.
typedef uint16_t StatusCode;

enum {
  kStatusOk = 0,
  kStatusDeviceNotAvailable = 1000,  // no session, no device, cannot claim, pipes gone
  kStatusUnknownPort = 1001,         // port 0 or not in the latest discovery pass
  kStatusPortAlreadyOpen = 1003,
  kStatusBadCommandLength = 1006,    // universal command length outside 1..247
  kStatusNoReaderWriter = 1100,      // session reader or writer cannot be created
  kStatusDeviceBusy = 1500,          // device mutex not obtained within 500 ms, or abandoned
  kStatusPrinterError = 2100,        // '!' error or state; status flags 42 and 49 both set
  kStatusBusyFirst = 2101,           // states/errors '1'..'7' give 2101..2107
  kStatusBusyLast = 2107,
  kStatusErrorLetterFirst = 2200,    // error codes 'a'..'m' give 2200..2212
  kStatusErrorLetterLast = 2212,
  kStatusGroup6Detail5to9 = 2305,
  kStatusGroup6Detail2to4 = 2306,
  kStatusGroup6Detail1 = 2309,
  kStatusGroup1to5 = 2500,
  kStatusUnexpected = 2504,          // unknown code, group or detail; failed mutex wait
  kStatusTransferFailed = 2600,      // read/write failed, time-out, bad length, error 1..5
};

// Target numbers of usb_target_update.
enum { kTargetDsp = 0, kTargetMain = 1, kTargetTable = 2, kTargetController = 6 };

// Discovery: port number of the first printer of a new pass (1), 0 when none.
WIRELET_EXPORT int usb_find_first(void);
// The next port number of the latest pass, 0 at its end.
WIRELET_EXPORT int usb_find_next(void);

// 0 opened; 1001 unknown port; 1003 already open; 1000 cannot claim; 1100.
WIRELET_EXPORT StatusCode WIRELET_CALL usb_open_port(int port);
// 0 closed (also for a listed port that is not open); 1001 unknown port.
WIRELET_EXPORT StatusCode WIRELET_CALL usb_close_port(int port);

// Raw frame of (length mod 256) bytes.
WIRELET_EXPORT StatusCode WIRELET_CALL usb_command_send(int port, const uint8_t* bytes, int length);
// One reply frame, header included, into a 300-byte buffer; *count = bytes received.
WIRELET_EXPORT StatusCode WIRELET_CALL usb_command_recv(int port, uint8_t* buffer, uint32_t* count);
// Bulk data in 4096-byte pieces.
WIRELET_EXPORT StatusCode WIRELET_CALL usb_command_data(int port, const uint8_t* data, int length);
// The session's two identifiers.
WIRELET_EXPORT StatusCode WIRELET_CALL usb_get_id(int port, int* first, int* second);

// The functions below return 1 on success, 0 on failure, and write the
// StatusCode through status (which may be null).
WIRELET_EXPORT int WIRELET_CALL usb_get_status(int port, StatusCode* status);
WIRELET_EXPORT int WIRELET_CALL usb_write_data(int port, const uint8_t* data, int length,
                                               StatusCode* status);
// record: at least 267 bytes; written only on success.
WIRELET_EXPORT int WIRELET_CALL usb_get_firmware_info(int port, uint8_t* record,
                                                      StatusCode* status);
WIRELET_EXPORT int WIRELET_CALL usb_target_update(int port, int target, int value, int size,
                                                  StatusCode* status);
// reply: at least 255 bytes; *replyLength receives the payload length mod 256.
WIRELET_EXPORT int WIRELET_CALL usb_universal_command(int port, const uint8_t* bytes, int length,
                                                      uint8_t* reply, uint8_t* replyLength,
                                                      StatusCode* status);

// Pointer types for binding by name.
typedef int (*UsbFindFirstFn)(void);
typedef int (*UsbFindNextFn)(void);
typedef StatusCode(WIRELET_CALL* UsbOpenPortFn)(int);
typedef StatusCode(WIRELET_CALL* UsbClosePortFn)(int);
typedef StatusCode(WIRELET_CALL* UsbCommandSendFn)(int, const uint8_t*, int);
typedef StatusCode(WIRELET_CALL* UsbCommandRecvFn)(int, uint8_t*, uint32_t*);
typedef StatusCode(WIRELET_CALL* UsbCommandDataFn)(int, const uint8_t*, int);
typedef StatusCode(WIRELET_CALL* UsbGetIdFn)(int, int*, int*);
typedef int(WIRELET_CALL* UsbGetStatusFn)(int, StatusCode*);
typedef int(WIRELET_CALL* UsbWriteDataFn)(int, const uint8_t*, int, StatusCode*);
typedef int(WIRELET_CALL* UsbGetFirmwareInfoFn)(int, uint8_t*, StatusCode*);
typedef int(WIRELET_CALL* UsbTargetUpdateFn)(int, int, int, int, StatusCode*);
typedef int(WIRELET_CALL* UsbUniversalCommandFn)(int, const uint8_t*, int, uint8_t*, uint8_t*,
                                                 StatusCode*);

#ifdef __cplusplus
}
#endif
