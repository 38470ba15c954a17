/* AVIFile subset: reading and writing AVI files through installable codecs. */
#ifndef KZWIN_AVIFILE_H
#define KZWIN_AVIFILE_H

#include "base.h"
#include "gdi.h"

#ifdef __cplusplus
extern "C" {
#endif

struct IAVIFile;
struct IAVIStream;
struct IGetFrame;
typedef struct IAVIFile* PAVIFILE;
typedef struct IAVIStream* PAVISTREAM;
typedef struct IGetFrame* PGETFRAME;
typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID, CLSID, *LPCLSID;

#define OF_READ 0x0000
#define OF_WRITE 0x0001
#define OF_READWRITE 0x0002
#define OF_SHARE_DENY_NONE 0x0040
#define OF_CREATE 0x1000

#define streamtypeVIDEO mmioFOURCC('v', 'i', 'd', 's')
#define streamtypeAUDIO mmioFOURCC('a', 'u', 'd', 's')

#define AVIIF_KEYFRAME 0x00000010L

#define MAKE_AVIERR(error) ((HRESULT)(0x80044000u + (error)))
#define AVIERR_OK 0L
#define AVIERR_UNSUPPORTED MAKE_AVIERR(101)
#define AVIERR_BADFORMAT MAKE_AVIERR(102)
#define AVIERR_MEMORY MAKE_AVIERR(103)
#define AVIERR_INTERNAL MAKE_AVIERR(104)
#define AVIERR_BADFLAGS MAKE_AVIERR(105)
#define AVIERR_BADPARAM MAKE_AVIERR(106)
#define AVIERR_BADSIZE MAKE_AVIERR(107)
#define AVIERR_BADHANDLE MAKE_AVIERR(108)
#define AVIERR_FILEREAD MAKE_AVIERR(109)
#define AVIERR_FILEWRITE MAKE_AVIERR(110)
#define AVIERR_FILEOPEN MAKE_AVIERR(111)
#define AVIERR_COMPRESSOR MAKE_AVIERR(112)
#define AVIERR_NOCOMPRESSOR MAKE_AVIERR(113)
#define AVIERR_READONLY MAKE_AVIERR(114)
#define AVIERR_NODATA MAKE_AVIERR(115)
#define AVIERR_BUFFERTOOSMALL MAKE_AVIERR(116)
#define AVIERR_CANTCOMPRESS MAKE_AVIERR(117)
#define AVIERR_USERABORT MAKE_AVIERR(198)
#define AVIERR_ERROR MAKE_AVIERR(199)

#define ICMF_CHOOSE_KEYFRAME 0x0001
#define ICMF_CHOOSE_DATARATE 0x0002
#define AVICOMPRESSF_INTERLEAVE 0x00000001
#define AVICOMPRESSF_DATARATE 0x00000002
#define AVICOMPRESSF_KEYFRAMES 0x00000004
#define AVICOMPRESSF_VALID 0x00000008

typedef struct _AVISTREAMINFOA {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwCaps;
  WORD wPriority;
  WORD wLanguage;
  DWORD dwScale;
  DWORD dwRate;
  DWORD dwStart;
  DWORD dwLength;
  DWORD dwInitialFrames;
  DWORD dwSuggestedBufferSize;
  DWORD dwQuality;
  DWORD dwSampleSize;
  RECT rcFrame;
  DWORD dwEditCount;
  DWORD dwFormatChangeCount;
  char szName[64];
} AVISTREAMINFOA, *LPAVISTREAMINFOA;

typedef struct {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwKeyFrameEvery;
  DWORD dwQuality;
  DWORD dwBytesPerSecond;
  DWORD dwFlags;
  LPVOID lpFormat;
  DWORD cbFormat;
  LPVOID lpParms;
  DWORD cbParms;
  DWORD dwInterleaveEvery;
} AVICOMPRESSOPTIONS, *LPAVICOMPRESSOPTIONS;

#pragma pack(push, 2)
typedef struct tWAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
} WAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)

KZWIN_API void VFWAPI AVIFileInit(void);
KZWIN_API void VFWAPI AVIFileExit(void);
KZWIN_API HRESULT VFWAPI AVIFileOpenA(PAVIFILE* file, LPCSTR name, UINT mode, LPCLSID handler);
KZWIN_API HRESULT VFWAPI AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, DWORD type,
                                          LONG index);
KZWIN_API HRESULT VFWAPI AVIFileCreateStreamA(PAVIFILE file, PAVISTREAM* stream,
                                              AVISTREAMINFOA* info);
KZWIN_API ULONG VFWAPI AVIFileRelease(PAVIFILE file);
KZWIN_API HRESULT VFWAPI AVIStreamInfoA(PAVISTREAM stream, LPAVISTREAMINFOA info, LONG size);
KZWIN_API HRESULT VFWAPI AVIStreamSetFormat(PAVISTREAM stream, LONG position, LPVOID format,
                                            LONG formatSize);
KZWIN_API HRESULT VFWAPI AVIStreamReadFormat(PAVISTREAM stream, LONG position, LPVOID format,
                                             LONG* formatSize);
KZWIN_API HRESULT VFWAPI AVIStreamWrite(PAVISTREAM stream, LONG start, LONG samples,
                                        LPVOID buffer, LONG bufferSize, DWORD flags,
                                        LONG* samplesWritten, LONG* bytesWritten);
KZWIN_API LONG VFWAPI AVIStreamLength(PAVISTREAM stream);
KZWIN_API HRESULT VFWAPI AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                                 AVICOMPRESSOPTIONS* options, CLSID* handler);
KZWIN_API HRESULT VFWAPI AVIStreamOpenFromFileA(PAVISTREAM* stream, LPCSTR name, DWORD type,
                                                LONG index, UINT mode, CLSID* handler);
KZWIN_API PGETFRAME VFWAPI AVIStreamGetFrameOpen(PAVISTREAM stream, LPBITMAPINFOHEADER wanted);
KZWIN_API LPVOID VFWAPI AVIStreamGetFrame(PGETFRAME getFrame, LONG position);
KZWIN_API HRESULT VFWAPI AVIStreamGetFrameClose(PGETFRAME getFrame);
KZWIN_API ULONG VFWAPI AVIStreamRelease(PAVISTREAM stream);
KZWIN_API BOOL VFWAPI AVISaveOptions(HWND owner, UINT flags, int streamCount, PAVISTREAM* streams,
                                     LPAVICOMPRESSOPTIONS* options);
KZWIN_API HRESULT VFWAPI AVISaveOptionsFree(int streamCount, LPAVICOMPRESSOPTIONS* options);

#ifdef __cplusplus
}
#endif

#endif
