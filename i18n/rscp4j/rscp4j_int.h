// Inside the ConverterJNI natives: the reports and result arrays that all of
// them share, the checks of their Java arguments, their heap memory with
// its test seam, and the surrogate correction of the double-byte table.
// Nothing outside i18n/rscp4j and its tests includes this header.
#ifndef I18N_RSCP4J_RSCP4J_INT_H
#define I18N_RSCP4J_RSCP4J_INT_H

#include <jni.h>
#include <stddef.h>
#include <stdint.h>

#include "i18n/rscp4j/rscp4j.h"
#include "krn/rscp/rscp.h"

// Identification texts of the two modules; reports name them "rscp4jcn"
// and "rscp4jct" (a module name has 8 units).
extern const WEQ_UC kRscp4jCnvModule[];
extern const WEQ_UC kRscp4jTabModule[];

// The converter as Java keeps it.
constexpr jsize kRscp4jObjBytes = sizeof(rscpCObj_t);
static_assert(kRscp4jObjBytes == 172);

// --- Reports (class 'J', accept mask -1; each returns its rc) ------------------------

// rc 1 "Out of memory", code "CP8", parameter "<size>&".
rscpRc_t ReportOutOfMemory(int location, const WEQ_UC* module, int line, long size);
// rc 1 "Incorrect array size", code "CQ4", parameter
// "buf <name>&<expected>&!=&<actual>" (actual -1 for a NULL array).
rscpRc_t ReportArraySize(int location, const WEQ_UC* module, int line, const WEQ_UC* name, long expected,
                         long actual);

// --- Result arrays: as many of {rc, count} as err holds, nothing for NULL ------------

void SetErrorResult(JNIEnv* env, jintArray err, rscpRc_t rc);
void SetResultArray(JNIEnv* env, jintArray err, rscpRc_t rc, long count);

// --- Java arguments ----------------------------------------------------------------------

// True when the last JNI call left an exception pending; it is cleared, so
// that the native may go on calling JNI and nothing reaches Java.
bool rscp4jIFailed(JNIEnv* env);
// Elements of an array; -1 for NULL.
jsize rscp4jILength(JNIEnv* env, jarray array);

// Report sites of the argument checks, the same in both modules.
enum : int {
  kRscp4jConverterSite = 30,  // the converter array
  kRscp4jRangeSite = 31,      // a range, a NULL input
  kRscp4jCodePageSite = 32,   // a code page array
};

// True when an array has the expected length (length -1 for NULL never
// has). Otherwise refused: reported with rc 16 ("Incorrect array size",
// "CQ4", parameter "buf <name>&<expected>&!=&<length>"), one trace line
// naming the native, and false.
bool rscp4jISizeOk(jsize length, jsize expected, const WEQ_UC* name, int location, const WEQ_UC* module,
                   const WEQ_UC* native);
// Reads the 172 bytes of the converter into *obj; false when refused by
// rscp4jISizeOk.
bool rscp4jIGetConverter(JNIEnv* env, jbyteArray converter, rscpCObj_t* obj, const WEQ_UC* module,
                         const WEQ_UC* native);
// Writes the object back into the Java converter.
void rscp4jIPutConverter(JNIEnv* env, jbyteArray converter, const rscpCObj_t* obj);
// True when 0 <= start <= end <= length (length -1 for a NULL array never
// passes). Otherwise reported with rc 16 ("Incorrect array range", "CQ4",
// location kRscp4jRangeSite, parameter "buf <name>&<start>..<end>&!<=&<length>") and one
// trace line: false.
bool rscp4jIRangeOk(jsize length, jint start, jint end, const WEQ_UC* name, const WEQ_UC* module,
                    const WEQ_UC* native);

// --- Heap memory --------------------------------------------------------------------------

// malloc for the natives' buffers; NULL when it fails or the calling
// thread's test seam says so.
void* rscp4jIAlloc(size_t size);
// Test seam: the nth allocation of the calling thread from now on (1: the
// next) fails; 0 turns it off.
void rscp4jITestFailAlloc(int nth);

// --- Tables ---------------------------------------------------------------------------------

// Cuts to its low 16 bits each of the n double-byte table entries that is
// 0x10000 or more but holds no low surrogate in its low 16 bits, read in
// the output's byte order (bigEndian: the surrogate's high byte is the
// entry's low byte), and writes "Correct wrong surrogate: %x %x\n" (index,
// old value) to standard error for each. Returns how many were cut.
size_t rscp4jICorrectSurrogates(uint32_t* entries, size_t n, bool bigEndian);

// --- Error text ------------------------------------------------------------------------------

// GetLastError's text: the print of the error stack, each line followed by
// a newline, cut at 1024 units.
struct rscp4jErrorText {
  WEQ_UC text[1024];
  int count = 0;
};
// Print callback over a rscp4jErrorText: as much of the line as fits, then
// a newline while there is room.
void AppendErrorLine(const WEQ_UC* line, int length, void* text);

#endif
