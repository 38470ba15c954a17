// KZCameraDialog and KZFormatDialog with a dialog responder in place of a person.
#include "capture_fixture.h"
#include "expect_call.h"

namespace kz::test {
namespace {

using Dialogs = CaptureTest;

struct Answer {
  int result = KZWIN_DIALOG_OK;
  LONG width = 0, height = 0;  // 0: keep the current choice
  HWND owner = nullptr;
  int calls = 0;
};

int Respond(KZWIN_DIALOG* dialog, void* context) {
  auto* a = static_cast<Answer*>(context);
  ++a->calls;
  a->owner = dialog->owner;
  if (a->width && dialog->payloadBytes >= 40) {
    BITMAPINFOHEADER h;
    std::memcpy(&h, dialog->payload, 40);
    h.biWidth = a->width;
    h.biHeight = a->height;
    std::memcpy(dialog->payload, &h, 40);
  }
  return a->result;
}

TEST_F(Dialogs, ChosenFormatIsInForceAndRemembered) {
  HWND owner = CreateWindowExA(0, nullptr, "app", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480, nullptr,
                               nullptr, nullptr, nullptr);
  Answer answer;
  answer.width = 640;
  answer.height = 480;
  kzwinSetDialogResponder(Respond, &answer);
  KZFORMAT chosen{};
  EXPECT_CALL_ERR(KZFormatDialog(session_, 1, nullptr, 0, &chosen), 3, 0u);
  EXPECT_EQ(answer.calls, 1);
  EXPECT_EQ(answer.owner, owner);  // no owner given: the active window
  EXPECT_EQ(Of(chosen), (Four{640, 480, 6, 16}));
  // Both the format before and the one chosen are in the store.
  EXPECT_EQ(StoredBytes(1), Entries({{320, 240, 6}, {640, 480, 6}}));
  KZFORMAT now{};
  ASSERT_EQ(KZGetFormat(session_, 1, &now), 1);
  EXPECT_EQ(now.width, 640);

  // The source dialog: accepted without change is 2, with a new size 3.
  answer = Answer{};
  EXPECT_EQ(KZCameraDialog(session_, 1, owner, 0), 2);
  answer.width = 352;
  answer.height = 288;
  EXPECT_EQ(KZCameraDialog(session_, 1, owner, 0), 3);
  EXPECT_EQ(StoredBytes(1), Entries({{320, 240, 6}, {640, 480, 6}, {352, 288, 6}}));
  DestroyWindow(owner);
}

TEST_F(Dialogs, CancelledFailedMissingAndCheckOnly) {
  Answer answer;
  kzwinSetDialogResponder(Respond, &answer);
  const LONG shown = kzwinCountDialogs();
  EXPECT_EQ(KZCameraDialog(session_, 1, nullptr, 1), 1);  // only asks whether it exists
  EXPECT_EQ(KZFormatDialog(session_, 1, nullptr, 5, nullptr), 1);
  EXPECT_EQ(kzwinCountDialogs(), shown);
  struct Case {
    int answer;
    LONG width;
    int result;
    uint32_t error;
  } cases[] = {
      {KZWIN_DIALOG_CANCEL, 0, 0, KZ_ERR_NO_DIALOG},
      {KZWIN_DIALOG_CANCEL, 800, 0, KZ_ERR_NO_DIALOG},  // a cancelled choice is not taken
      {KZWIN_DIALOG_FAIL, 0, 0, KZ_ERR_NO_DIALOG},
      {KZWIN_DIALOG_OK, 100, 0, KZ_ERR_NO_DIALOG},  // a choice the driver refuses
  };
  for (const Case& c : cases) {
    answer = Answer{};
    answer.result = c.answer;
    answer.width = c.width;
    answer.height = c.width ? 600 : 0;
    KZFORMAT f{};
    EXPECT_CALL_ERR(KZFormatDialog(session_, 1, nullptr, 0, &f), c.result, c.error);
    EXPECT_EQ(answer.calls, 1);
    EXPECT_EQ(f.width, 320);  // the format in force is still reported
  }
  SetCamera(0, [](KZWIN_CAMERA& c) { c.noSourceDialog = c.noFormatDialog = TRUE; });
  answer = Answer{};
  EXPECT_CALL_ERR(KZCameraDialog(session_, 1, nullptr, 1), 0, KZ_ERR_NO_DIALOG);
  EXPECT_CALL_ERR(KZFormatDialog(session_, 1, nullptr, 0, nullptr), 0, KZ_ERR_NO_DIALOG);
  EXPECT_EQ(answer.calls, 0);
}

TEST_F(Dialogs, RunningStreams) {
  const uint32_t other = KZBegin(nullptr);
  Answer answer;
  answer.width = 640;
  answer.height = 480;
  kzwinSetDialogResponder(Respond, &answer);
  FakeStream(1, session_, kDisplayBit | kGrabBit, true);
  EXPECT_CALL_ERR(KZCameraDialog(other, 1, nullptr, 0), 0, KZ_ERR_SOURCE_IN_USE);
  EXPECT_CALL_ERR(KZCameraDialog(0, 1, nullptr, 0), 0, KZ_ERR_SOURCE_IN_USE);
  EXPECT_EQ(answer.calls, 0);
  // The owning session's dialog runs on the stream's own window (the driver takes no
  // second connection, so a temporary window could not have shown it).
  KZFORMAT f{};
  EXPECT_EQ(KZFormatDialog(session_, 1, nullptr, 0, &f), 3);
  EXPECT_EQ(answer.calls, 1);
  EXPECT_EQ(f.width, 640);
  ClearFakes();
  KZEnd(other);
}

}  // namespace
}  // namespace kz::test
