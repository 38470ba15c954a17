// Seed corpora for the fuzz targets, made by the library's own writers: recordings of each
// own kind in several pixel formats, numbered sequences, one-frame image files, AVI files of
// each compressor, compression-options blocks, formats-store values and the registry files
// that hold them, and frame codec blocks. Usage: fuzz_seeds OUTPUT_FOLDER; each target's
// seeds go to OUTPUT_FOLDER/<target>/.
#include <kzvideo.h>
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "../fuzz_util.h"
#include "capture/format_store.h"
#include "export/avi_options.h"
#include "export/avi_output.h"
#include "frame/stream.h"
#include "playback/record_walk.h"
#include "record/codec.h"
#include "record/frame_coding.h"
#include "record/writer.h"

namespace fs = std::filesystem;

namespace {

fs::path gOut;
fs::path gWork;
int gCount = 0;

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Seed(const char* target, const std::string& name, const std::vector<uint8_t>& bytes) {
  const fs::path folder = gOut / target;
  fs::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ++gCount;
}

std::vector<uint8_t> Frame(uint32_t bytes, uint32_t n) {
  std::vector<uint8_t> f(bytes);
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint32_t x = i % 24, y = i / 24;
    f[i] = static_cast<uint8_t>(x * 9 + y * 5 + n * 11 + (((x + n) / 4) % 2) * 60);
  }
  return f;
}

// Frames [from, from + count) of a recording of `kind` and `format`, 16 x 8, into `path`.
void WriteRecording(const fs::path& path, uint32_t kind, uint32_t format, uint32_t from,
                    uint32_t count, bool withDisplay) {
  auto e = std::make_unique<kz::StreamRecord>();
  e->frameBytes = kz::RecordFrameBytes(16, 8, format);
  KZRECORD& r = e->record;
  r.size = sizeof r;
  r.fileFlags = kind | KZ_OPEN_OVERWRITE;
  r.width = 16;
  r.height = 8;
  r.format = format;
  r.keyInterval = 3;
  r.refInterval = 2;
  r.quantStep = 6;
  r.levels = 15;
  std::snprintf(r.fileName, sizeof r.fileName, "%s", path.c_str());
  if (withDisplay) {
    KZDISPLAY& d = e->display;
    d.size = sizeof d;
    d.width = 16;
    d.height = 8;
    d.format = format;
    d.zoom = 2.0;
    d.aspect = 1.0;
    d.cropWidth = 12;
    d.cropHeight = 6;
    d.orientation = KZ_ORIENT_MIRROR | 1;
    d.drawFlags = KZ_DRAW_CROP | KZ_DRAW_ZOOM;
    d.adjust.gamma = 1.5;
    d.adjust.contrast = 20;
  }
  for (uint32_t n = from; n < from + count; ++n) {
    const std::vector<uint8_t> f = Frame(e->frameBytes, n);
    kz::FrameTime t;
    t.ms = n * 40 + (n % 3) * 7;
    t.julian = 2461000.25 + static_cast<double>(t.ms) / 86400000.0;
    if (kz::WriteOwnKindFrame(*e, f.data(), t) != 0) break;
  }
  kz::FinishRecordingFile(*e);
}

void Recordings() {
  const struct {
    uint32_t kind, format;
    const char* name;
  } kinds[] = {
      {KZ_KIND_RAW, KZ_FORMAT_RGB24, "raw_rgb24"},     {KZ_KIND_RAW, KZ_FORMAT_I420, "raw_i420"},
      {KZ_KIND_RAW, KZ_FORMAT_RGB8, "raw_rgb8"},       {KZ_KIND_LOSSLESS, KZ_FORMAT_YUY2, "kzvc_yuy2"},
      {KZ_KIND_LOSSLESS, KZ_FORMAT_RGB24, "kzvc_rgb24"}, {KZ_KIND_LOSSLESS, KZ_FORMAT_Y800, "kzvc_y800"},
      {KZ_KIND_LOSSY, KZ_FORMAT_RGB24, "lossy_rgb24"}, {KZ_KIND_LOSSY, KZ_FORMAT_I420, "lossy_i420"},
  };
  for (const auto& k : kinds) {
    for (bool display : {false, true}) {
      const std::string name = std::string(k.name) + (display ? "_display" : "");
      const fs::path one = gWork / (name + ".kzv");
      WriteRecording(one, k.kind, k.format, 0, 6, display);
      const std::vector<uint8_t> bytes = ReadAll(one);
      Seed("recording_read", name, bytes);
      Seed("frame_data_decode", name, bytes);
      Seed("image_load", name, bytes);
    }
    // A sequence of three files, frames numbered on across them, joined by the marker.
    std::vector<uint8_t> joined;
    for (uint32_t f = 0; f < 3; ++f) {
      const fs::path part = gWork / ("part" + std::to_string(f) + ".kzv");
      WriteRecording(part, k.kind, k.format, f * 2, 2, f == 0);
      const std::vector<uint8_t> bytes = ReadAll(part);
      if (f) joined.insert(joined.end(), kzfuzz::kNextFile, kzfuzz::kNextFile + kzfuzz::kNextFileBytes);
      joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    Seed("recording_read", std::string(k.name) + "_sequence", joined);
  }
}

// One-frame image files as KZSaveImage writes them.
void Images() {
  const struct {
    uint32_t format;
    int32_t width, height;
  } images[] = {{KZ_FORMAT_RGB24, 8, 4}, {KZ_FORMAT_YUY2, 8, 4}, {KZ_FORMAT_Y800, 6, 3},
                {KZ_FORMAT_PAL8, 4, 4}};
  for (const auto& i : images) {
    KZDISPLAY d{};
    d.size = sizeof d;
    d.width = i.width;
    d.height = i.height;
    d.format = i.format;
    d.zoom = 1.0;
    d.aspect = 1.0;
    const uint32_t bytes = kz::RecordFrameBytes(i.width, i.height, i.format);
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, bytes);
    const std::vector<uint8_t> f = Frame(bytes, i.format);
    std::memcpy(GlobalLock(h), f.data(), bytes);
    GlobalUnlock(h);
    const fs::path path = gWork / "image.kzv";
    if (KZSaveImage(h, &d, path.c_str())) {
      const std::vector<uint8_t> saved = ReadAll(path);
      Seed("image_load", "image_" + std::to_string(i.format), saved);
      Seed("recording_read", "image_" + std::to_string(i.format), saved);
    }
    GlobalFree(h);
  }
}

std::vector<uint8_t> OptionsBlock(DWORD handler, DWORD quality, const std::vector<uint8_t>& format,
                                  const std::vector<uint8_t>& parms) {
  AVICOMPRESSOPTIONS o{};
  o.fccType = streamtypeVIDEO;
  o.fccHandler = handler;
  o.dwKeyFrameEvery = 5;
  o.dwQuality = quality;
  o.dwFlags = AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID;
  o.lpFormat = format.empty() ? nullptr : const_cast<uint8_t*>(format.data());
  o.cbFormat = static_cast<DWORD>(format.size());
  o.lpParms = parms.empty() ? nullptr : const_cast<uint8_t*>(parms.data());
  o.cbParms = static_cast<DWORD>(parms.size());
  std::vector<uint8_t> block(kz::AviOptionsBlockSize(o));
  kz::EncodeAviOptions(o, block.data());
  return block;
}

// AVI files of each compressor through the recording's AVI output, and their options.
void Avis() {
  const struct {
    DWORD handler;
    const char* name;
  } handlers[] = {{0, "dib"},
                  {mmioFOURCC('M', 'J', 'P', 'G'), "mjpg"},
                  {mmioFOURCC('F', 'F', 'V', '1'), "ffv1"},
                  {mmioFOURCC('X', 'V', 'I', 'D'), "xvid"},
                  {mmioFOURCC('H', '2', '6', '4'), "h264"}};
  const std::vector<uint8_t> frame = Frame(48 * 8, 1);
  for (const auto& h : handlers) {
    const std::vector<uint8_t> block = OptionsBlock(h.handler, 7500, {}, {1, 2, 3, 4});
    for (uint8_t where : {0, 1, 3}) {
      std::vector<uint8_t> seed{where};
      seed.insert(seed.end(), block.begin(), block.end());
      Seed("avi_options", std::string(h.name) + "_" + std::to_string(where), seed);
    }
    HGLOBAL options = GlobalAlloc(GMEM_MOVEABLE, block.size());
    std::memcpy(GlobalLock(options), block.data(), block.size());
    GlobalUnlock(options);
    const fs::path path = gWork / (std::string(h.name) + ".avi");
    fs::remove(path);
    auto e = std::make_unique<kz::StreamRecord>();
    KZRECORD& r = e->record;
    r.size = sizeof r;
    std::snprintf(r.fileName, sizeof r.fileName, "%s", path.c_str());
    r.fileFlags = KZ_KIND_AVI | KZ_OPEN_OVERWRITE;
    r.rate = 25.0;
    r.width = 16;
    r.height = 8;
    r.aviOptions = options;
    if (kz::OpenAviOutput(e.get())) {
      for (uint32_t n = 0; n < 4; ++n) {
        const std::vector<uint8_t> f = Frame(48 * 8, n);
        kz::WriteAviFrame(e.get(), f.data(), static_cast<uint32_t>(f.size()), 16, 8);
      }
    }
    kz::CloseAviOutput(e.get());
    GlobalFree(options);
    const std::vector<uint8_t> avi = ReadAll(path);
    if (avi.empty() || avi.size() > 64 * 1024) continue;
    Seed("avi_read", h.name, avi);
    Seed("avi_playback", h.name, avi);
  }
}

// Formats-store values and the registry's files of both stores.
void Stores() {
  const std::vector<kz::StoredFormat> lists[] = {
      {{640, 480, KZ_FORMAT_RGB24}},
      {{320, 240, KZ_FORMAT_YUY2}, {160, 120, KZ_FORMAT_I420}, {16, 8, KZ_FORMAT_PAL8}},
      {{128, 96, 99}, {-4, 0, KZ_FORMAT_RGB16}}};
  uint8_t source = 0x31;
  for (const auto& list : lists) {
    std::vector<uint8_t> seed{source++};
    for (const kz::StoredFormat& f : list) {
      for (int32_t v : {f.width, f.height, f.code}) {
        for (int i = 0; i < 4; ++i) seed.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
      }
    }
    Seed("stored_formats", "list" + std::to_string(list.size()), seed);
    kz::SaveStoredEntries(1 + seed[0] % 10, list);
  }
  kz::StoreAviOptions(OptionsBlock(mmioFOURCC('M', 'J', 'P', 'G'), 5000, {9, 8, 7}, {}).data(),
                      kz::kAviOptionsHeadBytes + 3);
  for (const auto& entry : fs::directory_iterator(gWork / "config" / "kzvideo")) {
    if (entry.path().filename().string().rfind("hkcu.", 0) == 0) {
      Seed("registry_file", entry.path().filename().string(), ReadAll(entry.path()));
    }
  }
}

// Codec blocks: two bytes of output size, then a block the encoder made.
void CodecBlocks() {
  for (uint32_t n = 0; n < 3; ++n) {
    const std::vector<uint8_t> f = Frame(300 + n * 200, n);
    std::vector<uint8_t> coded(f.size() + 5);
    coded.resize(kz::CompressFrame(coded.data(), f.data(), f.size(), f.size()));
    std::vector<uint8_t> seed{static_cast<uint8_t>((f.size() - 1) & 0xFF),
                              static_cast<uint8_t>((f.size() - 1) >> 8)};
    seed.insert(seed.end(), coded.begin(), coded.end());
    Seed("codec_decode", "block" + std::to_string(n), seed);
  }
}

// Caller records: one seed per exported call the target makes, its records all zero but
// for their sizes.
void CallSeeds() {
  for (uint8_t call = 0; call < 14; ++call) {
    std::vector<uint8_t> seed(2048, 0);
    seed[0] = call;
    Seed("api_records", "call" + std::to_string(call), seed);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  // The registry ignores a relative folder: the user's own would be written instead.
  gOut = fs::absolute(argv[1]);
  gWork = gOut / "work";
  fs::create_directories(gWork / "config");
  setenv("XDG_CONFIG_HOME", (gWork / "config").c_str(), 1);
  AVIFileInit();
  const uint32_t session = KZBegin(nullptr);
  // Lossy key frames take their quantiser phase from every key frame before: start at zero
  // so the seeds are the same on every run.
  kz::SetKeyQuantPhase(0);
  Recordings();
  Images();
  Avis();
  Stores();
  CodecBlocks();
  CallSeeds();
  KZEnd(session);
  AVIFileExit();
  fs::remove_all(gWork);
  std::printf("fuzz_seeds: %d seeds in %s\n", gCount, gOut.c_str());
  return 0;
}
