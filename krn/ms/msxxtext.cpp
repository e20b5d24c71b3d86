// Name tables of the message server client and the texts of its codes.
#include <stddef.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ms/ms.h"

namespace {

struct MsNameRow {
  int32_t value;
  const WEQ_UC* name;
};

// Texts shared by many codes.
constexpr WEQ_UC kT0[] = u"internal error";
constexpr WEQ_UC kT1[] = u"internal error (this retcode should be handled by caller of MS-layer)";

struct MsCodeRow {
  int32_t code;
  const WEQ_UC* name;  // NULL: the code has no name
  const WEQ_UC* text;
};

constexpr MsCodeRow kCodes[] = {
    {MSEINTERN, u"MSEINTERN", u"internal error "},
    {MSENOMSG, u"MSENOMSG", kT1},
    {MSEINVAL, u"MSEINVAL", kT1},
    {MSENOTFOUND, u"MSENOTFOUND", kT1},
    {MSEWAKEUP, u"MSEWAKEUP", kT1},
    {MSEWRONGNAME, u"MSEWRONGNAME", kT1},
    {MSEWRONGTYPE, u"MSEWRONGTYPE", kT1},
    {MSEPARTNERDIED, u"MSEPARTNERDIED", kT1},
    {MSEPARTNERUNKNOWN, u"MSEPARTNERUNKNOWN", kT1},
    {MSENOTUNIQUE, u"MSENOTUNIQUE", kT1},
    {MSEMSGDESTROYED, u"MSEMSGDESTROYED",
     u"The message is destroyed, received %d bytes.\nAre you really connected to the message "
     u"server?\nPlease check your connection parameters.\n(%s / %s)"},
    {MSEWRONGVERSION, u"MSEWRONGVERSION", u"invalid client version"},
    {MSEREPLYTOOLARGE, u"MSEREPLYTOOLARGE", kT0},
    {MSESHUTDOWN, u"MSESHUTDOWN", u"message server shutdown"},
    {MSENOSLOTFREE, u"MSENOSLOTFREE", kT1},
    {MSESOCKTOOLARGE, u"MSESOCKTOOLARGE", kT1},
    {MSEADMIN, u"MSEADMIN", kT1},
    {MSEREADINCOMPLETE, u"MSEREADINCOMPLETE",
     u"timeout (%d msecs) while waiting for complete message (%d bytes read)"},
    {MSEWRITEINCOMPLETE, u"MSEWRITEINCOMPLETE",
     u"timeout (%d msecs), incomplete write (%d of %d bytes)"},
    {MSEACCESSDENIED, u"MSEACCESSDENIED",
     u"access denied (this retcode must be handled by caller of MS-layer)"},
    {MSETYPESNOTALLOWED, u"MSETYPESNOTALLOWED", kT0},
    {MSEHEADERINCOMPLETE, u"MSEHEADERINCOMPLETE",
     u"MSEHEADERINCOMPLETE: received buffer too small (%d bytes)"},
    {MSENOMEM, u"MSENOMEM", u"MSENOMEM: can't allocate %d bytes"},
    {MSEFREETEXT, nullptr, u"%s"},
    {MSESOFTSHUTDOWN, u"MSESOFTSHUTDOWN", u"message server soft shutdown"},
    {MSEDUPKEY, u"MSEDUPKEY", kT0},
    {MSESNDTYPEFAILED, u"MSESNDTYPEFAILED", kT0},
    {MSEMOREDATA, u"MSEMOREDATA", kT0},
    {MSEWRONGSERVER, u"MSEWRONGSERVER",
     u"The message received isn't from a message server.\nAre you really connected to the "
     u"message server?\nPlease check your connection parameters.\n(%s / %s)"},
    {MSEINVHDL, u"MSEINVHDL", kT0},
    {MSEALREADYINIT, u"MSEALREADYINIT", kT0},
    {MSENOTINIT, u"MSENOTINIT", kT0},
    {MSETESTSOFTSHUTDOWN, u"MSETESTSOFTSHUTDOWN", kT0},
    {MSENILAYER, u"MSENILAYER", u"error in NI-layer"},
    {MSENIQUEUE, u"MSENIQUEUE", kT0},
    {MSENISELREAD, u"MSENISELREAD", kT0},
    {MSENISELWRITE, u"MSENISELWRITE", kT0},
    {MSERECONNECTION, u"MSERECONNECTION", kT0},
};

constexpr MsNameRow kOpCodes[] = {
    {MSOP_OK, u"MSOP_OK"},
    {MSOP_UNKNOWN_OPCODE, u"MSOP_UNKNOWN_OPCODE"},
    {MSOP_NOMEM, u"MSOP_NOMEM"},
    {MSOP_SECURITY_KEY_NOTSET, u"MSOP_SECURITY_KEY_NOTSET"},
    {MSOP_UNKNOWN_CLIENT, u"MSOP_UNKNOWN_CLIENT"},
    {MSOP_ACCESS_DENIED, u"MSOP_ACCESS_DENIED"},
    {MSOP_REQUEST_REQUIRED, u"MSOP_REQUEST_REQUIRED"},
    {MSOP_NAME_REQUIRED, u"MSOP_NAME_REQUIRED"},
    {MSOP_SEND_FAILED, u"MSOP_SEND_FAILED"},
    {MSOP_UNKNOWN_DOMAIN, u"MSOP_UNKNOWN_DOMAIN"},
    {MSOP_UNKNOWN_SERVER, u"MSOP_UNKNOWN_SERVER"},
    {MSOP_NO_DOMAIN_SERVER, u"MSOP_NO_DOMAIN_SERVER"},
    {MSOP_INVALID_URL, u"MSOP_INVALID_URL"},
    {MSOP_UNKNOWN_DUMP_REQ, u"MSOP_UNKNOWN_DUMP_REQ"},
    {MSOP_FILENOTFOUND, u"MSOP_FILENOTFOUND"},
    {MSOP_UNKNOWN_RELOAD_REQ, u"MSOP_UNKNOWN_RELOAD_REQ"},
    {MSOP_FILENOTDEFINED, u"MSOP_FILENOTDEFINED"},
    {MSOP_CONVERT_FAILED, u"MSOP_CONVERT_FAILED"},
    {MSOP_NOTSET, u"MSOP_NOTSET"},
    {MSOP_COUNTER_EXCEEDED, u"MSOP_COUNTER_EXCEEDED"},
    {MSOP_COUNTER_NOTFOUND, u"MSOP_COUNTER_NOTFOUND"},
    {MSOP_COUNTER_DELETED, u"MSOP_COUNTER_DELETED"},
    {MSOP_COUNTER_EXISTS, u"MSOP_COUNTER_EXISTS"},
    {MSOP_EINVAL, u"MSOP_EINVAL"},
    {MSOP_NO_J2EE_CLUSTERNODE, u"MSOP_NO_J2EE_CLUSTERNODE"},
    {MSOP_UNKNOWN_PROPERTY, u"MSOP_UNKNOWN_PROPERTY"},
    {MSOP_UNKNOWN_VERSION, u"MSOP_UNKNOWN_VERSION"},
    {MSOP_ICTERROR, u"MSOP_ICTERROR"},
    {MSOP_KERNEL_INCOMPATIBLE, u"MSOP_KERNEL_INCOMPATIBLE"},
};

constexpr MsNameRow kOpcodes[] = {
    {1, u"MS_SERVER_CHG"},
    {2, u"MS_SERVER_ADD"},
    {3, u"MS_SERVER_SUB"},
    {4, u"MS_SERVER_MOD"},
    {5, u"MS_SERVER_LST"},
    {6, u"MS_CHANGE_IP"},
    {7, u"MS_SET_SECURITY_KEY"},
    {8, u"MS_GET_SECURITY_KEY"},
    {9, u"MS_GET_SECURITY_KEY2"},
    {11, u"MS_INCRE_TRACE"},
    {12, u"MS_DECRE_TRACE"},
    {13, u"MS_RESET_TRACE"},
    {14, u"MS_ACT_STATISTIC"},
    {15, u"MS_DEACT_STATISTIC"},
    {16, u"MS_RESET_STATISTIC"},
    {17, u"MS_GET_STATISTIC"},
    {18, u"MS_DUMP_NIBUFFER"},
    {19, u"MS_RESET_NIBUFFER"},
    {20, u"MS_OPEN_REQ_LST"},
    {21, u"MS_SERVER_INFO"},
    {22, u"MS_SERVER_LIST"},
    {23, u"MS_SERVER_ENTRY"},
    {24, u"MS_DOMAIN_INFO"},
    {25, u"MS_DOMAIN_LIST"},
    {26, u"MS_DOMAIN_ENTRY"},
    {27, u"MS_MAP_URL_TO_ADDR"},
    {28, u"MS_GET_CODEPAGE"},
    {29, u"MS_SOFT_SHUTDOWN"},
    {30, u"MS_DUMP_INFO"},
    {31, u"MS_FILE_RELOAD"},
    {32, u"MS_RESET_DOMAIN_CONN"},
    {33, u"MS_NOOP"},
    {34, u"MS_SET_TXT"},
    {35, u"MS_GET_TXT"},
    {36, u"MS_COUNTER_CREATE"},
    {37, u"MS_COUNTER_DELETE"},
    {38, u"MS_COUNTER_INCREMENT"},
    {39, u"MS_COUNTER_DECREMENT"},
    {40, u"MS_COUNTER_REGISTER"},
    {41, u"MS_COUNTER_GET"},
    {42, u"MS_COUNTER_LST"},
    {43, u"MS_SET_LOGON"},
    {44, u"MS_GET_LOGON"},
    {45, u"MS_DEL_LOGON"},
    {46, u"MS_SERVER_DISC"},
    {47, u"MS_SERVER_SHUTDOWN"},
    {48, u"MS_SERVER_SOFT_SHUTDOWN"},
    {49, u"MS_J2EE_CLUSTERNODE_CHG"},
    {50, u"MS_J2EE_CLUSTERNODE_ADD"},
    {51, u"MS_J2EE_CLUSTERNODE_SUB"},
    {52, u"MS_J2EE_CLUSTERNODE_MOD"},
    {53, u"MS_J2EE_CLUSTERNODE_LST"},
    {54, u"MS_J2EE_SERVICE_REG"},
    {55, u"MS_J2EE_SERVICE_UNREG"},
    {56, u"MS_J2EE_SERVICE_LST"},
    {57, u"MS_J2EE_SERVICE_ADD"},
    {58, u"MS_J2EE_SERVICE_SUB"},
    {59, u"MS_J2EE_SERVICE_MOD"},
    {60, u"MS_J2EE_MOD_STATE"},
    {61, u"MS_J2EE_SERVICE_GET"},
    {62, u"MS_J2EE_SERVICE_REG2"},
    {63, u"MS_NITRACE_SETGET"},
    {64, u"MS_SERVER_LONG_LIST"},
    {65, u"MS_J2EE_DEBUG_ENABLE"},
    {66, u"MS_J2EE_DEBUG_DISABLE"},
    {67, u"MS_SET_PROPERTY"},
    {68, u"MS_GET_PROPERTY"},
    {69, u"MS_DEL_PROPERTY"},
    {70, u"MS_IP_PORT_TO_NAME"},
    {71, u"MS_CHECK_ACL"},
    {74, u"MS_SERVER_TEST_SOFT_SHUTDOWN"},
    {75, u"MS_J2EE_RECONNECT_P1"},
    {76, u"MS_J2EE_RECONNECT_P2"},
};

// Indexed by the logon type.
constexpr const WEQ_UC* kLogonTypes[] = {
    u"MS_LOGON_DIAG_LB",  u"MS_LOGON_DIAG_LBS", u"MS_LOGON_DIAG",     u"MS_LOGON_DIAGS",
    u"MS_LOGON_RFC",      u"MS_LOGON_RFCS",     u"MS_LOGON_HTTP",     u"MS_LOGON_HTTPS",
    u"MS_LOGON_FTP",      u"MS_LOGON_SMTP",     u"MS_LOGON_NNTP",     u"MS_LOGON_DIAG_E",
    u"MS_LOGON_DIAGS_E",  u"MS_LOGON_RFC_E",    u"MS_LOGON_RFCS_E",   u"MS_LOGON_HTTP_E",
    u"MS_LOGON_HTTPS_E",  u"MS_LOGON_FTP_E",    u"MS_LOGON_SMTP_E",   u"MS_LOGON_NNTP_E",
    u"MS_LOGON_J2EE",     u"MS_LOGON_J2EES",    u"MS_LOGON_J2EE_E",   u"MS_LOGON_J2EES_E",
    u"MS_LOGON_P4",       u"MS_LOGON_P4S",      u"MS_LOGON_IIOP",     u"MS_LOGON_IIOPS",
    u"MS_LOGON_SDM",      u"MS_LOGON_TELNET",   u"MS_LOGON_DEBUG",    u"MS_LOGON_DPROXY",
    u"MS_LOGON_P4HTTP",   u"MS_LOGON_HTTPRI",   u"MS_LOGON_HTTPSRI",  u"MS_LOGON_J2EERI",
    u"MS_LOGON_J2EESRI",  u"MS_LOGON_TRXNS",
};

// Indexed by the state byte.
constexpr const WEQ_UC* kStates[] = {u"UNKNOWN", u"ACTIVE",   u"INACTIVE", u"SHUTDOWN",
                                     u"STOP",    u"STARTING", u"INIT"};

// Indexed by the bit number.
constexpr const WEQ_UC* kTypeWords[] = {u"SVA ", u"SVB ", u"SVC ", u"SVD ",
                                        u"SVE ", u"SVF ", u"SVG ", u"SVH "};
constexpr const WEQ_UC* kSysServiceWords[] = {u"NONE", u"WEQ", u"J2EE"};

const MsCodeRow* FindCode(int32_t code) {
  for (const MsCodeRow& row : kCodes)
    if (row.code == code) return &row;
  return nullptr;
}

template <size_t N>
const WEQ_UC* FindName(const MsNameRow (&table)[N], int32_t value) {
  for (const MsNameRow& row : table)
    if (row.value == value) return row.name;
  return nullptr;
}

template <size_t N>
const WEQ_UC* Indexed(const WEQ_UC* const (&table)[N], int32_t value) {
  return value >= 0 && static_cast<size_t>(value) < N ? table[value] : nullptr;
}

// The name, or the number when there is none.
WEQ_UC* NameOrNumber(const WEQ_UC* name, int32_t value, WEQ_UC* buffer) {
  if (buffer == nullptr) return nullptr;
  if (name != nullptr)
    snprintfTruncU16(buffer, MS_NAME_LEN, u"%s", name);
  else
    snprintfTruncU16(buffer, MS_NAME_LEN, u"%d", value);
  return buffer;
}

}  // namespace

const WEQ_UC* MsErrorText(int32_t code) {
  const MsCodeRow* row = FindCode(code);
  return row != nullptr ? row->text : kT0;
}

WEQ_UC* MsErrorName(int32_t code, WEQ_UC* buffer) {
  const WEQ_UC* name = nullptr;
  if (code < 0) {
    const MsCodeRow* row = FindCode(code);
    if (row != nullptr) name = row->name;
  } else {
    name = FindName(kOpCodes, code);
  }
  return NameOrNumber(name, code, buffer);
}

WEQ_UC* MsOpcodeName(int32_t opcode, WEQ_UC* buffer) {
  return NameOrNumber(FindName(kOpcodes, opcode), opcode, buffer);
}

WEQ_UC* MsLogonTypeName(int32_t type, WEQ_UC* buffer) {
  return NameOrNumber(Indexed(kLogonTypes, type), type, buffer);
}

WEQ_UC* MsStateName(int32_t state, WEQ_UC* buffer) {
  return NameOrNumber(Indexed(kStates, state), state, buffer);
}

WEQ_UC* MsTypesText(uint8_t mask, WEQ_UC* buffer) {
  if (buffer == nullptr) return nullptr;
  buffer[0] = 0;
  if (mask == 0) {
    strcpy_sU16(buffer, MS_TYPES_TEXT_LEN, u"-");
    return buffer;
  }
  for (int bit = 0; bit < 8; ++bit)
    if (mask & (1u << bit)) strcat_sU16(buffer, MS_TYPES_TEXT_LEN, kTypeWords[bit]);
  return buffer;
}

WEQ_UC* MsSysServicesText(const uint8_t* mask, int count, WEQ_UC* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return nullptr;
  buffer[0] = 0;
  if (mask == nullptr || count <= 0) return buffer;
  size_t used = 0;
  for (int bit = 0; bit < 8 * count; ++bit) {
    // Big-endian: the lowest bits sit in the last byte.
    if (!(mask[count - 1 - bit / 8] & (1u << (bit % 8)))) continue;
    WEQ_UC word[16];
    const WEQ_UC* known = Indexed(kSysServiceWords, bit);
    int len = known != nullptr ? snprintfU16(word, 16, u"%s ", known) : snprintfU16(word, 16, u"%d ", bit);
    if (len < 0 || used + static_cast<size_t>(len) + 1 > capacity) break;
    for (int i = 0; i <= len; ++i) buffer[used + i] = word[i];
    used += static_cast<size_t>(len);
  }
  return buffer;
}
