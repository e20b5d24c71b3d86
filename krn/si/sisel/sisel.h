// Socket select sets: a container of up to 32768 sockets, each with the
// events its owner waits for and an opaque user pointer, that waits for
// readiness in one call and then hands out the ready sockets one by one.
//
// SISEL is the interface; SISEL_IMPL forwards every operation to one
// implementation derived from SISEL_SPEC, chosen by SiSelAddSpecImpl:
// SISEL_POLL (over SiPoll), SISEL_SEL_NT (over SiSelect with sorted masks)
// and SISEL_SEL_NT_FC (over SiSelectInt with unsorted arrays, a fixed table
// and a chain of ready entries). The owner (the NI select set) learns every
// change of position through a SISEL_SPEC::CB_FUNCS record, so that it can
// keep its own per-position table in step.
//
// A socket is named by a socket reference, the address of the caller's
// SI_SOCKET, whose socketNo must stay valid while the socket is a member.
// The set also keeps the number itself: RemoveBySockNo takes out a member
// whose owner has already closed the socket and set socketNo to -1.
//
// Results are SI codes: SI_OK; SI_EINVAL (bad argument, not a member, set
// full, hang-up from Next); SI_EINVAL_SOCK (socket closed underneath, from
// Next); SI_EINTERN (index failure, internal status error, failed wait,
// error event from Next); SI_EMEMORY.
//
// Nothing is allocated after Init. A set has no lock: it belongs to the one
// thread that waits on it. Its fast index uses block-local handle slots, so
// any number of sets may be created on any threads at once.
#ifndef KRN_SI_SISEL_SISEL_H
#define KRN_SI_SISEL_SISEL_H

#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "krn/si/si.h"

// Mode bits (what the owner waits for).
#define SISEL_READ 1u
#define SISEL_WRITE 2u
#define SISEL_EXCEPT 8u

// Status bits (what happened after the last Select).
#define SISEL_STAT_READ 0x01u
#define SISEL_STAT_WRITE 0x02u
#define SISEL_STAT_EXCEPT 0x08u
#define SISEL_STAT_INVALID 0x40u  // closed underneath
#define SISEL_STAT_ERROR 0x80u    // error or hang-up

// Implementation types of SiSelAddSpecImpl.
#define SISEL_TYPE_POLL 0
#define SISEL_TYPE_SEL_NT 1
#define SISEL_TYPE_SEL_NT_FC 2

#define SISEL_MAX_ENTRIES 32768u  // largest capacity of every implementation
#define SISEL_NO_EVENT 32768      // event position when no iteration is under way

class SISEL {
 public:
  // Allocates the arrays and the index; capacity 0 or 1 counts as 2, above
  // SISEL_MAX_ENTRIES gives SI_EINVAL.
  virtual SI_RC Init(uint32_t maxEntries) = 0;
  // Adds the socket with data when it is not a member (a member keeps its
  // data), clears its modes when replace is 1, then adds the mode bits.
  virtual SI_RC Set(SI_SOCKET* pSock, uint8_t mode, void* data, uint8_t replace) = 0;
  virtual SI_RC Clear(SI_SOCKET* pSock, uint8_t mode) = 0;
  // Clears every member's modes; the members stay.
  virtual SI_RC ClearSet() = 0;
  // Takes the socket out; mayCompact 1 lets SISEL_POLL compact its arrays.
  virtual SI_RC Remove(SI_SOCKET* pSock, uint8_t mayCompact) = 0;
  virtual SI_RC RemoveAll() = 0;
  // Waits up to timeoutMs (negative: without limit); *pCount (may be NULL)
  // receives the number of ready sockets. A time-out is SI_OK with count 0.
  virtual SI_RC Select(int32_t timeoutMs, uint32_t* pCount) = 0;
  virtual SI_RC StartLoop() = 0;
  // The next ready socket: *ppSock NULL when none is left. SI_EINVAL_SOCK,
  // SI_EINVAL and SI_EINTERN name the socket handed out (closed, hung up,
  // in error); the caller handles it and calls Next again.
  virtual SI_RC Next(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
                     void** ppData) = 0;
  virtual SI_RC GetMode(SI_SOCKET* pSock, uint8_t* pMode) = 0;
  virtual SI_RC GetStat(SI_SOCKET* pSock, uint8_t* pStat) = 0;
  virtual uint32_t GetMaxEntries() = 0;
  virtual bool IsMember(SI_SOCKET* pSock) = 0;
  virtual SI_RC GetData(SI_SOCKET* pSock, void** ppData) = 0;
  virtual SI_RC SetData(SI_SOCKET* pSock, void* pData) = 0;
  // Prints the set into the trace file.
  virtual SI_RC Dump(CTRC_HDL hdl) = 0;
  virtual ~SISEL() = default;
};

class SISEL_SPEC : public SISEL {
 public:
  // The owner's view of positions, called at these moments when set.
  class CB_FUNCS {
   public:
    virtual void CreateMsg(uint32_t entries) = 0;         // end of a successful Init
    virtual void AddMsg(uint32_t pos) = 0;                // Set added a socket there
    virtual void MoveMsg(uint32_t from, uint32_t to) = 0; // compaction moved an entry
    virtual void RemoveMsg(uint32_t pos) = 0;             // Remove takes it out
    virtual void ResetMsg() = 0;                          // RemoveAll is about to empty the set
    virtual void StorePos(uint32_t pos) = 0;              // Next hands out that position
    // Dump: the owner appends its columns to an entry line (pos -1: the header).
    virtual void DumpPos(CTRC_HDL hdl, int32_t pos) = 0;
    virtual ~CB_FUNCS() = default;
  };

  ~SISEL_SPEC() override = default;
  // The socket number at a position; -1 where there is none.
  virtual int32_t GetSocket(uint32_t pos) = 0;
  virtual SI_RC GetSocketPos(SI_SOCKET* pSock, uint32_t* pPos) = 0;
  // GetStat plus the stored reference and user pointer (ppData may be NULL).
  virtual SI_RC GetStatEx(SI_SOCKET* pSock, uint8_t* pStat, SI_SOCKET** ppSock, void** ppData) = 0;
  // Takes out the member whose socket number is sockNo, found by the number
  // the set keeps (not by what a reference points to now).
  virtual SI_RC RemoveBySockNo(int32_t sockNo, uint8_t mayCompact) = 0;

  // Set by the owner after creation, cleared before it destroys the set.
  CB_FUNCS* mCallbacks = nullptr;
};

class SISEL_IMPL : public SISEL {
 public:
  SISEL_IMPL() = default;
  SISEL_IMPL(const SISEL_IMPL&) = delete;
  SISEL_IMPL& operator=(const SISEL_IMPL&) = delete;

  SI_RC Init(uint32_t maxEntries) override;
  SI_RC Set(SI_SOCKET* pSock, uint8_t mode, void* data, uint8_t replace) override;
  SI_RC Clear(SI_SOCKET* pSock, uint8_t mode) override;
  SI_RC ClearSet() override;
  SI_RC Remove(SI_SOCKET* pSock, uint8_t mayCompact) override;
  SI_RC RemoveAll() override;
  SI_RC Select(int32_t timeoutMs, uint32_t* pCount) override;
  SI_RC StartLoop() override;
  SI_RC Next(uint8_t* pRead, uint8_t* pExcept, uint8_t* pWrite, SI_SOCKET** ppSock,
             void** ppData) override;
  SI_RC GetMode(SI_SOCKET* pSock, uint8_t* pMode) override;
  SI_RC GetStat(SI_SOCKET* pSock, uint8_t* pStat) override;
  uint32_t GetMaxEntries() override;
  bool IsMember(SI_SOCKET* pSock) override;
  SI_RC GetData(SI_SOCKET* pSock, void** ppData) override;
  SI_RC SetData(SI_SOCKET* pSock, void* pData) override;
  SI_RC Dump(CTRC_HDL hdl) override;
  // Destroys the owned implementation.
  ~SISEL_IMPL() override;

  // Creates the implementation: *pType 0 SISEL_POLL, 1 SISEL_SEL_NT, 2
  // SISEL_SEL_NT_FC (other values: SI_EINVAL); NULL chooses SISEL_POLL when
  // the socket layer found poll available and WEQ_USE_WSAPOLL is set, else
  // SISEL_SEL_NT. SI_EMEMORY when it cannot be allocated. The owner then
  // sets the callbacks and calls Init. Until then every operation gives
  // SI_EINVAL (GetMaxEntries 0, IsMember false).
  virtual SI_RC SiSelAddSpecImpl(const uint8_t* pType);

  // The owned implementation (NULL before SiSelAddSpecImpl).
  SISEL_SPEC* Spec() const { return mSpec; }

 protected:
  SISEL_SPEC* mSpec = nullptr;
};

#endif
