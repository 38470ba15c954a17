#include <kzvideo.h>

#include <cstdio>

#include "commands.h"

namespace kztool {

const char* ErrorText(unsigned code) {
  switch (code) {
    case 0:
      return "no error";
    case 2:
      return "a record does not hold the expected size";
    case 3:
      return "a text buffer is shorter than 1";
    case 4:
      return "32 sessions are open already";
    case 5:
      return "no such session";
    case 6:
      return "no capture source was found";
    case 7:
      return "more sources than the list holds";
    case 8:
      return "the source is in use by another session";
    case 9:
      return "no such source, or its driver cannot be connected";
    case 10:
      return "no capture format found for the source";
    case 11:
      return "more formats than the list holds";
    case 12:
      return "out of memory";
    case 13:
      return "no formats are stored for the source";
    case 14:
      return "the driver has no such dialog, or it failed";
    case 15:
      return "the pixel format is not supported";
    case 16:
      return "not implemented";
    case 17:
      return "a required pointer is null";
    case 18:
      return "the session already displays this source";
    case 19:
      return "not a window";
    case 20:
      return "all 32 stream slots are in use";
    case 21:
      return "the worker thread could not be created";
    case 22:
      return "a stream did not stop within 5 seconds";
    case 23:
      return "the capture driver refuses the format";
    case 24:
      return "no such display stream";
    case 25:
      return "the stream belongs to another session";
    case 26:
      return "the stream shows in another window";
    case 27:
      return "timed out waiting for a frame";
    case 28:
      return "the display's frame buffer stayed busy";
    case 29:
      return "no frame has been shown yet";
    case 30:
      return "no such record stream";
    case 31:
      return "nothing was stopped";
    case 32:
      return "the session already records this source";
    case 33:
      return "the output file exists already";
    case 34:
      return "the file to continue cannot be opened";
    case 35:
      return "the file to continue holds another kind of stream";
    case 36:
      return "the output file cannot be created";
    case 37:
      return "the output file cannot be opened for appending";
    case 38:
      return "the output kind is not supported";
    case 39:
      return "the source runs with another format";
    case 40:
      return "the source runs in another window";
    case 41:
      return "the recording ended normally";
    case 42:
      return "writing the output failed";
    case 43:
      return "the image handle is null";
    case 44:
      return "the image handle is not valid";
    case 45:
      return "the image is smaller than its format needs";
    case 46:
      return "the device context belongs to no window";
    case 47:
      return "the file cannot be opened";
    case 48:
      return "reading the file failed";
    case 49:
      return "the file is not of a known kind";
    case 50:
      return "no file name given";
    case 51:
      return "the file is played back already";
    case 52:
      return "the file is played back in this window already";
    case 53:
      return "no such playback stream";
    case 54:
      return "the file cannot be positioned";
    case 55:
      return "no frame matches the position";
    case 56:
      return "the playback ended normally";
    case 57:
      return "the playback has not shown a frame yet";
    case 58:
      return "no display block found for the file";
    case 59:
      return "no record block found for the file";
    case 60:
      return "the playback's frame buffer stayed busy";
    case 61:
      return "the AVI file has no video stream";
    case 62:
      return "no decompressor for the AVI video stream";
    case 63:
      return "the AVI video format cannot be read";
    case 64:
      return "the temporary AVI file cannot be created";
    case 65:
      return "the compression options dialog was cancelled";
    case 66:
      return "no compressed stream can be made with the options";
    case 67:
      return "writing an AVI frame failed";
    case 68:
      return "the output file is the source file";
    case 69:
      return "the export ended normally";
    case 70:
      return "the export was cancelled";
    case 71:
      return "the frame ranges select no frame";
    default:
      return "unknown error";
  }
}

int ReportError(const char* what, unsigned code) {
  std::fprintf(stderr, "kzvideo: %s failed: error %u: %s\n", what, code, ErrorText(code));
  return 1;
}

}  // namespace kztool
