// Runs any of the 25 UTF converters on bytes, with exactly sized buffers,
// canaries behind the destination and a hook that records every call.
#ifndef TESTS_KRN_RSCP_RSCPU_HARNESS_H
#define TESTS_KRN_RSCP_RSCPU_HARNESS_H

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "krn/rscp/rscpu.h"

namespace rscputest {

using Bytes = std::vector<uint8_t>;

enum class Fam { kU6, kU4, kU2 };

// One converter and what tells it apart.
struct Conv {
  const char* name;
  bool decoder;     // reads UTF-8
  bool u4ToU6;      // rscpu_U4_to_U6
  Fam fam;          // the non-UTF-8 side
  bool swapped;     // that side's units in swapped byte order
  bool noctrl;
  const char* module;  // module name the hook must see
  void (*fn)();        // the converter, cast back by Convert
  int unitIn() const { return decoder ? 1 : fam == Fam::kU4 ? 4 : 2; }
  int unitOut() const { return u4ToU6 ? 2 : !decoder ? 1 : fam == Fam::kU4 ? 4 : 2; }
};

void PrintTo(const Conv& c, std::ostream* os);

// All 25, encoders first, then the decoders, then rscpu_U4_to_U6.
const std::vector<Conv>& AllConvs();
std::vector<Conv> Decoders();
std::vector<Conv> Encoders();
const Conv& ByName(const std::string& name);

// One hook call as the hook saw it (texts as passed; they live as long as
// the process).
struct HookCall {
  int kind;
  char16_t cls;
  int mask;
  const char16_t* module;
  int location;
  int line;
  const char16_t* message;
  bool restNull;  // message code and parameters NULL, lengths 0
};

struct Result {
  int rc = 0;
  size_t consumed = 0;  // input units
  Bytes out;            // bytes written
  bool canaryIntact = true;
  uint32_t count = 0;   // substitution counter
  std::vector<HookCall> calls;
};

// Runs one converter again and again over inputs of one size into a
// destination of one capacity; the buffers are allocated once, the input
// one exactly as long as the input, the destination followed by canaries.
class Runner {
 public:
  Runner(const Conv& conv, size_t inBytes, size_t capUnits);
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;
  // inBytes bytes at in (whole input units). A decoder gets the substitute
  // when one is given (native value of its output type) and a counter
  // starting at 0. The result stays valid until the next call.
  const Result& Run(const uint8_t* in, std::optional<uint32_t> subst = std::nullopt);

 private:
  const Conv& conv_;
  size_t inBytes_, cap_;
  uint8_t* in_;
  uint8_t* out_;
  Result result_;
};

// One run with fresh buffers.
Result Convert(const Conv& conv, const Bytes& in, size_t capUnits,
               std::optional<uint32_t> subst = std::nullopt);

// The hook that records its calls into the result of the calling thread's
// current run; it returns kind plus the offset of the HookScope.
int RecordingHook(int kind, WEQ_UC cls, int mask, const WEQ_UC* module, int location, int line,
                  const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* p1, int l1,
                  const WEQ_UC* p2, int l2);

// Installs the recording hook for the life of the object; the hook returns
// its kind plus `offset`, so tests can tell the hook's result is passed on.
class HookScope {
 public:
  explicit HookScope(int offset = 0);
  ~HookScope();
};

// The module name as the converter's error reporting reads a module text:
// marker and keyword skipped, the part after the last '/', up to the first
// '.', blank, '#' or tab, at most 8 characters.
std::string ModuleName(std::u16string_view text);

// Units of a fixed-width form as bytes in native or swapped order.
Bytes UnitsToBytes(const std::vector<uint32_t>& units, int unitSize, bool swapped);
std::vector<uint32_t> BytesToUnits(const Bytes& bytes, int unitSize, bool swapped);

std::string Hex(const Bytes& b);

}  // namespace rscputest

#endif
