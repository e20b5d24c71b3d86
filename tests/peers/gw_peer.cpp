// gw_peer: a gateway for the tests of the gateway library and the CPI-C
// layer, written from the wire formats alone. It listens on loopback (TCP,
// and UDP on the same port for the old connect), prints "PORT <n>", and
// then serves every connection it accepts: the connect record and its
// answer, the echo and the identification block, then APPC messages in the
// header version it answered. It logs one line per frame in or out, and per
// event, on standard output (peerlog.h), and takes control lines on
// standard input: rules that answer requests and injections of messages.
// It ends after its lifetime, when its parent is gone, or on "quit".
//
// The usage text (--help) lists the switches, the control language and the
// choices the protocol leaves to a gateway, which this one makes smallest.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "peers/errrec.h"
#include "peers/gw_peer.h"
#include "peers/gwcodec.h"
#include "peers/niframe.h"
#include "peers/peerlog.h"

namespace gwpeer {

constexpr char kUsage[] =
    "usage: gw_peer gateway [switches]\n"
    "\n"
    "Switches (the answer to connect records; also settable by 'connect'):\n"
    "  --family 4|6          listen on 127.0.0.1 (default) or ::1\n"
    "  --hdr-version n       APPC header version answered (default 6; any byte)\n"
    "  --accept-info hex     accept info answered (default 0)\n"
    "  --code-page cccc      code page answered (default 4 blanks)\n"
    "  --echo                ask for the answer back\n"
    "  --error code          refuse with this code (default 0)\n"
    "  --error-text text     behind a refusal, an error record with this text\n"
    "  --error-size n        behind a refusal, an error record of n bytes\n"
    "  --answer-len n        the answer cut, or padded with 'L', to n bytes\n"
    "  --fault f             none | refuse (listener closed at once) | close (read the\n"
    "                        record, close) | reset | short (40 bytes) | long (700 bytes)\n"
    "                        | delay (answer after --delay ms, default 3000) | silent\n"
    "                        (never answer, keep the connection)\n"
    "  --lifetime s          end after s seconds (default 30)\n"
    "  --parent pid          end with this process\n"
    "  --quiet               log only control answers and requests that fail their check\n"
    "\n"
    "Control lines on standard input:\n"
    "  connect key=value...  as the switches: hdrversion accept cp echo error errtext\n"
    "                        errsize fault delay answerlen\n"
    "  rule REQ COUNT MSG [; MSG]...   answer requests of code REQ (or 'any'):\n"
    "                        COUNT is 'next', 'every' or a number\n"
    "  inject MSG [; MSG]...           send now on conn=ID (default: the newest)\n"
    "  drop                  forget every rule\n"
    "  switch key=value...   oneid (every conversation id 12345678), code0 (answers\n"
    "                        carry request code 0), noreg (no registration answers an\n"
    "                        allocate: 679), regwait=ms (wait for a registration,\n"
    "                        default 5000), dt=0 (handover without trace record),\n"
    "                        sncinit (handover with the SNC part also after an\n"
    "                        initialise without SNC_INIT_PHASE), its fields sncpartner\n"
    "                        sncmyname snclib (names) sncqop (0) sncmode (1) sncrole (2),\n"
    "                        joinend (relayed data waits for the sender's next request:\n"
    "                        its last data and normal end in one answer with 18), tokenping (an NI ping to\n"
    "                        the sender of a token message before its answer), trace (the\n"
    "                        handover's trace byte), shorthand=n (handover n bytes\n"
    "                        short), countlen (count answer length), errorrc errorweq\n"
    "                        errortext (the error-thrower's end), holdinit (answers to\n"
    "                        initialises wait for 'release')\n"
    "  regcancel [weqrc=731] [tp=name]  211 to every waiting registration\n"
    "  regping [kind=206|niping]        a ping to every waiting registration\n"
    "  release               send the answers that holdinit kept\n"
    "  stats                 requests checked, wrong ones, conversations, registrations\n"
    "  quit                  end\n"
    "MSG is a kind and fields:\n"
    "  hdr      an APPC message: ver req proto mode uid trace info info2 info3 info4\n"
    "           vector appcrc weqrc convid gwreq commidx connidx area=hex cp=cccc\n"
    "           results=dr,len,status,rts data=hex datalen=n errsize=n errtext=t\n"
    "           errdamaged=1 short=n (cut to n bytes)\n"
    "  ping206 (hdr req=206)  cancel (hdr appcrc=10002)  notice (hdr, give weqrc)\n"
    "  niping   nipong   raw hex=bytes [frame=0]   close   reset   silent\n"
    "  any MSG: delay=ms before it, pieces=n with pause=ms between them\n"
    "\n"
    "Conversations: a client's initialise (1) makes a conversation whose partner\n"
    "the TP name chooses: echo (the default: data comes back on the next receive),\n"
    "sink (drops data), dealloc (ends with 18), error (ends with a record),\n"
    "sourceN (N bytes per receive), or a registered TP (type-11 connections and\n"
    "their identification block): the allocate waits for a registration that\n"
    "sent 209, hands the conversation over (207 with the trace byte, id and\n"
    "trace record) and relays data, turns, ends and error records both ways;\n"
    "210 makes the registration free again, 208 ends it, a type-14 connection\n"
    "gets the four counts. Every request of a conversation or registration is\n"
    "checked (version, UID, mode, indexes, id, bytes 22-25, lengths); 'check='\n"
    "on its line tells the first wrong field. 213 drops what was pending and\n"
    "is confirmed with 10002. Rules answer before any conversation does.\n"
    "\n"
    "Smallest choices: an answer to a connect record has the request's version\n"
    "(2: 64 bytes, 3: 136 bytes), every field 0 but those set; an error record is\n"
    "version \"1\", the text, the code, component \"GATEWAY\"; requests without a rule\n"
    "get no answer; \"NI_PING\" is answered with \"NI_PONG\"; an answer header copies\n"
    "the request's code, protocol, conversation id, request value and ConnIdx and\n"
    "has every other field 0 (UID -1, CommIdx -1); a datagram of the old connect\n"
    "makes the gateway connect to its read port, then to its write port, and talk\n"
    "version 6 there.\n";

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Quiet: only the answers to control lines and failed checks are written,
// so that a test that reads no log never fills the pipe.
bool g_quiet = false;

void Emit(const LogOut& l) {
  const std::string& s = l.str();
  if (g_quiet && s.rfind("EVENT CONTROL", 0) != 0 && s.rfind("EVENT STATS", 0) != 0 && s.find(" check=") == std::string::npos)
    return;
  fputs(s.c_str(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

long Num(const KeyValues& kv, const char* key, long def) {
  auto it = kv.find(key);
  return it == kv.end() ? def : strtol(it->second.c_str(), nullptr, 0);
}

std::string Str(const KeyValues& kv, const char* key, const std::string& def) {
  auto it = kv.find(key);
  return it == kv.end() ? def : it->second;
}

// --- Settings and the control language ---------------------------------------------

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> w;
  size_t pos = 0;
  while (pos < line.size()) {
    size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    if (end > pos) w.push_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  return w;
}

std::map<std::string, std::string> Fields(const std::vector<std::string>& words, size_t from) {
  std::map<std::string, std::string> kv;
  for (size_t i = from; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    if (eq == std::string::npos) kv[words[i]] = "1";
    else kv[words[i].substr(0, eq)] = peers::LogUnescape(words[i].substr(eq + 1));
  }
  return kv;
}

// "kind k=v ... ; kind k=v ..." into messages.
std::vector<MsgSpec> ParseMsgs(const std::vector<std::string>& words, size_t from) {
  std::vector<MsgSpec> out;
  std::vector<std::string> cur;
  auto flush = [&] {
    if (cur.empty()) return;
    MsgSpec m;
    m.kind = cur[0];
    m.kv = Fields(cur, 1);
    out.push_back(std::move(m));
    cur.clear();
  };
  for (size_t i = from; i < words.size(); ++i) {
    if (words[i] == ";") flush();
    else cur.push_back(words[i]);
  }
  flush();
  return out;
}

void ApplyConnSettings(const std::map<std::string, std::string>& kv, ConnSettings* s) {
  s->hdrVersion = static_cast<int>(Num(kv, "hdrversion", s->hdrVersion));
  s->acceptInfo = static_cast<int>(Num(kv, "accept", s->acceptInfo));
  if (kv.count("cp")) s->codePage = (Str(kv, "cp") + "    ").substr(0, 4);
  s->echo = Num(kv, "echo", s->echo ? 1 : 0) != 0;
  s->error = Num(kv, "error", s->error);
  s->errorText = Str(kv, "errtext", s->errorText);
  s->errorSize = Num(kv, "errsize", s->errorSize);
  s->fault = Str(kv, "fault", s->fault);
  s->delayMs = static_cast<int>(Num(kv, "delay", s->delayMs));
  s->answerLen = Num(kv, "answerlen", s->answerLen);
}

// --- Connections ------------------------------------------------------------------------

void CloseConn(Conn* c, bool reset) {
  if (c->dead) return;
  if (reset) {
    linger l{1, 0};
    setsockopt(c->outFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    if (c->inFd != c->outFd) setsockopt(c->inFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  close(c->inFd);
  if (c->outFd != c->inFd) close(c->outFd);
  c->dead = true;
  c->out.clear();
}

// Queues a framed message (or raw bytes) in pieces after the chunks queued
// already: delay before the first piece, pause between the pieces.
void Queue(Conn* c, const std::string& bytes, const MsgSpec& m, const std::string& log) {
  int64_t at = NowMs();
  if (!c->out.empty() && c->out.back().due > at) at = c->out.back().due;
  at += Num(m.kv, "delay", 0);
  long pieces = Num(m.kv, "pieces", 1);
  if (pieces < 1) pieces = 1;
  if (static_cast<size_t>(pieces) > bytes.size() && !bytes.empty()) pieces = static_cast<long>(bytes.size());
  long pause = Num(m.kv, "pause", 0);
  size_t per = bytes.size() / static_cast<size_t>(pieces);
  for (long i = 0; i < pieces; ++i) {
    Chunk ch;
    ch.due = at + i * pause;
    size_t from = static_cast<size_t>(i) * per;
    ch.bytes = i + 1 == pieces ? bytes.substr(from) : bytes.substr(from, per);
    if (i + 1 == pieces) {
      ch.log = log;
    } else {
      ch.log = LogOut("OUT", "PIECE").Num("conn", c->id).Num("n", i + 1).Num("of", pieces).str();
    }
    c->out.push_back(std::move(ch));
  }
}

void QueueEnd(Conn* c, const MsgSpec& m, bool reset) {
  int64_t at = NowMs();
  if (!c->out.empty() && c->out.back().due > at) at = c->out.back().due;
  Chunk ch;
  ch.due = at + Num(m.kv, "delay", 0);
  ch.action = reset ? Chunk::kReset : Chunk::kClose;
  ch.log = LogOut("OUT", reset ? "RESET" : "CLOSE").Num("conn", c->id).str();
  c->out.push_back(std::move(ch));
}

// Writes what is due, and ends the connection when that is due.
void Flush(Peer& p, Conn* c) {
  int64_t now = NowMs();
  while (!c->dead && !c->out.empty() && c->out.front().due <= now) {
    Chunk ch = std::move(c->out.front());
    c->out.pop_front();
    if (ch.action != Chunk::kWrite) {
      // Logged once done, so that a test that reads the line finds the
      // connection ended.
      CloseConn(c, ch.action == Chunk::kReset);
      if (!g_quiet) {
        fputs((ch.log + "\n").c_str(), stdout);
        fflush(stdout);
      }
      OnConnEnd(p, c);
      continue;
    }
    bool ok = peers::SendAll(c->outFd, ch.bytes.data(), ch.bytes.size());
    if (!ch.log.empty() && !g_quiet) {
      fputs(ch.log.c_str(), stdout);
      fputs(ok ? " sent=1\n" : " sent=0\n", stdout);
      fflush(stdout);
    }
  }
}

// --- Messages of the gateway --------------------------------------------------------------

// The answer's base: the request's code, protocol, id, request value and
// ConnIdx; every other field 0.
AppcHeader AnswerBase(const Conn& c) {
  AppcHeader h;
  h.version = c.version;
  h.req = c.last.req;
  h.protocol = c.last.protocol;
  h.convId = c.last.convId;
  h.gwReq = c.last.gwReq;
  h.connIdx = c.last.connIdx;
  h.commIdx = -1;
  return h;
}

std::string HdrMessage(const Conn& c, const MsgSpec& m, AppcHeader h, LogOut* log) {
  const auto& kv = m.kv;
  if (m.kind == "ping206") h.req = 206;
  if (m.kind == "cancel") h.appcRc = 10002;
  h.req = static_cast<int>(Num(kv, "req", h.req));
  h.protocol = static_cast<int>(Num(kv, "proto", h.protocol));
  h.mode = static_cast<int>(Num(kv, "mode", h.mode));
  h.uid = static_cast<int>(Num(kv, "uid", h.uid));
  h.trace = static_cast<int>(Num(kv, "trace", h.trace));
  h.info = static_cast<int>(Num(kv, "info", h.info));
  h.info2 = static_cast<int>(Num(kv, "info2", h.info2));
  h.info3 = static_cast<int>(Num(kv, "info3", h.info3));
  h.info4 = static_cast<int>(Num(kv, "info4", h.info4));
  h.vector = static_cast<int>(Num(kv, "vector", h.vector));
  h.appcRc = static_cast<int32_t>(Num(kv, "appcrc", h.appcRc));
  h.weqRc = static_cast<int32_t>(Num(kv, "weqrc", h.weqRc));
  h.gwReq = static_cast<uint32_t>(Num(kv, "gwreq", static_cast<long>(h.gwReq)));
  h.commIdx = static_cast<int>(Num(kv, "commidx", h.commIdx));
  h.connIdx = static_cast<int>(Num(kv, "connidx", h.connIdx));
  if (kv.count("convid")) h.convId = (Str(kv, "convid") + "        ").substr(0, 8);
  if (kv.count("area")) h.area = (peers::FromHex(Str(kv, "area")) + std::string(28, '\0')).substr(0, 28);
  std::string area = h.area;
  if (kv.count("results")) {
    std::string r = Str(kv, "results");
    long v[4] = {0, 0, 0, 0};
    sscanf(r.c_str(), "%ld,%ld,%ld,%ld", &v[0], &v[1], &v[2], &v[3]);
    for (int i = 0; i < 4; ++i) peers::PutBe32(&area, peers::kAppcDataRcv - 48 + 4 * static_cast<size_t>(i),
                                               static_cast<uint32_t>(v[i]));
  }
  if (kv.count("cp")) {
    area.replace(peers::kAppcCodePage - 48, 4, (Str(kv, "cp") + "    ").substr(0, 4));
    h.info3 |= 0x01;
  }
  h.area = area;

  std::string data;
  if (kv.count("data")) data = peers::FromHex(Str(kv, "data"));
  if (kv.count("datalen")) {
    long n = Num(kv, "datalen", 0);
    for (long i = 0; i < n; ++i) data += static_cast<char>((i * 7 + 3) & 0xFF);
  }
  std::string err;
  if (kv.count("errsize")) err = peers::ErrRecOfSize(static_cast<size_t>(Num(kv, "errsize", 0)), h.weqRc);
  if (kv.count("errtext"))
    err = peers::ErrRecEncode(peers::ErrRecGateway(Str(kv, "errtext"), h.weqRc, "gw_peer"));
  if (!err.empty() && Num(kv, "errdamaged", 0) != 0) err.replace(err.size() - 6, 5, "*ERX*");
  if (!err.empty()) {
    h.info |= 0x10;
    h.errLen = static_cast<int>(err.size());
    data = err + data;
  }
  int len = peers::AppcLen(c.version);
  int wireVersion = static_cast<int>(Num(kv, "ver", c.version));
  h.version = wireVersion;
  std::string bytes = peers::AppcEncode(h, len) + data;
  if (kv.count("short")) bytes.resize(static_cast<size_t>(Num(kv, "short", 0)));
  log->Num("len", static_cast<long long>(bytes.size()))
      .Num("ver", wireVersion)
      .Num("req", h.req)
      .Num("appcrc", h.appcRc)
      .Num("weqrc", h.weqRc)
      .Num("info", h.info)
      .Text("convid", h.convId)
      .Num("errlen", static_cast<long long>(err.size()))
      .Num("datalen", static_cast<long long>(data.size() - err.size()));
  return bytes;
}

// Queues one message of a rule or injection; base is the answer's header.
void SendMsg(Conn* c, const MsgSpec& m, const AppcHeader& base) {
  if (m.kind == "silent") {
    Emit(LogOut("EVENT", "SILENT").Num("conn", c->id));
    return;
  }
  if (m.kind == "close" || m.kind == "reset") {
    QueueEnd(c, m, m.kind == "reset");
    return;
  }
  if (m.kind == "niping" || m.kind == "nipong") {
    const std::string& ka = m.kind == "niping" ? peers::kNiPing : peers::kNiPong;
    Queue(c, peers::FrameEncode(ka), m, LogOut("OUT", m.kind == "niping" ? "NIPING" : "NIPONG").Num("conn", c->id).str());
    return;
  }
  if (m.kind == "raw") {
    std::string b = peers::FromHex(Str(m.kv, "hex"));
    bool framed = Num(m.kv, "frame", 1) != 0;
    Queue(c, framed ? peers::FrameEncode(b) : b, m,
          LogOut("OUT", "RAW").Num("conn", c->id).Num("len", static_cast<long long>(b.size())).Hex("hex", b).str());
    return;
  }
  LogOut log("OUT", "APPC");
  log.Num("conn", c->id);
  std::string bytes = HdrMessage(*c, m, base, &log);
  log.Num("pieces", Num(m.kv, "pieces", 1)).Hex("hex", bytes.substr(0, 1024));
  Queue(c, peers::FrameEncode(bytes), m, log.str());
}

// --- What the client sends -----------------------------------------------------------------

void LogConnect(const Conn& c, const std::string& r) {
  peers::ConnRecord rec;
  if (!peers::ConnDecode(r, &rec)) {
    Emit(LogOut("IN", "CONNECT").Num("conn", c.id).Num("len", static_cast<long long>(r.size())).Num("bad", 1).Hex("hex", r));
    return;
  }
  Emit(LogOut("IN", "CONNECT")
           .Num("conn", c.id)
           .Num("len", static_cast<long long>(r.size()))
           .Num("version", rec.version)
           .Num("type", rec.type)
           .Text("ip", peers::DottedIp4(rec.ipv4))
           .Text("service10", rec.service10)
           .Num("service10ended", rec.service10Ended)
           .Text("codepage", rec.codePage)
           .Text("host8", rec.host8)
           .Text("service8", rec.service8)
           .Num("blanks", rec.blanks46)
           .Num("hdrversion", rec.hdrVersion)
           .Num("accept", rec.acceptInfo)
           .Num("index", rec.index)
           .Hex("addr", rec.addr16)
           .Num("zeros", rec.zeros)
           .Hex("hex", r));
}

void AnswerConnect(Peer& p, Conn* c, const std::string& req) {
  const ConnSettings& s = p.settings;
  LogConnect(*c, req);
  c->type = req.size() > 1 ? static_cast<uint8_t>(req[1]) : 0;
  MsgSpec none;
  if (s.fault == "close" || s.fault == "reset") {
    QueueEnd(c, none, s.fault == "reset");
    c->phase = Phase::kDone;
    return;
  }
  if (s.fault == "silent") {
    Emit(LogOut("EVENT", "SILENT").Num("conn", c->id));
    c->phase = Phase::kDone;
    return;
  }
  int version = !req.empty() && req[0] == 2 ? 2 : 3;
  std::string a = peers::ConnAnswer(version, s.hdrVersion, s.acceptInfo, s.codePage, static_cast<int32_t>(s.error),
                                    s.echo);
  if (s.error != 0 && !s.errorText.empty())
    a += peers::ErrRecEncode(peers::ErrRecGateway(s.errorText, s.error, "gw_peer"));
  if (s.error != 0 && s.errorSize > 0) a += peers::ErrRecOfSize(static_cast<size_t>(s.errorSize), s.error);
  if (s.fault == "short") a.resize(40);
  if (s.fault == "long") a.resize(700, 'L');
  if (s.answerLen >= 0) a.resize(static_cast<size_t>(s.answerLen), 'L');
  MsgSpec timing;
  if (s.fault == "delay") timing.kv["delay"] = std::to_string(s.delayMs);
  Queue(c, peers::FrameEncode(a), timing,
        LogOut("OUT", "ANSWER").Num("conn", c->id).Num("len", static_cast<long long>(a.size())).Hex("hex", a).str());
  c->answer = a;
  c->acceptInfo = s.acceptInfo;
  c->version = s.hdrVersion >= 1 && s.hdrVersion <= 6 ? s.hdrVersion : 6;
  bool refused = s.error != 0 || s.fault == "short" || s.fault == "long" || s.answerLen >= 0;
  bool ident = c->type == 11 || c->type == 14 || c->type == 16;
  c->phase = refused ? Phase::kDone : s.echo ? Phase::kEcho : ident ? Phase::kIdent : Phase::kAppc;
}

// The parameter block's fields by request code.
void LogParams(int req, const std::string& block, LogOut* l) {
  peers::InitBlock ib;
  if ((req == 1 || req == 202) && peers::InitBlockDecode(block, &ib)) {
    l->Hex("p.dt", ib.trace)
        .Text("p.longlu", ib.longLu)
        .Hex("p.addr16", ib.addr16)
        .Text("p.user", ib.user)
        .Num("p.sendlen", ib.sendLen)
        .Num("p.reqlen", ib.reqLen)
        .Text("p.ipv4", peers::DottedIp4(ib.ipv4))
        .Text("p.longtp", ib.longTp)
        .Num("p.zeros", ib.zeros);
  } else if ((req == 7 || req == 8 || req == 203 || req == 204) && block.size() == 8) {
    l->Num("p.sendlen", peers::GetBe32(block, 0)).Num("p.reqlen", peers::GetBe32(block, 4));
  } else {
    l->Hex("p", block);
  }
}

void OnAppc(Peer& p, Conn* c, const std::string& msg) {
  if (msg == peers::kNiPing) {
    Emit(LogOut("IN", "NIPING").Num("conn", c->id));
    MsgSpec pong;
    pong.kind = "nipong";
    SendMsg(c, pong, AppcHeader());
    return;
  }
  if (msg == peers::kNiPong) {
    Emit(LogOut("IN", "NIPONG").Num("conn", c->id));
    return;
  }
  int len = peers::AppcLen(c->version);
  AppcHeader h;
  if (!peers::AppcDecode(msg, len, &h)) {
    Emit(LogOut("IN", "SHORT").Num("conn", c->id).Num("len", static_cast<long long>(msg.size())).Hex("hex", msg));
    return;
  }
  std::string check = CheckRequest(p, c, h, msg);
  ++p.checked;
  if (check != "ok" && check != "none") ++p.bad;
  LogOut l("IN", "APPC");
  l.Num("conn", c->id)
      .Num("len", static_cast<long long>(msg.size()))
      .Num("ver", h.version)
      .Num("verok", h.version == c->version)
      .Num("req", h.req)
      .Num("proto", h.protocol)
      .Num("mode", h.mode)
      .Num("uid", h.uid)
      .Num("errlen", h.errLen)
      .Num("info2", h.info2)
      .Num("trace", h.trace)
      .Num("info3", h.info3)
      .Num("info4", h.info4)
      .Num("gwreq", h.gwReq)
      .Num("parlen", h.paramLen)
      .Num("info", h.info)
      .Num("vector", h.vector)
      .Num("appcrc", h.appcRc)
      .Num("weqrc", h.weqRc)
      .Text("convid", h.convId)
      .Hex("area", h.area)
      .Num("commidx", h.commIdx)
      .Num("connidx", h.connIdx)
      .Num("zeros", h.zeros);
  std::string body = msg.substr(static_cast<size_t>(len));
  size_t parLen = (h.info & 0x04) != 0 ? static_cast<size_t>(h.paramLen) : 0;
  if (parLen > body.size()) parLen = body.size();
  std::string params = body.substr(body.size() - parLen);
  std::string data = body.substr(0, body.size() - parLen);
  if ((h.info & 0x10) != 0) {
    size_t errLen = static_cast<size_t>(h.errLen) <= data.size() ? static_cast<size_t>(h.errLen) : data.size();
    std::string err = data.substr(0, errLen);
    data = data.substr(errLen);
    std::vector<std::string> f;
    bool ok = peers::ErrRecDecode(err, &f);
    l.Num("err.ok", ok).Num("err.len", static_cast<long long>(err.size()));
    if (ok) {
      l.Text("err.text", f[peers::kErrText])
          .Text("err.rc", f[peers::kErrRc])
          .Text("err.component", f[peers::kErrComponent])
          .Text("err.detail", f[peers::kErrDetail])
          .Text("err.location", f[peers::kErrLocation]);
    }
  }
  l.Num("datalen", static_cast<long long>(data.size())).Hex("data", data.substr(0, 4096));
  if (parLen > 0) LogParams(h.req, params, &l);
  l.Hex("hex", msg.substr(0, 1024)).Text("check", check);
  if (!p.quiet || (check != "ok" && check != "none")) Emit(l);
  c->last = h;
  for (Rule& r : p.rules) {
    if (r.remaining == 0 || (r.req != -1 && r.req != h.req)) continue;
    if (r.remaining > 0) --r.remaining;
    for (const MsgSpec& m : r.msgs) SendMsg(c, m, AnswerBase(*c));
    return;
  }
  ServeRequest(p, c, h, msg);
}

void OnFrame(Peer& p, Conn* c, const std::string& msg) {
  switch (c->phase) {
    case Phase::kConnect:
      AnswerConnect(p, c, msg);
      return;
    case Phase::kEcho: {
      Emit(LogOut("IN", "ECHO").Num("conn", c->id).Num("same", msg == c->answer).Num("len", static_cast<long long>(msg.size())));
      bool ident = c->type == 11 || c->type == 14 || c->type == 16;
      c->phase = ident ? Phase::kIdent : Phase::kAppc;
      return;
    }
    case Phase::kIdent: {
      peers::IdentBlock id;
      bool ok = peers::IdentDecode(msg, &id);
      Emit(LogOut("IN", "IDENT")
               .Num("conn", c->id)
               .Num("len", static_cast<long long>(msg.size()))
               .Num("ok", ok)
               .Hex("host", id.host)
               .Hex("service", id.service)
               .Num("ended", id.ended)
               .Num("blanks", static_cast<long long>(id.blanks)));
      c->phase = Phase::kAppc;
      if (ok) OnIdent(p, c, id.service);
      return;
    }
    case Phase::kAppc:
      OnAppc(p, c, msg);
      return;
    case Phase::kDone:
      Emit(LogOut("IN", "MORE").Num("conn", c->id).Num("len", static_cast<long long>(msg.size())).Hex("hex", msg.substr(0, 256)));
      return;
  }
}

void OnReadable(Peer& p, Conn* c) {
  char buf[65536];
  ssize_t n = recv(c->inFd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    Emit(LogOut("EVENT", "CLOSED").Num("conn", c->id).Text("how", n == 0 ? "close" : strerror(errno)));
    CloseConn(c, false);
    OnConnEnd(p, c);
    return;
  }
  c->parser.Feed(buf, static_cast<size_t>(n));
  std::string msg;
  while (!c->dead && c->parser.Next(&msg)) OnFrame(p, c, msg);
  if (c->parser.bad()) {
    Emit(LogOut("EVENT", "BADFRAME").Num("conn", c->id));
    CloseConn(c, false);
    OnConnEnd(p, c);
  }
}

// The old connect: the datagram names the client's two ports.
void OnDatagram(Peer& p, int udp) {
  char buf[2048];
  ssize_t n = recv(udp, buf, sizeof buf, 0);
  if (n < 0) return;
  std::string d(buf, static_cast<size_t>(n));
  peers::OldDgram o;
  bool ok = peers::OldDgramDecode(d, &o);
  Emit(LogOut("IN", "DGRAM")
           .Num("len", static_cast<long long>(d.size()))
           .Num("ok", ok)
           .Num("b0", o.b0)
           .Num("b1", o.b1)
           .Text("ip", peers::DottedIp4(o.hostIp4))
           .Num("readport", o.readPort)
           .Text("ip2", peers::DottedIp4(o.hostIp4b))
           .Num("writeport", o.writePort)
           .Text("host8", o.host8)
           .Text("service8", o.service8)
           .Num("b70", o.b70)
           .Num("blanks", o.blanks71)
           .Text("stated", peers::DottedIp4(o.statedIp4))
           .Num("zeros", o.zeros)
           .Hex("hex", d));
  if (!ok) return;
  auto connectTo = [](const std::string& ip4, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    memcpy(&sa.sin_addr, ip4.data(), 4);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      close(fd);
      fd = -1;
    }
    return fd;
  };
  int rd = connectTo(o.hostIp4, o.readPort);
  int wr = rd >= 0 ? connectTo(o.hostIp4b, o.writePort) : -1;
  auto c = std::make_unique<Conn>();
  c->id = p.nextId++;
  Emit(LogOut("OUT", "OLDCONNECT").Num("conn", c->id).Num("read", rd >= 0).Num("write", wr >= 0));
  if (rd < 0 || wr < 0) {
    if (rd >= 0) close(rd);
    return;
  }
  // The gateway writes where the client reads and reads where it writes.
  c->outFd = rd;
  c->inFd = wr;
  c->phase = Phase::kAppc;
  c->version = 6;
  p.conns.push_back(std::move(c));
}

Conn* Target(Peer& p, const std::map<std::string, std::string>& kv) {
  long id = Num(kv, "conn", 0);
  for (auto it = p.conns.rbegin(); it != p.conns.rend(); ++it) {
    Conn* c = it->get();
    if (c->dead) continue;
    if (id != 0 ? c->id == id : c->phase == Phase::kAppc) return c;
  }
  return nullptr;
}

void OnControl(Peer& p, const std::string& line) {
  std::vector<std::string> w = Words(line);
  if (w.empty()) return;
  LogOut ack("EVENT", "CONTROL");
  ack.Text("verb", w[0]);
  if (w[0] == "quit") {
    p.quit = true;
  } else if (w[0] == "drop") {
    p.rules.clear();
  } else if (w[0] == "switch") {
    for (const auto& [k, v] : Fields(w, 1)) p.sw[k] = v;
  } else if (w[0] == "regcancel") {
    RegCancel(p, Fields(w, 1));
  } else if (w[0] == "regping") {
    RegPing(p, Fields(w, 1));
  } else if (w[0] == "release") {
    ReleaseInits(p);
  } else if (w[0] == "stats") {
    Stats(p);
  } else if (w[0] == "connect") {
    ApplyConnSettings(Fields(w, 1), &p.settings);
  } else if (w[0] == "rule" && w.size() >= 4) {
    Rule r;
    r.req = w[1] == "any" ? -1 : atoi(w[1].c_str());
    r.remaining = w[2] == "every" ? -1 : w[2] == "next" ? 1 : atol(w[2].c_str());
    r.msgs = ParseMsgs(w, 3);
    p.rules.push_back(std::move(r));
  } else if (w[0] == "inject") {
    std::vector<MsgSpec> msgs = ParseMsgs(w, 1);
    Conn* c = msgs.empty() ? nullptr : Target(p, msgs[0].kv);
    ack.Num("conn", c != nullptr ? c->id : 0);
    if (c != nullptr) {
      AppcHeader base = AnswerBase(*c);
      base.req = 0;
      for (const MsgSpec& m : msgs) SendMsg(c, m, base);
    }
  } else {
    ack.Num("unknown", 1);
  }
  Emit(ack);
}

int ListenOn(int family, int type, uint16_t port, uint16_t* bound) {
  int fd = socket(family, type | SOCK_CLOEXEC, 0);
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET) {
    auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
    s4->sin_family = AF_INET;
    s4->sin_port = htons(port);
    s4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *s4;
  } else {
    auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
    s6->sin6_family = AF_INET6;
    s6->sin6_port = htons(port);
    s6->sin6_addr = in6addr_loopback;
    len = sizeof *s6;
  }
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
      (type == SOCK_STREAM && listen(fd, 16) != 0) || getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *bound = family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                             : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return fd;
}

}  // namespace gwpeer

using namespace gwpeer;  // NOLINT

int main(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "gateway") != 0) {
    fputs(kUsage, argc >= 2 && strcmp(argv[1], "--help") == 0 ? stdout : stderr);
    return argc >= 2 && strcmp(argv[1], "--help") == 0 ? 0 : 2;
  }
  Peer p;
  int family = AF_INET, lifetime = 30;
  pid_t parent = 0;
  std::map<std::string, std::string> conn;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--family") family = next() == "6" ? AF_INET6 : AF_INET;
    else if (a == "--hdr-version") conn["hdrversion"] = next();
    else if (a == "--accept-info") conn["accept"] = "0x" + next();
    else if (a == "--code-page") conn["cp"] = next();
    else if (a == "--echo") conn["echo"] = "1";
    else if (a == "--error") conn["error"] = next();
    else if (a == "--error-text") conn["errtext"] = next();
    else if (a == "--error-size") conn["errsize"] = next();
    else if (a == "--fault") conn["fault"] = next();
    else if (a == "--delay") conn["delay"] = next();
    else if (a == "--answer-len") conn["answerlen"] = next();
    else if (a == "--lifetime") lifetime = atoi(next().c_str());
    else if (a == "--parent") parent = atoi(next().c_str());
    else if (a == "--quiet") p.quiet = g_quiet = true;
  }
  ApplyConnSettings(conn, &p.settings);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (parent > 0 && getppid() != parent) return 3;
  alarm(static_cast<unsigned>(lifetime));
  signal(SIGPIPE, SIG_IGN);

  // TCP and UDP on one port number: tries a few until both are free.
  int lis = -1, udp = -1;
  uint16_t port = 0;
  for (int tries = 0; tries < 20 && udp < 0; ++tries) {
    if (lis >= 0) close(lis);
    lis = ListenOn(family, SOCK_STREAM, 0, &port);
    uint16_t same = 0;
    if (lis >= 0) udp = ListenOn(family, SOCK_DGRAM, port, &same);
  }
  if (lis < 0 || udp < 0) return 4;
  // Refused connects: the port is closed before anybody learns it.
  if (p.settings.fault == "refuse") {
    close(lis);
    lis = -1;
  }
  printf("PORT %d\n", port);
  fflush(stdout);

  std::string input;
  bool stdinOpen = true;
  while (!p.quit) {
    std::vector<pollfd> fds;
    std::vector<Conn*> owners;
    if (lis >= 0) fds.push_back({lis, POLLIN, 0}), owners.push_back(nullptr);
    fds.push_back({udp, POLLIN, 0}), owners.push_back(nullptr);
    if (stdinOpen) fds.push_back({0, POLLIN, 0}), owners.push_back(nullptr);
    int64_t due = -1;
    for (auto& c : p.conns) {
      if (c->dead) continue;
      fds.push_back({c->inFd, POLLIN, 0});
      owners.push_back(c.get());
      if (!c->out.empty() && (due < 0 || c->out.front().due < due)) due = c->out.front().due;
    }
    int64_t timer = ServeTimers(p);
    if (timer >= 0 && (due < 0 || timer < due)) due = timer;
    int timeout = due < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, due - NowMs()));
    int r = poll(fds.data(), fds.size(), timeout);
    if (r < 0 && errno != EINTR) return 5;
    for (size_t i = 0; i < p.conns.size(); ++i) Flush(p, p.conns[i].get());
    if (r <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      if (owners[i] != nullptr) {
        if (!owners[i]->dead) OnReadable(p, owners[i]);
      } else if (fds[i].fd == lis) {
        int fd = accept4(lis, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto c = std::make_unique<Conn>();
        c->id = p.nextId++;
        c->inFd = c->outFd = fd;
        Emit(LogOut("EVENT", "ACCEPT").Num("conn", c->id));
        p.conns.push_back(std::move(c));
      } else if (fds[i].fd == udp) {
        OnDatagram(p, udp);
      } else {
        char buf[4096];
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) {
          stdinOpen = false;
          continue;
        }
        input.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = input.find('\n')) != std::string::npos) {
          OnControl(p, input.substr(0, nl));
          input.erase(0, nl + 1);
        }
      }
    }
    for (size_t i = 0; i < p.conns.size(); ++i) Flush(p, p.conns[i].get());
  }
  Emit(LogOut("EVENT", "END"));
  return 0;
}
