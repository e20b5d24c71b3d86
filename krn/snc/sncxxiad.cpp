// The built-in adapters: the mechanisms a plain GSS-API library is matched
// against and the initialisation of each adapter's record, and the standard
// name types. Object identifiers are held as their DER contents bytes.
#include <string.h>

#include "krn/snc/snc_int.h"

namespace {

#define SNC_OID(bytes) {sizeof(bytes), const_cast<unsigned char*>(bytes)}

// 1.3.5.1.5.2 and 1.2.840.113554.1.2.2: Kerberos 5 (the first is the
// identifier used before the standard's own).
constexpr unsigned char kKrb5Old[] = {0x2B, 0x05, 0x01, 0x05, 0x02};
constexpr unsigned char kKrb5[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02};
// 1.3.36.3.1.37.1: SECUDE.
constexpr unsigned char kSecude[] = {0x2B, 0x24, 0x03, 0x01, 0x25, 0x01};
// 1.3.6.1.4.1.311.2.2.10: NTLM.
constexpr unsigned char kNtlm[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A};

// Printable name types: 1.2.840.113554.1.2.2.1 (Kerberos 5 principal),
// 1.3.36.3.1.38.1 (SECUDE), and for NTLM the arc 1 below its mechanism,
// 1.3.6.1.4.1.311.2.2.10.1.
constexpr unsigned char kKrb5NtPrincipal[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02, 0x01};
constexpr unsigned char kSecudeNt[] = {0x2B, 0x24, 0x03, 0x01, 0x26, 0x01};
constexpr unsigned char kNtlmNt[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A, 0x01};

// 1.2.840.113554.1.2.1.1, 1.2.840.113554.1.2.1.4, 1.3.6.1.5.6.4.
constexpr unsigned char kNtUser[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x01, 0x01};
constexpr unsigned char kNtService[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x01, 0x04};
constexpr unsigned char kNtExport[] = {0x2B, 0x06, 0x01, 0x05, 0x06, 0x04};

gss_OID_desc gKrb5Nt = SNC_OID(kKrb5NtPrincipal);
gss_OID_desc gSecudeNt = SNC_OID(kSecudeNt);
gss_OID_desc gNtlmNt = SNC_OID(kNtlmNt);

struct BuiltinInfo {
  const char* idText;
  int32_t type;
  const char* prefix;
  uint8_t services[4];
  gss_OID printable;
  uint8_t mutual, replay;
};

constexpr const char* kKrb5Id = "Internal SNC-Adapter (Rev 1.0) to Kerberos 5/GSS-API v2";
const BuiltinInfo kKrb5Info = {kKrb5Id, SNC_ADAPTER_KRB5, "krb5", {1, 1, 1, 1}, &gKrb5Nt, 1, 1};
const BuiltinInfo kSecudeInfo = {"Internal SNC-Adapter (Rev 1.0) to SECUDE 5/GSS-API v2",
                                 SNC_ADAPTER_SECUDE, "secude", {1, 1, 0, 1}, &gSecudeNt, 1, 1};
const BuiltinInfo kNtlmInfo = {"Internal SNC-Adapter (Rev 1.0) to WEQ's GSS-API v2 over NTLM(SSPI) Adapter",
                               SNC_ADAPTER_NTLM, "weqntlm", {0, 0, 0, 1}, &gNtlmNt, 0, 0};

// Fills as much of the record as size covers; refuses a missing record or
// a size below 24.
int Fill(const BuiltinInfo& b, SncAdapterInfo* info, size_t size) {
  if (info == nullptr || size < 24) return 1;
  SncAdapterInfo r{};
  r.status = 1;
  r.type = b.type;
  r.idText = b.idText;
  r.mechPrefix = b.prefix;
  r.integAvail = b.services[0];
  r.confAvail = b.services[1];
  r.service3 = b.services[2];
  r.service4 = b.services[3];
  r.overhead = 100;
  r.nameTypes[1] = b.printable;
  r.mutual = b.mutual;
  r.replay = b.replay;
  memcpy(info, &r, size < sizeof r ? size : sizeof r);
  return 0;
}

int InitKrb5(SncAdapterInfo* info, size_t size) { return Fill(kKrb5Info, info, size); }
int InitSecude(SncAdapterInfo* info, size_t size) { return Fill(kSecudeInfo, info, size); }
int InitNtlm(SncAdapterInfo* info, size_t size) { return Fill(kNtlmInfo, info, size); }

}  // namespace

const gss_OID_desc kSncNtUser = SNC_OID(kNtUser);
const gss_OID_desc kSncNtService = SNC_OID(kNtService);
const gss_OID_desc kSncNtExport = SNC_OID(kNtExport);

const SncBuiltin kSncBuiltins[4] = {
    {SNC_OID(kKrb5Old), InitKrb5},
    {SNC_OID(kKrb5), InitKrb5},
    {SNC_OID(kSecude), InitSecude},
    {SNC_OID(kNtlm), InitNtlm},
};
