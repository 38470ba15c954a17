// Snapshot files: a packed bitmap handle (BITMAPINFOHEADER, colours, rows) written as a BMP
// file (the bitmap's own bytes) or as a PNG file (8-bit RGB through zlib).
#pragma once

#include <kzvideo.h>

#include <string>

namespace kztool {

// Chooses the writer by the name's ending (.bmp or .png, any case). False with `why` set
// when the bitmap cannot be read or the file cannot be written.
bool WriteImageFile(const char* path, KZHGLOBAL dib, std::string* why);

// True when the name ends in .bmp or .png: argument checks reject other names up front.
bool IsImageFileName(const char* path);

}  // namespace kztool
