// gw_peer's conversations: a client's leg from its initialise on, checked
// strictly request by request, served by a partner model chosen by the TP
// name (echo, sink, deallocator, error-thrower) or, for a registered TP,
// relayed to a registered server program: the registry of type-11
// connections, the handover (207), the relay of data, turns, ends and
// error records between the two legs, the registration's own requests
// (209, 210, 208), the count answer of type-14 connections, cancels (213)
// and the switches that bend all of it.
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "peers/errrec.h"
#include "peers/gw_peer.h"
#include "peers/gwcodec.h"
#include "peers/niframe.h"

namespace gwpeer {

namespace {

constexpr int kInitBlock = 340;
constexpr int kSncPart = 776;
constexpr int kDtLen = 45;
constexpr size_t kAreaDataRcv = 4, kAreaRcvLen = 8, kAreaStatus = 12, kAreaRts = 16;
constexpr int32_t kDeallocNormal = 18, kDeallocAbend = 17, kCancelRequest = 10002;
constexpr int32_t kNiReadFailed = 223, kNotRegistered = 679, kAllocFailure = 1;
// Info2 bits of a protected conversation: every data request carries
// GW_SNC_ACTIVE, a token message also SNC_INIT_PHASE; a protected receive
// asks for the most a protected message may hold.
constexpr int kSncActive = 0x08, kSncInitPhase = 0x20;
constexpr uint32_t kSncAsk = 34048;
// Offsets of the SNC part of a handover.
constexpr size_t kPartPartner = 2, kPartMine = 259, kPartLib = 516, kPartQop = 773, kPartMode = 774, kPartRole = 775;

std::string Trimmed(const std::string& s) {
  size_t n = s.size();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0')) --n;
  return s.substr(0, n);
}

Item TurnItem() {
  Item it;
  it.kind = Item::kTurn;
  return it;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

Leg::Model ModelOf(const std::string& tp) {
  if (StartsWith(tp, "sink")) return Leg::kSink;
  if (StartsWith(tp, "dealloc")) return Leg::kDealloc;
  if (StartsWith(tp, "error")) return Leg::kError;
  if (StartsWith(tp, "source")) return Leg::kSource;
  return Leg::kEcho;
}

Leg* NewLeg(Peer& p, Conn* c) {
  p.legs.push_back(std::make_unique<Leg>());
  Leg* l = p.legs.back().get();
  l->conn = c;
  l->connIdx = p.nextConnIdx++;
  if (p.nextConnIdx > 30000) p.nextConnIdx = 101;
  c->leg = l;
  return l;
}

bool Alive(const Leg* l) { return l != nullptr && l->conn != nullptr && !l->conn->dead; }

AppcHeader AnswerHeader(const Leg* l, const AppcHeader& req) {
  AppcHeader h;
  h.version = l->conn->version;
  h.req = req.req;
  h.protocol = req.protocol;
  h.convId = l->gwId;
  h.gwReq = l->value;
  h.connIdx = l->connIdx;
  h.commIdx = -1;
  return h;
}

void SetResults(AppcHeader* h, uint32_t dr, uint32_t len, uint32_t status, uint32_t rts) {
  peers::PutBe32(&h->area, kAreaDataRcv, dr);
  peers::PutBe32(&h->area, kAreaRcvLen, len);
  peers::PutBe32(&h->area, kAreaStatus, status);
  peers::PutBe32(&h->area, kAreaRts, rts);
}

// Queues a message of the gateway to a connection, logged unless quiet.
void Send(Peer& p, Conn* c, AppcHeader h, std::string data, const std::string& err, const char* what) {
  if (c == nullptr || c->dead) return;
  if (h.req != 206 && Sw(p, "code0", 0) != 0) h.req = 0;
  if (!err.empty()) {
    h.info |= 0x10;
    h.errLen = static_cast<int>(err.size());
    data = err + data;
  }
  std::string bytes = peers::AppcEncode(h, peers::AppcLen(c->version)) + data;
  std::string log;
  if (!p.quiet) {
    log = LogOut("OUT", "APPC")
              .Num("conn", c->id)
              .Num("len", static_cast<long long>(bytes.size()))
              .Num("req", h.req)
              .Num("appcrc", h.appcRc)
              .Num("weqrc", h.weqRc)
              .Num("info", h.info)
              .Num("info2", h.info2)
              .Num("info3", h.info3)
              .Num("trace", h.trace)
              .Text("convid", h.convId)
              .Num("gwreq", h.gwReq)
              .Num("connidx", h.connIdx)
              .Num("errlen", static_cast<long long>(err.size()))
              .Num("datalen", static_cast<long long>(data.size() - err.size()))
              .Text("what", what)
              .Hex("hex", bytes.substr(0, 1024))
              .str();
  }
  Queue(c, peers::FrameEncode(bytes), MsgSpec(), log);
}

std::string Record(const std::string& text, long code) {
  return peers::ErrRecEncode(peers::ErrRecGateway(text, code, "gw_peer"));
}

// The answer of a model whose partner program fails: its code and record.
void AnswerFailure(Peer& p, Leg* l, AppcHeader h) {
  long rc = Sw(p, "errorrc", kDeallocAbend), weq = Sw(p, "errorweq", 726);
  h.appcRc = static_cast<int32_t>(rc);
  h.weqRc = static_cast<int32_t>(weq);
  Send(p, l->conn, h, "", Record(p.sw.count("errortext") ? p.sw["errortext"] : "partner program failed", weq),
       "error");
}

// Answers the leg's waiting receive when there is something to answer.
void Deliver(Peer& p, Leg* l) {
  if (!l->pending || !Alive(l)) return;
  AppcHeader h = AnswerHeader(l, l->pendingHdr);
  h.vector = l->pendingHdr.vector & 0x08;
  std::string data, err;
  if (l->model == Leg::kDealloc || l->model == Leg::kError) {
    l->pending = false;
    ++l->value;
    h.gwReq = l->value;
    if (l->model == Leg::kError) {
      AnswerFailure(p, l, h);
      return;
    }
    h.appcRc = kDeallocNormal;
    Send(p, l->conn, h, "", "", "deallocated");
    return;
  }
  if (l->model == Leg::kSource) {
    size_t n = std::min<size_t>(l->sourceSize, l->pendingLen);
    data.assign(n, 's');
    SetResults(&h, 2, static_cast<uint32_t>(n), 0, 0);
  } else if (l->inbox.empty()) {
    if (l->model == Leg::kRelay) return;  // waits for the partner
    SetResults(&h, 0, 0, 1, 0);           // nothing to give back: the turn
  } else {
    Item& it = l->inbox.front();
    if (it.kind == Item::kData) {
      size_t n = std::min<size_t>(it.data.size(), l->pendingLen);
      bool whole = n == it.data.size();
      data = it.data.substr(0, n);
      uint32_t status = 0;
      if (whole) {
        l->inbox.pop_front();
        const Item* next = l->inbox.empty() ? nullptr : &l->inbox.front();
        if (next != nullptr && next->kind == Item::kEnd && next->appcRc == kDeallocNormal && next->err.empty() &&
            Sw(p, "joinend", 0) != 0) {
          // The partner's last data and its normal end in one answer.
          h.appcRc = kDeallocNormal;
          l->inbox.pop_front();
          l->ended = true;
        } else if (!l->inbox.empty() && l->inbox.front().kind == Item::kTurn) {
          l->inbox.pop_front();
          status = 1;
          l->turn = true;
        } else if (l->model != Leg::kRelay && l->inbox.empty()) {
          status = 1;
        }
      } else {
        it.data.erase(0, n);
      }
      SetResults(&h, whole ? 2 : 3, static_cast<uint32_t>(n), status, 0);
    } else if (it.kind == Item::kTurn) {
      l->inbox.pop_front();
      l->turn = true;
      SetResults(&h, 0, 0, 1, 0);
    } else {
      h.appcRc = it.appcRc;
      h.weqRc = it.weqRc;
      err = it.err;
      l->inbox.pop_front();
      l->ended = true;
    }
  }
  l->pending = false;
  // The answer to a token message is read for its token alone: the
  // conversation's request value stays as it was.
  if ((l->pendingHdr.info2 & kSncInitPhase) == 0) ++l->value;
  h.gwReq = l->value;
  Send(p, l->conn, h, data, err, "receive");
}

// Something for the partner of l (the leg itself when it echoes), handed
// out now unless more is to follow.
void ToPartner(Peer& p, Leg* l, Item it, bool deliver = true) {
  Leg* to = l->model == Leg::kEcho ? l : l->model == Leg::kRelay ? l->partner : nullptr;
  if (to == nullptr || to->ended) return;
  if (l->model == Leg::kEcho && it.kind != Item::kData) return;
  to->inbox.push_back(std::move(it));
  if (deliver) Deliver(p, to);
}

// A receive of the leg: when it held the turn, the partner gets it behind
// what the leg sent.
void GiveTurn(Peer& p, Leg* l) {
  if (l->model == Leg::kRelay && l->turn) {
    l->turn = false;
    ToPartner(p, l, TurnItem(), false);
  }
  if (l->model == Leg::kRelay && l->partner != nullptr) Deliver(p, l->partner);
}

// The answer of a synchronous request (send, sync): 0, or the model's end.
void AnswerSync(Peer& p, Leg* l, const AppcHeader& req, bool asReceive) {
  AppcHeader h = AnswerHeader(l, req);
  if (asReceive) {
    ++l->value;
    h.gwReq = l->value;
  }
  if (l->model == Leg::kDealloc) {
    h.appcRc = kDeallocNormal;
    Send(p, l->conn, h, "", "", "deallocated");
  } else if (l->model == Leg::kError) {
    AnswerFailure(p, l, h);
  } else {
    Send(p, l->conn, h, "", "", "sync");
  }
}

void Receive(Peer& p, Leg* l, const AppcHeader& h, uint32_t len) {
  l->pending = true;
  l->pendingHdr = h;
  l->pendingLen = len;
  Deliver(p, l);
}

Conn* WaitingRegistration(Peer& p, const std::string& tp) {
  Conn* best = nullptr;
  for (auto& c : p.conns) {
    if (c->dead || c->reg != kRegWaiting || c->regTp != tp) continue;
    if (best == nullptr || c->regSince < best->regSince) best = c.get();
  }
  return best;
}

bool Registered(Peer& p, const std::string& tp) {
  for (auto& c : p.conns)
    if (!c->dead && c->reg != kRegNone && c->regTp == tp) return true;
  return false;
}

// The conversation of client leg cl goes to registration rc.
void Handover(Peer& p, Leg* cl, Conn* rc) {
  Leg* sl = NewLeg(p, rc);
  sl->server = true;
  sl->model = Leg::kRelay;
  sl->partner = cl;
  sl->gwId = cl->gwId;
  sl->protocol = 7;
  sl->tp = cl->tp;
  sl->allocated = true;
  cl->partner = sl;
  cl->model = Leg::kRelay;
  cl->allocated = true;
  rc->reg = kRegRunning;
  bool dt = Sw(p, "dt", 1) != 0;
  std::string record = cl->dtRecord.size() == kDtLen ? cl->dtRecord : std::string(kDtLen, '\0');
  if (cl->dtRecord.size() != kDtLen) {
    record[0] = 1;
    record.replace(1, 8, "GWPEER  ");
    record.replace(9, 32, std::string(32, '7'));
  }
  peers::PutBe32(&record, 41, cl->value);
  sl->value = dt ? cl->value : 1;
  AppcHeader h;
  h.version = rc->version;
  h.req = 207;
  h.protocol = cl->protocol;
  h.trace = static_cast<int>(Sw(p, "trace", cl->trace));
  h.convId = sl->gwId;
  h.gwReq = sl->value;
  h.connIdx = sl->connIdx;
  h.commIdx = -1;
  std::string data;
  if (cl->snc || Sw(p, "sncinit", 0) != 0) {
    // The SNC part: names ended by a zero byte, QOP, mode and role.
    h.info2 |= kSncInitPhase;
    sl->snc = true;
    std::string snc(kSncPart, '\0');
    auto name = [&](size_t at, const char* key) {
      std::string v = Str(p.sw, key).substr(0, 256);
      snc.replace(at, v.size(), v);
    };
    name(kPartPartner, "sncpartner");
    name(kPartMine, "sncmyname");
    name(kPartLib, "snclib");
    snc[kPartQop] = static_cast<char>(Sw(p, "sncqop", 0));
    snc[kPartMode] = static_cast<char>(Sw(p, "sncmode", 1));
    snc[kPartRole] = static_cast<char>(Sw(p, "sncrole", 2));
    data += snc;
  }
  if (dt) {
    h.info3 |= 0x80;
    data += record;
  }
  long cut = Sw(p, "shorthand", 0);
  if (cut > 0) data.resize(data.size() > static_cast<size_t>(cut) ? data.size() - static_cast<size_t>(cut) : 0);
  Send(p, rc, h, data, "", "handover");
  AppcHeader a = AnswerHeader(cl, cl->pendingHdr);
  a.req = 5;
  Send(p, cl->conn, a, "", "", "allocated");
}

void MatchAllocs(Peer& p) {
  for (auto it = p.allocs.begin(); it != p.allocs.end();) {
    Conn* rc = Alive(it->leg) ? WaitingRegistration(p, it->leg->tp) : nullptr;
    if (!Alive(it->leg)) {
      it = p.allocs.erase(it);
    } else if (rc != nullptr) {
      Leg* cl = it->leg;
      it = p.allocs.erase(it);
      Handover(p, cl, rc);
    } else {
      ++it;
    }
  }
}

void NotRegistered(Peer& p, Leg* l) {
  AppcHeader h = AnswerHeader(l, l->pendingHdr);
  h.appcRc = kAllocFailure;
  h.weqRc = kNotRegistered;
  Send(p, l->conn, h, "", Record("TP " + l->tp + " not registered", kNotRegistered), "notregistered");
}

void Initialise(Peer& p, Conn* c, const AppcHeader& h, const std::string& block) {
  Leg* l = NewLeg(p, c);
  l->gwId = Sw(p, "oneid", 0) != 0 ? "12345678" : std::to_string(p.nextGwId++);
  l->protocol = h.protocol;
  l->trace = h.trace;
  l->snc = (h.info2 & kSncInitPhase) != 0;
  peers::InitBlock ib;
  if (peers::InitBlockDecode(block, &ib)) l->tp = Trimmed(ib.longTp);
  if (l->tp.empty()) l->tp = Trimmed(h.area.substr(16, 8));
  if ((h.info3 & 0x80) != 0 && block.size() >= kDtLen) l->dtRecord = block.substr(0, kDtLen);
  l->value = 1;
  l->turn = true;
  l->model = ModelOf(l->tp);
  if (l->model == Leg::kSource) l->sourceSize = static_cast<size_t>(strtoul(l->tp.c_str() + 6, nullptr, 10));
  AppcHeader a = AnswerHeader(l, h);
  if (Sw(p, "holdinit", 0) != 0) {
    p.heldInits.emplace_back(l, a);
    Emit(LogOut("EVENT", "HELD").Num("conn", c->id));
    return;
  }
  Send(p, c, a, "", "", "initialised");
}

void Allocate(Peer& p, Leg* l, const AppcHeader& h) {
  l->pendingHdr = h;
  if (Registered(p, l->tp) || Sw(p, "noreg", 0) != 0) {
    if (Sw(p, "noreg", 0) != 0) {
      NotRegistered(p, l);
      return;
    }
    p.allocs.push_back({l, NowMs() + Sw(p, "regwait", 5000)});
    MatchAllocs(p);
    return;
  }
  l->allocated = true;
  Send(p, l->conn, AnswerHeader(l, h), "", "", "allocated");
}

// The end of a leg's conversation: its partner learns it.
void EndLeg(Peer& p, Leg* l, int32_t appcRc, int32_t weqRc, const std::string& err) {
  if (l->ended) return;
  l->ended = true;
  Item it;
  it.kind = Item::kEnd;
  it.appcRc = appcRc;
  it.weqRc = weqRc;
  it.err = err;
  if (l->model == Leg::kRelay) ToPartner(p, l, it);
}

void SetRegistration(Conn* c, RegState s, const char* kind) {
  c->reg = s;
  if (s == kRegWaiting) c->regSince = NowMs();
  Emit(LogOut("EVENT", kind).Num("conn", c->id).Text("tp", c->regTp));
}

}  // namespace

long Sw(const Peer& p, const char* key, long def) { return Num(p.sw, key, def); }

std::string CheckRequest(Peer&, Conn* c, const AppcHeader& h, const std::string& msg) {
  int hl = peers::AppcLen(c->version);
  size_t body = msg.size() - static_cast<size_t>(hl);
  bool hasComm = hl >= 78, hasConn = hl >= 80;
  if (h.version != c->version) return "version";
  if (h.uid != -1) return "uid";
  if (h.mode != 0) return "mode";
  if (c->type == 11 && (h.req == 208 || h.req == 209 || h.req == 210)) {
    if (body != 0) return "length";
    if (peers::GetBe32(h.area, 0) != 80) return "area";
    if (h.info != 1) return "info";
    if (hasComm && h.commIdx != -1) return "commidx";
    return "ok";
  }
  Leg* l = c->leg;
  if (h.req == 1) {
    if (c->type != 3 || l != nullptr) return "init";
    if (body != kInitBlock) return "length";
    if (h.paramLen != kInitBlock) return "parlen";
    if ((h.info & 0x05) != 0x05) return "info";
    if (h.convId != std::string(8, ' ')) return "convid";
    if (hasComm && h.commIdx < 0) return "commidx";
    if (hasConn && h.connIdx != -1) return "connidx";
    bool dt = (h.info3 & 0x80) != 0;
    if (dt && (c->acceptInfo & 0x80) == 0) return "dt";
    uint32_t want = dt ? peers::GetBe32(msg.substr(static_cast<size_t>(hl), kDtLen), 41) : 0;
    if (h.gwReq != want) return "gwreq";
    return "ok";
  }
  if (l == nullptr) return "none";
  bool errInfo = h.req == 11 && (h.info & 0x10) != 0;
  if (h.convId != l->gwId) return "convid";
  if (hasConn && h.connIdx != (errInfo ? -1 : l->connIdx)) return "connidx";
  if (hasComm && h.commIdx != -1) return "commidx";
  // Error information may come from the registration before the handed
  // over conversation is set up (no free slot): its request value is the
  // registration's.
  if (!errInfo && h.gwReq != l->value) return "gwreq";
  if (!errInfo && h.protocol != l->protocol) return "protocol";
  uint32_t area0 = peers::GetBe32(h.area, 0);
  bool dataReq = h.req == 7 || h.req == 8 || h.req == 203 || h.req == 204;
  if (dataReq && (h.info2 & ~kSncInitPhase) != (l->snc ? kSncActive : 0)) return "info2";
  // A token message: a synchronous send of the token with a receive.
  if ((h.info2 & kSncInitPhase) != 0 && (!dataReq || !l->snc || h.req != 203 || h.vector != 0x0C || area0 != kSncAsk))
    return "token";
  switch (h.req) {
    case 5:
    case 205:
      return body != 0 ? "length" : h.info != 1 ? "info" : "ok";
    case 213:
      if (body != 0) return "length";
      if (h.info != 1) return "info";
      return (h.info3 & 0x0C) == 0x04 || (h.info3 & 0x0C) == 0x08 ? "ok" : "info3";
    case 7:
    case 8:
      if (body != area0) return "length";
      if (h.paramLen != 0) return "parlen";
      return h.info != (h.req == 7 ? 1 : 0) ? "info" : "ok";
    case 9:
      if (body != 0) return "length";
      if (h.info != 1) return "info";
      if (l->snc && area0 != kSncAsk) return "reqlen";
      return area0 > 34048 ? "reqlen" : "ok";
    case 11:
      if (errInfo) return body != static_cast<size_t>(h.errLen) ? "length" : h.info != 0x11 ? "info" : "ok";
      return body != 0 ? "length" : h.info != 0 ? "info" : "ok";
    case 15:
      if (body != 144) return "length";
      if (h.paramLen != 144) return "parlen";
      if (h.info != 4 || h.info2 != 1) return "info";
      return peers::GetBe32(h.area, 8) > 128 ? "lulen" : "ok";
    case 203:
    case 204: {
      if (h.paramLen != 8) return "parlen";
      if (h.info != (h.req == 203 ? 5 : 4)) return "info";
      if (body < 8) return "length";
      std::string block = msg.substr(msg.size() - 8);
      uint32_t sendLen = peers::GetBe32(block, 0), reqLen = peers::GetBe32(block, 4);
      if (body != sendLen + 8) return "length";
      if ((h.vector & 0x04) == 0 && sendLen != 0) return "vector";
      if ((h.vector & 0x08) == 0 && reqLen != 0) return "reqlen";
      if ((h.vector & 0x08) != 0 && (h.req != 203 || reqLen > 34048)) return "reqlen";
      if ((h.vector & 0x08) != 0 && l->snc && reqLen != kSncAsk) return "reqlen";
      return "ok";
    }
    default:
      return "request";
  }
}

void ServeRequest(Peer& p, Conn* c, const AppcHeader& h, const std::string& msg) {
  int hl = peers::AppcLen(c->version);
  std::string body = msg.substr(static_cast<size_t>(hl));
  if (c->type == 11) {
    switch (h.req) {
      case 209:
        if (c->reg == kRegInit) SetRegistration(c, kRegWaiting, "REGWAIT");
        MatchAllocs(p);
        return;
      case 210:
        if (c->leg != nullptr) {
          Leg* l = c->leg;
          EndLeg(p, l, kDeallocAbend, kNiReadFailed, "");
          l->conn = nullptr;
          c->leg = nullptr;
        }
        SetRegistration(c, kRegInit, "UNACCEPT");
        return;
      case 208:
        SetRegistration(c, kRegNone, "UNREGISTER");
        return;
      default:
        break;
    }
  }
  if (h.req == 1) {
    if (c->type == 3 && c->leg == nullptr) Initialise(p, c, h, body);
    return;
  }
  Leg* l = c->leg;
  if (l == nullptr || l->ended) return;
  size_t parLen = (h.info & 0x04) != 0 ? static_cast<size_t>(h.paramLen) : 0;
  if (parLen > body.size()) parLen = body.size();
  std::string block = body.substr(body.size() - parLen);
  std::string data = body.substr(0, body.size() - parLen);
  // With joinend, relayed data waits for the sender's next request, so
  // that its last data and its end reach the partner in one answer.
  const bool joinEnd = l->model == Leg::kRelay && Sw(p, "joinend", 0) != 0;
  switch (h.req) {
    case 5:
      Allocate(p, l, h);
      return;
    case 7:
    case 8: {
      Item it;
      it.data = data;
      ToPartner(p, l, std::move(it), !joinEnd);
      if (h.req == 7) AnswerSync(p, l, h, false);
      return;
    }
    case 9:
      GiveTurn(p, l);
      Receive(p, l, h, peers::GetBe32(h.area, 0));
      return;
    case 203:
    case 204: {
      uint32_t reqLen = block.size() == 8 ? peers::GetBe32(block, 4) : 0;
      if ((h.info2 & kSncInitPhase) != 0 && Sw(p, "tokenping", 0) != 0) {
        // A keep-alive reaches the sender of a token before its answer.
        Queue(c, peers::FrameEncode(peers::kNiPing), MsgSpec(), LogOut("OUT", "NIPING").Num("conn", c->id).str());
      }
      if (h.vector & 0x04) {
        Item it;
        it.data = data;
        ToPartner(p, l, std::move(it), (h.vector & 0x08) == 0 && !joinEnd);
      }
      if (h.vector & 0x08) {
        GiveTurn(p, l);
        Receive(p, l, h, reqLen);
      } else if (h.req == 203) {
        AnswerSync(p, l, h, true);
      }
      return;
    }
    case 205:
      AnswerSync(p, l, h, false);
      return;
    case 11:
      if (h.info & 0x10) {
        size_t errLen = std::min<size_t>(static_cast<size_t>(h.errLen), data.size());
        EndLeg(p, l, h.appcRc, h.weqRc, data.substr(0, errLen));
      } else {
        EndLeg(p, l, kDeallocNormal, 0, "");
      }
      return;
    case 213: {
      l->pending = false;
      l->inbox.clear();
      AppcHeader a = AnswerHeader(l, h);
      a.appcRc = kCancelRequest;
      Send(p, c, a, "", "", "cancelled");
      return;
    }
    default:
      return;
  }
}

void OnIdent(Peer& p, Conn* c, const std::string& tp) {
  if (c->type == 11) {
    c->regTp = tp;
    SetRegistration(c, kRegInit, "REGISTER");
    return;
  }
  if (c->type != 14) return;
  int counts[4] = {0, 0, 0, 0};
  for (auto& o : p.conns) {
    if (o->dead || o->reg == kRegNone || o->regTp != tp) continue;
    ++counts[0];
    ++counts[o->reg];
  }
  std::string answer(8, '\0');
  for (int i = 0; i < 4; ++i) peers::PutBe16(&answer, static_cast<size_t>(2 * i), static_cast<uint16_t>(counts[i]));
  answer.resize(static_cast<size_t>(Sw(p, "countlen", 8)), '\0');
  Queue(c, peers::FrameEncode(answer), MsgSpec(),
        LogOut("OUT", "COUNT")
            .Num("conn", c->id)
            .Text("tp", tp)
            .Num("total", counts[0])
            .Num("init", counts[1])
            .Num("waiting", counts[2])
            .Num("running", counts[3])
            .Num("len", static_cast<long long>(answer.size()))
            .str());
}

void OnConnEnd(Peer& p, Conn* c) {
  if (c->leg != nullptr) {
    Leg* l = c->leg;
    EndLeg(p, l, kDeallocAbend, kNiReadFailed, Record("connection to partner broken", kNiReadFailed));
    l->conn = nullptr;
    c->leg = nullptr;
  }
  if (c->reg != kRegNone) SetRegistration(c, kRegNone, "UNREGISTER");
}

int64_t ServeTimers(Peer& p) {
  int64_t now = NowMs(), next = -1;
  for (auto it = p.allocs.begin(); it != p.allocs.end();) {
    if (!Alive(it->leg)) {
      it = p.allocs.erase(it);
    } else if (it->due <= now) {
      NotRegistered(p, it->leg);
      it = p.allocs.erase(it);
    } else {
      if (next < 0 || it->due < next) next = it->due;
      ++it;
    }
  }
  return next;
}

void RegCancel(Peer& p, const KeyValues& kv) {
  for (auto& c : p.conns) {
    if (c->dead || c->reg != kRegWaiting) continue;
    if (kv.count("tp") && c->regTp != Str(kv, "tp")) continue;
    AppcHeader h;
    h.version = c->version;
    h.req = 211;
    h.protocol = 7;
    h.weqRc = static_cast<int32_t>(Num(kv, "weqrc", 731));
    h.commIdx = -1;
    Send(p, c.get(), h, "", "", "canctp");
  }
}

void RegPing(Peer& p, const KeyValues& kv) {
  for (auto& c : p.conns) {
    if (c->dead || c->reg != kRegWaiting) continue;
    if (Str(kv, "kind", "206") == "niping") {
      Queue(c.get(), peers::FrameEncode(peers::kNiPing), MsgSpec(),
            LogOut("OUT", "NIPING").Num("conn", c->id).str());
    } else {
      AppcHeader h;
      h.version = c->version;
      h.req = 206;
      h.protocol = 7;
      h.convId = "PING    ";
      h.commIdx = -1;
      Send(p, c.get(), h, "", "", "ping");
    }
  }
}

void ReleaseInits(Peer& p) {
  for (const auto& [l, a] : p.heldInits)
    if (Alive(l)) Send(p, l->conn, a, "", "", "initialised");
  p.heldInits.clear();
}

void Stats(Peer& p) {
  int regs = 0;
  for (auto& c : p.conns)
    if (!c->dead && c->reg != kRegNone) ++regs;
  Emit(LogOut("EVENT", "STATS")
           .Num("checked", p.checked)
           .Num("bad", p.bad)
           .Num("legs", static_cast<long long>(p.legs.size()))
           .Num("registrations", regs)
           .Num("allocs", static_cast<long long>(p.allocs.size())));
}

}  // namespace gwpeer
