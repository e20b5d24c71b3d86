package com.weq.conn.rfc.driver;

/** The CPI-C natives of the library, as the client library declares them. */
public class CpicDriver {
  public native int INIT();

  // Conversations.
  public native int nativeWEQ_CMINIT3(byte[] convId, String dest, String luName, String tpName,
      String gwHost, String gwService, String protocol, int traceLevel, int sncMode, int qop,
      String sncOwnName, String sncPartnerName, String sncLibrary);
  public native int nativeCMALLC(byte[] convId);
  public native int nativeCMSEND(byte[] convId, byte[] data, int length);
  public native int nativeCpic_coxread(byte[] convId, int timeoutMs, byte[] buffer, int[] result);
  public native int nativeRflushCMRCV(byte[] convId, byte[] buffer, int requested, int[] result);
  public native int nativeCMSPLN(byte[] convId, String partnerLuName);
  public native int nativeCMDEAL(byte[] convId);
  public native int nativeWEQ_CMCANCEL(byte[] convId, int cancelType);
  public native void nativeCoxclose(byte[] convId, int regHandle, boolean skipDeallocate,
      boolean unregister);
  public native void nativeCoxabort(byte[] convId, int regHandle, boolean skipDeallocate,
      boolean unregister);

  // Registered server programs.
  public native int nativeWEQ_CMREGTP2(String tpName, String gwHost, String gwService,
      int[] handle, String sncOwnName, String sncLibrary, byte qop, boolean sncOn);
  public native int nativeWEQ_CMREGTP3(String tpName, String gwHost, String gwService,
      int[] handle, String sncOwnName, String sncLibrary, byte qop, boolean sncOn);
  public native int nativeWEQ_CMUNREGTP3(int handle);
  public native int nativeWEQ_CMLISTEN(int timeout);
  public native int nativeWEQ_CMLISTEN3(byte[] convId);
  public native int nativeWEQ_CMGETNEXTHDL(int[] handle);
  public native int nativeWEQ_CMACCPTP(byte[] convId, int handle, int acceptOption);
  public native int nativeWEQ_CMACCPTP3(byte[] convId, int handle, int acceptOption);
  public native int nativeWEQ_CMNOREGTP(String tpName, String gwHost, String gwService,
      int[] counts);

  // Trace, SNC, version, UUID.
  public native String WEQ_CMPERR();
  public native int nativeSetCpicTrace(int level, String traceDir);
  public native int nativeGetCpicTrace();
  public native String getTraceFileName();
  public native int nativeSncMode(byte[] convId);
  public native String nativeSncPartnerName(byte[] convId);
  public native int nativeSncPartnerAclKey(byte[] convId, byte[] key);
  public native int nativeCpicGetVersion(int[] version);
  public native int nativeWEQ_CMMAXCONV(int count);
  public native int nativeWEQ_CMSETPING(int active, int withReply, int pingPeriod,
      int pingTimeout);
  public native int nativeCreateUUID(byte[] uuid);

  // Graphical frontend.
  public native String[] nativeLaunchWeqGui(String parameters, String rfcId, String unused,
      int unusedInt);
}
