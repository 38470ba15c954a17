// AVIFile over libavformat/libavcodec: the objects behind PAVIFILE, PAVISTREAM and
// PGETFRAME, shared by the avifile_*.cpp files.
#pragma once

#include <windows.h>
#include <vfw.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kzwin::avi {

// Frame sizes beyond these are refused everywhere: no AVI codec we map produces them, and
// they keep every size product far inside 64 bits.
constexpr int kMaxSide = 16384;
constexpr int64_t kMaxPixels = int64_t{1} << 26;

inline int64_t DibStride(int64_t width, int bits) {
  return ((width * bits + 31) / 32) * 4;
}

// File I/O behind an AVIOContext: one file handle of the kernel area, so that its share
// modes and its disk-full seam apply to AVI files as to every other file.
struct FileIo {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool writeFailed = false;
  AVIOContext* pb = nullptr;
  // False with the reason in `missing` (no such file or folder) when it does not open.
  bool Open(const std::string& path, bool write, bool create, bool* missing = nullptr);
  void Close();
  bool IsOpen() const { return file != INVALID_HANDLE_VALUE; }
  bool ReadAt(int64_t offset, void* buffer, DWORD size);  // exactly `size` bytes
  bool Truncate(int64_t size);
  bool Flush();
  ~FileIo() { Close(); }
};

// One data chunk of a video stream: frame position, whether it starts a decodable run.
struct FrameRef {
  int64_t ts;
  bool key;
  int64_t keyTs = 0;  // the key chunk at or before this one, where decoding must start
};

struct FileStream;
struct CompressedStream;

}  // namespace kzwin::avi

// The handle types of the interface. A stream is either a stream of a file or a compressed
// stream made on one.
struct IAVIStream {
  enum class Kind { File, Compressed };
  explicit IAVIStream(Kind k) : kind(k) {}
  virtual ~IAVIStream() = default;
  const Kind kind;
  long refs = 0;  // guarded by the object registry's mutex
};

struct IAVIFile {
  long refs = 1;  // guarded by the object registry's mutex
  std::recursive_mutex mutex;
  std::string path;
  bool writable = false;
  bool created = false;  // OF_CREATE: a new file, nothing to read
  // Reading (existing files): the demuxer.
  kzwin::avi::FileIo inIo;
  AVFormatContext* in = nullptr;
  const void* lastReader = nullptr;  // whoever moved the demuxer last
  // Writing: the muxer (the file itself, or a temporary copy when appending).
  kzwin::avi::FileIo outIo;
  AVFormatContext* out = nullptr;
  std::string outPath;
  bool headerWritten = false;
  bool failed = false;   // a write failed: no trailer, truncated to lastGood
  int64_t lastGood = 0;  // end of the last packet known to be on disk
  std::vector<std::unique_ptr<kzwin::avi::FileStream>> streams;
};

namespace kzwin::avi {

struct FileStream : IAVIStream {
  FileStream() : IAVIStream(Kind::File) {}
  IAVIFile* file = nullptr;
  AVISTREAMINFOA info{};
  int inIndex = -1;             // stream of the demuxer, -1 for a new stream
  std::vector<uint8_t> format;  // what AVIStreamReadFormat returns
  // Reading: data chunks sorted by position; the length counts drop chunks between them.
  std::vector<FrameRef> frames;
  // Frame 0 is the first chunk: a start offset in the stream header (which the demuxer adds
  // to every time stamp) does not make the stream that many empty frames longer.
  int64_t origin = 0;
  int64_t length = 0;
  uint32_t largest = 0;
  bool scanned = false;  // no index: the table came from reading every chunk
  // Writing.
  AVCodecParameters* par = nullptr;  // set by AVIStreamSetFormat or a compressor
  int outIndex = -1;
  int64_t written = 0;  // packets written after the existing ones
  ~FileStream() override { avcodec_parameters_free(&par); }
  int64_t Length() const { return length + written; }
};

struct CompressedStream : IAVIStream {
  CompressedStream() : IAVIStream(Kind::Compressed) {}
  ~CompressedStream() override;
  std::mutex mutex;
  FileStream* source = nullptr;  // holds one reference
  uint32_t handler = 0;          // canonical FOURCC, 0 for uncompressed DIB
  AVCodecID codecId = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  DWORD quality = 0xFFFFFFFFu;
  DWORD keyFrameEvery = 0;
  DWORD bytesPerSecond = 0;
  DWORD flags = 0;
  int width = 0;
  int height = 0;
  bool ready = false;  // format known, encoder open
  bool failed = false;
  AVCodecContext* enc = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  SwsContext* sws = nullptr;
  int64_t submitted = 0;
};

// Object registry: every live handle, so that a stale or foreign pointer is refused.
std::mutex& RegistryMutex();
void Register(const void* object);
void Unregister(const void* object);
bool IsLive(const void* object);  // caller holds RegistryMutex

// Reference helpers (each takes RegistryMutex).
void AddFileRef(IAVIFile* file);
ULONG ReleaseFile(IAVIFile* file);
void AddStreamRef(IAVIStream* stream);

// Quiet FFmpeg logging, once.
void EnsureAvSetup();

// Demuxer over the file's descriptor; false when it is not an AVI FFmpeg reads.
bool OpenInput(IAVIFile* file);
void CloseInput(IAVIFile* file);
// Opens the demuxer again at the start of the file (files without an index seek so).
bool RewindInput(IAVIFile* file);
// Fills a read stream's frame table, format and info.
void DescribeInputStream(IAVIFile* file, FileStream* stream);

// Muxer side (avifile_write.cpp). All take the file's mutex.
HRESULT SetStreamCodec(FileStream* stream, const AVCodecParameters* par);
HRESULT WritePacket(FileStream* stream, AVPacket* packet);  // at the stream's end
void FinishOutput(IAVIFile* file);
const AVCodecParameters* StreamCodec(FileStream* stream);  // caller holds the file's mutex
HRESULT SetFileStreamFormat(FileStream* stream, const void* format, LONG size);
HRESULT WriteFileStream(FileStream* stream, const void* buffer, LONG size, DWORD flags,
                        LONG* bytesWritten);

// The FOURCC handlers and their encoders (avifile_codec.cpp).
uint32_t CanonicalHandler(uint32_t fourcc);

}  // namespace kzwin::avi
