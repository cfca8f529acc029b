/* The C interface of the process-wide pool, exported by libvorlane_platform so that every
   extension module of the package shares one pool. Only C types cross it: each module links
   its own C++ runtime, so exceptions stay on the module's side (see annotation/pool.hpp). */
#pragma once

#include <stddef.h>

#if defined(__GNUC__)
#define VORLANE_PLATFORM_API __attribute__((visibility("default")))
#else
#define VORLANE_PLATFORM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Outcomes of vorlane_pool_run. */
#define VORLANE_POOL_OK 0
#define VORLANE_POOL_TASK_FAILED 1 /* a task returned nonzero; tasks not yet begun were skipped */
#define VORLANE_POOL_NO_THREAD 2   /* no pool thread could be started; the message says why */
#define VORLANE_POOL_NO_MEMORY 3   /* the pool could not allocate what the run needs */
#define VORLANE_POOL_BROKEN 4      /* any other failure inside the pool; the message says what */

/* One task of a run: returns 0 when done, nonzero when it failed. It must not unwind. */
typedef int (*vorlane_pool_task)(void* context, size_t index);

/* Number of pool threads, fixed by the first query for the life of the process (from
   RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS or the CPUs the process may use); 0 only when it could
   not be determined for lack of memory. */
VORLANE_PLATFORM_API size_t vorlane_pool_size(void);

/* Runs task(context, i) for every i in [0, count) on the pool's threads and returns once all
   have finished or been skipped; the caller claims tasks beside the workers, and a call from a
   pool thread (or from a task the caller runs) runs its tasks inline. Worker threads start on
   first need, up to vorlane_pool_size() - 1 in all: the caller is the last.
   `message` (capacity bytes, may be null when capacity is 0) receives a NUL-terminated text for
   VORLANE_POOL_NO_THREAD and VORLANE_POOL_BROKEN. A forked child gets a fresh pool. */
VORLANE_PLATFORM_API int vorlane_pool_run(size_t count, vorlane_pool_task task, void* context,
                                          char* message, size_t capacity);

#ifdef __cplusplus
}
#endif
