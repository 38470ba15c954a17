// The dialog host: no person is asked; a responder installed by the program answers.
#include "dialogs.h"

#include <atomic>
#include <mutex>

#include "window.h"

namespace kzwin {
namespace {

std::mutex responderMutex;
KZWIN_DIALOG_RESPONDER* responder = nullptr;
void* responderContext = nullptr;
std::atomic<long> shown{0};

}  // namespace

int RunDialog(KZWIN_DIALOG& dialog) {
  KZWIN_DIALOG_RESPONDER* answer;
  void* context;
  {
    std::lock_guard lock(responderMutex);
    answer = responder;
    context = responderContext;
  }
  shown.fetch_add(1);
  // A modal dialog keeps the thread's windows answering while it is open.
  RunSentMessages();
  int result = answer ? answer(&dialog, context) : KZWIN_DIALOG_OK;
  RunSentMessages();
  if (result != KZWIN_DIALOG_OK && result != KZWIN_DIALOG_CANCEL) result = KZWIN_DIALOG_FAIL;
  return result;
}

}  // namespace kzwin

extern "C" {

KZWIN_DIALOG_RESPONDER* kzwinSetDialogResponder(KZWIN_DIALOG_RESPONDER* responder, void* context) {
  std::lock_guard lock(kzwin::responderMutex);
  KZWIN_DIALOG_RESPONDER* before = kzwin::responder;
  kzwin::responder = responder;
  kzwin::responderContext = context;
  return before;
}

LONG kzwinCountDialogs(void) {
  return static_cast<LONG>(kzwin::shown.load());
}

}  // extern "C"
