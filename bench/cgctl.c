/* Callgrind client requests for the benchmark child, loaded through ctypes:
   counting starts only after the heavy imports, and each measured loop ends
   with a labelled dump. Outside valgrind these are no-ops. */
#include <valgrind/callgrind.h>

void cg_start(void) { CALLGRIND_START_INSTRUMENTATION; }
void cg_zero(void) { CALLGRIND_ZERO_STATS; }
void cg_dump(const char *label) { CALLGRIND_DUMP_STATS_AT(label); }
