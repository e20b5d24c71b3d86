// SNC on conversations over the test GSS-API library: the settings that the
// environment completes, the requests of a protected conversation as the
// gateway sees them, the establishment through token messages, protection
// levels, the piecewise delivery of a large message, held data, the raw
// trace, each failing GSS-API step, the three questions about the partner
// and the SNC part of a handover.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "krn/cpic/cpic_snc_fixture.h"

namespace {

using cpicsnctest::Block;
using cpicsnctest::kServerName;
using cpictest::ConvId;
using cpictest::ErrFld;
using cpictest::Received;

class CpicSnc : public cpicsnctest::SncConversation {
 protected:
  // The requests of the peer's log up to now, in order.
  std::vector<peers::LogLine> Requests() {
    EXPECT_EQ(Bad(), 0) << BadLines();
    std::vector<peers::LogLine> out;
    for (const peers::LogLine& l : peer().log().lines())
      if (l.dir == "IN" && l.kind == "APPC") out.push_back(l);
    return out;
  }
  // The client's part of the plain road: send, receive the reply, end.
  static void AskAndEnd(ConvId& c, const std::string& ask, std::string* reply) {
    int32_t len = static_cast<int32_t>(ask.size()), rts = 0;
    EXPECT_EQ(STSEND(c, ask.data(), &len, &rts, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
    std::string buf(32000, '\0');
    int32_t req = 32000, dr = -1, got = -1, st = -1;
    EXPECT_EQ(STRCV(c, buf.data(), &req, &dr, &got, &st, &rts, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
    if (got > 0) *reply = buf.substr(0, static_cast<size_t>(got));
    EXPECT_EQ(STDEAL(c, nullptr), CM_OK);
  }
  // The server's part: receive, answer, receive the end.
  void Answer(ConvId& acc, const std::string& want, const std::string& reply) {
    Received r = Receive(acc);
    EXPECT_EQ(r.rc, CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(r.data, want);
    EXPECT_EQ(Send(acc, reply), CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(Receive(acc).rc, CM_DEALLOCATED_NORMAL);
  }
};

// The block completed from the environment: quotes, role texts, modes that
// wrap or are refused, a name too long for its field.
TEST_F(CpicSnc, EnvironmentCompletesTheBlock) {
  ASSERT_EQ(STIAllocConvMem(4), CM_OK);
  int32_t index = -1;
  ASSERT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
  CPIC_CONV_ENTRY* e = STIConvAt(index);
  CPIC_SNC_PARAMS& p = *e->f.sncParams;
  struct Case {
    const char* mode;
    const char* role;
    uint8_t wantMode, wantRole;
    CM_RETURN_CODE rc;
  };
  const Case cases[] = {
      {"1", "INITIATOR", 1, 1, CM_OK},      {"257", "2", 1, 2, CM_OK},
      {"1", "initiator", 1, 0, CM_OK},      {"0", "2", 0, 0, CM_OK},
      {"3", "2", 3, 0, CM_PARAMETER_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + "/" + c.role);
    p = Block(2);
    setenv("SNC_MODE", c.mode, 1);
    setenv("SNC_ROLE", c.role, 1);
    setenv("SNC_QOP", "258", 1);
    setenv("SNC_PARTNERNAME", "p:CN=partner", 1);
    EXPECT_EQ(STISncGetEnv(e), c.rc);
    EXPECT_EQ(p.mode, c.wantMode);
    EXPECT_EQ(p.role, c.wantRole);
    if (c.rc != CM_OK) {
      EXPECT_EQ(ErrFld(ERR_FLD_RC), "769");
      EXPECT_EQ(p.partnerName[0], 0) << "read after a refused mode";
    } else if (c.wantMode == 1) {
      EXPECT_EQ(std::u16string(p.partnerName), u"p:CN=partner");
      EXPECT_EQ(p.qop, 2);
    }
  }
  // Values of the block stay; a name of 300 characters leaves its field
  // empty, and the initiator then fails to start.
  p = Block(1, u"p:given", 1, 1);
  setenv("SNC_MYNAME", std::string(300, 'x').c_str(), 1);
  EXPECT_EQ(STISncGetEnv(e), CM_OK);
  EXPECT_EQ(std::u16string(p.partnerName), u"p:given");
  EXPECT_EQ(p.qop, 1);
  EXPECT_EQ(p.myName[0], 0);
  p = Block(1);
  setenv("SNC_PARTNERNAME", std::string(300, 'y').c_str(), 1);
  EXPECT_EQ(STISncGetEnv(e), CM_OK);
  EXPECT_EQ(p.partnerName[0], 0);
  EXPECT_EQ(STISncSetUpInit(e, nullptr), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(e->f.sncState, 2);
  EXPECT_EQ(e->f.sncHdl, nullptr);
  EXPECT_EQ(ctl_->liveCreds + ctl_->liveNames + ctl_->liveContexts, 0) << "the failed set-up left its session";
  // Quotes around a name are dropped; a leading one alone loses only itself.
  cpictest::TraceFile trace(e, 2);
  for (const char16_t* name : {u"\"p:host/server\"", u"\"p:host/server"}) {
    p = Block(1, name);
    EXPECT_EQ(STISncSetUpInit(e, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(e->f.sncState, 1);
    EXPECT_EQ(STISncDone(e), 0);
  }
  EXPECT_TRUE(trace.Has("STISncInit: strip off quotes SNC_PARTNERNAME"));
  EXPECT_TRUE(trace.Has("STISncInit: set snc state to SNC_ENABLED"));
  for (const char* v : cpicsnctest::kSncVars) unsetenv(v);
  setenv("SNC_LIB", kLib, 1);
  STIResetConv(e, true);
}

// The requests of a protected conversation as the gateway sees them: the
// initialise marks the SNC start, tokens travel in messages of their own
// with the token and an 8-byte block, every data request is marked, every
// receive asks for the most a protected message holds; the data never
// travels in the clear. Both sides establish: the client on its first
// send, the server on its first answer.
// At each protection level the initiator asks for, its session uses that
// level.
TEST_F(CpicSnc, RequestsOfAProtectedConversation) {
  for (uint8_t q : {3, 2, 1}) {
    SCOPED_TRACE(static_cast<int>(q));
    StartPeer();
    std::string reply;
    int32_t used = -1;
    const std::string ask = Pattern(200);
    ASSERT_EQ(Road(
                  Block(1), Block(1, kServerName, q),
                  [&](ConvId& c) {
                    used = snctest::S(static_cast<SNC_HDL>(Entry(c)->f.sncHdl))->qopUse;
                    AskAndEnd(c, ask, &reply);
                  },
                  [&](ConvId& acc) { Answer(acc, ask, "the answer"); }),
              CM_OK)
        << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(reply, "the answer");
    EXPECT_EQ(used, q);
    int tokens = 0, data = 0, receives = 0, inits = 0;
    for (const peers::LogLine& l : Requests()) {
      long req = l.num("req");
      long info2 = l.num("info2");
      std::string area = l.get("area").substr(0, 8);
      if (req == 1) {
        ++inits;
        EXPECT_EQ(info2 & 0x28, 0x20) << l.raw;
      } else if (info2 == 0x28) {
        ++tokens;
        EXPECT_EQ(req, 203) << l.raw;
        EXPECT_EQ(l.num("info"), 0x05);
        EXPECT_EQ(l.num("vector"), 0x0C);
        EXPECT_EQ(l.num("uid"), -1);
        EXPECT_EQ(area, "00008500");
        EXPECT_EQ(l.num("len"), l.num("datalen") + 88) << "token, header and block";
        EXPECT_GT(l.num("datalen"), 0);
      } else if (req == 7 || req == 8 || req == 203 || req == 204) {
        ++data;
        EXPECT_EQ(info2, 0x08) << l.raw;
        // At privacy the data never travels in the clear.
        std::string sent = peers::FromHex(l.get("data"));
        if (q == 3) {
          EXPECT_EQ(sent.find(ask.substr(0, 40)), std::string::npos) << "plain data on the wire";
          EXPECT_EQ(sent.find("the answer"), std::string::npos) << "plain data on the wire";
        }
        if (l.num("vector") & 0x08) {
          ++receives;
          EXPECT_EQ(l.num("p.reqlen"), 34048) << l.raw;
        }
      } else if (req == 9) {
        ++receives;
        EXPECT_EQ(area, "00008500") << l.raw;
      }
    }
    EXPECT_EQ(inits, 1);
    EXPECT_GE(tokens, 2) << "the initiator's token and the acceptor's answer";
    EXPECT_EQ(data, 2);
    EXPECT_GE(receives, 2);
    peer_.reset();
  }
}

// A 32,000-byte message read in pieces of 1, 1000 and 32000 bytes: every
// piece but the last says more is to come; the last carries the message's
// own results, 18 when the partner's end came with it, and only then is
// the conversation released.
TEST_F(CpicSnc, LargeMessageInPieces) {
  const std::string big = Pattern(32000);
  for (int32_t piece : {1, 1000, 32000}) {
    SCOPED_TRACE(piece);
    StartPeer();
    ASSERT_TRUE(peer().Control("switch joinend=1"));
    std::string got;
    std::vector<int32_t> marks;
    CM_RETURN_CODE last = -1;
    ASSERT_EQ(Road(
                  Block(1), Block(1, kServerName),
                  [&](ConvId& c) {
                    EXPECT_EQ(Send(c, "give"), CM_OK);
                    for (int i = 0; i < 40000; ++i) {
                      Received r = Receive(c, piece);
                      got += r.data;
                      marks.push_back(r.dataReceived);
                      if (r.rc != CM_OK) {
                        last = r.rc;
                        break;
                      }
                    }
                  },
                  [&](ConvId& acc) {
                    EXPECT_EQ(Receive(acc).data, "give");
                    EXPECT_EQ(Send(acc, big), CM_OK);
                    EXPECT_EQ(STDEAL(acc, nullptr), CM_OK);
                  }),
              CM_OK);
    EXPECT_EQ(last, CM_DEALLOCATED_NORMAL);
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big) << "the pieces differ from the message";
    ASSERT_FALSE(marks.empty());
    EXPECT_EQ(marks.back(), CM_COMPLETE_DATA_RECEIVED);
    EXPECT_EQ(marks.size(), static_cast<size_t>((32000 + piece - 1) / piece));
    for (size_t i = 0; i + 1 < marks.size(); ++i) ASSERT_EQ(marks[i], CM_INCOMPLETE_DATA_RECEIVED) << i;
    peer_.reset();
  }
}

// A listen while a message is partly delivered is refused (the rest is to
// be received first), and the rest stays for the next receive.
TEST_F(CpicSnc, ListenWhileAMessageIsPartlyDelivered) {
  const std::string msg = Pattern(100);
  StartPeer();
  std::string got;
  CM_RETURN_CODE listen = -1, last = -1;
  ASSERT_EQ(Road(
                Block(1), Block(1, kServerName),
                [&](ConvId& c) {
                  EXPECT_EQ(Send(c, "give"), CM_OK);
                  Received first = Receive(c, 10);
                  EXPECT_EQ(first.dataReceived, CM_INCOMPLETE_DATA_RECEIVED);
                  got = first.data;
                  listen = WEQ_CMLISTEN3(c, nullptr, nullptr);
                  EXPECT_EQ(ErrFld(ERR_FLD_RC), "471");
                  for (int i = 0; i < 10; ++i) {
                    Received r = Receive(c);
                    got += r.data;
                    if (r.rc != CM_OK) {
                      last = r.rc;
                      break;
                    }
                  }
                },
                [&](ConvId& acc) {
                  EXPECT_EQ(Receive(acc).data, "give");
                  EXPECT_EQ(Send(acc, msg), CM_OK);
                  EXPECT_EQ(STDEAL(acc, nullptr), CM_OK);
                }),
            CM_OK);
  EXPECT_EQ(listen, CM_PROGRAM_STATE_CHECK);
  EXPECT_TRUE(got == msg) << got.size() << " bytes";
  EXPECT_EQ(last, CM_DEALLOCATED_NORMAL);
}

// Data held in the message buffer goes out protected and unchanged after
// the token exchange that used the same buffer: the held first block sent
// with the receive, and a held block flushed by the deallocate.
TEST_F(CpicSnc, HeldDataSurvivesTheTokenExchange) {
  Restart({{"CPIC_BUFFERING", "1"}});
  const std::string held = Pattern(3000);
  for (bool flushByDeallocate : {false, true}) {
    SCOPED_TRACE(flushByDeallocate);
    StartPeer();
    std::string reply;
    ASSERT_EQ(Road(
                  Block(1), Block(1, kServerName),
                  [&](ConvId& c) {
                    if (flushByDeallocate) {
                      EXPECT_EQ(Send(c, held), CM_OK);
                      EXPECT_EQ(STDEAL(c, nullptr), CM_OK);
                    } else {
                      AskAndEnd(c, held, &reply);
                    }
                  },
                  [&](ConvId& acc) {
                    Received r = Receive(acc);
                    EXPECT_EQ(r.rc, flushByDeallocate ? CM_OK : CM_OK) << ErrFld(ERR_FLD_ERROR);
                    EXPECT_TRUE(r.data == held) << "held data changed on its way";
                    if (!flushByDeallocate) {
                      EXPECT_EQ(Send(acc, "ok"), CM_OK);
                    }
                    EXPECT_EQ(Receive(acc).rc, CM_DEALLOCATED_NORMAL);
                  }),
              CM_OK);
    if (!flushByDeallocate) {
      EXPECT_EQ(reply, "ok");
    }
    peer_.reset();
  }
}

// The partner's last data and its normal end in one answer, and that
// answer is the one to the server's token: the client ends right after the
// send that established its context. The server gets the data whole,
// unprotected, in pieces of the length it asks for, with 18 on the last
// piece only; then the conversation is gone and no security context
// outlives it. Held data flushed by the deallocate and data sent at once.
TEST_F(CpicSnc, PartnersEndWithItsDataAnswersAToken) {
  struct Case {
    const char* buffering;
    size_t size;
    int32_t piece;
  };
  const Case cases[] = {{"1", 3000, 1000}, {"0", 32000, 32000}, {"0", 5000, 7}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string("buffering ") + k.buffering + ", piece " + std::to_string(k.piece));
    Restart({{"CPIC_BUFFERING", k.buffering}});
    StartPeer();
    ASSERT_TRUE(peer().Control("switch joinend=1"));
    const std::string sent = Pattern(k.size);
    std::string got;
    std::vector<int32_t> marks;
    CM_RETURN_CODE last = -1, after = -1;
    ASSERT_EQ(Road(
                  Block(1), Block(1, kServerName),
                  [&](ConvId& c) {
                    EXPECT_EQ(Send(c, sent), CM_OK) << ErrFld(ERR_FLD_ERROR);
                    EXPECT_EQ(STDEAL(c, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
                  },
                  [&](ConvId& acc) {
                    for (size_t i = 0; i <= k.size; ++i) {
                      Received r = Receive(acc, k.piece);
                      got += r.data;
                      marks.push_back(r.dataReceived);
                      if (r.rc != CM_OK) {
                        last = r.rc;
                        break;
                      }
                    }
                    after = Receive(acc).rc;
                  }),
              CM_OK);
    EXPECT_EQ(last, CM_DEALLOCATED_NORMAL) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(after, CM_PARAMETER_ERROR) << "the conversation outlived its end";
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "the partner's last data differs from what it sent";
    ASSERT_EQ(marks.size(), (k.size + static_cast<size_t>(k.piece) - 1) / static_cast<size_t>(k.piece));
    EXPECT_EQ(marks.back(), CM_COMPLETE_DATA_RECEIVED);
    for (size_t i = 0; i + 1 < marks.size(); ++i) ASSERT_EQ(marks[i], CM_INCOMPLETE_DATA_RECEIVED) << i;
    // The joined answer went to the server's token message.
    peers::LogLine joined = peer().Wait("OUT", "APPC", 3000, "appcrc", "18");
    EXPECT_GT(joined.num("datalen"), 0) << joined.raw;
    long asked = -1;
    for (const peers::LogLine& l : peer().log().lines()) {
      if (l.raw == joined.raw) break;
      if (l.dir == "IN" && l.kind == "APPC" && l.get("conn") == joined.get("conn")) asked = l.num("info2");
    }
    EXPECT_EQ(asked, 0x28) << "the data and end did not answer a token";
    EXPECT_EQ(ctl_->liveContexts, 0);
    EXPECT_EQ(STIActiveConvs(), 0);
    peer_.reset();
  }
  Restart({});
}

// Conditions that must not disturb a protected road: the raw trace on
// (a protected message is still unprotected for the caller), a keep-alive
// of the gateway while a conversation of the select set waits for the
// answer to its token (the exchange reads on), and a gateway of the
// 138-byte header (the answer's data starts behind it).
TEST_F(CpicSnc, RawTraceKeepAliveAndLongHeader) {
  for (const char* what : {"raw", "keep-alive", "header 4"}) {
    SCOPED_TRACE(what);
    const std::string w = what;
    if (w == "raw") Restart({{"CPIC_TRACE_RAW", "1"}});
    StartPeer(w == "header 4" ? std::vector<std::string>{"--hdr-version", "4"} : std::vector<std::string>{});
    if (w == "keep-alive") {
      ASSERT_TRUE(peer().Control("switch tokenping=1"));
    }
    std::string reply;
    ASSERT_EQ(Road(
                  Block(1), Block(1, kServerName), [&](ConvId& c) { AskAndEnd(c, "still", &reply); },
                  [&](ConvId& acc) { Answer(acc, "still", "plain again"); }),
              CM_OK);
    EXPECT_EQ(reply, "plain again");
    if (w == "keep-alive") {
      EXPECT_EQ(peer().Wait("OUT", "NIPING").dir, "OUT");
    }
    peer_.reset();
    Restart({});
  }
}

// Failures on the road: each GSS-API step failing in turn, a token too
// long for a gateway request with its block (error 240, nothing sent), an
// initiator whose step continues without a token (nothing to send and
// nothing to wait for: no asking again for ever). The side it happens on
// gets 20, its partner learns why (766 with CPI-C code 6), and nothing of
// the library stays alive.
TEST_F(CpicSnc, FailuresOnTheRoad) {
  struct Case {
    const char* name;
    int fn;
    bool serverSide;    // it happens on the server
    unsigned long pad;  // bytes added to the initiator's token
    int emptyContinue;  // steps that continue give no token
    const char* errRc;  // the client's error, when it is known
  };
  // The client initiates, wraps the question and unwraps the answer; the
  // server accepts, unwraps and wraps.
  const Case cases[] = {
      {"init", kFnInit, false, 0, 0, ""},
      {"accept", kFnAccept, true, 0, 0, ""},
      {"client wrap", kFnWrap, false, 0, 0, ""},
      {"server unwrap", kFnUnwrap, true, 0, 0, ""},
      {"token too long", 0, false, 40000, 0, "240"},
      {"no token", 0, false, 0, 1, ""},
  };
  Restart({{"CPIC_BUFFERING", "0"}});
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    StartPeer();
    ResetCtl();
    ctl_->failFn = k.fn;
    ctl_->failAt = 1;
    ctl_->initPad = k.pad;
    ctl_->emptyContinue = k.emptyContinue;
    ctl_->rounds = k.emptyContinue ? 2 : 1;
    CM_RETURN_CODE clientRc = -1, serverRc = -1;
    std::string errRc;
    Road(
        Block(1), Block(1, kServerName),
        [&](ConvId& c) {
          int32_t len = 4, rts = 0;
          clientRc = STSEND(c, "fail", &len, &rts, nullptr);
          errRc = ErrFld(ERR_FLD_RC);
          if (clientRc == CM_OK) clientRc = Receive(c).rc;
          STDEAL(c, nullptr);
        },
        [&](ConvId& acc) {
          serverRc = Receive(acc).rc;
          if (serverRc == CM_OK) Receive(acc);
          STDEAL(acc, nullptr);
        });
    EXPECT_EQ(k.serverSide ? serverRc : clientRc, CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(k.serverSide ? clientRc : serverRc, CM_SECURITY_NOT_VALID);
    if (k.errRc[0] != 0) {
      EXPECT_EQ(errRc, k.errRc);
    }
    gwtest::ExpectFields(peer().Wait("IN", "APPC", 3000, "req", "11"), {{"appcrc", "6"}, {"weqrc", "766"}});
    if (k.pad != 0) {
      for (const peers::LogLine& l : Requests()) EXPECT_NE(l.num("info2"), 0x28) << "a token went out";
    }
    EXPECT_EQ(ctl_->liveContexts, 0);
    EXPECT_EQ(STIActiveConvs(), 0);
    peer_.reset();
  }
}

// The three questions about the partner: the mode on both sides, the
// partner's name and ACL key, and buffers exactly one unit or byte short.
TEST_F(CpicSnc, QuestionsAboutThePartner) {
  StartPeer();
  std::u16string serverSees, clientSees;
  std::string key;
  ASSERT_EQ(Road(
                Block(1), Block(1, kServerName),
                [&](ConvId& c) {
                  std::string reply;
                  AskAndEnd(c, "who", &reply);
                },
                [&](ConvId& acc) {
                  uint8_t mode = 9;
                  EXPECT_EQ(WEQ_CMSNCMODE(acc, &mode, nullptr), CM_OK);
                  EXPECT_EQ(mode, 1);
                  // Before the context exists the partner is unknown.
                  WEQ_UC name[300];
                  EXPECT_EQ(WEQ_CMSNCNAME(acc, name, 300, nullptr), CM_PRODUCT_SPECIFIC_ERROR);
                  Received r = Receive(acc);
                  EXPECT_EQ(r.data, "who");
                  ASSERT_EQ(WEQ_CMSNCNAME(acc, name, 300, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
                  serverSees = name;
                  int32_t n = static_cast<int32_t>(serverSees.size());
                  EXPECT_EQ(WEQ_CMSNCNAME(acc, name, n, nullptr), CM_PRODUCT_SPECIFIC_ERROR);
                  EXPECT_EQ(ErrFld(ERR_FLD_RC), "770");
                  EXPECT_EQ(WEQ_CMSNCNAME(acc, name, n + 1, nullptr), CM_OK);
                  uint8_t buf[512];
                  uint32_t keyLen = 0;
                  ASSERT_EQ(WEQ_CMACLKEY(acc, buf, 512, &keyLen, nullptr), CM_OK);
                  key.assign(reinterpret_cast<char*>(buf), keyLen);
                  uint32_t again = 0;
                  EXPECT_EQ(WEQ_CMACLKEY(acc, buf, static_cast<int32_t>(keyLen) - 1, &again, nullptr),
                            CM_PRODUCT_SPECIFIC_ERROR);
                  EXPECT_EQ(ErrFld(ERR_FLD_RC), "770");
                  EXPECT_EQ(again, keyLen) << "the length that would be needed";
                  EXPECT_EQ(WEQ_CMACLKEY(acc, buf, static_cast<int32_t>(keyLen), &again, nullptr), CM_OK);
                  EXPECT_EQ(WEQ_CMACLKEY(acc, buf, 512, nullptr, nullptr), CM_PARAMETER_ERROR);
                  EXPECT_EQ(Send(acc, "you"), CM_OK);
                  EXPECT_EQ(Receive(acc).rc, CM_DEALLOCATED_NORMAL);
                }),
            CM_OK);
  EXPECT_EQ(tovtest::ToUtf8(serverSees), "p:user@TEST.REALM");
  ASSERT_GT(key.size(), strlen("user@TEST.REALM"));
  EXPECT_EQ(key.substr(key.size() - strlen("user@TEST.REALM")), "user@TEST.REALM") << "the exported name ends the key";
  // A conversation without SNC: mode 0, no name (765).
  StartPeer();
  ConvId plain;
  ASSERT_EQ(Open(plain, u"sink"), CM_OK);
  uint8_t mode = 9;
  EXPECT_EQ(WEQ_CMSNCMODE(plain, &mode, nullptr), CM_OK);
  EXPECT_EQ(mode, 0);
  WEQ_UC name[64];
  EXPECT_EQ(WEQ_CMSNCNAME(plain, name, 64, nullptr), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(ErrFld(ERR_FLD_RC), "765");
  EXPECT_EQ(WEQ_CMSNCMODE(nullptr, &mode, nullptr), CM_PARAMETER_ERROR);
  EXPECT_EQ(WEQ_CMSNCMODE(plain, nullptr, nullptr), CM_PARAMETER_ERROR);
  EXPECT_EQ(STDEAL(plain, nullptr), CM_OK);
}

// The accept takes the names, level, mode and role the handover's SNC part
// brings for every field its block leaves open. A server that initiates
// establishes on its first send, its client (the acceptor) on the answer
// to its first receive.
TEST_F(CpicSnc, HandoverPartGivesTheServersSettings) {
  StartPeer();
  ASSERT_TRUE(peer().Control("switch sncpartner=p:host/server sncmyname=p:user sncqop=2 sncrole=1"));
  CPIC_SNC_PARAMS seen{};
  std::string first;
  ASSERT_EQ(Road(
                Block(2), Block(1, u"", 0, 2),
                [&](ConvId& c) {
                  Received r = Receive(c);
                  EXPECT_EQ(r.rc, CM_OK) << ErrFld(ERR_FLD_ERROR);
                  first = r.data;
                  EXPECT_EQ(Send(c, "back"), CM_OK);
                  EXPECT_EQ(STDEAL(c, nullptr), CM_OK);
                },
                [&](ConvId& acc) {
                  seen = *Entry(acc)->f.sncParams;
                  Received turn = Receive(acc);
                  EXPECT_EQ(turn.rc, CM_OK) << ErrFld(ERR_FLD_ERROR);
                  EXPECT_EQ(turn.status, CM_SEND_RECEIVED);
                  EXPECT_EQ(turn.length, 0);
                  EXPECT_EQ(Send(acc, "server first"), CM_OK) << ErrFld(ERR_FLD_ERROR);
                  Received r = Receive(acc);
                  EXPECT_EQ(r.data, "back");
                  if (r.rc == CM_OK) {
                    EXPECT_EQ(Receive(acc).rc, CM_DEALLOCATED_NORMAL);
                  }
                }),
            CM_OK)
      << ErrFld(ERR_FLD_ERROR);
  EXPECT_EQ(std::u16string(seen.partnerName), u"p:host/server");
  EXPECT_EQ(std::u16string(seen.myName), u"p:user");
  EXPECT_EQ(seen.qop, 2);
  EXPECT_EQ(seen.mode, 1);
  EXPECT_EQ(seen.role, 1);
  EXPECT_EQ(first, "server first");
}

// A connect that fails after SNC was set up: the initialise reports it and
// the session it made is gone with the entry.
TEST_F(CpicSnc, FailedConnectLeavesNoSession) {
  StartPeer();
  serv_ = u"1";  // nothing listens there
  for (int i = 0; i < 3; ++i) {
    ConvId c;
    CPIC_SNC_PARAMS b = Block(1, kServerName);
    EXPECT_NE(Init(c, u"SERVER", u"partner", u'I', -1, &b), CM_OK);
    EXPECT_EQ(STIActiveConvs(), 0);
    EXPECT_EQ(ctl_->liveCreds + ctl_->liveNames + ctl_->liveContexts, 0) << "attempt " << i;
  }
}

}  // namespace
