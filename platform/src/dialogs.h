// The dialog host as the platform's own areas use it.
#pragma once

#include <kzwin_test.h>

namespace kzwin {

// Shows a dialog: asks the installed responder, or accepts the current choice when none is
// installed. Messages sent to the calling thread's windows run while it is "open", as they
// would in a modal loop. Returns KZWIN_DIALOG_OK, _CANCEL or _FAIL.
int RunDialog(KZWIN_DIALOG& dialog);

}  // namespace kzwin
