/*
 * kzvideo.h - the public interface of KZVIDEO.DLL / libkzvideo.so.
 *
 * Every caller record begins with its own size in bytes; on 32-bit builds the
 * records have exactly the documented sizes and field offsets (checked below).
 * On 64-bit builds pointer and handle fields are 8 bytes wide, so the size
 * field must hold sizeof() of the record as this header declares it.
 */
#ifndef KZVIDEO_H
#define KZVIDEO_H

#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
typedef HWND KZHWND;
typedef HDC KZHDC;
typedef HGLOBAL KZHGLOBAL;
typedef SYSTEMTIME KZSYSTEMTIME;
#else
/* Opaque handle types, spelled as the platform layer spells them. */
struct HWND__;
struct HDC__;
typedef struct HWND__* KZHWND;
typedef struct HDC__* KZHDC;
typedef void* KZHGLOBAL;
#ifndef KZWIN_SYSTEMTIME_DEFINED
#define KZWIN_SYSTEMTIME_DEFINED
typedef struct _SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
} SYSTEMTIME;
#endif
typedef SYSTEMTIME KZSYSTEMTIME;
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define KZAPI __stdcall
#define KZCALLBACK __cdecl
#else
#define KZAPI
#define KZCALLBACK
#endif

#if defined(_WIN32)
#if defined(KZVIDEO_BUILD)
#define KZEXPORT_API /* the .def file names the exports and their ordinals */
#else
#define KZEXPORT_API __declspec(dllimport)
#endif
#else
#define KZEXPORT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Constants                                                          */
/* ------------------------------------------------------------------ */

#define KZ_VERSION_NUMBER 0x010000FFu
#define KZ_MAX_SESSIONS 32
#define KZ_MAX_STREAMS 32
#define KZ_MAX_SOURCES 10
#define KZ_PLAYBACK_ID_BASE 0xF000u
#define KZ_EXPORT_ID_BASE 0xF800u
#define KZ_REJOIN 0x80000000u

/* Error codes (KZGetLastError, thread status codes). */
#define KZ_OK 0
#define KZ_ERR_RECORD_SIZE 2
#define KZ_ERR_TEXT_LENGTH 3
#define KZ_ERR_TOO_MANY_SESSIONS 4
#define KZ_ERR_SESSION 5
#define KZ_ERR_NO_SOURCE 6
#define KZ_ERR_SOURCE_LIST_SHORT 7
#define KZ_ERR_SOURCE_IN_USE 8
#define KZ_ERR_SOURCE 9
#define KZ_ERR_NO_FORMAT 10
#define KZ_ERR_FORMAT_LIST_SHORT 11
#define KZ_ERR_MEMORY 12
#define KZ_ERR_NOT_STORED 13
#define KZ_ERR_NO_DIALOG 14
#define KZ_ERR_PIXEL_FORMAT 15
#define KZ_ERR_NOT_IMPLEMENTED 16
#define KZ_ERR_NULL 17
#define KZ_ERR_ALREADY_DISPLAYING 18
#define KZ_ERR_WINDOW 19
#define KZ_ERR_NO_STREAM_SLOT 20
#define KZ_ERR_THREAD 21
#define KZ_ERR_STOP_TIMEOUT 22
#define KZ_ERR_FORMAT_REFUSED 23
#define KZ_ERR_NO_DISPLAY 24
#define KZ_ERR_OTHER_SESSION 25
#define KZ_ERR_OTHER_WINDOW 26
#define KZ_ERR_TIMEOUT 27
#define KZ_ERR_DISPLAY_BUSY 28
#define KZ_ERR_NO_IMAGE 29
#define KZ_ERR_NO_RECORD 30
#define KZ_ERR_NOTHING_STOPPED 31
#define KZ_ERR_ALREADY_RECORDING 32
#define KZ_ERR_FILE_EXISTS 33
#define KZ_ERR_CONTINUE_OPEN 34
#define KZ_ERR_CONTINUE_KIND 35
#define KZ_ERR_CREATE 36
#define KZ_ERR_APPEND 37
#define KZ_ERR_KIND 38
#define KZ_ERR_OTHER_FORMAT 39
#define KZ_ERR_OTHER_ACTIVITY_WINDOW 40
#define KZ_END_RECORD 41
#define KZ_ERR_WRITE 42
#define KZ_ERR_IMAGE_NULL 43
#define KZ_ERR_IMAGE_HANDLE 44
#define KZ_ERR_IMAGE_SIZE 45
#define KZ_ERR_DC_WINDOW 46
#define KZ_ERR_FILE_OPEN 47
#define KZ_ERR_FILE_READ 48
#define KZ_ERR_FILE_KIND 49
#define KZ_ERR_NO_FILE_NAME 50
#define KZ_ERR_PLAYED_ALREADY 51
#define KZ_ERR_PLAYED_IN_WINDOW 52
#define KZ_ERR_NO_PLAYBACK 53
#define KZ_ERR_POSITION 54
#define KZ_ERR_NO_MATCH 55
#define KZ_END_PLAYBACK 56
#define KZ_ERR_NOTHING_SHOWN 57
#define KZ_ERR_NO_DISPLAY_BLOCK 58
#define KZ_ERR_NO_RECORD_BLOCK 59
#define KZ_ERR_PLAYBACK_BUSY 60
#define KZ_ERR_AVI_NO_VIDEO 61
#define KZ_ERR_AVI_NO_DECOMPRESSOR 62
#define KZ_ERR_AVI_FORMAT 63
#define KZ_ERR_OPTIONS_TEMP 64
#define KZ_ERR_OPTIONS_CANCELLED 65
#define KZ_ERR_COMPRESSOR 66
#define KZ_ERR_AVI_WRITE 67
#define KZ_ERR_SAME_FILE 68
#define KZ_END_EXPORT 69
#define KZ_ERR_CANCELLED 70
#define KZ_ERR_NO_FRAMES 71

/* Pixel-format codes. */
#define KZ_FORMAT_RGB24 1
#define KZ_FORMAT_RGB16 2
#define KZ_FORMAT_RGB8 3
#define KZ_FORMAT_UYVY 4
#define KZ_FORMAT_I420 5
#define KZ_FORMAT_YUY2 6
#define KZ_FORMAT_YVU9 7
#define KZ_FORMAT_Y444 8
#define KZ_FORMAT_Y422 9
#define KZ_FORMAT_Y411 10
#define KZ_FORMAT_Y800 11
#define KZ_FORMAT_PAL8 12
#define KZ_FORMAT_GV24 13
#define KZ_FORMAT_GV8 14

/* Stream activity bits (KZIsSourceInUse, stop masks). */
#define KZ_ACTIVITY_DISPLAY 1u
#define KZ_ACTIVITY_RECORD 2u
#define KZ_ACTIVITY_GRAB 4u
#define KZ_ACTIVITY_PLAYBACK 8u
#define KZ_ACTIVITY_SAVE 16u

/* KZDISPLAY.orientation */
#define KZ_ORIENT_TURNS 0x03u
#define KZ_ORIENT_MIRROR 0x08u
#define KZ_ORIENT_FLIP 0x10u
#define KZ_ORIENT_FIELDS 0x20u

/* KZDISPLAY.resampling */
#define KZ_RESAMPLE_METHOD 0xFFu
#define KZ_RESAMPLE_FAST_ZOOM 0x1000u
#define KZ_RESAMPLE_AREA_SHIFT 13
#define KZ_RESAMPLE_AREA_MASK 0x6000u

/* KZDISPLAY.drawFlags */
#define KZ_DRAW_CROP 1u
#define KZ_DRAW_ZOOM 2u
#define KZ_DRAW_NO_ADJUST 4u
#define KZ_DRAW_KEEP_SETTING 8u

/* KZGetDisplayImage / KZGetPlaybackImage / KZLoadFrame flags */
#define KZ_IMAGE_NOW 0u
#define KZ_IMAGE_NEXT 1u
#define KZ_IMAGE_NEXT_UNPACED 2u
#define KZ_IMAGE_AS_DRAWN 0x4000u
#define KZ_LOAD_THIS_FILE 1u
#define KZ_LOAD_RECORDED_DISPLAY 0x100u

/* KZRECORD.fileFlags / KZEXPORT.fileFlags */
#define KZ_KIND_MASK 0xFFFu
#define KZ_KIND_RAW 1u
#define KZ_KIND_LOSSLESS 2u
#define KZ_KIND_LOSSY 3u
#define KZ_KIND_ONE_FRAME 4u
#define KZ_KIND_AVI 256u
#define KZ_OPEN_MASK 0x6000u
#define KZ_OPEN_NEW 0x0000u
#define KZ_OPEN_APPEND 0x2000u
#define KZ_OPEN_OVERWRITE 0x4000u
#define KZ_OPEN_APPEND_ONLY 0x6000u
#define KZ_AVI_AS_SHOWN 0x8000u

/* KZRECORD.recordFlags */
#define KZ_RECORD_KEEP_SETTING 8u

/* KZPLAYBACK.flags */
#define KZ_PLAY_DRAW_MASK 0x0000Fu
#define KZ_PLAY_END 0x00010u
#define KZ_PLAY_BOUNCE 0x00020u
#define KZ_PLAY_MODE_MASK 0x000C0u
#define KZ_PLAY_MODE_INDEX 0x00000u
#define KZ_PLAY_MODE_MS 0x00040u
#define KZ_PLAY_MODE_FRAME 0x00080u
#define KZ_PLAY_MODE_TIME 0x000C0u
#define KZ_PLAY_FOLLOW_DISPLAY 0x00100u
#define KZ_PLAY_SHARE 0x00200u
#define KZ_PLAY_STEP 0x00400u
#define KZ_PLAY_MOVE_MASK 0x01800u
#define KZ_PLAY_MOVE_START 0x00800u
#define KZ_PLAY_MOVE_CURRENT 0x01000u
#define KZ_PLAY_MOVE_END 0x01800u
#define KZ_PLAY_STRICT 0x02000u
#define KZ_PLAY_NO_DROP 0x04000u
#define KZ_PLAY_FULL_SCAN 0x08000u
#define KZ_PLAY_SEEKING 0x10000u

/* KZFILEINFO.flags */
#define KZ_INFO_TIMES_RISING 1u
#define KZ_INFO_FRAMES_CONSECUTIVE 2u
#define KZ_INFO_FRAMES_RISING 4u
#define KZ_INFO_MS_RISING 8u
#define KZ_INFO_FULL_SCAN 0x8000u

/* KZEXPORT.exportFlags */
#define KZ_EXPORT_KEEP_SETTING 8u
#define KZ_EXPORT_FIXED_RATE 0x400u
#define KZ_EXPORT_WAIT 0x8000u

/* KZAVIOptionsDialog */
#define KZ_OPTIONS_STORE_ONLY 1u
#define KZ_OPTIONS_STORED ((KZHGLOBAL)(uintptr_t)0xFFFFFFFFu)

/* KZSaveVideo with KZ_EXPORT_WAIT */
#define KZ_EXPORT_DONE 0xFFFFFFFFu

/* ------------------------------------------------------------------ */
/* Caller records                                                     */
/* ------------------------------------------------------------------ */

#pragma pack(push, 4)

typedef struct KZDISPLAY KZDISPLAY;
typedef struct KZRECORD KZRECORD;
typedef struct KZPLAYBACK KZPLAYBACK;
typedef struct KZEXPORT KZEXPORT;

typedef int(KZCALLBACK* KZBeforeDrawCallback)(KZDISPLAY* copy, const void* source);
typedef int(KZCALLBACK* KZAfterConvertCallback)(KZDISPLAY* copy, const void* source,
                                                const void* bitmap);
typedef void(KZCALLBACK* KZAfterDrawCallback)(KZDISPLAY* copy, const void* source,
                                              const void* bitmap);
typedef int(KZCALLBACK* KZFrameFilterCallback)(KZRECORD* copy, const void* frame);
typedef void(KZCALLBACK* KZRecordEndCallback)(KZRECORD* copy, uint32_t endCode);
typedef int(KZCALLBACK* KZPlaybackConvertCallback)(KZPLAYBACK* copy, const void* source,
                                                   const void* bitmap);
typedef void(KZCALLBACK* KZPlaybackDrawCallback)(KZPLAYBACK* copy, const void* source,
                                                 const void* bitmap);
typedef void(KZCALLBACK* KZPlaybackEndCallback)(KZPLAYBACK* copy, uint32_t status);
typedef int(KZCALLBACK* KZExportProgressCallback)(KZEXPORT* copy, uint32_t done, uint32_t total);
typedef void(KZCALLBACK* KZExportEndCallback)(KZEXPORT* copy, uint32_t status);

/* Capture source, filled by KZEnumSources. */
typedef struct KZSOURCE {
  int32_t source;
  char name[80];
  char nameAgain[80];
} KZSOURCE;

/* Capture format (KZEnumFormats, KZGetFormat, KZFormatDialog). */
typedef struct KZFORMAT {
  int32_t width;
  int32_t height;
  int32_t format;
  int32_t bitCount;
} KZFORMAT;

/* The colour adjustments, the same 52 bytes in KZDISPLAY, KZPLAYBACK and KZEXPORT. */
typedef struct KZADJUSTMENTS {
  uint32_t blackLevel;
  uint32_t whiteLevel;
  uint32_t whiteBalance;
  int32_t radialStrength;
  int32_t radialSkew;
  int32_t radialCentreX;
  int32_t radialCentreY;
  int32_t contrast;
  int32_t brightness;
  double gamma;
  int32_t saturation;
  int32_t chromaBalance;
} KZADJUSTMENTS;

/* Display and image description (160 bytes on 32-bit builds). */
struct KZDISPLAY {
  uint32_t size;
  uint32_t session;
  uint32_t source;
  int32_t width;
  int32_t height;
  uint32_t format;
  uint32_t bitCount;
  KZHWND window;
  uint32_t sourceSetting;
  int32_t left;
  int32_t top;
  double rate;
  int32_t cropLeft;
  int32_t cropTop;
  int32_t cropWidth;
  int32_t cropHeight;
  uint32_t orientation;
  double zoom;
  double aspect;
  uint32_t resampling;
  KZADJUSTMENTS adjust;
  KZBeforeDrawCallback beforeDrawCallback;
  KZAfterConvertCallback afterConvertCallback;
  KZAfterDrawCallback afterDrawCallback;
  uint32_t drawFlags;
};

/* Frame rates of a running activity (52 bytes, no size field). */
typedef struct KZRATE {
  double startTime;
  uint32_t msSinceStart;
  uint32_t msSinceFrame;
  uint32_t framesDelivered;
  uint32_t framesDone;
  uint32_t framesDropped;
  double meanRate;
  double latestRate;
  double recentRate;
} KZRATE;

/* Recording settings (368 bytes on 32-bit builds). */
struct KZRECORD {
  uint32_t size;
  uint32_t session;
  uint32_t source;
  int32_t width;
  int32_t height;
  uint32_t format;
  uint32_t bitCount;
  KZHWND window;
  uint32_t sourceSetting;
  char fileName[256];
  uint32_t fileFlags;
  int32_t maxFileMB;
  double startTime;
  double stopTime;
  double duration;
  double rate;
  uint32_t reserved;
  int32_t keyInterval;
  int32_t refInterval;
  int32_t quantStep;
  int32_t levels;
  KZHGLOBAL aviOptions;
  KZFrameFilterCallback frameFilter;
  KZRecordEndCallback endNotify;
  uint32_t recordFlags;
};

/* One playback position (56 bytes). */
typedef struct KZPLAYBACKFRAME {
  uint32_t size;
  int32_t index;
  uint32_t msLow;
  uint32_t msHigh;
  uint32_t frame;
  double time;
  int32_t fileNumber;
  uint32_t offset;
  double rate;
  double stepRate;
  uint32_t flags;
} KZPLAYBACKFRAME;

/* Summary of a file or numbered file sequence (396 bytes). */
typedef struct KZFILEINFO {
  uint32_t size;
  char path[256];
  uint32_t kind;
  int32_t width;
  int32_t height;
  uint32_t format;
  uint32_t bitCount;
  int32_t sequenceFirst;
  int32_t sequenceCount;
  uint32_t byteCountLow;
  uint32_t byteCountHigh;
  int32_t frameCount;
  uint32_t firstFrame;
  uint32_t lastFrame;
  uint32_t minFrame;
  uint32_t maxFrame;
  double firstTime;
  double lastTime;
  double minTime;
  double maxTime;
  uint32_t firstMsLow;
  uint32_t firstMsHigh;
  uint32_t lastMsLow;
  uint32_t lastMsHigh;
  uint32_t minMsLow;
  uint32_t minMsHigh;
  uint32_t maxMsLow;
  uint32_t maxMsHigh;
  uint32_t audioRate;
  uint32_t audioBits;
  uint32_t audioChannels;
  uint32_t flags;
} KZFILEINFO;

/* Playback settings (436 bytes on 32-bit builds). */
struct KZPLAYBACK {
  uint32_t size;
  uint32_t session;
  char fileName[256];
  KZHWND window;
  int32_t index;
  uint32_t msLow;
  uint32_t msHigh;
  uint32_t frame;
  double time;
  double rate;
  int32_t repeatCount;
  int32_t left;
  int32_t top;
  double stepRate;
  int32_t cropLeft;
  int32_t cropTop;
  int32_t cropWidth;
  int32_t cropHeight;
  uint32_t orientation;
  double zoom;
  double aspect;
  uint32_t resampling;
  KZADJUSTMENTS adjust;
  int32_t volume;
  int32_t balance;
  KZPlaybackConvertCallback afterConvertCallback;
  KZPlaybackDrawCallback afterDrawCallback;
  KZPlaybackEndCallback endCallback;
  uint32_t flags;
};

/* Video export settings (672 bytes on 32-bit builds). */
struct KZEXPORT {
  uint32_t size;
  uint32_t session;
  char sourceName[256];
  char fileName[256];
  uint32_t fileFlags;
  int32_t maxFileMB;
  double speed;
  double fixedRate;
  int32_t cropLeft;
  int32_t cropTop;
  int32_t cropWidth;
  int32_t cropHeight;
  uint32_t orientation;
  double zoom;
  double aspect;
  uint32_t resampling;
  KZADJUSTMENTS adjust;
  int32_t keyInterval;
  int32_t refInterval;
  int32_t quantStep;
  int32_t levels;
  KZHGLOBAL aviOptions;
  KZHGLOBAL ranges;
  KZExportProgressCallback progress;
  KZExportEndCallback endNotify;
  uint32_t exportFlags;
};

/* ------------------------------------------------------------------ */
/* Functions, in export-ordinal order (ordinal = position + 2)        */
/* ------------------------------------------------------------------ */

typedef struct KZACCESS KZACCESS;

KZEXPORT_API int KZAPI KZEntryPoint(void* module, uint32_t reason, void* reserved);

KZEXPORT_API KZHGLOBAL KZAPI KZAVIOptionsDialog(KZHWND owner, uint32_t flags, KZHGLOBAL options);
KZEXPORT_API uint32_t KZAPI KZBegin(KZACCESS* access);
KZEXPORT_API int KZAPI KZCameraDialog(uint32_t session, uint32_t source, KZHWND owner,
                                      uint32_t flags);
KZEXPORT_API int KZAPI KZChangeDisplay(KZDISPLAY* display);
KZEXPORT_API int KZAPI KZChangePlayback(KZPLAYBACK* playback);
KZEXPORT_API int KZAPI KZChangeRecord(KZRECORD* record);
KZEXPORT_API int KZAPI KZDisplayCoord(uint32_t session, uint32_t stream, KZHWND window, int32_t x,
                                      int32_t y, int32_t* outX, int32_t* outY, uint32_t direction);
KZEXPORT_API int KZAPI KZDisplayCoord2(const KZDISPLAY* display, int32_t x, int32_t y,
                                       int32_t* outX, int32_t* outY, uint32_t direction);
KZEXPORT_API int KZAPI KZEnd(uint32_t session);
KZEXPORT_API int32_t KZAPI KZEnumFormats(uint32_t session, uint32_t source, KZFORMAT* list,
                                         int32_t capacity, uint32_t flags);
KZEXPORT_API int32_t KZAPI KZEnumSources(uint32_t session, KZSOURCE* list, int32_t capacity,
                                         uint32_t flags);
KZEXPORT_API int KZAPI KZFormatDialog(uint32_t session, uint32_t source, KZHWND owner,
                                      uint32_t flags, KZFORMAT* format);
KZEXPORT_API int KZAPI KZGetDisplay(uint32_t session, uint32_t source, KZHWND window,
                                    KZDISPLAY* out);
KZEXPORT_API KZHGLOBAL KZAPI KZGetDisplayImage(uint32_t session, uint32_t source, KZHWND window,
                                               uint32_t flags, int32_t timeoutMs);
KZEXPORT_API int KZAPI KZGetDisplayRate(uint32_t session, uint32_t source, KZHWND window,
                                        KZRATE* out);
KZEXPORT_API int KZAPI KZGetFileInfo(const char* path, KZFILEINFO* info, uint32_t flags);
KZEXPORT_API uint32_t KZAPI KZGetFileFormat(const char* path);
KZEXPORT_API int KZAPI KZGetFormat(uint32_t session, uint32_t source, KZFORMAT* format);
KZEXPORT_API uint32_t KZAPI KZGetLastError(void);
KZEXPORT_API int KZAPI KZGetPlayback(uint32_t session, uint32_t id, KZHWND window,
                                     KZPLAYBACK* out);
KZEXPORT_API int KZAPI KZGetPlaybackFrame(uint32_t session, uint32_t id, KZHWND window,
                                          KZPLAYBACKFRAME* out);
KZEXPORT_API uint32_t KZAPI KZGetPlaybackID(uint32_t session, const char* fileName,
                                            KZHWND window);
KZEXPORT_API KZHGLOBAL KZAPI KZGetPlaybackImage(uint32_t session, uint32_t id, KZHWND window,
                                                uint32_t flags, int32_t timeoutMs);
KZEXPORT_API int KZAPI KZGetPlaybackInfo(uint32_t session, uint32_t id, const char* fileName,
                                         KZHWND window, KZDISPLAY* display, KZRECORD* record,
                                         int32_t mode);
KZEXPORT_API int KZAPI KZGetPlaybackRate(uint32_t session, uint32_t id, KZHWND window,
                                         KZRATE* out);
KZEXPORT_API int KZAPI KZGetRecord(uint32_t session, uint32_t source, KZHWND window,
                                   KZRECORD* out);
KZEXPORT_API int KZAPI KZGetRecordRate(uint32_t session, uint32_t source, KZHWND window,
                                       KZRATE* out);
KZEXPORT_API KZHGLOBAL KZAPI KZImageToBitmap(KZHGLOBAL image, const KZDISPLAY* display);
KZEXPORT_API uint32_t KZAPI KZIsSourceInUse(uint32_t session, uint32_t source, KZHWND window);
KZEXPORT_API int KZAPI KZJulianToSystemTime(double julian, KZSYSTEMTIME* out);
KZEXPORT_API KZHGLOBAL KZAPI KZLoadFrame(const char* path, KZPLAYBACK* block, KZDISPLAY* display,
                                         uint32_t flags);
KZEXPORT_API int KZAPI KZRefreshPlayback(uint32_t session, uint32_t id, KZHWND window);
KZEXPORT_API int KZAPI KZSaveImage(KZHGLOBAL image, const KZDISPLAY* display,
                                   const char* fileName);
KZEXPORT_API uint32_t KZAPI KZSaveVideo(KZEXPORT* job);
KZEXPORT_API int KZAPI KZShowImage(KZHGLOBAL image, const KZDISPLAY* display, KZHDC dc);
KZEXPORT_API int KZAPI KZStartDisplay(KZDISPLAY* display);
KZEXPORT_API uint32_t KZAPI KZStartPlayback(KZPLAYBACK* playback);
KZEXPORT_API int KZAPI KZStartRecord(KZRECORD* record);
KZEXPORT_API int KZAPI KZStopAll(uint32_t session, uint32_t source, KZHWND window);
KZEXPORT_API int KZAPI KZStopDisplay(uint32_t session, uint32_t source, KZHWND window);
KZEXPORT_API int KZAPI KZStopPlayback(uint32_t session, uint32_t id, KZHWND window);
KZEXPORT_API int KZAPI KZStopRecord(uint32_t session, uint32_t source, KZHWND window);
KZEXPORT_API double* KZAPI KZSystemTimeToJulian(double* result, const KZSYSTEMTIME* time);
KZEXPORT_API uint32_t KZAPI KZVersion(char* text, int32_t length);
KZEXPORT_API int KZAPI KZWaitForDisplay(uint32_t session, uint32_t source, KZHWND window,
                                        int32_t timeoutMs);
KZEXPORT_API int KZAPI KZWaitForPlayback(uint32_t session, uint32_t id, KZHWND window,
                                         int32_t timeoutMs);

/* The access table: size, session, version, then the 46 functions above in order. */
struct KZACCESS {
  uint32_t size;
  uint32_t session;
  uint32_t version;
  KZHGLOBAL(KZAPI* KZAVIOptionsDialog)(KZHWND, uint32_t, KZHGLOBAL);
  uint32_t(KZAPI* KZBegin)(KZACCESS*);
  int(KZAPI* KZCameraDialog)(uint32_t, uint32_t, KZHWND, uint32_t);
  int(KZAPI* KZChangeDisplay)(KZDISPLAY*);
  int(KZAPI* KZChangePlayback)(KZPLAYBACK*);
  int(KZAPI* KZChangeRecord)(KZRECORD*);
  int(KZAPI* KZDisplayCoord)(uint32_t, uint32_t, KZHWND, int32_t, int32_t, int32_t*, int32_t*,
                             uint32_t);
  int(KZAPI* KZDisplayCoord2)(const KZDISPLAY*, int32_t, int32_t, int32_t*, int32_t*, uint32_t);
  int(KZAPI* KZEnd)(uint32_t);
  int32_t(KZAPI* KZEnumFormats)(uint32_t, uint32_t, KZFORMAT*, int32_t, uint32_t);
  int32_t(KZAPI* KZEnumSources)(uint32_t, KZSOURCE*, int32_t, uint32_t);
  int(KZAPI* KZFormatDialog)(uint32_t, uint32_t, KZHWND, uint32_t, KZFORMAT*);
  int(KZAPI* KZGetDisplay)(uint32_t, uint32_t, KZHWND, KZDISPLAY*);
  KZHGLOBAL(KZAPI* KZGetDisplayImage)(uint32_t, uint32_t, KZHWND, uint32_t, int32_t);
  int(KZAPI* KZGetDisplayRate)(uint32_t, uint32_t, KZHWND, KZRATE*);
  int(KZAPI* KZGetFileInfo)(const char*, KZFILEINFO*, uint32_t);
  uint32_t(KZAPI* KZGetFileFormat)(const char*);
  int(KZAPI* KZGetFormat)(uint32_t, uint32_t, KZFORMAT*);
  uint32_t(KZAPI* KZGetLastError)(void);
  int(KZAPI* KZGetPlayback)(uint32_t, uint32_t, KZHWND, KZPLAYBACK*);
  int(KZAPI* KZGetPlaybackFrame)(uint32_t, uint32_t, KZHWND, KZPLAYBACKFRAME*);
  uint32_t(KZAPI* KZGetPlaybackID)(uint32_t, const char*, KZHWND);
  KZHGLOBAL(KZAPI* KZGetPlaybackImage)(uint32_t, uint32_t, KZHWND, uint32_t, int32_t);
  int(KZAPI* KZGetPlaybackInfo)(uint32_t, uint32_t, const char*, KZHWND, KZDISPLAY*, KZRECORD*,
                                int32_t);
  int(KZAPI* KZGetPlaybackRate)(uint32_t, uint32_t, KZHWND, KZRATE*);
  int(KZAPI* KZGetRecord)(uint32_t, uint32_t, KZHWND, KZRECORD*);
  int(KZAPI* KZGetRecordRate)(uint32_t, uint32_t, KZHWND, KZRATE*);
  KZHGLOBAL(KZAPI* KZImageToBitmap)(KZHGLOBAL, const KZDISPLAY*);
  uint32_t(KZAPI* KZIsSourceInUse)(uint32_t, uint32_t, KZHWND);
  int(KZAPI* KZJulianToSystemTime)(double, KZSYSTEMTIME*);
  KZHGLOBAL(KZAPI* KZLoadFrame)(const char*, KZPLAYBACK*, KZDISPLAY*, uint32_t);
  int(KZAPI* KZRefreshPlayback)(uint32_t, uint32_t, KZHWND);
  int(KZAPI* KZSaveImage)(KZHGLOBAL, const KZDISPLAY*, const char*);
  uint32_t(KZAPI* KZSaveVideo)(KZEXPORT*);
  int(KZAPI* KZShowImage)(KZHGLOBAL, const KZDISPLAY*, KZHDC);
  int(KZAPI* KZStartDisplay)(KZDISPLAY*);
  uint32_t(KZAPI* KZStartPlayback)(KZPLAYBACK*);
  int(KZAPI* KZStartRecord)(KZRECORD*);
  int(KZAPI* KZStopAll)(uint32_t, uint32_t, KZHWND);
  int(KZAPI* KZStopDisplay)(uint32_t, uint32_t, KZHWND);
  int(KZAPI* KZStopPlayback)(uint32_t, uint32_t, KZHWND);
  int(KZAPI* KZStopRecord)(uint32_t, uint32_t, KZHWND);
  double*(KZAPI* KZSystemTimeToJulian)(double*, const KZSYSTEMTIME*);
  uint32_t(KZAPI* KZVersion)(char*, int32_t);
  int(KZAPI* KZWaitForDisplay)(uint32_t, uint32_t, KZHWND, int32_t);
  int(KZAPI* KZWaitForPlayback)(uint32_t, uint32_t, KZHWND, int32_t);
};

#pragma pack(pop)

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The documented 32-bit layout. */
#if defined(__cplusplus) && (UINTPTR_MAX == 0xFFFFFFFFu)
#include <cstddef>
#define KZ_LAYOUT(T, f, off) static_assert(offsetof(T, f) == (off), #T "." #f)
static_assert(sizeof(KZACCESS) == 196, "KZACCESS");
static_assert(sizeof(KZSOURCE) == 164, "KZSOURCE");
static_assert(sizeof(KZFORMAT) == 16, "KZFORMAT");
static_assert(sizeof(KZADJUSTMENTS) == 52, "KZADJUSTMENTS");
static_assert(sizeof(KZDISPLAY) == 160, "KZDISPLAY");
static_assert(sizeof(KZRATE) == 52, "KZRATE");
static_assert(sizeof(KZRECORD) == 368, "KZRECORD");
static_assert(sizeof(KZPLAYBACKFRAME) == 56, "KZPLAYBACKFRAME");
static_assert(sizeof(KZFILEINFO) == 396, "KZFILEINFO");
static_assert(sizeof(KZPLAYBACK) == 436, "KZPLAYBACK");
static_assert(sizeof(KZEXPORT) == 672, "KZEXPORT");
KZ_LAYOUT(KZACCESS, KZAVIOptionsDialog, 12);
KZ_LAYOUT(KZACCESS, KZGetFileInfo, 72);
KZ_LAYOUT(KZACCESS, KZGetFileFormat, 76);
KZ_LAYOUT(KZACCESS, KZWaitForPlayback, 192);
KZ_LAYOUT(KZDISPLAY, width, 0x0c);
KZ_LAYOUT(KZDISPLAY, height, 0x10);
KZ_LAYOUT(KZDISPLAY, format, 0x14);
KZ_LAYOUT(KZDISPLAY, bitCount, 0x18);
KZ_LAYOUT(KZDISPLAY, window, 0x1c);
KZ_LAYOUT(KZDISPLAY, sourceSetting, 0x20);
KZ_LAYOUT(KZDISPLAY, left, 0x24);
KZ_LAYOUT(KZDISPLAY, top, 0x28);
KZ_LAYOUT(KZDISPLAY, rate, 0x2c);
KZ_LAYOUT(KZDISPLAY, cropLeft, 0x34);
KZ_LAYOUT(KZDISPLAY, cropTop, 0x38);
KZ_LAYOUT(KZDISPLAY, cropWidth, 0x3c);
KZ_LAYOUT(KZDISPLAY, cropHeight, 0x40);
KZ_LAYOUT(KZDISPLAY, orientation, 0x44);
KZ_LAYOUT(KZDISPLAY, zoom, 0x48);
KZ_LAYOUT(KZDISPLAY, aspect, 0x50);
KZ_LAYOUT(KZDISPLAY, resampling, 0x58);
KZ_LAYOUT(KZDISPLAY, adjust.blackLevel, 0x5c);
KZ_LAYOUT(KZDISPLAY, adjust.whiteLevel, 0x60);
KZ_LAYOUT(KZDISPLAY, adjust.whiteBalance, 0x64);
KZ_LAYOUT(KZDISPLAY, adjust.radialStrength, 0x68);
KZ_LAYOUT(KZDISPLAY, adjust.radialSkew, 0x6c);
KZ_LAYOUT(KZDISPLAY, adjust.radialCentreX, 0x70);
KZ_LAYOUT(KZDISPLAY, adjust.radialCentreY, 0x74);
KZ_LAYOUT(KZDISPLAY, adjust.contrast, 0x78);
KZ_LAYOUT(KZDISPLAY, adjust.brightness, 0x7c);
KZ_LAYOUT(KZDISPLAY, adjust.gamma, 0x80);
KZ_LAYOUT(KZDISPLAY, adjust.saturation, 0x88);
KZ_LAYOUT(KZDISPLAY, adjust.chromaBalance, 0x8c);
KZ_LAYOUT(KZDISPLAY, beforeDrawCallback, 0x90);
KZ_LAYOUT(KZDISPLAY, afterConvertCallback, 0x94);
KZ_LAYOUT(KZDISPLAY, afterDrawCallback, 0x98);
KZ_LAYOUT(KZDISPLAY, drawFlags, 0x9c);
KZ_LAYOUT(KZRATE, msSinceStart, 8);
KZ_LAYOUT(KZRATE, framesDropped, 24);
KZ_LAYOUT(KZRATE, meanRate, 28);
KZ_LAYOUT(KZRATE, latestRate, 36);
KZ_LAYOUT(KZRATE, recentRate, 44);
KZ_LAYOUT(KZRECORD, window, 28);
KZ_LAYOUT(KZRECORD, sourceSetting, 32);
KZ_LAYOUT(KZRECORD, fileName, 36);
KZ_LAYOUT(KZRECORD, fileFlags, 292);
KZ_LAYOUT(KZRECORD, maxFileMB, 296);
KZ_LAYOUT(KZRECORD, startTime, 300);
KZ_LAYOUT(KZRECORD, stopTime, 308);
KZ_LAYOUT(KZRECORD, duration, 316);
KZ_LAYOUT(KZRECORD, rate, 324);
KZ_LAYOUT(KZRECORD, reserved, 332);
KZ_LAYOUT(KZRECORD, keyInterval, 336);
KZ_LAYOUT(KZRECORD, refInterval, 340);
KZ_LAYOUT(KZRECORD, quantStep, 344);
KZ_LAYOUT(KZRECORD, levels, 348);
KZ_LAYOUT(KZRECORD, aviOptions, 352);
KZ_LAYOUT(KZRECORD, frameFilter, 356);
KZ_LAYOUT(KZRECORD, endNotify, 360);
KZ_LAYOUT(KZRECORD, recordFlags, 364);
KZ_LAYOUT(KZPLAYBACKFRAME, index, 4);
KZ_LAYOUT(KZPLAYBACKFRAME, frame, 16);
KZ_LAYOUT(KZPLAYBACKFRAME, time, 20);
KZ_LAYOUT(KZPLAYBACKFRAME, fileNumber, 28);
KZ_LAYOUT(KZPLAYBACKFRAME, offset, 32);
KZ_LAYOUT(KZPLAYBACKFRAME, rate, 36);
KZ_LAYOUT(KZPLAYBACKFRAME, stepRate, 44);
KZ_LAYOUT(KZPLAYBACKFRAME, flags, 52);
KZ_LAYOUT(KZFILEINFO, path, 4);
KZ_LAYOUT(KZFILEINFO, kind, 260);
KZ_LAYOUT(KZFILEINFO, sequenceFirst, 280);
KZ_LAYOUT(KZFILEINFO, byteCountLow, 288);
KZ_LAYOUT(KZFILEINFO, frameCount, 296);
KZ_LAYOUT(KZFILEINFO, maxFrame, 312);
KZ_LAYOUT(KZFILEINFO, firstTime, 316);
KZ_LAYOUT(KZFILEINFO, maxTime, 340);
KZ_LAYOUT(KZFILEINFO, firstMsLow, 348);
KZ_LAYOUT(KZFILEINFO, maxMsHigh, 376);
KZ_LAYOUT(KZFILEINFO, audioRate, 380);
KZ_LAYOUT(KZFILEINFO, flags, 392);
KZ_LAYOUT(KZPLAYBACK, fileName, 8);
KZ_LAYOUT(KZPLAYBACK, window, 264);
KZ_LAYOUT(KZPLAYBACK, index, 268);
KZ_LAYOUT(KZPLAYBACK, msLow, 272);
KZ_LAYOUT(KZPLAYBACK, msHigh, 276);
KZ_LAYOUT(KZPLAYBACK, frame, 280);
KZ_LAYOUT(KZPLAYBACK, time, 284);
KZ_LAYOUT(KZPLAYBACK, rate, 292);
KZ_LAYOUT(KZPLAYBACK, repeatCount, 300);
KZ_LAYOUT(KZPLAYBACK, left, 304);
KZ_LAYOUT(KZPLAYBACK, top, 308);
KZ_LAYOUT(KZPLAYBACK, stepRate, 312);
KZ_LAYOUT(KZPLAYBACK, cropLeft, 320);
KZ_LAYOUT(KZPLAYBACK, orientation, 336);
KZ_LAYOUT(KZPLAYBACK, zoom, 340);
KZ_LAYOUT(KZPLAYBACK, aspect, 348);
KZ_LAYOUT(KZPLAYBACK, resampling, 356);
KZ_LAYOUT(KZPLAYBACK, adjust, 360);
KZ_LAYOUT(KZPLAYBACK, volume, 412);
KZ_LAYOUT(KZPLAYBACK, balance, 416);
KZ_LAYOUT(KZPLAYBACK, afterConvertCallback, 420);
KZ_LAYOUT(KZPLAYBACK, afterDrawCallback, 424);
KZ_LAYOUT(KZPLAYBACK, endCallback, 428);
KZ_LAYOUT(KZPLAYBACK, flags, 432);
KZ_LAYOUT(KZEXPORT, sourceName, 8);
KZ_LAYOUT(KZEXPORT, fileName, 264);
KZ_LAYOUT(KZEXPORT, fileFlags, 520);
KZ_LAYOUT(KZEXPORT, maxFileMB, 524);
KZ_LAYOUT(KZEXPORT, speed, 528);
KZ_LAYOUT(KZEXPORT, fixedRate, 536);
KZ_LAYOUT(KZEXPORT, cropLeft, 544);
KZ_LAYOUT(KZEXPORT, orientation, 560);
KZ_LAYOUT(KZEXPORT, zoom, 564);
KZ_LAYOUT(KZEXPORT, aspect, 572);
KZ_LAYOUT(KZEXPORT, resampling, 580);
KZ_LAYOUT(KZEXPORT, adjust, 584);
KZ_LAYOUT(KZEXPORT, keyInterval, 636);
KZ_LAYOUT(KZEXPORT, refInterval, 640);
KZ_LAYOUT(KZEXPORT, quantStep, 644);
KZ_LAYOUT(KZEXPORT, levels, 648);
KZ_LAYOUT(KZEXPORT, aviOptions, 652);
KZ_LAYOUT(KZEXPORT, ranges, 656);
KZ_LAYOUT(KZEXPORT, progress, 660);
KZ_LAYOUT(KZEXPORT, endNotify, 664);
KZ_LAYOUT(KZEXPORT, exportFlags, 668);
#undef KZ_LAYOUT
#endif

#endif /* KZVIDEO_H */
