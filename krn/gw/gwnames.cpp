// Names of the gateway protocol's codes and texts of its flag bytes, as the
// trace lines print them.
#include "i18n/wequ16/u16fmt.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"

namespace {

struct GwNameRow {
  int value;
  const WEQ_UC* name;
};

constexpr GwNameRow kGwClientNames[] = {
    {GW_NO_CLIENT_INFO, u"NO_CLIENT_INFO"}, {GW_EXTERNAL_CLIENT, u"EXTERNAL_CLIENT"}, {GW_T8_CLIENT, u"T8_CLIENT"}};

constexpr GwNameRow kGwRegNames[] = {{REG_NOT_USED, u"NOT_USED"},     {REG_INIT, u"INIT"},
                                     {REG_WAITING, u"WAITING"},       {REG_RUNNING, u"RUNNING"},
                                     {REG_SECU_ERROR, u"SECU_ERROR"}, {REG_NOREG_ERROR, u"NOREG_ERROR"}};

constexpr GwNameRow kGwRequestNames[] = {
    {F_NO_REQUEST, u"NO_REQUEST"},
    {F_INITIALIZE_CONVERSATION, u"INITIALIZE_CONVERSATION"},
    {F_ACCEPT_CONVERSATION, u"ACCEPT_CONVERSATION"},
    {F_ALLOCATE, u"ALLOCATE"},
    {F_SEND_DATA, u"SEND_DATA"},
    {F_ASEND_DATA, u"ASEND_DATA"},
    {F_RECEIVE, u"RECEIVE"},
    {F_ARECEIVE, u"ARECEIVE"},
    {F_DEALLOCATE, u"DEALLOCATE"},
    {F_SET_TP_NAME, u"SET_TP_NAME"},
    {F_SET_PARTNER_LU_NAME, u"SET_PARTNER_LU_NAME"},
    {F_SET_SECURITY_PASSWORD, u"SET_SECURITY_PASSWORD"},
    {F_SET_SECURITY_USER_ID, u"SET_SECURITY_USER_ID"},
    {F_SET_SECURITY_TYPE, u"SET_SECURITY_TYPE"},
    {F_SET_CONVERSATION_TYPE, u"SET_CONVERSATION_TYPE"},
    {F_EXTRACT_TP_NAME, u"EXTRACT_TP_NAME"},
    {F_FLUSH, u"FLUSH"},
    {F_WEQ_ALLOCATE, u"WEQ_ALLOCATE"},
    {F_WEQ_INIT, u"WEQ_INIT"},
    {F_WEQ_SEND, u"WEQ_SEND"},
    {F_AWEQ_SEND, u"AWEQ_SEND"},
    {F_WEQ_SYNC, u"WEQ_SYNC"},
    {F_WEQ_PING, u"WEQ_PING"},
    {F_WEQ_REGTP, u"WEQ_REGTP"},
    {F_WEQ_UNREGTP, u"WEQ_UNREGTP"},
    {F_WEQ_ACCPTP, u"WEQ_ACCPTP"},
    {F_WEQ_UNACCPTP, u"WEQ_UNACCPTP"},
    {F_WEQ_CANCTP, u"WEQ_CANCTP"},
    {F_WEQ_SET_UID, u"WEQ_SET_UID"},
    {F_WEQ_CANCEL, u"WEQ_CANCEL"},
    {F_WEQ_CANCELED, u"WEQ_CANCELED"},
};

// A conversation type prints the same name by number and by letter.
constexpr GwNameRow kGwProtocolNames[] = {
    {1, u"T7PR"}, {2, u"INT"}, {'I', u"INT"},   {3, u"EXT"}, {'E', u"EXT"}, {4, u"CPIC"},
    {'C', u"CPIC"}, {6, u"NE"},  {'F', u"NE"}, {7, u"REG"}, {'R', u"REG"},
};

constexpr GwNameRow kGwErrorNames[] = {
    {0, u"WEQ_O_K"},
    {221, u"CPIC_ERROR"},
    {222, u"CANT_GET_MEMORY"},
    {223, u"NI_READ_FAILED"},
    {224, u"NI_WRITE_FAILED"},
    {225, u"INVALID_REQUEST"},
    {226, u"NOT_YET_CONNECTED"},
    {227, u"GW_WP_DIED"},
    {228, u"SHM_READ_FAILED"},
    {229, u"SHM_WRITE_FAILED"},
    {230, u"CONN_EXCEEDED"},
    {231, u"NO_MORE_WP"},
    {232, u"CANT_START_WORKPROCESS"},
    {233, u"WRONG_COMM_TYPE"},
    {234, u"CONNECT_FAILED"},
    {235, u"GW_TABLE_ERROR"},
    {236, u"GW_CONNECT_FAILED"},
    {237, u"GW_DISCONNECTED"},
    {238, u"WRITE_TO_GW_FAILED"},
    {239, u"READ_FROM_GW_FAILED"},
    {240, u"INVALID_LEN"},
    {241, u"INVALID_ENVIRONMENT"},
    {242, u"GW_TIMEOUT"},
    {243, u"GW_CONNECT_TO_T8"},
    {244, u"SYSTEM_DISCONNECTED"},
    {245, u"MEM_OVERFLOW"},
    {246, u"WRONG_APPCHDR_VERSION"},
    {247, u"GW_APPC_SERVER_DOWN"},
    {248, u"TXCOM_TABLE_FAILED"},
    {249, u"GW_TABLE_OVERFLOW"},
    {498, u"C_NIADDRTOHOST"},
    {630, u"INVALID_MODE"},
    {631, u"MAX_NO_OF_GATEWAYS"},
    {632, u"MISSING_LU_SPEC"},
    {633, u"MAX_CPIC_CLIENTS"},
    {634, u"MISSING_TP_SPEC"},
    {635, u"FORK_FAILED"},
    {636, u"BAD_NI_HANDLE"},
    {637, u"REXEC_FAILED"},
    {638, u"TP_START_FAILED"},
    {639, u"NI_DG_SEND_FAILED"},
    {640, u"INTERNAL_ERROR"},
    {664, u"GW_HOST_UNKNOWN"},
    {665, u"GW_SERVICE_UNKNOWN"},
    {666, u"GW_NI_ERROR"},
    {667, u"GW_EXEC_FAILED"},
    {668, u"T7_RESTARTED"},
    {669, u"SYM_DEST_TOO_LONG"},
    {670, u"NO_MORE_SIDE_INFO_ENTRY"},
    {672, u"T8_LOGIN_FAILED"},
    {673, u"IMS_ERROR_PURGING"},
    {674, u"PENDING_TERM_OUTPUT"},
    {676, u"GW_SECURITY_ERROR"},
    {677, u"GW_TIMEOUT_REG_PRGM"},
    {678, u"TP_REGISTERED"},
    {679, u"TP_NOTREGISTERED"},
    {720, u"TP_REG_SECU_ERROR"},
    {721, u"GW_SNC_DISABLED"},
    {722, u"GW_SNC_REQUIRED"},
    {723, u"GW_SNC_NAME_NOT_SET"},
    {724, u"GW_SNC_NAME_NO_DEFAULT"},
    {725, u"GW_SNC_PROT_NOT_SUPP"},
    {726, u"GW_T8_NOT_CONNECTED"},
    {727, u"GW_SNC_REQUIRED_FOR_LU_TP"},
    {728, u"CONV_ID_NOT_FOUND"},
    {729, u"GW_SNC_SECURE_PORT"},
    {730, u"GW_SNC_START_EXT_DIS"},
    {731, u"GW_SHUTDOWN"},
    {732, u"GW_REM_PRGM_DISABLED"},
    {733, u"GW_STOLEN_CONVID"},
    {734, u"GW_NET_CONV_ERROR"},
    {735, u"GW_MONITOR_DISABLED"},
    {736, u"GW_DUPLICATE_CVID"},
    {737, u"GW_CONNECT_TIMEOUT"},
    {738, u"GW_REQ_TO_DP_FAILED"},
    {739, u"GW_CLIENT_ALREADY_DISC"},
    {740, u"GW_NO_HOST_IN_ROUTE"},
    {741, u"GW_ROUTE_CONNECT_DIS"},
    {742, u"GW_CONN_IS_FREE"},
    {743, u"GW_CONN_IS_DISC"},
    {744, u"GW_REQBLK_ADM_ERROR"},
    {745, u"GW_BUFINFO_ERROR"},
    {746, u"GW_HDLINFO_ERROR"},
    {747, u"TP_REG_NOREG_ERROR"},
    {748, u"TP_REG_ACCESS_DENIED"},
    {749, u"GW_PARAM_NOT_FOUND"},
    {750, u"GW_PRXY_ACCESS_DENIED"},
    {751, u"GW_ACCEPT_TIMEOUT"},
    {752, u"GW_WRONG_SERVER"},
};

constexpr WEQ_UC kGwNoText[1] = {0};

template <size_t N>
const WEQ_UC* GwNameOf(const GwNameRow (&table)[N], int value, GwDecSlot slot) {
  for (const GwNameRow& row : table)
    if (row.value == value) return row.name;
  GwThrData* data = GwIThrData();
  if (data == nullptr) return u"?";
  snprintfU16(data->dec[slot], GW_DEC_LEN, u"%d", value);
  return data->dec[slot];
}

// Bit names of a flag byte from 0x01 up; a name that ends the text has no
// blank behind it (it is always the last bit).
struct GwFlagNames {
  const WEQ_UC* bits[8];
  bool lastWithoutBlank;
};

constexpr GwFlagNames kGwInfoBits = {{u"SYNC_CPIC_FUNCTION", u"WITH_HOSTADDR", u"WITH_GW_WEQ_PARAMS_HDR",
                                      u"CPIC_SYNC_REQ", u"WITH_ERR_INFO", u"DATA_WITH_TERM_OUTPUT",
                                      u"DATA_WITH_TERM_INPUT", u"T8_CPIC_LOGIN_WITH_TERM"},
                                     true};
constexpr GwFlagNames kGwInfo2Bits = {{u"WITH_LONG_LU_NAME", u"WITH_LONG_HOSTADDR", u"GW_IMMEDIATE",
                                       u"GW_SNC_ACTIVE", u"GW_WAIT_LOOK_UP", u"SNC_INIT_PHASE", u"GW_STATELESS",
                                       u"GW_NO_STATE_CHECK"},
                                      false};
constexpr GwFlagNames kGwInfo3Bits = {{u"GW_WITH_CODE_PAGE", u"GW_ASYNC_RFC", u"GW_CANCEL_HARD",
                                       u"GW_CANCEL_SOFT", u"GW_WITH_GUI_TIMEOUT", u"GW_TERMIO_ERROR",
                                       u"GW_EXTENDED_INIT_OPTIONS", u"GW_DIST_TRACE"},
                                      true};
constexpr GwFlagNames kGwInfo4Bits = {{u"GW_WITH_DBG_CTL"}, false};
constexpr GwFlagNames kGwVectorBits = {{u"F_V_INITIALIZE_CONVERSATION", u"F_V_ALLOCATE", u"F_V_SEND_DATA",
                                        u"F_V_RECEIVE", u"F_V_FLUSH", u"0x20", u"0x40", u"0x80"},
                                       false};
constexpr GwFlagNames kGwAcceptBits = {
    {u"EINFO", u"PING", u"SNC", u"CONN_EINFO", u"CODE_PAGE", u"NIPING", u"EXTINITOPT", u"GW_ACCEPT_DIST_TRACE"},
    true};

WEQ_UC* GwFlagsText(const GwFlagNames& names, uint8_t flags, WEQ_UC* buf) {
  if (buf == nullptr) return const_cast<WEQ_UC*>(kGwNoText);
  WEQ_UC* out = buf;
  for (int bit = 0; bit < 8; ++bit) {
    const WEQ_UC* name = names.bits[bit];
    if ((flags & (1u << bit)) == 0 || name == nullptr) continue;
    while (*name != 0) *out++ = *name++;
    if (!(bit == 7 && names.lastWithoutBlank)) *out++ = u' ';
  }
  *out = 0;
  return buf;
}

}  // namespace

const WEQ_UC* GwClientInfoName(uint8_t kind) { return GwNameOf(kGwClientNames, kind, GW_DEC_CLIENT); }
const WEQ_UC* GwRegStateName(int state) { return GwNameOf(kGwRegNames, state, GW_DEC_REGSTATE); }
const WEQ_UC* GwRequestName(uint8_t req) { return GwNameOf(kGwRequestNames, req, GW_DEC_REQUEST); }
const WEQ_UC* GwProtocolName(uint8_t type) { return GwNameOf(kGwProtocolNames, type, GW_DEC_PROTOCOL); }
const WEQ_UC* GwErrorName(int code) { return GwNameOf(kGwErrorNames, code, GW_DEC_ERROR); }

WEQ_UC* GwInfoFlagsText(uint8_t flags, WEQ_UC* buf) { return GwFlagsText(kGwInfoBits, flags, buf); }
WEQ_UC* GwInfo2FlagsText(uint8_t flags, WEQ_UC* buf) { return GwFlagsText(kGwInfo2Bits, flags, buf); }
WEQ_UC* GwInfo3FlagsText(uint8_t flags, WEQ_UC* buf) { return GwFlagsText(kGwInfo3Bits, flags, buf); }
WEQ_UC* GwInfo4FlagsText(uint8_t flags, WEQ_UC* buf) { return GwFlagsText(kGwInfo4Bits, flags, buf); }
WEQ_UC* GwVectorText(uint8_t flags, WEQ_UC* buf) { return GwFlagsText(kGwVectorBits, flags, buf); }
WEQ_UC* GwAcceptInfoText(uint8_t flags, WEQ_UC* buf) { return GwFlagsText(kGwAcceptBits, flags, buf); }
