package com.weq.conn.rfc.engine;

/** Compression natives over the library's handle pool. */
public class Compress {
  public static native int CsRGetHandle();
  public static native void CsRCloseHandle(int handle);
  public static native int CsRInitCompress(int handle, byte[] out, int totalLength);
  public static native int CsRCompress(int handle, int totalLength, byte[] in, int inOffset,
      int inLength, byte[] out, int outOffset, int outLength, int option, int[] result);
  public static native int CsRInitDecompress(int handle, byte[] in);
  public static native int CsRDecompress(int handle, byte[] in, int inOffset, int inLength,
      byte[] out, int outLength, int option, int[] result);
}
