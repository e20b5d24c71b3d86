// Stand-in of NI's route table (gwroute_standin.h): the hops of a route
// string as NI's routing will split them, without building the router
// message. Weak, so that NI's own definition takes its place once linked.
#include "krn/gw/gwroute_standin.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr size_t kRouteAreaMax = 10000;

struct StandinHop {
  std::u16string host, service, password;
};

// The text of s from pos up to the first of the markers, or its end.
size_t StandinNextMarker(const std::u16string& s, size_t pos, std::initializer_list<const char16_t*> marks) {
  size_t best = std::u16string::npos;
  for (const char16_t* m : marks) best = std::min(best, s.find(m, pos));
  return best;
}

std::vector<StandinHop> StandinSplit(const std::u16string& route) {
  std::vector<StandinHop> hops;
  if (route.compare(0, 3, u"/H/") != 0) {
    hops.push_back({route, u"", u""});
    return hops;
  }
  std::u16string nextPassword;
  bool passwordGiven = false;
  size_t pos = 3;
  while (pos <= route.size()) {
    size_t end = route.find(u"/H/", pos);
    std::u16string part = route.substr(pos, end == std::u16string::npos ? std::u16string::npos : end - pos);
    StandinHop hop;
    size_t cut = StandinNextMarker(part, 0, {u"/S/", u"/P/", u"/W/"});
    hop.host = part.substr(0, cut);
    std::u16string rest = cut == std::u16string::npos ? u"" : part.substr(cut);
    if (rest.compare(0, 3, u"/S/") == 0) {
      size_t s = StandinNextMarker(rest, 3, {u"/P/", u"/W/"});
      hop.service = rest.substr(3, s == std::u16string::npos ? std::u16string::npos : s - 3);
      rest = s == std::u16string::npos ? u"" : rest.substr(s);
    }
    // A password given by the previous hop's "/W/" keeps "/P/" as text.
    if (passwordGiven) {
      hop.password = nextPassword;
      passwordGiven = false;
    } else if (rest.compare(0, 3, u"/P/") == 0) {
      hop.password = rest.substr(3);
      rest.clear();
    }
    if (rest.compare(0, 3, u"/W/") == 0) {
      nextPassword = rest.substr(3);
      passwordGiven = true;
    }
    hops.push_back(std::move(hop));
    if (end == std::u16string::npos) break;
    pos = end + 3;
  }
  for (size_t i = 0; i + 1 < hops.size(); ++i)
    if (hops[i].service.empty()) hops[i].service = u"3299";
  return hops;
}

// The router message carries 7-bit texts: other characters read back as '#'.
void StandinCopy(WEQ_UC* dst, size_t width, const std::u16string& src) {
  size_t n = std::min(src.size(), width - 1);
  for (size_t i = 0; i < n; ++i) dst[i] = src[i] < 128 ? src[i] : u'#';
  dst[n] = 0;
}

}  // namespace

__attribute__((weak)) NI_RC NiRouteToTable(int* pCount, const WEQ_UC* pRouteString, NI_ROUTE_ENTRY* pRouteTable,
                                           int tableSize) {
  if (pCount == nullptr || pRouteString == nullptr || (pRouteTable == nullptr && tableSize != 0) ||
      tableSize < 0) {
    NiErrSet(NIEINVAL);
    return NIEINVAL;
  }
  std::vector<StandinHop> hops = StandinSplit(std::u16string(pRouteString));
  size_t area = 0;
  for (const StandinHop& h : hops) area += h.host.size() + h.service.size() + h.password.size() + 3;
  if (area > kRouteAreaMax) {
    NiErrSet(NIETOO_SMALL);
    return NIETOO_SMALL;
  }
  *pCount = static_cast<int>(hops.size());
  size_t first = hops.size() > static_cast<size_t>(tableSize) ? hops.size() - static_cast<size_t>(tableSize) : 0;
  for (size_t i = first; i < hops.size(); ++i) {
    NI_ROUTE_ENTRY& row = pRouteTable[i - first];
    StandinCopy(row.host, NI_ROUTE_HOST_LEN, hops[i].host);
    StandinCopy(row.service, NI_ROUTE_SERV_LEN, hops[i].service);
  }
  return WEQ_O_K;
}
