// ms_peer: a message server for the message server client's tests. It
// listens on loopback (port 0: the system chooses), prints "PORT <n>" on
// standard output and serves any number of connections at once: logins,
// old logins, logouts, administration blocks, opcode requests and plain
// messages, each message framed by a 4-byte big-endian length. It answers
// each message that waits for an answer once and sends nothing unasked.
//
//   ms_peer serve [--family 4|6] [--scenario <file>] [--log <file>]
//                 [--fault <spec>]... [--rcvbuf <bytes>]
//                 [--lifetime <seconds>] [--parent <pid>]
//
// Answers come from "MSG_SERVER" and go to the sender's name. A
// connection's layout is 3 after an old login (70-byte header, iflag 3 at
// 47) or a version-3 login answer, else 4 (110 bytes), whatever the
// version byte says.
//
// Scenario file: one directive a line, '#' starts a comment, unknown
// directives are logged and skipped (later tests add their own):
//   reply-version <n>      version byte of the answers (default 4)
//   login-data <hex>       data behind the login answer
//   echo <name>            plain messages to this name come back (default ECHO)
//   client <name> <host> <serv> <types> <ipv4> <port> <state> <sys> [ipv6]
//                          an entry of the client list ("-": empty text)
//   list-layout <1-4|101..>..., list-parts <k>, list-rc <op rc>
//                          the record version of each part (the last for
//                          the rest), parts (all but the last with mserrno
//                          -28) and op return code
//   list-unknown           the list request gets mserrno -9; the old list
//                          (version-1 records) comes from "clientinfo"
//   logon <name> <prot> <host> <port> <ipv4> <misc> [ipv6|-] [protname]
//                          logon data (opcode 44; name "*": the next of the
//                          protocol in turn); logon-rc <n>: op code when none
//   relinfo-rc <n>         answer to the release information (opcode 67)
//   key <addr> <port> <text>, name <addr> <port> <text>
//                          security keys (9; op code 3 when none) and names
//                          (70; op code 4 when none); name-old: answers a
//                          version-2 name request in version 1
//   text <key> <value>, text-hex <key> <hex>, int <key> <10 integers>,
//   favourite <key> <version> <address> <service> <release> [addr8 hex]
//                          storage entries: reads of types 22, 21, 16 (from
//                          an index, markers checked) and 12 (all); the
//                          EBCDIC-keyed twin of a read is never found; errno
//                          4 when absent, 2 for other types; key "-": blanks
//   group <key> <version> <address> <port> <release> [<number> <type>
//         <timeout> <count>]
//                          a logon group: a favourite with the group's
//                          values where its version keeps them
//   strg-no-offset         reads from an index (type 16) get errno 2, as
//                          from an older message server
//   appserver <name> <address> <port|listen> <quality> <delta> <groups>
//             <weight> [short text...]
//                          an application server: its client-list entry
//                          (types 1, service sapdp00), its integer entry
//                          (quality, delta, group mask, weight as the 6th,
//                          8th, 9th and 10th integer) and its short text.
//                          groups: numbers joined by ',' (group n sets bit
//                          32 - n), a mask "0x...", or "-". listen: a
//                          listener on the address's loopback whose port
//                          is logged ("APPSRV name=<n> port=<p>") and that
//                          answers every connection with the name and a
//                          newline
//   param <name> <status> <value>, param0 (value ended by a 0 byte),
//   param-bare <name> <status> (no "="), param-none <name> (no record)
//                          profile parameters (administration opcode 1)
// Opcode 64 is never answered; other opcodes get op return code 1.
//
// Fault switches: <kind>:<action>[=<arg>][:<count>|:all] (count 1 by
// default), as --fault arguments or as control lines "fault <spec>" on
// standard input, each acknowledged by "ACK <line>" on standard output.
// Kinds: login, oldlogin, logout, admin, op, op<opcode>, msg, reply, any,
// and strg<type> for an administration block whose first storage request
// has that type.
// Actions on the answer to such a message:
//   close        close the connection instead of answering
//   drop         no answer
//   delay=<ms>   answer later
//   wakeup       a wakeup (a 12-byte eye-catcher) before the answer
//   wakeup-only  a wakeup instead of the answer
//   wakeups=<n>  n wakeups before the answer (sent at once, also when the
//                answer waits for a delay)
//   ping         NI_PING before the answer; ping-only: instead of it
//   mserrno=<n>  the answer's mserrno (a login answer then carries no data)
//   toname=<t>, fromname=<t>, version=<n>, iflag=<n>, types=<n>: fields
//   v3reply      answer in layout 3 and keep the connection at 3
//   ebcdic       the eye-catcher in EBCDIC
//   truncate=<n> only the first n bytes of the answer
//   prefix=<n>   a frame announcing n bytes, then the answer's bytes
//   v3big=<n>    a layout-3 message of n bytes instead of the answer
//   http         an HTTP error text instead of the answer (no framing)
//   closemid     half of the framed answer, then close
//   size=<n>     n data bytes in the answer (a counting pattern)
//   stopread     read nothing more on this connection until "resume"
//   flood=<ms>   wakeups every 2 ms for that long instead of the answer
//   opcode=<n>, oprc=<n>, opver=<n>   bytes 0-2 of an opcode answer
//   datalen=<n>  only the first n data bytes of the answer
//   endless=<n>  1000 list parts of n records, each announcing more
//   namelen=<n>|past   the name length of a name answer (past: one byte
//                beyond the data)
//   logonpast    a logon record whose host length runs past its end
//   selfident    an administration answer led by the self-identification
//   recno        an administration answer of 36 bytes claiming 536870912
//                records
//   otherkey     storage answers carry another key
//   fullpages    every page of a type-16 read is full
// Other control lines: "clear" (no faults), "resume", "stats" (answered
// "ACK stats <counter>=<n> ...").
//
// The log (--log, else standard error) has one line per event: CONN,
// CLOSE, IN and OUT (the decoded header, data length and hex of the whole
// message), AD (each record of an administration block), PING, PONG,
// WAKEUP, RAW, FAULT, STOP, RESUME, SCENARIO, APPSRV, APPCONN. Fields are key=value; text
// fields are trimmed and percent-escaped (bytes outside '!'..'~' and '%'
// as %XX). The program shares no code with the library.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "peers/adcodec.h"
#include "peers/mscodec.h"
#include "peers/niframe.h"
#include "peers/peers.h"

namespace {

using mspeer::Header;

struct Fault {
  std::string kind, action, arg;
  int count = 1;  // -1: every message of the kind
  std::string spec;
};

struct StorageEntry {
  std::string key;    // 20 bytes, blank-padded
  std::string value;  // 76 bytes as sent
  bool integers = false;
};

struct Param {
  std::string name;
  int status = 0;
  std::string text;  // the record's 100-byte text
  bool none = false;  // answered without a record
};

struct NamedAddr {
  std::array<uint8_t, 16> addr{};
  uint16_t port = 0;
  std::string text;
};

struct Scenario {
  int replyVersion = 4;
  std::string loginData;
  std::vector<std::string> echo{"ECHO"};
  // Client list (opcode 5).
  std::vector<mspeer::Client> clients;
  std::vector<int> listLayouts{4};  // per part, the last one for the rest
  int listParts = 1;
  int listRc = 0;
  bool listUnknown = false;  // mserrno -9, then the old list from "clientinfo"
  // Logon data (44), release information (67), keys (9), names (70).
  std::vector<mspeer::Logon> logons;
  int logonRc = 4;
  int relinfoRc = 0;
  std::vector<NamedAddr> keys, names;
  bool nameOld = false;  // answers name requests in version 1 only
  // Storage (administration opcode 21) and profile parameters (opcode 1).
  std::vector<StorageEntry> storage;
  bool noOffsetReads = false;
  std::vector<Param> params;
};

// An application server that answers connections with its name.
struct AppServer {
  std::string name;
  int fd = -1;
};
std::vector<AppServer> gApps;

struct Conn {
  int fd = -1;
  int id = 0;
  int layout = 0;  // 0 until the first message
  std::string name;
  peers::FrameParser parser;
  bool stopped = false;
  bool closing = false;
};

struct Out {
  Header h;
  std::string data;
};

struct Pending {
  int connId;
  std::string bytes;
  int64_t due;
  bool closeAfter;
};

struct Options {
  int family = AF_INET;
  std::string scenario, log;
  std::vector<std::string> faults;
  int rcvbuf = 0;
  int lifetime = 60;
  pid_t parent = 0;
};

FILE* gLog = stderr;
int64_t gStart = 0;
std::map<std::string, long> gCount;
std::vector<Fault> gFaults;
Scenario gScenario;

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(gLog, "%lld ", static_cast<long long>(NowMs() - gStart));
  vfprintf(gLog, fmt, ap);
  fputc('\n', gLog);
  fflush(gLog);
  va_end(ap);
}

std::string Esc(const std::string& field) {
  std::string t = mspeer::Trim(field), out;
  char buf[4];
  for (unsigned char c : t) {
    if (c > ' ' && c <= '~' && c != '%') {
      out += static_cast<char>(c);
    } else {
      snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out.empty() ? "%" : out;  // "%" alone: an empty field
}

std::string HeaderFields(const Header& h, int layout, size_t len, size_t dataLen) {
  char buf[512];
  snprintf(buf, sizeof buf,
           "layout=%d len=%zu ver=%d err=%d to=%s types=%d dom=%d key=%s msflag=%d iflag=%d from=%s port=%d "
           "data=%zu ebcdic=%d",
           layout, len, h.version, h.mserrno, Esc(h.toname).c_str(), h.msgtypes, h.dom,
           mspeer::HexOf(h.key).c_str(), h.msflag, h.iflag, Esc(h.fromname).c_str(), h.port, dataLen,
           h.ebcdic ? 1 : 0);
  return buf;
}

bool ParseFault(const std::string& spec, Fault* f) {
  f->spec = spec;
  size_t c1 = spec.find(':');
  if (c1 == std::string::npos) return false;
  f->kind = spec.substr(0, c1);
  std::string rest = spec.substr(c1 + 1);
  // A last part "all" or digits is the count; the argument may hold ':'.
  size_t c2 = rest.rfind(':');
  f->count = 1;
  if (c2 != std::string::npos) {
    std::string n = rest.substr(c2 + 1);
    bool digits = !n.empty() && n.find_first_not_of("0123456789") == std::string::npos;
    if (n == "all" || digits) {
      f->count = n == "all" ? -1 : atoi(n.c_str());
      rest = rest.substr(0, c2);
    }
  }
  size_t eq = rest.find('=');
  f->action = rest.substr(0, eq);
  f->arg = eq == std::string::npos ? "" : rest.substr(eq + 1);
  return !f->kind.empty() && !f->action.empty();
}

std::vector<std::string> Words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> w;
  for (std::string x; in >> x;) w.push_back(x);
  return w;
}

// "-" stands for an empty text in the directives.
std::string Text(const std::string& w) { return w == "-" ? "" : w; }

std::array<uint8_t, 4> V4(const std::string& text) {
  std::array<uint8_t, 16> a{};
  mspeer::Addr16(text, &a);
  return {a[12], a[13], a[14], a[15]};
}

// The directives of the requests; false for an unknown one.
bool LoadDirective(const std::string& key, const std::string& value) {
  std::vector<std::string> w = Words(value);
  auto num = [&](size_t i, long dflt = 0) { return i < w.size() ? strtol(w[i].c_str(), nullptr, 0) : dflt; };
  if (key == "client" && w.size() >= 8) {
    // client <name> <host> <serv> <types> <ipv4> <port> <state> <sys> [ipv6]
    mspeer::Client c;
    c.name = Text(w[0]);
    c.host = Text(w[1]);
    c.serv = Text(w[2]);
    c.types = static_cast<uint8_t>(num(3));
    c.v4 = V4(w[4]);
    c.port = static_cast<uint16_t>(num(5));
    c.state = static_cast<uint8_t>(num(6));
    c.sys = static_cast<uint32_t>(num(7));
    if (w.size() > 8) mspeer::Addr16(w[8], &c.v6);
    else mspeer::Addr16(w[4], &c.v6);
    gScenario.clients.push_back(c);
  } else if (key == "list-layout" && !w.empty()) {
    gScenario.listLayouts.clear();
    for (size_t i = 0; i < w.size(); ++i) gScenario.listLayouts.push_back(static_cast<int>(num(i)));
  } else if (key == "list-parts") {
    gScenario.listParts = static_cast<int>(num(0, 1));
  } else if (key == "list-rc") {
    gScenario.listRc = static_cast<int>(num(0));
  } else if (key == "list-unknown") {
    gScenario.listUnknown = true;
  } else if (key == "logon" && w.size() >= 6) {
    // logon <name> <prot> <host> <port> <ipv4> <misc> [ipv6] [protname]
    mspeer::Logon l;
    l.name = Text(w[0]);
    l.prot = static_cast<uint16_t>(num(1));
    l.host = Text(w[2]);
    l.port = static_cast<uint16_t>(num(3));
    l.v4 = V4(w[4]);
    l.misc = Text(w[5]);
    if (w.size() > 6 && w[6] != "-") l.hasV6 = mspeer::Addr16(w[6], &l.v6);
    if (w.size() > 7) l.protname = Text(w[7]);
    gScenario.logons.push_back(l);
  } else if (key == "logon-rc") {
    gScenario.logonRc = static_cast<int>(num(0));
  } else if (key == "relinfo-rc") {
    gScenario.relinfoRc = static_cast<int>(num(0));
  } else if ((key == "key" || key == "name") && w.size() >= 3) {
    NamedAddr n;
    mspeer::Addr16(w[0], &n.addr);
    n.port = static_cast<uint16_t>(num(1));
    n.text = value.substr(value.find(w[2], w[0].size() + w[1].size() + 1));
    (key == "key" ? gScenario.keys : gScenario.names).push_back(n);
  } else if (key == "name-old") {
    gScenario.nameOld = true;
  } else if (key == "text" && !w.empty()) {
    // text <key> <value...>: the value padded with blanks to 76 bytes
    std::string v = value.size() > w[0].size() + 1 ? value.substr(w[0].size() + 1) : "";
    gScenario.storage.push_back({mspeer::Pad(w[0], 20), mspeer::Pad(v, 76), false});
  } else if (key == "text-hex" && w.size() == 2) {
    std::string v = mspeer::FromHex(w[1]);
    v.resize(76, ' ');
    gScenario.storage.push_back({mspeer::Pad(w[0], 20), v, false});
  } else if (key == "group" && w.size() >= 5) {
    // group <key> <version> <address> <port> <release> [<number> <type> <timeout> <count>]
    adpeer::Favourite f;
    f.version = static_cast<uint8_t>(num(1));
    std::array<uint8_t, 16> a{};
    mspeer::Addr16(w[2], &a);
    f.service = static_cast<uint16_t>(num(3));
    f.release = w[4];
    uint8_t lb[6] = {static_cast<uint8_t>(num(5)), static_cast<uint8_t>(num(6)),
                     static_cast<uint8_t>(num(7) >> 8), static_cast<uint8_t>(num(7)),
                     static_cast<uint8_t>(num(8) >> 8), static_cast<uint8_t>(num(8))};
    if (f.version <= 2) {
      memcpy(f.addr8.data(), a.data() + 12, 4);
      memcpy(f.addr16.data(), lb, 6);
    } else {
      f.addr16 = a;
      if (f.version == 4) memcpy(f.addr8.data() + 2, lb, 6);
    }
    gScenario.storage.push_back({mspeer::Pad(Text(w[0]), 20), adpeer::FavouriteValue(f), false});
  } else if (key == "strg-no-offset") {
    gScenario.noOffsetReads = true;
  } else if (key == "appserver" && w.size() >= 7) {
    // appserver <name> <address> <port|listen> <quality> <delta> <groups> <weight> [short text...]
    mspeer::Client c;
    c.name = w[0];
    c.host = w[1];
    c.serv = "sapdp00";
    c.types = 1;
    c.state = 1;
    mspeer::Addr16(w[1], &c.v6);
    if (mspeer::IsMapped(c.v6)) memcpy(c.v4.data(), c.v6.data() + 12, 4);
    c.port = static_cast<uint16_t>(num(2));
    if (w[2] == "listen") {
      uint16_t port = 0;
      peers::Fd l = peers::Listener(mspeer::IsMapped(c.v6) ? AF_INET : AF_INET6, &port, 16);
      if (l.valid()) {
        c.port = port;
        gApps.push_back({c.name, l.Release()});
      }
      Log("APPSRV name=%s port=%d", c.name.c_str(), c.port);
    }
    uint32_t mask = 0;
    if (w[5].rfind("0x", 0) == 0) {
      mask = static_cast<uint32_t>(strtoul(w[5].c_str(), nullptr, 16));
    } else if (w[5] != "-") {
      std::istringstream groups(w[5]);
      for (std::string g; std::getline(groups, g, ',');) mask |= 1u << ((32u - static_cast<uint32_t>(atoi(g.c_str()))) % 32u);
    }
    gScenario.clients.push_back(c);
    std::array<int32_t, 10> v{};
    v[5] = static_cast<int32_t>(num(3));
    v[7] = static_cast<int32_t>(num(4));
    v[8] = static_cast<int32_t>(mask);
    v[9] = static_cast<int32_t>(num(6));
    gScenario.storage.push_back({mspeer::Pad(c.name, 20), adpeer::IntegerValue(v), true});
    if (w.size() > 7) {
      size_t at = 0;
      for (size_t i = 0; i < 7; ++i) at = value.find(w[i], at) + w[i].size();
      gScenario.storage.push_back({mspeer::Pad(c.name, 20), mspeer::Pad(value.substr(at + 1), 76), false});
    }
  } else if (key == "favourite" && w.size() >= 5) {
    // favourite <key> <version> <address> <service> <release> [8 bytes of addr8 in hex]
    adpeer::Favourite f;
    f.version = static_cast<uint8_t>(num(1));
    std::array<uint8_t, 16> a{};
    mspeer::Addr16(w[2], &a);
    if (f.version <= 2) memcpy(f.addr8.data(), a.data() + 12, 4);
    else f.addr16 = a;
    f.service = static_cast<uint16_t>(num(3));
    f.release = w[4];
    if (w.size() > 5) {
      std::string b = mspeer::FromHex(w[5]);
      for (size_t i = 0; i < b.size() && i < 8; ++i) f.addr8[i] = static_cast<uint8_t>(b[i]);
    }
    gScenario.storage.push_back({mspeer::Pad(Text(w[0]), 20), adpeer::FavouriteValue(f), false});
  } else if (key == "int" && w.size() == 11) {
    std::array<int32_t, 10> v{};
    for (size_t i = 0; i < 10; ++i) v[i] = static_cast<int32_t>(num(i + 1));
    gScenario.storage.push_back({mspeer::Pad(w[0], 20), adpeer::IntegerValue(v), true});
  } else if ((key == "param" || key == "param0") && w.size() >= 2) {
    // param <name> <status> [value...]: "name=value" padded with blanks, or
    // (param0) ended by a 0 byte
    Param p;
    p.name = w[0];
    p.status = static_cast<int>(num(1));
    size_t at = value.find(w[1], w[0].size()) + w[1].size();
    std::string v = at < value.size() ? value.substr(at + 1) : "";
    p.text = w[0] + "=" + v;
    if (key == "param0") p.text += '\0';
    p.text = mspeer::Pad(p.text, 100);
    gScenario.params.push_back(p);
  } else if (key == "param-bare" && w.size() == 2) {
    Param p;  // no "=" in the text
    p.name = w[0];
    p.status = static_cast<int>(num(1));
    p.text = mspeer::Pad(w[0], 100);
    gScenario.params.push_back(p);
  } else if (key == "param-none" && w.size() == 1) {
    Param p;
    p.name = w[0];
    p.none = true;
    gScenario.params.push_back(p);
  } else {
    return false;
  }
  return true;
}

void LoadScenario(const std::string& path) {
  if (path.empty()) return;
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) {
    Log("SCENARIO missing=%s", path.c_str());
    return;
  }
  char line[4096];
  while (fgets(line, sizeof line, f) != nullptr) {
    std::string l(line);
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    if (l.empty() || l[0] == '#') continue;
    size_t sp = l.find(' ');
    std::string key = l.substr(0, sp), value = sp == std::string::npos ? "" : l.substr(sp + 1);
    if (key == "reply-version") {
      gScenario.replyVersion = atoi(value.c_str());
    } else if (key == "login-data") {
      gScenario.loginData = mspeer::FromHex(value);
    } else if (key == "echo") {
      gScenario.echo.push_back(value);
    } else if (!LoadDirective(key, value)) {
      Log("SCENARIO unknown=%s", key.c_str());
    }
  }
  fclose(f);
}

// The kind of a received message, and the finer "op<opcode>".
std::string KindOf(const Header& h, const std::string& data, std::string* fine) {
  fine->clear();
  if (h.iflag == mspeer::kOpLogin) return "login";
  if (h.iflag == mspeer::kOpOldLogin) return "oldlogin";
  if (h.iflag == mspeer::kOpLogout) return "logout";
  if (h.msflag == mspeer::kMsgAdmin) {
    adpeer::Parsed p;
    std::string why;
    if (adpeer::ParseBlock(data, &p, &why))
      for (const std::string& r : p.records)
        if (static_cast<uint8_t>(r[0]) == adpeer::kOpStorage) {
          *fine = "strg" + std::to_string(adpeer::ParseStorage(r.substr(4)).type);
          break;
        }
    return "admin";
  }
  // Opcode requests go to MSG_SERVER by name (msflag 1 when no answer is
  // awaited).
  if (h.msflag == mspeer::kMsgRequest ||
      (h.msflag == mspeer::kMsgPlain && h.iflag == mspeer::kOpByName && mspeer::Trim(h.toname) == "MSG_SERVER")) {
    if (!data.empty()) *fine = "op" + std::to_string(static_cast<uint8_t>(data[0]));
    return "op";
  }
  if (h.msflag == mspeer::kMsgReply) return "reply";
  return "msg";
}

// The faults that apply to this message, each counted down.
std::vector<Fault> TakeFaults(const std::string& kind, const std::string& fine) {
  std::vector<Fault> out;
  for (Fault& f : gFaults) {
    if (f.count == 0 || (f.kind != kind && f.kind != fine && f.kind != "any")) continue;
    out.push_back(f);
    if (f.count > 0) --f.count;
  }
  return out;
}

const Fault* Find(const std::vector<Fault>& fs, const char* action) {
  for (const Fault& f : fs)
    if (f.action == action) return &f;
  return nullptr;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

// An answer from MSG_SERVER to the sender of h.
Header AnswerTo(const Header& h, uint8_t msflag, uint8_t iflag) {
  Header a;
  a.version = static_cast<uint8_t>(gScenario.replyVersion);
  a.toname = h.fromname;
  a.key = h.key;
  a.msflag = msflag;
  a.iflag = iflag;
  a.fromname = "MSG_SERVER";
  return a;
}

class Server {
 public:
  explicit Server(int listener) : listener_(listener) {}

  int Run() {
    for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({listener_, POLLIN, 0});
      fds.push_back({stdinOpen_ ? 0 : -1, POLLIN, 0});
      for (Conn& c : conns_) fds.push_back({c.fd, static_cast<short>(c.stopped ? 0 : POLLIN), 0});
      for (const AppServer& a : gApps) fds.push_back({a.fd, POLLIN, 0});
      int timeout = -1;
      int64_t now = NowMs();
      for (const Pending& p : pending_) {
        int left = static_cast<int>(p.due > now ? p.due - now : 0);
        if (timeout < 0 || left < timeout) timeout = left;
      }
      int r = poll(fds.data(), fds.size(), timeout);
      if (r < 0 && errno != EINTR) return 3;
      SendDue();
      if (r <= 0) continue;
      if (fds[0].revents & POLLIN) Accept();
      if (fds[1].revents & (POLLIN | POLLHUP)) {
        if (!Control()) stdinOpen_ = false;
      }
      size_t apps = fds.size() - gApps.size();
      for (size_t i = 2; i < apps; ++i) {
        if (fds[i].revents == 0) continue;
        Conn* c = ById(static_cast<int>(i - 2));
        if (c != nullptr) Read(c);
      }
      for (size_t i = apps; i < fds.size(); ++i)
        if (fds[i].revents & POLLIN) AnswerApp(gApps[i - apps]);
      Reap();
    }
  }

 private:
  Conn* ById(int index) {
    return index >= 0 && static_cast<size_t>(index) < conns_.size() ? &conns_[static_cast<size_t>(index)] : nullptr;
  }
  Conn* ByConnId(int id) {
    for (Conn& c : conns_)
      if (c.id == id) return &c;
    return nullptr;
  }

  void Accept() {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd < 0) return;
    Conn c;
    c.fd = fd;
    c.id = ++nextId_;
    char host[64] = "?";
    int port = 0;
    if (sa.ss_family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(&sa);
      inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      port = ntohs(in->sin_port);
    } else {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&sa);
      inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
      port = ntohs(in6->sin6_port);
    }
    ++gCount["conn"];
    Log("CONN c=%d peer=%s port=%d", c.id, host, port);
    conns_.push_back(std::move(c));
  }

  // An application server's answer: its name, then the close.
  static void AnswerApp(const AppServer& a) {
    int fd = accept4(a.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    ++gCount["appconn"];
    Log("APPCONN name=%s", a.name.c_str());
    std::string line = a.name + "\n";
    peers::SendAll(fd, line.data(), line.size());
    close(fd);
  }

  bool Control() {
    char buf[4096];
    ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) return false;
    control_.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = control_.find('\n')) != std::string::npos;) {
      std::string line = control_.substr(0, nl);
      control_.erase(0, nl + 1);
      std::string ack = "ACK " + line;
      if (line.rfind("fault ", 0) == 0) {
        Fault f;
        if (ParseFault(line.substr(6), &f))
          gFaults.push_back(f);
        else
          ack = "NAK " + line;
      } else if (line == "clear") {
        gFaults.clear();
      } else if (line == "resume") {
        for (Conn& c : conns_)
          if (c.stopped) {
            c.stopped = false;
            Log("RESUME c=%d", c.id);
          }
      } else if (line == "stats") {
        for (const auto& [k, v] : gCount) ack += " " + k + "=" + std::to_string(v);
      } else {
        ack = "NAK " + line;
      }
      printf("%s\n", ack.c_str());
      fflush(stdout);
    }
    return true;
  }

  void Read(Conn* c) {
    char buf[65536];
    ssize_t n = recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      Log("CLOSE c=%d by=client", c->id);
      c->closing = true;
      return;
    }
    c->parser.Feed(buf, static_cast<size_t>(n));
    std::string msg;
    while (!c->closing && !c->stopped && c->parser.Next(&msg)) Handle(c, msg);
    if (c->parser.bad()) {
      Log("CLOSE c=%d by=peer why=bad-frame", c->id);
      c->closing = true;
    }
  }

  void Handle(Conn* c, const std::string& msg) {
    if (msg == peers::kNiPong) {
      ++gCount["pong"];
      Log("PONG c=%d", c->id);
      return;
    }
    if (msg == peers::kNiPing) {
      Log("PING c=%d from=client", c->id);
      Send(c, peers::FrameEncode(peers::kNiPong), 0, false);
      return;
    }
    if (c->layout == 0) {
      // A first message of 70 to 109 bytes with version 3 is in layout 3:
      // the old login, or a login written for a peer of version 3.
      bool old = msg.size() >= mspeer::kHeader3 && msg.size() < mspeer::kHeader4 && msg[12] == 3;
      c->layout = old ? 3 : 4;
    }
    Header h;
    std::string data, why;
    if (!mspeer::Decode(msg, c->layout, &h, &data, &why)) {
      ++gCount["bad"];
      Log("BAD c=%d why=%s len=%zu hex=%s", c->id, why.c_str(), msg.size(), mspeer::HexOf(msg).c_str());
      return;
    }
    std::string fine;
    std::string kind = KindOf(h, data, &fine);
    ++gCount[kind];
    Log("IN c=%d kind=%s %s hex=%s", c->id, kind.c_str(), HeaderFields(h, c->layout, msg.size(), data.size()).c_str(),
        mspeer::HexOf(msg).c_str());
    if (kind == "login" || kind == "oldlogin") c->name = h.fromname;
    std::vector<Fault> faults = TakeFaults(kind, fine);
    for (const Fault& f : faults) Log("FAULT c=%d spec=%s", c->id, f.spec.c_str());
    if (Find(faults, "stopread") != nullptr) {
      c->stopped = true;
      Log("STOP c=%d", c->id);
    }
    if (Find(faults, "close") != nullptr) {
      Log("CLOSE c=%d by=peer", c->id);
      c->closing = true;
      return;
    }
    if (kind == "oldlogin") c->layout = 3;
    std::vector<Out> outs;
    if (!Answer(c, kind, h, data, faults, &outs)) return;
    if (Find(faults, "drop") != nullptr) return;
    for (size_t i = 0; i < outs.size() && !c->closing; ++i) Reply(c, outs[i].h, outs[i].data, faults, i == 0);
  }

  // The answers to a message: false when it gets none.
  bool Answer(Conn* c, const std::string& kind, const Header& h, const std::string& data,
              const std::vector<Fault>& faults, std::vector<Out>* outs) {
    if (kind == "login") {
      outs->push_back({AnswerTo(h, mspeer::kMsgReply, mspeer::kOpLogin), gScenario.loginData});
    } else if (kind == "admin") {
      outs->push_back({AnswerTo(h, mspeer::kMsgAdmin, mspeer::kOpAdmin), AdminAnswer(c, data, faults)});
    } else if (kind == "op") {
      OpAnswer(c, h, data, faults, outs);
    } else if (kind == "msg") {
      std::string to = mspeer::Trim(h.toname);
      for (const std::string& e : gScenario.echo)
        if (to == e) outs->push_back({AnswerTo(h, mspeer::kMsgPlain, mspeer::kOpByName), data});
      if (to == "clientinfo") {
        // The old list: version-1 records without an opcode header.
        std::string list;
        for (const mspeer::Client& cl : gScenario.clients) list += mspeer::ClientRecord(cl, 1);
        outs->push_back({AnswerTo(h, mspeer::kMsgPlain, mspeer::kOpByName), list});
      }
    }
    return !outs->empty();
  }

  void OpAnswer(Conn* c, const Header& h, const std::string& q, const std::vector<Fault>& faults,
                std::vector<Out>* outs) {
    uint8_t opcode = q.empty() ? 0 : static_cast<uint8_t>(q[0]);
    uint8_t version = q.size() > 2 ? static_cast<uint8_t>(q[2]) : 0;
    uint8_t mode = q.size() > 3 ? static_cast<uint8_t>(q[3]) : 0;
    Log("OP c=%d opcode=%d ver=%d mode=%d len=%zu msflag=%d", c->id, opcode, version, mode, q.size(), h.msflag);
    if (h.msflag != mspeer::kMsgRequest) return;  // nobody waits for an answer
    Header a = AnswerTo(h, mspeer::kMsgReply, mspeer::kOpByName);
    switch (opcode) {
      case 64:
        return;  // the announcement of a long list waits for nothing
      case 5:
        ListAnswer(a, faults, outs);
        return;
      case 44: {
        mspeer::Logon want;
        std::string r = mspeer::OpHeader(44, static_cast<uint8_t>(gScenario.logonRc), 1, 0);
        if (mspeer::ParseLogon(q, 4, &want)) {
          Log("LOGON c=%d name=%s prot=%d", c->id, Esc(want.name).c_str(), want.prot);
          if (const mspeer::Logon* l = FindLogon(want)) {
            std::string rec = mspeer::LogonRecord(*l);
            if (Find(faults, "logonpast") != nullptr) {
              // The host's length runs past the end of the record.
              size_t at = 8 + 2 + l->name.size() + 2 + l->protname.size();
              rec.replace(at, 2, mspeer::Be16(static_cast<uint16_t>(rec.size())));
            }
            r = mspeer::OpHeader(44, 0, 1, 0) + rec;
          }
        }
        outs->push_back({a, r});
        return;
      }
      case 67: {
        mspeer::Release rel;
        if (mspeer::ParseRelease(q, &rel))
          Log("REL c=%d client=%s property=%u release=%s number=%u level=%u patch=%u", c->id, Esc(rel.client).c_str(),
              rel.property, Esc(rel.release).c_str(), rel.number, rel.patchLevel, rel.patchNumber);
        outs->push_back({a, mspeer::OpHeader(67, static_cast<uint8_t>(gScenario.relinfoRc), 1, 0)});
        return;
      }
      case 9: {
        mspeer::KeyRequest k;
        if (!mspeer::ParseKeyRequest(q, &k)) break;
        std::array<uint8_t, 16> addr = k.v6;
        if (k.v4 != std::array<uint8_t, 4>{}) {
          addr = {};
          addr[10] = addr[11] = 0xFF;
          memcpy(addr.data() + 12, k.v4.data(), 4);
        }
        const NamedAddr* n = FindAddr(gScenario.keys, addr, k.port);
        Log("KEY c=%d addr=%s port=%d found=%d", c->id, mspeer::HexOf(std::string(addr.begin(), addr.end())).c_str(),
            k.port, n != nullptr);
        outs->push_back({a, mspeer::KeyReply(k, n != nullptr ? n->text : "", n != nullptr ? 0 : 3)});
        return;
      }
      case 70: {
        mspeer::NameRequest nq;
        if (!mspeer::ParseNameRequest(q, &nq)) break;
        Log("NAME c=%d ver=%d addr=%s port=%d", c->id, nq.version,
            mspeer::HexOf(std::string(nq.addr.begin(), nq.addr.end())).c_str(), nq.port);
        if (gScenario.nameOld && nq.version == 2) {
          outs->push_back({a, mspeer::NameReply(1, "", 0)});  // knows version 1 only
          return;
        }
        const NamedAddr* n = FindAddr(gScenario.names, nq.addr, nq.port);
        std::string r = mspeer::NameReply(nq.version, n != nullptr ? n->text : "", n != nullptr ? 0 : 4);
        if (const Fault* f = Find(faults, "namelen")) {
          size_t at = nq.version == 1 ? 10 : 22;
          uint32_t len = f->arg == "past" ? static_cast<uint32_t>(r.size() - at - 4 + 1)
                                          : static_cast<uint32_t>(strtoul(f->arg.c_str(), nullptr, 0));
          r.replace(at, 4, mspeer::Be32(len));
        }
        outs->push_back({a, r});
        return;
      }
      default:
        break;
    }
    outs->push_back({a, mspeer::OpHeader(opcode, 1, version, 0)});
  }

  void ListAnswer(const Header& a, const std::vector<Fault>& faults, std::vector<Out>* outs) {
    if (gScenario.listUnknown) {
      Header u = a;
      u.mserrno = -9;
      outs->push_back({u, ""});
      return;
    }
    auto layoutOf = [](int part) {
      const std::vector<int>& l = gScenario.listLayouts;
      return l[static_cast<size_t>(part) < l.size() ? static_cast<size_t>(part) : l.size() - 1];
    };
    auto records = [](int layout) {
      std::vector<std::string> recs;
      for (const mspeer::Client& cl : gScenario.clients) recs.push_back(mspeer::ClientRecord(cl, layout >= 101 ? 1 : layout));
      return recs;
    };
    auto head = [](int layout) {
      return mspeer::OpHeader(5, static_cast<uint8_t>(gScenario.listRc), static_cast<uint8_t>(layout), 0);
    };
    if (const Fault* f = Find(faults, "endless")) {
      std::vector<std::string> recs = records(layoutOf(0));
      // Parts that all announce more, each of n records.
      size_t n = static_cast<size_t>(atol(f->arg.c_str()));
      std::string part = head(layoutOf(0));
      for (size_t i = 0; i < n && !recs.empty(); ++i) part += recs[i % recs.size()];
      Header m = a;
      m.mserrno = -28;
      for (int i = 0; i < 1000; ++i) outs->push_back({m, part});
      return;
    }
    int parts = gScenario.listParts < 1 ? 1 : gScenario.listParts;
    for (int i = 0; i < parts; ++i) {
      std::vector<std::string> recs = records(layoutOf(i));
      std::string part = head(layoutOf(i));
      for (size_t r = recs.size() * static_cast<size_t>(i) / static_cast<size_t>(parts);
           r < recs.size() * static_cast<size_t>(i + 1) / static_cast<size_t>(parts); ++r)
        part += recs[r];
      Header m = a;
      if (i + 1 < parts) m.mserrno = -28;
      outs->push_back({m, part});
    }
  }

  const mspeer::Logon* FindLogon(const mspeer::Logon& want) {
    if (want.name == "*") {
      // The next server of the protocol, in turn.
      std::vector<const mspeer::Logon*> of;
      for (const mspeer::Logon& l : gScenario.logons)
        if (l.prot == want.prot) of.push_back(&l);
      return of.empty() ? nullptr : of[nextLogon_++ % of.size()];
    }
    for (const mspeer::Logon& l : gScenario.logons)
      if (l.name == want.name && l.prot == want.prot) return &l;
    return nullptr;
  }

  static const NamedAddr* FindAddr(const std::vector<NamedAddr>& v, const std::array<uint8_t, 16>& addr,
                                   uint16_t port) {
    for (const NamedAddr& n : v)
      if (n.addr == addr && n.port == port) return &n;
    return nullptr;
  }

  std::string AdminAnswer(Conn* c, const std::string& block, const std::vector<Fault>& faults) {
    adpeer::Parsed p;
    std::string why;
    if (!adpeer::ParseBlock(block, &p, &why)) {
      Log("AD c=%d bad=%s", c->id, why.c_str());
      return adpeer::Block({}, 1, 2);
    }
    if (Find(faults, "recno") != nullptr) return adpeer::Header(536870912, 1, 2);  // no records behind
    std::vector<std::string> out;
    if (Find(faults, "selfident") != nullptr) out.push_back(adpeer::Record(60, adpeer::SelfIdentBody(), 0, 1));
    for (size_t i = 0; i < p.records.size(); ++i) {
      const std::string& r = p.records[i];
      uint8_t op = static_cast<uint8_t>(r[0]);
      Log("AD c=%d rec=%zu op=%d ser=%d ex=%d errno=%d body=%s", c->id, i, op, static_cast<uint8_t>(r[1]),
          static_cast<uint8_t>(r[2]), static_cast<uint8_t>(r[3]), mspeer::HexOf(r.substr(4)).c_str());
      if (op == adpeer::kOpSelfIdent) continue;
      if (op == adpeer::kOpStorage) {
        StorageAnswer(c, r.substr(4), faults, &out);
      } else if (op == 1) {
        std::string name = mspeer::Trim(r.substr(4));
        const Param* pm = nullptr;
        for (const Param& x : gScenario.params)
          if (x.name == name) pm = &x;
        Log("PARAM c=%d name=%s found=%d", c->id, Esc(name).c_str(), pm != nullptr);
        if (pm == nullptr) {
          out.push_back(adpeer::Record(1, mspeer::Pad(name, 100), 0, 1, 1));
        } else if (!pm->none) {
          out.push_back(adpeer::Record(1, pm->text, 0, 1, static_cast<uint8_t>(pm->status)));
        }
      } else {
        std::string e = r;
        e[2] = 1;  // executed
        e[3] = 1;  // nothing executes it here
        out.push_back(e);
      }
    }
    return adpeer::Block(out, 1, 2);
  }

  // One storage request: its answers (errno 4 when absent, 2 for a request
  // this peer does not serve).
  void StorageAnswer(Conn* c, const std::string& body, const std::vector<Fault>& faults,
                     std::vector<std::string>* out) {
    adpeer::Storage q = adpeer::ParseStorage(body);
    std::string key = q.name;
    bool other = Find(faults, "otherkey") != nullptr;
    auto reply = [&](uint8_t type, const StorageEntry& e, uint8_t serial) {
      adpeer::Storage r;
      r.type = type;
      r.valueLen = e.integers ? 10 : 40;
      r.name = other ? mspeer::Pad("OTHER", 20) : e.key;
      r.value = e.value;
      out->push_back(adpeer::Record(adpeer::kOpStorage, adpeer::StorageBody(r), serial, 1, 0));
    };
    auto refuse = [&](uint8_t errnum) { out->push_back(adpeer::Record(adpeer::kOpStorage, body, 0, 1, errnum)); };
    Log("STRG c=%d type=%d key=%s", c->id, q.type, Esc(key).c_str());
    if (q.type == 22 || q.type == 21) {
      for (const StorageEntry& e : gScenario.storage) {
        if (e.key == key && e.integers == (q.type == 21)) {
          reply(q.type, e, 0);
          return;
        }
      }
      refuse(4);
      return;
    }
    std::vector<const StorageEntry*> texts;
    for (const StorageEntry& e : gScenario.storage)
      if (!e.integers) texts.push_back(&e);
    size_t start = 0, count = texts.size();
    if (q.type == 16 && gScenario.noOffsetReads) {
      refuse(2);
      return;
    }
    if (q.type == 16) {
      std::array<int32_t, 10> v = adpeer::Integers(q.value);
      if (static_cast<uint32_t>(v[0]) != 0x1CB9 || static_cast<uint32_t>(v[3]) != 0x1CB9) {
        Log("STRG c=%d bad=markers", c->id);
        refuse(2);
        return;
      }
      start = static_cast<uint32_t>(v[1]);
      count = static_cast<uint32_t>(v[2]);
      if (Find(faults, "fullpages") != nullptr && !texts.empty()) {
        for (size_t i = 0; i < count; ++i) reply(12, *texts[i % texts.size()], static_cast<uint8_t>(i));
        return;
      }
    } else if (q.type != 12) {
      refuse(2);
      return;
    }
    // At most what fits into one answer.
    constexpr size_t kMost = (mspeer::kMaxData - adpeer::kHeaderLen) / adpeer::kRecordLen;
    for (size_t i = start, n = 0; i < texts.size() && n < count && out->size() < kMost; ++i, ++n)
      reply(12, *texts[i], static_cast<uint8_t>(n));
  }

  void Reply(Conn* c, Header a, std::string data, const std::vector<Fault>& faults, bool first) {
    int layout = c->layout;
    for (const Fault& f : faults) {
      const char* arg = f.arg.c_str();
      uint8_t byte = static_cast<uint8_t>(strtol(arg, nullptr, 0));
      if (f.action == "opcode" && !data.empty()) data[0] = static_cast<char>(byte);
      if (f.action == "oprc" && data.size() > 1) data[1] = static_cast<char>(byte);
      if (f.action == "opver" && data.size() > 2) data[2] = static_cast<char>(byte);
      if (f.action == "datalen") data = data.substr(0, static_cast<size_t>(atol(arg)));
      if (f.action == "mserrno") {
        a.mserrno = static_cast<int8_t>(atoi(arg));
        if (a.iflag == mspeer::kOpLogin) data.clear();
      } else if (f.action == "toname") {
        a.toname = f.arg;
      } else if (f.action == "fromname") {
        a.fromname = f.arg;
      } else if (f.action == "version") {
        a.version = static_cast<uint8_t>(atoi(arg));
      } else if (f.action == "iflag") {
        a.iflag = static_cast<uint8_t>(atoi(arg));
      } else if (f.action == "types") {
        a.msgtypes = static_cast<uint8_t>(atoi(arg));
      } else if (f.action == "ebcdic") {
        a.ebcdic = true;
      } else if (f.action == "v3reply") {
        layout = c->layout = 3;
        a.version = 3;
      } else if (f.action == "size") {
        data = Pattern(static_cast<size_t>(atol(arg)));
      }
    }
    // A connection of layout 3 speaks version 3 unless a fault says other.
    if (layout == 3 && Find(faults, "version") == nullptr) a.version = 3;
    std::string msg = mspeer::Encode(a, data, layout);
    int64_t delay = 0;
    std::string before;
    for (const Fault& f : faults) {
      if (!first) break;
      if (f.action == "delay") delay = atol(f.arg.c_str());
      if (f.action == "wakeup" || f.action == "wakeup-only") before += peers::FrameEncode(mspeer::kEye);
      if (f.action == "wakeups")
        for (long i = atol(f.arg.c_str()); i > 0; --i) before += peers::FrameEncode(mspeer::kEye);
      if (f.action == "ping" || f.action == "ping-only") before += peers::FrameEncode(peers::kNiPing);
    }
    if (const Fault* f = first ? Find(faults, "flood") : nullptr) {
      // Wakeups every 2 ms for the given time, behind whatever comes now.
      int64_t span = atol(f->arg.c_str());
      for (int64_t t = 2; t <= span; t += 2) Send(c, peers::FrameEncode(mspeer::kEye), t, false);
      Log("FLOOD c=%d ms=%lld", c->id, static_cast<long long>(span));
      return;
    }
    if (!before.empty()) {
      Log("WAKEUP c=%d bytes=%zu", c->id, before.size());
      if (Find(faults, "wakeup-only") != nullptr || Find(faults, "ping-only") != nullptr) {
        Send(c, before, delay, false);
        return;
      }
    }
    std::string wire = peers::FrameEncode(msg);
    bool closeAfter = false;
    if (const Fault* f = Find(faults, "truncate")) {
      msg = msg.substr(0, static_cast<size_t>(atol(f->arg.c_str())));
      wire = peers::FrameEncode(msg);
    }
    if (const Fault* f = Find(faults, "v3big")) {
      Header b = a;
      b.version = 3;
      size_t n = static_cast<size_t>(atol(f->arg.c_str()));
      msg = mspeer::Encode(b, Pattern(n > mspeer::kHeader3 ? n - mspeer::kHeader3 : 0), 3).substr(0, n);
      wire = peers::FrameEncode(msg);
    }
    if (const Fault* f = Find(faults, "prefix")) {
      wire = mspeer::Be32(static_cast<uint32_t>(atol(f->arg.c_str()))) + msg;
    }
    if (Find(faults, "http") != nullptr) {
      wire = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      Log("RAW c=%d what=http", c->id);
    }
    if (Find(faults, "closemid") != nullptr) {
      wire = wire.substr(0, wire.size() / 2);
      closeAfter = true;
    }
    Header shown;
    std::string shownData;
    if (mspeer::Decode(msg, layout, &shown, &shownData))
      Log("OUT c=%d %s hex=%s", c->id, HeaderFields(shown, layout, msg.size(), shownData.size()).c_str(),
          mspeer::HexOf(msg).c_str());
    else
      Log("OUT c=%d len=%zu hex=%s", c->id, msg.size(), mspeer::HexOf(msg).c_str());
    // Wakeups go at once; a delay holds the answer back.
    if (!before.empty() && delay > 0) {
      Send(c, before, 0, false);
      before.clear();
    }
    Send(c, before + wire, delay, closeAfter);
  }

  void Send(Conn* c, const std::string& bytes, int64_t delay, bool closeAfter) {
    if (delay > 0) {
      pending_.push_back({c->id, bytes, NowMs() + delay, closeAfter});
      return;
    }
    Write(c, bytes, closeAfter);
  }

  void Write(Conn* c, const std::string& bytes, bool closeAfter) {
    if (!peers::SendAll(c->fd, bytes.data(), bytes.size())) {
      Log("CLOSE c=%d by=client why=send", c->id);
      c->closing = true;
      return;
    }
    if (closeAfter) {
      Log("CLOSE c=%d by=peer why=mid-message", c->id);
      c->closing = true;
    }
  }

  void SendDue() {
    int64_t now = NowMs();
    for (size_t i = 0; i < pending_.size();) {
      if (pending_[i].due > now) {
        ++i;
        continue;
      }
      Pending p = pending_[i];
      pending_.erase(pending_.begin() + static_cast<long>(i));
      if (Conn* c = ByConnId(p.connId)) Write(c, p.bytes, p.closeAfter);
    }
    Reap();
  }

  void Reap() {
    for (size_t i = 0; i < conns_.size();) {
      if (!conns_[i].closing) {
        ++i;
        continue;
      }
      ++gCount["close"];
      close(conns_[i].fd);
      conns_.erase(conns_.begin() + static_cast<long>(i));
    }
  }

  int listener_;
  size_t nextLogon_ = 0;
  bool stdinOpen_ = true;
  int nextId_ = 0;
  std::vector<Conn> conns_;
  std::vector<Pending> pending_;
  std::string control_;
};

bool ParseArgs(int argc, char** argv, Options* o) {
  if (argc < 2 || strcmp(argv[1], "serve") != 0) return false;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--family") {
      o->family = v == "6" ? AF_INET6 : AF_INET;
    } else if (k == "--scenario") {
      o->scenario = v;
    } else if (k == "--log") {
      o->log = v;
    } else if (k == "--fault") {
      o->faults.push_back(v);
    } else if (k == "--rcvbuf") {
      o->rcvbuf = atoi(v.c_str());
    } else if (k == "--lifetime") {
      o->lifetime = atoi(v.c_str());
    } else if (k == "--parent") {
      o->parent = atoi(v.c_str());
    } else {
      return false;
    }
  }
  return (argc % 2) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    fprintf(stderr,
            "usage: ms_peer serve [--family 4|6] [--scenario f] [--log f] [--fault spec]... [--rcvbuf n] "
            "[--lifetime s] [--parent pid]\n");
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (o.parent != 0 && getppid() != o.parent) return 4;
  alarm(static_cast<unsigned>(o.lifetime));
  signal(SIGPIPE, SIG_IGN);
  gStart = NowMs();
  if (!o.log.empty()) {
    gLog = fopen(o.log.c_str(), "w");
    if (gLog == nullptr) gLog = stderr;
  }
  LoadScenario(o.scenario);
  for (const std::string& spec : o.faults) {
    Fault f;
    if (!ParseFault(spec, &f)) {
      fprintf(stderr, "ms_peer: bad fault %s\n", spec.c_str());
      return 2;
    }
    gFaults.push_back(f);
  }
  uint16_t port = 0;
  peers::Fd listener = peers::Listener(o.family, &port, 64);
  if (!listener.valid()) {
    fprintf(stderr, "ms_peer: cannot listen: %s\n", strerror(errno));
    return 3;
  }
  // Accepted connections inherit the size (a small one makes a client's
  // writes stall once the peer stops reading).
  if (o.rcvbuf > 0) setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &o.rcvbuf, sizeof(o.rcvbuf));
  Log("LISTEN port=%d", port);
  printf("PORT %d\n", port);
  fflush(stdout);
  return Server(listener.get()).Run();
}
