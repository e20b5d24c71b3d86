// Internals of the NI select sets, for the NI sources and their tests.
//
// A set holds one socket select set (its SISEL_IMPL base) and a position
// table parallel to it: for every socket position the NI handle that put
// the socket there, and links of two lists. The select list holds the
// positions the last select found ready, and plain handles that hold the
// bytes of a whole message in the handle (their socket shows nothing to
// read); the ready list holds buffered handles whose readiness the
// buffered layer reports without a socket event, and lives across selects. A position is in at most one list.
// Lists are doubly linked through the table, newest at the head; 0xFFFF is
// no position.
//
// A set belongs to the one thread that waits on it: nothing here is locked.
// It reads handle records without "NI hdl section", which is why a handle in
// a set is closed only by that thread.
#ifndef KRN_NI_NISEL_INT_H
#define KRN_NI_NISEL_INT_H

#include <stdint.h>

#include "krn/ni/ni.h"
#include "krn/ni/nixx_int.h"
#include "krn/si/sisel/sisel.h"

class NISEL_IMPL : public NISEL, public SISEL_IMPL {
 public:
  static constexpr uint16_t kNoPos = 0xFFFF;
  enum : uint8_t { kSelList = 0, kReadyList = 1, kNoList = 0xFF };

  struct POS_ENTRY {
    int32_t hdl;    // -1: free
    uint16_t next;  // towards the tail of its list
    uint16_t prev;
    uint8_t list;   // kSelList, kReadyList or kNoList
  };

  // The socket set's view of positions, kept in step with the table.
  class CB_FUNCS_IMPL : public SISEL_SPEC::CB_FUNCS {
   public:
    explicit CB_FUNCS_IMPL(NISEL_IMPL* set) : mSet(set) {}
    void CreateMsg(uint32_t entries) override;
    void AddMsg(uint32_t pos) override;
    void MoveMsg(uint32_t from, uint32_t to) override;
    void RemoveMsg(uint32_t pos) override;
    void ResetMsg() override;
    void StorePos(uint32_t pos) override;
    void DumpPos(CTRC_HDL hdl, int32_t pos) override;

   private:
    NISEL_IMPL* mSet;
  };

  NISEL_IMPL();
  ~NISEL_IMPL() override;

  NI_RC NiSelIInit(int32_t maxSockets) override;
  NI_RC NiSelISet(NI_HDL hdl, uint8_t mode, void* pData, uint8_t replace) override;
  NI_RC NiSelIClear(NI_HDL hdl, uint8_t mode) override;
  NI_RC NiSelIRemove(NI_HDL hdl, uint8_t mayCompact) override;
  NI_RC NiSelIRemoveAll() override;
  NI_RC NiSelISelect(int32_t timeout, uint32_t* pCount) override;
  NI_RC NiSelIStartLoop() override;
  NI_RC NiSelINext(uint8_t* pRead, uint8_t* pWrite, uint8_t* pConnect, NI_HDL* pHdl, void** ppData) override;
  NI_RC NiSelINext2(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, uint8_t* pConnect, SI_SOCKET** ppSock,
                    NI_HDL* pHdl, void** ppData) override;
  NI_RC NiSelIGetMode(NI_HDL hdl, uint8_t* pMode) override;
  NI_RC NiSelIGetStat(NI_HDL hdl, uint8_t* pStat) override;
  uint32_t NiSelIGetMaxEntries() override;
  bool NiSelIIsMember(NI_HDL hdl) override;
  NI_RC NiSelIGetData(NI_HDL hdl, void** ppData) override;
  NI_RC NiSelISetData(NI_HDL hdl, void* pData) override;
  NI_RC NiSelIDump(CTRC_HDL hdl) override;
  uint32_t NiSelIGetErrCount() override { return mErrCount; }
  // One attempt of a select; *pRecall asks for another (ready sockets, no
  // handle to report).
  virtual NI_RC NiSelISelectInt(int32_t timeout, uint32_t* pCount, bool* pRecall);

  // The list operations; the buffered layer keeps its handles in the ready
  // list with them.
  void NiSelIListInsert(uint8_t list, uint32_t pos);
  void NiSelIListRemove(uint8_t list, uint32_t pos);

  // Registers a socket of pHdl with socket-set mode bits (replace 1: exactly
  // these); a failure is recorded and traced under fn and mapped to an NI code.
  NI_RC NiSelISockSet(const WEQ_UC* fn, NITAB* pHdl, SI_SOCKET* pSock, uint8_t siMode, void* pData,
                      uint8_t replace);
  // The position of a member socket: 0, or the socket set's code.
  SI_RC NiSelISockPos(SI_SOCKET* pSock, uint32_t* pPos);
  // Takes a socket of pHdl out: 0 or the mapped failure.
  NI_RC NiSelISockRemove(const WEQ_UC* fn, NI_HDL hdl, SI_SOCKET* pSock, uint8_t mayCompact);

  const WEQ_UC* Name() const { return mName; }
  const POS_ENTRY* PosTable() const { return mPos; }
  uint32_t SelectCount() const { return mSelCount; }
  uint32_t ReadyCount() const { return mReadyCount; }

  // Connects the callback record and names the set (creation).
  void NiSelIConnect();

 private:
  // Drops a position whose handle no longer owns the socket stored there
  // (closed without NiSelClear, its number perhaps reused): true if dropped.
  bool DropIfStale(uint32_t pos);
  // Drops every stale position and puts into the select list each plain
  // handle that waits for read and holds input in the handle, which its
  // socket no longer shows; returns how many it put there.
  uint32_t DropStaleTakeHeld();
  // A plain handle's own input counts as readable where it waits for read.
  bool HeldReadable(NITAB* pRec, uint32_t pos);
  // Before pHdl registers sock: a member position of sock that names
  // another handle is stale and leaves first.
  void DropForeign(NI_HDL hdl, int32_t sock);
  void StatusError(NITAB* pRec, NI_HDL hdl, int32_t sock);
  void Unlink(uint32_t pos);

  WEQ_UC mName[4] = {};
  POS_ENTRY* mPos = nullptr;
  uint32_t mMaxEntries = 0;
  uint32_t mUsedHigh = 0;  // above every position ever taken since the last reset
  uint16_t mSelHead = kNoPos;
  uint32_t mSelCount = 0;
  uint16_t mReadyHead = kNoPos;
  uint32_t mReadyCount = 0;
  uint16_t mCursor = kNoPos;
  uint8_t mCursorList = kSelList;
  CB_FUNCS_IMPL mCb;
  int32_t mSetHdl = -1;    // the handle being registered (AddMsg writes it)
  uint32_t mSelPos = 0;    // the position the socket set handed out last
  uint32_t mRiServers = 0; // reverse-invoke server sockets: never any
  uint32_t mErrCount = 0;  // status errors of the last NiSelISelect
  uint32_t mTry = 0;       // attempt within NiSelISelect

  friend class CB_FUNCS_IMPL;
};

// A new set over the socket set implementation *pType (NULL: the default);
// NULL (traced, error information recorded) when it cannot be made.
NISEL_IMPL* NiSelICreateSet(const uint8_t* pType);

#endif
