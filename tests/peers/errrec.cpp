// Error-information records in network form (errrec.h).
#include "peers/errrec.h"

namespace peers {

namespace {

const std::string kEye = "*ERR*";

}  // namespace

std::string ErrRecEncode(std::vector<std::string> fields) {
  fields.resize(kErrFields);
  fields[0] = kEye;
  fields[kErrFields - 1] = kEye;
  std::string out;
  for (const std::string& f : fields) {
    out += f;
    out += '\0';
  }
  return out;
}

bool ErrRecDecode(const std::string& record, std::vector<std::string>* fields) {
  fields->clear();
  size_t pos = 0;
  while (pos < record.size()) {
    size_t end = record.find('\0', pos);
    if (end == std::string::npos) return false;
    fields->push_back(record.substr(pos, end - pos));
    pos = end + 1;
  }
  return fields->size() == kErrFields && fields->front() == kEye && fields->back() == kEye;
}

size_t ErrRecUnits(const std::string& utf8) {
  size_t units = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

std::vector<std::string> ErrRecGateway(const std::string& text, long code, const std::string& location) {
  std::vector<std::string> f(kErrFields);
  f[1] = "1";
  f[kErrText] = text;
  f[kErrRc] = std::to_string(code);
  f[kErrComponent] = "GATEWAY";
  f[kErrLocation] = location;
  return f;
}

std::string ErrRecOfSize(size_t n, long code) {
  std::vector<std::string> f = ErrRecGateway("", code, "");
  std::string base = ErrRecEncode(f);
  if (n > base.size()) {
    size_t extra = n - base.size();
    std::string text;
    for (size_t i = 0; i < extra / 3; ++i) text += "\xe6\x97\xa5";  // U+65E5
    text.append(extra % 3, 'x');
    f[kErrText] = text;
  }
  std::string rec = ErrRecEncode(f);
  if (rec.size() > n) rec.resize(n);
  return rec;
}

}  // namespace peers
