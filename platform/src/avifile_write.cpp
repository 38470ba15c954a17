// The writing side of an AVI file: one libavformat muxer per file. A new file is muxed in
// place; an existing one is copied into a temporary file next to it, new chunks follow the
// copied ones, and the copy replaces the original only once it is complete.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "avifile_internal.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace kzwin::avi {
namespace {

AVRational FrameUnit(const FileStream* s) {
  AVRational r{1, 1};
  av_reduce(&r.num, &r.den, s->info.dwScale, s->info.dwRate, INT32_MAX);
  if (r.num <= 0 || r.den <= 0) r = {1, 15};
  return r;
}

void BuildFormat(FileStream* s) {
  const AVCodecParameters* par = s->par;
  int extra = par->extradata ? std::clamp(par->extradata_size, 0, 1 << 20) : 0;
  s->format.assign(40 + static_cast<size_t>(extra), 0);
  BITMAPINFOHEADER h{};
  h.biSize = 40;
  h.biWidth = par->width;
  h.biHeight = par->height;
  h.biPlanes = 1;
  h.biBitCount =
      static_cast<WORD>(par->bits_per_coded_sample > 0 ? par->bits_per_coded_sample : 24);
  h.biCompression = par->codec_tag;
  h.biSizeImage = static_cast<DWORD>(DibStride(par->width, h.biBitCount) * par->height);
  std::memcpy(s->format.data(), &h, 40);
  if (extra) std::memcpy(s->format.data() + 40, par->extradata, extra);
}

bool SameFormat(const AVCodecParameters* a, const AVCodecParameters* b) {
  return a->codec_id == b->codec_id && a->width == b->width && a->height == b->height &&
         (a->codec_id != AV_CODEC_ID_RAWVIDEO ||
          a->bits_per_coded_sample == b->bits_per_coded_sample);
}

bool Flush(IAVIFile* file) {
  avio_flush(file->out->pb);
  if (file->out->pb->error < 0 || file->outIo.writeFailed) {
    file->failed = true;
    return false;
  }
  file->lastGood = avio_tell(file->out->pb);
  return true;
}

bool AllocMuxer(IAVIFile* file) {
  if (avformat_alloc_output_context2(&file->out, nullptr, "avi", nullptr) < 0) return false;
  file->out->pb = file->outIo.pb;
  file->out->flags |= AVFMT_FLAG_CUSTOM_IO;
  return true;
}

bool WriteHeader(IAVIFile* file, bool bottomUpRaw) {
  AVDictionary* opts = nullptr;
  // Our raw rows are bottom-up with a positive biHeight, as Windows writes them.
  if (bottomUpRaw) av_dict_set(&opts, "flipped_raw_rgb", "1", 0);
  int r = avformat_write_header(file->out, &opts);
  av_dict_free(&opts);
  if (r < 0) {
    file->failed = true;
    return false;
  }
  file->headerWritten = true;
  return Flush(file);
}

HRESULT StartNewFile(IAVIFile* file) {
  if (!AllocMuxer(file)) return AVIERR_MEMORY;
  int added = 0;
  for (auto& s : file->streams) {
    if (!s->par) continue;
    AVStream* st = avformat_new_stream(file->out, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, s->par) < 0) return AVIERR_MEMORY;
    st->time_base = FrameUnit(s.get());
    if (s->info.szName[0]) av_dict_set(&st->metadata, "title", s->info.szName, 0);
    s->outIndex = st->index;
    ++added;
  }
  if (added == 0) return AVIERR_NODATA;
  return WriteHeader(file, true) ? AVIERR_OK : AVIERR_FILEWRITE;
}

// Copies every chunk of the existing file into the temporary muxer.
HRESULT StartAppend(IAVIFile* file) {
  if (!file->in) return AVIERR_FILEREAD;
  file->outPath = file->path + "~kzappend";
  if (!file->outIo.Open(file->outPath, true, true)) return AVIERR_FILEOPEN;
  if (!AllocMuxer(file)) return AVIERR_MEMORY;
  bool bottomUp = false;
  for (auto& s : file->streams) {
    AVStream* ist = file->in->streams[s->inIndex];
    AVStream* ost = avformat_new_stream(file->out, nullptr);
    if (!ost || avcodec_parameters_copy(ost->codecpar, ist->codecpar) < 0) return AVIERR_MEMORY;
    AVCodecParameters* par = ost->codecpar;
    if (par->extradata_size >= 9 &&
        std::memcmp(par->extradata + par->extradata_size - 9, "BottomUp", 9) == 0) {
      par->extradata_size -= 9;
      bottomUp = true;
    }
    ost->time_base = ist->time_base;
    if (s->info.szName[0]) av_dict_set(&ost->metadata, "title", s->info.szName, 0);
    s->outIndex = ost->index;
  }
  if (!WriteHeader(file, bottomUp)) return AVIERR_FILEWRITE;

  // A second reader from the start, so that the frame readers' demuxer keeps its place.
  FileIo io;
  if (!io.Open(file->path, false, false)) return AVIERR_FILEREAD;
  AVFormatContext* in = avformat_alloc_context();
  if (!in) return AVIERR_MEMORY;
  in->pb = io.pb;
  in->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_open_input(&in, nullptr, av_find_input_format("avi"), nullptr) < 0) {
    return AVIERR_FILEREAD;
  }
  HRESULT hr = AVIERR_OK;
  std::vector<int64_t> lastDts(file->out->nb_streams, INT64_MIN);
  AVPacket* pkt = av_packet_alloc();
  if (!pkt) hr = AVIERR_MEMORY;
  while (hr == AVIERR_OK && av_read_frame(in, pkt) >= 0) {
    unsigned i = static_cast<unsigned>(pkt->stream_index);
    if (i < file->out->nb_streams && i < in->nb_streams && pkt->size > 0) {
      av_packet_rescale_ts(pkt, in->streams[i]->time_base, file->out->streams[i]->time_base);
      if (pkt->dts == AV_NOPTS_VALUE) pkt->dts = pkt->pts;
      // Chunks whose positions run backwards cannot be muxed again; they are left out.
      if (pkt->dts != AV_NOPTS_VALUE && pkt->dts > lastDts[i]) {
        lastDts[i] = pkt->dts;
        pkt->pts = pkt->dts;
        pkt->pos = -1;
        if (av_write_frame(file->out, pkt) < 0 || !Flush(file)) hr = AVIERR_FILEWRITE;
      }
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&in);
  if (hr != AVIERR_OK) file->failed = true;
  return hr;
}

HRESULT EnsureHeader(IAVIFile* file) {
  if (file->failed) return AVIERR_FILEWRITE;
  if (file->headerWritten) return AVIERR_OK;
  HRESULT hr = file->created ? StartNewFile(file) : StartAppend(file);
  if (hr != AVIERR_OK) file->failed = true;
  return hr;
}

}  // namespace

HRESULT SetStreamCodec(FileStream* s, const AVCodecParameters* par) {
  IAVIFile* file = s->file;
  std::lock_guard lock(file->mutex);
  if (par->width <= 0 || par->height <= 0 || par->width > kMaxSide || par->height > kMaxSide) {
    return AVIERR_BADFORMAT;
  }
  if (s->inIndex >= 0) {
    // An existing stream keeps its format; a different one is refused, not rewritten.
    const AVCodecParameters* have = StreamCodec(s);
    return have && SameFormat(have, par) ? AVIERR_OK : AVIERR_BADFORMAT;
  }
  if (file->headerWritten) {
    return s->par && SameFormat(s->par, par) ? AVIERR_OK : AVIERR_UNSUPPORTED;
  }
  if (!s->par) s->par = avcodec_parameters_alloc();
  if (!s->par || avcodec_parameters_copy(s->par, par) < 0) return AVIERR_MEMORY;
  s->info.rcFrame = {0, 0, par->width, par->height};
  s->info.fccHandler = par->codec_tag ? par->codec_tag : mmioFOURCC('D', 'I', 'B', ' ');
  BuildFormat(s);
  return AVIERR_OK;
}

const AVCodecParameters* StreamCodec(FileStream* s) {
  if (s->inIndex >= 0) return s->file->in ? s->file->in->streams[s->inIndex]->codecpar : nullptr;
  return s->par;
}

HRESULT WritePacket(FileStream* s, AVPacket* pkt) {
  IAVIFile* file = s->file;
  std::lock_guard lock(file->mutex);
  if (!file->writable) return AVIERR_READONLY;
  if (!StreamCodec(s)) return AVIERR_BADFORMAT;
  HRESULT hr = EnsureHeader(file);
  if (hr != AVIERR_OK) return hr;
  if (s->outIndex < 0) return AVIERR_UNSUPPORTED;  // formatted after the header
  AVStream* ost = file->out->streams[s->outIndex];
  AVRational unit = s->inIndex >= 0 ? file->in->streams[s->inIndex]->time_base : FrameUnit(s);
  // Chunks go one after another at the stream's end.
  pkt->pts = pkt->dts = s->Length();
  av_packet_rescale_ts(pkt, unit, ost->time_base);
  pkt->stream_index = s->outIndex;
  pkt->pos = -1;
  if (av_write_frame(file->out, pkt) < 0 || !Flush(file)) {
    file->failed = true;
    return AVIERR_FILEWRITE;
  }
  ++s->written;
  return AVIERR_OK;
}

void FinishOutput(IAVIFile* file) {
  if (!file->writable) return;
  bool hasFormat = false;
  for (auto& s : file->streams) hasFormat |= s->par != nullptr;
  if (file->created && !file->headerWritten && !file->failed && hasFormat) {
    EnsureHeader(file);  // a stream with a format and no frames is still a valid file
  }
  if (file->out && file->headerWritten && !file->failed) {
    if (av_write_trailer(file->out) < 0) file->failed = true;
    if (!file->failed) Flush(file);
  }
  if (file->out && file->failed && file->outIo.IsOpen()) {
    // Cut what the muxer could not finish: the header then claims no chunks, and the
    // chunks up to the cut are whole.
    file->outIo.Truncate(file->lastGood);
  }
  bool complete = file->out && file->headerWritten && !file->failed;
  if (file->outIo.IsOpen() && complete && !file->outIo.Flush()) complete = false;
  if (file->out) avformat_free_context(file->out);
  file->out = nullptr;
  file->outIo.Close();
  if (!file->created && !file->outPath.empty()) {
    if (complete) {
      CloseInput(file);
      if (!MoveFileExA(file->outPath.c_str(), file->path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(file->outPath.c_str());
      }
    } else {
      DeleteFileA(file->outPath.c_str());
    }
  }
}

HRESULT SetFileStreamFormat(FileStream* s, const void* format, LONG size) {
  if (!format || size < 40) return AVIERR_BADPARAM;
  BITMAPINFOHEADER h;
  std::memcpy(&h, format, 40);
  if (h.biSize < 40 || static_cast<LONG>(h.biSize) > size) return AVIERR_BADFORMAT;
  if (h.biWidth <= 0 || h.biHeight <= 0 || h.biWidth > kMaxSide || h.biHeight > kMaxSide ||
      int64_t{h.biWidth} * h.biHeight > kMaxPixels) {
    return AVIERR_BADFORMAT;
  }
  AVCodecParameters* par = avcodec_parameters_alloc();
  if (!par) return AVIERR_MEMORY;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->width = h.biWidth;
  par->height = h.biHeight;
  par->bits_per_coded_sample = h.biBitCount;
  HRESULT hr = AVIERR_OK;
  if (h.biCompression == 0 && h.biBitCount == 24) {
    par->codec_id = AV_CODEC_ID_RAWVIDEO;
    par->format = AV_PIX_FMT_BGR24;
    par->codec_tag = 0;
  } else {
    // Chunks compressed by the caller: any FOURCC libavformat knows for AVI.
    const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
    par->codec_id = av_codec_get_id(tags, h.biCompression);
    par->codec_tag = h.biCompression;
    if (par->codec_id == AV_CODEC_ID_NONE || h.biCompression == 0) hr = AVIERR_BADFORMAT;
    int extra = size - static_cast<LONG>(h.biSize);
    if (hr == AVIERR_OK && extra > 0) {
      par->extradata = static_cast<uint8_t*>(
          av_mallocz(static_cast<size_t>(extra) + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!par->extradata) {
        hr = AVIERR_MEMORY;
      } else {
        std::memcpy(par->extradata, static_cast<const uint8_t*>(format) + h.biSize, extra);
        par->extradata_size = extra;
      }
    }
  }
  if (hr == AVIERR_OK) hr = SetStreamCodec(s, par);
  avcodec_parameters_free(&par);
  return hr;
}

HRESULT WriteFileStream(FileStream* s, const void* buffer, LONG size, DWORD flags,
                        LONG* bytesWritten) {
  const AVCodecParameters* par;
  {
    std::lock_guard lock(s->file->mutex);
    par = StreamCodec(s);
    if (!par) return AVIERR_BADFORMAT;
  }
  // An existing stream's sizes come from its file: only sane ones are written to.
  if (par->width <= 0 || par->height <= 0 || par->width > kMaxSide || par->height > kMaxSide ||
      par->bits_per_coded_sample < 0 || par->bits_per_coded_sample > 64) {
    return AVIERR_BADFORMAT;
  }
  int64_t need = 1;
  bool raw = par->codec_id == AV_CODEC_ID_RAWVIDEO;
  if (raw) need = DibStride(par->width, par->bits_per_coded_sample) * par->height;
  if (!buffer || size < need) return AVIERR_BADSIZE;
  AVPacket* pkt = av_packet_alloc();
  if (!pkt || av_new_packet(pkt, static_cast<int>(raw ? need : size)) < 0) {
    av_packet_free(&pkt);
    return AVIERR_MEMORY;
  }
  std::memcpy(pkt->data, buffer, static_cast<size_t>(pkt->size));
  if (raw || (flags & AVIIF_KEYFRAME)) pkt->flags |= AV_PKT_FLAG_KEY;
  HRESULT hr = WritePacket(s, pkt);
  if (hr == AVIERR_OK && bytesWritten) *bytesWritten = pkt->size;
  av_packet_free(&pkt);
  return hr;
}

}  // namespace kzwin::avi
