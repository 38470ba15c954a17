// Installable compressors: FOURCC handlers mapped to FFmpeg encoders, compressed streams
// made on a file's video stream, and the compression-options dialog.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "avifile_internal.h"
#include "dialogs.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace kzwin::avi {
namespace {

struct Handler {
  uint32_t fourcc;  // canonical, upper case
  AVCodecID id;
  const char* encoder;  // preferred encoder, null for uncompressed chunks
};

constexpr uint32_t F(char a, char b, char c, char d) {
  return MAKEFOURCC(a, b, c, d);
}

const Handler kHandlers[] = {
    {F('D', 'I', 'B', ' '), AV_CODEC_ID_RAWVIDEO, nullptr},
    {F('M', 'J', 'P', 'G'), AV_CODEC_ID_MJPEG, "mjpeg"},
    {F('F', 'F', 'V', '1'), AV_CODEC_ID_FFV1, "ffv1"},
    {F('X', 'V', 'I', 'D'), AV_CODEC_ID_MPEG4, "mpeg4"},
    {F('F', 'M', 'P', '4'), AV_CODEC_ID_MPEG4, "mpeg4"},
    {F('D', 'I', 'V', 'X'), AV_CODEC_ID_MPEG4, "mpeg4"},
    {F('D', 'X', '5', '0'), AV_CODEC_ID_MPEG4, "mpeg4"},
    {F('H', '2', '6', '4'), AV_CODEC_ID_H264, "libx264"},
    {F('X', '2', '6', '4'), AV_CODEC_ID_H264, "libx264"},
};

const Handler* FindHandler(uint32_t fourcc) {
  uint32_t canon = CanonicalHandler(fourcc);
  for (const Handler& h : kHandlers) {
    if (h.fourcc == canon) return &h;
  }
  return nullptr;
}

const AVCodec* FindEncoder(const Handler& h) {
  if (!h.encoder) return nullptr;
  const AVCodec* c = avcodec_find_encoder_by_name(h.encoder);
  if (!c) c = avcodec_find_encoder(h.id);
  return c;
}

AVPixelFormat PickPixelFormat(const AVCodec* codec) {
  // Lossless codecs take RGB as it is; the others 4:2:0 (full range for JPEG).
  static const AVPixelFormat kPrefer[] = {AV_PIX_FMT_BGR0, AV_PIX_FMT_0RGB32, AV_PIX_FMT_GBRP,
                                          AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P};
  if (!codec->pix_fmts) return AV_PIX_FMT_YUV420P;
  for (AVPixelFormat want : kPrefer) {
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
      if (*p == want) return want;
    }
  }
  return codec->pix_fmts[0];
}

bool IsYuv(AVPixelFormat f) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
  return d && !(d->flags & AV_PIX_FMT_FLAG_RGB) && d->nb_components >= 3;
}

bool SetSourceFormat(CompressedStream* cs, const AVCodecParameters* par) {
  return SetStreamCodec(cs->source, par) == AVIERR_OK;
}

// Opens the encoder for frames of width x height and gives the source stream its format.
HRESULT Prepare(CompressedStream* cs, int width, int height) {
  AVCodecParameters* par = avcodec_parameters_alloc();
  if (!par) return AVIERR_MEMORY;
  HRESULT hr = AVIERR_OK;
  if (!cs->codec) {
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_RAWVIDEO;
    par->format = AV_PIX_FMT_BGR24;
    par->width = width;
    par->height = height;
    par->bits_per_coded_sample = 24;
  } else {
    AVCodecContext* enc = avcodec_alloc_context3(cs->codec);
    if (!enc) {
      avcodec_parameters_free(&par);
      return AVIERR_MEMORY;
    }
    cs->enc = enc;
    enc->width = width;
    enc->height = height;
    AVRational unit{1, 15};
    av_reduce(&unit.num, &unit.den, cs->source->info.dwScale, cs->source->info.dwRate, 65535);
    if (unit.num <= 0 || unit.den <= 0) unit = {1, 15};
    enc->time_base = unit;
    enc->framerate = av_inv_q(unit);
    enc->pix_fmt = PickPixelFormat(cs->codec);
    enc->gop_size =
        cs->keyFrameEvery > 0 ? static_cast<int>(std::min<DWORD>(cs->keyFrameEvery, 10000)) : 12;
    enc->max_b_frames = 0;
    enc->thread_count = 1;
    enc->codec_tag = cs->handler;
    bool jpegRange = enc->pix_fmt == AV_PIX_FMT_YUVJ420P || cs->codecId == AV_CODEC_ID_MJPEG;
    enc->color_range = jpegRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    // Key frames only where the interval says: no scene-change key frames.
    av_opt_set_int(enc, "sc_threshold", 1000000000, AV_OPT_SEARCH_CHILDREN);
    DWORD q = cs->quality == 0xFFFFFFFFu ? 7500 : std::min<DWORD>(cs->quality, 10000);
    bool dataRate = (cs->flags & AVICOMPRESSF_DATARATE) && cs->bytesPerSecond > 0;
    if (dataRate) enc->bit_rate = int64_t{cs->bytesPerSecond} * 8;
    if (cs->codecId == AV_CODEC_ID_H264) {
      // x264 counts the rate in whole kbit/s: below 1 it refuses to open, and its failed open
      // leaks its settings. The lowest rate it can express stands in for a lower one.
      if (dataRate) enc->bit_rate = std::max<int64_t>(enc->bit_rate, 1000);
      av_opt_set(enc->priv_data, "tune", "zerolatency", 0);
      av_opt_set(enc->priv_data, "x264-params", "scenecut=0:rc-lookahead=0:sync-lookahead=0", 0);
      if (!dataRate) av_opt_set_double(enc->priv_data, "crf", 10.0 + 41.0 * (10000 - q) / 10000, 0);
    } else if (!dataRate && cs->codecId != AV_CODEC_ID_FFV1) {
      // 10000 is the finest quantiser (1), 0 the coarsest (31); the curve keeps the usual
      // 7500 default near JPEG quality 85.
      double loss = (10000.0 - q) / 10000.0;
      int qscale = 1 + static_cast<int>(30.0 * loss * loss + 0.5);
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      enc->global_quality = FF_QP2LAMBDA * qscale;
    }
    if (avcodec_open2(enc, cs->codec, nullptr) < 0) hr = AVIERR_COMPRESSOR;
    if (hr == AVIERR_OK) {
      cs->frame = av_frame_alloc();
      cs->packet = av_packet_alloc();
      if (cs->frame) {
        cs->frame->format = enc->pix_fmt;
        cs->frame->width = width;
        cs->frame->height = height;
        cs->frame->color_range = enc->color_range;
      }
      if (!cs->frame || !cs->packet || av_frame_get_buffer(cs->frame, 0) < 0) hr = AVIERR_MEMORY;
    }
    if (hr == AVIERR_OK) {
      cs->sws = sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, enc->pix_fmt,
                               SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                               nullptr, nullptr);
      if (!cs->sws) hr = AVIERR_MEMORY;
    }
    if (hr == AVIERR_OK && IsYuv(enc->pix_fmt)) {
      const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
      sws_setColorspaceDetails(cs->sws, bt601, 1, bt601, jpegRange ? 1 : 0, 0, 1 << 16, 1 << 16);
    }
    if (hr == AVIERR_OK && avcodec_parameters_from_context(par, enc) < 0) hr = AVIERR_MEMORY;
    par->codec_tag = cs->handler;
    par->bits_per_coded_sample = 24;
  }
  if (hr == AVIERR_OK && !SetSourceFormat(cs, par)) hr = AVIERR_BADFORMAT;
  avcodec_parameters_free(&par);
  if (hr == AVIERR_OK) {
    cs->width = width;
    cs->height = height;
    cs->ready = true;
  }
  return hr;
}

// Hands every packet the encoder has ready to the source stream; the key flag is the
// encoder's.
HRESULT Drain(CompressedStream* cs, LONG* bytes) {
  for (;;) {
    int r = avcodec_receive_packet(cs->enc, cs->packet);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return AVIERR_OK;
    if (r < 0) return AVIERR_COMPRESSOR;
    HRESULT hr = WritePacket(cs->source, cs->packet);
    if (bytes) *bytes += cs->packet->size;
    av_packet_unref(cs->packet);
    if (hr != AVIERR_OK) return hr;
  }
}

std::mutex dialogMutex;
std::unordered_set<void*>& DialogBlocks() {
  static auto* set = new std::unordered_set<void*>;
  return *set;
}

}  // namespace

uint32_t CanonicalHandler(uint32_t fourcc) {
  if (fourcc == 0) return F('D', 'I', 'B', ' ');
  uint32_t out = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t c = (fourcc >> (8 * i)) & 0xFF;
    out |= static_cast<uint32_t>(std::toupper(static_cast<int>(c))) << (8 * i);
  }
  return out;
}

CompressedStream::~CompressedStream() {
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&enc);
}

}  // namespace kzwin::avi

using namespace kzwin::avi;

extern "C" {

HRESULT VFWAPI AVIMakeCompressedStream(PAVISTREAM* result, PAVISTREAM source,
                                       AVICOMPRESSOPTIONS* options, CLSID*) {
  if (!result) return AVIERR_BADPARAM;
  *result = nullptr;
  {
    std::lock_guard lock(RegistryMutex());
    if (!IsLive(source) || source->refs <= 0) return AVIERR_BADHANDLE;
  }
  if (!options) return AVIERR_BADPARAM;
  if (source->kind != IAVIStream::Kind::File) return AVIERR_UNSUPPORTED;
  auto* fs = static_cast<FileStream*>(source);
  if (!fs->file->writable) return AVIERR_READONLY;
  if (fs->info.fccType != streamtypeVIDEO) return AVIERR_UNSUPPORTED;
  const Handler* handler = FindHandler(options->fccHandler);
  if (!handler) return AVIERR_NOCOMPRESSOR;
  const AVCodec* codec = FindEncoder(*handler);
  if (handler->encoder && !codec) return AVIERR_NOCOMPRESSOR;

  // Only the values are kept: the caller frees its options right after this call.
  auto cs = std::make_unique<CompressedStream>();
  cs->source = fs;
  cs->handler = handler->encoder ? handler->fourcc : 0;
  cs->codecId = handler->id;
  cs->codec = codec;
  cs->quality = options->dwQuality;
  cs->keyFrameEvery = options->dwKeyFrameEvery;
  cs->bytesPerSecond = options->dwBytesPerSecond;
  cs->flags = options->dwFlags;

  int width = 0, height = 0;
  {
    std::lock_guard lock(fs->file->mutex);
    if (const AVCodecParameters* par = StreamCodec(fs)) {
      // A stream that has its format already (an existing file) takes only the same codec.
      bool same = par->codec_id == handler->id &&
                  (handler->id != AV_CODEC_ID_RAWVIDEO || par->bits_per_coded_sample == 24);
      if (!same || par->width <= 0 || par->height <= 0 || par->width > kMaxSide ||
          par->height > kMaxSide || int64_t{par->width} * par->height > kMaxPixels) {
        return AVIERR_BADFORMAT;
      }
      width = par->width;
      height = par->height;
    }
  }
  AddStreamRef(fs);
  if (width > 0) {
    HRESULT hr = Prepare(cs.get(), width, height);
    if (hr != AVIERR_OK) {
      AVIStreamRelease(fs);
      return hr;
    }
  }
  {
    std::lock_guard lock(RegistryMutex());
    cs->refs = 1;
    Register(cs.get());
  }
  *result = cs.release();
  return AVIERR_OK;
}

HRESULT VFWAPI AVIStreamSetFormat(PAVISTREAM stream, LONG, LPVOID format, LONG size) {
  {
    std::lock_guard lock(RegistryMutex());
    if (!IsLive(stream) || stream->refs <= 0) return AVIERR_BADHANDLE;
  }
  if (stream->kind == IAVIStream::Kind::File) {
    return SetFileStreamFormat(static_cast<FileStream*>(stream), format, size);
  }
  auto* cs = static_cast<CompressedStream*>(stream);
  if (!format || size < 40) return AVIERR_BADPARAM;
  BITMAPINFOHEADER h;
  std::memcpy(&h, format, 40);
  // What goes into a compressor is a 24-bit bottom-up DIB.
  if (h.biSize < 40 || h.biCompression != 0 || h.biBitCount != 24 || h.biWidth <= 0 ||
      h.biHeight <= 0 || h.biWidth > kMaxSide || h.biHeight > kMaxSide ||
      int64_t{h.biWidth} * h.biHeight > kMaxPixels) {
    return AVIERR_BADFORMAT;
  }
  std::lock_guard lock(cs->mutex);
  if (cs->ready) {
    return h.biWidth == cs->width && h.biHeight == cs->height ? AVIERR_OK : AVIERR_BADFORMAT;
  }
  HRESULT hr = Prepare(cs, h.biWidth, h.biHeight);
  if (hr != AVIERR_OK) {
    // Leave nothing half made: the next attempt starts again.
    sws_freeContext(cs->sws);
    cs->sws = nullptr;
    av_frame_free(&cs->frame);
    av_packet_free(&cs->packet);
    avcodec_free_context(&cs->enc);
  }
  return hr;
}

HRESULT VFWAPI AVIStreamWrite(PAVISTREAM stream, LONG, LONG samples, LPVOID buffer, LONG bufferSize,
                              DWORD flags, LONG* samplesWritten, LONG* bytesWritten) {
  if (samplesWritten) *samplesWritten = 0;
  if (bytesWritten) *bytesWritten = 0;
  {
    std::lock_guard lock(RegistryMutex());
    if (!IsLive(stream) || stream->refs <= 0) return AVIERR_BADHANDLE;
  }
  if (samples != 1 || !buffer || bufferSize <= 0) return AVIERR_BADPARAM;
  HRESULT hr;
  if (stream->kind == IAVIStream::Kind::File) {
    hr = WriteFileStream(static_cast<FileStream*>(stream), buffer, bufferSize, flags, bytesWritten);
  } else {
    auto* cs = static_cast<CompressedStream*>(stream);
    std::lock_guard lock(cs->mutex);
    if (!cs->ready) return AVIERR_BADFORMAT;
    if (cs->failed) return AVIERR_FILEWRITE;
    int64_t stride = DibStride(cs->width, 24);
    if (bufferSize < stride * cs->height) return AVIERR_BADSIZE;
    if (!cs->enc) {
      hr = WriteFileStream(cs->source, buffer, static_cast<LONG>(stride * cs->height),
                           AVIIF_KEYFRAME, bytesWritten);
    } else if (av_frame_make_writable(cs->frame) < 0) {
      hr = AVIERR_MEMORY;
    } else {
      // Bottom-up rows: start at the last row and walk upwards.
      const uint8_t* src[4] = {static_cast<const uint8_t*>(buffer) + (cs->height - 1) * stride,
                               nullptr, nullptr, nullptr};
      const int srcStride[4] = {static_cast<int>(-stride), 0, 0, 0};
      sws_scale(cs->sws, src, srcStride, 0, cs->height, cs->frame->data, cs->frame->linesize);
      cs->frame->pts = cs->submitted++;
      cs->frame->quality = cs->enc->global_quality;
      cs->frame->pict_type = AV_PICTURE_TYPE_NONE;
      hr = avcodec_send_frame(cs->enc, cs->frame) < 0 ? AVIERR_COMPRESSOR : AVIERR_OK;
      if (bytesWritten) *bytesWritten = 0;
      if (hr == AVIERR_OK) hr = Drain(cs, bytesWritten);
    }
    if (hr != AVIERR_OK) cs->failed = true;
  }
  if (hr == AVIERR_OK && samplesWritten) *samplesWritten = 1;
  return hr;
}

ULONG VFWAPI AVIStreamRelease(PAVISTREAM stream) {
  long left;
  {
    std::lock_guard lock(RegistryMutex());
    if (!IsLive(stream) || stream->refs <= 0) return 0;
    left = --stream->refs;
    if (left == 0 && stream->kind == IAVIStream::Kind::Compressed) Unregister(stream);
  }
  if (left > 0) return static_cast<ULONG>(left);
  if (stream->kind == IAVIStream::Kind::File) {
    ReleaseFile(static_cast<FileStream*>(stream)->file);
    return 0;
  }
  auto* cs = static_cast<CompressedStream*>(stream);
  {
    std::lock_guard lock(cs->mutex);
    // Flush the encoder: frames it still holds become chunks before the file closes.
    if (cs->enc && cs->ready && !cs->failed && avcodec_send_frame(cs->enc, nullptr) >= 0) {
      Drain(cs, nullptr);
    }
  }
  FileStream* source = cs->source;
  delete cs;
  AVIStreamRelease(source);
  return 0;
}

BOOL VFWAPI AVISaveOptions(HWND owner, UINT, int streamCount, PAVISTREAM*,
                           LPAVICOMPRESSOPTIONS* options) {
  if (streamCount <= 0 || !options) return FALSE;
  for (int i = 0; i < streamCount; ++i) {
    if (!options[i]) return FALSE;
  }
  for (int i = 0; i < streamCount; ++i) {
    AVICOMPRESSOPTIONS answer = *options[i];
    KZWIN_DIALOG dialog{};
    dialog.kind = KZWIN_DIALOG_AVI_SAVE_OPTIONS;
    dialog.owner = owner;
    dialog.title = "Video Compression";
    dialog.payload = &answer;
    dialog.payloadBytes = sizeof answer;
    dialog.payloadRoom = sizeof answer;
    if (kzwin::RunDialog(dialog) != KZWIN_DIALOG_OK) return FALSE;
    // Format and parameter bytes that the answer points to anew are copied into blocks
    // of the dialog's own, which AVISaveOptionsFree gives back.
    AVICOMPRESSOPTIONS& o = *options[i];
    void* blocks[2] = {nullptr, nullptr};
    struct Field {
      LPVOID given, had;
      DWORD size;
    } fields[2] = {{answer.lpFormat, o.lpFormat, answer.cbFormat},
                   {answer.lpParms, o.lpParms, answer.cbParms}};
    for (int k = 0; k < 2; ++k) {
      const Field& f = fields[k];
      if (!f.given || f.given == f.had || f.size == 0) continue;
      if (f.size > (1u << 24) || !(blocks[k] = std::malloc(f.size))) {
        std::free(blocks[0]);
        std::free(blocks[1]);
        return FALSE;
      }
      std::memcpy(blocks[k], f.given, f.size);
    }
    {
      std::lock_guard lock(dialogMutex);
      for (void* b : blocks) {
        if (b) DialogBlocks().insert(b);
      }
    }
    o = answer;
    if (blocks[0]) o.lpFormat = blocks[0];
    if (blocks[1]) o.lpParms = blocks[1];
    if (!o.lpFormat) o.cbFormat = 0;
    if (!o.lpParms) o.cbParms = 0;
  }
  return TRUE;
}

HRESULT VFWAPI AVISaveOptionsFree(int streamCount, LPAVICOMPRESSOPTIONS* options) {
  if (streamCount < 0 || (streamCount > 0 && !options)) return AVIERR_BADPARAM;
  std::lock_guard lock(dialogMutex);
  auto& blocks = DialogBlocks();
  for (int i = 0; i < streamCount; ++i) {
    AVICOMPRESSOPTIONS* o = options[i];
    if (!o) continue;
    // Only what the dialog allocated: the caller's own blocks stay the caller's.
    if (o->lpFormat && blocks.erase(o->lpFormat)) {
      std::free(o->lpFormat);
      o->lpFormat = nullptr;
    }
    if (o->lpParms && blocks.erase(o->lpParms)) {
      std::free(o->lpParms);
      o->lpParms = nullptr;
    }
  }
  return AVIERR_OK;
}

}  // extern "C"
