package com.weq.i18n.cp;

/** Code page converter natives; a converter travels as a byte[172]. */
public class ConverterJNI {
  public static native int CheckRequiredVersion(int major, int minor);
  public static native String GetVersion();
  public static native byte[] ConvertInit(char[] from, char[] to, boolean mode, int[] err);
  public static native void ConvertFinish(byte[] converter);
  public static native String GetLastError();
  public static native char[] GetSystemCodePage();
  public static native int GetShortcutType(byte[] converter);
  public static native int GetSb2UcTab(byte[] converter, char[] table);
  public static native int[] GetDb2UcTab(byte[] converter, byte[] leadLength, char[] leadValue,
      char[] broken, int[] err);
  public static native byte[] GetUc2SbTab(byte[] converter, int[] err);
  public static native char[] GetUc2DbTab(byte[] converter, char[] index, int[] err);

  public static native byte[] ConvertCToX(byte[] converter, String text, int[] err);
  public static native String ConvertXToC(byte[] converter, byte[] input, int[] err);
  public static native byte[] ConvertXToX(byte[] converter, byte[] input, int[] err);
  public static native int ConvertXToCArr(byte[] converter, byte[] in, int inStart, int inEnd,
      char[] out, int outStart, int outEnd);
  public static native int ConvertXToCArrR(byte[] converter, byte[] in, int inStart, int inEnd,
      char[] out, int outStart, int outEnd, int[] err);
  public static native int ConvertCToXArr(byte[] converter, char[] in, int inStart, int inEnd,
      byte[] out, int outStart, int outEnd);
  public static native int ConvertCToXArrR(byte[] converter, char[] in, int inStart, int inEnd,
      byte[] out, int outStart, int outEnd, int[] err);
}
