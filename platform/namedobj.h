// Named semaphores and shared memory that another process opens by name.
//
// A name given here gets a leading '/' and must not contain one (EINVAL).
// Semaphores are created with mode 0600 and count 0, shared memory with
// mode 0600. Creating replaces a name that an ended process left behind:
// the old object is unlinked first and the new one made exclusively.
#ifndef PLATFORM_NAMEDOBJ_H
#define PLATFORM_NAMEDOBJ_H

#include <semaphore.h>
#include <stddef.h>

// 0 and *sem, or an errno value.
int PlatSemCreate(const char* name, sem_t** sem);
int PlatSemOpen(const char* name, sem_t** sem);  // an existing one
void PlatSemClose(sem_t* sem);
void PlatSemUnlink(const char* name);

// Waits until one of n semaphores (1 or 2) can be taken, at most ms
// milliseconds: its index, -1 on time-out, -2 on an error. One semaphore is
// waited for with sem_clockwait on CLOCK_MONOTONIC; two are polled with
// sem_trywait and short sleeps, since no thread may be started to wait.
int PlatSemWaitAny(sem_t* const* sems, int n, long ms);

// Shared memory of size bytes: 0 and its descriptor (close-on-exec), or an
// errno value.
int PlatShmCreate(const char* name, size_t size, int* fd);
int PlatShmOpen(const char* name, int* fd);  // an existing one
void PlatShmUnlink(const char* name);
// Maps size bytes of it for reading: the address, or NULL (errno set).
const void* PlatShmMapRead(int fd, size_t size);
void PlatShmUnmap(const void* addr, size_t size);

#endif
