/* AVIFile test seams: live objects and the init count, for leak and balance checks. */
#ifndef KZWIN_TEST_AVIFILE_H
#define KZWIN_TEST_AVIFILE_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Files, streams and compressed streams not yet destroyed. */
KZWIN_API LONG kzwinAviLiveObjects(void);
/* AVIFileInit calls not yet balanced by AVIFileExit. */
KZWIN_API LONG kzwinAviInitCount(void);

#ifdef __cplusplus
}
#endif

#endif
