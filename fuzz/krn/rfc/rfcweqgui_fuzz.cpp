// The frontend launcher's readers on arbitrary input. The first byte
// chooses: the rest as the 2048-byte mapping read by rfcGuiParseReply (the
// reply must come back terminated within its 1032 units and no longer than
// its kind allows), as parameters split by the command-line splitter (no
// argument may hold more characters than the input), or as a registry
// store read for a string and a DWORD value.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "krn/rfc/tov3/rfcweqgui.h"
#include "platform/process.h"
#include "platform/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = data[0] % 3;
  ++data;
  --size;
  if (mode == 0) {
    // Exactly the mapping's size on the heap, so that a read past it shows.
    auto* shm = static_cast<unsigned char*>(calloc(RFCGUI_SHM_BYTES, 1));
    memcpy(shm, data, size < RFCGUI_SHM_BYTES ? size : RFCGUI_SHM_BYTES);
    std::vector<WEQ_UC> reply(RFCGUI_REPLY_UNITS, u'?');
    int rc = rfcGuiParseReply(reply.data(), shm);
    free(shm);
    size_t n = 0;
    while (n < reply.size() && reply[n] != 0) ++n;
    if (n == reply.size()) abort();
    if (rc == 1 && n > 512) abort();
    if (rc == 0 && n > 1024) abort();
    if (rc != 0 && rc != 1) abort();
    return 0;
  }
  std::string text(reinterpret_cast<const char*>(data), size);
  if (mode == 1) {
    std::string cmd(text.c_str());  // a command line ends at its first 0 byte
    std::vector<std::string> args = PlatCmdLineSplit(cmd);
    if (args.empty()) abort();
    size_t total = 0;
    for (const std::string& a : args) total += a.size();
    if (total > cmd.size()) abort();
    return 0;
  }
  char buf[64];
  memset(buf, 0x55, sizeof buf);
  int rc = PlatRegFindString(text.data(), text.size(), "Software\\WEQ\\Weqgui", "Path", buf, 40);
  if (rc == PLAT_REG_OK && strnlen(buf, 40) >= 40) abort();
  if (rc != PLAT_REG_OK && buf[0] != 0x55) abort();
  if (buf[40] != 0x55) abort();
  uint32_t v = 0;
  PlatRegFindDword(text.data(), text.size(), "Software\\WEQ\\Weqgui", "LaunchWeqlogon", &v);
  return 0;
}
