// Shows what the library's subsystems do on real input. It grows with the
// library: each subsystem adds its part here.
#include <cstdio>

#include "i18n/wequ16/u16str.h"

int main() {
  const WEQ_UC text[] = u"Gr\u00FC\u00DFe aus dem Rechenzentrum \U0001F600";
  std::printf("16-bit text of %zu units (a surrogate pair counts two)\n",
              strnlenU16(text, sizeof text / sizeof text[0]));
  return 0;
}
