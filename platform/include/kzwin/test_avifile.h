/* AVIFile test seams: live objects and the init count, for leak and balance checks. */
#ifndef KZWIN_TEST_AVIFILE_H
#define KZWIN_TEST_AVIFILE_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The dialog host shows AVISaveOptions as KZWIN_DIALOG_AVI_SAVE_OPTIONS, once per stream.
   Its payload is that stream's AVICOMPRESSOPTIONS record, which the responder may rewrite.
   Format or parameter bytes that the rewritten record points to anew (lpFormat/cbFormat,
   lpParms/cbParms) are copied into blocks of the dialog's own; AVISaveOptionsFree frees
   those and nothing else. */

/* Files, streams and compressed streams not yet destroyed. */
KZWIN_API LONG kzwinAviLiveObjects(void);
/* AVIFileInit calls not yet balanced by AVIFileExit. */
KZWIN_API LONG kzwinAviInitCount(void);

#ifdef __cplusplus
}
#endif

#endif
