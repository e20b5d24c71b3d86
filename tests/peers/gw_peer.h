// gw_peer's parts shared by its sources: the connections with their queues
// of outgoing chunks (gw_peer.cpp), and the gateway's conversations: the
// legs of client conversations with their partner models, the registry of
// registered server programs and the relay between a client's leg and a
// registration's (gw_peer_conv.cpp).
#ifndef TESTS_PEERS_GW_PEER_H
#define TESTS_PEERS_GW_PEER_H

#include <stdint.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "peers/gwcodec.h"
#include "peers/niframe.h"
#include "peers/peerlog.h"

namespace gwpeer {

using peers::AppcHeader;
using peers::LogOut;
using KeyValues = std::map<std::string, std::string>;

int64_t NowMs();
void Emit(const LogOut& l);
long Num(const KeyValues& kv, const char* key, long def);
std::string Str(const KeyValues& kv, const char* key, const std::string& def = "");

struct ConnSettings {
  int hdrVersion = 6;
  int acceptInfo = 0;
  std::string codePage = "    ";
  bool echo = false;
  long error = 0;
  std::string errorText;
  long errorSize = 0;
  std::string fault = "none";
  int delayMs = 3000;
  long answerLen = -1;  // cut or padded (with 'L') to this length
};

// One message of a rule or an injection.
struct MsgSpec {
  std::string kind;
  KeyValues kv;
};

struct Rule {
  int req = -1;         // -1: any
  long remaining = -1;  // -1: every
  std::vector<MsgSpec> msgs;
};

enum class Phase { kConnect, kEcho, kIdent, kAppc, kDone };

// What goes out, in order: bytes, or the end of the connection.
struct Chunk {
  int64_t due = 0;
  enum { kWrite, kClose, kReset } action = kWrite;
  std::string bytes;
  std::string log;  // written to the log once the chunk is out
};

struct Leg;

// Registration states of a connection of type 11.
enum RegState { kRegNone = 0, kRegInit = 1, kRegWaiting = 2, kRegRunning = 3 };

struct Conn {
  int id = 0;
  int inFd = -1;   // where the client's messages arrive
  int outFd = -1;  // where the gateway's go (the same socket but after the old connect)
  Phase phase = Phase::kConnect;
  int version = 6;
  int type = 0;
  std::string answer;
  peers::FrameParser parser;
  std::deque<Chunk> out;
  AppcHeader last;  // the last request, the base of answers
  bool dead = false;
  int acceptInfo = 0;  // what the connect answer accepted
  // A registration: its TP name and state.
  std::string regTp;
  RegState reg = kRegNone;
  int64_t regSince = 0;  // when the registration last began to wait
  // The conversation that runs on the connection now.
  Leg* leg = nullptr;
};

// What one side of a conversation has to receive.
struct Item {
  enum Kind { kData, kTurn, kEnd } kind = kData;
  std::string data;
  int32_t appcRc = 0, weqRc = 0;
  std::string err;  // an error record behind the header
};

// The gateway's side of one conversation on one connection: a client's
// (from its initialise on) or a registered server program's (from the
// handover on). Its partner is a model of the program allocated, or the
// other leg of a relay.
struct Leg {
  enum Model { kEcho, kSink, kDealloc, kError, kSource, kRelay };
  Conn* conn = nullptr;  // none once the connection ended
  Leg* partner = nullptr;
  Model model = kEcho;
  bool server = false;
  std::string gwId;      // ConvId of every message of the leg
  int connIdx = -1;      // ConnIdx the leg expects
  uint32_t value = 0;    // header bytes 22-25 the leg expects next
  int protocol = 0;
  int trace = 0;         // the initialise's trace byte
  std::string tp;        // the TP name allocated
  size_t sourceSize = 0;  // a source's data per receive
  std::string dtRecord;  // 45 bytes
  bool allocated = false;
  bool ended = false;
  bool snc = false;      // protected: the initialise or the handover had SNC_INIT_PHASE
  bool turn = false;     // the leg may send: a receive of it gives the turn to the partner
  std::deque<Item> inbox;
  bool pending = false;  // a receive waits for its answer
  AppcHeader pendingHdr;
  uint32_t pendingLen = 0;
};

struct PendingAlloc {
  Leg* leg;
  int64_t due;
};

struct Peer {
  ConnSettings settings;
  std::vector<Rule> rules;
  std::vector<std::unique_ptr<Conn>> conns;
  int nextId = 1;
  bool quit = false;
  bool quiet = false;  // logs no APPC line but a failed check
  KeyValues sw;        // the switches of the control line 'switch'
  std::vector<std::unique_ptr<Leg>> legs;
  std::deque<PendingAlloc> allocs;
  // Answers to initialises that the switch holdinit keeps until 'release'.
  std::vector<std::pair<Leg*, AppcHeader>> heldInits;
  uint32_t nextGwId = 10000001;
  int nextConnIdx = 101;
  long checked = 0, bad = 0;
};

// A switch's value (numbers as strtol reads them).
long Sw(const Peer& p, const char* key, long def);

void CloseConn(Conn* c, bool reset);
// Queues a framed message in pieces after what is queued: delay before the
// first piece, pause between the pieces.
void Queue(Conn* c, const std::string& bytes, const MsgSpec& m, const std::string& log);
void QueueEnd(Conn* c, const MsgSpec& m, bool reset);
// The answer's base: the request's code, protocol, id, request value and
// ConnIdx; every other field 0.
AppcHeader AnswerBase(const Conn& c);
// Queues one message of a rule or injection; base is the answer's header.
void SendMsg(Conn* c, const MsgSpec& m, const AppcHeader& base);

// --- Conversations (gw_peer_conv.cpp) ------------------------------------------------

// The strict check of a request: "ok", or the first field that is wrong;
// "none" for a connection without a conversation or registration.
std::string CheckRequest(Peer& p, Conn* c, const AppcHeader& h, const std::string& msg);
// Serves a request that no rule answered.
void ServeRequest(Peer& p, Conn* c, const AppcHeader& h, const std::string& msg);
// After the identification block: a registration, or the count answer.
void OnIdent(Peer& p, Conn* c, const std::string& tp);
// A connection ended: its conversation's partner learns it, its
// registration is gone.
void OnConnEnd(Peer& p, Conn* c);
// Answers allocates whose wait for a registration ran out; the time of the
// next such answer, or -1.
int64_t ServeTimers(Peer& p);
// Control lines: 'regcancel' (211 to waiting registrations) and 'regping'
// (a ping to them); 'release' (the held answers to initialises); 'stats'.
void RegCancel(Peer& p, const KeyValues& kv);
void RegPing(Peer& p, const KeyValues& kv);
void ReleaseInits(Peer& p);
void Stats(Peer& p);

}  // namespace gwpeer

#endif
