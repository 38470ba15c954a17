/* The dialog host. Off Windows no person is asked: every dialog of the platform layer
   (capture driver dialogs, AVISaveOptions) answers with the current choice, or with what
   a responder installed by the program answers. */
#ifndef KZWIN_TEST_DIALOGS_H
#define KZWIN_TEST_DIALOGS_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Dialog kinds and their payloads. */
#define KZWIN_DIALOG_VIDEO_SOURCE 1   /* payload: the driver's current BITMAPINFO (in/out) */
#define KZWIN_DIALOG_VIDEO_FORMAT 2   /* payload: the driver's current BITMAPINFO (in/out) */
#define KZWIN_DIALOG_AVI_SAVE_OPTIONS 3 /* payload: defined by the avifile area */

/* Answers of a responder. */
#define KZWIN_DIALOG_OK 1      /* accepted; the payload holds the choice */
#define KZWIN_DIALOG_CANCEL 0  /* the person cancelled; the payload is ignored */
#define KZWIN_DIALOG_FAIL (-1) /* the dialog could not be shown */

typedef struct KZWIN_DIALOG {
  DWORD kind;           /* KZWIN_DIALOG_* */
  HWND owner;           /* window that owns the dialog, may be null */
  LPCSTR title;         /* the dialog's caption */
  DWORD driverIndex;    /* capture dialogs: the driver shown; else 0 */
  void* payload;        /* in/out, kind-specific; the responder may rewrite it */
  DWORD payloadBytes;   /* bytes valid in payload on entry */
  DWORD payloadRoom;    /* bytes the responder may write */
} KZWIN_DIALOG;

/* Returns KZWIN_DIALOG_OK, _CANCEL or _FAIL. Runs on the thread that opened the dialog. */
typedef int(KZWIN_DIALOG_RESPONDER)(KZWIN_DIALOG* dialog, void* context);

/* Installs the responder of every later dialog; null returns to "accept the current
   choice". Returns the one installed before. */
KZWIN_API KZWIN_DIALOG_RESPONDER* kzwinSetDialogResponder(KZWIN_DIALOG_RESPONDER* responder,
                                                          void* context);

/* Dialogs shown so far in this process (a count, for tests that check nothing was shown). */
KZWIN_API LONG kzwinCountDialogs(void);

#ifdef __cplusplus
}
#endif

#endif
