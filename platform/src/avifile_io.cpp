// AVIFile I/O: descriptors behind AVIOContexts, the object registry, and the demuxer side
// of a file (its streams, formats and frame tables).
#include <errno.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_set>

#include "avifile_internal.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace kzwin::avi {
namespace {

constexpr int kIoBuffer = 32768;

bool SetPosition(HANDLE file, int64_t offset, DWORD method, int64_t* result) {
  LONG high = static_cast<LONG>(offset >> 32);
  SetLastError(ERROR_SUCCESS);
  DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFF), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return false;
  if (result) *result = (static_cast<int64_t>(high) << 32) | low;
  return true;
}

int ReadCallback(void* opaque, uint8_t* buffer, int size) {
  auto* io = static_cast<FileIo*>(opaque);
  DWORD got = 0;
  if (!ReadFile(io->file, buffer, static_cast<DWORD>(size), &got, nullptr)) return AVERROR(EIO);
  return got == 0 ? AVERROR_EOF : static_cast<int>(got);
}

int WriteCallback(void* opaque, uint8_t* buffer, int size) {
  auto* io = static_cast<FileIo*>(opaque);
  if (io->writeFailed) return AVERROR(EIO);
  DWORD done = 0;
  while (done < static_cast<DWORD>(size)) {
    DWORD n = 0;
    if (!WriteFile(io->file, buffer + done, static_cast<DWORD>(size) - done, &n, nullptr) ||
        n == 0) {
      // A short write is as bad as a failed one: the muxer's bookkeeping no longer
      // matches the file, so the file is marked and finished without a trailer.
      io->writeFailed = true;
      return AVERROR(ENOSPC);
    }
    done += n;
  }
  return size;
}

int64_t SeekCallback(void* opaque, int64_t offset, int whence) {
  auto* io = static_cast<FileIo*>(opaque);
  if (whence & AVSEEK_SIZE) {
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    DWORD low = GetFileSize(io->file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return AVERROR(EIO);
    return (static_cast<int64_t>(high) << 32) | low;
  }
  DWORD method = FILE_BEGIN;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
      break;
    case SEEK_CUR:
      method = FILE_CURRENT;
      break;
    case SEEK_END:
      method = FILE_END;
      break;
    default:
      return AVERROR(EINVAL);
  }
  int64_t at = 0;
  return SetPosition(io->file, offset, method, &at) ? at : AVERROR(EIO);
}

}  // namespace

bool FileIo::Open(const std::string& path, bool write, bool create, bool* missing) {
  Close();
  if (missing) *missing = false;
  file = CreateFileA(path.c_str(), GENERIC_READ | (write ? GENERIC_WRITE : 0),
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     create ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (missing) *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return false;
  }
  BY_HANDLE_FILE_INFORMATION facts;
  if (!GetFileInformationByHandle(file, &facts) ||
      (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    Close();
    return false;
  }
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
  if (buffer) {
    pb = avio_alloc_context(buffer, kIoBuffer, write ? 1 : 0, this, ReadCallback,
                            write ? WriteCallback : nullptr, SeekCallback);
  }
  if (!pb) {
    av_free(buffer);
    Close();
    return false;
  }
  return true;
}

void FileIo::Close() {
  if (pb) {
    av_freep(&pb->buffer);
    avio_context_free(&pb);
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  file = INVALID_HANDLE_VALUE;
  writeFailed = false;
}

bool FileIo::ReadAt(int64_t offset, void* buffer, DWORD size) {
  int64_t was = 0;
  if (!SetPosition(file, 0, FILE_CURRENT, &was) ||
      !SetPosition(file, offset, FILE_BEGIN, nullptr)) {
    return false;
  }
  DWORD got = 0;
  bool ok = ReadFile(file, buffer, size, &got, nullptr) && got == size;
  return SetPosition(file, was, FILE_BEGIN, nullptr) && ok;
}

bool FileIo::Truncate(int64_t size) {
  return SetPosition(file, size, FILE_BEGIN, nullptr) && SetEndOfFile(file);
}

bool FileIo::Flush() {
  return FlushFileBuffers(file) != FALSE;
}

std::mutex& RegistryMutex() {
  static auto* m = new std::mutex;
  return *m;
}

namespace {
std::unordered_set<const void*>& Live() {
  static auto* set = new std::unordered_set<const void*>;
  return *set;
}
}  // namespace

void Register(const void* object) {
  Live().insert(object);
}
void Unregister(const void* object) {
  Live().erase(object);
}
bool IsLive(const void* object) {
  return object && Live().count(object) != 0;
}
long LiveCount() {
  return static_cast<long>(Live().size());
}

void EnsureAvSetup() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

namespace {

// The demuxer alone, from the start of the file.
bool OpenDemuxer(IAVIFile* file) {
  // Only RIFF "AVI " files: libavformat would happily read other containers.
  uint8_t head[12];
  if (!file->inIo.ReadAt(0, head, sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "AVI ", 4) != 0) {
    return false;
  }
  AVFormatContext* fmt = avformat_alloc_context();
  if (!fmt) return false;
  fmt->pb = file->inIo.pb;
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  const AVInputFormat* avi = av_find_input_format("avi");
  if (avformat_open_input(&fmt, nullptr, avi, nullptr) < 0) return false;  // frees fmt
  file->in = fmt;
  return true;
}

}  // namespace

bool OpenInput(IAVIFile* file) {
  if (!OpenDemuxer(file)) return false;
  for (unsigned i = 0; i < file->in->nb_streams; ++i) {
    auto stream = std::make_unique<FileStream>();
    stream->file = file;
    stream->inIndex = static_cast<int>(i);
    DescribeInputStream(file, stream.get());
    file->streams.push_back(std::move(stream));
  }
  return true;
}

bool RewindInput(IAVIFile* file) {
  unsigned streams = file->in ? file->in->nb_streams : 0;
  if (file->in) avformat_close_input(&file->in);
  if (avio_seek(file->inIo.pb, 0, SEEK_SET) < 0) return false;
  if (!OpenDemuxer(file)) return false;
  // The same file read again: the streams the callers hold must still be there.
  if (file->in->nb_streams != streams) {
    avformat_close_input(&file->in);
    return false;
  }
  return true;
}

void CloseInput(IAVIFile* file) {
  if (file->in) avformat_close_input(&file->in);
  file->inIo.Close();
}

namespace {

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}

// FFmpeg marks bottom-up raw RGB with a trailing "BottomUp" in the extradata.
int ExtradataWithoutMarker(const AVCodecParameters* par, bool* bottomUp) {
  int size = par->extradata ? par->extradata_size : 0;
  *bottomUp = false;
  if (size >= 9 && std::memcmp(par->extradata + size - 9, "BottomUp", 9) == 0) {
    *bottomUp = true;
    size -= 9;
  }
  return std::clamp(size, 0, 1 << 20);
}

// Frame table from the demuxer's index; a file without one is read once to build it.
void BuildFrameTable(IAVIFile* file, FileStream* stream) {
  AVStream* st = file->in->streams[stream->inIndex];
  int count = avformat_index_get_entries_count(st);
  for (int i = 0; i < count; ++i) {
    const AVIndexEntry* e = avformat_index_get_entry(st, i);
    if (!e || e->size <= 0 || e->timestamp < 0 || e->timestamp >= INT32_MAX) continue;
    stream->frames.push_back({e->timestamp, (e->flags & AVINDEX_KEYFRAME) != 0, 0});
    stream->largest = std::max<uint32_t>(stream->largest, static_cast<uint32_t>(e->size));
  }
  if (stream->frames.empty()) {
    // No index (a truncated file, or one written without idx1): walk the chunks. Seeking
    // then means reading again from the start.
    stream->scanned = true;
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) return;
    while (av_read_frame(file->in, pkt) >= 0) {
      if (pkt->stream_index == stream->inIndex && pkt->size > 0) {
        int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
        if (ts >= 0 && ts < INT32_MAX) {
          bool key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
          stream->frames.push_back({ts, key, 0});
          stream->largest = std::max<uint32_t>(stream->largest, static_cast<uint32_t>(pkt->size));
        }
      }
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    file->lastReader = &file->lastReader;  // the demuxer is at the end: readers must seek
  }
  std::sort(stream->frames.begin(), stream->frames.end(),
            [](const FrameRef& a, const FrameRef& b) { return a.ts < b.ts; });
  stream->frames.erase(
      std::unique(stream->frames.begin(), stream->frames.end(),
                  [](const FrameRef& a, const FrameRef& b) { return a.ts == b.ts; }),
      stream->frames.end());
  // Files that flag no key frame at all still decode from their first chunk.
  if (!stream->frames.empty()) stream->frames.front().key = true;
  int64_t key = 0;
  for (FrameRef& f : stream->frames) {
    if (f.key) key = f.ts;
    f.keyTs = key;
  }
  stream->origin = stream->frames.empty() ? 0 : stream->frames.front().ts;
  stream->length = stream->frames.empty() ? 0 : stream->frames.back().ts + 1 - stream->origin;
}

}  // namespace

void DescribeInputStream(IAVIFile* file, FileStream* stream) {
  AVStream* st = file->in->streams[stream->inIndex];
  const AVCodecParameters* par = st->codecpar;
  AVISTREAMINFOA& info = stream->info;
  std::memset(&info, 0, sizeof info);
  info.dwQuality = 0xFFFFFFFFu;
  int num = st->time_base.num > 0 ? st->time_base.num : 1;
  int den = st->time_base.den > 0 ? st->time_base.den : 1;
  info.dwScale = static_cast<DWORD>(num);
  info.dwRate = static_cast<DWORD>(den);
  if (const AVDictionaryEntry* title = av_dict_get(st->metadata, "title", nullptr, 0)) {
    std::strncpy(info.szName, title->value, sizeof info.szName - 1);
  }
  bool bottomUp = false;
  int extra = ExtradataWithoutMarker(par, &bottomUp);
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    info.fccType = streamtypeVIDEO;
    info.fccHandler =
        par->codec_tag
            ? par->codec_tag
            : (par->codec_id == AV_CODEC_ID_RAWVIDEO ? mmioFOURCC('D', 'I', 'B', ' ') : 0);
    int w = std::clamp(par->width, 0, INT32_MAX / 2);
    int h = std::clamp(par->height, 0, INT32_MAX / 2);
    info.rcFrame = {0, 0, w, h};
    BuildFrameTable(file, stream);
    info.dwLength = static_cast<DWORD>(std::min<int64_t>(stream->length, INT32_MAX));
    info.dwSuggestedBufferSize = stream->largest;
    // BITMAPINFOHEADER rebuilt from what the demuxer kept of "strf", then its extra bytes
    // (the colour table of paletted streams, or a codec's private data).
    stream->format.assign(40 + static_cast<size_t>(extra), 0);
    int bits = par->bits_per_coded_sample;
    bool topDown = par->codec_id == AV_CODEC_ID_RAWVIDEO && par->codec_tag == 0 && !bottomUp;
    Put32(stream->format, 0, 40);
    Put32(stream->format, 4, static_cast<uint32_t>(w));
    Put32(stream->format, 8, static_cast<uint32_t>(topDown ? -h : h));
    Put16(stream->format, 12, 1);
    Put16(stream->format, 14, static_cast<uint32_t>(bits));
    Put32(stream->format, 16, par->codec_tag);
    // Sizes straight from the file: only sane ones give an image size.
    bool sane = bits > 0 && bits <= 64 && w <= kMaxSide && h <= kMaxSide;
    int64_t image = sane ? DibStride(w, bits) * h : 0;
    Put32(stream->format, 20, image > 0 && image <= UINT32_MAX ? static_cast<uint32_t>(image) : 0);
    if (bits > 0 && bits <= 8 && extra >= 4) {
      Put32(stream->format, 32, static_cast<uint32_t>(std::min(extra / 4, 1 << bits)));
    }
    if (extra > 0) std::memcpy(stream->format.data() + 40, par->extradata, extra);
  } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
    info.fccType = streamtypeAUDIO;
    info.fccHandler = 0;
    info.dwSampleSize = static_cast<DWORD>(std::max(par->block_align, 0));
    int64_t duration = st->duration > 0 ? st->duration : 0;
    info.dwLength = static_cast<DWORD>(std::min<int64_t>(duration, INT32_MAX));
    stream->format.assign(18 + static_cast<size_t>(extra), 0);
    Put16(stream->format, 0, par->codec_tag);
    Put16(stream->format, 2, static_cast<uint32_t>(par->ch_layout.nb_channels));
    Put32(stream->format, 4, static_cast<uint32_t>(par->sample_rate));
    Put32(stream->format, 8, static_cast<uint32_t>(par->bit_rate / 8));
    Put16(stream->format, 12, static_cast<uint32_t>(par->block_align));
    Put16(stream->format, 14, static_cast<uint32_t>(par->bits_per_coded_sample));
    Put16(stream->format, 16, static_cast<uint32_t>(extra));
    if (extra > 0) std::memcpy(stream->format.data() + 18, par->extradata, extra);
  } else {
    info.fccType = mmioFOURCC('t', 'x', 't', 's');
  }
}

}  // namespace kzwin::avi
