package com.weq.conn.rfc.driver;

/** Logon-group natives: which application server of a group to use. */
public class LG {
  public static native int nativeGet_MS(String group, String msHost, String msService,
      byte[] address, int[] port);
  public static native int nativeGet_MS_SNC(String group, String msHost, String msService,
      String unused, byte[] sncName, byte[] address, int[] port);
}
