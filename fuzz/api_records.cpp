// Caller records with sizes and fields taken from the input, through the exported
// functions, in a session of each input's own: file information, frame loading, images to
// bitmaps and files, coordinates, sources and formats, version and time conversions, the
// playback description, a waited export, and a playback, display or recording started and
// stopped at once. Pointer fields the library would call or lock (callbacks, windows) stay
// null; handle fields get handles of the input's bytes. Every call must come back with a
// result or an error code, and the session's end must leave no thread, block or handle.
#include <kzvideo.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "frame/stream.h"
#include "fuzz_util.h"
#include "record/writer.h"

namespace {

using kzfuzz::Input;

const bool kOwnRegistry = !kzfuzz::Folder().empty();
constexpr int32_t kWidth = 16, kHeight = 8;

// A raw recording of three frames, written once by the recording writer.
const std::string& Recording() {
  static const std::string path = [] {
    const std::string p = kzfuzz::InFolder("source.kzv");
    auto e = std::make_unique<kz::StreamRecord>();
    e->frameBytes = kWidth * kHeight * 3;
    KZRECORD& r = e->record;
    r.size = sizeof r;
    r.fileFlags = KZ_KIND_RAW | KZ_OPEN_OVERWRITE;
    r.width = kWidth;
    r.height = kHeight;
    r.format = KZ_FORMAT_RGB24;
    std::snprintf(r.fileName, sizeof r.fileName, "%s", p.c_str());
    std::vector<uint8_t> frame(e->frameBytes);
    for (uint32_t n = 0; n < 3; ++n) {
      for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 3 + n * 50);
      kz::FrameTime t;
      t.ms = n * 40;
      t.julian = 2461000.5 + n * 40 / 86400000.0;
      kz::WriteOwnKindFrame(*e, frame.data(), t);
    }
    kz::FinishRecordingFile(*e);
    return p;
  }();
  return path;
}

// Outputs of one input go to a folder that is emptied after it.
std::string Output(const char* name) { return kzfuzz::InFolder("out/") + name; }

// The record's size: mostly right (always for zero bytes), so that the fields behind it
// are reached.
template <class T>
void Fill(Input& in, T* record) {
  in.Fill(record, sizeof *record);
  if (in.Take<uint8_t>() < 240) record->size = sizeof *record;
}

// A global block of the input's bytes, up to 4 KiB, or none; freed by its owner.
struct Handle {
  HGLOBAL h = nullptr;
  Handle(Input& in) {
    const uint16_t bytes = in.Take<uint16_t>() & 0x1FFF;
    if (bytes == 0 || bytes > 4096) return;
    h = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (h) in.Fill(GlobalLock(h), bytes), GlobalUnlock(h);
  }
  ~Handle() {
    if (h) GlobalFree(h);
  }
};

void Free(HGLOBAL h) {
  if (h && h != KZ_OPTIONS_STORED) GlobalFree(h);
}

void CallOne(uint32_t session, Input& in) {
  switch (in.Take<uint8_t>() % 14) {
    case 0: {
      KZFILEINFO info;
      Fill(in, &info);
      info.path[sizeof info.path - 1] = 0;
      KZGetFileInfo(in.Take<uint8_t>() & 1 ? nullptr : Recording().c_str(), &info,
                    in.Take<uint32_t>());
      break;
    }
    case 1: {
      KZPLAYBACK block;
      KZDISPLAY display;
      Fill(in, &block);
      Fill(in, &display);
      block.window = nullptr;
      block.afterConvertCallback = nullptr;
      block.afterDrawCallback = nullptr;
      block.endCallback = nullptr;
      display.window = nullptr;
      display.beforeDrawCallback = nullptr;
      display.afterConvertCallback = nullptr;
      display.afterDrawCallback = nullptr;
      const uint8_t which = in.Take<uint8_t>();
      Free(KZLoadFrame(Recording().c_str(), which & 1 ? &block : nullptr,
                       which & 2 ? &display : nullptr, in.Take<uint32_t>()));
      break;
    }
    case 2:
    case 3:
    case 4: {
      KZDISPLAY display;
      Fill(in, &display);
      display.window = nullptr;
      display.beforeDrawCallback = nullptr;
      display.afterConvertCallback = nullptr;
      display.afterDrawCallback = nullptr;
      Handle image(in);
      if (const uint8_t what = in.Take<uint8_t>(); what % 3 == 0) {
        Free(KZImageToBitmap(image.h, &display));
      } else if (what % 3 == 1) {
        KZSaveImage(image.h, &display, Output("image.kzv").c_str());
      } else {
        int32_t x = 0, y = 0;
        const auto px = in.Take<int32_t>(), py = in.Take<int32_t>();
        KZDisplayCoord2(&display, px, py, &x, &y, in.Take<uint32_t>());
      }
      break;
    }
    case 5: {
      const int32_t room = in.Take<int8_t>() % 12;
      std::vector<KZSOURCE> list(room > 0 ? static_cast<size_t>(room) : 0);
      KZEnumSources(session, room > 0 ? list.data() : nullptr, room, in.Take<uint32_t>());
      break;
    }
    case 6: {
      const int32_t room = in.Take<int8_t>() % 200;
      std::vector<KZFORMAT> list(room > 0 ? static_cast<size_t>(room) : 0);
      KZFORMAT one{};
      const uint32_t source = in.Take<uint8_t>() % 12;
      KZEnumFormats(session, source, room > 0 ? list.data() : nullptr, room, in.Take<uint32_t>());
      KZGetFormat(session, source, &one);
      break;
    }
    case 7: {
      const int32_t length = in.Take<int8_t>() % 80;
      std::vector<char> text(length > 0 ? static_cast<size_t>(length) : 1);
      KZVersion(length > 0 ? text.data() : nullptr, length);
      break;
    }
    case 8: {
      KZSYSTEMTIME st;
      in.Fill(&st, sizeof st);
      double julian = 0;
      KZSystemTimeToJulian(&julian, &st);
      KZJulianToSystemTime(in.Take<double>(), &st);
      break;
    }
    case 9: {
      KZDISPLAY display;
      KZRECORD record;
      Fill(in, &display);
      Fill(in, &record);
      const uint8_t which = in.Take<uint8_t>();
      KZGetPlaybackInfo(session, in.Take<uint8_t>(), Recording().c_str(), nullptr,
                        which & 1 ? &display : nullptr, which & 2 ? &record : nullptr,
                        in.Take<int8_t>());
      break;
    }
    case 10: {
      KZEXPORT job;
      Fill(in, &job);
      Handle options(in), ranges(in);
      job.session = session;
      std::snprintf(job.sourceName, sizeof job.sourceName, "%s", Recording().c_str());
      std::snprintf(job.fileName, sizeof job.fileName, "%s", Output("export.kzv").c_str());
      job.aviOptions = options.h;
      job.ranges = ranges.h;
      job.progress = nullptr;
      job.endNotify = nullptr;
      job.exportFlags |= KZ_EXPORT_WAIT;  // on the caller's thread, done when it returns
      KZSaveVideo(&job);
      break;
    }
    case 11: {
      KZPLAYBACK block;
      Fill(in, &block);
      block.session = session;
      std::snprintf(block.fileName, sizeof block.fileName, "%s", Recording().c_str());
      block.window = nullptr;
      block.afterConvertCallback = nullptr;
      block.afterDrawCallback = nullptr;
      block.endCallback = nullptr;
      const uint32_t id = KZStartPlayback(&block);
      if (id) {
        KZPLAYBACKFRAME frame;
        Fill(in, &frame);
        KZGetPlaybackFrame(session, id, nullptr, &frame);
        KZPLAYBACK changed;
        Fill(in, &changed);
        changed.session = session;
        changed.window = nullptr;
        changed.afterConvertCallback = nullptr;
        changed.afterDrawCallback = nullptr;
        changed.endCallback = nullptr;
        KZChangePlayback(&changed);
        KZStopPlayback(session, id, nullptr);
      }
      break;
    }
    case 12: {
      KZRECORD record;
      Fill(in, &record);
      Handle options(in);
      record.session = session;
      record.source = record.source % 12;
      record.window = nullptr;
      std::snprintf(record.fileName, sizeof record.fileName, "%s", Output("record.kzv").c_str());
      record.aviOptions = options.h;
      record.frameFilter = nullptr;
      record.endNotify = nullptr;
      if (KZStartRecord(&record)) {
        KZRATE rate;
        KZGetRecordRate(session, record.source, nullptr, &rate);
        KZStopRecord(session, record.source, nullptr);
      }
      break;
    }
    case 13: {
      KZDISPLAY display;
      Fill(in, &display);
      display.session = session;
      display.source = display.source % 12;
      display.window = nullptr;
      display.beforeDrawCallback = nullptr;
      display.afterConvertCallback = nullptr;
      display.afterDrawCallback = nullptr;
      if (KZStartDisplay(&display)) {
        KZDISPLAY got;
        Fill(in, &got);
        KZGetDisplay(session, display.source, nullptr, &got);
        KZStopDisplay(session, display.source, nullptr);
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!kOwnRegistry || Recording().empty()) return 0;
  std::error_code ec;
  std::filesystem::create_directories(kzfuzz::InFolder("out"), ec);
  {
    kzfuzz::ThreadCheck threads;
    kzfuzz::LeakCheck leaks;
    const uint32_t session = KZBegin(nullptr);
    if (!session) return 0;
    Input in(data, size);
    for (int calls = 0; calls < 8 && in.size() > 0; ++calls) CallOne(session, in);
    // Whatever is still running stops with the session.
    KZStopAll(session, 0, nullptr);
    KZEnd(session);
  }
  std::filesystem::remove_all(kzfuzz::InFolder("out"), ec);
  return 0;
}
