// Frame decompression: AVIStreamGetFrame delivers any frame of a video stream as a packed
// DIB in the format asked for, exact to the frame: it seeks to the key frame at or before
// the frame and decodes forward, and keeps the last picture for the next request.
#include <algorithm>
#include <cstring>

#include "avifile_internal.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace kzwin::avi {
namespace {

// How the picture is laid out after the 40-byte header (and the colour table of 8-bit).
enum class Layout {
  Bgr24,    // bottom-up, padded rows
  Rgb555,   // bottom-up, padded rows
  Indexed,  // 8-bit bottom-up, padded rows, 1024-byte colour table
  Packed,   // one plane, top-down, rows of rowBytes (UYVY, YUY2, Y800, Y411, GV24)
  Y444,     // U, Y, V per pixel, top-down
  Y411,     // U, Y0, Y1, V, Y2, Y3 per four pixels, top-down
  I420,     // planes Y, U, V with integer halves
  Yvu9,     // planes Y, V, U with integer quarters
};

struct Target {
  Layout layout;
  AVPixelFormat pixfmt;
  int bits;
  uint32_t fourcc;
};

constexpr uint32_t F(char a, char b, char c, char d) {
  return MAKEFOURCC(a, b, c, d);
}

bool PickTarget(const BITMAPINFOHEADER* want, Target* t) {
  if (!want) {
    *t = {Layout::Bgr24, AV_PIX_FMT_BGR24, 24, 0};
    return true;
  }
  uint32_t c = want->biCompression;
  int bits = want->biBitCount;
  struct Row {
    uint32_t fourcc;
    int bits;
    Target target;
  };
  static const Row kRows[] = {
      {0, 24, {Layout::Bgr24, AV_PIX_FMT_BGR24, 24, 0}},
      {0, 16, {Layout::Rgb555, AV_PIX_FMT_RGB555LE, 16, 0}},
      {0, 8, {Layout::Indexed, AV_PIX_FMT_PAL8, 8, 0}},
      {F('U', 'Y', 'V', 'Y'), 16, {Layout::Packed, AV_PIX_FMT_UYVY422, 16, F('U', 'Y', 'V', 'Y')}},
      {F('Y', '4', '2', '2'), 16, {Layout::Packed, AV_PIX_FMT_UYVY422, 16, F('Y', '4', '2', '2')}},
      {F('Y', 'U', 'Y', '2'), 16, {Layout::Packed, AV_PIX_FMT_YUYV422, 16, F('Y', 'U', 'Y', '2')}},
      {F('Y', '8', '0', '0'), 8, {Layout::Packed, AV_PIX_FMT_GRAY8, 8, F('Y', '8', '0', '0')}},
      {F('Y', '4', '1', '1'), 12, {Layout::Y411, AV_PIX_FMT_YUV411P, 12, F('Y', '4', '1', '1')}},
      {F('G', 'V', '2', '4'), 24, {Layout::Packed, AV_PIX_FMT_RGB24, 24, F('G', 'V', '2', '4')}},
      {F('Y', '4', '4', '4'), 24, {Layout::Y444, AV_PIX_FMT_YUV444P, 24, F('Y', '4', '4', '4')}},
      {F('I', '4', '2', '0'), 12, {Layout::I420, AV_PIX_FMT_YUV420P, 12, F('I', '4', '2', '0')}},
      {F('Y', 'V', 'U', '9'), 9, {Layout::Yvu9, AV_PIX_FMT_YUV410P, 9, F('Y', 'V', 'U', '9')}},
  };
  for (const Row& r : kRows) {
    if (r.fourcc == c && r.bits == bits) {
      *t = r.target;
      return true;
    }
  }
  return false;
}

bool IsYuvFormat(AVPixelFormat f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
  return d && !(d->flags & AV_PIX_FMT_FLAG_RGB) && !(d->flags & AV_PIX_FMT_FLAG_PAL);
}

bool IsFullRangeFormat(AVPixelFormat f) {
  return f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_YUVJ422P || f == AV_PIX_FMT_YUVJ444P ||
         f == AV_PIX_FMT_YUVJ440P || f == AV_PIX_FMT_YUVJ411P;
}

}  // namespace
}  // namespace kzwin::avi

using namespace kzwin::avi;

struct IGetFrame {
  FileStream* stream = nullptr;  // holds one reference
  Target target{};
  int width = 0;
  int height = 0;
  AVCodecContext* dec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* decoded = nullptr;  // scratch for receive_frame
  AVFrame* picture = nullptr;  // the picture of `pictureTs`
  AVFrame* conv = nullptr;     // converted picture before it is packed
  SwsContext* sws = nullptr;
  std::vector<uint8_t> dib;
  size_t pixelOffset = 40;
  int64_t pictureTs = -1;  // data chunk whose picture `picture` holds
  int64_t decoderTs = -1;  // last chunk the decoder delivered; -1: must seek
  bool draining = false;   // end of stream reached; decoder flushed
  int64_t skipBefore = 0;  // chunks before this are read but not decoded
  int64_t dibTs = -1;      // chunk whose picture is in `dib`
  // The colour table of a paletted stream, for the decoder's first chunk: the demuxer
  // hands it over only once per file, with whichever chunk it reads first.
  std::vector<uint8_t> palette;

  ~IGetFrame() {
    sws_freeContext(sws);
    av_frame_free(&conv);
    av_frame_free(&picture);
    av_frame_free(&decoded);
    av_packet_free(&packet);
    avcodec_free_context(&dec);
  }
};

namespace kzwin::avi {
namespace {

std::mutex frameMutex;  // guards the set of live getframe objects
std::vector<IGetFrame*>& LiveGetFrames() {
  static auto* v = new std::vector<IGetFrame*>;
  return *v;
}

bool IsLiveGetFrame(IGetFrame* g) {
  auto& v = LiveGetFrames();
  return g && std::find(v.begin(), v.end(), g) != v.end();
}

// The data chunk that shows frame `pos`: the last one at or before it (drop chunks repeat
// the previous picture); before the first chunk, the first.
const FrameRef* ChunkFor(const FileStream* s, int64_t pos) {
  auto it = std::upper_bound(s->frames.begin(), s->frames.end(), pos,
                             [](int64_t p, const FrameRef& f) { return p < f.ts; });
  if (it == s->frames.begin()) return s->frames.empty() ? nullptr : &s->frames.front();
  return &*(it - 1);
}

bool SeekTo(IGetFrame* g, IAVIFile* file, int64_t ts) {
  avcodec_flush_buffers(g->dec);
  g->draining = false;
  g->decoderTs = -1;
  g->skipBefore = 0;
  file->lastReader = g;
  if (g->stream->scanned) {
    // Nothing to seek by: read from the start and pass over the chunks before the key.
    g->skipBefore = ts;
    return RewindInput(file);
  }
  AVStream* st = file->in->streams[g->stream->inIndex];
  if (av_seek_frame(file->in, st->index, ts, AVSEEK_FLAG_BACKWARD) >= 0) return true;
  return RewindInput(file);
}

// Takes a decoded frame; true once the wanted chunk (or a later one) has arrived.
bool Take(IGetFrame* g, int64_t want) {
  int64_t ts = g->decoded->best_effort_timestamp;
  if (ts == AV_NOPTS_VALUE) ts = g->decoded->pkt_dts;
  if (ts == AV_NOPTS_VALUE) ts = g->decoderTs + 1;
  g->decoderTs = ts;
  // The latest picture at or before the wanted one is kept; an overshoot (a chunk that did
  // not decode) is kept only when nothing better was seen.
  if (ts <= want || g->pictureTs < 0 || g->pictureTs > want) {
    av_frame_unref(g->picture);
    av_frame_move_ref(g->picture, g->decoded);
    g->pictureTs = ts;
  } else {
    av_frame_unref(g->decoded);
  }
  return ts >= want;
}

bool Decode(IGetFrame* g, IAVIFile* file, const FrameRef* chunk) {
  const FileStream* s = g->stream;
  int64_t want = chunk->ts;
  if (g->pictureTs == want) return true;
  // Forward from where the decoder is, unless a key chunk lies between it and the target.
  bool forward = file->lastReader == g && !g->draining && g->decoderTs >= 0 &&
                 g->decoderTs < want && chunk->keyTs <= g->decoderTs + 1;
  if (!forward && !SeekTo(g, file, chunk->keyTs)) return false;
  g->pictureTs = g->pictureTs > want ? -1 : g->pictureTs;
  // Bounded: a hostile file cannot keep the loop going past its own chunk count.
  int64_t budget = static_cast<int64_t>(file->in->nb_streams) * (s->frames.size() + 64) + 256;
  while (budget-- > 0) {
    int r = avcodec_receive_frame(g->dec, g->decoded);
    if (r == 0) {
      if (Take(g, want)) return true;
      continue;
    }
    if (r == AVERROR_EOF) break;
    if (r != AVERROR(EAGAIN)) return false;
    if (g->draining) break;
    r = av_read_frame(file->in, g->packet);
    if (r < 0) {
      g->draining = true;
      avcodec_send_packet(g->dec, nullptr);
      continue;
    }
    int64_t dts = g->packet->dts != AV_NOPTS_VALUE ? g->packet->dts : g->packet->pts;
    if (g->packet->stream_index == s->inIndex && g->packet->size > 0 &&
        (dts == AV_NOPTS_VALUE || dts >= g->skipBefore)) {
      if (!g->palette.empty()) {
        if (!av_packet_get_side_data(g->packet, AV_PKT_DATA_PALETTE, nullptr)) {
          uint8_t* side = av_packet_new_side_data(g->packet, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
          if (side) std::memcpy(side, g->palette.data(), AVPALETTE_SIZE);
        }
        g->palette.clear();
      }
      // A chunk that does not decode is skipped; the previous picture stands in for it.
      avcodec_send_packet(g->dec, g->packet);
    }
    av_packet_unref(g->packet);
  }
  return g->pictureTs >= 0;
}

bool EnsureConverter(IGetFrame* g, const AVFrame* src) {
  AVPixelFormat from = static_cast<AVPixelFormat>(src->format);
  g->sws = sws_getCachedContext(g->sws, src->width, src->height, from, g->width, g->height,
                                g->target.pixfmt, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr,
                                nullptr);
  if (!g->sws) return false;
  // YUV is full range in this library. Decoded YUV keeps the range its codec states;
  // unstated, raw chunks are ours (full) and coded ones follow the video convention.
  bool srcFull =
      IsFullRangeFormat(from) || src->color_range == AVCOL_RANGE_JPEG ||
      (src->color_range == AVCOL_RANGE_UNSPECIFIED && g->dec->codec_id == AV_CODEC_ID_RAWVIDEO) ||
      !IsYuvFormat(from) || from == AV_PIX_FMT_GRAY8;
  const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
  sws_setColorspaceDetails(g->sws, bt601, srcFull ? 1 : 0, bt601, 1, 0, 1 << 16, 1 << 16);
  return true;
}

void CopyRows(uint8_t* dst, int64_t dstStride, const uint8_t* src, int srcStride, int64_t bytes,
              int rows, bool flip) {
  for (int y = 0; y < rows; ++y) {
    const uint8_t* from = src + static_cast<int64_t>(flip ? rows - 1 - y : y) * srcStride;
    std::memcpy(dst + y * dstStride, from, static_cast<size_t>(bytes));
  }
}

bool Pack(IGetFrame* g) {
  const AVFrame* src = g->picture;
  uint8_t* out = g->dib.data() + g->pixelOffset;
  int w = g->width, h = g->height;
  const Target& t = g->target;
  if (t.layout == Layout::Indexed) {
    if (src->format != AV_PIX_FMT_PAL8 && src->format != AV_PIX_FMT_GRAY8) return false;
    if (src->width < w || src->height < h) return false;
    uint8_t* table = g->dib.data() + 40;
    for (int i = 0; i < 256; ++i) {
      if (src->format == AV_PIX_FMT_PAL8) {
        uint32_t argb = reinterpret_cast<const uint32_t*>(src->data[1])[i];
        table[4 * i] = static_cast<uint8_t>(argb);
        table[4 * i + 1] = static_cast<uint8_t>(argb >> 8);
        table[4 * i + 2] = static_cast<uint8_t>(argb >> 16);
      } else {
        table[4 * i] = table[4 * i + 1] = table[4 * i + 2] = static_cast<uint8_t>(i);
      }
      table[4 * i + 3] = 0;
    }
    CopyRows(out, DibStride(w, 8), src->data[0], src->linesize[0], w, h, true);
    return true;
  }
  if (!EnsureConverter(g, src)) return false;
  if (sws_scale(g->sws, src->data, src->linesize, 0, src->height, g->conv->data,
                g->conv->linesize) <= 0) {
    return false;
  }
  const AVFrame* c = g->conv;
  switch (t.layout) {
    case Layout::Bgr24:
      CopyRows(out, DibStride(w, 24), c->data[0], c->linesize[0], 3 * int64_t{w}, h, true);
      break;
    case Layout::Rgb555:
      CopyRows(out, DibStride(w, 16), c->data[0], c->linesize[0], 2 * int64_t{w}, h, true);
      break;
    case Layout::Packed: {
      int64_t row = int64_t{w} * t.bits / 8;
      CopyRows(out, row, c->data[0], c->linesize[0], row, h, false);
      break;
    }
    case Layout::Y444:
      for (int y = 0; y < h; ++y) {
        uint8_t* d = out + int64_t{y} * 3 * w;
        const uint8_t* py = c->data[0] + int64_t{y} * c->linesize[0];
        const uint8_t* pu = c->data[1] + int64_t{y} * c->linesize[1];
        const uint8_t* pv = c->data[2] + int64_t{y} * c->linesize[2];
        for (int x = 0; x < w; ++x) {
          d[3 * x] = pu[x];
          d[3 * x + 1] = py[x];
          d[3 * x + 2] = pv[x];
        }
      }
      break;
    case Layout::Y411: {
      int64_t row = int64_t{w} * 6 / 4;
      for (int y = 0; y < h; ++y) {
        uint8_t* d = out + y * row;
        const uint8_t* py = c->data[0] + int64_t{y} * c->linesize[0];
        const uint8_t* pu = c->data[1] + int64_t{y} * c->linesize[1];
        const uint8_t* pv = c->data[2] + int64_t{y} * c->linesize[2];
        for (int x = 0; 6 * (x / 4) + 6 <= row; x += 4) {
          uint8_t* g6 = d + 6 * (x / 4);
          g6[0] = pu[x / 4];
          g6[1] = py[x];
          g6[2] = py[x + 1];
          g6[3] = pv[x / 4];
          g6[4] = py[x + 2];
          g6[5] = py[x + 3];
        }
      }
      break;
    }
    case Layout::I420:
    case Layout::Yvu9: {
      int shift = t.layout == Layout::I420 ? 1 : 2;
      int64_t cw = w >> shift, ch = h >> shift;
      CopyRows(out, w, c->data[0], c->linesize[0], w, h, false);
      uint8_t* first = out + int64_t{w} * h;
      uint8_t* second = first + cw * ch;
      int a = t.layout == Layout::I420 ? 1 : 2;  // I420: U then V; YVU9: V then U
      CopyRows(first, cw, c->data[a], c->linesize[a], cw, static_cast<int>(ch), false);
      CopyRows(second, cw, c->data[3 - a], c->linesize[3 - a], cw, static_cast<int>(ch), false);
      break;
    }
    case Layout::Indexed:
      break;
  }
  return true;
}

int64_t ImageBytes(const Target& t, int w, int h) {
  switch (t.layout) {
    case Layout::Bgr24:
    case Layout::Rgb555:
    case Layout::Indexed:
      return DibStride(w, t.bits) * h;
    default: {
      // The padded size of capture formats (rows rounded to whole words), which also
      // holds the planar layouts.
      int64_t padded = ((int64_t{w} * t.bits / 8 + 3) & ~int64_t{3}) * h;
      int64_t plain = int64_t{w} * h * t.bits / 8 + 16;
      return std::max(padded, plain);
    }
  }
}

}  // namespace
}  // namespace kzwin::avi

extern "C" {

PGETFRAME VFWAPI AVIStreamGetFrameOpen(PAVISTREAM stream, LPBITMAPINFOHEADER wanted) {
  {
    std::lock_guard lock(RegistryMutex());
    if (!IsLive(stream) || stream->refs <= 0) return nullptr;
  }
  if (stream->kind != IAVIStream::Kind::File) return nullptr;
  auto* fs = static_cast<FileStream*>(stream);
  Target target;
  if (!PickTarget(wanted, &target)) return nullptr;
  IAVIFile* file = fs->file;
  std::lock_guard fileLock(file->mutex);
  if (!file->in || fs->inIndex < 0 || fs->info.fccType != streamtypeVIDEO) return nullptr;
  const AVCodecParameters* par = file->in->streams[fs->inIndex]->codecpar;
  int w = par->width, h = par->height;
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide || int64_t{w} * h > kMaxPixels) {
    return nullptr;
  }
  // A size asked for must be the stream's own: this decompressor does not scale.
  if (wanted && ((wanted->biWidth != 0 && wanted->biWidth != w) ||
                 (wanted->biHeight != 0 && wanted->biHeight != h))) {
    return nullptr;
  }
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) return nullptr;
  auto g = std::make_unique<IGetFrame>();
  g->stream = fs;
  g->target = target;
  g->width = w;
  g->height = h;
  g->dec = avcodec_alloc_context3(codec);
  if (!g->dec || avcodec_parameters_to_context(g->dec, par) < 0) return nullptr;
  g->dec->thread_count = 1;
  if (avcodec_open2(g->dec, codec, nullptr) < 0) return nullptr;
  // 8-bit output is a copy of the indices: only paletted or grey streams have them.
  if (target.layout == Layout::Indexed && g->dec->pix_fmt != AV_PIX_FMT_PAL8 &&
      g->dec->pix_fmt != AV_PIX_FMT_GRAY8) {
    return nullptr;
  }
  const uint8_t* table = fs->format.data() + 40;
  size_t entries = std::min<size_t>((fs->format.size() - 40) / 4, 256);
  if (par->bits_per_coded_sample > 0 && par->bits_per_coded_sample <= 8 && entries > 0) {
    g->palette.assign(AVPALETTE_SIZE, 0);
    for (size_t i = 0; i < entries; ++i) {
      uint32_t argb = 0xFF000000u | uint32_t{table[4 * i + 2]} << 16 |
                      uint32_t{table[4 * i + 1]} << 8 | table[4 * i];
      std::memcpy(&g->palette[4 * i], &argb, 4);
    }
  }
  g->packet = av_packet_alloc();
  g->decoded = av_frame_alloc();
  g->picture = av_frame_alloc();
  g->conv = av_frame_alloc();
  if (!g->packet || !g->decoded || !g->picture || !g->conv) return nullptr;
  if (target.layout != Layout::Indexed) {
    g->conv->format = target.pixfmt;
    g->conv->width = w;
    g->conv->height = h;
    if (av_frame_get_buffer(g->conv, 0) < 0) return nullptr;
  }
  g->pixelOffset = 40 + (target.layout == Layout::Indexed ? 1024 : 0);
  int64_t image = ImageBytes(target, w, h);
  g->dib.assign(g->pixelOffset + static_cast<size_t>(image), 0);
  BITMAPINFOHEADER header{};
  header.biSize = 40;
  header.biWidth = w;
  header.biHeight = h;
  header.biPlanes = 1;
  header.biBitCount = static_cast<WORD>(target.bits);
  header.biCompression = target.fourcc;
  header.biSizeImage =
      static_cast<DWORD>(target.layout == Layout::Bgr24 || target.layout == Layout::Rgb555 ||
                                 target.layout == Layout::Indexed
                             ? image
                             : ((int64_t{w} * target.bits / 8 + 3) & ~3) * h);
  header.biClrUsed = target.layout == Layout::Indexed ? 256 : 0;
  std::memcpy(g->dib.data(), &header, 40);
  AddStreamRef(fs);
  IGetFrame* result = g.release();
  std::lock_guard lock(frameMutex);
  LiveGetFrames().push_back(result);
  return result;
}

LPVOID VFWAPI AVIStreamGetFrame(PGETFRAME g, LONG position) {
  {
    std::lock_guard lock(frameMutex);
    if (!IsLiveGetFrame(g)) return nullptr;
  }
  FileStream* s = g->stream;
  IAVIFile* file = s->file;
  std::lock_guard fileLock(file->mutex);
  if (position < 0 || position >= s->length || !file->in) return nullptr;
  const FrameRef* chunk = ChunkFor(s, s->origin + position);
  if (!chunk) return nullptr;
  if (g->dibTs == chunk->ts) return g->dib.data();
  if (!Decode(g, file, chunk)) return nullptr;
  if (!Pack(g)) return nullptr;
  g->dibTs = g->pictureTs == chunk->ts ? chunk->ts : -1;
  return g->dib.data();
}

HRESULT VFWAPI AVIStreamGetFrameClose(PGETFRAME g) {
  {
    std::lock_guard lock(frameMutex);
    auto& v = LiveGetFrames();
    auto it = std::find(v.begin(), v.end(), g);
    if (!g || it == v.end()) return AVIERR_BADHANDLE;
    v.erase(it);
  }
  FileStream* s = g->stream;
  delete g;
  AVIStreamRelease(s);
  return AVIERR_OK;
}

}  // extern "C"
