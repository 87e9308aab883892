/*
 * SonixCam: access library for the camera's Sonix USB controller.
 *
 * Plain functions with unmangled names over libusb (through the SDK's OS
 * boundary). They keep their state in process-wide globals without locks and
 * serve one opened camera at a time: a caller using them from several threads
 * serialises every call from SonixCam_Init to SonixCam_UnInit under its own
 * lock. Functions return 1 for success and 0 for failure unless stated
 * otherwise; every SonixCam_ function except SonixCam_Init returns 0 and sends
 * nothing while no camera is open. Failures may leave a code in gEC (read it
 * with SonixCam_GetErrorCode right after the failure: no call clears it).
 *
 * Flash addresses are 24-bit byte addresses carried in an int64_t; lengths are
 * signed 64-bit byte counts. Serial-flash types come from
 * SonixCam_GetSerialFlashType; type 0 (unknown) is refused by every operation
 * that erases or writes.
 *
 * One camera serves one connection at a time across processes: SonixCam_Init
 * takes the camera's lock, waiting up to 10 s while another user holds it
 * (then 0 and gEC 16), and SonixCam_UnInit releases it after closing the
 * device. The lock object is the camera's node /dev/bus/usb/BBB/DDD itself,
 * opened write-only and locked with an open-file-description write lock
 * (fcntl F_OFD_SETLK, F_WRLCK, byte 0): only a user allowed to write to the
 * camera, as every flash operation must be, can open the node so and take
 * a write lock, so a user who may only read the node (the udev rule gives
 * 0664) cannot hold it, and a reader's flock(2) does not count. The wait
 * blocks on the node's inotify IN_CLOSE_WRITE events (a release closes the
 * holder's descriptor), so the waiter tries again as soon as the holder
 * lets go, with no polling interval; it is fair through a gate (byte 1 of
 * the same node, taken first and given back once the lock is held), so a
 * user taking the camera back to back queues behind a waiter. A read lock
 * (F_RDLCK) on byte 0 or 1 set by a reader can still make the wait run out;
 * no SDK user sets one.
 */
#ifndef MORVANE_SONIX_CAM_H
#define MORVANE_SONIX_CAM_H

#include <libusb-1.0/libusb.h>
#include <stdint.h>

#if defined(MORVANE_UVC_STEREO_STATIC)
#define SONIXCAM_API
#else
#define SONIXCAM_API __attribute__((visibility("default")))
#endif

/* The library's globals (declared with SONIXCAM_DATA below).
 *
 * Inside the SDK every global lives under a hidden name (morvane_sonix_<name>)
 * that the library's code reaches directly, and the documented name is an
 * exported alias of that storage. A program that defines a namesake of its
 * own (a `void* devh`, as libusb examples have) therefore keeps its variable
 * and cannot replace the library's.
 *
 * Programs read the exported names through the global offset table rather
 * than through a copy relocation: a copy would be a second variable that the
 * library never updates. GCC on x86 gets this from nodirect_extern_access;
 * elsewhere position-independent executables (the default) do it by
 * themselves. */
#if defined(MORVANE_UVC_STEREO_INTERNAL)
#define SONIXCAM_DATA __attribute__((visibility("hidden")))
#define SONIXCAM_STORAGE_STR_(text) #text
#define SONIXCAM_STORAGE(name) _Pragma(SONIXCAM_STORAGE_STR_(redefine_extname name morvane_sonix_##name))
SONIXCAM_STORAGE(camera_init)
SONIXCAM_STORAGE(devh)
SONIXCAM_STORAGE(g_pDevList)
SONIXCAM_STORAGE(gEC)
SONIXCAM_STORAGE(g_CurDspExtendUnitID)
SONIXCAM_STORAGE(uiRomID)
SONIXCAM_STORAGE(g_supportXU6)
SONIXCAM_STORAGE(g_supportI2C64)
SONIXCAM_STORAGE(g_AsicArchInfo)
SONIXCAM_STORAGE(dspIdAddr)
SONIXCAM_STORAGE(usbResetAddr)
SONIXCAM_STORAGE(gpioInputAddr)
SONIXCAM_STORAGE(gpioOutputAddr)
SONIXCAM_STORAGE(gpioOEAddr)
SONIXCAM_STORAGE(sfRdyAddr)
SONIXCAM_STORAGE(sfModeAddr)
SONIXCAM_STORAGE(sfCSAddr)
SONIXCAM_STORAGE(sfWriteDataAddr)
SONIXCAM_STORAGE(sfReadDataAddr)
SONIXCAM_STORAGE(sfReadWriteTriggerAddr)
SONIXCAM_STORAGE(sfReadCmdAddr)
SONIXCAM_STORAGE(sfReadDataStartAddr)
SONIXCAM_STORAGE(i2cDev)
SONIXCAM_STORAGE(i2cMode)
SONIXCAM_STORAGE(i2cTrg)
SONIXCAM_STORAGE(i2cSclSelOD)
SONIXCAM_STORAGE(i2cSlaveID)
SONIXCAM_STORAGE(i2cDataArrStartAddr)
SONIXCAM_STORAGE(cpuRateAddr)
SONIXCAM_STORAGE(cbSFLib_ID)
SONIXCAM_STORAGE(cbSFLib_Cmd)
SONIXCAM_STORAGE(ubSFLib_CmdID)
SONIXCAM_STORAGE(sfManufactureID)
SONIXCAM_STORAGE(sfDeviceID1)
SONIXCAM_STORAGE(sfDeviceID2)
SONIXCAM_STORAGE(RomStringAddr)
SONIXCAM_STORAGE(RomInfo)
#elif defined(MORVANE_UVC_STEREO_STATIC)
#define SONIXCAM_DATA
#elif defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12 && (defined(__x86_64__) || defined(__i386__))
#define SONIXCAM_DATA SONIXCAM_API __attribute__((nodirect_extern_access))
#else
#define SONIXCAM_DATA SONIXCAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Error codes left in gEC. */
enum {
  SONIXCAM_EC_WRITE_PROTECT = 2,  /* write protection could not be removed */
  SONIXCAM_EC_ERASE = 3,          /* erase failed, or erased/written data differs */
  SONIXCAM_EC_ROM_UNKNOWN = 6,    /* ROM version not identified (restart, flash clock) */
  SONIXCAM_EC_WP_ROM_UNKNOWN = 7, /* ROM or chip not identified while removing write protection */
  SONIXCAM_EC_FLASH_TYPE = 10,    /* serial-flash type 0 passed to a writing operation */
  SONIXCAM_EC_VERIFY = 12,        /* verification after a firmware write found a difference */
  SONIXCAM_EC_INIT = 13,          /* SonixCam_Init could not find or open the camera */
  SONIXCAM_EC_NO_MEMORY = 14,     /* no memory for a firmware image copy */
  /* SonixCam_SerialFlashRead, SonixCam_SerialFlashWrite or
   * SonixCam_SerialFlashSectorWrite on a controller without the streaming
   * request, for bytes at or above 0x40000: the flash window reaches only
   * the first 256 KiB (higher addresses would alias into its last bank).
   * Refused before anything is erased or sent; stderr gets
   * "flash window cannot reach 0x<address> (<length> bytes): limit 0x40000
   * without the streaming request". */
  SONIXCAM_EC_WINDOW_RANGE = 15,
  /* SonixCam_Init: another user (a process, or the other SDK library in this
   * process) kept the camera for the whole 10 s wait; stderr gets
   * "camera <bus>/<address> is busy: another user still holds it after 10 s",
   * or, when a read lock kept it (a process that can only read the node),
   * "camera <bus>/<address> is busy: its lock is held by a read lock, which
   * no user of the camera takes: a process that can only read
   * /dev/bus/usb/<bus>/<address> is blocking it". */
  SONIXCAM_EC_BUSY = 16
};

/* ---- Process-wide state. */
SONIXCAM_DATA extern int camera_init;
SONIXCAM_DATA extern libusb_device_handle* devh;
SONIXCAM_DATA extern libusb_device** g_pDevList;
SONIXCAM_DATA extern int gEC;
SONIXCAM_DATA extern uint16_t g_CurDspExtendUnitID;
SONIXCAM_DATA extern uint32_t uiRomID;
SONIXCAM_DATA extern int g_supportXU6;
SONIXCAM_DATA extern int g_supportI2C64;

/* Register map rows: 20 register addresses per controller family. */
SONIXCAM_DATA extern const uint16_t g_AsicArchInfo[2][20];
SONIXCAM_DATA extern uint16_t dspIdAddr, usbResetAddr, gpioInputAddr, gpioOutputAddr, gpioOEAddr;
SONIXCAM_DATA extern uint16_t sfRdyAddr, sfModeAddr, sfCSAddr, sfWriteDataAddr, sfReadDataAddr;
SONIXCAM_DATA extern uint16_t sfReadWriteTriggerAddr, sfReadCmdAddr, sfReadDataStartAddr;
SONIXCAM_DATA extern uint16_t i2cDev, i2cMode, i2cTrg, i2cSclSelOD, i2cSlaveID, i2cDataArrStartAddr;
SONIXCAM_DATA extern uint16_t cpuRateAddr;

/* Serial-flash identification (25 rows) and command sets (5 rows). */
SONIXCAM_DATA extern const uint8_t cbSFLib_ID[25][6];
SONIXCAM_DATA extern const uint8_t cbSFLib_Cmd[5][7];
SONIXCAM_DATA extern uint8_t ubSFLib_CmdID;
SONIXCAM_DATA extern uint8_t sfManufactureID, sfDeviceID1, sfDeviceID2;
SONIXCAM_API uint8_t ubSFLib_GetIDSize(void);

/* ---- Connection and extension-unit transport. */
SONIXCAM_API int SonixCam_Init(char* vidpid, uint8_t bus_number, uint8_t device_address);
SONIXCAM_API int SonixCam_UnInit(void);
SONIXCAM_API int SonixCam_RestartDevice(void);
SONIXCAM_API int SonixCam_GetAsicRomType(int* rom_type, uint8_t* chip_id);
SONIXCAM_API int SonixCam_GetErrorCode(void);
SONIXCAM_API int SonixCam_AsicRegisterRead(uint16_t address, uint8_t* data, int64_t count);
SONIXCAM_API int SonixCam_AsicRegisterWrite(uint16_t address, uint8_t* data, int64_t count);
SONIXCAM_API int SonixCam_XuRead(uint8_t* buffer, uint16_t length, uint8_t unit_id, uint8_t selector);
SONIXCAM_API int SonixCam_XuWrite(uint8_t* buffer, uint16_t length, uint8_t unit_id, uint8_t selector);
SONIXCAM_API int XU_Read(uint8_t* buffer, uint16_t length, uint8_t unit_id, uint8_t selector);
SONIXCAM_API int XU_Write(uint8_t* buffer, uint16_t length, uint8_t unit_id, uint8_t selector);

SONIXCAM_API int LibUsb_Read(uint16_t value, uint16_t index, uint8_t* data, uint16_t length);
SONIXCAM_API int LibUsb_Write(uint16_t value, uint16_t index, uint8_t* data, uint16_t length);
SONIXCAM_API int LibUsb_EnumDevice(char* vidpid, uint8_t bus_number, uint8_t device_address);
SONIXCAM_API int LibUsb_CloseDevice(void);
SONIXCAM_API int LibUsb_RestartDevice(void);
SONIXCAM_API int LibUsb_ReadFromASIC(uint16_t address, uint8_t* value);
SONIXCAM_API int LibUsb_WriteToASIC(uint16_t address, uint8_t value);
SONIXCAM_API int LibUsb_EnableAsicRegisterBit(uint16_t address, uint8_t bit);
SONIXCAM_API int LibUsb_DisableAsicRegisterBit(uint16_t address, uint8_t bit);
SONIXCAM_API uint8_t LibUsb_ReadBitFormAsic(uint16_t address, uint8_t bit);
SONIXCAM_API int ReadDataFromAsic(uint16_t address, uint32_t* value);
SONIXCAM_API int WriteDataToAsic(uint16_t address, uint32_t value);
SONIXCAM_API int LibUsb_ReadFromROM(uint16_t address, uint8_t* data8);
SONIXCAM_API int LibUsb_GetMemType(uint8_t* mem_type);
SONIXCAM_API int LibUsb_GetChipID(uint16_t address, uint8_t* chip_id);
SONIXCAM_API int LibUsb_GetChipRomType(uint8_t* chip_id, int* arch);
SONIXCAM_API int LibUsb_SetAsicArchInfo(int arch);
SONIXCAM_API int GetUVCExtendUnitID(void);
SONIXCAM_API int VidPidStringToInt(const char* vidpid, uint16_t* vid, uint16_t* pid);
/* Helpers of VidPidStringToInt: the value of one hexadecimal digit (any other
 * character counts as 0), and base raised to a non-negative exponent. */
SONIXCAM_API int chr2hex(char c);
SONIXCAM_API unsigned cal_pow(unsigned base, int exponent);
SONIXCAM_API int IsSupportXU6(void);
SONIXCAM_API int IsSupportI2C64(void);

/* ---- Controller ROM identification. */
SONIXCAM_DATA extern const uint16_t RomStringAddr[6];

/* One row of the ROM table; uiRomID is the row of the identified ROM. */
typedef struct SonixCam_RomInfoRow {
  uint16_t rom_address;         /* where the ROM's version text is found */
  char name[6];                 /* 5 characters; the first 4 are compared */
  uint8_t sub_version;          /* byte 5 of the version text */
  uint8_t at_least;             /* 1: the sub-version matches when at least this, 0: when equal */
  uint16_t flash_type_register; /* controller register holding a fallback flash type */
  uint8_t command_registers;    /* 1: hardware serial-flash command registers */
  uint8_t memory_type;          /* 1: the controller reports a memory type */
} SonixCam_RomInfoRow;
SONIXCAM_DATA extern const SonixCam_RomInfoRow RomInfo[40];
SONIXCAM_API int LibUsb_GetAsicRomVersion(uint8_t* version8);
SONIXCAM_API int LibUsb_DefGetAsicRomVersion(uint8_t* version8);

/* ---- Serial flash. */
SONIXCAM_API int SonixCam_GetSerialFlashType(int* type, int allow_fallback);
SONIXCAM_API int SonixCam_SerialFlashCustomRead(int64_t address, uint8_t* buffer, int64_t length);
SONIXCAM_API int SonixCam_EraseSectorFlash(int64_t address, int type);
SONIXCAM_API int SonixCam_EraseBlockFlash(int64_t address, int type);
SONIXCAM_API int SonixCam_EraseSerialFlash(int type);
SONIXCAM_API int SonixCam_DisableSerialFlashWriteProtect(int type);
SONIXCAM_API int SonixCam_SerialFlashSectorCustomWrite(int64_t address, uint8_t* data, int64_t length, int type);
SONIXCAM_API int SonixCam_SerialFlashRead(int64_t address, uint8_t* buffer, int64_t length);
SONIXCAM_API int SonixCam_SerialFlashWrite(int64_t address, uint8_t* data, int64_t length);
SONIXCAM_API int SonixCam_SerialFlashSectorWrite(int64_t address, uint8_t* data, int64_t length, int type);

SONIXCAM_API int LibUsb_SFWaitReady(void);
SONIXCAM_API int LibUsb_SFCMDreadStatus(void);
SONIXCAM_API int LibUsb_GetSerialFlashType(int* type, int allow_fallback);
SONIXCAM_API int LibUsb_SerialFlashIdentify(void);
SONIXCAM_API int LibUsb_ReadSFID(uint8_t opcode, uint8_t dummy_bytes, uint8_t id_bytes);
SONIXCAM_API int LibUsb_SerialFlashSearch(void);
SONIXCAM_API int LibUsb_EraseSectorForSerialFlash(int64_t address, int type);
SONIXCAM_API int LibUsb_EraseBlockForSerialFlash(int64_t address, int type);
SONIXCAM_API int LibUsb_SerialFlashErase(int type);
SONIXCAM_API int LibUsb_DisableSerialFlashWriteProtect(int type);
SONIXCAM_API int LibUsb_ReadFormSF(int64_t address, uint8_t* buffer, int64_t length);
SONIXCAM_API int LibUsb_WriteToSF(int64_t address, uint8_t* data, int64_t length);
SONIXCAM_API int LibUsb_ReadDataFormFlash(int64_t address, uint8_t* buffer, uint8_t length);
SONIXCAM_API int LibUsb_WriteDataToFlash(int64_t address, uint8_t* data, uint8_t length);
SONIXCAM_API int SetSFControllerSCK(void);
SONIXCAM_API int StopReadWrite_SFXU6(void);
SONIXCAM_API int SetReadInfo_SFXU6(uint32_t address, uint32_t length);
SONIXCAM_API int SetWriteInfo_SFXU6(uint32_t address, uint32_t length);
SONIXCAM_API int ReadDataFormFlashXU6(uint8_t* buffer, int length);
SONIXCAM_API int WriteDataToFlashXU6(uint8_t* data, int length);
SONIXCAM_API int ReadFormSF_XU6(int64_t address, uint8_t* buffer, int64_t length);
SONIXCAM_API int WriteToSF_XU6(int64_t address, uint8_t* data, int64_t length);

/* ---- Sensor registers through the controller's I2C master. */
SONIXCAM_API int SonixCam_SensorRegisterCustomWrite(uint8_t slave_id, uint16_t address, uint16_t address_length,
                                                    uint8_t* data, uint16_t data_length, int mode);
SONIXCAM_API int SonixCam_SensorRegisterCustomRead(uint8_t slave_id, uint16_t address, uint16_t address_length,
                                                   uint8_t* data, uint16_t data_length, int mode);
/* Consecutive 8-bit registers of a sensor with 16-bit register addresses: one
 * I2C transaction per register (2 address bytes, 1 data byte, mode flag 0),
 * the address incremented by the host. 0 for a null buffer, a length below 1,
 * a range past register 0xFFFF, or at the first failed transaction (the bytes
 * before it were transferred). Sensors with 8-bit register addresses or 16-bit
 * values use the custom calls above. */
SONIXCAM_API int SonixCam_SensorRegisterRead(uint8_t slave_id, uint16_t address, uint8_t* buffer, int64_t length);
SONIXCAM_API int SonixCam_SensorRegisterWrite(uint8_t slave_id, uint16_t address, uint8_t* buffer, int64_t length);
/* The transport of the two calls above, without the open-camera check. */
SONIXCAM_API int LibUsb_ReadFromSensor(uint8_t slave_id, uint16_t address, uint8_t* buffer, int64_t length);
SONIXCAM_API int LibUsb_WriteToSensor(uint8_t slave_id, uint16_t address, uint8_t* buffer, int64_t length);
SONIXCAM_API int LibUsb_CustomWriteToSensor(uint8_t slave_id, uint16_t address, uint16_t address_length, uint16_t data,
                                            uint16_t data_length, int mode);
SONIXCAM_API int LibUsb_CustomReadFromSensor(uint8_t slave_id, uint16_t address, uint16_t address_length,
                                             uint16_t* data, uint16_t data_length, int mode);
SONIXCAM_API int GetByteLengthFormAddr(uint32_t value);

/* ---- Firmware images and the USB parameter table. */
typedef void (*SonixCam_ProgressCallback)(void* user_data, float fraction);

/* Parameter-table entries to patch; a null text or vid/pid pointer leaves that entry unchanged. */
typedef struct ChangeParamInfo {
  int32_t SerialNumberLength;
  int32_t ProductLength;
  int32_t ManufactureLength;
  int32_t Reserved;
  int32_t InterfaceLength;
  int32_t String3Length;
  char* pSerialNumber;
  char* pProduct;
  char* pManufacture;
  uint32_t* pVidPid;
  char* pString3;
  char* pInterface;
} ChangeParamInfo;

/* Firmware operations work on a private copy of the image, taken before the
 * flash is touched (gEC 14 when it cannot be had) and released on every exit.
 * Images go up to 16 MiB (24-bit flash addresses); without the streaming
 * request the flash window reaches only the first 256 KiB, so longer images
 * and parameter-table areas beyond it are refused before anything is sent.
 * Progress goes from 0.0 to 1.0 without stepping back (the parameter-table
 * update reports 0.5 to 1.0); a null callback reports nothing. Texts of the
 * parameter record hold at most 31 characters; a longer one, a negative
 * length, or an image that does not hold the whole table refuses the call
 * before the flash is touched. SetParamToParamBuffer returns 0 for such a
 * text and leaves the buffer unchanged. */
SONIXCAM_API int SonixCam_BurnerFW(uint8_t* image, int64_t length, SonixCam_ProgressCallback callback, void* user_data,
                                   int type, int verify);
SONIXCAM_API int SonixCam_CustomBurnerFW(const ChangeParamInfo* param, uint8_t* image, int64_t length,
                                         SonixCam_ProgressCallback callback, void* user_data, int type, int verify);
SONIXCAM_API int SonixCam_WriteFwToFlash(uint8_t* image, int64_t length, SonixCam_ProgressCallback callback,
                                         void* user_data, int verify);
SONIXCAM_API int SonixCam_ExportFW(uint8_t* buffer, int64_t length, SonixCam_ProgressCallback callback,
                                   void* user_data);
SONIXCAM_API int SonixCam_SetParamTableFormFWFile(uint8_t* image, int64_t length, const ChangeParamInfo* param,
                                                  SonixCam_ProgressCallback callback, void* user_data, int type,
                                                  const char* unused);
SONIXCAM_API int SetParamToParamBuffer(uint8_t* buffer, uint32_t position, const char* text, uint32_t length);
SONIXCAM_API int CheckCRC(uint8_t* buffer, uint32_t start, uint32_t count, uint32_t check_address);

/* ---- Firmware version and device strings.
 * The version calls write 56 bytes (a zero-terminated text) and refuse, with 0,
 * a length below 56. The ...FromFile and ...FormFW calls read the image at the
 * flash offsets of the version fields (up to 0x5E1E) and of the table header
 * (0x160 to 0x18A): the caller checks the image is that long. */
SONIXCAM_API int SonixCam_GetFwVersion(uint8_t* buffer, int64_t length, int raw);
SONIXCAM_API int SonixCam_GetFwVersionEx(int variant, uint8_t* buffer, int64_t length, int raw);
SONIXCAM_API int SonixCam_GetFwVersionFromFile(const uint8_t* image, uint8_t* buffer, int64_t length, int raw);
SONIXCAM_API int LibUsb_GetParaTableAndCRCAddrFormSF(uint64_t* start, uint64_t* end, uint64_t* check_address);
SONIXCAM_API int LibUsb_GetParaTableAndCRCAddrFormFW(const uint8_t* image, uint64_t* start, uint64_t* end,
                                                     uint64_t* check_address);
SONIXCAM_API int LibUsb_GetStringSettingFormSF(uint8_t* buffer, int64_t size, uint32_t offset, int descriptor);
SONIXCAM_API int SonixCam_GetVidPid(uint32_t* vidpid);
SONIXCAM_API int SonixCam_GetProduct(uint8_t* buffer, int64_t size);
SONIXCAM_API int SonixCam_GetManufacturer(uint8_t* buffer, int64_t size);
SONIXCAM_API int SonixCam_GetSerialNumber(uint8_t* buffer, int64_t size);
SONIXCAM_API int SonixCam_GetString3(uint8_t* buffer, int64_t size);
SONIXCAM_API int SonixCam_GetInterface(uint8_t* buffer, int64_t size);

#ifdef __cplusplus
}
#endif

#endif /* MORVANE_SONIX_CAM_H */
