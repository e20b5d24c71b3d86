// A stand-in for the graphical frontend, written from its side of the
// launch protocol: it finds the shared memory "/<pid>_RfcGuiShm" and the
// semaphore "/<pid>_RfcGuiSem" of its own process id (or, with --idnames,
// those of the RFC id given as /Rfc=<id>), writes one reply and releases
// the semaphore. Its parameters choose the reply:
//   --reply=ok8|ok16|err8|err16|garbage   the reply's kind (default ok8)
//   --text=T      the text after the keyword (UTF-8); --fill=N adds N 'x'
//   --noterm      no terminator after the text
//   --delay=MS    wait before answering
//   --never       never answer (ends by itself after two minutes)
//   --exit        end at once without answering
//   --child       end at once, leaving a child that answers on the id names
//   --dir=D       record: D/marker.<pid> when it runs, D/run.<pid> with its
//                 arguments ("arg <length> <bytes>") and open descriptors
//                 ("fd <n>"), and D/child.<pid> naming a child it leaves
// It includes no header of the library.
#include <dirent.h>
#include <fcntl.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr size_t kShmBytes = 2048;

struct Options {
  std::string reply = "ok8";
  std::string text;
  std::string dir;
  std::string rfcId;
  long delayMs = 0;
  bool noterm = false;
  bool never = false;
  bool exitNow = false;
  bool child = false;
  bool idNames = false;
};

void Nap(long ms) {
  timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

void WriteFileText(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

void Record(const Options& o, int argc, char** argv) {
  if (o.dir.empty()) return;
  std::string pid = std::to_string(getpid());
  std::string rec;
  for (int i = 0; i < argc; ++i) {
    rec += "arg " + std::to_string(strlen(argv[i])) + " " + argv[i] + "\n";
  }
  DIR* d = opendir("/proc/self/fd");
  if (d != nullptr) {
    int own = dirfd(d);
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      int fd = atoi(e->d_name);
      if (fd != own) rec += "fd " + std::to_string(fd) + "\n";
    }
    closedir(d);
  }
  // The record first, the marker last: a marker means a complete record.
  WriteFileText(o.dir + "/run." + pid, rec);
  WriteFileText(o.dir + "/marker." + pid, pid + "\n");
}

// UTF-8 to UTF-16 units (valid input assumed; the tests write it).
std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    unsigned cp;
    int len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c < 0xE0) {
      cp = c & 0x1F;
      len = 2;
    } else if (c < 0xF0) {
      cp = c & 0x0F;
      len = 3;
    } else {
      cp = c & 0x07;
      len = 4;
    }
    for (int k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

// The reply's bytes as the options ask for them, at most the mapping.
std::string Reply(const Options& o) {
  std::string bytes;
  auto put8 = [&](const std::string& keyword) {
    bytes = keyword + o.text;
    if (!o.noterm) bytes.push_back('\0');
  };
  auto put16 = [&](const std::string& keyword) {
    std::u16string u = Utf16(keyword) + Utf16(o.text);
    if (!o.noterm) u.push_back(0);
    bytes.assign(reinterpret_cast<const char*>(u.data()), u.size() * 2);
  };
  if (o.reply == "ok8") put8("RFC_OK ");
  if (o.reply == "ok16") put16("RFC_OK ");
  if (o.reply == "err8") put8("RFC_ERROR=");
  if (o.reply == "err16") put16("RFC_ERROR=");
  if (o.reply == "garbage") put8("HELLO ");
  if (bytes.size() > kShmBytes) bytes.resize(kShmBytes);
  return bytes;
}

int Answer(const Options& o, const std::string& base) {
  std::string shmName = "/" + base + "_RfcGuiShm";
  std::string semName = "/" + base + "_RfcGuiSem";
  int fd = shm_open(shmName.c_str(), O_RDWR, 0);
  if (fd < 0) {
    perror("weqgui_stub: shm_open");
    return 3;
  }
  void* p = mmap(nullptr, kShmBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return 4;
  std::string bytes = Reply(o);
  memcpy(p, bytes.data(), bytes.size());
  munmap(p, kShmBytes);
  sem_t* s = sem_open(semName.c_str(), 0);
  if (s == SEM_FAILED) {
    perror("weqgui_stub: sem_open");
    return 5;
  }
  sem_post(s);
  sem_close(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* key, std::string* out) {
      size_t n = strlen(key);
      if (a.compare(0, n, key) != 0) return false;
      *out = a.substr(n);
      return true;
    };
    std::string v;
    if (value("--reply=", &v)) o.reply = v;
    if (value("--text=", &v)) o.text += v;
    if (value("--fill=", &v)) o.text.append(strtoul(v.c_str(), nullptr, 10), 'x');
    if (value("--dir=", &v)) o.dir = v;
    if (value("--delay=", &v)) o.delayMs = strtol(v.c_str(), nullptr, 10);
    if (value("/Rfc=", &v)) o.rfcId = v;
    if (a == "--noterm") o.noterm = true;
    if (a == "--never") o.never = true;
    if (a == "--exit") o.exitNow = true;
    if (a == "--child") o.child = true;
    if (a == "--idnames") o.idNames = true;
  }
  Record(o, argc, argv);
  if (o.exitNow) return 0;
  if (o.never) {
    Nap(120000);
    return 0;
  }
  std::string base = o.idNames ? o.rfcId : std::to_string(getpid());
  if (o.child) {
    pid_t c = fork();
    if (c != 0) {
      if (!o.dir.empty() && c > 0) {
        WriteFileText(o.dir + "/child." + std::to_string(getpid()), std::to_string(c) + "\n");
      }
      return c > 0 ? 0 : 6;
    }
    // The launcher sees its frontend end before the answer comes.
    Nap(o.delayMs > 0 ? o.delayMs : 300);
    return Answer(o, o.rfcId);
  }
  if (o.delayMs > 0) Nap(o.delayMs);
  return Answer(o, base);
}
