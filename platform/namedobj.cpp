// Named semaphores and shared memory; see namedobj.h.
#include "platform/namedobj.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace {

// "/" and the name, or false when the name cannot be one.
bool ObjName(const char* name, std::string* out) {
  if (name == nullptr || *name == 0 || strchr(name, '/') != nullptr) return false;
  *out = std::string("/") + name;
  return true;
}

timespec ObjAfter(long ms) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += (ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

bool ObjPassed(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// The C library keeps the semaphores a process has open in one table of its
// own, under a lock that the thread sanitizer cannot see; opening and
// closing under this lock as well keeps that table's use visibly ordered.
std::mutex gSemTableLock;

}  // namespace

int PlatSemCreate(const char* name, sem_t** sem) {
  std::string n;
  if (!ObjName(name, &n) || sem == nullptr) return EINVAL;
  sem_unlink(n.c_str());
  sem_t* s;
  {
    std::lock_guard<std::mutex> hold(gSemTableLock);
    s = sem_open(n.c_str(), O_CREAT | O_EXCL, 0600, 0);
  }
  if (s == SEM_FAILED) return errno;
  *sem = s;
  return 0;
}

int PlatSemOpen(const char* name, sem_t** sem) {
  std::string n;
  if (!ObjName(name, &n) || sem == nullptr) return EINVAL;
  sem_t* s;
  {
    std::lock_guard<std::mutex> hold(gSemTableLock);
    s = sem_open(n.c_str(), 0);
  }
  if (s == SEM_FAILED) return errno;
  *sem = s;
  return 0;
}

void PlatSemClose(sem_t* sem) {
  if (sem == nullptr) return;
  std::lock_guard<std::mutex> hold(gSemTableLock);
  sem_close(sem);
}

void PlatSemUnlink(const char* name) {
  std::string n;
  if (ObjName(name, &n)) sem_unlink(n.c_str());
}

int PlatSemWaitAny(sem_t* const* sems, int n, long ms) {
  if (sems == nullptr || n < 1 || n > 2) return -2;
  if (ms < 0) ms = 0;
  timespec deadline = ObjAfter(ms);
  if (n == 1) {
    while (true) {
      if (sem_clockwait(sems[0], CLOCK_MONOTONIC, &deadline) == 0) return 0;
      if (errno == EINTR) continue;
      return errno == ETIMEDOUT ? -1 : -2;
    }
  }
  while (true) {
    for (int i = 0; i < n; ++i) {
      if (sem_trywait(sems[i]) == 0) return i;
      if (errno != EAGAIN && errno != EINTR) return -2;
    }
    if (ObjPassed(deadline)) return -1;
    timespec nap = {0, 5 * 1000000L};
    nanosleep(&nap, nullptr);
  }
}

int PlatShmCreate(const char* name, size_t size, int* fd) {
  std::string n;
  if (!ObjName(name, &n) || fd == nullptr) return EINVAL;
  shm_unlink(n.c_str());
  int f = shm_open(n.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
  if (f < 0) return errno;
  if (ftruncate(f, static_cast<off_t>(size)) != 0) {
    int err = errno;
    close(f);
    shm_unlink(n.c_str());
    return err;
  }
  *fd = f;
  return 0;
}

int PlatShmOpen(const char* name, int* fd) {
  std::string n;
  if (!ObjName(name, &n) || fd == nullptr) return EINVAL;
  int f = shm_open(n.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (f < 0) return errno;
  *fd = f;
  return 0;
}

void PlatShmUnlink(const char* name) {
  std::string n;
  if (ObjName(name, &n)) shm_unlink(n.c_str());
}

const void* PlatShmMapRead(int fd, size_t size) {
  void* p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void PlatShmUnmap(const void* addr, size_t size) {
  if (addr != nullptr) munmap(const_cast<void*>(addr), size);
}
