// AVIFile for builds without FFmpeg (the 32-bit test build): there is no codec, so every
// file and stream operation reports AVIERR_UNSUPPORTED and nothing is ever opened.
#include <windows.h>
#include <vfw.h>

extern "C" {

void VFWAPI AVIFileInit(void) {}
void VFWAPI AVIFileExit(void) {}

HRESULT VFWAPI AVIFileOpenA(PAVIFILE* file, LPCSTR, UINT, LPCLSID) {
  if (file) *file = nullptr;
  return AVIERR_UNSUPPORTED;
}
HRESULT VFWAPI AVIFileGetStream(PAVIFILE, PAVISTREAM* stream, DWORD, LONG) {
  if (stream) *stream = nullptr;
  return AVIERR_UNSUPPORTED;
}
HRESULT VFWAPI AVIFileCreateStreamA(PAVIFILE, PAVISTREAM* stream, AVISTREAMINFOA*) {
  if (stream) *stream = nullptr;
  return AVIERR_UNSUPPORTED;
}
ULONG VFWAPI AVIFileRelease(PAVIFILE) { return 0; }
HRESULT VFWAPI AVIStreamInfoA(PAVISTREAM, LPAVISTREAMINFOA, LONG) { return AVIERR_UNSUPPORTED; }
HRESULT VFWAPI AVIStreamSetFormat(PAVISTREAM, LONG, LPVOID, LONG) { return AVIERR_UNSUPPORTED; }
HRESULT VFWAPI AVIStreamReadFormat(PAVISTREAM, LONG, LPVOID, LONG*) { return AVIERR_UNSUPPORTED; }
HRESULT VFWAPI AVIStreamWrite(PAVISTREAM, LONG, LONG, LPVOID, LONG, DWORD, LONG*, LONG*) {
  return AVIERR_UNSUPPORTED;
}
LONG VFWAPI AVIStreamLength(PAVISTREAM) { return -1; }
HRESULT VFWAPI AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM, AVICOMPRESSOPTIONS*,
                                       CLSID*) {
  if (compressed) *compressed = nullptr;
  return AVIERR_NOCOMPRESSOR;
}
HRESULT VFWAPI AVIStreamOpenFromFileA(PAVISTREAM* stream, LPCSTR, DWORD, LONG, UINT, CLSID*) {
  if (stream) *stream = nullptr;
  return AVIERR_UNSUPPORTED;
}
PGETFRAME VFWAPI AVIStreamGetFrameOpen(PAVISTREAM, LPBITMAPINFOHEADER) { return nullptr; }
LPVOID VFWAPI AVIStreamGetFrame(PGETFRAME, LONG) { return nullptr; }
HRESULT VFWAPI AVIStreamGetFrameClose(PGETFRAME) { return AVIERR_OK; }
ULONG VFWAPI AVIStreamRelease(PAVISTREAM) { return 0; }
BOOL VFWAPI AVISaveOptions(HWND, UINT, int, PAVISTREAM*, LPAVICOMPRESSOPTIONS*) { return FALSE; }
HRESULT VFWAPI AVISaveOptionsFree(int, LPAVICOMPRESSOPTIONS*) { return AVIERR_OK; }

}  // extern "C"
